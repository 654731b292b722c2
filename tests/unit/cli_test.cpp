// The options that the command line gives, taken out wherever they stand.
#include <gtest/gtest.h>

#include "cli/arguments.h"

namespace {

TEST(TakeTolerance, TwoFiniteDecimalsOfZeroOrMore) {
  std::string texts[] = {"Verasko", "--tolerance", "1e-5,0.5e+0", "m.onnx", "--data", "d"};
  std::vector<char*> arguments;
  for (std::string& text : texts) arguments.push_back(&text[0]);
  ToleranceOption tolerance;
  std::string folder;
  EXPECT_FALSE(takeTolerance(arguments, tolerance) || takeDataFolder(arguments, folder));
  EXPECT_EQ(arguments.size(), 2u);
  EXPECT_EQ(tolerance.values.relative, 1e-5);
  EXPECT_EQ(tolerance.values.absolute, 0.5);
  EXPECT_EQ(folder, "d");
  for (std::string value : {"1e-3", "-1,2", "1,,2", "1e,2", "1e999,0", "inf,0", "1,2,3", " 1,2"}) {
    std::vector<char*> given = {&texts[0][0], &texts[1][0], &value[0]};
    EXPECT_TRUE(takeTolerance(given, tolerance)) << value;
  }
  std::vector<char*> bare = {&texts[0][0], &texts[4][0]};
  EXPECT_TRUE(takeDataFolder(bare, folder));
}

}  // namespace
