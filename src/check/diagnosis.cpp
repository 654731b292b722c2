#include "check/diagnosis.h"

#include <opencv2/core.hpp>

namespace {

const char kUnknownFormat[] = "Cannot determine an origin framework";

}  // namespace

std::string lastLoggedNode(const std::string& captured) {
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
    const std::string node = lastLoggedNode(captured);
    return node.empty() ? "" : "First unsupported node: " + node;
  }
  if (isUnknownFormat(description)) return "Unsupported format (not an onnx file)";
  return description;
}

std::string loadFailureReason(const std::string& captured, std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const cv::Exception& error) {
    return loadFailureReason(captured, error.err);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "The library failed with an unknown error.";
  }
}
