// A reader of the protobuf wire format that keeps only the nodes' names, inputs, outputs and
// subgraphs, and the names that a graph declares as its inputs or initializers. Everything else,
// tensor contents above all, is passed over by seeking. Every length is checked against the
// message that holds it, subgraphs nest to a bounded depth, and what is kept is charged against a
// budget set by the file's size: a hostile file ends in a reason, in time linear in its size.
#include "check/onnx_graph.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string_view>
#include <tuple>

namespace {

// The field numbers of onnx.proto that the reader takes.
constexpr std::uint64_t kModelGraph = 7;
constexpr std::uint64_t kGraphNode = 1, kGraphInitializer = 5, kGraphInput = 11;
constexpr std::uint64_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeAttribute = 5;
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

// A node: its logged name, the values it reads (its inputs, then what its subgraphs read from
// outside them), and its outputs.
using Node = std::tuple<std::string, std::vector<std::string>, std::vector<std::string>>;

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
  std::vector<std::string> reads;
  std::vector<std::string> outputs;
  readMessage(source, end, [&](std::uint64_t field, std::uint64_t fieldEnd) {
    switch (field) {
      case kNodeInput: reads.push_back(readString(source, fieldEnd)); return true;
      case kNodeOutput: outputs.push_back(readString(source, fieldEnd)); return true;
      case kNodeName: name = readString(source, fieldEnd); return true;
      case kNodeAttribute: readAttribute(source, fieldEnd, depth, reads); return true;
      default: return false;
    }
  });
  std::string logged = loggedNodeName(name, outputs);
  charge(source, logged.size() + kStringCharge + kNodeCharge);
  return {std::move(logged), std::move(reads), std::move(outputs)};
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

// The feeds of the main graph. As the importer connects them, a node reads a value from the first
// node before it that produces the value, unless the graph declares the value itself.
NodeFeeds feedsOf(Source& source, const Graph& graph) {
  std::map<std::string_view, std::string_view> producers;
  for (const std::string& value : graph.second) producers.emplace(value, std::string_view());
  NodeFeeds feeds;
  for (const auto& [logged, reads, outputs] : graph.first) {
    if (logged.empty()) continue;  // The importer gives up on such a node before it logs it.
    std::vector<std::string>& fed = feeds[logged];
    std::set<std::string_view> seen(fed.begin(), fed.end());
    for (const std::string& value : reads) {
      const auto producer = producers.find(value);
      if (producer == producers.end() || producer->second.empty()) continue;
      if (!seen.insert(producer->second).second) continue;
      charge(source, producer->second.size() + kStringCharge);
      fed.emplace_back(producer->second);
    }
    for (const std::string& value : outputs) {
      if (!value.empty()) producers.emplace(value, logged);
    }
  }
  return feeds;
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

std::variant<NodeFeeds, std::string> readNodeFeeds(std::istream& in) {
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
    return feedsOf(source, graph);
  } catch (const std::exception& error) {
    return std::string(error.what());
  } catch (...) {
    return std::string("The model could not be read");
  }
}

std::variant<NodeFeeds, std::string> readNodeFeeds(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::string("The file cannot be opened");
  return readNodeFeeds(file);
}

std::vector<Rejection> classifyRejections(const NodeFeeds& feeds,
                                          const std::vector<RejectedNode>& rejected) {
  std::map<std::string_view, std::vector<std::string_view>> consumers;
  for (const auto& [node, producers] : feeds) {
    for (const std::string& producer : producers) consumers[producer].push_back(node);
  }
  // Every node that a rejected node feeds, directly or through others; each is visited once.
  std::set<std::string_view> fed;
  std::set<std::string_view> sources;
  std::vector<std::string_view> pending;
  for (const RejectedNode& node : rejected) {
    if (sources.insert(node.first).second) pending.push_back(node.first);
  }
  while (!pending.empty()) {
    const auto found = consumers.find(pending.back());
    pending.pop_back();
    if (found == consumers.end()) continue;
    for (std::string_view consumer : found->second) {
      if (fed.insert(consumer).second) pending.push_back(consumer);
    }
  }
  std::vector<Rejection> answers;
  for (const RejectedNode& node : rejected) {
    answers.push_back(!node.second && fed.count(node.first) != 0 ? Rejection::kAfterRejectedNode
                                                                 : Rejection::kOnItsOwn);
  }
  return answers;
}
