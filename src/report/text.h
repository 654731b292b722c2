// Text that comes from the model or the command line, made safe to print: it can neither end a
// line of the report nor control the terminal.
#pragma once

#include <string>

// Writes every C0 control but tab, and DEL, as a visible escape ("\x1b"); with `keepLineEnds`
// line feeds stay, as in the library's own descriptions.
std::string visibleText(const std::string& text, bool keepLineEnds = false);
