#include "check/failure.h"

#include <iostream>

#include "report/console.h"

std::string failureWarning(Failure failure) {
  if (failure != Failure::kExecutionAfterShapeMismatch) return "";
  return "Warning: the user input shape does not match the model input shape.";
}

std::vector<std::string> failureLines(Failure failure, const std::string& modelFileName,
                                      const std::string& reason) {
  if (failure == Failure::kLoad) return {"Failed loading '" + modelFileName + "'", reason};
  return {"Executing '" + modelFileName + "' failed"};
}

std::string crashReason(const std::string& crashName) {
  return "The library crashed with " + crashName + ".";
}

void reportFailure(Failure failure, const std::string& modelFileName, const std::string& reason) {
  const std::string warning = failureWarning(failure);
  if (!warning.empty()) std::cout << warning << std::endl;
  printColoredLines(Red, failureLines(failure, modelFileName, reason));
}
