#include "report/console.h"

#include <gtest/gtest.h>

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Winfinite-recursion"
#endif

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

// One file per test, as tests may run in parallel.
std::string reportFile() {
  return ::testing::TempDir() + "verasko_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
}

// In the death test's child: standard output goes to the report file, then the crash comes.
void crashWith(int signal, bool nameCrash) {
  const int file = open(reportFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(file, STDOUT_FILENO);
  armCrashReport("Warning line\n", "Executing 'm.onnx' failed", nameCrash);
  raise(signal);
}

std::string report() {
  std::ifstream file(reportFile());
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(CrashReportDeathTest, AnExecutionCrashEndsWithTheFailureLineAndStatusMinusOne) {
  EXPECT_EXIT(crashWith(SIGFPE, false), ::testing::ExitedWithCode(255), "");
  EXPECT_EQ(report(), "Warning line\nExecuting 'm.onnx' failed\n");
}

TEST(CrashReportDeathTest, ALoadingCrashNamesTheSignal) {
  EXPECT_EXIT(crashWith(SIGSEGV, true), ::testing::ExitedWithCode(255), "");
  EXPECT_EQ(report(),
            "Warning line\nExecuting 'm.onnx' failed\nThe library crashed with SIGSEGV.\n");
  EXPECT_EXIT(crashWith(SIGABRT, true), ::testing::ExitedWithCode(255), "");
  EXPECT_EQ(report(),
            "Warning line\nExecuting 'm.onnx' failed\nThe library crashed with SIGABRT.\n");
}

// Recurses until the stack runs out; the frame is used after the call, so no loop replaces it.
int overflowStack(volatile int depth) {
  volatile char frame[4096];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return overflowStack(depth + 1) + frame[depth % sizeof frame];
}

TEST(CrashReportDeathTest, AStackOverflowIsReportedToo) {
  EXPECT_EXIT(
      {
        const int file = open(reportFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, STDOUT_FILENO);
        armCrashReport("", "Failed loading 'm.onnx'", true);
        overflowStack(0);
      },
      ::testing::ExitedWithCode(255), "");
  EXPECT_EQ(report(), "Failed loading 'm.onnx'\nThe library crashed with SIGSEGV.\n");
}

TEST(CrashReport, DisarmingPutsBackThePreviousHandler) {
  struct sigaction before {};
  sigaction(SIGFPE, nullptr, &before);
  armCrashReport("", "x", false);
  armCrashReport("", "y", true);  // arming again only replaces the report
  disarmCrashReport();
  disarmCrashReport();
  struct sigaction after {};
  sigaction(SIGFPE, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
#endif
