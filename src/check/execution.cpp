#include "check/execution.h"

#include <iostream>
#include <limits>

#include "report/console.h"

const char kShapeMismatchWarning[] =
    "Warning: the user input shape does not match the model input shape.";

bool fitsAddressSpace(const MatShape& shape, size_t elementSize) {
  for (int dimension : shape) {
    if (dimension <= 0) return true;
  }
  size_t bytes = elementSize;
  for (int dimension : shape) {
    const size_t size = static_cast<size_t>(dimension);
    if (bytes > std::numeric_limits<size_t>::max() / size) return false;
    bytes *= size;
  }
  return true;
}

void reportOutputs(const std::vector<std::string>& outputNames,
                   const std::vector<cv::Mat>& outputBlobs) {
  std::cout << "Model outputs: " << outputNames.size() << std::endl;
  for (size_t i = 0; i < outputBlobs.size(); ++i) {
    const cv::Mat& blob = outputBlobs[i];
    std::cout << "Layer: '" << outputNames.at(i) << "' ";
    if (blob.empty()) {
      std::cout << "[]" << std::endl;
    } else {
      printShape(MatShape(blob.size.p, blob.size.p + blob.dims));
    }
    std::cout << std::endl;
  }
}

void reportExecutionFailure(bool warnShapeMismatch, const std::string& modelFileName) {
  if (warnShapeMismatch) std::cout << kShapeMismatchWarning << std::endl;
  printColoredLines(Red, {"Executing '" + modelFileName + "' failed"});
}

bool warnsShapeMismatch(const MatShape& userShape, const MatShape& modelInputShape,
                        bool inputShapeDynamic) {
  return !userShape.empty() && userShape != modelInputShape && !inputShapeDynamic;
}
