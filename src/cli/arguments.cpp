#include "cli/arguments.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <locale>
#include <sstream>

#include "check/readers/path.h"
#include "check/reporter.h"
#include "check/text.h"

namespace {

const char* const kHelpSwitches[] = {"?", "-?",   "h",    "-h",    "-H",
                                     "H", "help", "Help", "-help", "-Help"};
const char* const kVersionSwitches[] = {"v",       "V",       "-v",       "-V",
                                        "version", "Version", "-version", "-Version"};

// Vision library releases and the platform releases that carry them.
const char* const kLibraryVersions[] = {"4.5.5   Lumetra 3.0.0", "4.7.0   Lumetra 3.1.0"};

template <size_t N>
bool isOneOf(const char* argument, const char* const (&switches)[N]) {
  for (const char* candidate : switches) {
    if (std::strcmp(argument, candidate) == 0) return true;
  }
  return false;
}

}  // namespace

void printVersion() {
  std::cout << "Verasko version " << VERASKO_VERSION_MAJOR << "." << VERASKO_VERSION_MINOR << "."
            << VERASKO_VERSION_PATCH << std::endl;
  std::cout << "Lumetra 3 Vision library versions:" << std::endl;
  for (const char* row : kLibraryVersions) std::cout << "\t" << row << std::endl;
}

void printUsage() {
  printVersion();
  std::cout << std::endl;
  std::cout << "Usage Information:" << std::endl;
  std::cout << "\t-v, -version\tshow version information" << std::endl;
  std::cout << "\t-?, -h, -help\tshow help and usage information" << std::endl;
  std::cout << std::endl;
  std::cout << "Usage:\tVerasko.exe <model.onnx> [ModelInputshape]" << std::endl;
  std::cout << std::endl;
  std::cout << "Arguments:" << std::endl;
  std::cout << "\t<model.onnx> Path to the ONNX model file." << std::endl;
  std::cout << "\t[ModelInputshape] (Optional) Input shape of the model, provide each dimension "
               "separately."
            << std::endl;
  std::cout << "\t\tFor example use the following command to test a model with input data in NCHW "
               "layout:"
            << std::endl;
  std::cout << "\t\tVerasko.exe model.onnx 1 3 224 224" << std::endl;
  std::cout << "\t\tLeave empty to get the input shape from the provided ONNX model file."
            << std::endl;
}

bool hasOnnxExtension(const char* path) {
  const char* dot = std::strrchr(path, '.');
  if (dot == nullptr) return false;
  const size_t length = std::strlen(dot + 1);
  if (length == 0 || length > 4) return false;
  char extension[5] = {};
  for (size_t i = 0; i < length; ++i) {
    extension[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(dot[1 + i])));
  }
  return std::strcmp(extension, "ONNX") == 0;
}

std::string fileNameOf(const char* path) {
  return pathOf(path).filename().string();
}

std::string shownPath(const char* path) {
  return visibleText(path);
}

std::string shownFileName(const char* path) {
  return visibleText(fileNameOf(path));
}

bool checkArguments(int argc, char** argv, Reporter& reporter) {
  if (argc < 2 || isOneOf(argv[1], kHelpSwitches)) {
    printUsage();
    return false;
  }
  if (isOneOf(argv[1], kVersionSwitches)) {
    printVersion();
    return false;
  }
  const char* path = argv[1];
  if (!std::filesystem::exists(pathOf(path))) {
    reporter.report(PathRefused{PathProblem::kMissing, ""});
    return false;
  }
  if (!hasOnnxExtension(path)) {
    reporter.report(PathRefused{PathProblem::kNotOnnx, ""});
    return false;
  }
  return true;
}

cv::dnn::MatShape parseUserShape(int argc, char** argv) {
  cv::dnn::MatShape shape;
  for (int i = 2; i < argc; ++i) {
    std::istringstream argument(argv[i]);
    int dimension = 0;
    if (argument >> dimension) shape.push_back(dimension);
  }
  return shape;
}

namespace {

// Takes the option at `i` out of the arguments when it is `option`, with its value: the text after
// "=" when it is given as "option=value", otherwise the argument after it ("" when none follows).
bool takeOptionAt(std::vector<char*>& arguments, size_t i, const char* option, std::string& value) {
  const size_t length = std::strlen(option);
  const char* argument = arguments[i];
  if (std::strncmp(argument, option, length) != 0) return false;
  size_t taken = 1;
  if (argument[length] == '=') {
    value = argument + length + 1;
  } else if (argument[length] == '\0') {
    value = i + 1 < arguments.size() ? arguments[i + 1] : "";
    taken = std::min<size_t>(2, arguments.size() - i);
  } else {
    return false;
  }
  arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                  arguments.begin() + static_cast<std::ptrdiff_t>(i + taken));
  return true;
}

