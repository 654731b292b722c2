// A reader of the protobuf wire format that keeps only the nodes' names, types, domains, inputs,
// outputs and subgraphs, and the names that a graph declares as its inputs or initializers.
// Everything else, tensor contents above all, is passed over by seeking. Every length is checked
// against the message that holds it, subgraphs nest to a bounded depth, and what is kept is charged
// against a budget set by the file's size: a hostile file ends in a reason, in time linear in its
// size.
#include "check/onnx_graph.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <string_view>
#include <tuple>

namespace {

// The field numbers of onnx.proto that the reader takes.
constexpr std::uint64_t kModelGraph = 7;
constexpr std::uint64_t kGraphNode = 1, kGraphInitializer = 5, kGraphInput = 11;
constexpr std::uint64_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeType = 4;
constexpr std::uint64_t kNodeAttribute = 5, kNodeDomain = 7;
constexpr std::uint64_t kAttributeGraph = 6, kAttributeGraphs = 11;
constexpr std::uint64_t kValueInfoName = 1, kTensorName = 8;

// Models nest a few subgraphs; protobuf's own parser stops at 100 messages, about 33 graphs.
constexpr int kMaxGraphDepth = 32;
// What a kept string or node is charged besides a string's bytes: about what its container takes.
constexpr std::uint64_t kStringCharge = 32, kNodeCharge = 64;
// Skips shorter than this are read through: a seek on a file drops the stream's buffer.
constexpr std::uint64_t kSeekFrom = 64 * 1024;

// The stream, the bytes read from it so far, and the memory that kept names may still take.
using Source = std::tuple<std::streambuf&, std::uint64_t, std::uint64_t>;

std::uint64_t& offsetOf(Source& source) {
  return std::get<1>(source);
}

// A node: what the log says of it (feeders left empty), the values it reads (its inputs, then what
// its subgraphs read from outside them), and its outputs.
using Node = std::tuple<GraphNode, std::vector<std::string>, std::vector<std::string>>;

// A graph: its nodes in order, and the values it declares as inputs or initializers.
using Graph = std::pair<std::vector<Node>, std::set<std::string>>;

[[noreturn]] void fail(Source& source, const std::string& what) {
  throw std::runtime_error(what + " at byte " + std::to_string(offsetOf(source)));
}

void charge(Source& source, std::uint64_t bytes) {
  if (bytes > std::get<2>(source)) fail(source, "The graph is too large");
  std::get<2>(source) -= bytes;
}

unsigned char readByte(Source& source, std::uint64_t end) {
  if (offsetOf(source) >= end) fail(source, "A number runs past the end of its message");
  const int byte = std::get<0>(source).sbumpc();
  if (byte == std::char_traits<char>::eof()) fail(source, "The file ends early");
  ++offsetOf(source);
  return static_cast<unsigned char>(byte);
}

std::uint64_t readVarint(Source& source, std::uint64_t end) {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    const unsigned char byte = readByte(source, end);
    value |= std::uint64_t{byte & 0x7fu} << shift;
    if (byte < 0x80) return value;
  }
  fail(source, "A number is longer than 10 bytes");
}

// Passes over `count` bytes that lie within the message ending at `end`.
void skip(Source& source, std::uint64_t count, std::uint64_t end) {
  if (count > end - offsetOf(source)) fail(source, "A field runs past the end of its message");
  std::streambuf& in = std::get<0>(source);
  if (count >= kSeekFrom) {
    if (in.pubseekoff(static_cast<std::streamoff>(count), std::ios_base::cur, std::ios_base::in) ==
        std::streampos(std::streamoff(-1))) {
      fail(source, "The file cannot be read past here");
    }
  } else {
    char buffer[4096];
    for (std::uint64_t left = count; left > 0;) {
      const auto chunk = static_cast<std::streamsize>(std::min<std::uint64_t>(left, sizeof buffer));
      if (in.sgetn(buffer, chunk) != chunk) fail(source, "The file ends early");
      left -= static_cast<std::uint64_t>(chunk);
    }
  }
  offsetOf(source) += count;
}

// The rest of the message up to `end`, as a kept string.
std::string readString(Source& source, std::uint64_t end) {
  const std::uint64_t length = end - offsetOf(source);
  charge(source, length + kStringCharge);
  std::string text(static_cast<size_t>(length), '\0');
  if (length > 0 && std::get<0>(source).sgetn(&text[0], static_cast<std::streamsize>(length)) !=
                        static_cast<std::streamsize>(length)) {
    fail(source, "The file ends early");
  }
  offsetOf(source) += length;
  return text;
}

