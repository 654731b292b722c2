#include "report/json_reporter.h"

#include <opencv2/core/version.hpp>

#include <cmath>
#include <string>

#include "check/worker/benchmark.h"
#include "report/shape_text.h"

namespace {

// A number; NaN and the infinities, which JSON has no numbers for, as the strings "NaN",
// "Infinity" and "-Infinity".
nlohmann::json numberValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  return value;
}

nlohmann::json explanationDocument(const Explanation& explanation, const TimeLimit& timeLimit) {
  nlohmann::json document = nlohmann::json::object();
  if (explanation.description) document["description"] = *explanation.description;
  if (explanation.stoppedAt) {
    const StoppingLayer& stopped = *explanation.stoppedAt;
    nlohmann::json& at = document["stoppedAt"];
    at = {{"layer", stopped.layer}, {"inputShapes", stopped.inputShapes}, {"words", stopped.words}};
    if (explanation.stoppedAtNode) {
      at["graphNode"] = explanation.stoppedAtNode->first;
      if (!explanation.stoppedAtNode->first.empty()) {
        at["graphNodeType"] = explanation.stoppedAtNode->second;
      }
    }
  }
  if (explanation.probableLayer) document["probableLayer"] = *explanation.probableLayer;
  if (explanation.graphNodes) document["graph"] = {{"nodes", *explanation.graphNodes}};
  if (explanation.graphError) document["graph"] = {{"error", *explanation.graphError}};
  std::string cutShort;
  if (explanation.cutShort) cutShort = cutShortText(*explanation.cutShort, timeLimit);
  if (explanation.diagnostics) {
    const DiagnosticsList& list = *explanation.diagnostics;
    nlohmann::json rejected = nlohmann::json::array();
    for (const RejectedNodeReport& node : list.rejected) {
      rejected.push_back({{"type", node.type},
                          {"name", node.name},
                          {"domain", node.domain},
                          {"words", node.words},
                          {"withoutLayer", node.withoutLayer},
                          {"onItsOwn", node.onItsOwn}});
    }
    nlohmann::json& diagnostics = document["diagnostics"];
    diagnostics = {{"rejected", rejected},
                   {"typesWithoutLayer", list.typesWithoutLayer},
                   {"complete", list.complete}};
    if (!list.complete) diagnostics["incomplete"] = cutShort;
  } else if (explanation.cutShort) {
    document["incomplete"] = cutShort;
  }
  return document;
}

const char* shapeMatchText(ShapeMatch match) {
  switch (match) {
    case ShapeMatch::kSame: return "same";
    case ShapeMatch::kUnitDimensions: return "only in dimensions of size 1";
    case ShapeMatch::kDifferent: break;
  }
  return "different";
}

}  // namespace

JsonReporter::JsonReporter(std::ostream& out)
    : out_(out), lines_(text_, false), document_(nlohmann::json::object()) {}

void JsonReporter::report(const Event& event) {
  lines_.report(event);
  std::visit(*this, event);
}

