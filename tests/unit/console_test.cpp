// An interruption in the middle of a coloured line leaves the terminal as it found it.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "report/console.h"

namespace {

TEST(InterruptDeathTest, AnInterruptedRedLineLeavesTheTerminalAsItWas) {
  const std::string file = ::testing::TempDir() + "verasko_interrupt.txt";
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGRTMIN}) {
    EXPECT_EXIT(
        {
          std::fflush(stdout);
          if (!std::freopen(file.c_str(), "wb", stdout)) std::abort();
          setConsoleColorsEnabled(true);
          resetColorOnInterrupt(nullptr);
          setConsoleColor(Red);
          std::cout << "half a li" << std::flush;
          raise(signal);
        },
        ::testing::KilledBySignal(signal), "");
    std::ifstream written(file, std::ios::binary);
    std::stringstream text;
    text << written.rdbuf();
    EXPECT_EQ(text.str(), "\x1b[31mhalf a li\x1b[0m") << signal;
  }
}

}  // namespace
#endif
