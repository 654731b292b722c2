#include "check/explanation.h"

#include <map>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "check/library_log.h"
#include "report/text.h"

namespace {

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

std::string counts(const std::map<std::string, int>& byType) {
  std::vector<std::string> items;
  for (const auto& [type, count] : byType) items.push_back(type + " " + std::to_string(count));
  return joined(items, ", ");
}

std::vector<std::string> diagnosticsLines(const nlohmann::json& diagnostics,
                                          const nlohmann::json& graph) {
  std::vector<std::string> lines{""};
  const nlohmann::json& rejected = diagnostics["rejected"];
  if (!rejected.empty() || diagnostics["complete"]) {
    size_t onItsOwn = 0;
    std::map<std::string, int> after;
    std::map<std::string, int> withoutLayer;
    std::map<std::string, int> withLayer;
    std::vector<std::string> own;
    for (const nlohmann::json& node : rejected) {
      const std::string type = node["type"];
      if (node["onItsOwn"]) {
        ++onItsOwn;
        ++(node.value("withoutLayer", false) ? withoutLayer : withLayer)[type];
        const std::string words = node["words"];
        own.push_back("  [" + type + "]:(" + node["name"].get<std::string>() + ")" +
                      (words.empty() ? "" : ": " + words));
      } else {
        ++after[type];
      }
    }
    lines.push_back("Rejected nodes: " + std::to_string(rejected.size()) +
                    (graph.contains("nodes") ? " of " + graph["nodes"].dump() : "") + ", " +
                    std::to_string(onItsOwn) + " on its own");
    lines.insert(lines.end(), own.begin(), own.end());
    if (!after.empty()) {
      lines.push_back("After a rejected node: " + std::to_string(rejected.size() - onItsOwn) +
                      " (" + counts(after) + ")");
    }
    if (!withoutLayer.empty()) lines.push_back("Types to implement: " + counts(withoutLayer));
    if (!withLayer.empty()) lines.push_back("Types the library has: " + counts(withLayer));
  }
  if (graph.contains("error")) {
    lines.push_back("The model's graph could not be read (" + graph["error"].get<std::string>() +
                    "), so every rejected node counts as on its own.");
  }
  if (!diagnostics["complete"]) {
    lines.push_back("The list is incomplete: " + diagnostics["incomplete"].get<std::string>());
  }
  return lines;
}

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

void noteExplanation(const Record& record, nlohmann::json& explanation, ExplanationGraph& graph) {
  const std::vector<std::string>& fields = record.second;
  switch (record.first) {
    case 'W':
      if (!fields.empty()) explanation["description"] = fields[0];
      break;
    case 'S':
      if (fields.size() >= 2) {
        explanation["stoppedAt"] = {
            {"layer", fields.front()},
            {"inputShapes", std::vector<std::string>(fields.begin() + 1, fields.end() - 1)},
            {"words", fields.back()}};
      }
      break;
    case 'P': explanation["probableLayer"] = fields.empty() ? "" : fields[0]; break;
    case 'N':
      if (fields.size() == 4) {
        GraphNode node{fields[0], fields[1], fields[2], 0, 0, {}};
        std::istringstream feeders(fields[3]);
        for (size_t feeder = 0; feeders >> feeder;) {
          if (feeder < graph.nodes.size()) node.feeders.push_back(feeder);
        }
        graph.nodes.push_back(std::move(node));
      }
      break;
    case 'G':
      explanation["graph"] = fields.empty() || fields[0].empty()
                                 ? nlohmann::json{{"nodes", graph.nodes.size()}}
                                 : nlohmann::json{{"error", fields[0]}};
      break;
    case 'D':
      if (!explanation.contains("diagnostics")) {
        explanation["diagnostics"] = {{"rejected", nlohmann::json::array()},
                                      {"typesWithoutLayer", nlohmann::json::array()}};
      }
      break;
    case 'R':
      if (fields.size() == 6 && explanation.contains("diagnostics")) {
        size_t node = kUnknownNode;
        const std::string& index = fields[0];
        if (!index.empty() && index.size() < 16 &&
            index.find_first_not_of("0123456789") == index.npos) {
          node = std::stoul(index);
        }
        graph.rejected.emplace_back(node < graph.nodes.size() ? node : kUnknownNode,
                                    !fields[5].empty());
        explanation["diagnostics"]["rejected"].push_back({{"type", fields[1]},
                                                          {"name", fields[2]},
                                                          {"domain", fields[3]},
                                                          {"words", fields[4]},
                                                          {"withoutLayer", !fields[5].empty()}});
      }
      break;
    default: break;
  }
}

void finishExplanation(nlohmann::json& explanation, const ExplanationGraph& graph,
                       const std::string& incomplete) {
  if (explanation.contains("stoppedAt") && explanation.contains("graph") &&
      explanation["graph"].contains("nodes")) {
    const size_t node = graphNodeOf(explanation["stoppedAt"]["layer"], graph.nodes);
    nlohmann::json& stopped = explanation["stoppedAt"];
    stopped["graphNode"] = node == kUnknownNode ? "" : graph.nodes[node].name;
    if (node != kUnknownNode) stopped["graphNodeType"] = graph.nodes[node].type;
  }
  if (!explanation.contains("diagnostics")) {
    if (!incomplete.empty()) explanation["incomplete"] = incomplete;
    return;
  }
  nlohmann::json& diagnostics = explanation["diagnostics"];
  diagnostics["complete"] = incomplete.empty();
  if (!incomplete.empty()) diagnostics["incomplete"] = incomplete;
  nlohmann::json& rejected = diagnostics["rejected"];
  const std::vector<Rejection> classes = classifyRejections(graph.nodes, graph.rejected);
  std::set<std::string> withoutLayer;
  for (size_t i = 0; i < classes.size() && i < rejected.size(); ++i) {
    rejected[i]["onItsOwn"] = classes[i] == Rejection::kOnItsOwn;
    if (rejected[i]["withoutLayer"]) {
      withoutLayer.insert(rejected[i]["domain"].get<std::string>() + "." +
                          rejected[i]["type"].get<std::string>());
    }
  }
  diagnostics["typesWithoutLayer"] = withoutLayer;
}

std::vector<std::string> explanationLines(const nlohmann::json& explanation) {
  std::vector<std::string> lines;
  if (explanation.contains("diagnostics")) {
    lines = diagnosticsLines(explanation["diagnostics"],
                             explanation.value("graph", nlohmann::json::object()));
  } else if (explanation.contains("stoppedAt")) {
    const nlohmann::json& stopped = explanation["stoppedAt"];
    const std::string layer = stopped["layer"];
    lines = {"", "Stopped at: " + layer};
    if (stopped.contains("graphNode")) {
      const std::string node = stopped["graphNode"];
      const std::string name =
          layer.substr(layer.find("]:(") + 3, layer.size() - layer.find("]:(") - 4);
      if (node.empty()) lines.push_back("Graph node: none, a layer of the library's own");
      if (!node.empty() && node != name) {
        lines.push_back("Graph node: [" + stopped["graphNodeType"].get<std::string>() + "]:(" +
                        node + ")");
      }
    }
    lines.push_back("Input shapes: " + joined(stopped["inputShapes"], ", "));
    const std::string words = stopped["words"];
    if (!words.empty()) lines.push_back("The library says: " + words);
  } else if (explanation.contains("probableLayer")) {
    const std::string layer = explanation["probableLayer"];
    lines = {"", layer.empty()
                     ? "The library named no layer that stopped the run."
                     : "The library named no layer that stopped the run; probably '" + layer +
                           "', the first without a time (fused layers have none either)."};
  } else if (explanation.contains("description")) {
    const std::string description = explanation["description"];
    if (!description.empty()) lines = {"", "The library's description:"};
    for (size_t from = 0, to; from < description.size(); from = to + 1) {
      to = std::min(description.find('\n', from), description.size());
      lines.push_back(description.substr(from, to - from));
    }
  }
  if (explanation.contains("incomplete")) {
    if (lines.empty()) lines.push_back("");
    lines.push_back("The explanation is incomplete: " +
                    explanation["incomplete"].get<std::string>());
  }
  return lines;
}