// Digits with an optional fraction ("2", "2.5", ".5", "2."), read in the C locale: no sign,
// blank, exponent or hexadecimal, which would let a value mean other than it says. A value too
// large or too small for a double is read as infinite.
bool readDecimalSeconds(const std::string& value, double& seconds) {
  const size_t point = value.find('.');
  const std::string digits =
      point == std::string::npos ? value : value.substr(0, point) + value.substr(point + 1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  std::istringstream text(value);
  text.imbue(std::locale::classic());
  if (!(text >> seconds)) seconds = HUGE_VAL;
  return true;
}

}  // namespace

std::optional<Refusal> takeTimeLimit(std::vector<char*>& arguments, TimeLimit& timeLimit) {
  // The limits that the worker's watch can honour.
  constexpr double kShortest = 0.001, kLongest = 1e7;
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::string value;
    if (!takeOptionAt(arguments, i, "--time-limit", value)) continue;
    double seconds = 0;
    if (!readDecimalSeconds(value, seconds) || seconds <= 0) {
      return Refusal{RefusalKind::kTimeLimitNotPositive, visibleText(value)};
    }
    if (!(seconds >= kShortest && seconds <= kLongest)) {
      return Refusal{RefusalKind::kTimeLimitOutOfRange, visibleText(value)};
    }
    timeLimit = {seconds, visibleText(value)};
    --i;
  }
  return std::nullopt;
}

bool takeSwitch(std::vector<char*>& arguments, const char* option) {
  const size_t before = arguments.size();
  for (size_t i = arguments.size(); i-- > 1;) {
    if (std::strcmp(arguments[i], option) == 0) {
      arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  return arguments.size() != before;
}

bool isSwitchRequest(const std::vector<char*>& arguments) {
  return arguments.size() <= 1 || isOneOf(arguments[1], kHelpSwitches) ||
         isOneOf(arguments[1], kVersionSwitches);
}

namespace {

// A decimal with an optional exponent ("1", "0.5", ".5", "1e-5", "2.5E+3"), read in the C locale,
// finite and not negative: no sign, blank or hexadecimal.
bool readTolerance(const std::string& text, double& value) {
  const size_t exponent = text.find_first_of("eE");
  const std::string mantissa = text.substr(0, exponent);
  double unused = 0;
  if (!readDecimalSeconds(mantissa, unused)) return false;
  if (exponent != std::string::npos) {
    size_t digits = exponent + 1;
    if (digits < text.size() && (text[digits] == '+' || text[digits] == '-')) ++digits;
    if (digits == text.size() ||
        text.find_first_not_of("0123456789", digits) != std::string::npos) {
      return false;
    }
  }
  std::istringstream stream(text);
  stream.imbue(std::locale::classic());
  return stream >> value && stream.peek() == std::char_traits<char>::eof() && std::isfinite(value);
}

}  // namespace

std::optional<Refusal> takeTolerance(std::vector<char*>& arguments, ToleranceOption& tolerance) {
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::string value;
    if (!takeOptionAt(arguments, i, "--tolerance", value)) continue;
    const size_t comma = value.find(',');
    Tolerance values;
    if (comma == std::string::npos || !readTolerance(value.substr(0, comma), values.relative) ||
        !readTolerance(value.substr(comma + 1), values.absolute)) {
      return Refusal{RefusalKind::kTolerance, visibleText(value)};
    }
    tolerance = {values, visibleText(value)};
    --i;
  }
  return std::nullopt;
}

std::optional<Refusal> takeDataFolder(std::vector<char*>& arguments, std::string& folder) {
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::string value;
    if (!takeOptionAt(arguments, i, "--data", value)) continue;
    if (value.empty()) return Refusal{RefusalKind::kNoDataFolder, ""};
    folder = value;
    --i;
  }
  return std::nullopt;
}

std::optional<Refusal> takeBenchmark(std::vector<char*>& arguments, int& passes) {
  constexpr size_t kMostDigits = 6;
  constexpr int kMost = 100000;
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::string value;
    if (!takeOptionAt(arguments, i, "--benchmark", value)) continue;
    const bool digits = !value.empty() && value.size() <= kMostDigits &&
                        value.find_first_not_of("0123456789") == std::string::npos;
    const int count = digits ? std::stoi(value) : 0;
    if (count < 1 || count > kMost)
      return Refusal{RefusalKind::kBenchmarkCount, visibleText(value)};
    passes = count;
    --i;
  }
  return std::nullopt;
}

std::optional<Refusal> unknownOption(const std::vector<char*>& arguments) {
  for (size_t i = 2; i < arguments.size(); ++i) {
    if (std::strncmp(arguments[i], "--", 2) == 0) {
      return Refusal{RefusalKind::kUnknownOption, visibleText(arguments[i])};
    }
  }
  return std::nullopt;
}
