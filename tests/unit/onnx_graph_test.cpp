// The graph reader on models encoded here byte by byte, and the classification of rejections.
#include <gtest/gtest.h>

#include <sstream>

#include "check/onnx_graph.h"

namespace {

std::string field(std::uint64_t number, const std::string& bytes) {
  std::string encoded;
  for (std::uint64_t value : {number << 3 | 2, std::uint64_t{bytes.size()}}) {
    for (; value >= 0x80; value >>= 7) encoded += static_cast<char>(value | 0x80);
    encoded += static_cast<char>(value);
  }
  return encoded + bytes;
}

std::string node(const std::string& name, std::vector<std::string> inputs,
                 std::vector<std::string> outputs, const std::string& more = "") {
  std::string bytes = (name.empty() ? "" : field(3, name)) + field(4, "Op");
  for (const std::string& input : inputs) bytes += field(1, input);
  for (const std::string& output : outputs) bytes += field(2, output);
  return field(1, bytes + more);
}

std::variant<GraphNodes, std::string> read(const std::string& model) {
  std::istringstream in(model);
  return readGraphNodes(in);
}

// Per node: its logged name and its feeders.
std::vector<std::pair<std::string, std::vector<size_t>>> feeds(const std::string& model) {
  std::vector<std::pair<std::string, std::vector<size_t>>> answer;
  const auto nodes = read(model);
  for (const GraphNode& node : std::get<GraphNodes>(nodes)) {
    answer.emplace_back(node.name, node.feeders);
  }
  return answer;
}

bool fails(const std::string& model) {
  return std::holds_alternative<std::string>(read(model));
}

// Nodes are named as the importer logs them: "onnx_node!<name>" up to a NUL, otherwise by the
// first non-empty output and its index; a node with neither has no name. Nodes of the same name
// stay apart.
TEST(ReadGraphNodes, NodesReadTheFirstEarlierProducerOfEachUndeclaredValue) {
  const std::string weights = field(5, field(8, "w") + field(9, std::string(100000, '\7')));
  const std::string model =
      field(7, node(std::string("w\0x", 3), {}, {"w"}) + node("a", {"x", "w"}, {"y"}) + weights +
                   node("", {"y", "y"}, {"", "z"}) + node("a", {"z", "later", "x"}, {"y"}) +
                   node("d", {"y"}, {"later"}, field(7, "com.x")) + node("", {"y"}, {""}) +
                   field(11, field(1, "x")));
  EXPECT_EQ(feeds(model),
            (std::vector<std::pair<std::string, std::vector<size_t>>>{{"onnx_node!w", {}},
                                                                      {"onnx_node!a", {}},
                                                                      {"onnx_node_output_1!z", {1}},
                                                                      {"onnx_node!a", {2}},
                                                                      {"onnx_node!d", {1}},
                                                                      {"", {1}}}));
  const GraphNodes nodes = std::get<GraphNodes>(read(model));
  EXPECT_EQ(loggedNodeHeader(nodes[2]) + " " + nodes[2].domain + " " + nodes[4].domain,
            "2 inputs and 2 outputs: [Op]:(onnx_node_output_1!z) ai.onnx com.x");
}

TEST(ReadGraphNodes, ANodeReadsWhatItsSubgraphsReadFromOutside) {
  const std::string body = field(11, field(1, "local")) + node("i", {"v", "local"}, {"t"}) +
                           node("j", {"t", "u"}, {"out"});
  const auto nodes =
      feeds(field(7, node("p", {}, {"v", "local"}) + node("q", {}, {"u"}) +
                         node("if", {"c"}, {"r"}, field(5, field(6, body))) +
                         node("loop", {}, {"s"}, field(5, field(11, body) + field(11, "")))));
  EXPECT_EQ(nodes[2].second, (std::vector<size_t>{1, 0}));
  EXPECT_EQ(nodes[3].second.size(), 2u);
}

TEST(ReadGraphNodes, HostileBytesEndInAReason) {
  const std::string model = field(7, node("a", {"x"}, {"y"}, field(5, field(4, "s"))));
  for (size_t size = 0; size < model.size(); ++size) EXPECT_TRUE(fails(model.substr(0, size)));
  std::string nested = node("n", {}, {"y"});
  for (int depth = 1; depth <= 40; ++depth) {
    nested = node("", {}, {"y"}, field(5, field(6, nested)));
    EXPECT_EQ(fails(field(7, nested)), depth > 32) << depth;
  }
  EXPECT_TRUE(fails("\x3a\xff\xff\xff\xff\x0f"));
  EXPECT_TRUE(fails("This is a text file, not a model.\n"));
}

TEST(ClassifyRejections, OnlyNodesFedByARejectedNodeComeAfterOne) {
  // a, b (a), c (b), d, nolayer (a), x (d), y (x)
  GraphNodes nodes(7);
  for (auto [node, feeders] : std::vector<std::pair<size_t, std::vector<size_t>>>{
           {1, {0}}, {2, {1}}, {4, {0}}, {5, {3}}, {6, {5}}}) {
    nodes[node].feeders = feeders;
  }
  const std::vector<RejectedNode> rejected = {
      {0, false}, {2, false}, {3, false}, {4, true}, {kUnknownNode, false}, {5, false}, {6, false}};
  const auto own = Rejection::kOnItsOwn;
  const auto after = Rejection::kAfterRejectedNode;
  EXPECT_EQ(classifyRejections(nodes, rejected),
            (std::vector<Rejection>{own, after, own, own, own, after, after}));
}

}  // namespace
