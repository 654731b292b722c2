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

#include "check/worker/protocol.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <mutex>
#include <thread>
extern "C" char** environ;
#endif

namespace {

// Hands each whole finding to `onFinding` until `stopped` says that the time is up: findings
// that arrive after the limit are not the library's answer within it.
void takeFindings(FrameReader& reader, const std::function<void(const Finding&)>& onFinding,
                  const std::function<bool()>& stopped) {
  for (std::optional<Finding> finding; !stopped() && reader.take(finding);) {
    if (finding) onFinding(*finding);
  }
}

#ifdef _WIN32

HANDLE volatile workerProcess = nullptr;
HANDLE watchedProcess = nullptr;
ULONGLONG watchedMilliseconds = 0;
volatile LONG timedOut = 0;

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

// The worker's program, beside this one: never looked for through PATH.
std::wstring workerProgram() {
  std::vector<wchar_t> self(32768);
  const DWORD size = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  std::wstring path(self.data(), size);
  path.erase(path.find_last_of(L"\\/") + 1);
  return path + L"Verasko-worker.exe";
}

std::string utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return "";
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
  bytes.pop_back();
  return bytes;
}

// The system's words for an error, ending in a full stop.
std::string systemMessage(DWORD error) {
  char* words = nullptr;
  FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&words), 0, nullptr);
  std::string text = words != nullptr ? words : "error " + std::to_string(error);
  if (words != nullptr) LocalFree(words);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() || text.back() == '.' ? text : text + ".";
}

void closeAll(std::initializer_list<HANDLE> handles) {
  for (HANDLE handle : handles) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
}

#else

volatile sig_atomic_t workerPid = 0;
constexpr char kWorkerProgram[] = "Verasko-worker";

// The worker's program, beside this one: never looked for through PATH.
std::string workerProgram() {
  std::vector<char> self(PATH_MAX + 1);
  const ssize_t size = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (size <= 0) {
    throw std::runtime_error(std::string("this program's own path is unknown (") +
                             std::strerror(errno) + ").");
  }
  std::string path(self.data(), static_cast<size_t>(size));
  path.erase(path.find_last_of('/') + 1);
  return path + kWorkerProgram;
}

// This process's environment without the library's settings, which the library would read while
// it loads, before any code of the worker's runs: the checker's words must not depend on them.
std::vector<char*> workerEnvironment() {
  std::vector<char*> kept;
  for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
    const char* entry = *variable;
    if (std::strncmp(entry, "OPENCV", 6) != 0 && std::strncmp(entry, "TBB_VERSION=", 12) != 0) {
      kept.push_back(*variable);
    }
  }
  kept.push_back(nullptr);
  return kept;
}

// Starts the worker's program with `job` for its standard input, `report` for its standard
// output, the null device for its error, no other descriptor of this process's and every signal
// at its default; its process number. Throws, saying why, when it cannot be started.
pid_t startWorker(int job, int report) {
  const std::string program = workerProgram();
  const std::string parent = std::to_string(getpid());
  char* const arguments[] = {const_cast<char*>(program.c_str()), const_cast<char*>(kWorkerArgument),
                             const_cast<char*>(parent.c_str()), nullptr};
  std::vector<char*> environment = workerEnvironment();
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, job, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, report, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::fflush(nullptr);
  pid_t pid = 0;
  const int error =
      posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments, environment.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) throw std::runtime_error(program + ": " + std::strerror(error) + ".");
  return pid;
}

// Writes the job to the worker, which may have ended already: its pipe's closing is no signal
// that ends this process, and the worker's end says the rest.
void sendJob(int descriptor, const CheckJob& job) {
  const std::string bytes = encodeJob(job);
  sigset_t pipeSignal, before;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
  const char* data = bytes.data();
  size_t size = bytes.size();
  bool broken = false;
  while (size > 0) {
    const ssize_t written = write(descriptor, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      broken = errno == EPIPE;
      break;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  if (broken && !sigismember(&before, SIGPIPE)) {
    const timespec now{0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
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
  const std::wstring program = workerProgram();
  // The worker watches this process through a handle that it inherits.
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self, SYNCHRONIZE,
                  TRUE, 0);
  const std::wstring argument(kWorkerArgument, kWorkerArgument + std::strlen(kWorkerArgument));
  std::wstring commandLine = L"\"" + program + L"\" " + argument + L" " +
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
  const bool limited = processJob != nullptr &&
                       SetInformationJobObject(processJob, JobObjectExtendedLimitInformation,
                                               &limits, sizeof limits);
  DWORD startError = limited ? 0 : GetLastError();
  bool started = false;
  // A start can fail for a moment (Wine's, under load); a program that is not there, or may not
  // be run, is not tried again.
  for (int attempt = 0; limited && !started && attempt < 3; ++attempt) {
    if (attempt > 0) Sleep(50);
    started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                             nullptr, &startup, &process) != FALSE;
    startError = started ? 0 : GetLastError();
    if (startError == ERROR_FILE_NOT_FOUND || startError == ERROR_PATH_NOT_FOUND ||
        startError == ERROR_ACCESS_DENIED || startError == ERROR_BAD_EXE_FORMAT) {
      break;
    }
  }
  closeAll({jobRead, reportWrite, sink, self});
  if (started && !AssignProcessToJobObject(processJob, process.hProcess)) {
    TerminateProcess(process.hProcess, 1);
    closeAll({process.hThread, process.hProcess, processJob, jobWrite, reportRead});
    throw std::runtime_error("it cannot be tied to this process.");
  }
  if (!started) {
    closeAll({processJob, jobWrite, reportRead});
    throw std::runtime_error(utf8(program) + ": " + systemMessage(startError));
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

#else

Ending runWorker(const CheckJob& job, double timeLimit,
                 const std::function<void(const Finding&)>& onFinding) {
  // The worker's end is learned from waitpid, which a caller's SIGCHLD disposition (ignored, or
  // no zombies kept) would leave without an answer.
  struct sigaction childEnds {};
  childEnds.sa_handler = SIG_DFL;
  sigemptyset(&childEnds.sa_mask);
  sigaction(SIGCHLD, &childEnds, nullptr);
  int jobPipe[2];
  int reportPipe[2];
  if (pipe2(jobPipe, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
  if (pipe2(reportPipe, O_CLOEXEC) != 0) {
    const int error = errno;
    close(jobPipe[0]);
    close(jobPipe[1]);
    throw std::runtime_error(std::strerror(error));
  }
  pid_t pid = 0;
  try {
    pid = startWorker(jobPipe[0], reportPipe[1]);
  } catch (...) {
    for (int descriptor : {jobPipe[0], jobPipe[1], reportPipe[0], reportPipe[1]}) close(descriptor);
    throw;
  }
  workerPid = pid;
  close(jobPipe[0]);
  close(reportPipe[1]);

  Watchdog watchdog(pid, timeLimit);
  sendJob(jobPipe[1], job);
  close(jobPipe[1]);
  const int reportDescriptor = reportPipe[0];
  FrameReader reader;
  std::vector<char> chunk(65536);
  while (!watchdog.fired()) {
    const ssize_t got = read(reportDescriptor, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    reader.append(chunk.data(), static_cast<size_t>(got));
    takeFindings(reader, onFinding, [&watchdog] { return watchdog.fired(); });
  }
  close(reportDescriptor);
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

#endif