// Reads the fields of the message that ends at `end`. A length-delimited field is handed to
// `take` with its number and its end, and skipped when `take` answers false; `take` reads a field
// it takes to its end. Fields of other wire types are skipped.
template <typename Take>
void readMessage(Source& source, std::uint64_t end, Take take) {
  while (offsetOf(source) < end) {
    const std::uint64_t tag = readVarint(source, end);
    if ((tag >> 3) == 0 || tag > 0xffffffffu) fail(source, "A field number is invalid");
    switch (tag & 7) {
      case 0: readVarint(source, end); break;
      case 1: skip(source, 8, end); break;
      case 5: skip(source, 4, end); break;
      case 2: {
        const std::uint64_t length = readVarint(source, end);
        if (length > end - offsetOf(source)) fail(source, "A field runs past its message's end");
        if (!take(tag >> 3, offsetOf(source) + length)) skip(source, length, end);
        break;
      }
      default: fail(source, "A field has an unsupported wire type");
    }
  }
}

// The string field `number` of the message ending at `end`; its last one, as protobuf has it.
std::string readNameField(Source& source, std::uint64_t end, std::uint64_t number) {
  std::string name;
  readMessage(source, end, [&](std::uint64_t field, std::uint64_t fieldEnd) {
    if (field != number) return false;
    name = readString(source, fieldEnd);
    return true;
  });
  return name;
}

void readGraph(Source& source, std::uint64_t end, int depth, Graph& graph);

// What the subgraph reads from outside: the values that none of its nodes produces and that it
// does not declare.
std::vector<std::string> outsideReads(Source& source, const Graph& graph) {
  std::set<std::string_view> own(graph.second.begin(), graph.second.end());
  for (const Node& node : graph.first) {
    own.insert(std::get<2>(node).begin(), std::get<2>(node).end());
  }
  std::set<std::string_view> reads;
  for (const Node& node : graph.first) {
    for (const std::string& value : std::get<1>(node)) {
      if (!value.empty() && own.count(value) == 0) reads.insert(value);
    }
  }
  std::vector<std::string> kept;
  for (std::string_view value : reads) {
    charge(source, value.size() + kStringCharge);
    kept.emplace_back(value);
  }
  return kept;
}

// Adds to `reads` what the attribute's subgraphs read from outside them.
void readAttribute(Source& source, std::uint64_t end, int depth, std::vector<std::string>& reads) {
  readMessage(source, end, [&](std::uint64_t field, std::uint64_t fieldEnd) {
    if (field != kAttributeGraph && field != kAttributeGraphs) return false;
    if (depth >= kMaxGraphDepth) fail(source, "Subgraphs are nested too deeply");
    Graph subgraph;
    readGraph(source, fieldEnd, depth + 1, subgraph);
    for (std::string& value : outsideReads(source, subgraph)) reads.push_back(std::move(value));
    return true;
  });
}

Node readNode(Source& source, std::uint64_t end, int depth) {
  std::string name;
  GraphNode node;
  std::vector<std::string> inputs;
  std::vector<std::string> subgraphReads;
  std::vector<std::string> outputs;
  readMessage(source, end, [&](std::uint64_t field, std::uint64_t fieldEnd) {
    switch (field) {
      case kNodeInput: inputs.push_back(readString(source, fieldEnd)); return true;
      case kNodeOutput: outputs.push_back(readString(source, fieldEnd)); return true;
      case kNodeName: name = readString(source, fieldEnd); return true;
      case kNodeType: node.type = readString(source, fieldEnd); return true;
      case kNodeDomain: node.domain = readString(source, fieldEnd); return true;
      case kNodeAttribute: readAttribute(source, fieldEnd, depth, subgraphReads); return true;
      default: return false;
    }
  });
  node.name = loggedNodeName(name, outputs);
  if (node.domain.empty()) node.domain = "ai.onnx";
  node.inputs = inputs.size();
  node.outputs = outputs.size();
  charge(source, node.name.size() + kStringCharge + kNodeCharge);
  for (std::string& value : subgraphReads) inputs.push_back(std::move(value));
  return {std::move(node), std::move(inputs), std::move(outputs)};
}

// Adds the graph's fields to `graph`: protobuf merges a message field given more than once.
void readGraph(Source& source, std::uint64_t end, int depth, Graph& graph) {
  readMessage(source, end, [&](std::uint64_t field, std::uint64_t fieldEnd) {
    switch (field) {
      case kGraphNode: graph.first.push_back(readNode(source, fieldEnd, depth)); return true;
      case kGraphInitializer:
        graph.second.insert(readNameField(source, fieldEnd, kTensorName));
        return true;
      case kGraphInput:
        graph.second.insert(readNameField(source, fieldEnd, kValueInfoName));
        return true;
      default: return false;
    }
  });
}

