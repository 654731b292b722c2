// The memory the library may use in one run. Without a limit of its own, a model or a shape that
// asks for more than the machine has gets the process killed by the system, with no verdict;
// within the budget the library's allocation fails and the run ends with its report.
#pragma once

#include <cstdint>

// The least of the memory available when the run started, what the process's cgroup still
// allows (cgroup v1 or v2, with its reclaimable page cache counted as free), and what an
// address-space limit set by the caller leaves; 0 when none can be read. Read once, then kept.
std::uint64_t memoryBudget();

// What an address-space limit leaves beside what the process holds; 1 byte when nothing.
std::uint64_t roomUnder(std::uint64_t limit, std::uint64_t held);

// The address-space limit that leaves `budget` bytes beside the `held` that the process holds
// already, or 0 to keep `current` (no limit: UINT64_MAX): the figures are not known, or the
// caller's limit is as low already.
std::uint64_t addressSpaceLimit(std::uint64_t held, std::uint64_t budget, std::uint64_t current);

// Limits the address space so that `budget` bytes (the parent's measure, 0 for none known) are
// left beside what the process holds now. Not applied in sanitizer builds, whose shadow memory
// needs the whole address space, nor on Windows.
void applyMemoryBudget(std::uint64_t budget);

// The most memory that the process has held at once (its peak resident set or working set); 0
// when it cannot be read.
std::uint64_t peakMemory();
