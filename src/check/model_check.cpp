#include "check/model_check.h"

#include <opencv2/dnn.hpp>

#include <vector>

#include "check/capture.h"
#include "check/execution.h"
#include "check/input_report.h"
#include "report/console.h"

namespace {

// Everything from the creation of the input tensor to the verdict. Any failure here, the
// library's or another, is a failed execution.
int execute(cv::dnn::Net& net, const std::vector<std::string>& outputNames,
            const MatShape& testInputShape, bool warnShapeMismatch,
            const std::string& modelFileName, std::ostream& outCapture, std::ostream& errCapture,
            std::streambuf* savedOut, std::streambuf* savedErr) {
  armCrashReport(warnShapeMismatch ? std::string(kShapeMismatchWarning) + "\n" : "",
                 "Executing '" + modelFileName + "' failed", false);
  try {
    if (!fitsAddressSpace(testInputShape, sizeof(float))) {
      CV_Error(cv::Error::StsNoMem, "the input tensor does not fit the address space");
    }
    cv::Mat inputBlob(testInputShape, CV_32F);
    openCapture(outCapture, errCapture);
    net.setInput(inputBlob, "", 1.0, cv::Scalar(0, 0, 0, 0));
    std::vector<cv::Mat> outputBlobs;
    net.forward(outputBlobs, outputNames);
    closeCapture(savedOut, savedErr);
    disarmCrashReport();

    reportOutputs(outputNames, outputBlobs);
    printColoredLines(Green, {"The model can be executed with Lumetra Vision."});
    return 0;
  } catch (...) {
    closeCapture(savedOut, savedErr);
    disarmCrashReport();
    reportExecutionFailure(warnShapeMismatch, modelFileName);
    return -1;
  }
}

}  // namespace

int checkModel(const char* modelPath, const std::string& modelFileName, const MatShape& userShape,
               std::ostream& outCapture, std::ostream& errCapture, std::streambuf* savedOut,
               std::streambuf* savedErr) {
  armCrashReport("", "Failed loading '" + modelFileName + "'", true);
  openCapture(outCapture, errCapture);
  cv::dnn::Net net = cv::dnn::readNet(modelPath, "", "");
  closeCapture(savedOut, savedErr);

  if (net.empty()) {
    disarmCrashReport();
    printColoredLines(Red, {"Empty model: '" + modelFileName + "'"});
    return 0;
  }
  std::cout << "Successfully loaded '" << modelFileName << "'" << std::endl;

  std::vector<MatShape> layerInputShapes;
  std::vector<MatShape> modelInputShapes;
  net.getLayerShapes(MatShape(), 0, layerInputShapes, modelInputShapes);
  if (const std::optional<int> status = reportInputs(modelInputShapes, userShape, modelFileName)) {
    disarmCrashReport();
    return *status;
  }
  const bool inputShapeDynamic = modelInputShapes.empty();
  const MatShape modelInputShape = inputShapeDynamic ? MatShape() : modelInputShapes[0];
  const MatShape& testInputShape = userShape.empty() ? modelInputShape : userShape;

  const std::vector<std::string> outputNames = net.getUnconnectedOutLayersNames();
  return execute(net, outputNames, testInputShape,
                 warnsShapeMismatch(userShape, modelInputShape, inputShapeDynamic), modelFileName,
                 outCapture, errCapture, savedOut, savedErr);
}
