#include "check/model_check.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <vector>

#include "check/explanation.h"
#include "check/readers/data_set.h"
#include "check/readers/path.h"
#include "check/text.h"
#include "check/worker/memory_budget.h"
#include "check/worker/worker_process.h"

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

void makePrintable(std::string& text) {
  text = visibleText(text);
}
void makePrintable(std::vector<std::string>& texts) {
  for (std::string& text : texts) makePrintable(text);
}

// The worker's finding with every text from the model or the library made printable, here and
// nowhere else; the library's descriptions keep their own line ends.
Finding printable(Finding finding, const std::string& modelPath) {
  if (auto* failure = std::get_if<CheckFailure>(&finding)) {
    const bool described =
        failure->cause == Cause::kDescription || failure->cause == Cause::kMessage;
    failure->text =
        described ? visibleDescription(failure->text, modelPath) : visibleText(failure->text);
  } else if (auto* description = std::get_if<Description>(&finding)) {
    description->text = visibleDescription(description->text, modelPath);
  } else if (auto* outputs = std::get_if<Outputs>(&finding)) {
    for (OutputTensor& output : outputs->outputs) makePrintable(output.name);
  } else if (auto* layer = std::get_if<StoppingLayer>(&finding)) {
    makePrintable(layer->layer);
    makePrintable(layer->inputShapes);
    makePrintable(layer->words);
  } else if (auto* probable = std::get_if<ProbableLayer>(&finding)) {
    makePrintable(probable->layer);
  } else if (auto* node = std::get_if<GraphNode>(&finding)) {
    makePrintable(node->name);
    makePrintable(node->type);
    makePrintable(node->domain);
  } else if (auto* end = std::get_if<GraphEnd>(&finding)) {
    makePrintable(end->error);
  } else if (auto* rejection = std::get_if<NodeRejection>(&finding)) {
    makePrintable(rejection->type);
    makePrintable(rejection->name);
    makePrintable(rejection->domain);
    makePrintable(rejection->words);
  }
  return finding;
}

DataProblem printable(DataProblem problem) {
  makePrintable(problem.file);
  makePrintable(problem.detail);
  makePrintable(problem.tensor);
  return problem;
}

// The shapes of the test's inputs, in the order of the graph's: the data's, the user's, or the one
// that the library knows.
std::vector<std::vector<std::int64_t>> testInputShapes(
    const cv::dnn::MatShape& userShape, const std::vector<cv::dnn::MatShape>& modelInputShapes,
    const DataSet& data, const GraphSignature& graph) {
  if (!data.inputShapes.empty()) {
    std::vector<std::vector<std::int64_t>> shapes;
    for (const DeclaredTensor& input : graph.inputs) {
      for (size_t i = 0; i < data.inputNames.size(); ++i) {
        if (data.inputNames[i] == input.name) shapes.push_back(data.inputShapes[i]);
      }
    }
    return shapes;
  }
  const cv::dnn::MatShape& shape =
      userShape.empty() && modelInputShapes.size() == 1 ? modelInputShapes[0] : userShape;
  if (shape.empty()) return {};
  return {std::vector<std::int64_t>(shape.begin(), shape.end())};
}

}  // namespace

Stage executionStage(const cv::dnn::MatShape& userShape,
                     const std::vector<cv::dnn::MatShape>& modelInputShapes) {
  const bool mismatch =
      !userShape.empty() && !modelInputShapes.empty() && userShape != modelInputShapes[0];
  return mismatch ? Stage::kExecutionAfterShapeMismatch : Stage::kExecution;
}

