#include "check/explanation.h"

#include <string_view>
#include <unordered_map>

namespace {

// The graph node that a layer of the library ("[Type]:(name)") stands for: the node of its name,
// or of the name without a suffix that the library added ("/reshape"); kUnknownNode for none.
size_t graphNodeOf(const std::string& layer, const GraphNodes& nodes) {
  const size_t open = layer.find("]:(");
  if (open == std::string::npos || layer.empty() || layer.back() != ')') return kUnknownNode;
  std::unordered_map<std::string_view, size_t> byName;
  for (size_t node = nodes.size(); node-- > 0;) byName[nodes[node].name] = node;
  std::string_view name = std::string_view(layer).substr(open + 3, layer.size() - open - 4);
  for (;;) {
    const auto found = byName.find(name);
    if (found != byName.end()) return found->second;
    const size_t slash = name.rfind('/');
    if (slash == std::string_view::npos) return kUnknownNode;
    name = name.substr(0, slash);
  }
}

}  // namespace

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

bool hasExplanation(const Explanation& explanation) {
  return explanation.description || explanation.stoppedAt || explanation.probableLayer ||
         explanation.graphNodes || explanation.graphError || explanation.diagnostics ||
         explanation.cutShort;
}

void noteExplanation(const Finding& finding, Explanation& explanation) {
  if (const auto* description = std::get_if<Description>(&finding)) {
    explanation.description = description->text;
  } else if (const auto* layer = std::get_if<StoppingLayer>(&finding)) {
    explanation.stoppedAt = *layer;
  } else if (const auto* probable = std::get_if<ProbableLayer>(&finding)) {
    explanation.probableLayer = probable->layer;
  } else if (const auto* node = std::get_if<GraphNode>(&finding)) {
    GraphNode kept = *node;
    // A node reads only what the nodes before it make.
    kept.feeders.clear();
    for (size_t feeder : node->feeders) {
      if (feeder < explanation.nodes.size()) kept.feeders.push_back(feeder);
    }
    explanation.nodes.push_back(std::move(kept));
  } else if (const auto* end = std::get_if<GraphEnd>(&finding)) {
    if (end->error.empty()) {
      explanation.graphNodes = explanation.nodes.size();
      explanation.graphError.reset();
    } else {
      explanation.graphError = end->error;
      explanation.graphNodes.reset();
    }
  } else if (std::holds_alternative<DiagnosticsBegin>(finding)) {
    if (!explanation.diagnostics) explanation.diagnostics = DiagnosticsList{};
  } else if (const auto* rejection = std::get_if<NodeRejection>(&finding)) {
    if (!explanation.diagnostics) return;
    const size_t node = rejection->node;
    explanation.rejectedNodes.emplace_back(node < explanation.nodes.size() ? node : kUnknownNode,
                                           rejection->withoutLayer);
    explanation.diagnostics->rejected.push_back({rejection->type, rejection->name,
                                                 rejection->domain, rejection->words,
                                                 rejection->withoutLayer, true});
  }
}

void finishExplanation(Explanation& explanation, const std::optional<Ending>& cutShort) {
  if (explanation.stoppedAt && explanation.graphNodes) {
    const size_t node = graphNodeOf(explanation.stoppedAt->layer, explanation.nodes);
    explanation.stoppedAtNode.emplace("", "");
    if (node != kUnknownNode) {
      explanation.stoppedAtNode.emplace(explanation.nodes[node].name, explanation.nodes[node].type);
    }
  }
  if (cutShort) explanation.cutShort = cutShort;
  if (!explanation.diagnostics || explanation.diagnostics->finished) return;
  DiagnosticsList& diagnostics = *explanation.diagnostics;
  diagnostics.finished = true;
  diagnostics.complete = !cutShort;
  const std::vector<Rejection> classes =
      classifyRejections(explanation.nodes, explanation.rejectedNodes);
  for (size_t i = 0; i < classes.size() && i < diagnostics.rejected.size(); ++i) {
    RejectedNodeReport& rejected = diagnostics.rejected[i];
    rejected.onItsOwn = classes[i] == Rejection::kOnItsOwn;
    if (rejected.withoutLayer) {
      diagnostics.typesWithoutLayer.insert(rejected.domain + "." + rejected.type);
    }
  }
}
