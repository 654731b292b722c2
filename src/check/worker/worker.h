// The worker's side of the check: every call of the library happens here, in a process of its
// own, and what it finds goes to the parent as findings (findings.h), which the parent alone
// turns into the report.
#pragma once

#include "check/worker/findings.h"

// Writes one finding to the parent; false when the parent is gone.
using FindingSink = bool (*)(const Finding& finding);

// Loads the model, inspects its inputs, runs the test execution and releases everything,
// sending a finding at each step; with an explanation asked for, then what explains a failure.
void runCheckJob(const CheckJob& job, FindingSink send);
