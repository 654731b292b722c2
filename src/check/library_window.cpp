#include "check/library_window.h"

#include <iostream>

LibraryWindow::LibraryWindow(Captures& captures, std::function<void(const std::string&)> onError)
    : captures_(captures),
      onError_(std::move(onError)),
      savedOut_(std::cout.rdbuf(captures.first.rdbuf())),
      savedErr_(std::cerr.rdbuf(this)) {}

LibraryWindow::~LibraryWindow() {
  std::cout.rdbuf(savedOut_);
  std::cerr.rdbuf(savedErr_);
  sync();
}

int LibraryWindow::sync() {
  const std::string text = str();
  if (text.empty()) return 0;
  str("");
  captures_.second << text;
  if (onError_) onError_(text);
  return 0;
}
