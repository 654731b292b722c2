#include "check/capture.h"

void openCapture(std::ostream& outCapture, std::ostream& errCapture) {
  std::cout.rdbuf(outCapture.rdbuf());
  std::cerr.rdbuf(errCapture.rdbuf());
}

void closeCapture(std::streambuf* savedOut, std::streambuf* savedErr) {
  std::cout.rdbuf(savedOut);
  std::cerr.rdbuf(savedErr);
}
