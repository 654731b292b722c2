// A reader of the protobuf wire format that keeps only the nodes' names, types, domains, inputs,
// outputs and subgraphs, and the names that a graph declares as its inputs or initializers.
// Everything else, tensor contents above all, is passed over by seeking. Every length is checked
// against the message that holds it, subgraphs nest to a bounded depth, and what is kept is charged
// against a budget set by the file's size: a hostile file ends in a reason, in time linear in its
// size.
#include "check/readers/onnx_graph.h"

#include "check/readers/path.h"
#include "check/readers/protobuf_wire.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
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
constexpr std::uint64_t kGraphOutput = 12;
constexpr std::uint64_t kValueInfoName = 1, kValueInfoType = 2, kTensorName = 8;
constexpr std::uint64_t kTypeTensor = 1, kTensorTypeElement = 1, kTensorTypeShape = 2;
constexpr std::uint64_t kShapeDimension = 1, kDimensionValue = 1, kDimensionParam = 2;

// Models nest a few subgraphs; protobuf's own parser stops at 100 messages, about 33 graphs.
constexpr int kMaxGraphDepth = 32;
// What a kept string or node is charged besides a string's bytes: about what its container takes.
constexpr std::uint64_t kStringCharge = 32, kNodeCharge = 64;

// A node: what the log says of it (feeders left empty), the values it reads (its inputs, then what
// its subgraphs read from outside them), and its outputs.
using Node = std::tuple<GraphNode, std::vector<std::string>, std::vector<std::string>>;

// A graph: its nodes in order, and the values it declares as inputs or initializers.
using Graph = std::pair<std::vector<Node>, std::set<std::string>>;

using Source = WireSource;

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
    if (depth >= kMaxGraphDepth) failAt(source, "Subgraphs are nested too deeply");
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

// Walks the model that the stream holds from its current position to its end, handing each of its
// graph fields to `takeGraph`, and answers what `finish` makes of them, or why the model cannot be
// read.
template <typename Answer, typename TakeGraph, typename Finish>
std::variant<Answer, std::string> readModel(std::istream& in, TakeGraph takeGraph, Finish finish) {
  try {
    std::uint64_t size = 0;
    if (!sizeOfRest(in, size)) return std::string("The model's size cannot be told");
    // A model's graph is a small part of it: what is kept may take four times the file's size
    // and 64 MiB more, 1 GiB at most.
    const std::uint64_t room = std::min<std::uint64_t>(4 * size + (64 << 20), 1 << 30);
    Source source{*in.rdbuf(), 0, room, "The graph is too large"};
    bool hasGraph = false;
    readMessage(source, size, [&](std::uint64_t field, std::uint64_t fieldEnd) {
      if (field != kModelGraph) return false;
      takeGraph(source, fieldEnd);
      hasGraph = true;
      return true;
    });
    if (!hasGraph) return std::string("The file holds no graph");
    return finish(source);
  } catch (const std::exception& error) {
    return std::string(error.what());
  } catch (...) {
    return std::string("The model could not be read");
  }
}

// A declared shape's dimension: its value, or -1 for a symbolic or missing one.
std::int64_t readDimension(Source& source, std::uint64_t end) {
  std::int64_t dimension = -1;
  readFields(
      source, end,
      [&](std::uint64_t field, std::uint64_t) {
        if (field == kDimensionParam) dimension = -1;
        return false;
      },
      [&](std::uint64_t field, int wireType) {
        if (field != kDimensionValue || wireType != 0) return false;
        dimension = static_cast<std::int64_t>(readVarint(source, end));
        if (dimension < 0) dimension = -1;
        return true;
      });
  return dimension;
}

// The element type and shape of a TypeProto's tensor_type; any other kind of type leaves the
// tensor's type 0 and its shape unknown.
void readType(Source& source, std::uint64_t end, DeclaredTensor& tensor) {
  readMessage(source, end, [&](std::uint64_t field, std::uint64_t tensorEnd) {
    if (field != kTypeTensor) return false;
    readFields(
        source, tensorEnd,
        [&](std::uint64_t field, std::uint64_t shapeEnd) {
          if (field != kTensorTypeShape) return false;
          tensor.known = true;
          readMessage(source, shapeEnd, [&](std::uint64_t field, std::uint64_t dimensionEnd) {
            if (field != kShapeDimension) return false;
            charge(source, sizeof(std::int64_t));
            tensor.shape.push_back(readDimension(source, dimensionEnd));
            return true;
          });
          return true;
        },
        [&](std::uint64_t field, int wireType) {
          if (field != kTensorTypeElement || wireType != 0) return false;
          tensor.type = static_cast<int>(readVarint(source, tensorEnd) & 0x7fffffff);
          return true;
        });
    return true;
  });
  for (std::int64_t dimension : tensor.shape) tensor.known = tensor.known && dimension >= 0;
}

DeclaredTensor readValueInfo(Source& source, std::uint64_t end) {
  DeclaredTensor tensor;
  readMessage(source, end, [&](std::uint64_t field, std::uint64_t fieldEnd) {
    if (field == kValueInfoName) {
      tensor.name = readString(source, fieldEnd);
    } else if (field == kValueInfoType) {
      tensor = {tensor.name, 0, {}, false};
      readType(source, fieldEnd, tensor);
    } else {
      return false;
    }
    return true;
  });
  charge(source, kNodeCharge);
  return tensor;
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
  Graph graph;
  return readModel<GraphNodes>(
      in, [&](Source& source, std::uint64_t end) { readGraph(source, end, 0, graph); },
      [&](Source& source) { return nodesOf(source, graph); });
}

std::variant<GraphNodes, std::string> readGraphNodes(const std::string& path) {
  std::ifstream file(pathOf(path.c_str()), std::ios::binary);
  if (!file) return std::string("The file cannot be opened");
  return readGraphNodes(file);
}

std::string loggedNodeHeader(const GraphNode& node) {
  return std::to_string(node.inputs) + " inputs and " + std::to_string(node.outputs) +
         " outputs: [" + node.type.substr(0, node.type.find('\0')) + "]:(" + node.name + ")";
}

std::variant<GraphSignature, std::string> readGraphSignature(std::istream& in) {
  GraphSignature signature;
  std::set<std::string> initializers;
  const auto takeGraph = [&](Source& source, std::uint64_t end) {
    readMessage(source, end, [&](std::uint64_t field, std::uint64_t fieldEnd) {
      switch (field) {
        case kGraphInput: signature.inputs.push_back(readValueInfo(source, fieldEnd)); return true;
        case kGraphOutput:
          signature.outputs.push_back(readValueInfo(source, fieldEnd));
          return true;
        case kGraphInitializer:
          initializers.insert(readNameField(source, fieldEnd, kTensorName));
          return true;
        default: return false;
      }
    });
  };
  return readModel<GraphSignature>(in, takeGraph, [&](Source&) {
    auto& inputs = signature.inputs;
    inputs.erase(std::remove_if(inputs.begin(), inputs.end(),
                                [&](const DeclaredTensor& input) {
                                  return initializers.count(input.name) > 0;
                                }),
                 inputs.end());
    return std::move(signature);
  });
}

std::variant<GraphSignature, std::string> readGraphSignature(const std::string& path) {
  std::error_code error;
  const std::filesystem::path filePath = pathOf(path.c_str());
  if (!std::filesystem::is_regular_file(filePath, error)) return std::string("It is not a file");
  std::ifstream file(filePath, std::ios::binary);
  if (!file) return std::string("The file cannot be opened");
  return readGraphSignature(file);
}
