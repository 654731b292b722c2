#include "check/execution.h"

#include <iostream>

#include "check/worker.h"
#include "report/shape_text.h"

void reportOutputs(const std::vector<std::string>& fields) {
  std::cout << "Model outputs: " << fields.size() / 2 << std::endl;
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    std::cout << "Layer: '" << fields[i] << "' ";
    if (fields[i + 1].empty()) {
      std::cout << "[]" << std::endl;
    } else {
      printShape(shapeOfField(fields[i + 1]));
    }
    std::cout << std::endl;
  }
}

Failure executionFailure(const cv::dnn::MatShape& userShape,
                         const cv::dnn::MatShape& modelInputShape, bool inputShapeDynamic) {
  const bool mismatch = !userShape.empty() && userShape != modelInputShape && !inputShapeDynamic;
  return mismatch ? Failure::kExecutionAfterShapeMismatch : Failure::kExecution;
}
