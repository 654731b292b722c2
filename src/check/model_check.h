// The model check's driver: it runs the worker, which loads the model, inspects its inputs and
// runs the test execution; passes each finding on to the reporter as it arrives; and decides the
// ending once the worker has ended.
#pragma once

#include <opencv2/dnn.hpp>

#include "cli/arguments.h"
#include "report/reporter.h"

// Runs the check on `modelPath` and answers the exit status. A time limit of 0 seconds is none.
// With `explain`, a failure is followed by what explains it.
int checkModel(const char* modelPath, const cv::dnn::MatShape& userShape,
               const TimeLimit& timeLimit, bool explain, Reporter& reporter);

// The stage of a failed execution: after a shape warning only when the user's shape contradicts
// a shape that the model declares.
Stage executionStage(const cv::dnn::MatShape& userShape,
                     const std::vector<cv::dnn::MatShape>& modelInputShapes);
