#include "app/run.h"

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "check/model_check.h"
#include "check/worker/worker_process.h"
#include "cli/arguments.h"
#include "report/console.h"
#include "report/json_reporter.h"
#include "report/text_reporter.h"

namespace {

// The arguments, the options taken out, then the model.
int checkArgumentsAndModel(std::vector<char*>& arguments, const CheckOptions& options,
                           Reporter& reporter) {
  const int count = static_cast<int>(arguments.size());
  RunStarted started{count >= 2, "", "", options.timeLimit, options.explain};
  if (started.hasModel) {
    started.modelPath = shownPath(arguments[1]);
    started.modelFile = shownFileName(arguments[1]);
  }
  reporter.report(started);
  try {
    if (!checkArguments(count, arguments.data(), reporter)) return 0;
  } catch (const std::filesystem::filesystem_error& error) {
    reporter.report(PathRefused{PathProblem::kUncheckable, error.code().message()});
    return -1;
  }
  const cv::dnn::MatShape userShape = parseUserShape(count, arguments.data());
  if (!options.dataFolder.empty() && !userShape.empty()) {
    reporter.report(OptionRefused{{RefusalKind::kDataWithShape, ""}});
    return -1;
  }
  return checkModel(arguments[1], userShape, options, reporter);
}

int run(int argc, char** argv) {
  // The options are taken out first; what remains is read as if they had never been there.
  std::vector<char*> arguments(argv, argv + argc);
  CheckOptions options;
  options.explain = takeSwitch(arguments, "--explain");
  const bool json = takeSwitch(arguments, "--json");
  std::optional<Refusal> refusal = takeTimeLimit(arguments, options.timeLimit);
  if (const auto refused = takeTolerance(arguments, options.tolerance); refused && !refusal) {
    refusal = refused;
  }
  if (const auto refused = takeDataFolder(arguments, options.dataFolder); refused && !refusal) {
    refusal = refused;
  }
  if (const auto refused = takeBenchmark(arguments, options.benchmark); refused && !refusal) {
    refusal = refused;
  }
  if (const auto refused = unknownOption(arguments); refused && !refusal) refusal = refused;
  options.declaredShapes = options.explain || json;
  // Help and version answers stay text; a refused option is no such answer.
  std::unique_ptr<Reporter> reporter;
  if (json && (refusal || !isSwitchRequest(arguments))) {
    reporter = std::make_unique<JsonReporter>(std::cout);
  } else {
    reporter = std::make_unique<TextReporter>(std::cout, true);
    std::cout << "\n";
  }
  int status = -1;
  if (refusal) {
    reporter->report(OptionRefused{*refusal});
  } else {
    status = checkArgumentsAndModel(arguments, options, *reporter);
  }
  reporter->finish(status);
  return status;
}

}  // namespace

int runVerasko(int argc, char** argv) {
  holdStandardDescriptors();
  decideConsoleColors();
  useUtf8Console();
  resetColorOnInterrupt(stopWorker);
  const int status = run(argc, argv);
  // A report that did not reach its reader is no verdict.
  const std::string failure = outputFailure();
  if (failure.empty()) return status;
  std::cerr << "Verasko: cannot write to standard output: " << failure << std::endl;
  return -1;
}
