#include "cli/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

MatShape parse(std::vector<std::string> shapeArguments) {
  std::vector<std::string> arguments = {"Verasko", "model.onnx"};
  arguments.insert(arguments.end(), shapeArguments.begin(), shapeArguments.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  return parseUserShape(static_cast<int>(argv.size()), argv.data());
}

TEST(ParseUserShape, OneDimensionPerArgumentInOrder) {
  EXPECT_EQ(parse({"1", "3", "224", "224"}), MatShape({1, 3, 224, 224}));
  EXPECT_EQ(parse({}), MatShape());
}

TEST(ParseUserShape, ReadingStopsAtTheFirstCharacterThatEndsTheNumber) {
  EXPECT_EQ(parse({"1,3,224,224"}), MatShape({1}));
  EXPECT_EQ(parse({"1,", "3,", "224,", "224"}), MatShape({1, 3, 224, 224}));
  EXPECT_EQ(parse({"7abc", "2.5", "0x10"}), MatShape({7, 2, 0}));
}

TEST(ParseUserShape, ArgumentsWithoutANumberAddNothing) {
  EXPECT_EQ(parse({"abc", "", "   ", "-v", "+", "-"}), MatShape());
  EXPECT_EQ(parse({"1", "x", "224"}), MatShape({1, 224}));
}

TEST(ParseUserShape, SignsAndWhiteSpaceAreRead) {
  EXPECT_EQ(parse({"-1", "0", "+7", "  12"}), MatShape({-1, 0, 7, 12}));
}

TEST(ParseUserShape, NumbersOutsideTheSigned32BitRangeAddNothing) {
  EXPECT_EQ(parse({"2147483647", "-2147483648"}), MatShape({2147483647, -2147483647 - 1}));
  EXPECT_EQ(parse({"2147483648", "-2147483649", "99999999999999999999", "5"}), MatShape({5}));
}

TEST(HasOnnxExtension, AcceptsOnnxInAnyLetterCase) {
  for (const char* path :
       {"net.onnx", "NET.ONNX", "net.oNnX", ".onnx", "C:\\models\\net.Onnx", "dir.v2/net.onnx"}) {
    EXPECT_TRUE(hasOnnxExtension(path)) << path;
  }
}

TEST(HasOnnxExtension, RefusesEveryOtherEnding) {
  for (const char* path :
       {"net.onnx.bak", "model.", "model", "models.old/net", "net.onnx5", "net.onn", "", ".",
        "onnx", "net.on\xC3\xB6x", "conv.\xC3\xB6nx", "n.\xFF\xFF\xFF\xFF"}) {
    EXPECT_FALSE(hasOnnxExtension(path)) << path;
  }
}

}  // namespace
