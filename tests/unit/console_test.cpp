// The console's colours as the terminal sees them: an interruption in the middle of a coloured
// line leaves the terminal as it found it; the Windows program sets a console's text attributes
// and code page (under Wine in the cross build).
#include <gtest/gtest.h>

#include <cstdlib>

#include "report/console.h"

#ifdef _WIN32
#include <windows.h>

namespace {

WORD attributesOf(HANDLE console) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  GetConsoleScreenBufferInfo(console, &info);
  return info.wAttributes;
}

// Whether standard output is a console. The tests that need one run once more on a terminal,
// through Wine's console, with VERASKO_ON_CONSOLE set; there its absence is a failure.
bool onConsole() {
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) return true;
  EXPECT_EQ(std::getenv("VERASKO_ON_CONSOLE"), nullptr) << "standard output is no console";
  return false;
}

// The console's own colours stay: yellow on blue (as after "color 1E") keeps its background
// under the red and green text and comes back after it.
TEST(ConsoleColors, AConsoleGetsTheTextAttributes) {
  if (!onConsole()) GTEST_SKIP() << "standard output is no console";
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  const WORD before = attributesOf(console);
  const WORD yellowOnBlue = 0x1E;
  SetConsoleTextAttribute(console, yellowOnBlue);
  _putenv("NO_COLOR=");
  _putenv("TERM=");
  decideConsoleColors();
  setConsoleColor(Red);
  EXPECT_EQ(attributesOf(console), BACKGROUND_BLUE | FOREGROUND_RED);
  printColoredLines(Green, {});
  EXPECT_EQ(attributesOf(console), yellowOnBlue);
  setConsoleColor(Green);
  EXPECT_EQ(attributesOf(console), BACKGROUND_BLUE | FOREGROUND_GREEN);
  setConsoleColor(Default);
  EXPECT_EQ(attributesOf(console), yellowOnBlue);

  // Red on dark red would not be read: the text takes the bright red.
  SetConsoleTextAttribute(console, 0x4F);
  decideConsoleColors();
  setConsoleColor(Red);
  EXPECT_EQ(attributesOf(console), BACKGROUND_RED | FOREGROUND_RED | FOREGROUND_INTENSITY);
  setConsoleColor(Default);
  EXPECT_EQ(attributesOf(console), 0x4F);

  _putenv("NO_COLOR=1");
  decideConsoleColors();
  setConsoleColor(Red);
  EXPECT_EQ(attributesOf(console), 0x4F);
  _putenv("NO_COLOR=");
  SetConsoleTextAttribute(console, before);
}

// The names are written in UTF-8: the console shows them so for the run (its own code page comes
// back when the process ends).
TEST(ConsoleColors, AConsoleWritesUtf8ForTheRun) {
  if (!onConsole()) GTEST_SKIP() << "standard output is no console";
  const UINT before = GetConsoleOutputCP();
  ASSERT_TRUE(SetConsoleOutputCP(850));
  useUtf8Console();
  EXPECT_EQ(GetConsoleOutputCP(), static_cast<UINT>(CP_UTF8));
  SetConsoleOutputCP(before);
}

TEST(ConsoleColors, APipeGetsNone) {
  if (std::getenv("VERASKO_ON_CONSOLE") != nullptr) GTEST_SKIP();
  decideConsoleColors();
  const UINT codePage = GetConsoleOutputCP();
  useUtf8Console();
  EXPECT_EQ(GetConsoleOutputCP(), codePage);
}

}  // namespace
#else
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

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
