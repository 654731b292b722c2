// The model check: loading with the library's console output captured, the input report, and
// the test execution with its verdict.
#pragma once

#include <iostream>
#include <string>

#include "report/shape_text.h"

// Runs the check on `modelPath` and answers the exit status. Failures of the test execution are
// reported here; any other library failure is thrown to the caller, which closes the capture
// window and reports it as a failed load (the library's error output is then in errCapture).
int checkModel(const char* modelPath, const std::string& modelFileName, const MatShape& userShape,
               std::ostream& outCapture, std::ostream& errCapture, std::streambuf* savedOut,
               std::streambuf* savedErr);
