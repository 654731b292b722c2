// The one printed form of tensor shapes, and the layout tag that names a 3-D or 4-D layout.
#pragma once

#include <opencv2/dnn.hpp>

#include <ostream>
#include <string>

// Writes the shape as "[1, 3, 224, 224]"; the empty shape reads "[]".
void printShape(const cv::dnn::MatShape& shape, std::ostream& out);

// The layout tag of a 3-D or 4-D shape, "LMTR_DL_4D_NCHW" and its kin; "" for other ranks.
std::string layoutTag(const cv::dnn::MatShape& shape);

// Writes ", LMTR_DL_4D_NCHW" and its kin for 3-D and 4-D shapes, nothing for other ranks. A shape
// counts as channels-first when its channel count is smaller than its width; ties go to
// channels-last.
void printLayoutTag(const cv::dnn::MatShape& shape, std::ostream& out);
