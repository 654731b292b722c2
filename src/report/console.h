// Console colours: the one place that decides whether standard output takes colour and that
// switches it. Windows sets console text attributes; elsewhere ANSI codes are written.
#pragma once

#include <string>
#include <vector>

enum ConsoleColor { Green = 2, Red = 4, Default = 7 };

// Decides, once per run, whether colours are shown: only on a terminal (a console on Windows),
// and not when NO_COLOR is set and not empty or TERM is "dumb". Until then colours are off.
void decideConsoleColors();

// Overrides the decision, for tests.
void setConsoleColorsEnabled(bool enabled);
bool consoleColorsEnabled();

// The ANSI code that switches to `color`; empty when colours are off or on Windows, where the
// colour is not part of the text.
std::string colorCode(ConsoleColor color);

// Switches the colour of what follows on standard output.
void setConsoleColor(ConsoleColor color);

// Writes the lines in `color`, each ended and flushed, and goes back to Default right after the
// last one, so that no colour leaks onto the next line.
void printColoredLines(ConsoleColor color, const std::vector<std::string>& lines);

// Lets an interruption (SIGINT, SIGTERM, SIGHUP; Ctrl-C or a closed console on Windows) call
// `cleanup` (which must be safe in a signal handler), then put the colour back to Default when
// one is in force, before the process ends as the signal would.
void resetColorOnInterrupt(void (*cleanup)() = nullptr);

// Keeps the standard descriptors from being reused: one that is closed at start gets a
// placeholder that takes no writes, so that no file the run opens can take its place. A
// file-size limit then makes writes fail instead of ending the process.
void holdStandardDescriptors();

// Flushes standard output and answers why what was written did not all reach it, or nothing
// when it did.
std::string outputFailure();
