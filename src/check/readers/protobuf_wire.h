// The protobuf wire format as the project's bounded readers take it: varints, fixed-size numbers
// and length-delimited fields read from a stream buffer, every length checked against the message
// that holds it, and what a reader keeps charged against a budget. A fault throws
// std::runtime_error with a short reason and the byte offset; the readers turn it into their
// answer.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

// The stream, the bytes read from it so far, the memory that kept data may still take, and the
// reason given when that runs out.
struct WireSource {
  std::streambuf& in;
  std::uint64_t offset = 0;
  std::uint64_t room = 0;
  const char* overBudget = "The data is too large";
};

// The size of what the stream holds from its current position on, leaving the position there;
// false when the stream cannot tell it.
bool sizeOfRest(std::istream& in, std::uint64_t& size);

[[noreturn]] void failAt(const WireSource& source, const std::string& what);

// Takes `bytes` from the budget, or fails with the source's reason.
void charge(WireSource& source, std::uint64_t bytes);

std::uint64_t readVarint(WireSource& source, std::uint64_t end);

// `count` bytes within the message ending at `end`, into `bytes`.
void readBytes(WireSource& source, std::uint64_t end, char* bytes, std::uint64_t count);

// A little-endian number of 4 or 8 bytes (wire types 5 and 1).
std::uint32_t readFixed32(WireSource& source, std::uint64_t end);
std::uint64_t readFixed64(WireSource& source, std::uint64_t end);

// Passes over `count` bytes that lie within the message ending at `end`.
void skip(WireSource& source, std::uint64_t count, std::uint64_t end);

// The rest of the message up to `end`, as a kept string.
std::string readString(WireSource& source, std::uint64_t end);

// Reads the fields of the message that ends at `end`. A length-delimited field is handed to
// `takeDelimited` with its number and its end, and skipped when it answers false; it reads a
// field it takes to its end. A field of another wire type (0, 1 or 5) is handed to `takeScalar`
// with its number and wire type, and skipped when it answers false; it reads the value it takes.
template <typename TakeDelimited, typename TakeScalar>
void readFields(WireSource& source, std::uint64_t end, TakeDelimited takeDelimited,
                TakeScalar takeScalar) {
  while (source.offset < end) {
    const std::uint64_t tag = readVarint(source, end);
    if ((tag >> 3) == 0 || tag > 0xffffffffu) failAt(source, "A field number is invalid");
    const int wireType = static_cast<int>(tag & 7);
    if (wireType == 2) {
      const std::uint64_t length = readVarint(source, end);
      if (length > end - source.offset) failAt(source, "A field runs past its message's end");
      if (!takeDelimited(tag >> 3, source.offset + length)) skip(source, length, end);
    } else if (wireType == 0 || wireType == 1 || wireType == 5) {
      if (takeScalar(tag >> 3, wireType)) continue;
      if (wireType == 0) readVarint(source, end);
      if (wireType == 1) skip(source, 8, end);
      if (wireType == 5) skip(source, 4, end);
    } else {
      failAt(source, "A field has an unsupported wire type");
    }
  }
}

// The same for the length-delimited fields alone.
template <typename Take>
void readMessage(WireSource& source, std::uint64_t end, Take take) {
  readFields(source, end, take, [](std::uint64_t, int) { return false; });
}

// The string field `number` of the message ending at `end`; its last one, as protobuf has it.
std::string readNameField(WireSource& source, std::uint64_t end, std::uint64_t number);
