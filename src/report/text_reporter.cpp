#include "report/text_reporter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

#include "check/worker/benchmark.h"
#include "report/shape_text.h"

namespace {

std::string shapeText(const cv::dnn::MatShape& shape, bool withTag) {
  std::ostringstream text;
  printShape(shape, text);
  if (withTag) printLayoutTag(shape, text);
  return text.str();
}

std::string shapeText(const std::vector<std::int64_t>& shape) {
  std::string text;
  for (std::int64_t dimension : shape) {
    text += (text.empty() ? "" : ", ") + std::to_string(dimension);
  }
  return "[" + text + "]";
}

// A number as the comparison lines show it: `digits` significant digits.
std::string number(double value, int digits) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0) return "0";  // -0 as well
  char text[32];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return text;
}

// "<expected> was expected and <computed>": 7 significant digits, or up to 9, as many as a float
// needs to show two values apart.
std::string worstValues(const Comparison& comparison) {
  const double expected = comparison.worstExpected, computed = comparison.worstComputed;
  int digits = 7;
  while (digits < 9 && expected != computed &&
         number(expected, digits) == number(computed, digits)) {
    ++digits;
  }
  return number(expected, digits) + " was expected and " + number(computed, digits);
}

// Milliseconds with three decimals: "12.345 ms".
std::string milliseconds(double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.3f ms", value);
  return text;
}

// A part of a whole as a percentage with one decimal: "12.3%".
std::string share(double part, double whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", whole > 0 ? 100 * part / whole : 0.0);
  return text;
}

// A count in a unit with a decimal prefix, three significant digits: "3.86 GFLOP".
std::string withPrefix(double value, const std::string& unit) {
  const char* const prefixes[] = {"", "k", "M", "G", "T", "P"};
  size_t prefix = 0;
  while (prefix + 1 < std::size(prefixes) && std::fabs(value) >= 1000) {
    value /= 1000;
    ++prefix;
  }
  return number(value, 3) + " " + prefixes[prefix] + unit;
}

