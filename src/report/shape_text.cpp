#include "report/shape_text.h"

void printShape(const cv::dnn::MatShape& shape, std::ostream& out) {
  out << "[";
  for (size_t i = 0; i < shape.size(); ++i) {
    out << shape[i];
    if (i + 1 < shape.size()) out << ", ";
  }
  out << "]";
}

std::string layoutTag(const cv::dnn::MatShape& shape) {
  if (shape.size() == 3) return shape[0] < shape[2] ? "LMTR_DL_3D_CHW" : "LMTR_DL_3D_HWC";
  if (shape.size() == 4) return shape[1] < shape[3] ? "LMTR_DL_4D_NCHW" : "LMTR_DL_4D_NHWC";
  return "";
}

void printLayoutTag(const cv::dnn::MatShape& shape, std::ostream& out) {
  const std::string tag = layoutTag(shape);
  if (!tag.empty()) out << ", " << tag;
}
