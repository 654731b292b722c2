// The words of a failed load and of a failed execution, composed here alone.
#pragma once

#include <string>
#include <vector>

enum class Failure { kLoad, kExecution, kExecutionAfterShapeMismatch };

// The line written in the default colour before the red ones: the shape warning, or nothing.
std::string failureWarning(Failure failure);

// The red lines: "Failed loading '<name>'" and `reason`, or "Executing '<name>' failed" and the
// reason when there is one.
std::vector<std::string> failureLines(Failure failure, const std::string& modelFileName,
                                      const std::string& reason);

// The reason of a failed load when the library crashed, by the crash's name ("SIGSEGV").
std::string crashReason(const std::string& crashName);

// The reason of a failure for want of memory: what needed it, and the run's memory budget.
std::string memoryShortageReason(Failure failure);

// The reason when the library ran past the time limit (in seconds, as typed).
std::string timeLimitReason(const std::string& timeLimit);

// Writes the warning, if any, then the red lines.
void reportFailure(Failure failure, const std::string& modelFileName, const std::string& reason);
