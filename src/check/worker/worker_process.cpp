#include "check/worker/worker_process.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "check/worker/memory_budget.h"
#include "check/worker/protocol.h"
#include "check/worker/worker.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
extern "C" char** _environ;
#define VERASKO_ENVIRON _environ
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>
#ifdef __linux__
#include <sys/prctl.h>
#endif
extern "C" char** environ;
#define VERASKO_ENVIRON environ
#endif

namespace {

// The library reads its settings from OPENCV_* variables, some while the program starts. The
// checker's words must not depend on them, so they are gone before the library starts (with a
// static library; a shared one has started before this runs).
void forgetLibrarySettings() {
  std::vector<std::string> names;
  for (char** variable = VERASKO_ENVIRON; variable != nullptr && *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    const std::string name = entry.substr(0, entry.find('='));
    if (name.compare(0, 6, "OPENCV") == 0 || name == "TBB_VERSION") names.push_back(name);
  }
  for (const std::string& name : names) {
#ifdef _WIN32
    _putenv((name + "=").c_str());
#else
    unsetenv(name.c_str());
#endif
  }
}

#if defined(__GNUC__)
__attribute__((constructor(101))) void forgetLibrarySettingsEarly() {
  forgetLibrarySettings();
}
#else
const bool kLibrarySettingsForgotten = (forgetLibrarySettings(), true);
#endif

// Hands each whole finding to `onFinding` until `stopped` says that the time is up: findings
// that arrive after the limit are not the library's answer within it.
void takeFindings(FrameReader& reader, const std::function<void(const Finding&)>& onFinding,
                  const std::function<bool()>& stopped) {
  for (std::optional<Finding> finding; !stopped() && reader.take(finding);) {
    if (finding) onFinding(*finding);
  }
}

#ifdef _WIN32

const char kWorkerArgument[] = "--verasko-worker";
HANDLE reportHandle = INVALID_HANDLE_VALUE;
HANDLE volatile workerProcess = nullptr;
HANDLE watchedProcess = nullptr;
ULONGLONG watchedMilliseconds = 0;
volatile LONG timedOut = 0;

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

// Waits for the worker's end until the time limit, in pieces that a wait can take.
DWORD WINAPI watchTimeLimit(void*) {
  for (ULONGLONG left = watchedMilliseconds; left > 0;) {
    const DWORD piece = static_cast<DWORD>(std::min<ULONGLONG>(left, 0x40000000));
    if (WaitForSingleObject(watchedProcess, piece) != WAIT_TIMEOUT) return 0;
    left -= piece;
  }
  InterlockedExchange(&timedOut, 1);
  TerminateProcess(watchedProcess, 1);
  return 0;
}

// In the worker: its parent's process, whose end ends the worker too, whatever the worker is
// doing then (even waiting for a job that will not come).
HANDLE parentProcess = nullptr;

DWORD WINAPI endWithParent(void*) {
  WaitForSingleObject(parentProcess, INFINITE);
  TerminateProcess(GetCurrentProcess(), 1);
  return 0;
}

std::string crashName(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "an access violation";
    case EXCEPTION_STACK_OVERFLOW: return "a stack overflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "an integer division by zero";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "an illegal instruction";
    case EXCEPTION_IN_PAGE_ERROR: return "a page fault";
    case 3: return "SIGABRT";  // the C runtime's abort()
    default: return "an unexpected exception";
  }
}

void closeAll(std::initializer_list<HANDLE> handles) {
  for (HANDLE handle : handles) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
}

#else

int reportDescriptor = -1;
volatile sig_atomic_t workerPid = 0;

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

// In the forked worker: gone with its parent (`parent`, whose end before this point leaves the
// worker another parent), nothing of the parent's signal handling, nothing on the console, the
// first to go when memory runs out, and the memory budget in force.
[[noreturn]] void becomeWorker(pid_t parent, int descriptor, const CheckJob& job) {
#ifdef __linux__
  prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
  if (getppid() != parent) _exit(1);
  for (int signal = 1; signal < NSIG; ++signal) std::signal(signal, SIG_DFL);
  std::signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
  const int score = open("/proc/self/oom_score_adj", O_WRONLY);
  if (score >= 0) {
    if (write(score, "1000", 4) != 4) {
      // The system keeps its own choice.
    }
    close(score);
  }
#endif
  const int sink = open("/dev/null", O_WRONLY);
  dup2(sink, STDOUT_FILENO);
  dup2(sink, STDERR_FILENO);
  if (sink > STDERR_FILENO) close(sink);
  reportDescriptor = descriptor;
  applyMemoryBudget();
  runCheckJob(job, sendToParent);
  // An ordinary exit: the library's own clean-up runs, and a heap that it corrupted shows.
  std::exit(0);
}

