#include "app/run.h"

#include <filesystem>
#include <iostream>
#include <string>

#include "check/model_check.h"
#include "cli/arguments.h"
#include "report/console.h"
#include "report/text.h"

namespace {

int check(int argc, char** argv) {
  std::cout << "\n";
  try {
    if (!checkArguments(argc, argv)) return 0;
  } catch (const std::filesystem::filesystem_error& error) {
    reportUncheckablePath(argv[1], error);
    return -1;
  }
  return checkModel(argv[1], visibleText(fileNameOf(argv[1])), parseUserShape(argc, argv));
}

}  // namespace

int runVerasko(int argc, char** argv) {
  holdStandardDescriptors();
  decideConsoleColors();
  useUtf8Console();
  resetColorOnInterrupt();
  const int status = check(argc, argv);
  // A report that did not reach its reader is no verdict.
  const std::string failure = outputFailure();
  if (failure.empty()) return status;
  std::cerr << "Verasko: cannot write to standard output: " << failure << std::endl;
  return -1;
}
