#include "check/channel.h"

#include <cstdint>

namespace {

// Fields and counts are written as four bytes, least significant first.
void putNumber(std::string& out, std::uint32_t number) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((number >> (8 * i)) & 0xff);
}

bool getNumber(const std::string& in, size_t& at, std::uint32_t& number) {
  if (at > in.size()) return false;
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

void RecordReader::append(const char* data, size_t size) {
  // What was taken goes once it is the larger part, so that the buffer is not moved often.
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    if (scanned_ > 0) scanned_ -= start_;
    start_ = 0;
  }
  buffer_.append(data, size);
}

bool RecordReader::take(Record& record) {
  size_t at = start_ + 1;
  std::uint32_t count = 0;
  if (buffer_.size() <= start_ || !getNumber(buffer_, at, count)) return false;
  const size_t first = at;
  if (scanned_ > 0) at = scanned_;
  // The field sizes first, from where the last call stopped; the bytes only once all are there.
  for (; fieldsScanned_ < count; ++fieldsScanned_) {
    size_t after = at;
    std::uint32_t size = 0;
    if (!getNumber(buffer_, after, size) || buffer_.size() - after < size) {
      scanned_ = at;
      return false;
    }
    at = after + size;
  }
  std::vector<std::string> fields;
  fields.reserve(count);
  for (size_t field = first; field < at;) {
    std::uint32_t size = 0;
    getNumber(buffer_, field, size);
    fields.push_back(buffer_.substr(field, size));
    field += size;
  }
  record = {buffer_[start_], std::move(fields)};
  start_ = at;
  scanned_ = 0;
  fieldsScanned_ = 0;
  return true;
}