// Bytes with a binary prefix and one decimal, as bytes below 1 KiB: "432 B", "97.5 MiB".
std::string byteSize(double bytes) {
  const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t unit = 0;
  while (unit + 1 < std::size(units) && bytes >= 1024) {
    bytes /= 1024;
    ++unit;
  }
  char text[48];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
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

// "more memory than the 2.9 GiB available.", for what needs it.
std::string moreMemoryThan(std::uint64_t memoryBudget) {
  if (memoryBudget == 0) return "more memory than is available.";
  return "more memory than the " + budgetText(memoryBudget) + " available.";
}

std::string memoryShortageReason(Stage stage, std::uint64_t memoryBudget) {
  return (stage == Stage::kLoad ? "The model needs " : "The test needs ") +
         moreMemoryThan(memoryBudget);
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
  const std::string& value = refused.refusal.value;
  switch (refused.refusal.kind) {
    case RefusalKind::kTimeLimitNotPositive:
      colored(Red, {"The time limit '" + value + "' is not a number of seconds greater than 0."});
      break;
    case RefusalKind::kTimeLimitOutOfRange:
      colored(Red, {"The time limit '" + value +
                    "' is not a number of seconds from 0.001 to 10000000."});
      break;
    case RefusalKind::kTolerance:
      colored(Red, {"The tolerance '" + value +
                    "' is not a relative and an absolute tolerance of 0 or more, such as "
                    "1e-3,1e-4."});
      break;
    case RefusalKind::kNoDataFolder:
      colored(Red, {"The option --data is not followed by the folder of the test data."});
      break;
    case RefusalKind::kDataWithShape:
      colored(Red, {"The test data give the input shapes: --data and shape arguments exclude "
                    "each other."});
      break;
    case RefusalKind::kUnknownOption:
      colored(Red, {"'" + value +
                    "' is no option of Verasko; the options are --explain, --json, "
                    "--time-limit, --data, --tolerance and --benchmark."});
      break;
    case RefusalKind::kBenchmarkCount:
      colored(Red, {"The benchmark count '" + value + "' is not a whole number from 1 to 100000."});
      break;
  }
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
  if (inputs.shapes.size() > 1) {
    line("Model inputs: " + std::to_string(inputs.shapes.size()));
    for (const cv::dnn::MatShape& shape : inputs.shapes) line(" " + shapeText(shape, false));
  }
  if (inputs.next == InputsNext::kSeveralInputs) {
    colored(Red, {"Not supported: Only models with a single input can be executed."});
    return;
  }
  if (inputs.shapes.empty()) {
    line("Model input shape: dynamic");
  } else if (inputs.shapes.size() == 1) {
    line("Model input shape: " + shapeText(inputs.shapes[0], true));
  }
  if (data_) {
    for (size_t i = 0; i < data_->inputFiles.size(); ++i) {
      const cv::dnn::MatShape shape(data_->inputShapes[i].begin(), data_->inputShapes[i].end());
      line("Input data: " + data_->inputFiles[i] + " " + shapeText(shape, true) +
           (data_->inputFiles.size() > 1 ? " as '" + data_->inputNames[i] + "'" : ""));
    }
    return;
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

void TextReporter::operator()(const Benchmarked& benchmarked) {
  // How many of the slowest layers are named.
  constexpr size_t kSlowestLayers = 10;
  const Benchmark& measured = benchmarked.measured;
  const PassStatistics passes = passStatistics(measured.passMilliseconds);
  const size_t count = measured.passMilliseconds.size();
  line("Timed passes: " + std::to_string(count) + " after the check's own, " +
       std::to_string(measured.threads) + " thread" + (measured.threads == 1 ? "" : "s") +
       "; loading took " + milliseconds(measured.loadMilliseconds));
  line("Pass times: minimum " + milliseconds(passes.minimum) + ", median " +
       milliseconds(passes.median) + ", 90th percentile " + milliseconds(passes.percentile90) +
       ", maximum " + milliseconds(passes.maximum));
  line("Slowest layers of the median pass:");
  for (const LayerTime& layer : slowestLayers(measured.medianPassLayers, kSlowestLayers)) {
    if (layer.milliseconds <= 0) continue;  // fused into another
    line("  '" + layer.name + "' (" + layer.type + "): " + milliseconds(layer.milliseconds) + ", " +
         share(layer.milliseconds, passes.median));
  }
  line("Time by layer type:");
  for (const LayerTime& type : timeByType(measured.medianPassLayers)) {
    if (type.milliseconds <= 0) continue;
    line("  " + type.type + ": " + milliseconds(type.milliseconds) + ", " +
         share(type.milliseconds, passes.median));
  }
  line("The library's estimate: " + withPrefix(measured.flops, "FLOP") + ", weights " +
       byteSize(measured.weightBytes) + ", blobs " + byteSize(measured.blobBytes) +
       "; the worker's peak memory: " + byteSize(measured.peakBytes));
}

std::string dataProblemText(const DataProblem& problem, const TimeLimit& timeLimit,
                            std::uint64_t memoryBudget) {
  switch (problem.kind) {
    case DataProblemKind::kFolder: return problem.detail + ".";
    case DataProblemKind::kFile: return problem.file + ": " + problem.detail + ".";
    case DataProblemKind::kGraph:
      return "The model's inputs and outputs cannot be read: " + problem.detail + ".";
    case DataProblemKind::kInputCount:
      return "The model has " + std::to_string(problem.count) + " input" +
             (problem.count == 1 ? "" : "s") + ", the folder " + std::to_string(problem.files) +
             " input file" + (problem.files == 1 ? "" : "s") + ".";
    case DataProblemKind::kFileWithoutOutput:
      return problem.file + " has no output of the model to match: the model has " +
             std::to_string(problem.count) + " output" + (problem.count == 1 ? "" : "s") + ".";
    case DataProblemKind::kOutputWithoutFile:
      return "The model's output '" + problem.file + "' has no file: the folder has " +
             std::to_string(problem.files) + " output file" + (problem.files == 1 ? "" : "s") + ".";
    case DataProblemKind::kSameInput:
      return problem.detail + " and " + problem.file + " both give the model's input '" +
             problem.tensor + "'.";
    case DataProblemKind::kSameOutput:
      return problem.detail + " and " + problem.file + " both hold the model's output '" +
             problem.tensor + "'.";
    case DataProblemKind::kMemory:
      return problem.file + ": Its values need " + moreMemoryThan(memoryBudget);
    case DataProblemKind::kTimeLimit:
      return "Reading the files took longer than the time limit of " + timeLimit.text + " s.";
  }
  return "";
}

void TextReporter::operator()(const DataRead& data) {
  data_ = data;
}

void TextReporter::operator()(const DataRefused& refused) {
  colored(Red, {"Failed reading the test data in '" + refused.folder + "'",
                dataProblemText(refused.problem, run_.timeLimit, check_.memoryBudget)});
}

void TextReporter::operator()(const OutputsCompared& compared) {
  for (const OutputComparison& output : compared.comparisons) {
    const std::string name = "Output '" + output.name + "'";
    if (!output.computed) {
      line(name + " of " + output.file + " was not computed.");
      continue;
    }
    const Comparison& comparison = output.comparison;
    const std::string shapes = name + " has shape " + shapeText(output.computedShape, false) +
                               " where " + output.file + " holds " +
                               shapeText(output.expectedShape);
    if (comparison.shapes == ShapeMatch::kDifferent) {
      line(shapes + ".");
      continue;
    }
    if (comparison.shapes == ShapeMatch::kUnitDimensions) {
      line(shapes + ": they differ only in dimensions of size 1, so the values are compared.");
    }
    if (comparison.matched) {
      line(name + " matches " + output.file + ": the largest difference is " +
           number(comparison.largestAbsolute, 3) + ".");
    } else if (comparison.compared == 0) {
      line(name + " has no values to compare with " + output.file + ".");
    } else {
      line(name + " differs from " + output.file + ": " + std::to_string(comparison.beyond) +
           " of " + std::to_string(comparison.compared) +
           " values beyond the tolerance, the largest difference " +
           number(comparison.largestAbsolute, 3) + "; at " +
           shapeText(indexAt(comparison.worstIndex, output.expectedShape)) + " " +
           worstValues(comparison) + " computed.");
    }
  }
}

void TextReporter::operator()(const OutputsDiffer&) {
  colored(Red, {"The model runs with Lumetra Vision but computes other outputs than expected."});
}

void TextReporter::operator()(const DeclaredShapes& declared) {
  if (!run_.explain) return;
  std::vector<std::string> lines;
  for (const DeclaredShape& shape : declared.shapes) {
    if (shape.match == ShapeMatch::kSame) continue;
    lines.push_back("Output '" + shape.name + "' has shape " + shapeText(shape.computed, false) +
                    "; the model declares " + shapeText(shape.declared) +
                    (shape.match == ShapeMatch::kUnitDimensions
                         ? ", the same but for dimensions of size 1."
                         : "."));
  }
  if (lines.empty()) return;
  line("");
  for (const std::string& text : lines) line(text);
}
