// Console colours and the last-resort crash report: the one module that talks to the platform.
// Windows sets console text attributes; elsewhere ANSI colours are written, and only when standard
// output is a terminal, so pipes and files receive plain text.
#pragma once

#include <initializer_list>
#include <string>

enum ConsoleColor { Green = 2, Red = 4, Default = 7 };

// Switches the colour of what follows on standard output.
void setConsoleColor(ConsoleColor color);

// Writes the lines in `color`, each ended and flushed, and goes back to Default right after the
// last one, so that no colour leaks onto the next line.
void printColoredLines(ConsoleColor color, std::initializer_list<std::string> lines);

// Arms a report for a crash inside the library calls that follow, until disarmCrashReport. Should
// the process get a fatal signal (a Windows structured exception), the handler writes `plain`,
// then `red` as a red line, then, when `nameCrash`, a red line naming the crash, and ends the
// process with status -1. The bytes are prepared here, so the handler only writes them.
void armCrashReport(const std::string& plain, const std::string& red, bool nameCrash);

// Arming again while armed only replaces the report.

// Puts back whatever handled those crashes before armCrashReport; does nothing when not armed.
void disarmCrashReport();