int checkModel(const char* modelPath, const cv::dnn::MatShape& userShape,
               const CheckOptions& options, Reporter& reporter) {
  // The time limit counts from here, the parent's reading of the data included.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point started = Clock::now();
  // Measured once, before the worker starts, for both sides.
  const std::uint64_t budget = memoryBudget();
  reporter.report(CheckStarted{userShape, budget});
  const std::string kind = specialFileKind(modelPath);
  if (!kind.empty()) {
    reporter.report(Failed{Stage::kLoad, SpecialFile{kind}});
    return -1;
  }
  const bool withData = !options.dataFolder.empty();
  std::variant<GraphSignature, std::string> signature = std::string();
  if (withData || options.declaredShapes) signature = readGraphSignature(modelPath);
  CheckJob job{modelPath, userShape, options.explain,   {},
               {},        {},        options.benchmark, static_cast<double>(budget)};
  DataSet data;
  // Test data that do not fit a model whose graph cannot be read or has no inputs: the library's
  // own verdict on loading it comes first (no model file, an empty network), then this.
  std::optional<DataRefused> afterLoad;
  if (withData) {
    // The expected values are held here while the worker runs: within the budget too.
    ReadLimits limits;
    if (budget != 0) limits.room = budget;
    if (options.timeLimit.seconds > 0) {
      limits.deadline = started + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.timeLimit.seconds));
    }
    auto read = readDataSet(options.dataFolder, signature, limits);
    if (const DataProblem* problem = std::get_if<DataProblem>(&read)) {
      const DataRefused refused{visibleText(options.dataFolder), printable(*problem)};
      const bool modelsFault = problem->kind == DataProblemKind::kGraph ||
                               (problem->kind == DataProblemKind::kInputCount && !problem->count);
      if (!modelsFault) {
        reporter.report(refused);
        return -1;
      }
      afterLoad = refused;
    } else {
      data = std::move(std::get<DataSet>(read));
    }
  }
  if (withData && !afterLoad) {
    job.inputFiles = data.inputFiles;
    job.inputNames = data.inputNames;
    job.inputTypes = data.inputTypes;
    DataRead shown{visibleText(options.dataFolder), options.tolerance, {}, {}, data.inputShapes};
    for (const std::string& file : data.inputFiles) {
      shown.inputFiles.push_back(visibleText(pathOf(file.c_str()).filename().string()));
    }
    for (const std::string& name : data.inputNames) shown.inputNames.push_back(visibleText(name));
    reporter.report(shown);
  }
  Stage stage = Stage::kLoad;
  std::optional<int> status;
  bool executed = false;
  bool matched = true;
  std::vector<cv::dnn::MatShape> modelInputShapes;
  std::vector<DeclaredShape> declared;
  Explanation explanation;
  bool explaining = false;
  std::optional<Benchmark> benchmark;
  bool heard = false;
  const auto onFinding = [&](const Finding& received) {
    heard = true;
    if (afterLoad && status) return;  // refused: nothing more counts
    const Finding finding = printable(received, modelPath);
    if (std::holds_alternative<Loaded>(finding) || std::holds_alternative<Executing>(finding)) {
      if (std::holds_alternative<Executing>(finding)) {
        stage = executionStage(userShape, modelInputShapes);
      }
      reporter.report(std::holds_alternative<Loaded>(finding) ? Event(Loaded{})
                                                              : Event(Executing{}));
    } else if (std::holds_alternative<EmptyModel>(finding)) {
      reporter.report(EmptyModel{});
      status = 0;
    } else if (afterLoad && std::holds_alternative<InputShapes>(finding)) {
      reporter.report(*afterLoad);
      status = -1;
    } else if (const auto* inputs = std::get_if<InputShapes>(&finding)) {
      modelInputShapes = inputs->shapes;
      InputsNext next = InputsNext::kExecution;
      if (withData) {
        // The data give every input.
      } else if (inputs->shapes.size() > 1) {
        next = InputsNext::kSeveralInputs;
        status = -1;
      } else if (inputs->shapes.empty() && userShape.empty()) {
        next = InputsNext::kShapeNeeded;
        status = 0;
      }
      reporter.report(InputReport{inputs->shapes, next});
    } else if (const auto* outputs = std::get_if<Outputs>(&finding)) {
      reporter.report(*outputs);
      executed = true;
      // The outputs are matched by their names as the library gives them.
      const std::vector<OutputTensor>& computed = std::get<Outputs>(received).outputs;
      if (withData) {
        OutputsCompared compared{compareOutputs(data, computed, options.tolerance.values)};
        for (OutputComparison& output : compared.comparisons) {
          makePrintable(output.name);
          matched = matched && output.computed && output.comparison.matched;
        }
        reporter.report(compared);
      }
      if (const auto* graph = std::get_if<GraphSignature>(&signature)) {
        declared = declaredShapes(
            *graph, testInputShapes(userShape, modelInputShapes, data, *graph), computed);
        for (DeclaredShape& shape : declared) makePrintable(shape.name);
      }
    } else if (const auto* measured = std::get_if<Benchmark>(&finding)) {
      benchmark = *measured;
      for (LayerTime& layer : benchmark->medianPassLayers) {
        makePrintable(layer.name);
        makePrintable(layer.type);
      }
    } else if (const auto* failure = std::get_if<CheckFailure>(&finding)) {
      if (status) return;
      reporter.report(Failed{stage, *failure});
      status = -1;
      // An explanation is due from here on, whatever stops the worker; with a rejected node, the
      // list of rejected nodes.
      explaining = options.explain;
      if (options.explain && failure->cause == Cause::kNode) {
        noteExplanation(DiagnosticsBegin{}, explanation);
      }
    } else {
      noteExplanation(finding, explanation);
    }
  };
  double timeLeft = options.timeLimit.seconds;
  if (timeLeft > 0) {
    timeLeft -= std::chrono::duration<double>(Clock::now() - started).count();
    if (timeLeft <= 0 && withData && !afterLoad) {
      reporter.report(DataRefused{visibleText(options.dataFolder),
                                  DataProblem{DataProblemKind::kTimeLimit, "", "", 0, 0}});
      return -1;
    }
    // What is left, however little: the worker is stopped at once then.
    timeLeft = std::max(timeLeft, 1e-6);
  }
  Ending ending;
  try {
    ending = runWorker(job, timeLeft, onFinding);
  } catch (const std::exception& error) {
    reporter.report(Failed{Stage::kLoad, NoWorker{visibleText(error.what())}});
    return -1;
  }
  // A worker that exits before its first report with the status of a program that could not run
  // (a library it needs is missing: 127) or of a job that it could not take (2) never reached
  // the library.
  if (!heard && ending.end == WorkerEnd::kExitStatus &&
      (ending.detail == "127" || ending.detail == "2")) {
    reporter.report(Failed{Stage::kLoad, NoWorker{"it ended with exit status " + ending.detail +
                                                  " before its first report."}});
    return -1;
  }
  const bool inOrder = ending.end == WorkerEnd::kFinished;
  if (inOrder && executed && !status) {
    reporter.report(matched ? Event(Executable{}) : Event(OutputsDiffer{}));
    if (!declared.empty()) reporter.report(DeclaredShapes{declared});
    if (benchmark) reporter.report(Benchmarked{*benchmark});
    return matched ? 0 : -1;
  }
  if (inOrder && status == 0) return 0;
  // A worker that did not end in order, or said nothing that ends the check: whatever it
  // reported, the check failed where it was.
  if (status != -1) reporter.report(Failed{stage, ending});
  // When it ended while it explained the failure, the explanation says how.
  finishExplanation(explanation,
                    explaining && !inOrder ? std::optional<Ending>(ending) : std::nullopt);
  if (options.explain && hasExplanation(explanation)) reporter.report(Explained{explanation});
  return -1;
}
