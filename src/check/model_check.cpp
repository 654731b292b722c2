#include "check/model_check.h"

#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <vector>

#include "check/diagnosis.h"
#include "check/execution.h"
#include "check/explanation.h"
#include "check/input_report.h"
#include "check/memory_budget.h"
#include "check/worker.h"
#include "check/worker_process.h"
#include "cli/arguments.h"
#include "report/console.h"
#include "report/json_report.h"
#include "report/shape_text.h"
#include "report/text.h"

namespace {

// What the entry is when it is neither a regular file nor a folder, which the library opens and
// refuses itself: a named pipe or a terminal would keep it waiting forever.
std::string specialFileKind(const char* modelPath) {
  namespace fs = std::filesystem;
  switch (fs::status(pathOf(modelPath)).type()) {
    case fs::file_type::regular:
    case fs::file_type::directory:
    case fs::file_type::not_found: return "";
    case fs::file_type::fifo: return "a named pipe";
    case fs::file_type::character: return "a character device";
    case fs::file_type::block: return "a block device";
    case fs::file_type::socket: return "a socket";
    default: return "a special file";
  }
}

// The reason line for a worker that ended without its last record, in the stage it was in.
std::string endingReason(Failure stage, const Ending& ending, const TimeLimit& timeLimit) {
  switch (ending.first) {
    case WorkerEnd::kCrash: return stage == Failure::kLoad ? crashReason(ending.second) : "";
    case WorkerEnd::kKilled: return memoryShortageReason(stage);
    case WorkerEnd::kTimeLimit: return timeLimitReason(timeLimit.text);
    case WorkerEnd::kUnknown:
      return "How the library ended the check is unknown: " + ending.second + ".";
    case WorkerEnd::kExitStatus:
    case WorkerEnd::kFinished: break;
  }
  return "The library ended the check with exit status " + ending.second + ".";
}

// The worker's record with every text from the model or the library made printable, here and
// nowhere else; the library's descriptions keep their own line ends.
Record printableRecord(const Record& record, const std::string& modelPath) {
  Record printable{record.first, {}};
  const std::vector<std::string>& fields = record.second;
  for (const std::string& field : fields) printable.second.push_back(visibleText(field));
  const bool described = record.first == 'F' && fields.size() == 2 && fields[0].size() == 1 &&
                         (static_cast<Cause>(fields[0][0]) == Cause::kDescription ||
                          static_cast<Cause>(fields[0][0]) == Cause::kMessage);
  if (described) printable.second[1] = visibleDescription(fields[1], modelPath);
  if (record.first == 'W' && !fields.empty()) {
    printable.second[0] = visibleDescription(fields[0], modelPath);
  }
  return printable;
}

// Why the diagnostics pass may not have ended, in the words of its incomplete list.
std::string incompleteReason(const Ending& ending, const TimeLimit& timeLimit) {
  switch (ending.first) {
    case WorkerEnd::kFinished: return "";
    case WorkerEnd::kCrash: return "the library crashed with " + ending.second + ".";
    case WorkerEnd::kKilled: return "the library ran out of memory.";
    case WorkerEnd::kTimeLimit:
      return "the library did not finish within the time limit of " + timeLimit.text + " s.";
    case WorkerEnd::kUnknown:
      return "how the library ended the check is unknown: " + ending.second + ".";
    case WorkerEnd::kExitStatus: break;
  }
  return "the library ended the check with exit status " + ending.second + ".";
}

// What the run found, for the report that scripts read.
nlohmann::json& facts() {
  return reportFacts();
}

// Ends a failed check: with --explain, what explains the failure follows the report.
int explained(int status, nlohmann::json& explanation, const ExplanationGraph& graph,
              bool explain) {
  if (!explain || status != -1 || explanation.empty()) return status;
  if (!explanation.contains("diagnostics") || !explanation["diagnostics"].contains("complete")) {
    finishExplanation(explanation, graph, "");
  }
  facts()["explanation"] = explanation;
  for (const std::string& line : explanationLines(explanation)) std::cout << line << std::endl;
  return status;
}

}  // namespace

