// The process that does the library's work. The library can corrupt the heap, fault in several
// threads at once, be killed for want of memory or never return; only another process survives
// all of that. The worker is a program of its own, Verasko-worker, installed beside this one, which
// never loads the library. It gets the worker argument (worker_program.h) and its job through a
// pipe, its standard error goes to the null device, and its report comes back through a pipe.
#pragma once

#include <functional>
#include <string>

#include "check/worker/findings.h"

// How the worker ended: after its last record; with another exit status (the text); by a crash
// (its name: "SIGSEGV", "an access violation"); killed by someone else (the system, for want of
// memory); stopped at the time limit; or in a way that could not be learned (why: "No child
// processes"), which is never taken for an orderly end.
enum class WorkerEnd { kFinished, kExitStatus, kCrash, kKilled, kTimeLimit, kUnknown };
struct Ending {
  WorkerEnd end = WorkerEnd::kFinished;
  std::string detail;  // the exit status, the crash's name, or why the end is unknown
};

// Runs the check job in a worker and hands each of its findings to `onFinding` as it arrives. A
// time limit of 0 is none; the worker is stopped once it has passed, whatever the parent is
// doing, and findings that arrive later are not handed on. Throws std::runtime_error, saying why
// ("" for no reason known), when no worker can be started.
Ending runWorker(const CheckJob& job, double timeLimit,
                 const std::function<void(const Finding&)>& onFinding);

// Ends the running worker at once, if there is one; safe in a signal handler.
void stopWorker();
