// The model's graph as far as the library's diagnostics need it: which node's outputs feed which
// node, by the names the library logs them under. With it, the nodes that the library rejects on
// their own are told from those rejected only because a rejected node feeds them.
//
// The file is read straight from the protobuf wire format, and tensor contents are passed over
// without being loaded: a model reads in time and memory that hardly grow with its weights.
#pragma once

#include <istream>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// Per node of the main graph, by its logged name: the logged names of the nodes whose outputs it
// reads. As the importer connects them, a value comes from the first node before the reader that
// outputs it, unless the graph declares it as an input or initializer. A node that holds subgraphs
// also reads what its subgraphs read from outside them; their own nodes are no entries, as the
// importer logs none of them.
using NodeFeeds = std::map<std::string, std::vector<std::string>>;

// The name the library's ONNX importer gives a node in its log records, "[Type]:(<name>)":
// "onnx_node!<name>" for a named node, otherwise "onnx_node_output_<i>!<output>" for the first
// non-empty output, i being its index among the outputs. Either text ends at its first NUL, as
// the library formats it with %s. Empty for a node without name or non-empty output.
std::string loggedNodeName(const std::string& name, const std::vector<std::string>& outputs);

// The feeds of the model that the stream holds from its current position to its end, or why they
// cannot be told: not a model, truncated, malformed, or past the bounds of nesting and memory.
// The stream must be seekable. Never throws.
std::variant<NodeFeeds, std::string> readNodeFeeds(std::istream& in);

// The same for the file at `path`, which must be a regular file: opening a FIFO would wait.
std::variant<NodeFeeds, std::string> readNodeFeeds(const std::string& path);

enum class Rejection { kOnItsOwn, kAfterRejectedNode };

// A node the library rejected: its logged name, and whether its type is one the library has no
// layer for at all.
using RejectedNode = std::pair<std::string, bool>;

// Per rejected node, in the order given: after a rejected node when a rejected node produces an
// input of it, directly or through other nodes; otherwise on its own. A node of a type without
// any layer is on its own wherever it sits, and so is a node that the feeds do not know.
std::vector<Rejection> classifyRejections(const NodeFeeds& feeds,
                                          const std::vector<RejectedNode>& rejected);
