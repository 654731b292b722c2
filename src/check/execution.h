// The test execution: one forward pass on an input of the settled shape, the list of outputs,
// and the verdict.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <string>
#include <vector>

#include "report/shape_text.h"

// True when a tensor of this shape and element size can be addressed at all. The library
// multiplies the dimensions without an overflow check, so a shape whose byte count wraps would
// get a tiny buffer. Shapes with a negative dimension are left to the library to refuse.
bool fitsAddressSpace(const MatShape& shape, size_t elementSize);

// "Model outputs: <n>", then a "Layer: '<name>' [dims]" line per output blob.
void reportOutputs(const std::vector<std::string>& outputNames,
                   const std::vector<cv::Mat>& outputBlobs);

// True when a failed execution should say that the user's shape differs from the model's: only
// a model that declares its shape can be contradicted.
bool warnsShapeMismatch(const MatShape& userShape, const MatShape& modelInputShape,
                        bool inputShapeDynamic);

extern const char kShapeMismatchWarning[];

// The failure of the test execution: the shape warning when it applies, then the red line.
void reportExecutionFailure(bool warnShapeMismatch, const std::string& modelFileName);
