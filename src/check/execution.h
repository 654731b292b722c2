// What is said of the test execution: the list of outputs, and how a failure is reported.
#pragma once

#include <opencv2/dnn.hpp>

#include <string>
#include <vector>

#include "check/failure.h"

// "Model outputs: <n>", then a "Layer: '<name>' [dims]" line per output, from the worker's
// fields (printable already): a name and a shape per output, the shape "" for an empty output.
void reportOutputs(const std::vector<std::string>& fields);

// How a failed execution is reported: with the shape warning only when the user's shape
// contradicts a shape that the model declares.
Failure executionFailure(const cv::dnn::MatShape& userShape,
                         const cv::dnn::MatShape& modelInputShape, bool inputShapeDynamic);
