#include "app/run.h"

int main(int argc, char** argv) {
  return runVerasko(argc, argv);
}
