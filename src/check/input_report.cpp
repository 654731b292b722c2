#include "check/input_report.h"

#include <iostream>

#include "report/console.h"
#include "report/shape_text.h"

std::optional<int> reportInputs(const std::vector<cv::dnn::MatShape>& modelInputShapes,
                                const cv::dnn::MatShape& userShape,
                                const std::string& modelFileName) {
  if (modelInputShapes.size() > 1) {
    std::cout << "Model inputs: " << modelInputShapes.size() << std::endl;
    for (const cv::dnn::MatShape& shape : modelInputShapes) {
      std::cout << " ";
      printShape(shape);
      std::cout << std::endl;
    }
    printColoredLines(Red, {"Not supported: Only models with a single input can be executed."});
    return -1;
  }

  std::cout << "Model input shape: ";
  if (modelInputShapes.empty()) {
    std::cout << "dynamic" << std::endl;
    if (userShape.empty()) {
      std::cout << "To test the execution, please provide the optional [ModelInputshape] (e.g. "
                   "Verasko.exe "
                << modelFileName << " 1 3 224 224)." << std::endl;
      return 0;
    }
  } else {
    printShape(modelInputShapes[0]);
    printLayoutTag(modelInputShapes[0]);
    std::cout << std::endl;
  }

  if (!userShape.empty()) {
    std::cout << "User input shape:  ";
    printShape(userShape);
    printLayoutTag(userShape);
    std::cout << std::endl;
  }
  return std::nullopt;
}
