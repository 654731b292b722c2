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
#ifdef _WIN32
// The console's own text attributes, which Default puts back, and its output code page before
// the run switched it to UTF-8 (0 while it is not switched).
WORD consoleAttributes = Default;
volatile UINT previousCodePage = 0;
#endif

bool outputIsTerminal() {
#ifdef _WIN32
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

#ifdef _WIN32

const WORD kForeground = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE | FOREGROUND_INTENSITY;

void restoreCodePage() {
  const UINT codePage = previousCodePage;
  if (codePage != 0) SetConsoleOutputCP(codePage);
}

// The console text attribute that shows `color`: the console's own for Default, else its
// background with the colour in front (bright on a dark background of that hue).
WORD consoleAttribute(ConsoleColor color) {
  if (color == Default) return consoleAttributes;
  WORD attribute = static_cast<WORD>((consoleAttributes & ~kForeground) | color);
  // On a dark background of the same hue the bright colour keeps the text readable.
  if (((consoleAttributes >> 4) & 7) == color && !(consoleAttributes & BACKGROUND_INTENSITY)) {
    attribute = static_cast<WORD>(attribute | FOREGROUND_INTENSITY);
  }
  return attribute;
}

BOOL WINAPI onInterrupt(DWORD) {
  if (interruptCleanup != nullptr) interruptCleanup();
  if (colorActive) SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), consoleAttributes);
  restoreCodePage();
  return FALSE;  // the default handler ends the process
}

#else

// Every signal that ends the process by default and can be caught, but SIGXFSZ, which the run
// ignores, and the faults last.
const int kInterruptSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGUSR1, SIGUSR2, SIGPIPE,
                                 SIGALRM, SIGPROF, SIGXCPU, SIGVTALRM, SIGIO,   SIGPWR,  SIGSYS,
                                 SIGTRAP, SIGILL,  SIGABRT, SIGBUS,    SIGFPE,  SIGSEGV};
#ifdef __SANITIZE_ADDRESS__
// The sanitizers report the faults themselves.
constexpr int kFaults = 5;
#else
constexpr int kFaults = 0;
#endif

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

// The ANSI code that switches to `color`; empty when colours are off.
std::string colorCode(ConsoleColor color) {
  if (!colorsEnabled) return "";
  switch (color) {
    case Green: return "\x1b[32m";
    case Red: return "\x1b[31m";
    case Default: break;
  }
  return "\x1b[0m";
}

#endif

}  // namespace

void decideConsoleColors() {
  const char* noColor = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  colorsEnabled = outputIsTerminal() && (noColor == nullptr || *noColor == '\0') &&
                  (term == nullptr || std::strcmp(term, "dumb") != 0);
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    consoleAttributes = info.wAttributes;
  }
#endif
}

void setConsoleColorsEnabled(bool enabled) {
  colorsEnabled = enabled;
}

void setConsoleColor(ConsoleColor color) {
  if (!colorsEnabled) return;
  std::cout.flush();
  if (color != Default) colorActive = 1;
#ifdef _WIN32
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), consoleAttribute(color));
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

void useUtf8Console() {
#ifdef _WIN32
  // Only where the manifest took effect (Windows 10 1903 and later): elsewhere the names are in
  // the ANSI code page, and older consoles miscount UTF-8 writes.
  if (previousCodePage != 0 || GetACP() != CP_UTF8 || !outputIsTerminal()) return;
  const UINT codePage = GetConsoleOutputCP();
  if (codePage == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  previousCodePage = codePage;
  static const bool restoredAtExit = std::atexit(restoreCodePage) == 0;
  (void)restoredAtExit;
#endif
}

void resetColorOnInterrupt(void (*cleanup)()) {
  interruptCleanup = cleanup;
#ifdef _WIN32
  SetConsoleCtrlHandler(onInterrupt, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i + kFaults < sizeof kInterruptSignals / sizeof(int); ++i) {
    sigaction(kInterruptSignals[i], &action, nullptr);
  }
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaction(signal, &action, nullptr);
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
