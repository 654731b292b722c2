#include "check/failure.h"

#include <iostream>

#include "check/memory_budget.h"
#include "report/console.h"

std::string failureWarning(Failure failure) {
  if (failure != Failure::kExecutionAfterShapeMismatch) return "";
  return "Warning: the user input shape does not match the model input shape.";
}

std::vector<std::string> failureLines(Failure failure, const std::string& modelFileName,
                                      const std::string& reason) {
  if (failure == Failure::kLoad) return {"Failed loading '" + modelFileName + "'", reason};
  if (reason.empty()) return {"Executing '" + modelFileName + "' failed"};
  return {"Executing '" + modelFileName + "' failed", reason};
}

std::string crashReason(const std::string& crashName) {
  return "The library crashed with " + crashName + ".";
}

std::string memoryShortageReason(Failure failure) {
  const std::string needs = failure == Failure::kLoad ? "The model" : "The test";
  if (memoryBudget() == 0) return needs + " needs more memory than is available.";
  return needs + " needs more memory than the " + memoryBudgetText() + " available.";
}

std::string timeLimitReason(const std::string& timeLimit) {
  return "The library did not finish within the time limit of " + timeLimit + " s.";
}

void reportFailure(Failure failure, const std::string& modelFileName, const std::string& reason) {
  const std::string warning = failureWarning(failure);
  if (!warning.empty()) std::cout << warning << std::endl;
  printColoredLines(Red, failureLines(failure, modelFileName, reason));
}
