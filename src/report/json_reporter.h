// The report for scripts: one JSON document on standard output in place of the text, written
// once the run is over. It holds what the run found, its exit status, and the text report's
// lines (the empty line that opens every run left out).
#pragma once

#include <nlohmann/json.hpp>

#include <ostream>
#include <sstream>

#include "check/reporter.h"
#include "report/text_reporter.h"

class JsonReporter : public Reporter {
 public:
  explicit JsonReporter(std::ostream& out);

  void report(const Event& event) override;
  void finish(int status) override;

  // What one event adds to the document.
  void operator()(const RunStarted& started);
  void operator()(const OptionRefused&);
  void operator()(const PathRefused&);
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
  std::ostream& out_;
  std::ostringstream text_;
  TextReporter lines_;
  nlohmann::json document_;
  RunStarted run_;
  CheckStarted check_;
};
