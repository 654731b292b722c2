#include "check/library_window.h"

#include <iostream>
#include <vector>

#include "check/crash_report.h"

namespace {

// The crash report's lines, one text per crash that crashNames() tells apart.
std::vector<std::string> crashTexts(Failure failure, const std::string& modelFileName) {
  std::vector<std::string> texts;
  for (const std::string& name : crashNames()) {
    std::string text;
    for (const std::string& line : failureLines(failure, modelFileName, crashReason(name))) {
      text += line + "\n";
    }
    texts.push_back(text);
  }
  return texts;
}

}  // namespace

LibraryWindow::LibraryWindow(Captures& captures, Failure failure,
                             const std::string& modelFileName) {
  const std::string warning = failureWarning(failure);
  armCrashReport(warning.empty() ? "" : warning + "\n", crashTexts(failure, modelFileName));
  savedOut_ = std::cout.rdbuf(captures.first.rdbuf());
  savedErr_ = std::cerr.rdbuf(captures.second.rdbuf());
}

LibraryWindow::~LibraryWindow() {
  std::cout.rdbuf(savedOut_);
  std::cerr.rdbuf(savedErr_);
  disarmCrashReport();
}