Ending endingOf(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    if (signal == SIGKILL) return {WorkerEnd::kKilled, ""};
    const char* abbreviation = sigabbrev_np(signal);
    return {WorkerEnd::kCrash, abbreviation != nullptr ? std::string("SIG") + abbreviation
                                                       : "signal " + std::to_string(signal)};
  }
  const int code = WEXITSTATUS(status);
  return {code == 0 ? WorkerEnd::kFinished : WorkerEnd::kExitStatus, std::to_string(code)};
}

// Kills the worker once the time limit has passed, whatever the parent is doing then; the
// worker's end closes the report pipe. Turned off before the worker is waited for, so that no
// process that gets the worker's number afterwards can be hit.
class Watchdog {
  using Clock = std::chrono::steady_clock;

 public:
  Watchdog(pid_t pid, double seconds) {
    if (seconds <= 0) return;
    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(seconds));
    // The program's signal handlers run on its main thread, as they would without this one.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    thread_ = std::thread([this, pid, deadline] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!wake_.wait_until(lock, deadline, [this] { return off_; })) {
        kill(pid, SIGKILL);
        fired_ = true;
      }
    });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    turnOff();
  }

  bool fired() const {
    return fired_;
  }

  void turnOff() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      off_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool off_ = false;
  std::atomic<bool> fired_{false};
  std::thread thread_;
};

#endif

}  // namespace

#ifdef _WIN32

Ending runWorker(const CheckJob& job, double timeLimit,
                 const std::function<void(const Finding&)>& onFinding) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE jobRead = nullptr, jobWrite = nullptr, reportRead = nullptr, reportWrite = nullptr;
  if (!CreatePipe(&jobRead, &jobWrite, &inherited, 0) ||
      !CreatePipe(&reportRead, &reportWrite, &inherited, 0)) {
    throw std::runtime_error("no pipe.");
  }
  SetHandleInformation(jobWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(reportRead, HANDLE_FLAG_INHERIT, 0);
  HANDLE sink = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                            OPEN_EXISTING, 0, nullptr);
  std::vector<wchar_t> program(32768);
  GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
  // The worker watches this process through a handle that it inherits.
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self, SYNCHRONIZE,
                  TRUE, 0);
  std::wstring commandLine = L"\"" + std::wstring(program.data()) + L"\" --verasko-worker " +
                             std::to_wstring(reinterpret_cast<std::uintptr_t>(self));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = jobRead;
  startup.hStdOutput = reportWrite;
  startup.hStdError = sink;
  PROCESS_INFORMATION process{};
  // The worker is put in a job that ends it when the job's last handle, this process's, closes,
  // however this process ends. Until then it only waits for its job, which is sent once it is
  // in: should this process end before, the job's pipe closes empty and the worker ends.
  std::fflush(nullptr);
  HANDLE processJob = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  const BOOL started = processJob != nullptr &&
                       SetInformationJobObject(processJob, JobObjectExtendedLimitInformation,
                                               &limits, sizeof limits) &&
                       CreateProcessW(program.data(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  closeAll({jobRead, reportWrite, sink, self});
  if (started && !AssignProcessToJobObject(processJob, process.hProcess)) {
    TerminateProcess(process.hProcess, 1);
    closeAll({process.hThread, process.hProcess, processJob, jobWrite, reportRead});
    throw std::runtime_error("it cannot be tied to this process.");
  }
  if (!started) {
    closeAll({processJob, jobWrite, reportRead});
    throw std::runtime_error("");
  }
  CloseHandle(process.hThread);
  workerProcess = process.hProcess;
  const std::string request = encodeJob(job);
  DWORD written = 0;
  WriteFile(jobWrite, request.data(), static_cast<DWORD>(request.size()), &written, nullptr);
  CloseHandle(jobWrite);

  HANDLE watchdog = nullptr;
  if (timeLimit > 0) {
    watchedProcess = process.hProcess;
    watchedMilliseconds = static_cast<ULONGLONG>(std::ceil(timeLimit * 1000));
    watchdog = CreateThread(nullptr, 0, watchTimeLimit, nullptr, 0, nullptr);
  }
  const auto stopped = [] { return timedOut != 0; };
  FrameReader reader;
  std::vector<char> chunk(65536);
  DWORD got = 0;
  while (!stopped() &&
         ReadFile(reportRead, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) &&
         got > 0) {
    reader.append(chunk.data(), got);
    takeFindings(reader, onFinding, stopped);
  }
  CloseHandle(reportRead);
  WaitForSingleObject(process.hProcess, INFINITE);
  if (watchdog != nullptr) {
    WaitForSingleObject(watchdog, INFINITE);
    CloseHandle(watchdog);
  }
  DWORD code = 0;
  const BOOL known = GetExitCodeProcess(process.hProcess, &code);
  const DWORD error = GetLastError();
  workerProcess = nullptr;
  CloseHandle(process.hProcess);
  CloseHandle(processJob);
  if (timedOut) return {WorkerEnd::kTimeLimit, ""};
  if (!known) return {WorkerEnd::kUnknown, "error " + std::to_string(error)};
  if (code == 0) return {WorkerEnd::kFinished, "0"};
  if (code == 3 || code >= 0xC0000000) return {WorkerEnd::kCrash, crashName(code)};
  return {WorkerEnd::kExitStatus, std::to_string(code)};
}

void stopWorker() {
  HANDLE process = workerProcess;
  if (process != nullptr) TerminateProcess(process, 1);
}

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
  FrameReader reader;
  std::vector<char> chunk(65536);
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk.data(), static_cast<DWORD>(chunk.size()),
                  &got, nullptr) &&
         got > 0) {
    reader.append(chunk.data(), got);
  }
  std::optional<CheckJob> job;
  if (!reader.take(job) || !job) return 2;
  // The report keeps its own handle; descriptors 1 and 2 go to the null device.
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(),
                  &reportHandle, 0, FALSE, DUPLICATE_SAME_ACCESS);
  const int sink = _open("NUL", _O_WRONLY);
  _dup2(sink, 1);
  _dup2(sink, 2);
  _close(sink);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  runCheckJob(*job, sendToParent);
  return 0;
}

