// The model's inputs as the library reports them, and the shape the test execution runs with.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "report/shape_text.h"

// Writes the input report. Answers the exit status when the run ends here (several inputs, or no
// known input shape and none given by the user), nothing when the test execution follows.
std::optional<int> reportInputs(const std::vector<MatShape>& modelInputShapes,
                                const MatShape& userShape, const std::string& modelFileName);
