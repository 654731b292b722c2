// The records that the worker sends its parent through a pipe: a kind letter and a list of byte
// strings, each prefixed by its length, so that any text (names with line ends or NUL bytes
// included) arrives as it was sent.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using Record = std::pair<char, std::vector<std::string>>;

std::string encodeRecord(const Record& record);

// The records of a stream that arrives in pieces. Each byte is looked at a bounded number of
// times, however large a record and however small the pieces: a record of many megabytes that
// arrives 64 KiB at a time costs no more than its size.
class RecordReader {
 public:
  void append(const char* data, size_t size);

  // Takes the next whole record; false while none is complete.
  bool take(Record& record);

 private:
  std::string buffer_;
  size_t start_ = 0;                 // where the next record begins
  size_t scanned_ = 0;               // how far its fields are known to be whole (0: not begun)
  std::uint32_t fieldsScanned_ = 0;  // how many fields that is
};
