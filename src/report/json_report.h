// The report for scripts: one JSON document on standard output in place of the text. The run
// writes its text report as always, into a buffer; the facts it notes on the way and that text's
// lines make the document.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// Starts collecting: standard output goes to the buffer, without colours.
void beginJsonReport();

// The document's facts so far, to note more.
nlohmann::json& reportFacts();

// Puts standard output back and writes the document on one line: the facts, the exit status and
// the text report's lines (the empty line that opens every run left out).
void endJsonReport(int status);
