// The text report: every word that a run writes about a model, each line written and flushed as
// its event arrives, so that a worker that dies mid-run still leaves the lines before.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "check/reporter.h"
#include "report/console.h"

class TextReporter : public Reporter {
 public:
  // On the console, colours are shown as decided for it; any other stream gets plain lines.
  TextReporter(std::ostream& out, bool console);

  void report(const Event& event) override;
  void finish(int status) override;

  // What one event writes, and what the run knows by then.
  void operator()(const RunStarted& started);
  void operator()(const OptionRefused& refused);
  void operator()(const PathRefused& refused);
  void operator()(const CheckStarted& started);
  void operator()(const Loaded&);
  void operator()(const EmptyModel&);
  void operator()(const InputReport& inputs);
  void operator()(const Executing&);
  void operator()(const Outputs& outputs);
  void operator()(const Failed& failed);
  void operator()(const Executable&);
  void operator()(const Explained& explained);
  void operator()(const DataRead& data);
  void operator()(const DataRefused& refused);
  void operator()(const OutputsCompared& compared);
  void operator()(const OutputsDiffer&);
  void operator()(const DeclaredShapes& declared);
  void operator()(const Benchmarked& benchmarked);

 private:
  void line(const std::string& text);
  void colored(ConsoleColor color, const std::vector<std::string>& lines);

  std::ostream& out_;
  bool console_;
  RunStarted run_;
  CheckStarted check_;
  std::optional<DataRead> data_;
};

// The words that the JSON document repeats: the reason line of a failure, and how a worker that
// was cut short ended ("the library crashed with SIGSEGV.").
std::string failureReason(Stage stage, const FailureReason& reason, const TimeLimit& timeLimit,
                          std::uint64_t memoryBudget);
std::string cutShortText(const Ending& ending, const TimeLimit& timeLimit);
std::string dataProblemText(const DataProblem& problem, const TimeLimit& timeLimit,
                            std::uint64_t memoryBudget);

// The explanation as lines of text, the empty line before it included; none for nothing to say.
std::vector<std::string> explanationLines(const Explanation& explanation,
                                          const TimeLimit& timeLimit);
