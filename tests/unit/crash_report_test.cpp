// A crash inside a library window: the run still ends with the report it would have had, and
// every way out of a window puts the console back.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "check/library_window.h"
#include "report/console.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Winfinite-recursion"
#endif

namespace {

// One file per test, as tests may run in parallel.
std::string reportFile() {
  return ::testing::TempDir() + "verasko_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
}

// In the death test's child: standard output goes to the report file, then `crash` happens
// inside a window.
template <typename Crash>
void crashInWindow(Failure failure, Crash crash) {
  std::fflush(stdout);
  if (!std::freopen(reportFile().c_str(), "wb", stdout)) std::abort();
  Captures captures;
  LibraryWindow window(captures, failure, "m.onnx");
  crash();
}

// How a run that ends with status -1 looks to the parent.
#ifdef _WIN32
const ::testing::ExitedWithCode kStatusMinusOne(-1);
#else
const ::testing::ExitedWithCode kStatusMinusOne(255);
#endif

std::string report() {
  std::ifstream file(reportFile(), std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::string result = text.str();
  for (size_t at; (at = result.find("\r\n")) != std::string::npos;) result.erase(at, 1);
  return result;
}

// Recurses until the stack runs out; the frame is used after the call, so no loop replaces it.
int overflowStack(volatile int depth) {
  volatile char frame[4096];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return overflowStack(depth + 1) + frame[depth % sizeof frame];
}

// A real division trap, which the undefined-behaviour checks would otherwise report first.
#if defined(__GNUC__)
__attribute__((no_sanitize_undefined))
#endif
void divideByZero() {
  volatile int zero = 0;
  volatile int one = 1;
  volatile int quotient = one / zero;
  (void)quotient;
}

TEST(CrashReportDeathTest, ACrashWhileExecutingIsAFailedExecution) {
  EXPECT_EXIT(crashInWindow(Failure::kExecutionAfterShapeMismatch, divideByZero), kStatusMinusOne,
              "");
  EXPECT_EQ(report(),
            "Warning: the user input shape does not match the model input shape.\n"
            "Executing 'm.onnx' failed\n");
}

TEST(CrashReportDeathTest, ACrashWhileLoadingIsAFailedLoadThatNamesTheCrash) {
  EXPECT_EXIT(crashInWindow(Failure::kLoad, [] { std::abort(); }), kStatusMinusOne, "");
  EXPECT_EQ(report(), "Failed loading 'm.onnx'\nThe library crashed with SIGABRT.\n");
  EXPECT_EXIT(crashInWindow(Failure::kLoad, [] { overflowStack(0); }), kStatusMinusOne, "");
#ifdef _WIN32
  EXPECT_EQ(report(), "Failed loading 'm.onnx'\nThe library crashed with a stack overflow.\n");
#else
  EXPECT_EQ(report(), "Failed loading 'm.onnx'\nThe library crashed with SIGSEGV.\n");
#endif
}

#ifndef _WIN32
TEST(InterruptDeathTest, AnInterruptedRedLineLeavesTheTerminalAsItWas) {
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        if (!std::freopen(reportFile().c_str(), "wb", stdout)) std::abort();
        setConsoleColorsEnabled(true);
        resetColorOnInterrupt();
        setConsoleColor(Red);
        std::cout << "half a li" << std::flush;
        raise(SIGINT);
      },
      ::testing::KilledBySignal(SIGINT), "");
  EXPECT_EQ(report(), "\x1b[31mhalf a li\x1b[0m");
}
#endif

TEST(LibraryWindow, CapturesTheStreamsAndPutsThemBackOnEveryWayOut) {
  std::streambuf* const out = std::cout.rdbuf();
  std::streambuf* const err = std::cerr.rdbuf();
#ifndef _WIN32
  struct sigaction before {};
  sigaction(SIGSEGV, nullptr, &before);
#endif
  Captures captures;
  try {
    LibraryWindow window(captures, Failure::kLoad, "m.onnx");
    std::cout << "library out";
    std::cerr << "library err";
    throw 1;
  } catch (int) {
  }
  {
    LibraryWindow window(captures, Failure::kExecution, "m.onnx");
    std::cerr << ", more";
  }
  EXPECT_EQ(std::cout.rdbuf(), out);
  EXPECT_EQ(std::cerr.rdbuf(), err);
  EXPECT_EQ(captures.first.str(), "library out");
  EXPECT_EQ(captures.second.str(), "library err, more");
#ifndef _WIN32
  struct sigaction after {};
  sigaction(SIGSEGV, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
#endif
}

}  // namespace
