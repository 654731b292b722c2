#include "check/diagnosis.h"

#include "report/console.h"

namespace {

const char kUnknownFormat[] = "Cannot determine an origin framework";

}  // namespace

std::string firstUnsupportedNode(const std::string& captured) {
  const size_t open = captured.rfind('[');
  const size_t close = captured.rfind(')');
  if (open == std::string::npos || open == 0 || close == std::string::npos || close < open) {
    return "";
  }
  return captured.substr(open, close - open + 1);
}

bool isUnknownFormat(const std::string& description) {
  return description.compare(0, sizeof kUnknownFormat - 1, kUnknownFormat) == 0;
}

std::string loadFailureReason(const std::string& captured, const std::string& description) {
  if (!captured.empty()) {
    const std::string node = firstUnsupportedNode(captured);
    return node.empty() ? "" : "First unsupported node: " + node;
  }
  if (isUnknownFormat(description)) return "Unsupported format (not an onnx file)";
  return description;
}

void reportLoadFailure(const std::string& modelFileName, const std::string& reason) {
  printColoredLines(Red, {"Failed loading '" + modelFileName + "'", reason});
}
