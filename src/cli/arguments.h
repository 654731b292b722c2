// The command line: help and version switches, model path validation, and the input-shape
// arguments that follow the path.
#pragma once

#include <opencv2/dnn.hpp>

#include <optional>
#include <string>
#include <vector>

#include "check/options.h"

class Reporter;

// Answers a switch or rejects a missing or non-ONNX model path (through `reporter`), and then
// answers false: the run ends with status 0. Answers true when argv[1] names an existing ONNX
// file. Throws std::filesystem::filesystem_error when the path's existence cannot be determined.
bool checkArguments(int argc, char** argv, Reporter& reporter);

void printVersion();

// The version text, an empty line and the usage text.
void printUsage();

// True when the text after the last "." is "onnx" in any letter case.
bool hasOnnxExtension(const char* path);

// The last element of the path as typed: "net.onnx" for "models/net.onnx".
std::string fileNameOf(const char* path);

// The path as typed and its file name as the report shows them: the one place where the model
// path becomes printable.
std::string shownPath(const char* path);
std::string shownFileName(const char* path);

// One dimension per argument after the model path, read as a leading integer; an argument
// without one contributes nothing.
cv::dnn::MatShape parseUserShape(int argc, char** argv);

// Each option with a value is taken as "--option VALUE" or as "--option=VALUE".

// Takes "--time-limit SECONDS" out of the arguments, wherever it stands. The value is decimal
// seconds (digits, with a fraction after a point or not), from a millisecond to ten million
// seconds; any other value is refused.
std::optional<Refusal> takeTimeLimit(std::vector<char*>& arguments, TimeLimit& timeLimit);

// Takes every `option` out of the arguments, wherever it stands; answers whether there was one.
bool takeSwitch(std::vector<char*>& arguments, const char* option);

// True when the arguments, the options taken out, ask for help or the version (or nothing).
bool isSwitchRequest(const std::vector<char*>& arguments);

// Takes "--tolerance RTOL,ATOL" out of the arguments, wherever it stands. Both values are given,
// separated by one comma, each a finite decimal of 0 or more (digits, with a fraction after a
// point or not, and an exponent such as e-5 or not); any other value is refused.
std::optional<Refusal> takeTolerance(std::vector<char*>& arguments, ToleranceOption& tolerance);

// Takes "--data DIR" out of the arguments, wherever it stands, and keeps the folder as typed; the
// option without a folder is refused.
std::optional<Refusal> takeDataFolder(std::vector<char*>& arguments, std::string& folder);

// Takes "--benchmark N" out of the arguments, wherever it stands: N timed passes, a whole number
// from 1 to 100000 (digits only); any other value is refused.
std::optional<Refusal> takeBenchmark(std::vector<char*>& arguments, int& passes);

// The first argument after the model path, the options taken out, that starts with "--": no
// option of the program, nor a dimension, so a mistyped option. (The first argument is the model
// path or a switch, whatever it looks like.)
std::optional<Refusal> unknownOption(const std::vector<char*>& arguments);
