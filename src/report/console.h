// Console colours: the one place that decides whether standard output takes colour and that
// switches it. Windows sets console text attributes; elsewhere ANSI codes are written.
#pragma once

#include <string>
#include <vector>

enum ConsoleColor { Green = 2, Red = 4, Default = 7 };

// Decides, once per run, whether colours are shown: only on a terminal (a console on Windows),
// and not when NO_COLOR is set and not empty or TERM is "dumb". Until then colours are off. On
// Windows it also reads the console's own text attributes, which Default puts back.
void decideConsoleColors();

// Overrides the decision, for tests.
void setConsoleColorsEnabled(bool enabled);

// Switches the colour of what follows on standard output.
void setConsoleColor(ConsoleColor color);

// Writes the lines in `color`, each ended and flushed, and goes back to Default right after the
// last one, so that no colour leaks onto the next line.
void printColoredLines(ConsoleColor color, const std::vector<std::string>& lines);

// Lets an interruption (any signal that would end the process, SIGINT, SIGTERM, SIGHUP, SIGQUIT
// and the others; Ctrl-C or a closed console on Windows) call
// `cleanup` (which must be safe in a signal handler), then put the colour back to Default when
// one is in force, and a Windows console's output code page back, before the process ends as
// the signal would.
void resetColorOnInterrupt(void (*cleanup)() = nullptr);

// Switches a Windows console's output code page to UTF-8, the encoding of the names the program
// gets by its manifest, until the end of the process. Nothing on a pipe, where the manifest is
// not honoured, or elsewhere.
void useUtf8Console();

// Keeps the standard descriptors from being reused: one that is closed at start gets a
// placeholder that takes no writes, so that no file the run opens can take its place. A
// file-size limit then makes writes fail instead of ending the process.
void holdStandardDescriptors();

// Flushes standard output and answers why what was written did not all reach it, or nothing
// when it did.
std::string outputFailure();
