// The model check: the worker loads the model, inspects its inputs and runs the test
// execution; this side writes every line of the report as the worker's records arrive, and
// the verdict once the worker has ended.
#pragma once

#include <opencv2/dnn.hpp>

#include <string>

// Runs the check on `modelPath`, reports it, and answers the exit status. A time limit of ""
// is none; otherwise it is a number of seconds greater than 0. With `explain`, a failure is
// followed by what explains it. The facts go to the JSON report as well.
int checkModel(const char* modelPath, const std::string& modelFileName,
               const cv::dnn::MatShape& userShape, const std::string& timeLimit, bool explain);
