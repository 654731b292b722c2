// Verasko-worker: the process that makes the library's calls for Verasko, which starts it.
#include <cstdio>

#include "check/worker/worker_program.h"

int main(int argc, char** argv) {
  if (isWorkerInvocation(argc, argv)) return runWorkerInvocation();
  std::fputs("Verasko-worker does the library's work for Verasko, which starts it; run Verasko.\n",
             stderr);
  return 2;
}
