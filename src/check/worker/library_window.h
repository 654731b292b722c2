// The window around the library's work. While a LibraryWindow lives, whatever the library prints
// through std::cout and std::cerr lands in the run's captures instead of on the console, and
// every way out, normal or by exception, puts the streams back. The window is itself the buffer
// behind std::cerr, so that it can hand on what the library logs as it logs it.
#pragma once

#include <functional>
#include <sstream>
#include <string>
#include <utility>

// What the library printed through std::cout (first) and std::cerr (second). Text only grows:
// each window appends to what the earlier ones left.
using Captures = std::pair<std::ostringstream, std::ostringstream>;

class LibraryWindow : private std::stringbuf {
 public:
  // `onError`, when given, gets each piece of text that the library flushes to std::cerr: one
  // logged message at a time. With `logOnly`, what the library writes to std::cout (its
  // information and debug messages) goes the same way, each message flushed on its own, and
  // nothing is kept in the captures.
  explicit LibraryWindow(Captures& captures,
                         std::function<void(const std::string&)> onError = nullptr,
                         bool logOnly = false);
  ~LibraryWindow() override;

  LibraryWindow(const LibraryWindow&) = delete;
  LibraryWindow& operator=(const LibraryWindow&) = delete;

 private:
  int sync() override;

  Captures& captures_;
  std::function<void(const std::string&)> onError_;
  std::streambuf* savedOut_;
  std::streambuf* savedErr_;
  std::ios_base::fmtflags savedOutFlags_;
  bool logOnly_;
};
