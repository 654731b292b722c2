// One run of the checker, from the command line to the exit status (0, or -1 for a failure).
#pragma once

int runVerasko(int argc, char** argv);
