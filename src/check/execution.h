// The test execution: one forward pass on an input of the settled shape, the list of outputs,
// and the verdict.
#pragma once

#include <opencv2/dnn.hpp>

#include <cstddef>
#include <string>
#include <vector>

#include "check/failure.h"
#include "check/library_window.h"

// Queries the output names, runs the forward pass and reports it; answers the exit status. A
// failure of the pass is reported as `failure`; one of the query is thrown to the caller.
int executeModel(cv::dnn::Net& net, const cv::dnn::MatShape& testInputShape, Failure failure,
                 const std::string& modelFileName, Captures& captures);

// True when a tensor of this shape and element size can be addressed at all. The library
// multiplies the dimensions without an overflow check, so a shape whose byte count wraps would
// get a tiny buffer. Shapes with a zero or negative dimension are left to the library to refuse.
bool fitsAddressSpace(const cv::dnn::MatShape& shape, size_t elementSize);

// "Model outputs: <n>", then a "Layer: '<name>' [dims]" line per output blob.
void reportOutputs(const std::vector<std::string>& outputNames,
                   const std::vector<cv::Mat>& outputBlobs);

// How a failed execution is reported: with the shape warning only when the user's shape
// contradicts a shape that the model declares.
Failure executionFailure(const cv::dnn::MatShape& userShape,
                         const cv::dnn::MatShape& modelInputShape, bool inputShapeDynamic);
