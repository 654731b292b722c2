#include "check/worker/library_window.h"

#include <iostream>

LibraryWindow::LibraryWindow(Captures& captures, std::function<void(const std::string&)> onError,
                             bool logOnly)
    : captures_(captures),
      onError_(std::move(onError)),
      savedOut_(
          std::cout.rdbuf(logOnly ? static_cast<std::streambuf*>(this) : captures.first.rdbuf())),
      savedErr_(std::cerr.rdbuf(this)),
      savedOutFlags_(std::cout.flags()),
      logOnly_(logOnly) {
  if (logOnly) std::cout << std::unitbuf;
}

LibraryWindow::~LibraryWindow() {
  std::cout.flags(savedOutFlags_);
  std::cout.rdbuf(savedOut_);
  std::cerr.rdbuf(savedErr_);
  sync();
}

int LibraryWindow::sync() {
  const std::string text = str();
  if (text.empty()) return 0;
  str("");
  if (!logOnly_) captures_.second << text;
  if (onError_) onError_(text);
  return 0;
}
