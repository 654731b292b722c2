#include "report/text_reporter.h"

#include <algorithm>
#include <map>
#include <sstream>

#include "report/shape_text.h"

namespace {

std::string shapeText(const cv::dnn::MatShape& shape, bool withTag) {
  std::ostringstream text;
  printShape(shape, text);
  if (withTag) printLayoutTag(shape, text);
  return text.str();
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

// "2.9 GiB", rounded down.
std::string budgetText(std::uint64_t bytes) {
  const std::uint64_t tenths = bytes * 10 / (std::uint64_t{1} << 30);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " GiB";
}

std::string memoryShortageReason(Stage stage, std::uint64_t memoryBudget) {
  const std::string needs = stage == Stage::kLoad ? "The model" : "The test";
  if (memoryBudget == 0) return needs + " needs more memory than is available.";
  return needs + " needs more memory than the " + budgetText(memoryBudget) + " available.";
}

// How the worker ended without its last word, as a sentence.
std::string endingSentence(const Ending& ending, const TimeLimit& timeLimit) {
  switch (ending.end) {
    case WorkerEnd::kCrash: return "The library crashed with " + ending.detail + ".";
    case WorkerEnd::kKilled: return "The library ran out of memory.";
    case WorkerEnd::kTimeLimit:
      return "The library did not finish within the time limit of " + timeLimit.text + " s.";
    case WorkerEnd::kUnknown:
      return "How the library ended the check is unknown: " + ending.detail + ".";
    case WorkerEnd::kExitStatus:
    case WorkerEnd::kFinished: break;
  }
  return "The library ended the check with exit status " + ending.detail + ".";
}

std::string causeReason(Stage stage, const CheckFailure& failure, std::uint64_t memoryBudget) {
  switch (failure.cause) {
    case Cause::kNode: return "First unsupported node: " + failure.text;
    case Cause::kUnknownFormat: return "Unsupported format (not an onnx file)";
    case Cause::kDescription:
    case Cause::kMessage: return failure.text;
    case Cause::kUnknown: return "The library failed with an unknown error.";
    case Cause::kMemory: return memoryShortageReason(stage, memoryBudget);
    case Cause::kNoNode:
    case Cause::kNone: break;
  }
  return "";
}

std::string counts(const std::map<std::string, int>& byType) {
  std::vector<std::string> items;
  for (const auto& [type, count] : byType) items.push_back(type + " " + std::to_string(count));
  return joined(items, ", ");
}

std::vector<std::string> diagnosticsLines(const Explanation& explanation,
                                          const TimeLimit& timeLimit) {
  const DiagnosticsList& diagnostics = *explanation.diagnostics;
  std::vector<std::string> lines{""};
  if (!diagnostics.rejected.empty() || diagnostics.complete) {
    size_t onItsOwn = 0;
    std::map<std::string, int> after;
    std::map<std::string, int> withoutLayer;
    std::map<std::string, int> withLayer;
    std::vector<std::string> own;
    for (const RejectedNodeReport& node : diagnostics.rejected) {
      if (node.onItsOwn) {
        ++onItsOwn;
        ++(node.withoutLayer ? withoutLayer : withLayer)[node.type];
        own.push_back("  [" + node.type + "]:(" + node.name + ")" +
                      (node.words.empty() ? "" : ": " + node.words));
      } else {
        ++after[node.type];
      }
    }
    const size_t rejected = diagnostics.rejected.size();
    lines.push_back(
        "Rejected nodes: " + std::to_string(rejected) +
        (explanation.graphNodes ? " of " + std::to_string(*explanation.graphNodes) : "") + ", " +
        std::to_string(onItsOwn) + " on its own");
    lines.insert(lines.end(), own.begin(), own.end());
    if (!after.empty()) {
      lines.push_back("After a rejected node: " + std::to_string(rejected - onItsOwn) + " (" +
                      counts(after) + ")");
    }
    if (!withoutLayer.empty()) lines.push_back("Types to implement: " + counts(withoutLayer));
    if (!withLayer.empty()) lines.push_back("Types the library has: " + counts(withLayer));
  }
  if (explanation.graphError) {
    lines.push_back("The model's graph could not be read (" + *explanation.graphError +
                    "), so every rejected node counts as on its own.");
  }
  if (!diagnostics.complete) {
    lines.push_back("The list is incomplete: " +
                    (explanation.cutShort ? cutShortText(*explanation.cutShort, timeLimit) : ""));
  }
  return lines;
}

}  // namespace

std::string failureReason(Stage stage, const FailureReason& reason, const TimeLimit& timeLimit,
                          std::uint64_t memoryBudget) {
  if (const auto* failure = std::get_if<CheckFailure>(&reason)) {
    return causeReason(stage, *failure, memoryBudget);
  }
  if (const auto* ending = std::get_if<Ending>(&reason)) {
    if (ending->end == WorkerEnd::kKilled) return memoryShortageReason(stage, memoryBudget);
    // A crash in the execution says no more than that the execution failed.
    if (ending->end == WorkerEnd::kCrash && stage != Stage::kLoad) return "";
    return endingSentence(*ending, timeLimit);
  }
  if (const auto* special = std::get_if<SpecialFile>(&reason)) {
    return "The file is " + special->kind + ", not a model file.";
  }
  const std::string& why = std::get<NoWorker>(reason).why;
  return "The worker cannot be started" + (why.empty() ? "." : ": " + why);
}

std::string cutShortText(const Ending& ending, const TimeLimit& timeLimit) {
  std::string text = endingSentence(ending, timeLimit);
  text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

std::vector<std::string> explanationLines(const Explanation& explanation,
                                          const TimeLimit& timeLimit) {
  std::vector<std::string> lines;
  if (explanation.diagnostics) {
    lines = diagnosticsLines(explanation, timeLimit);
  } else if (explanation.stoppedAt) {
    const StoppingLayer& stopped = *explanation.stoppedAt;
    lines = {"", "Stopped at: " + stopped.layer};
    if (explanation.stoppedAtNode) {
      const auto& [node, type] = *explanation.stoppedAtNode;
      const size_t open = stopped.layer.find("]:(");
      const std::string name = stopped.layer.substr(open + 3, stopped.layer.size() - open - 4);
      if (node.empty()) lines.push_back("Graph node: none, a layer of the library's own");
      if (!node.empty() && node != name)
        lines.push_back("Graph node: [" + type + "]:(" + node + ")");
    }
    lines.push_back("Input shapes: " + joined(stopped.inputShapes, ", "));
    if (!stopped.words.empty()) lines.push_back("The library says: " + stopped.words);
  } else if (explanation.probableLayer) {
    const std::string& layer = *explanation.probableLayer;
    lines = {"", layer.empty()
                     ? "The library named no layer that stopped the run."
                     : "The library named no layer that stopped the run; probably '" + layer +
                           "', the first without a time (fused layers have none either)."};
  } else if (explanation.description) {
    const std::string& description = *explanation.description;
    if (!description.empty()) lines = {"", "The library's description:"};
    for (size_t from = 0, to; from < description.size(); from = to + 1) {
      to = std::min(description.find('\n', from), description.size());
      lines.push_back(description.substr(from, to - from));
    }
  }
  if (!explanation.diagnostics && explanation.cutShort) {
    if (lines.empty()) lines.push_back("");
    lines.push_back("The explanation is incomplete: " +
                    cutShortText(*explanation.cutShort, timeLimit));
  }
  return lines;
}

TextReporter::TextReporter(std::ostream& out, bool console) : out_(out), console_(console) {}

void TextReporter::report(const Event& event) {
  std::visit(*this, event);
}

void TextReporter::finish(int) {}

void TextReporter::line(const std::string& text) {
  out_ << text << std::endl;
}

void TextReporter::colored(ConsoleColor color, const std::vector<std::string>& lines) {
  if (console_) {
    printColoredLines(color, lines);
    return;
  }
  for (const std::string& text : lines) line(text);
}

void TextReporter::operator()(const RunStarted& started) {
  run_ = started;
}

void TextReporter::operator()(const OptionRefused& refused) {
  const std::string shown = "The time limit '" + refused.refusal.value + "'";
  colored(Red, {refused.refusal.kind == RefusalKind::kNotPositive
                    ? shown + " is not a number of seconds greater than 0."
                    : shown + " is not a number of seconds from 0.001 to 10000000."});
}

void TextReporter::operator()(const PathRefused& refused) {
  switch (refused.problem) {
    case PathProblem::kMissing:
      colored(Red, {"The file '" + run_.modelPath + "' does not exist. "});
      break;
    case PathProblem::kNotOnnx:
      colored(Red, {"Unsupported format '" + run_.modelFile + "': (not an onnx file)"});
      break;
    case PathProblem::kUncheckable:
      colored(Red, {"The file '" + run_.modelPath + "' cannot be checked: " + refused.why});
      break;
  }
}

void TextReporter::operator()(const CheckStarted& started) {
  check_ = started;
}

void TextReporter::operator()(const Loaded&) {
  line("Successfully loaded '" + run_.modelFile + "'");
}

void TextReporter::operator()(const EmptyModel&) {
  colored(Red, {"Empty model: '" + run_.modelFile + "'"});
}

void TextReporter::operator()(const InputReport& inputs) {
  if (inputs.next == InputsNext::kSeveralInputs) {
    line("Model inputs: " + std::to_string(inputs.shapes.size()));
    for (const cv::dnn::MatShape& shape : inputs.shapes) line(" " + shapeText(shape, false));
    colored(Red, {"Not supported: Only models with a single input can be executed."});
    return;
  }
  if (inputs.shapes.empty()) {
    line("Model input shape: dynamic");
  } else {
    line("Model input shape: " + shapeText(inputs.shapes[0], true));
  }
  if (inputs.next == InputsNext::kShapeNeeded) {
    line("To test the execution, please provide the optional [ModelInputshape] (e.g. Verasko.exe " +
         run_.modelFile + " 1 3 224 224).");
    return;
  }
  if (!check_.userShape.empty()) line("User input shape:  " + shapeText(check_.userShape, true));
}

void TextReporter::operator()(const Executing&) {}

void TextReporter::operator()(const Outputs& outputs) {
  line("Model outputs: " + std::to_string(outputs.outputs.size()));
  for (const OutputTensor& output : outputs.outputs) {
    line("Layer: '" + output.name + "' " + shapeText(output.shape, false));
    // An empty output's line is followed by an empty one.
    if (output.shape.empty()) line("");
  }
}

void TextReporter::operator()(const Failed& failed) {
  if (failed.stage == Stage::kExecutionAfterShapeMismatch) {
    line("Warning: the user input shape does not match the model input shape.");
  }
  const std::string reason =
      failureReason(failed.stage, failed.reason, run_.timeLimit, check_.memoryBudget);
  if (failed.stage == Stage::kLoad) {
    colored(Red, {"Failed loading '" + run_.modelFile + "'", reason});
  } else if (reason.empty()) {
    colored(Red, {"Executing '" + run_.modelFile + "' failed"});
  } else {
    colored(Red, {"Executing '" + run_.modelFile + "' failed", reason});
  }
}

void TextReporter::operator()(const Executable&) {
  colored(Green, {"The model can be executed with Lumetra Vision."});
}

void TextReporter::operator()(const Explained& explained) {
  for (const std::string& text : explanationLines(explained.explanation, run_.timeLimit)) {
    line(text);
  }
}
