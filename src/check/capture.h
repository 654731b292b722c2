// The capture window: while it is open, whatever the library prints through std::cout and
// std::cerr lands in two in-memory streams instead of on the console.
#pragma once

#include <iostream>

void openCapture(std::ostream& outCapture, std::ostream& errCapture);

// Points std::cout, then std::cerr, back at the buffers they had before the first window opened.
// Closing a closed window changes nothing.
void closeCapture(std::streambuf* savedOut, std::streambuf* savedErr);
