#include "check/crash_report.h"

#include <csignal>
#include <iostream>

#include "report/console.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#endif

namespace {

// What armCrashReport prepared, with line ends as the platform writes them.
std::string crashPlain;
std::vector<std::string> crashRed;
void (*crashRestore)() = nullptr;
bool crashArmed = false;
#ifdef _WIN32
const char kUnwritten[] = "Verasko: cannot write the crash report to standard output\r\n";
#else
const char kUnwritten[] = "Verasko: cannot write the crash report to standard output\n";
#endif

#ifdef _WIN32

const DWORD kExceptionCodes[] = {EXCEPTION_ACCESS_VIOLATION, EXCEPTION_STACK_OVERFLOW,
                                 EXCEPTION_INT_DIVIDE_BY_ZERO, EXCEPTION_ILLEGAL_INSTRUCTION,
                                 EXCEPTION_IN_PAGE_ERROR};
// One name per exception code, then the C runtime's abort(), then any other exception.
const std::vector<std::string> kCrashNames = {
    "an access violation",    "a stack overflow", "an integer division by zero",
    "an illegal instruction", "a page fault",     "SIGABRT",
    "an unexpected exception"};
const size_t kAbortIndex = 5;

LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
void (*previousAbortHandler)(int) = SIG_DFL;

std::string withCrLf(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c == '\n') result += '\r';
    result += c;
  }
  return result;
}

bool writeTo(DWORD handle, const std::string& text) {
  DWORD written = 0;
  return text.empty() || (WriteFile(GetStdHandle(handle), text.data(),
                                    static_cast<DWORD>(text.size()), &written, nullptr) &&
                          written == text.size());
}

[[noreturn]] void reportCrash(size_t index) {
  if (crashRestore != nullptr) crashRestore();
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  bool written = writeTo(STD_OUTPUT_HANDLE, crashPlain);
  if (consoleColorsEnabled()) SetConsoleTextAttribute(out, consoleAttribute(Red));
  written = writeTo(STD_OUTPUT_HANDLE, crashRed[index]) && written;
  restoreConsole();
  if (!written) writeTo(STD_ERROR_HANDLE, kUnwritten);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
  ExitProcess(static_cast<UINT>(-1));
}

LONG WINAPI onException(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  size_t index = kCrashNames.size() - 1;
  for (size_t i = 0; i < sizeof kExceptionCodes / sizeof kExceptionCodes[0]; ++i) {
    if (kExceptionCodes[i] == code) index = i;
  }
  reportCrash(index);
}

extern "C" void onAbort(int) {
  reportCrash(kAbortIndex);
}

void install() {
  ULONG guarantee = 64 * 1024;
  SetThreadStackGuarantee(&guarantee);
  previousFilter = SetUnhandledExceptionFilter(onException);
  previousAbortHandler = std::signal(SIGABRT, onAbort);
}

void uninstall() {
  SetUnhandledExceptionFilter(previousFilter);
  std::signal(SIGABRT, previousAbortHandler);
}

#else

const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
const std::vector<std::string> kCrashNames = {"SIGSEGV", "SIGBUS", "SIGFPE", "SIGILL", "SIGABRT"};
constexpr int kCrashSignalCount = sizeof kCrashSignals / sizeof kCrashSignals[0];
struct sigaction previousActions[kCrashSignalCount];
stack_t previousStack;
// Room for the handler when the crash is a stack overflow.
alignas(16) char alternateStack[64 * 1024];

std::string withCrLf(const std::string& text) {
  return text;
}

// Only async-signal-safe calls from here on.
bool writeAll(int descriptor, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(descriptor, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

extern "C" void onCrash(int signal) {
  int index = 0;
  while (index < kCrashSignalCount - 1 && kCrashSignals[index] != signal) ++index;
  if (crashRestore != nullptr) crashRestore();
  // A reader that has gone away must not turn the report into a death by SIGPIPE.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  const std::string& red = crashRed[static_cast<size_t>(index)];
  const bool written = writeAll(STDOUT_FILENO, crashPlain.data(), crashPlain.size()) &&
                       writeAll(STDOUT_FILENO, red.data(), red.size());
  if (!written) writeAll(STDERR_FILENO, kUnwritten, sizeof kUnwritten - 1);
  _exit(255);
}

void install() {
  stack_t stack{};
  stack.ss_sp = alternateStack;
  stack.ss_size = sizeof alternateStack;
  sigaltstack(&stack, &previousStack);
  struct sigaction action {};
  action.sa_handler = onCrash;
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kCrashSignalCount; ++i) {
    sigaction(kCrashSignals[i], &action, &previousActions[i]);
  }
}

void uninstall() {
  for (int i = 0; i < kCrashSignalCount; ++i) {
    sigaction(kCrashSignals[i], &previousActions[i], nullptr);
  }
  sigaltstack(&previousStack, nullptr);
}

#endif

}  // namespace

const std::vector<std::string>& crashNames() {
  return kCrashNames;
}

void armCrashReport(const std::string& plain, const std::vector<std::string>& red,
                    void (*restoreConsole)()) {
  crashRestore = restoreConsole;
  crashPlain = withCrLf(plain);
  crashRed.clear();
  for (const std::string& text : red) {
    crashRed.push_back(withCrLf(colorCode(Red) + text + colorCode(Default)));
  }
  crashRed.resize(kCrashNames.size());
  std::cout.flush();
  if (crashArmed) return;
  crashArmed = true;
  install();
}

void disarmCrashReport() {
  if (!crashArmed) return;
  crashArmed = false;
  uninstall();
}
