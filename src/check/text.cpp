#include "check/text.h"

namespace {

const char kHex[] = "0123456789abcdef";

// The length of the valid UTF-8 sequence that starts at `at`, or 0.
size_t sequenceLength(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  size_t length = 0;
  unsigned int lowest = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    lowest = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    lowest = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  unsigned int code = lead & (0x7f >> length);
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xc0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3f);
  }
  const bool surrogate = code >= 0xd800 && code <= 0xdfff;
  return code < lowest || code > 0x10ffff || surrogate ? 0 : length;
}

}  // namespace

std::string visibleText(const std::string& text, bool keepLineEnds) {
  std::string result;
  for (size_t at = 0; at < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    const size_t length = byte >= 0x80 ? sequenceLength(text, at) : 1;
    const unsigned char second = length == 2 ? static_cast<unsigned char>(text[at + 1]) : 0;
    if (length == 2 && byte == 0xc2 && second < 0xa0) {
      result += "\\u00";
      result += kHex[second >> 4];
      result += kHex[second & 0xf];
    } else if ((byte >= 0x20 && byte < 0x7f) || byte == '\t' || (keepLineEnds && byte == '\n') ||
               length > 1 || (length == 0 && byte >= 0xa0)) {
      result.append(text, at, length > 1 ? length : 1);
    } else {
      result += "\\x";
      result += kHex[byte >> 4];
      result += kHex[byte & 0xf];
    }
    at += length > 1 ? length : 1;
  }
  return result;
}

std::string visibleDescription(const std::string& description, const std::string& modelPath) {
  std::string text = description;
  // The library writes a description of several lines as "> " lines, each ended. When the
  // quoted path brought the only line ends, the description is taken back to one line.
  if (modelPath.find('\n') != std::string::npos && text.compare(0, 2, "> ") == 0 &&
      text.back() == '\n') {
    std::string line = text.substr(2, text.size() - 3);
    for (size_t at; (at = line.find("\n> ")) != std::string::npos;) line.replace(at, 3, "\n");
    std::string rest = line;
    for (size_t at; (at = rest.find(modelPath)) != std::string::npos;) {
      rest.erase(at, modelPath.size());
    }
    if (rest.size() < line.size() && rest.find('\n') == std::string::npos) text = line;
  }
  std::string result;
  size_t from = 0;
  for (size_t at; !modelPath.empty() && (at = text.find(modelPath, from)) != std::string::npos;
       from = at + modelPath.size()) {
    result += visibleText(text.substr(from, at - from), true) + visibleText(modelPath);
  }
  return result + visibleText(text.substr(from), true);
}
