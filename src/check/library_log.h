// What the library's log says, read by the worker: the records of its model-diagnostics pass,
// the layer whose shapes it could not compute, and its words without their source location.
#pragma once

#include <string>
#include <vector>

#include "check/channel.h"

// The library's words in a message or description: what follows "error: (<code>:<name>) " up to
// " in function '...'", on one line; else the first line that says anything, "> " taken off.
std::string libraryWords(const std::string& message);

// Takes the first whole rejection record of the diagnostics pass off the front of `log`, as the
// record 'R' with its type, node name, domain and the library's words. A record ends at the next
// empty line, or at the end of the log when `whole` says that no more will come. Text before a
// record goes. False while no whole record is there.
bool takeRejection(std::string& log, bool whole, Record& rejection);

// The types that the diagnostics pass lists as having no layer at all, as "<domain>.<Type>".
std::vector<std::string> typesWithoutLayer(const std::string& log);

// The first layer whose shapes the library could not compute, from a failed run's log: the
// record 'S' with the layer ("[Type]:(name)"), its input shapes as "[1, 3, 8, 8]", one field
// each, and last the library's words. Empty kind (0) when the log names no such layer.
Record stoppingLayer(const std::string& log);
