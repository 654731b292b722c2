// How the worker and its parent talk: the job that the parent sends to the worker's standard
// input, and the findings that the worker sends back through a pipe. Each is a frame: its kind,
// the length of its body, and the body, whose strings and lists carry their lengths, so that any
// text (names with line ends or NUL bytes included) arrives as it was sent.
// This file alone knows the bytes.
#pragma once

#include <optional>
#include <string>

#include "check/worker/findings.h"

// The argument that starts a process as the worker, before its parent's identity.
inline constexpr char kWorkerArgument[] = "--verasko-worker";

std::string encodeFinding(const Finding& finding);
std::string encodeJob(const CheckJob& job);

// The frames of a stream that arrives in pieces. Each byte is looked at a bounded number of
// times, however large a frame and however small the pieces: a frame of many megabytes that
// arrives 64 KiB at a time costs no more than its size.
class FrameReader {
 public:
  void append(const char* data, size_t size);

  // Takes the next whole frame, decoded; false while none is complete. A frame that does not
  // decode as its kind says is passed over and taken as nothing (std::nullopt).
  bool take(std::optional<Finding>& finding);
  bool take(std::optional<CheckJob>& job);

 private:
  bool takeFrame(unsigned char& kind, std::string& body);

  std::string buffer_;
  size_t start_ = 0;  // where the next frame begins
};
