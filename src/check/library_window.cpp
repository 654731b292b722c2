#include "check/library_window.h"

#include <iostream>

LibraryWindow::LibraryWindow(Captures& captures)
    : savedOut_(std::cout.rdbuf(captures.first.rdbuf())),
      savedErr_(std::cerr.rdbuf(captures.second.rdbuf())) {}

LibraryWindow::~LibraryWindow() {
  std::cout.rdbuf(savedOut_);
  std::cerr.rdbuf(savedErr_);
}
