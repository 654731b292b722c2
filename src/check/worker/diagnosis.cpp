#include "check/worker/diagnosis.h"

#include <opencv2/core.hpp>

#include <new>

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

CheckFailure loadFailureCause(const std::string& captured, std::exception_ptr failure) {
  if (isMemoryShortage(failure)) return {Cause::kMemory, ""};
  try {
    std::rethrow_exception(failure);
  } catch (const cv::Exception& error) {
    if (!captured.empty()) {
      const std::string node = lastLoggedNode(captured);
      return node.empty() ? CheckFailure{Cause::kNoNode, ""} : CheckFailure{Cause::kNode, node};
    }
    if (isUnknownFormat(error.err)) return {Cause::kUnknownFormat, ""};
    return {Cause::kDescription, error.err};
  } catch (const std::exception& error) {
    return {Cause::kMessage, error.what()};
  } catch (...) {
    return {Cause::kUnknown, ""};
  }
}

CheckFailure executionFailureCause(std::exception_ptr failure) {
  return {isMemoryShortage(failure) ? Cause::kMemory : Cause::kNone, ""};
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
