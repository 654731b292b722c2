#include "app/run.h"

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "check/model_check.h"
#include "check/worker_process.h"
#include "cli/arguments.h"
#include "report/console.h"

namespace {

int check(int argc, char** argv) {
  std::cout << "\n";
  // The options are taken out first; what remains is read as if they had never been there.
  std::vector<char*> arguments(argv, argv + argc);
  std::string timeLimit;
  if (!takeTimeLimit(arguments, timeLimit)) return -1;
  const int count = static_cast<int>(arguments.size());
  try {
    if (!checkArguments(count, arguments.data())) return 0;
  } catch (const std::filesystem::filesystem_error& error) {
    reportUncheckablePath(arguments[1], error);
    return -1;
  }
  return checkModel(arguments[1], shownFileName(arguments[1]),
                    parseUserShape(count, arguments.data()), timeLimit);
}

}  // namespace

int runVerasko(int argc, char** argv) {
  if (isWorkerInvocation(argc, argv)) return runWorkerInvocation();
  holdStandardDescriptors();
  decideConsoleColors();
  useUtf8Console();
  resetColorOnInterrupt(stopWorker);
  const int status = check(argc, argv);
  // A report that did not reach its reader is no verdict.
  const std::string failure = outputFailure();
  if (failure.empty()) return status;
  std::cerr << "Verasko: cannot write to standard output: " << failure << std::endl;
  return -1;
}
