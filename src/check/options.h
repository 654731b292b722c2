// The run's options as the check takes them, once the command line has been read: the time
// limit, the tolerance and the data folder, or why a value was refused.
#pragma once

#include <string>

#include "check/comparison.h"

// A time limit: its seconds (0: none) and its value as it was given, made printable.
struct TimeLimit {
  double seconds = 0;
  std::string text;
};

// An option's value that the run refuses, as given (made printable), and what is wrong with it.
enum class RefusalKind {
  kTimeLimitNotPositive,
  kTimeLimitOutOfRange,
  kTolerance,
  kNoDataFolder,
  kDataWithShape,  // test data and shape arguments together
  kUnknownOption,  // an argument of the form of an option that is no option
  kBenchmarkCount,
};
struct Refusal {
  RefusalKind kind = RefusalKind::kTimeLimitNotPositive;
  std::string value;
};

// A tolerance: its values and the text it was given as, made printable ("" when none was given).
struct ToleranceOption {
  Tolerance values;
  std::string text;
};

// How the model is checked: a time limit of 0 seconds is none; with `explain`, a failure is
// followed by what explains it; with `declaredShapes`, the outputs' shapes are held against the
// model's declarations; with a data folder, the test runs on its inputs and its outputs are held
// against the expected ones; with `benchmark`, that many timed passes follow the check's own.
struct CheckOptions {
  TimeLimit timeLimit;
  bool explain = false;
  bool declaredShapes = false;
  std::string dataFolder;
  ToleranceOption tolerance;
  int benchmark = 0;
};
