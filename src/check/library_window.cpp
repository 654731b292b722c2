#include "check/library_window.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "check/crash_report.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
extern "C" char** _environ;
#define VERASKO_ENVIRON _environ
#else
#include <unistd.h>
extern "C" char** environ;
#define VERASKO_ENVIRON environ
#endif

namespace {

// The descriptors 1 and 2 as they were before the window opened, or -1 between windows.
int savedOutput = -1;
int savedError = -1;

// The crash report's lines, one text per crash that crashNames() tells apart.
std::vector<std::string> crashTexts(Failure failure, const std::string& modelFileName) {
  std::vector<std::string> texts;
  for (const std::string& name : crashNames()) {
    std::string text;
    const std::string reason = failure == Failure::kLoad ? crashReason(name) : "";
    for (const std::string& line : failureLines(failure, modelFileName, reason)) {
      text += line + "\n";
    }
    texts.push_back(text);
  }
  return texts;
}

// Points descriptors 1 and 2 back at what they were; safe in a signal handler.
void restoreDescriptors() {
  if (savedOutput < 0) return;
#ifdef _WIN32
  // The handles change with the descriptors: _dup2 closes the one it replaces.
  _dup2(savedOutput, 1);
  _dup2(savedError, 2);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  _close(savedOutput);
  _close(savedError);
#else
  dup2(savedOutput, STDOUT_FILENO);
  dup2(savedError, STDERR_FILENO);
  close(savedOutput);
  close(savedError);
#endif
  savedOutput = savedError = -1;
}

// Whatever the library writes past the C++ streams, with C stdio or to the descriptors
// themselves, is discarded while the window is open.
void discardDescriptors() {
  std::fflush(stdout);
  std::fflush(stderr);
#ifdef _WIN32
  savedOutput = _dup(1);
  savedError = _dup(2);
  const int sink = _open("NUL", _O_WRONLY);
  _dup2(sink, 1);
  _dup2(sink, 2);
  _close(sink);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
#else
  savedOutput = dup(STDOUT_FILENO);
  savedError = dup(STDERR_FILENO);
  const int sink = open("/dev/null", O_WRONLY);
  dup2(sink, STDOUT_FILENO);
  dup2(sink, STDERR_FILENO);
  close(sink);
#endif
}

// The library reads its settings from OPENCV_* variables, some while the program starts. The
// checker's words must not depend on them, so they are gone before the library starts (with a
// static library; a shared one has started before this runs).
void forgetLibrarySettings() {
  std::vector<std::string> names;
  for (char** variable = VERASKO_ENVIRON; variable != nullptr && *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    const std::string name = entry.substr(0, entry.find('='));
    if (name.compare(0, 6, "OPENCV") == 0 || name == "TBB_VERSION") names.push_back(name);
  }
  for (const std::string& name : names) {
#ifdef _WIN32
    _putenv((name + "=").c_str());
#else
    unsetenv(name.c_str());
#endif
  }
}

#if defined(__GNUC__)
__attribute__((constructor(101))) void forgetLibrarySettingsEarly() {
  forgetLibrarySettings();
}
#else
const bool kLibrarySettingsForgotten = (forgetLibrarySettings(), true);
#endif

}  // namespace

LibraryWindow::LibraryWindow(Captures& captures, Failure failure,
                             const std::string& modelFileName) {
  const std::string warning = failureWarning(failure);
  armCrashReport(warning.empty() ? "" : warning + "\n", crashTexts(failure, modelFileName),
                 restoreDescriptors);
  savedOut_ = std::cout.rdbuf(captures.first.rdbuf());
  savedErr_ = std::cerr.rdbuf(captures.second.rdbuf());
  discardDescriptors();
}

LibraryWindow::~LibraryWindow() {
  std::fflush(stdout);
  std::fflush(stderr);
  restoreDescriptors();
  std::cout.rdbuf(savedOut_);
  std::cerr.rdbuf(savedErr_);
  disarmCrashReport();
}
