#include "check/model_check.h"

#include <iostream>
#include <optional>
#include <vector>

#include "check/diagnosis.h"
#include "check/execution.h"
#include "check/input_report.h"
#include "check/library_window.h"
#include "report/console.h"

namespace {

int loadAndExecute(const char* modelPath, const std::string& modelFileName,
                   const cv::dnn::MatShape& userShape, Captures& captures) {
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
  Captures captures;
  try {
    return loadAndExecute(modelPath, modelFileName, userShape, captures);
  } catch (...) {
    // The windows have put the console back; the network is gone.
    reportFailure(Failure::kLoad, modelFileName,
                  loadFailureReason(captures.second.str(), std::current_exception()));
    return -1;
  }
}
