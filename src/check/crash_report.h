// The last-resort report for a crash inside the library: a fatal signal on POSIX, a structured
// exception or abort() on Windows. The bytes are prepared before the library is called, so the
// handler only writes them and ends the process with status -1.
#pragma once

#include <string>
#include <vector>

// The crashes that a report tells apart, by the names the report gives them.
const std::vector<std::string>& crashNames();

// Arms the report: on the crash named crashNames()[i], `restoreConsole` is called (it must be
// safe in a signal handler), then `plain` is written in the default colour and `red[i]` in red.
// Both hold their own line ends. Should standard output take none of it, one line on standard
// error says so. Arming again only replaces the texts.
void armCrashReport(const std::string& plain, const std::vector<std::string>& red,
                    void (*restoreConsole)());

// Puts back whatever handled those crashes before; does nothing when not armed.
void disarmCrashReport();
