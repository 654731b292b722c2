#include "check/explanation.h"

#include <map>

#include "check/library_log.h"
#include "report/text.h"

namespace {

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

std::vector<std::string> diagnosticsLines(const nlohmann::json& diagnostics,
                                          const nlohmann::json& graph) {
  std::vector<std::string> lines{""};
  size_t onItsOwn = 0;
  std::map<std::string, int> after;
  std::map<std::string, int> toImplement;
  std::vector<std::string> own;
  for (const nlohmann::json& node : diagnostics["rejected"]) {
    const std::string type = node["type"];
    if (node["onItsOwn"]) {
      ++onItsOwn;
      ++toImplement[type];
      const std::string words = node["words"];
      own.push_back("  [" + type + "]:(" + node["name"].get<std::string>() + ")" +
                    (words.empty() ? "" : ": " + words));
    } else {
      ++after[type];
    }
  }
  const size_t rejected = diagnostics["rejected"].size();
  lines.push_back("Rejected nodes: " + std::to_string(rejected) +
                  (graph.contains("nodes") ? " of " + graph["nodes"].dump() : "") + ", " +
                  std::to_string(onItsOwn) + " on its own");
  lines.insert(lines.end(), own.begin(), own.end());
  const auto counts = [](const std::map<std::string, int>& byType) {
    std::vector<std::string> items;
    for (const auto& [type, count] : byType) items.push_back(type + " " + std::to_string(count));
    return joined(items, ", ");
  };
  if (!after.empty()) {
    lines.push_back("After a rejected node: " + std::to_string(rejected - onItsOwn) + " (" +
                    counts(after) + ")");
  }
  if (!toImplement.empty()) lines.push_back("Types to implement: " + counts(toImplement));
  if (graph.contains("error")) {
    lines.push_back("The model's graph could not be read (" + graph["error"].get<std::string>() +
                    "), so every rejected node counts as on its own.");
  }
  if (!diagnostics["complete"]) {
    lines.push_back("The list is incomplete: " + diagnostics["incomplete"].get<std::string>());
  }
  return lines;
}

}  // namespace

void noteExplanation(const Record& record, nlohmann::json& explanation, NodeFeeds& feeds) {
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
    case 'G':
      for (size_t i = 1; i + 1 < fields.size(); i += 2) {
        std::vector<std::string>& feeders = feeds[fields[i]];
        for (size_t from = 0, to; from < fields[i + 1].size(); from = to + 1) {
          to = std::min(fields[i + 1].find('\0', from), fields[i + 1].size());
          feeders.push_back(fields[i + 1].substr(from, to - from));
        }
      }
      explanation["graph"] = fields.empty() || fields[0].empty()
                                 ? nlohmann::json{{"nodes", feeds.size()}}
                                 : nlohmann::json{{"error", fields[0]}};
      break;
    case 'D':
      explanation["diagnostics"] = {{"rejected", nlohmann::json::array()},
                                    {"typesWithoutLayer", nlohmann::json::array()}};
      break;
    case 'R':
      if (fields.size() == 4 && explanation.contains("diagnostics")) {
        explanation["diagnostics"]["rejected"].push_back({{"type", fields[0]},
                                                          {"name", fields[1]},
                                                          {"domain", fields[2]},
                                                          {"words", fields[3]}});
      }
      break;
    case 'U':
      if (explanation.contains("diagnostics"))
        explanation["diagnostics"]["typesWithoutLayer"] = fields;
      break;
    default: break;
  }
}

void finishExplanation(nlohmann::json& explanation, const NodeFeeds& feeds,
                       const std::string& incomplete) {
  if (explanation.contains("stoppedAt")) {
    explanation["stoppedAt"]["graphNode"] = graphNodeOf(explanation["stoppedAt"]["layer"], feeds);
  }
  if (!explanation.contains("diagnostics")) return;
  nlohmann::json& diagnostics = explanation["diagnostics"];
  diagnostics["complete"] = incomplete.empty();
  if (!incomplete.empty()) diagnostics["incomplete"] = incomplete;
  nlohmann::json& rejected = diagnostics["rejected"];
  if (!rejected.empty() && explanation.contains("description")) {
    // The first node is the one the normal load named; its words are that load's.
    rejected[0]["words"] = visibleText(libraryWords(explanation["description"]));
  }
  std::vector<RejectedNode> nodes;
  for (const nlohmann::json& node : rejected) {
    const std::string type =
        node["domain"].get<std::string>() + "." + node["type"].get<std::string>();
    bool withoutLayer = false;
    for (const nlohmann::json& known : diagnostics["typesWithoutLayer"]) {
      withoutLayer = withoutLayer || known == type;
    }
    nodes.push_back({node["name"], withoutLayer});
  }
  const std::vector<Rejection> classes = classifyRejections(feeds, nodes);
  for (size_t i = 0; i < classes.size(); ++i) {
    rejected[i]["onItsOwn"] = classes[i] == Rejection::kOnItsOwn;
  }
}

std::vector<std::string> explanationLines(const nlohmann::json& explanation) {
  if (explanation.contains("diagnostics")) {
    return diagnosticsLines(explanation["diagnostics"],
                            explanation.value("graph", nlohmann::json::object()));
  }
  if (explanation.contains("stoppedAt")) {
    const nlohmann::json& stopped = explanation["stoppedAt"];
    const std::string layer = stopped["layer"];
    const std::string node = stopped.value("graphNode", "");
    std::vector<std::string> lines{"", "Stopped at: " + layer};
    const std::string name =
        layer.substr(layer.find("]:(") + 3, layer.size() - layer.find("]:(") - 4);
    if (node.empty()) lines.push_back("Graph node: none, a layer of the library's own");
    if (!node.empty() && node != name) lines.push_back("Graph node: " + node);
    lines.push_back("Input shapes: " + joined(stopped["inputShapes"], ", "));
    const std::string words = stopped["words"];
    if (!words.empty()) lines.push_back("The library says: " + words);
    return lines;
  }
  if (explanation.contains("probableLayer")) {
    const std::string layer = explanation["probableLayer"];
    if (layer.empty()) return {"", "The library named no layer that stopped the run."};
    return {"", "The library named no layer that stopped the run; probably '" + layer +
                    "', the first without a time (fused layers have none either)."};
  }
  if (explanation.contains("description")) {
    const std::string description = explanation["description"];
    if (description.empty()) return {};
    std::vector<std::string> lines{"", "The library's description:"};
    for (size_t from = 0, to; from < description.size(); from = to + 1) {
      to = std::min(description.find('\n', from), description.size());
      lines.push_back(description.substr(from, to - from));
    }
    return lines;
  }
  return {};
}

std::string graphNodeOf(const std::string& layer, const NodeFeeds& feeds) {
  const size_t open = layer.find("]:(");
  if (open == std::string::npos || layer.empty() || layer.back() != ')') return "";
  std::string name = layer.substr(open + 3, layer.size() - open - 4);
  for (;;) {
    if (feeds.count(name) != 0) return name;
    const size_t slash = name.rfind('/');
    if (slash == std::string::npos) return "";
    name.erase(slash);
  }
}
