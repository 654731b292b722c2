#include "check/execution.h"

#include <iostream>
#include <limits>

#include "check/diagnosis.h"
#include "report/console.h"
#include "report/shape_text.h"
#include "report/text.h"

int executeModel(cv::dnn::Net& net, const cv::dnn::MatShape& testInputShape, Failure failure,
                 const std::string& modelFileName, Captures& captures) {
  std::vector<std::string> outputNames;
  {
    LibraryWindow window(captures, Failure::kLoad, modelFileName);
    outputNames = net.getUnconnectedOutLayersNames();
  }
  // From here on every failure, the library's or another, is a failed execution.
  try {
    std::vector<cv::Mat> outputBlobs;
    {
      LibraryWindow window(captures, failure, modelFileName);
      if (!fitsAddressSpace(testInputShape, sizeof(float))) {
        CV_Error(cv::Error::StsNoMem, "the input tensor does not fit the address space");
      }
      cv::Mat inputBlob(testInputShape, CV_32F);
      net.setInput(inputBlob, "", 1.0, cv::Scalar(0, 0, 0, 0));
      net.forward(outputBlobs, outputNames);
    }
    reportOutputs(outputNames, outputBlobs);
    printColoredLines(Green, {"The model can be executed with Lumetra Vision."});
    return 0;
  } catch (...) {
    reportFailure(failure, modelFileName,
                  failureReason(failure, captures.second.str(), std::current_exception()));
    return -1;
  }
}

bool fitsAddressSpace(const cv::dnn::MatShape& shape, size_t elementSize) {
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
    std::cout << "Layer: '" << visibleText(outputNames.at(i)) << "' ";
    if (blob.empty()) {
      std::cout << "[]" << std::endl;
    } else {
      printShape(cv::dnn::MatShape(blob.size.p, blob.size.p + blob.dims));
    }
    std::cout << std::endl;
  }
}

Failure executionFailure(const cv::dnn::MatShape& userShape,
                         const cv::dnn::MatShape& modelInputShape, bool inputShapeDynamic) {
  const bool mismatch = !userShape.empty() && userShape != modelInputShape && !inputShapeDynamic;
  return mismatch ? Failure::kExecutionAfterShapeMismatch : Failure::kExecution;
}
