#include "report/console.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

bool colorsEnabled = false;

bool outputIsTerminal() {
#ifdef _WIN32
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

}  // namespace

void decideConsoleColors() {
  const char* noColor = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  colorsEnabled = outputIsTerminal() && (noColor == nullptr || *noColor == '\0') &&
                  (term == nullptr || std::strcmp(term, "dumb") != 0);
}

void setConsoleColorsEnabled(bool enabled) {
  colorsEnabled = enabled;
}

bool consoleColorsEnabled() {
  return colorsEnabled;
}

std::string colorCode(ConsoleColor color) {
#ifdef _WIN32
  (void)color;
  return "";
#else
  if (!colorsEnabled) return "";
  switch (color) {
    case Green: return "\x1b[32m";
    case Red: return "\x1b[31m";
    case Default: break;
  }
  return "\x1b[0m";
#endif
}

void setConsoleColor(ConsoleColor color) {
#ifdef _WIN32
  if (colorsEnabled) {
    std::cout.flush();
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<WORD>(color));
  }
#else
  std::cout << colorCode(color) << std::flush;
#endif
}

void printColoredLines(ConsoleColor color, const std::vector<std::string>& lines) {
  setConsoleColor(color);
  for (const std::string& line : lines) std::cout << line << std::endl;
  setConsoleColor(Default);
}
