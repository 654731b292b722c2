// Where a run's events go: the text report, written line by line as they come, or the JSON
// document, written once at the end.
#pragma once

#include "check/events.h"

class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void report(const Event& event) = 0;
  // The run is over, with this exit status.
  virtual void finish(int status) = 0;
};
