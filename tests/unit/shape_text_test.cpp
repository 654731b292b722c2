#include "report/shape_text.h"

#include <gtest/gtest.h>

#include "stdout_capture.h"

namespace {

std::string shapeText(const MatShape& shape) {
  return stdoutOf([&] { printShape(shape); });
}

std::string layoutTag(const MatShape& shape) {
  return stdoutOf([&] { printLayoutTag(shape); });
}

TEST(PrintShape, ListsTheDimensionsInBrackets) {
  EXPECT_EQ(shapeText({1, 3, 224, 224}), "[1, 3, 224, 224]");
  EXPECT_EQ(shapeText({7}), "[7]");
  EXPECT_EQ(shapeText({}), "[]");
  EXPECT_EQ(shapeText({-1, 3, 0, -2147483647 - 1}), "[-1, 3, 0, -2147483648]");
}

TEST(PrintLayoutTag, ChannelsFirstWhenTheChannelsAreFewerThanTheWidth) {
  EXPECT_EQ(layoutTag({1, 3, 224, 224}), ", LMTR_DL_4D_NCHW");
  EXPECT_EQ(layoutTag({1, 224, 224, 3}), ", LMTR_DL_4D_NHWC");
  EXPECT_EQ(layoutTag({3, 224, 224}), ", LMTR_DL_3D_CHW");
  EXPECT_EQ(layoutTag({224, 224, 3}), ", LMTR_DL_3D_HWC");
}

TEST(PrintLayoutTag, TiesAreChannelsLast) {
  EXPECT_EQ(layoutTag({3, 5, 3}), ", LMTR_DL_3D_HWC");
  EXPECT_EQ(layoutTag({1, 8, 8, 8}), ", LMTR_DL_4D_NHWC");
}

TEST(PrintLayoutTag, ComparesSignedAndIgnoresTheOtherDimensions) {
  EXPECT_EQ(layoutTag({1, 3, -1, -1}), ", LMTR_DL_4D_NHWC");
  EXPECT_EQ(layoutTag({1, -1, 224, 224}), ", LMTR_DL_4D_NCHW");
  EXPECT_EQ(layoutTag({-5, 1000, 2, -9}), ", LMTR_DL_4D_NHWC");
  EXPECT_EQ(layoutTag({2, -100, 3}), ", LMTR_DL_3D_CHW");
}

TEST(PrintLayoutTag, OtherRanksHaveNoTag) {
  for (const MatShape& shape :
       {MatShape{}, MatShape{5}, MatShape{1, 3}, MatShape{1, 3, 8, 224, 224}}) {
    EXPECT_EQ(layoutTag(shape), "");
  }
}

}  // namespace
