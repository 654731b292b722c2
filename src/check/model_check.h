// The model check's driver: it runs the worker, which loads the model, inspects its inputs and
// runs the test execution; passes each finding on to the reporter as it arrives; and decides the
// ending once the worker has ended.
#pragma once

#include <opencv2/dnn.hpp>

#include "check/options.h"
#include "check/reporter.h"

// Runs the check on `modelPath` and answers the exit status.
int checkModel(const char* modelPath, const cv::dnn::MatShape& userShape,
               const CheckOptions& options, Reporter& reporter);

// The stage of a failed execution: after a shape warning only when the user's shape contradicts
// a shape that the model declares.
Stage executionStage(const cv::dnn::MatShape& userShape,
                     const std::vector<cv::dnn::MatShape>& modelInputShapes);
