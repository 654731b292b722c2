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
  std::string bytes = name.empty() ? "" : field(3, name);
  for (const std::string& input : inputs) bytes += field(1, input);
  for (const std::string& output : outputs) bytes += field(2, output);
  return field(1, bytes + more);
}

std::variant<NodeFeeds, std::string> read(const std::string& model) {
  std::istringstream in(model);
  return readNodeFeeds(in);
}

bool fails(const std::string& model) {
  return std::holds_alternative<std::string>(read(model));
}

// Nodes are named as the importer logs them: "onnx_node!<name>" up to a NUL, otherwise by the
// first non-empty output and its index; a node with neither is never logged.
TEST(ReadNodeFeeds, NodesReadTheFirstEarlierProducerOfEachUndeclaredValue) {
  const std::string weights = field(5, field(8, "w") + field(9, std::string(100000, '\7')));
  const auto feeds = read(
      field(7, node(std::string("w\0x", 3), {}, {"w"}) + node("a", {"x", "w"}, {"y"}) + weights +
                   node("", {"y", "y"}, {"", "z"}) + node("c", {"z", "later", "x"}, {"y"}) +
                   node("d", {"y"}, {"later"}) + node("", {"y"}, {""}) + field(11, field(1, "x"))));
  EXPECT_EQ(std::get<NodeFeeds>(feeds), (NodeFeeds{{"onnx_node!a", {}},
                                                   {"onnx_node_output_1!z", {"onnx_node!a"}},
                                                   {"onnx_node!c", {"onnx_node_output_1!z"}},
                                                   {"onnx_node!d", {"onnx_node!a"}},
                                                   {"onnx_node!w", {}}}));
}

TEST(ReadNodeFeeds, ANodeReadsWhatItsSubgraphsReadFromOutside) {
  const std::string body = field(11, field(1, "local")) + node("i", {"v", "local"}, {"t"}) +
                           node("j", {"t", "u"}, {"out"});
  const auto feeds =
      read(field(7, node("p", {}, {"v", "local"}) + node("q", {}, {"u"}) +
                        node("if", {"c"}, {"r"}, field(5, field(6, body))) +
                        node("loop", {}, {"s"}, field(5, field(11, body) + field(11, "")))));
  EXPECT_EQ(std::get<NodeFeeds>(feeds).at("onnx_node!if"),
            (std::vector<std::string>{"onnx_node!q", "onnx_node!p"}));
  EXPECT_EQ(std::get<NodeFeeds>(feeds).at("onnx_node!loop").size(), 2u);
}

TEST(ReadNodeFeeds, HostileBytesEndInAReason) {
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
  const NodeFeeds feeds = {{"a", {}},       {"b", {"a"}},       {"c", {"b"}}, {"d", {}},
                           {"e", {"gone"}}, {"nolayer", {"a"}}, {"x", {"y"}}, {"y", {"x"}}};
  std::vector<RejectedNode> rejected;
  for (std::string name : {"a", "c", "d", "e", "nolayer", "unknown", "x", "y"}) {
    rejected.emplace_back(name, name == "nolayer");
  }
  const auto own = Rejection::kOnItsOwn;
  const auto after = Rejection::kAfterRejectedNode;
  EXPECT_EQ(classifyRejections(feeds, rejected),
            (std::vector<Rejection>{own, after, own, own, own, own, after, after}));
}

}  // namespace
