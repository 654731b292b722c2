#include "report/shape_text.h"

#include <iostream>

void printShape(const cv::dnn::MatShape& shape) {
  std::cout << "[";
  for (size_t i = 0; i < shape.size(); ++i) {
    std::cout << shape[i];
    if (i + 1 < shape.size()) std::cout << ", ";
  }
  std::cout << "]";
}

void printLayoutTag(const cv::dnn::MatShape& shape) {
  if (shape.size() == 3) {
    std::cout << (shape[0] < shape[2] ? ", LMTR_DL_3D_CHW" : ", LMTR_DL_3D_HWC");
  } else if (shape.size() == 4) {
    std::cout << (shape[1] < shape[3] ? ", LMTR_DL_4D_NCHW" : ", LMTR_DL_4D_NHWC");
  }
}
