// The worker's own process, Verasko-worker. The parent starts it with the worker argument and
// its own identity, sends the job on its standard input and reads the findings from its
// standard output; the worker's descriptors 1 and 2 go to the null device while the library
// works.
#pragma once

// True when the command line is a worker's: the argument, the parent's identity (its process
// number, or on Windows an inherited handle of it), and a job's pipe on standard input.
bool isWorkerInvocation(int argc, char** argv);

// Runs the job that the parent sends and answers the worker's exit status; the worker ends with
// its parent, whatever it is doing then.
int runWorkerInvocation();
