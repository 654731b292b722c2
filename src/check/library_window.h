// The window around the library's work. While a LibraryWindow lives, whatever the library prints
// through std::cout and std::cerr lands in the run's captures instead of on the console, and a
// crash of the library ends the run with the failure report it would have had. Every way out,
// normal or by exception, puts the console back before anything is reported.
#pragma once

#include <sstream>
#include <string>
#include <utility>

#include "check/failure.h"

// What the library printed through std::cout (first) and std::cerr (second) in the windows of
// one run. Text only grows: each window appends to what the earlier ones left.
using Captures = std::pair<std::ostringstream, std::ostringstream>;

class LibraryWindow {
 public:
  // A crash while the window is open is reported as `failure` of the model `modelFileName`.
  LibraryWindow(Captures& captures, Failure failure, const std::string& modelFileName);
  ~LibraryWindow();

  LibraryWindow(const LibraryWindow&) = delete;
  LibraryWindow& operator=(const LibraryWindow&) = delete;

 private:
  std::streambuf* savedOut_;
  std::streambuf* savedErr_;
};
