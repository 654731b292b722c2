#include "check/execution.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "stdout_capture.h"

namespace {

TEST(FitsAddressSpace, ShapesOfOrdinarySizeFit) {
  EXPECT_TRUE(fitsAddressSpace({1, 3, 224, 224}, 4));
  EXPECT_TRUE(fitsAddressSpace({}, 4));
  EXPECT_TRUE(fitsAddressSpace({1, 3, 2000000, 2000000}, 4));
}

TEST(FitsAddressSpace, AByteCountThatWrapsDoesNot) {
  // 5 * 5581 * 8681 * 49477 * 384773 * 4 bytes wraps to 4 in 64 bits.
  EXPECT_FALSE(fitsAddressSpace({5, 5581, 8681, 49477, 384773}, 4));
  EXPECT_FALSE(fitsAddressSpace({65536, 65536, 65536, 65536}, 1));
  const int big = std::numeric_limits<int>::max();
  EXPECT_FALSE(fitsAddressSpace({big, big, big}, 4));
  if (sizeof(size_t) == 8) {
    EXPECT_TRUE(fitsAddressSpace({big, big}, 4));
  }
}

TEST(FitsAddressSpace, ZeroAndNegativeDimensionsAreLeftToTheLibrary) {
  const int big = std::numeric_limits<int>::max();
  EXPECT_TRUE(fitsAddressSpace({big, big, big, 0}, 4));
  EXPECT_TRUE(fitsAddressSpace({big, big, big, -1}, 4));
}

TEST(ReportOutputs, ListsEachOutputWithItsShape) {
  const std::vector<cv::Mat> blobs = {cv::Mat(MatShape{1, 1000}, CV_32F),
                                      cv::Mat(MatShape{1, 4, 2, 2, 3}, CV_32F)};
  EXPECT_EQ(stdoutOf([&] {
              reportOutputs({"prob", "boxes"}, blobs);
            }),
            "Model outputs: 2\n"
            "Layer: 'prob' [1, 1000]\n"
            "Layer: 'boxes' [1, 4, 2, 2, 3]\n");
}

TEST(ReportOutputs, AnEmptyBlobIsFollowedByAnEmptyLine) {
  const std::vector<cv::Mat> blobs = {cv::Mat(), cv::Mat(MatShape{2, 0}, CV_32F),
                                      cv::Mat(MatShape{2, 3, 4}, CV_32F)};
  EXPECT_EQ(stdoutOf([&] {
              reportOutputs({"none", "zero", "last"}, blobs);
            }),
            "Model outputs: 3\n"
            "Layer: 'none' []\n"
            "\n"
            "Layer: 'zero' []\n"
            "\n"
            "Layer: 'last' [2, 3, 4]\n");
}

TEST(ReportExecutionFailure, TheWarningComesFirstWhenItApplies) {
  EXPECT_EQ(stdoutOf([] { reportExecutionFailure(true, "m.onnx"); }),
            "Warning: the user input shape does not match the model input shape.\n"
            "Executing 'm.onnx' failed\n");
  EXPECT_EQ(stdoutOf([] { reportExecutionFailure(false, "m.onnx"); }),
            "Executing 'm.onnx' failed\n");
}

TEST(WarnsShapeMismatch, OnlyWhenTheUserContradictsADeclaredShape) {
  EXPECT_TRUE(warnsShapeMismatch({1, 3, 320, 320}, {1, 3, 224, 224}, false));
  EXPECT_TRUE(warnsShapeMismatch({3, 224, 224}, {1, 3, 224, 224}, false));
  EXPECT_TRUE(warnsShapeMismatch({1, 3}, {}, false));
  EXPECT_FALSE(warnsShapeMismatch({1, 3, 224, 224}, {1, 3, 224, 224}, false));
  EXPECT_FALSE(warnsShapeMismatch({}, {1, 3, 224, 224}, false));
  EXPECT_FALSE(warnsShapeMismatch({1, 3, 320, 320}, {}, true));
}

}  // namespace
