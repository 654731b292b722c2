// The model check: the worker loads the model, inspects its inputs and runs the test
// execution; this side writes every line of the report as the worker's records arrive, and
// the verdict once the worker has ended.
#pragma once

#include <opencv2/dnn.hpp>

#include <string>

#include "cli/arguments.h"

// Runs the check on `modelPath`, reports it, and answers the exit status. A time limit of 0
// seconds is none. With `explain`, a failure is
// followed by what explains it. The facts go to the JSON report as well.
int checkModel(const char* modelPath, const std::string& modelFileName,
               const cv::dnn::MatShape& userShape, const TimeLimit& timeLimit, bool explain);
