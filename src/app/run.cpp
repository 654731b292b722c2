#include "app/run.h"

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "check/model_check.h"
#include "check/worker_process.h"
#include "cli/arguments.h"
#include "report/console.h"
#include "report/json_report.h"
#include "report/shape_text.h"

namespace {

// The check proper, after the options: the arguments, then the model.
int check(std::vector<char*>& arguments, const TimeLimit& timeLimit, bool explain) {
  nlohmann::json& facts = reportFacts();
  facts["stage"] = "arguments";
  if (timeLimit.seconds > 0) facts["timeLimit"] = timeLimit.seconds;
  const int count = static_cast<int>(arguments.size());
  if (count >= 2)
    facts["model"] = {{"path", shownPath(arguments[1])}, {"file", shownFileName(arguments[1])}};
  try {
    if (!checkArguments(count, arguments.data())) return 0;
  } catch (const std::filesystem::filesystem_error& error) {
    reportUncheckablePath(arguments[1], error);
    return -1;
  }
  const cv::dnn::MatShape userShape = parseUserShape(count, arguments.data());
  facts["inputs"]["user"] = userShape.empty() ? nlohmann::json() : nlohmann::json(userShape);
  if (!layoutTag(userShape).empty()) facts["inputs"]["userLayout"] = layoutTag(userShape);
  return checkModel(arguments[1], shownFileName(arguments[1]), userShape, timeLimit, explain);
}

int run(int argc, char** argv) {
  // The options are taken out first; what remains is read as if they had never been there.
  std::vector<char*> arguments(argv, argv + argc);
  const bool explain = takeSwitch(arguments, "--explain");
  const bool jsonAsked = takeSwitch(arguments, "--json");
  TimeLimit timeLimit;
  const std::string refusal = takeTimeLimit(arguments, timeLimit);
  // Help and version answers stay text; a refused time limit is no such answer.
  const bool json = jsonAsked && (!refusal.empty() || !isSwitchRequest(arguments));
  if (json) beginJsonReport();
  std::cout << "\n";
  int status = -1;
  if (refusal.empty()) {
    status = check(arguments, timeLimit, explain);
  } else {
    reportFacts()["stage"] = "arguments";
    printColoredLines(Red, {refusal});
  }
  if (json) endJsonReport(status);
  return status;
}

}  // namespace

int runVerasko(int argc, char** argv) {
  if (isWorkerInvocation(argc, argv)) return runWorkerInvocation();
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
