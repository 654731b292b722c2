#include "app/run.h"

#include <filesystem>
#include <iostream>

#include "check/model_check.h"
#include "cli/arguments.h"
#include "report/console.h"

int runVerasko(int argc, char** argv) {
  decideConsoleColors();
  std::cout << "\n";
  try {
    if (!checkArguments(argc, argv)) return 0;
  } catch (const std::filesystem::filesystem_error& error) {
    reportUncheckablePath(argv[1], error);
    return -1;
  }
  return checkModel(argv[1], fileNameOf(argv[1]), parseUserShape(argc, argv));
}
