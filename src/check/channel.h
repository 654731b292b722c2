// The records that the worker sends its parent through a pipe: a kind letter and a list of byte
// strings, each prefixed by its length, so that any text (names with line ends or NUL bytes
// included) arrives as it was sent.
#pragma once

#include <string>
#include <utility>
#include <vector>

using Record = std::pair<char, std::vector<std::string>>;

std::string encodeRecord(const Record& record);

// Takes the whole record that starts at `at` in `buffer` and moves `at` past it; false while it
// is not complete. The caller drops what it has taken from the buffer once, not per record.
bool takeRecord(const std::string& buffer, size_t& at, Record& record);
