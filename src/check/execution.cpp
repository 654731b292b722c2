#include "check/execution.h"

#include <iostream>
#include <limits>

#include "check/input_report.h"
#include "report/console.h"

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
  setConsoleColor(Red);
  std::cout << "Executing '" << modelFileName << "' failed" << std::endl;
  setConsoleColor(Default);
}
