#include "check/readers/path.h"

#ifdef _WIN32
#include <windows.h>
#endif

std::filesystem::path pathOf(const char* argument) {
#ifdef _WIN32
  // The ANSI code page, as the C runtime's narrow file functions take it; the standard library
  // would read the bytes in the C locale instead.
  const int length = MultiByteToWideChar(CP_ACP, 0, argument, -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
  MultiByteToWideChar(CP_ACP, 0, argument, -1, &wide[0], length);
  wide.pop_back();
  return std::filesystem::path(wide);
#else
  return std::filesystem::path(argument);
#endif
}
