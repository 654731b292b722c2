#include "report/console.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

bool colorsEnabled = false;
// Whether a colour other than Default is in force, for the interruption handler.
volatile std::sig_atomic_t colorActive = 0;
bool outputWasClosed = false;
// Called first on an interruption, to end what the run started.
void (*volatile interruptCleanup)() = nullptr;

bool outputIsTerminal() {
#ifdef _WIN32
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

#ifdef _WIN32

BOOL WINAPI onInterrupt(DWORD) {
  if (interruptCleanup != nullptr) interruptCleanup();
  if (colorActive) {
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<WORD>(Default));
  }
  return FALSE;  // the default handler ends the process
}

#else

const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void onInterrupt(int signal) {
  if (interruptCleanup != nullptr) interruptCleanup();
  if (colorActive) {
    static const char kReset[] = "\x1b[0m";
    if (write(STDOUT_FILENO, kReset, sizeof kReset - 1) < 0) {
      // Nothing more can be done for the terminal.
    }
  }
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  raise(signal);
}

#endif

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
  if (!colorsEnabled) return;
  std::cout.flush();
  if (color != Default) colorActive = 1;
#ifdef _WIN32
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<WORD>(color));
#else
  std::cout << colorCode(color) << std::flush;
#endif
  if (color == Default) colorActive = 0;
}

void printColoredLines(ConsoleColor color, const std::vector<std::string>& lines) {
  setConsoleColor(color);
  for (const std::string& line : lines) std::cout << line << std::endl;
  setConsoleColor(Default);
}

void resetColorOnInterrupt(void (*cleanup)()) {
  interruptCleanup = cleanup;
#ifdef _WIN32
  SetConsoleCtrlHandler(onInterrupt, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  for (const int signal : kInterruptSignals) sigaction(signal, &action, nullptr);
#endif
}

void holdStandardDescriptors() {
#ifndef _WIN32
  // A file-size limit fails the write, as a full disk does, instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1) continue;
    if (descriptor == STDOUT_FILENO) outputWasClosed = true;
    // The lowest free descriptor is this one.
    if (open("/dev/null", O_RDONLY) != descriptor) return;
  }
#endif
}

std::string outputFailure() {
  std::cout.flush();
  if (std::cout) return "";
  if (outputWasClosed) return "it is closed";
#ifndef _WIN32
  // Ask the descriptor itself why, with the last byte the report wrote.
  if (write(STDOUT_FILENO, "\n", 1) < 0) return std::strerror(errno);
#endif
  return "a write failed";
}