void JsonReporter::finish(int status) {
  nlohmann::json document = {{"schema", 1},
                             {"program", "Verasko"},
                             {"version", std::to_string(VERASKO_VERSION_MAJOR) + "." +
                                             std::to_string(VERASKO_VERSION_MINOR) + "." +
                                             std::to_string(VERASKO_VERSION_PATCH)},
                             {"library", "OpenCV " CV_VERSION}};
  document.update(document_);
  document["status"] = status;
  if (!document.contains("outcome")) document["outcome"] = "no verdict";
  nlohmann::json lines = nlohmann::json::array();
  std::istringstream text(text_.str());
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  document["report"] = lines;
  // Names are printable already; a byte that is no UTF-8 becomes U+FFFD rather than break it.
  out_ << document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

void JsonReporter::operator()(const RunStarted& started) {
  run_ = started;
  document_["stage"] = "arguments";
  if (started.timeLimit.seconds > 0) document_["timeLimit"] = started.timeLimit.seconds;
  if (started.hasModel) {
    document_["model"] = {{"path", started.modelPath}, {"file", started.modelFile}};
  }
}

void JsonReporter::operator()(const OptionRefused&) {
  document_["stage"] = "arguments";
}

void JsonReporter::operator()(const PathRefused&) {}

void JsonReporter::operator()(const CheckStarted& started) {
  check_ = started;
  const cv::dnn::MatShape& shape = started.userShape;
  document_["inputs"]["user"] = shape.empty() ? nlohmann::json() : nlohmann::json(shape);
  if (!layoutTag(shape).empty()) document_["inputs"]["userLayout"] = layoutTag(shape);
  document_["stage"] = "loading";
}

void JsonReporter::operator()(const Loaded&) {}

void JsonReporter::operator()(const EmptyModel&) {
  document_["outcome"] = "not executable";
}

void JsonReporter::operator()(const InputReport& inputs) {
  document_["stage"] = "inputs";
  nlohmann::json& model = document_["inputs"]["model"];
  if (inputs.shapes.empty()) model = "dynamic";
  for (const cv::dnn::MatShape& shape : inputs.shapes) model.push_back(shape);
  if (inputs.shapes.size() == 1 && !layoutTag(inputs.shapes[0]).empty()) {
    document_["inputs"]["modelLayout"] = layoutTag(inputs.shapes[0]);
  }
  if (inputs.next == InputsNext::kSeveralInputs) document_["outcome"] = "not executable";
}

void JsonReporter::operator()(const Executing&) {
  document_["stage"] = "execution";
}

void JsonReporter::operator()(const Outputs& outputs) {
  for (const OutputTensor& output : outputs.outputs) {
    document_["outputs"].push_back({{"name", output.name}, {"shape", output.shape}});
  }
}

void JsonReporter::operator()(const Failed& failed) {
  document_["outcome"] = "not executable";
  nlohmann::json& failure = document_["failure"];
  failure = {
      {"reason", failureReason(failed.stage, failed.reason, run_.timeLimit, check_.memoryBudget)},
      {"memoryShortage", false}};
  if (const auto* cause = std::get_if<CheckFailure>(&failed.reason)) {
    if (cause->cause == Cause::kNode) failure["rejectedNode"] = cause->text;
    failure["memoryShortage"] = cause->cause == Cause::kMemory;
  } else if (const auto* ending = std::get_if<Ending>(&failed.reason)) {
    failure["memoryShortage"] = ending->end == WorkerEnd::kKilled;
    if (ending->end == WorkerEnd::kCrash) failure["crash"] = ending->detail;
    if (ending->end == WorkerEnd::kTimeLimit) failure["timeLimit"] = run_.timeLimit.seconds;
  }
}

void JsonReporter::operator()(const Executable&) {
  document_["outcome"] = "executable";
  document_["stage"] = "finished";
}

void JsonReporter::operator()(const Explained& explained) {
  const Explanation& explanation = explained.explanation;
  if (explanation.cutShort) {
    // The worker ended while it explained the failure: the failure's facts say how.
    nlohmann::json& failure = document_["failure"];
    const Ending& ending = *explanation.cutShort;
    if (ending.end == WorkerEnd::kCrash) failure["crash"] = ending.detail;
    if (ending.end == WorkerEnd::kKilled) failure["memoryShortage"] = true;
    if (ending.end == WorkerEnd::kTimeLimit) failure["timeLimit"] = run_.timeLimit.seconds;
  }
  document_["explanation"] = explanationDocument(explanation, run_.timeLimit);
}

void JsonReporter::operator()(const DataRead& data) {
  nlohmann::json inputs = nlohmann::json::array();
  for (size_t i = 0; i < data.inputFiles.size(); ++i) {
    inputs.push_back({{"file", data.inputFiles[i]},
                      {"name", data.inputNames[i]},
                      {"shape", data.inputShapes[i]}});
  }
  document_["data"] = {{"folder", data.folder},
                       {"tolerance",
                        {{"relative", data.tolerance.values.relative},
                         {"absolute", data.tolerance.values.absolute}}},
                       {"inputs", inputs}};
}

void JsonReporter::operator()(const DataRefused& refused) {
  document_["outcome"] = "not executable";
  document_["stage"] = "data";
  document_["data"] = {{"folder", refused.folder}};
  nlohmann::json& failure = document_["failure"];
  failure = {{"reason", dataProblemText(refused.problem, run_.timeLimit, check_.memoryBudget)},
             {"memoryShortage", refused.problem.kind == DataProblemKind::kMemory}};
  if (refused.problem.kind == DataProblemKind::kTimeLimit) {
    failure["timeLimit"] = run_.timeLimit.seconds;
  }
}

void JsonReporter::operator()(const OutputsCompared& compared) {
  nlohmann::json& comparisons = document_["comparison"];
  comparisons = nlohmann::json::array();
  for (const OutputComparison& output : compared.comparisons) {
    const Comparison& comparison = output.comparison;
    nlohmann::json entry = {{"name", output.name},
                            {"file", output.file},
                            {"expectedShape", output.expectedShape},
                            {"computed", output.computed},
                            {"matched", output.computed && comparison.matched}};
    if (output.computed) {
      entry["computedShape"] = output.computedShape;
      entry["shapes"] = shapeMatchText(comparison.shapes);
      entry["compared"] = comparison.compared;
      entry["beyond"] = comparison.beyond;
      entry["largestAbsolute"] = numberValue(comparison.largestAbsolute);
      entry["largestRelative"] = numberValue(comparison.largestRelative);
      if (comparison.compared > 0) {
        entry["worst"] = {{"index", indexAt(comparison.worstIndex, output.expectedShape)},
                          {"expected", numberValue(comparison.worstExpected)},
                          {"computed", numberValue(comparison.worstComputed)}};
      }
    }
    comparisons.push_back(entry);
  }
}

void JsonReporter::operator()(const OutputsDiffer&) {
  document_["outcome"] = "computes other outputs";
  document_["stage"] = "finished";
}

void JsonReporter::operator()(const DeclaredShapes& declared) {
  nlohmann::json& shapes = document_["declaredShapes"];
  shapes = nlohmann::json::array();
  for (const DeclaredShape& shape : declared.shapes) {
    shapes.push_back({{"name", shape.name},
                      {"shape", shape.computed},
                      {"declared", shape.declared},
                      {"shapes", shapeMatchText(shape.match)}});
  }
}

void JsonReporter::operator()(const Benchmarked& benchmarked) {
  const Benchmark& measured = benchmarked.measured;
  const PassStatistics passes = passStatistics(measured.passMilliseconds);
  const auto share = [&](double part) { return passes.median > 0 ? part / passes.median : 0.0; };
  nlohmann::json layers = nlohmann::json::array();
  for (const LayerTime& layer : measured.medianPassLayers) {
    layers.push_back({{"name", layer.name},
                      {"type", layer.type},
                      {"milliseconds", layer.milliseconds},
                      {"share", share(layer.milliseconds)}});
  }
  nlohmann::json types = nlohmann::json::array();
  for (const LayerTime& type : timeByType(measured.medianPassLayers)) {
    types.push_back({{"type", type.type},
                     {"milliseconds", type.milliseconds},
                     {"share", share(type.milliseconds)}});
  }
  document_["benchmark"] = {{"passes", measured.passMilliseconds.size()},
                            {"threads", measured.threads},
                            {"loadMilliseconds", measured.loadMilliseconds},
                            {"passMilliseconds", measured.passMilliseconds},
                            {"minimumMilliseconds", passes.minimum},
                            {"medianMilliseconds", passes.median},
                            {"percentile90Milliseconds", passes.percentile90},
                            {"maximumMilliseconds", passes.maximum},
                            {"medianPassLayers", layers},
                            {"layerTypes", types},
                            {"flops", measured.flops},
                            {"weightBytes", measured.weightBytes},
                            {"blobBytes", measured.blobBytes},
                            {"peakBytes", measured.peakBytes}};
}
