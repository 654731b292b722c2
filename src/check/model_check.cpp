#include "check/model_check.h"

#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <vector>

#include "check/diagnosis.h"
#include "check/execution.h"
#include "check/input_report.h"
#include "check/memory_budget.h"
#include "check/worker.h"
#include "check/worker_process.h"
#include "cli/arguments.h"
#include "report/console.h"
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
std::string endingReason(Failure stage, const Ending& ending, const std::string& timeLimit) {
  switch (ending.first) {
    case WorkerEnd::kCrash: return stage == Failure::kLoad ? crashReason(ending.second) : "";
    case WorkerEnd::kKilled: return memoryShortageReason(stage);
    case WorkerEnd::kTimeLimit: return timeLimitReason(timeLimit);
    case WorkerEnd::kExitStatus:
    case WorkerEnd::kFinished: break;
  }
  return "The library ended the check with exit status " + ending.second + ".";
}

// The worker's record with every text from the model or the library made printable, here and
// nowhere else; the library's descriptions keep their own line ends.
Record printableRecord(const Record& record, const std::string& modelPath) {
  Record printable{record.first, {}};
  for (const std::string& field : record.second) printable.second.push_back(visibleText(field));
  const std::vector<std::string>& fields = record.second;
  const bool described = record.first == 'F' && fields.size() == 2 && fields[0].size() == 1 &&
                         (static_cast<Cause>(fields[0][0]) == Cause::kDescription ||
                          static_cast<Cause>(fields[0][0]) == Cause::kMessage);
  if (described) printable.second[1] = visibleDescription(fields[1], modelPath);
  return printable;
}

}  // namespace

int checkModel(const char* modelPath, const std::string& modelFileName,
               const cv::dnn::MatShape& userShape, const std::string& timeLimit) {
  const std::string kind = specialFileKind(modelPath);
  if (!kind.empty()) {
    reportFailure(Failure::kLoad, modelFileName, "The file is " + kind + ", not a model file.");
    return -1;
  }
  memoryBudget();  // measured once, before the worker starts, for both sides
  Failure stage = Failure::kLoad;
  std::optional<int> status;
  bool executed = false;
  cv::dnn::MatShape modelInputShape;
  bool inputShapeDynamic = false;
  const auto onRecord = [&](const Record& received) {
    const Record record = printableRecord(received, modelPath);
    const std::vector<std::string>& fields = record.second;
    switch (record.first) {
      case 'L': std::cout << "Successfully loaded '" << modelFileName << "'" << std::endl; break;
      case 'E':
        printColoredLines(Red, {"Empty model: '" + modelFileName + "'"});
        status = 0;
        break;
      case 'I': {
        std::vector<cv::dnn::MatShape> shapes;
        for (const std::string& field : fields) shapes.push_back(shapeOfField(field));
        status = reportInputs(shapes, userShape, modelFileName);
        inputShapeDynamic = shapes.empty();
        if (!shapes.empty()) modelInputShape = shapes[0];
        break;
      }
      case 'X': stage = executionFailure(userShape, modelInputShape, inputShapeDynamic); break;
      case 'O':
        reportOutputs(fields);
        executed = true;
        break;
      case 'F':
        if (fields.size() == 2 && !fields[0].empty() && !status) {
          reportFailure(stage, modelFileName,
                        failureReason(stage, {static_cast<Cause>(fields[0][0]), fields[1]}));
          status = -1;
        }
        break;
      default: break;
    }
  };
  Ending ending;
  try {
    ending =
        runWorker(modelPath, userShape, timeLimit.empty() ? 0 : std::stod(timeLimit), onRecord);
  } catch (const std::exception& error) {
    reportFailure(Failure::kLoad, modelFileName, error.what());
    return -1;
  }
  if (ending.first == WorkerEnd::kFinished && (status || executed)) {
    if (status) return *status;
    printColoredLines(Green, {"The model can be executed with Lumetra Vision."});
    return 0;
  }
  // A worker that did not end in order: whatever it reported, the check failed where it was.
  if (status == -1) return -1;
  reportFailure(stage, modelFileName, endingReason(stage, ending, timeLimit));
  return -1;
}
