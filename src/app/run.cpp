#include "app/run.h"

#include <opencv2/core.hpp>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "check/capture.h"
#include "check/diagnosis.h"
#include "check/model_check.h"
#include "cli/arguments.h"
#include "report/console.h"

int runVerasko(int argc, char** argv) {
  std::cout << "\n";
  try {
    if (!checkArguments(argc, argv)) return 0;
  } catch (const std::filesystem::filesystem_error& error) {
    reportUncheckablePath(argv[1], error);
    return -1;
  }
  const MatShape userShape = parseUserShape(argc, argv);

  std::streambuf* const savedOut = std::cout.rdbuf();
  std::streambuf* const savedErr = std::cerr.rdbuf();
  std::stringstream outCapture;
  std::stringstream errCapture;
  const std::string modelFileName = fileNameOf(argv[1]);

  // Whatever ends the check early is a failed load. Each handler first puts the console streams
  // back, as the capture window may still be open.
  std::string reason;
  try {
    return checkModel(argv[1], modelFileName, userShape, outCapture, errCapture, savedOut,
                      savedErr);
  } catch (const cv::Exception& error) {
    closeCapture(savedOut, savedErr);
    reason = loadFailureReason(errCapture.str(), error.err);
  } catch (const std::exception& error) {
    closeCapture(savedOut, savedErr);
    reason = error.what();
  } catch (...) {
    closeCapture(savedOut, savedErr);
    reason = "The library failed with an unknown error.";
  }
  disarmCrashReport();
  reportLoadFailure(modelFileName, reason);
  return -1;
}