int checkModel(const char* modelPath, const std::string& modelFileName,
               const cv::dnn::MatShape& userShape, const TimeLimit& timeLimit, bool explain) {
  facts()["stage"] = "loading";
  const std::string kind = specialFileKind(modelPath);
  if (!kind.empty()) {
    const std::string reason = "The file is " + kind + ", not a model file.";
    facts()["outcome"] = "not executable";
    facts()["failure"] = {{"reason", reason}};
    reportFailure(Failure::kLoad, modelFileName, reason);
    return -1;
  }
  memoryBudget();  // measured once, before the worker starts, for both sides
  Failure stage = Failure::kLoad;
  std::optional<int> status;
  bool executed = false;
  cv::dnn::MatShape modelInputShape;
  bool inputShapeDynamic = false;
  nlohmann::json explanation = nlohmann::json::object();
  ExplanationGraph graph;
  bool explaining = false;
  nlohmann::json outputs = nlohmann::json::array();
  const auto onRecord = [&](const Record& received) {
    const Record record = printableRecord(received, modelPath);
    const std::vector<std::string>& fields = record.second;
    switch (record.first) {
      case 'L': std::cout << "Successfully loaded '" << modelFileName << "'" << std::endl; break;
      case 'E':
        printColoredLines(Red, {"Empty model: '" + modelFileName + "'"});
        facts()["outcome"] = "not executable";
        status = 0;
        break;
      case 'I': {
        std::vector<cv::dnn::MatShape> shapes;
        for (const std::string& field : fields) shapes.push_back(shapeOfField(field));
        facts()["stage"] = "inputs";
        if (shapes.empty()) facts()["inputs"]["model"] = "dynamic";
        for (const cv::dnn::MatShape& shape : shapes) facts()["inputs"]["model"].push_back(shape);
        if (shapes.size() == 1 && !layoutTag(shapes[0]).empty()) {
          facts()["inputs"]["modelLayout"] = layoutTag(shapes[0]);
        }
        status = reportInputs(shapes, userShape, modelFileName);
        if (status == -1) facts()["outcome"] = "not executable";
        inputShapeDynamic = shapes.empty();
        if (!shapes.empty()) modelInputShape = shapes[0];
        break;
      }
      case 'X':
        stage = executionFailure(userShape, modelInputShape, inputShapeDynamic);
        facts()["stage"] = "execution";
        break;
      case 'O':
        reportOutputs(fields);
        for (size_t i = 0; i + 1 < fields.size(); i += 2) {
          outputs.push_back({{"name", fields[i]}, {"shape", shapeOfField(fields[i + 1])}});
        }
        executed = true;
        break;
      case 'F':
        if (fields.size() == 2 && !fields[0].empty() && !status) {
          const Diagnosis diagnosis{static_cast<Cause>(fields[0][0]), fields[1]};
          const std::string reason = failureReason(stage, diagnosis);
          reportFailure(stage, modelFileName, reason);
          facts()["failure"] = {{"reason", reason}};
          if (diagnosis.first == Cause::kNode) facts()["failure"]["rejectedNode"] = fields[1];
          facts()["failure"]["memoryShortage"] = diagnosis.first == Cause::kMemory;
          facts()["outcome"] = "not executable";
          status = -1;
          // An explanation is due from here on, whatever stops the worker; with a rejected
          // node, the list of rejected nodes.
          explaining = explain;
          if (explain && diagnosis.first == Cause::kNode) {
            noteExplanation({'D', {}}, explanation, graph);
          }
        }
        break;
      default: noteExplanation(record, explanation, graph); break;
    }
  };
  Ending ending;
  try {
    ending = runWorker(modelPath, userShape, explain, timeLimit.seconds, onRecord);
  } catch (const std::exception& error) {
    reportFailure(Failure::kLoad, modelFileName, error.what());
    facts()["outcome"] = "not executable";
    facts()["failure"] = {{"reason", error.what()}};
    return -1;
  }
  if (!outputs.empty()) facts()["outputs"] = outputs;
  const bool inOrder = ending.first == WorkerEnd::kFinished;
  if (inOrder && executed && !status) {
    printColoredLines(Green, {"The model can be executed with Lumetra Vision."});
    facts()["outcome"] = "executable";
    facts()["stage"] = "finished";
    return 0;
  }
  if (inOrder && status) return explained(*status, explanation, graph, explain);
  // A worker that did not end in order: whatever it reported, the check failed where it was.
  facts()["outcome"] = "not executable";
  if (explaining) {
    // It ended while it explained the failure: the failure's facts say how, as the explanation.
    nlohmann::json& failure = facts()["failure"];
    if (ending.first == WorkerEnd::kCrash) failure["crash"] = ending.second;
    if (ending.first == WorkerEnd::kKilled) failure["memoryShortage"] = true;
    if (ending.first == WorkerEnd::kTimeLimit) failure["timeLimit"] = timeLimit.seconds;
    finishExplanation(explanation, graph, incompleteReason(ending, timeLimit));
    return explained(-1, explanation, graph, explain);
  }
  if (status != -1) {
    const std::string reason = endingReason(stage, ending, timeLimit);
    reportFailure(stage, modelFileName, reason);
    facts()["failure"] = {{"reason", reason},
                          {"memoryShortage", ending.first == WorkerEnd::kKilled}};
    if (ending.first == WorkerEnd::kCrash) facts()["failure"]["crash"] = ending.second;
    if (ending.first == WorkerEnd::kTimeLimit) facts()["failure"]["timeLimit"] = timeLimit.seconds;
  }
  return explained(-1, explanation, graph, explain);
}
