#include "report/text.h"

std::string visibleText(const std::string& text, bool keepLineEnds) {
  static const char kHex[] = "0123456789abcdef";
  std::string result;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte >= 0x20 && byte != 0x7f) || c == '\t' || (keepLineEnds && c == '\n')) {
      result += c;
    } else {
      result += "\\x";
      result += kHex[byte >> 4];
      result += kHex[byte & 0xf];
    }
  }
  return result;
}
