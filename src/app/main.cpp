#include "app/run.h"

#ifdef _WIN32
#include "check/worker/worker_program.h"
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  // One program on Windows: it starts itself again as its worker.
  if (isWorkerInvocation(argc, argv)) return runWorkerInvocation();
#endif
  return runVerasko(argc, argv);
}
