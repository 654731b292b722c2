// Text that comes from the model, the library or the command line, made safe to print: it can
// neither end a line of the report nor control the terminal.
#pragma once

#include <string>

// Writes every C0 control but tab, DEL, and every C1 control as a visible escape: a byte as
// "\x1b", a C1 control in UTF-8 as "\u009b". A byte 0x80-0x9f outside a valid UTF-8 sequence
// is a C1 control too; valid UTF-8 otherwise stays as it is. With `keepLineEnds` line feeds
// stay, as in the library's own descriptions.
std::string visibleText(const std::string& text, bool keepLineEnds = false);

// The library's description of a failure: its own line ends stay, but not those of the model
// path that it quotes, so that a path cannot add lines (nor the "> " form the library gives a
// description of several lines) to the report.
std::string visibleDescription(const std::string& description, const std::string& modelPath);
