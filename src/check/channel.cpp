#include "check/channel.h"

#include <cstdint>

namespace {

// Fields and counts are written as four bytes, least significant first.
void putNumber(std::string& out, std::uint32_t number) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((number >> (8 * i)) & 0xff);
}

bool getNumber(const std::string& in, size_t& at, std::uint32_t& number) {
  if (in.size() - at < 4) return false;
  number = 0;
  for (int i = 0; i < 4; ++i) {
    number |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  }
  at += 4;
  return true;
}

}  // namespace

std::string encodeRecord(const Record& record) {
  std::string out(1, record.first);
  putNumber(out, static_cast<std::uint32_t>(record.second.size()));
  for (const std::string& field : record.second) {
    putNumber(out, static_cast<std::uint32_t>(field.size()));
    out += field;
  }
  return out;
}

bool takeRecord(const std::string& buffer, size_t& at, Record& record) {
  // The sizes first, so that nothing is copied from a record that has not all arrived.
  size_t end = at + 1;
  std::uint32_t count = 0;
  if (buffer.size() <= at || !getNumber(buffer, end, count)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t size = 0;
    if (!getNumber(buffer, end, size) || buffer.size() - end < size) return false;
    end += size;
  }
  std::vector<std::string> fields(count);
  size_t next = at + 5;
  for (std::string& field : fields) {
    std::uint32_t size = 0;
    getNumber(buffer, next, size);
    field = buffer.substr(next, size);
    next += size;
  }
  record = {buffer[at], std::move(fields)};
  at = end;
  return true;
}
