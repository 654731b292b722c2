#include "check/model_check.h"

#include <opencv2/core/utils/logger.hpp>

#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <vector>

#include "check/diagnosis.h"
#include "check/execution.h"
#include "check/input_report.h"
#include "check/library_window.h"
#include "check/memory_budget.h"
#include "report/console.h"

namespace {

// What the entry is when it is neither a regular file nor a folder, which the library opens and
// refuses itself: a named pipe or a terminal would keep it waiting forever.
std::string specialFileKind(const char* modelPath) {
  namespace fs = std::filesystem;
  switch (fs::status(fs::path(modelPath)).type()) {
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

int loadAndExecute(const char* modelPath, const std::string& modelFileName,
                   const cv::dnn::MatShape& userShape, Captures& captures) {
  const std::string kind = specialFileKind(modelPath);
  if (!kind.empty()) throw std::runtime_error("The file is " + kind + ", not a model file.");
  cv::dnn::Net net;
  {
    LibraryWindow window(captures, Failure::kLoad, modelFileName);
    net = cv::dnn::readNet(modelPath, "", "");
  }
  if (net.empty()) {
    printColoredLines(Red, {"Empty model: '" + modelFileName + "'"});
    return 0;
  }
  std::cout << "Successfully loaded '" << modelFileName << "'" << std::endl;

  std::vector<cv::dnn::MatShape> layerInputShapes;
  std::vector<cv::dnn::MatShape> modelInputShapes;
  {
    LibraryWindow window(captures, Failure::kLoad, modelFileName);
    net.getLayerShapes(cv::dnn::MatShape(), 0, layerInputShapes, modelInputShapes);
  }
  if (const std::optional<int> status = reportInputs(modelInputShapes, userShape, modelFileName)) {
    return *status;
  }
  const bool inputShapeDynamic = modelInputShapes.empty();
  const cv::dnn::MatShape modelInputShape =
      inputShapeDynamic ? cv::dnn::MatShape() : modelInputShapes[0];
  return executeModel(net, userShape.empty() ? modelInputShape : userShape,
                      executionFailure(userShape, modelInputShape, inputShapeDynamic),
                      modelFileName, captures);
}

}  // namespace

int checkModel(const char* modelPath, const std::string& modelFileName,
               const cv::dnn::MatShape& userShape) {
  // The library's words are those of its default log level, whatever was set before.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_WARNING);
  applyMemoryBudget();
  Captures captures;
  try {
    return loadAndExecute(modelPath, modelFileName, userShape, captures);
  } catch (...) {
    // The windows have put the console back; the network is gone.
    reportFailure(Failure::kLoad, modelFileName,
                  failureReason(Failure::kLoad, captures.second.str(), std::current_exception()));
    return -1;
  }
}
