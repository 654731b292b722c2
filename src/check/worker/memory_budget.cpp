#include "check/worker/memory_budget.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

namespace {

constexpr std::uint64_t kUnknown = 0;

#ifndef _WIN32

// The first number after `key` in the file, in the unit `scale`; kUnknown when absent.
std::uint64_t numberAfter(const std::string& path, const std::string& key, std::uint64_t scale) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::istringstream rest(line.substr(key.size()));
    std::uint64_t value = 0;
    if (rest >> value) return value * scale;
  }
  return kUnknown;
}

std::uint64_t numberIn(const std::string& path) {
  return numberAfter(path, "", 1);
}

// What the cgroup of this process and those above it still allow: limit less usage, where the
// page cache that the system can reclaim counts as free.
std::uint64_t cgroupRoom() {
  std::uint64_t room = kUnknown;
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  while (std::getline(groups, line)) {
    std::string folder;
    std::string limitFile;
    std::string usageFile;
    std::string reclaimable;
    if (line.compare(0, 3, "0::") == 0) {
      folder = "/sys/fs/cgroup" + line.substr(3);
      limitFile = "/memory.max";
      usageFile = "/memory.current";
      reclaimable = "inactive_file ";
    } else if (line.find(":memory:") != std::string::npos) {
      folder = "/sys/fs/cgroup/memory" + line.substr(line.find(":memory:") + 8);
      limitFile = "/memory.limit_in_bytes";
      usageFile = "/memory.usage_in_bytes";
      reclaimable = "total_inactive_file ";
    } else {
      continue;
    }
    for (;;) {
      const std::uint64_t limit = numberIn(folder + limitFile);  // "max" reads as unknown
      const std::uint64_t cache = numberAfter(folder + "/memory.stat", reclaimable, 1);
      const std::uint64_t held = numberIn(folder + usageFile);
      const std::uint64_t usage = held > cache ? held - cache : 0;
      if (limit != kUnknown && limit >= usage && (room == kUnknown || limit - usage < room)) {
        room = limit - usage;
      }
      const size_t slash = folder.find_last_of('/');
      if (folder.size() <= 15 || slash == std::string::npos) break;
      folder.erase(slash);
    }
  }
  return room;
}

// What the address-space limit that the caller set leaves beside what the process holds.
std::uint64_t addressSpaceRoom() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnknown;
  return roomUnder(limit.rlim_cur, numberAfter("/proc/self/status", "VmSize:", 1024));
}

std::uint64_t smallerKnown(std::uint64_t a, std::uint64_t b) {
  if (a == kUnknown) return b;
  if (b == kUnknown) return a;
  return std::min(a, b);
}

#endif

std::uint64_t measureBudget() {
#ifdef _WIN32
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return kUnknown;
  return std::min<std::uint64_t>(status.ullAvailPhys, status.ullAvailVirtual);
#else
  return smallerKnown(numberAfter("/proc/meminfo", "MemAvailable:", 1024),
                      smallerKnown(cgroupRoom(), addressSpaceRoom()));
#endif
}

}  // namespace

std::uint64_t memoryBudget() {
  static const std::uint64_t budget = measureBudget();
  return budget;
}

std::uint64_t roomUnder(std::uint64_t limit, std::uint64_t held) {
  // Nothing left is still a budget: 1 byte, which reads as 0.0 GiB.
  return limit > held ? limit - held : 1;
}

std::uint64_t addressSpaceLimit(std::uint64_t held, std::uint64_t budget, std::uint64_t current) {
  if (budget == kUnknown || held == kUnknown || held > UINT64_MAX - budget) return 0;
  const std::uint64_t wanted = held + budget;
  return wanted < current ? wanted : 0;
}

void applyMemoryBudget([[maybe_unused]] std::uint64_t budget) {
#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
  struct rlimit limit {};
  if (getrlimit(RLIMIT_AS, &limit) != 0) return;
  const std::uint64_t current = limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
  const std::uint64_t wanted =
      addressSpaceLimit(numberAfter("/proc/self/status", "VmSize:", 1024), budget, current);
  if (wanted == 0) return;
  limit.rlim_cur = static_cast<rlim_t>(wanted);
  setrlimit(RLIMIT_AS, &limit);
#endif
}

std::uint64_t peakMemory() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return kUnknown;
  return counters.PeakWorkingSetSize;
#else
  return numberAfter("/proc/self/status", "VmHWM:", 1024);
#endif
}
