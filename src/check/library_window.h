// The window around the library's work. While a LibraryWindow lives, whatever the library prints
// through std::cout and std::cerr lands in the run's captures instead of on the console, and
// every way out, normal or by exception, puts the streams back.
#pragma once

#include <sstream>
#include <utility>

// What the library printed through std::cout (first) and std::cerr (second). Text only grows:
// each window appends to what the earlier ones left.
using Captures = std::pair<std::ostringstream, std::ostringstream>;

class LibraryWindow {
 public:
  explicit LibraryWindow(Captures& captures);
  ~LibraryWindow();

  LibraryWindow(const LibraryWindow&) = delete;
  LibraryWindow& operator=(const LibraryWindow&) = delete;

 private:
  std::streambuf* savedOut_;
  std::streambuf* savedErr_;
};
