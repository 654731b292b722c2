// The bounded readers on files encoded here byte by byte: the model's graph and its declared
// inputs and outputs, and tensor files in both formats.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "check/readers/onnx_graph.h"
#include "check/readers/tensor_file.h"

namespace {

std::string varint(std::uint64_t value) {
  std::string bytes;
  for (; value >= 0x80; value >>= 7) bytes += static_cast<char>(value | 0x80);
  return bytes + static_cast<char>(value);
}

std::string field(std::uint64_t number, const std::string& bytes) {
  return varint(number << 3 | 2) + varint(bytes.size()) + bytes;
}

std::string number(std::uint64_t field, std::uint64_t value) {
  return varint(field << 3) + varint(value);
}

template <typename Read>
TensorRead read(Read reader, const std::string& bytes) {
  std::istringstream in(bytes);
  return reader(in);
}

TensorData tensor(const TensorRead& read) {
  if (const auto* reason = std::get_if<std::string>(&read)) ADD_FAILURE() << *reason;
  return std::holds_alternative<TensorData>(read) ? std::get<TensorData>(read) : TensorData{};
}

std::string reason(const TensorRead& read) {
  return std::holds_alternative<std::string>(read) ? std::get<std::string>(read) : "read";
}

const auto proto = [](std::istream& in) { return readTensorProto(in); };
const auto npy = [](std::istream& in) { return readNpy(in); };

std::string node(const std::string& name, std::vector<std::string> inputs,
                 std::vector<std::string> outputs, const std::string& more = "") {
  std::string bytes = (name.empty() ? "" : field(3, name)) + field(4, "Op");
  for (const std::string& input : inputs) bytes += field(1, input);
  for (const std::string& output : outputs) bytes += field(2, output);
  return field(1, bytes + more);
}

std::variant<GraphNodes, std::string> readNodes(const std::string& model) {
  std::istringstream in(model);
  return readGraphNodes(in);
}

// Per node: its logged name and its feeders.
std::vector<std::pair<std::string, std::vector<size_t>>> feeds(const std::string& model) {
  std::vector<std::pair<std::string, std::vector<size_t>>> answer;
  const auto nodes = readNodes(model);
  for (const GraphNode& node : std::get<GraphNodes>(nodes)) {
    answer.emplace_back(node.name, node.feeders);
  }
  return answer;
}

bool fails(const std::string& model) {
  return std::holds_alternative<std::string>(readNodes(model));
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
  const GraphNodes nodes = std::get<GraphNodes>(readNodes(model));
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

TEST(ReadGraphSignature, InputsWithoutInitializersAndSymbolicDimensions) {
  const auto valueInfo = [](const std::string& name, const std::string& type) {
    return field(1, name) + field(2, type);
  };
  const std::string shape = field(2, field(1, field(2, "N")) + field(1, number(1, 3)));
  const std::string graph =
      field(11, valueInfo("w", "")) + field(11, valueInfo("x", field(1, number(1, 1) + shape))) +
      field(12, valueInfo("y", field(1, number(1, 7)))) + field(5, field(8, "w"));
  std::istringstream in(field(7, graph));
  const auto read = readGraphSignature(in);
  const GraphSignature signature = std::get<GraphSignature>(read);
  ASSERT_EQ(signature.inputs.size(), 1u);
  EXPECT_EQ(signature.inputs[0].name, "x");
  EXPECT_EQ(signature.inputs[0].type, 1);
  EXPECT_EQ(signature.inputs[0].shape, (std::vector<std::int64_t>{-1, 3}));
  EXPECT_FALSE(signature.inputs[0].known);
  EXPECT_EQ(signature.outputs.at(0).type, 7);
  EXPECT_FALSE(signature.outputs[0].known);
}

TEST(ReadTensorProto, RawAndTypedDataPackedOrNot) {
  const std::string raw = field(8, "x") + field(1, varint(2)) + number(2, 1) +
                          field(9, std::string("\0\0\xc0\x3f\0\0\0\xc0", 8));
  const TensorData x = tensor(read(proto, raw));
  EXPECT_EQ(x.name, "x");
  EXPECT_EQ(x.type, "float");
  EXPECT_EQ(x.values, (std::vector<double>{1.5, -2}));
  // The same values packed in float_data, little-endian too.
  EXPECT_EQ(tensor(read(proto, field(1, varint(2)) + number(2, 1) +
                                   field(4, std::string("\0\0\xc0\x3f\0\0\0\xc0", 8))))
                .values,
            x.values);
  // int8 -3 is written sign-extended in ten bytes; float16 keeps its bits in int32_data.
  EXPECT_EQ(tensor(read(proto,
                        number(1, 2) + number(2, 3) + field(5, varint(uint64_t(-3)) + varint(127))))
                .values,
            (std::vector<double>{-3, 127}));
  EXPECT_EQ(tensor(read(proto, number(2, 10) + number(5, 0x3c00))).values,
            (std::vector<double>{1}));
  const TensorData wide =
      tensor(read(proto, field(1, varint(2) + varint(1)) + number(2, 7) + number(7, 5000000000) +
                             number(7, uint64_t(-5000000000))));
  EXPECT_EQ(wide.shape, (std::vector<std::int64_t>{2, 1}));
  EXPECT_EQ(libraryInputValues(wide), (std::vector<float>{2147483647.f, -2147483648.f}));
  // uint64 keeps its values in uint64_data, and saturates as int64 does.
  EXPECT_EQ(libraryInputValues(tensor(read(proto, number(2, 13) + number(11, 5000000000)))),
            (std::vector<float>{2147483647.f}));
}

TEST(ReadTensorProto, HostileOrForeignTensorsEndInAReason) {
  const std::string floats = number(2, 1) + field(4, std::string(8, '\0'));
  EXPECT_EQ(reason(read(proto, number(1, 3) + floats)),
            "The dimensions make 3 values, but the data has 2");
  EXPECT_EQ(reason(read(proto, number(1, 4) + number(2, 1) + field(9, std::string(20, '\0')))),
            "The dimensions make 4 values, but the data has 20 bytes");
  const std::string whole = field(8, "name") + number(1, 2) + floats;
  for (size_t size = 0; size < whole.size(); ++size) {
    EXPECT_NE(reason(read(proto, whole.substr(0, size))), "read") << size;
  }
  EXPECT_EQ(reason(read(proto, number(1, 1u << 31) + number(1, 1u << 31) + number(1, 1u << 31) +
                                   number(1, 1u << 31) + floats)),
            "The dimensions make too many values");
  EXPECT_EQ(reason(read(proto, number(1, uint64_t(-1)) + floats)), "A dimension is negative");
  EXPECT_EQ(reason(read(proto, number(2, 8))),
            "The element type string is not one that the library takes");
  EXPECT_EQ(reason(read(proto, floats + number(14, 1))),
            "The tensor's data is in an external file");
}

// A NumPy file of the given version, header and data.
std::string npyFile(int major, const std::string& header, const std::string& data) {
  std::string length =
      major == 1 ? std::string{char(header.size()), 0} : std::string{char(header.size()), 0, 0, 0};
  return "\x93NUMPY" + std::string{char(major), 0} + length + header + data;
}

TEST(ReadNpy, ByteOrderVersionAndFortranOrder) {
  const TensorData big =
      tensor(read(npy, npyFile(2, "{'descr': '>i2', 'fortran_order': False, 'shape': (2,), }\n",
                               std::string("\xff\xfe\x01\x00", 4))));
  EXPECT_EQ(big.type, "int16");
  EXPECT_EQ(big.values, (std::vector<double>{-2, 256}));
  // [[0, 1, 2], [3, 4, 5]] stored column by column.
  const TensorData fortran =
      tensor(read(npy, npyFile(1, "{'descr': '|u1', 'fortran_order': True, 'shape': (2, 3)}",
                               std::string{0, 3, 1, 4, 2, 5})));
  EXPECT_EQ(fortran.values, (std::vector<double>{0, 1, 2, 3, 4, 5}));
  const TensorData scalar =
      tensor(read(npy, npyFile(3, "{\"descr\":\"<f8\",\"fortran_order\":False,\"shape\":()}",
                               std::string("\0\0\0\0\0\0\xf0\x7f", 8))));
  EXPECT_TRUE(scalar.shape.empty() && std::isinf(scalar.values.at(0)));
  // Reordering holds the values twice; without values the data are not read.
  const std::string bytes = npyFile(1, "{'descr': '|u1', 'fortran_order': True, 'shape': (2, 3)}",
                                    std::string{0, 3, 1, 4, 2, 5});
  const auto within = [](ReadLimits limits) {
    return [limits](std::istream& in) { return readNpy(in, limits); };
  };
  EXPECT_EQ(tensor(read(within({true, 96}), bytes)).values.size(), 6u);
  EXPECT_EQ(std::get<PastLimit>(read(within({true, 95}), bytes)), PastLimit::kRoom);
  EXPECT_EQ(tensor(read(within({false, 0}),
                        bytes.substr(0, bytes.size() - 6) + "\xff\xff\xff\xff\xff\xff"))
                .shape,
            (std::vector<std::int64_t>{2, 3}));
}

TEST(ReadNpy, HostileOrForeignArraysEndInAReason) {
  const std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 2)}";
  EXPECT_EQ(reason(read(npy, npyFile(1, header, std::string(20, '\0')))),
            "The dimensions make 4 values, but the data has 20 bytes");
  EXPECT_EQ(reason(read(npy, npyFile(1, header, "").substr(0, 40))),
            "The file ends early at byte 40");
  EXPECT_EQ(reason(read(npy, npyFile(1, "{'descr': '<U3', 'fortran_order': False, 'shape': ()}",
                                     std::string(12, 'a')))),
            "The element type string is not one that the library takes");
  EXPECT_EQ(
      reason(read(npy, npyFile(1, "{'descr': '<f4', 'fortran_order': False, 'shape': (-1,)}", ""))),
      "A dimension is negative");
}

}  // namespace
