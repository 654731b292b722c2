#include "report/console.h"

#include <iostream>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#endif

namespace {

// The crash report as armCrashReport prepared it: `crashHead` is written first; when the crash is
// named, its name and `crashTail` follow.
std::string crashHead;
std::string crashTail;
bool crashNamed = false;
bool crashArmed = false;

const char kCrashPrefix[] = "The library crashed with ";

}  // namespace

void printColoredLines(ConsoleColor color, std::initializer_list<std::string> lines) {
  setConsoleColor(color);
  for (const std::string& line : lines) std::cout << line << std::endl;
  setConsoleColor(Default);
}

#ifdef _WIN32

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
std::string crashRed;

void writeConsole(HANDLE out, const std::string& text) {
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

const char* exceptionName(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "an access violation";
    case EXCEPTION_STACK_OVERFLOW: return "a stack overflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "an integer division by zero";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "an illegal instruction";
    case EXCEPTION_IN_PAGE_ERROR: return "a page fault";
    default: return "an unexpected exception";
  }
}

LONG WINAPI onCrash(EXCEPTION_POINTERS* info) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  writeConsole(out, crashHead);
  SetConsoleTextAttribute(out, static_cast<WORD>(Red));
  writeConsole(out, crashRed);
  if (crashNamed) {
    writeConsole(out, exceptionName(info->ExceptionRecord->ExceptionCode));
    writeConsole(out, crashTail);
  }
  SetConsoleTextAttribute(out, static_cast<WORD>(Default));
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
  return EXCEPTION_EXECUTE_HANDLER;
}

std::string withCrLf(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c == '\n') result += '\r';
    result += c;
  }
  return result;
}

}  // namespace

void setConsoleColor(ConsoleColor color) {
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<WORD>(color));
}

void armCrashReport(const std::string& plain, const std::string& red, bool nameCrash) {
  crashHead = withCrLf(plain);
  crashRed = withCrLf(red + "\n" + (nameCrash ? kCrashPrefix : ""));
  crashTail = ".\r\n";
  crashNamed = nameCrash;
  std::cout.flush();
  if (crashArmed) return;
  crashArmed = true;
  ULONG guarantee = 64 * 1024;
  SetThreadStackGuarantee(&guarantee);
  previousFilter = SetUnhandledExceptionFilter(onCrash);
}

void disarmCrashReport() {
  if (!crashArmed) return;
  crashArmed = false;
  SetUnhandledExceptionFilter(previousFilter);
}

#else

namespace {

const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kCrashSignalCount = sizeof kCrashSignals / sizeof kCrashSignals[0];
struct sigaction previousActions[kCrashSignalCount];
stack_t previousStack;
// Room for the handler when the crash is a stack overflow.
alignas(16) char alternateStack[64 * 1024];

bool colorsWanted() {
  if (!isatty(STDOUT_FILENO)) return false;
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::strcmp(term, "dumb") == 0) return false;
  return std::getenv("NO_COLOR") == nullptr;
}

const char* ansiCode(ConsoleColor color) {
  switch (color) {
    case Green: return "\x1b[32m";
    case Red: return "\x1b[31m";
    case Default: break;
  }
  return "\x1b[0m";
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
  }
  return "a signal";
}

// Only async-signal-safe calls from here on.
void writeAll(const char* text, size_t size) {
  while (size > 0) {
    const ssize_t written = write(STDOUT_FILENO, text, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    size -= static_cast<size_t>(written);
  }
}

extern "C" void onCrash(int signal) {
  writeAll(crashHead.data(), crashHead.size());
  if (crashNamed) {
    const char* name = signalName(signal);
    size_t length = 0;
    while (name[length] != '\0') ++length;
    writeAll(name, length);
    writeAll(crashTail.data(), crashTail.size());
  }
  _exit(255);
}

}  // namespace

void setConsoleColor(ConsoleColor color) {
  if (colorsWanted()) std::cout << ansiCode(color) << std::flush;
}

void armCrashReport(const std::string& plain, const std::string& red, bool nameCrash) {
  const bool colors = colorsWanted();
  const std::string redOn = colors ? ansiCode(Red) : "";
  const std::string redOff = colors ? ansiCode(Default) : "";
  crashHead = plain + redOn + red + "\n";
  crashTail = ".\n" + redOff;
  crashNamed = nameCrash;
  if (nameCrash) {
    crashHead += kCrashPrefix;
  } else {
    crashHead += redOff;
  }
  std::cout.flush();
  if (crashArmed) return;
  crashArmed = true;

  stack_t stack{};
  stack.ss_sp = alternateStack;
  stack.ss_size = sizeof alternateStack;
  sigaltstack(&stack, &previousStack);
  struct sigaction action {};
  action.sa_handler = onCrash;
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kCrashSignalCount; ++i)
    sigaction(kCrashSignals[i], &action, &previousActions[i]);
}

void disarmCrashReport() {
  if (!crashArmed) return;
  crashArmed = false;
  for (int i = 0; i < kCrashSignalCount; ++i)
    sigaction(kCrashSignals[i], &previousActions[i], nullptr);
  sigaltstack(&previousStack, nullptr);
}

#endif
