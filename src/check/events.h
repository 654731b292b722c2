// What a run reports, as typed events: the command line's verdicts, the worker's findings as the
// parent passes them on, and the check's ending. The reporters alone word them.
#pragma once

#include <opencv2/dnn.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "check/comparison.h"
#include "check/explanation.h"
#include "check/options.h"
#include "check/readers/data_set.h"
#include "check/worker/findings.h"
#include "check/worker/worker_process.h"

// Where the check was when it failed: the words of a failure depend on it.
enum class Stage { kLoad, kExecution, kExecutionAfterShapeMismatch };

// The run's model and options, once they are read. Texts are printable.
struct RunStarted {
  bool hasModel = false;
  std::string modelPath;
  std::string modelFile;
  TimeLimit timeLimit;
  bool explain = false;
};

struct OptionRefused {
  Refusal refusal;
};

enum class PathProblem { kMissing, kNotOnnx, kUncheckable };
struct PathRefused {
  PathProblem problem = PathProblem::kMissing;
  std::string why;  // for a path that cannot be checked
};

// The model check begins, with the user's shape and the memory budget of the run (0: unknown).
struct CheckStarted {
  cv::dnn::MatShape userShape;
  std::uint64_t memoryBudget = 0;
};

// The model's input shapes, and what follows from them.
enum class InputsNext { kExecution, kSeveralInputs, kShapeNeeded };
struct InputReport {
  std::vector<cv::dnn::MatShape> shapes;
  InputsNext next = InputsNext::kExecution;
};

// Why a check failed: the worker's own word, how the worker ended without one, the model path
// naming a file that is no model file ("a named pipe"), or no worker to be had (why, or "").
struct SpecialFile {
  std::string kind;
};
struct NoWorker {
  std::string why;
};
using FailureReason = std::variant<CheckFailure, Ending, SpecialFile, NoWorker>;

struct Failed {
  Stage stage = Stage::kLoad;
  FailureReason reason;
};

struct Executable {};

// The test data, read and matched to the model's inputs and outputs, before the model is loaded
// (the folder as typed and the files' names, printable), or why they cannot be used.
struct DataRead {
  std::string folder;
  ToleranceOption tolerance;
  std::vector<std::string> inputFiles;
  std::vector<std::string> inputNames;
  std::vector<std::vector<std::int64_t>> inputShapes;
};
struct DataRefused {
  std::string folder;
  DataProblem problem;
};

// Each expected output held against the computed one, after the outputs; then, when any differs,
// the verdict that the model computes other outputs.
struct OutputsCompared {
  std::vector<OutputComparison> comparisons;
};
struct OutputsDiffer {};

// After a successful execution, the outputs' shapes against those that the model declares.
struct DeclaredShapes {
  std::vector<DeclaredShape> shapes;
};

struct Explained {
  Explanation explanation;
};

// After the verdict, the timed passes that followed the check's own pass.
struct Benchmarked {
  Benchmark measured;
};

using Event =
    std::variant<RunStarted, OptionRefused, PathRefused, CheckStarted, Loaded, EmptyModel,
                 InputReport, Executing, Outputs, Failed, Executable, Explained, DataRead,
                 DataRefused, OutputsCompared, OutputsDiffer, DeclaredShapes, Benchmarked>;
