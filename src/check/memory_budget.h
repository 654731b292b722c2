// The memory the library may use in one run. Without a limit of its own, a model or a shape that
// asks for more than the machine has gets the process killed by the system, with no verdict;
// within the budget the library's allocation fails and the run ends with its report.
#pragma once

#include <cstdint>
#include <string>

// The least of the memory available when the run started, what the process's cgroup still
// allows (cgroup v1 or v2, with its reclaimable page cache counted as free), and what an
// address-space limit set by the caller leaves; 0 when none can be read. Read once, then kept.
std::uint64_t memoryBudget();

// Limits the address space to what the process holds now plus the budget. Not applied in
// sanitizer builds, whose shadow memory needs the whole address space, nor on Windows.
void applyMemoryBudget();

// The budget as it is reported: "2.9 GiB", rounded down.
std::string memoryBudgetText();
