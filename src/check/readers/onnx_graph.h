// The model's graph as far as the library's diagnostics need it: each node as the library logs it
// (its name, type and domain), and which node's outputs feed which node. With it, the library's
// log is read against the nodes that are there, and the explanation tells the nodes that the
// library rejects on their own from those rejected only because a rejected node feeds them.
//
// The file is read straight from the protobuf wire format, and tensor contents are passed over
// without being loaded: a model reads in time and memory that hardly grow with its weights.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <variant>
#include <vector>

// A node of the main graph, as the importer logs it: its logged name (see loggedNodeName), type
// and domain ("ai.onnx" for none), and its numbers of inputs and outputs as the file gives them;
// then the nodes, by their index, whose outputs it reads. As the importer connects them, a value
// comes from the first node before the reader that outputs it, unless the graph declares it as an
// input or initializer. A node that holds subgraphs also reads what its subgraphs read from
// outside them; their own nodes are no entries, as the importer logs none of them.
struct GraphNode {
  std::string name;
  std::string type;
  std::string domain;
  size_t inputs = 0;
  size_t outputs = 0;
  std::vector<size_t> feeders;
};

// The main graph's nodes in the order of the file, which is the order the importer takes them in.
using GraphNodes = std::vector<GraphNode>;

// The name the library's ONNX importer gives a node in its log records, "[Type]:(<name>)":
// "onnx_node!<name>" for a named node, otherwise "onnx_node_output_<i>!<output>" for the first
// non-empty output, i being its index among the outputs. Either text ends at its first NUL, as
// the library formats it with %s. Empty for a node without name or non-empty output.
std::string loggedNodeName(const std::string& name, const std::vector<std::string>& outputs);

// The nodes of the model that the stream holds from its current position to its end, or why they
// cannot be told: not a model, truncated, malformed, or past the bounds of nesting and memory.
// The stream must be seekable. Never throws.
std::variant<GraphNodes, std::string> readGraphNodes(std::istream& in);

// The same for the file at `path`, which must be a regular file: opening a FIFO would wait.
std::variant<GraphNodes, std::string> readGraphNodes(const std::string& path);

// What the importer logs of a node after "processing node with ", up to its domain's quote:
// "<i> inputs and <o> outputs: [<type>]:(<name>)", the type up to a NUL as the library formats
// it with %s.
std::string loggedNodeHeader(const GraphNode& node);

// The index that stands for a node the graph does not have, as a node the library made.
constexpr size_t kUnknownNode = static_cast<size_t>(-1);

// A tensor that the main graph declares as an input or output: its name, its ONNX element type
// number (0 when the type is not a tensor's or not given), and its declared dimensions, -1 for a
// symbolic or missing one. Known when the type gives a shape and every dimension has a value.
struct DeclaredTensor {
  std::string name;
  int type = 0;
  std::vector<std::int64_t> shape;
  bool known = false;
};

// The main graph's inputs that are not also initializers, in order (the order in which the
// library numbers its inputs), and its outputs.
struct GraphSignature {
  std::vector<DeclaredTensor> inputs, outputs;
};

// The declared inputs and outputs of the model that the stream holds from its current position,
// or why they cannot be told; within the same bounds as readGraphNodes. Never throws.
std::variant<GraphSignature, std::string> readGraphSignature(std::istream& in);

// The same for the file at `path`, which must be a regular file.
std::variant<GraphSignature, std::string> readGraphSignature(const std::string& path);
