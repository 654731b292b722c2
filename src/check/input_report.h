// The model's inputs as the library reports them, and the shape the test execution runs with.
#pragma once

#include <opencv2/dnn.hpp>

#include <optional>
#include <string>
#include <vector>

// Writes the input report. Answers the exit status when the run ends here (several inputs, or no
// known input shape and none given by the user), nothing when the test execution follows.
std::optional<int> reportInputs(const std::vector<cv::dnn::MatShape>& modelInputShapes,
                                const cv::dnn::MatShape& userShape,
                                const std::string& modelFileName);