// The main graph's nodes with their feeders. As the importer connects them, a node reads a value
// from the first node before it that produces the value, unless the graph declares the value.
GraphNodes nodesOf(Source& source, Graph& graph) {
  std::map<std::string_view, size_t> producers;
  for (const std::string& value : graph.second) producers.emplace(value, kUnknownNode);
  GraphNodes nodes;
  nodes.reserve(graph.first.size());
  for (auto& [node, reads, outputs] : graph.first) {
    std::set<size_t> seen;
    for (const std::string& value : reads) {
      const auto producer = producers.find(value);
      if (producer == producers.end() || producer->second == kUnknownNode) continue;
      if (!seen.insert(producer->second).second) continue;
      charge(source, sizeof(size_t));
      node.feeders.push_back(producer->second);
    }
    for (const std::string& value : outputs) {
      if (!value.empty()) producers.emplace(value, nodes.size());
    }
    nodes.push_back(std::move(node));
  }
  return nodes;
}

}  // namespace

std::string loggedNodeName(const std::string& name, const std::vector<std::string>& outputs) {
  const auto untilNul = [](const std::string& text) { return text.substr(0, text.find('\0')); };
  if (!name.empty()) return "onnx_node!" + untilNul(name);
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (!outputs[i].empty()) {
      return "onnx_node_output_" + std::to_string(i) + "!" + untilNul(outputs[i]);
    }
  }
  return "";
}

std::variant<GraphNodes, std::string> readGraphNodes(std::istream& in) {
  try {
    std::streambuf* buffer = in.rdbuf();
    const std::streampos unknown(std::streamoff(-1));
    const std::streampos start =
        buffer ? buffer->pubseekoff(0, std::ios_base::cur, std::ios_base::in) : unknown;
    const std::streampos end =
        start != unknown ? buffer->pubseekoff(0, std::ios_base::end, std::ios_base::in) : unknown;
    if (end == unknown || buffer->pubseekpos(start, std::ios_base::in) != start ||
        end - start < 0) {
      return std::string("The model's size cannot be told");
    }
    const auto size = static_cast<std::uint64_t>(end - start);
    // A model's graph is a small part of it: what is kept may take four times the file's size
    // and 64 MiB more, 1 GiB at most.
    const std::uint64_t room = std::min<std::uint64_t>(4 * size + (64 << 20), 1 << 30);
    Source source{*buffer, 0, room};
    Graph graph;
    bool hasGraph = false;
    readMessage(source, size, [&](std::uint64_t field, std::uint64_t fieldEnd) {
      if (field != kModelGraph) return false;
      readGraph(source, fieldEnd, 0, graph);
      hasGraph = true;
      return true;
    });
    if (!hasGraph) return std::string("The file holds no graph");
    return nodesOf(source, graph);
  } catch (const std::exception& error) {
    return std::string(error.what());
  } catch (...) {
    return std::string("The model could not be read");
  }
}

std::variant<GraphNodes, std::string> readGraphNodes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::string("The file cannot be opened");
  return readGraphNodes(file);
}

std::string loggedNodeHeader(const GraphNode& node) {
  return std::to_string(node.inputs) + " inputs and " + std::to_string(node.outputs) +
         " outputs: [" + node.type.substr(0, node.type.find('\0')) + "]:(" + node.name + ")";
}

std::vector<Rejection> classifyRejections(const GraphNodes& nodes,
                                          const std::vector<RejectedNode>& rejected) {
  std::vector<std::vector<size_t>> consumers(nodes.size());
  for (size_t node = 0; node < nodes.size(); ++node) {
    for (size_t feeder : nodes[node].feeders) consumers[feeder].push_back(node);
  }
  // Every node that a rejected node feeds, directly or through others; each is visited once.
  std::vector<bool> fed(nodes.size(), false);
  std::vector<bool> source(nodes.size(), false);
  std::vector<size_t> pending;
  for (const RejectedNode& node : rejected) {
    if (node.first < nodes.size() && !source[node.first]) {
      source[node.first] = true;
      pending.push_back(node.first);
    }
  }
  while (!pending.empty()) {
    const size_t node = pending.back();
    pending.pop_back();
    for (size_t consumer : consumers[node]) {
      if (!fed[consumer]) {
        fed[consumer] = true;
        pending.push_back(consumer);
      }
    }
  }
  std::vector<Rejection> answers;
  for (const RejectedNode& node : rejected) {
    const bool after = !node.second && node.first < nodes.size() && fed[node.first];
    answers.push_back(after ? Rejection::kAfterRejectedNode : Rejection::kOnItsOwn);
  }
  return answers;
}