#else

Ending runWorker(const CheckJob& job, double timeLimit,
                 const std::function<void(const Finding&)>& onFinding) {
  // The worker's end is learned from waitpid, which a caller's SIGCHLD disposition (ignored, or
  // no zombies kept) would leave without an answer.
  struct sigaction childEnds {};
  childEnds.sa_handler = SIG_DFL;
  sigemptyset(&childEnds.sa_mask);
  sigaction(SIGCHLD, &childEnds, nullptr);
  int descriptors[2];
  if (pipe(descriptors) != 0) {
    throw std::runtime_error(std::strerror(errno));
  }
  std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    const int error = errno;
    close(descriptors[0]);
    close(descriptors[1]);
    throw std::runtime_error(std::strerror(error));
  }
  if (pid == 0) {
    close(descriptors[0]);
    becomeWorker(parent, descriptors[1], job);
  }
  workerPid = pid;
  close(descriptors[1]);

  Watchdog watchdog(pid, timeLimit);
  FrameReader reader;
  std::vector<char> chunk(65536);
  while (!watchdog.fired()) {
    const ssize_t got = read(descriptors[0], chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    reader.append(chunk.data(), static_cast<size_t>(got));
    takeFindings(reader, onFinding, [&watchdog] { return watchdog.fired(); });
  }
  close(descriptors[0]);
  watchdog.turnOff();
  int status = 0;
  pid_t waited = -1;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  const int waitError = errno;
  workerPid = 0;
  if (watchdog.fired()) {
    // Killed at the limit; still waited for above, so that nothing is left behind.
    return {WorkerEnd::kTimeLimit, ""};
  }
  if (waited != pid) return {WorkerEnd::kUnknown, std::strerror(waitError)};
  return endingOf(status);
}

void stopWorker() {
  const pid_t pid = workerPid;
  if (pid > 0) kill(pid, SIGKILL);
}

bool isWorkerInvocation(int, char**) {
  return false;
}

int runWorkerInvocation() {
  return 2;
}

#endif
