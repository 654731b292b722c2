// The shared wire routines. Short skips are read through: a seek on a file drops the stream's
// buffer.
#include "check/readers/protobuf_wire.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr std::uint64_t kSeekFrom = 64 * 1024;

unsigned char readByte(WireSource& source, std::uint64_t end) {
  if (source.offset >= end) failAt(source, "A number runs past the end of its message");
  const int byte = source.in.sbumpc();
  if (byte == std::char_traits<char>::eof()) failAt(source, "The file ends early");
  ++source.offset;
  return static_cast<unsigned char>(byte);
}

}  // namespace

bool sizeOfRest(std::istream& in, std::uint64_t& size) {
  std::streambuf* buffer = in.rdbuf();
  const std::streampos unknown(std::streamoff(-1));
  const std::streampos start =
      buffer ? buffer->pubseekoff(0, std::ios_base::cur, std::ios_base::in) : unknown;
  const std::streampos end =
      start != unknown ? buffer->pubseekoff(0, std::ios_base::end, std::ios_base::in) : unknown;
  if (end == unknown || buffer->pubseekpos(start, std::ios_base::in) != start || end - start < 0) {
    return false;
  }
  size = static_cast<std::uint64_t>(end - start);
  return true;
}

void failAt(const WireSource& source, const std::string& what) {
  throw std::runtime_error(what + " at byte " + std::to_string(source.offset));
}

void charge(WireSource& source, std::uint64_t bytes) {
  if (bytes > source.room) failAt(source, source.overBudget);
  source.room -= bytes;
}

std::uint64_t readVarint(WireSource& source, std::uint64_t end) {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    const unsigned char byte = readByte(source, end);
    value |= std::uint64_t{byte & 0x7fu} << shift;
    if (byte < 0x80) return value;
  }
  failAt(source, "A number is longer than 10 bytes");
}

void readBytes(WireSource& source, std::uint64_t end, char* bytes, std::uint64_t count) {
  if (count > end - source.offset) failAt(source, "A field runs past the end of its message");
  if (count > 0 && source.in.sgetn(bytes, static_cast<std::streamsize>(count)) !=
                       static_cast<std::streamsize>(count)) {
    failAt(source, "The file ends early");
  }
  source.offset += count;
}

std::uint32_t readFixed32(WireSource& source, std::uint64_t end) {
  unsigned char bytes[4];
  readBytes(source, end, reinterpret_cast<char*>(bytes), 4);
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

std::uint64_t readFixed64(WireSource& source, std::uint64_t end) {
  unsigned char bytes[8];
  readBytes(source, end, reinterpret_cast<char*>(bytes), 8);
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

void skip(WireSource& source, std::uint64_t count, std::uint64_t end) {
  if (count > end - source.offset) failAt(source, "A field runs past the end of its message");
  if (count >= kSeekFrom) {
    if (source.in.pubseekoff(static_cast<std::streamoff>(count), std::ios_base::cur,
                             std::ios_base::in) == std::streampos(std::streamoff(-1))) {
      failAt(source, "The file cannot be read past here");
    }
  } else {
    char buffer[4096];
    for (std::uint64_t left = count; left > 0;) {
      const auto chunk = static_cast<std::streamsize>(std::min<std::uint64_t>(left, sizeof buffer));
      if (source.in.sgetn(buffer, chunk) != chunk) failAt(source, "The file ends early");
      left -= static_cast<std::uint64_t>(chunk);
    }
  }
  source.offset += count;
}

std::string readString(WireSource& source, std::uint64_t end) {
  // What a kept string is charged besides its bytes: about what its container takes.
  constexpr std::uint64_t kStringCharge = 32;
  const std::uint64_t length = end - source.offset;
  charge(source, length + kStringCharge);
  std::string text(static_cast<size_t>(length), '\0');
  if (length > 0 && source.in.sgetn(&text[0], static_cast<std::streamsize>(length)) !=
                        static_cast<std::streamsize>(length)) {
    failAt(source, "The file ends early");
  }
  source.offset += length;
  return text;
}

std::string readNameField(WireSource& source, std::uint64_t end, std::uint64_t number) {
  std::string name;
  readMessage(source, end, [&](std::uint64_t field, std::uint64_t fieldEnd) {
    if (field != number) return false;
    name = readString(source, fieldEnd);
    return true;
  });
  return name;
}
