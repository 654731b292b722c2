// Command-line arguments as paths, the one conversion that every file name the user types takes,
// in the readers, the worker and the parent alike: every path in this program is kept as typed.
#pragma once

#include <filesystem>

// The path that a command-line argument names, read as the C runtime reads it: on Windows in the
// process's ANSI code page, which the program's manifest makes UTF-8.
std::filesystem::path pathOf(const char* argument);
