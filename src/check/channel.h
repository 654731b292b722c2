// The records that the worker sends its parent through a pipe: a kind letter and a list of byte
// strings, each prefixed by its length, so that any text (names with line ends or NUL bytes
// included) arrives as it was sent.
#pragma once

#include <string>
#include <utility>
#include <vector>

using Record = std::pair<char, std::vector<std::string>>;

std::string encodeRecord(const Record& record);

// Takes the first whole record off the front of `buffer`; false while none is complete.
bool takeRecord(std::string& buffer, Record& record);
