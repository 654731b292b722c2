#include "check/worker/worker_program.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "check/worker/memory_budget.h"
#include "check/worker/protocol.h"
#include "check/worker/worker.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#endif

namespace {

#ifdef _WIN32

// The library reads its settings from OPENCV_* variables, some while the program starts. The
// checker's words must not depend on them, so they are gone before the library starts. (On
// Linux the parent starts the worker without them.)
void forgetLibrarySettings() {
  std::vector<std::string> names;
  for (char** variable = _environ; variable != nullptr && *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    const std::string name = entry.substr(0, entry.find('='));
    if (name.compare(0, 6, "OPENCV") == 0 || name == "TBB_VERSION") names.push_back(name);
  }
  for (const std::string& name : names) _putenv((name + "=").c_str());
}

#if defined(__GNUC__)
__attribute__((constructor(101))) void forgetLibrarySettingsEarly() {
  forgetLibrarySettings();
}
#else
const bool kLibrarySettingsForgotten = (forgetLibrarySettings(), true);
#endif

HANDLE reportHandle = INVALID_HANDLE_VALUE;
HANDLE parentProcess = nullptr;

bool sendToParent(const Finding& finding) {
  const std::string bytes = encodeFinding(finding);
  DWORD written = 0;
  return WriteFile(reportHandle, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) &&
         written == bytes.size();
}

// A fault ends the worker with the exception's code, which the parent names; no debugger or
// crash dialog is started.
LONG WINAPI endWithExceptionCode(EXCEPTION_POINTERS* info) {
  TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI endWithParent(void*) {
  WaitForSingleObject(parentProcess, INFINITE);
  TerminateProcess(GetCurrentProcess(), 1);
  return 0;
}

// The job, read to the end of standard input.
std::optional<CheckJob> receiveJob() {
  FrameReader reader;
  std::vector<char> chunk(65536);
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk.data(), static_cast<DWORD>(chunk.size()),
                  &got, nullptr) &&
         got > 0) {
    reader.append(chunk.data(), got);
  }
  std::optional<CheckJob> job;
  if (!reader.take(job)) return std::nullopt;
  return job;
}

// The report keeps its own handle; descriptors 1 and 2 go to the null device.
void keepReportOffTheDescriptors() {
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(),
                  &reportHandle, 0, FALSE, DUPLICATE_SAME_ACCESS);
  const int sink = _open("NUL", _O_WRONLY);
  _dup2(sink, 1);
  _dup2(sink, 2);
  _close(sink);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
}

#else

int reportDescriptor = -1;
pid_t parentPid = 0;

bool sendToParent(const Finding& finding) {
  const std::string bytes = encodeFinding(finding);
  const char* data = bytes.data();
  size_t size = bytes.size();
  while (size > 0) {
    const ssize_t written = write(reportDescriptor, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

std::optional<CheckJob> receiveJob() {
  FrameReader reader;
  std::vector<char> chunk(65536);
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    reader.append(chunk.data(), static_cast<size_t>(got));
  }
  std::optional<CheckJob> job;
  if (!reader.take(job)) return std::nullopt;
  return job;
}

void keepReportOffTheDescriptors() {
  reportDescriptor = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const int sink = open("/dev/null", O_WRONLY);
  dup2(sink, STDOUT_FILENO);
  dup2(sink, STDERR_FILENO);
  if (sink > STDERR_FILENO) close(sink);
}

#endif

}  // namespace

#ifdef _WIN32

bool isWorkerInvocation(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], kWorkerArgument) != 0 ||
      GetFileType(GetStdHandle(STD_INPUT_HANDLE)) != FILE_TYPE_PIPE) {
    return false;
  }
  parentProcess = reinterpret_cast<HANDLE>(std::strtoull(argv[2], nullptr, 10));
  return true;
}

int runWorkerInvocation() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(endWithExceptionCode);
  HANDLE watch = CreateThread(nullptr, 0, endWithParent, nullptr, 0, nullptr);
  if (watch == nullptr) return 2;
  CloseHandle(watch);
  const std::optional<CheckJob> job = receiveJob();
  if (!job) return 2;
  keepReportOffTheDescriptors();
  runCheckJob(*job, sendToParent);
  return 0;
}

#else

bool isWorkerInvocation(int argc, char** argv) {
  struct stat input {};
  if (argc != 3 || std::strcmp(argv[1], kWorkerArgument) != 0 || fstat(STDIN_FILENO, &input) != 0 ||
      !S_ISFIFO(input.st_mode)) {
    return false;
  }
  char* end = nullptr;
  const long long parent = std::strtoll(argv[2], &end, 10);
  if (end == argv[2] || *end != '\0' || parent <= 1) return false;
  parentPid = static_cast<pid_t>(parent);
  return true;
}

// Gone with its parent (whose end before this point leaves the worker another parent), nothing
// on the console, the first to go when memory runs out, and the memory budget in force. A fault
// ends it with its signal, which the parent names: no handler of its own (a sanitizer's
// included) stands in the way.
int runWorkerInvocation() {
#ifdef __linux__
  prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
  if (getppid() != parentPid) return 1;
  for (int signal = 1; signal < NSIG; ++signal) std::signal(signal, SIG_DFL);
  std::signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
  const int score = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
  if (score >= 0) {
    if (write(score, "1000", 4) != 4) {
      // The system keeps its own choice.
    }
    close(score);
  }
#endif
  const std::optional<CheckJob> job = receiveJob();
  if (!job) return 2;
  keepReportOffTheDescriptors();
  applyMemoryBudget(static_cast<std::uint64_t>(job->memoryBudget));
  runCheckJob(*job, sendToParent);
  // An ordinary exit: the library's own clean-up runs, and a heap that it corrupted shows.
  return 0;
}

#endif
