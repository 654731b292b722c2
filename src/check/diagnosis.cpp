#include "check/diagnosis.h"

#include <opencv2/core.hpp>

#include <new>

#include "report/text.h"

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
    return node.empty() ? "" : "First unsupported node: " + visibleText(node);
  }
  if (isUnknownFormat(description)) return "Unsupported format (not an onnx file)";
  return visibleText(description, true);
}

std::string loadFailureReason(const std::string& captured, std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const cv::Exception& error) {
    return loadFailureReason(captured, error.err);
  } catch (const std::exception& error) {
    return visibleText(error.what(), true);
  } catch (...) {
    return "The library failed with an unknown error.";
  }
}

bool isMemoryShortage(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const cv::Exception& error) {
    // The importer wraps what failed inside a node into an error of its own.
    return error.code == cv::Error::StsNoMem ||
           error.err.find("Insufficient memory") != std::string::npos ||
           error.err.find("bad_alloc") != std::string::npos;
  } catch (const std::bad_alloc&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::string failureReason(Failure failure, const std::string& captured, std::exception_ptr error) {
  if (isMemoryShortage(error)) return memoryShortageReason(failure);
  return failure == Failure::kLoad ? loadFailureReason(captured, error) : "";
}
