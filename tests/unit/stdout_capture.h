// Collects what a piece of code writes to std::cout, for tests of the routines that report.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

template <typename Code>
std::string stdoutOf(Code code) {
  std::ostringstream captured;
  std::streambuf* const saved = std::cout.rdbuf(captured.rdbuf());
  try {
    code();
  } catch (...) {
    std::cout.rdbuf(saved);
    throw;
  }
  std::cout.rdbuf(saved);
  return captured.str();
}
