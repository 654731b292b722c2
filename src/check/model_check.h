// The model check: loading with the library's console output captured, the input report, and
// the test execution with its verdict.
#pragma once

#include <opencv2/dnn.hpp>

#include <string>

// Runs the check on `modelPath`, reports it, and answers the exit status. Every failure ends
// here: those of the test execution as a failed execution, all others as a failed load.
int checkModel(const char* modelPath, const std::string& modelFileName,
               const cv::dnn::MatShape& userShape);
