#include "check/input_report.h"

#include <gtest/gtest.h>

#include "stdout_capture.h"

namespace {

struct Report {
  std::string text;
  std::optional<int> status;
};

Report inspect(const std::vector<MatShape>& modelInputShapes, const MatShape& userShape) {
  Report report;
  report.text =
      stdoutOf([&] { report.status = reportInputs(modelInputShapes, userShape, "m.onnx"); });
  return report;
}

TEST(ReportInputs, SeveralInputsAreListedAndRejected) {
  const Report report = inspect({{1, 3, 224, 224}, {1, 10}, {}}, {1, 3, 320, 320});
  EXPECT_EQ(report.text,
            "Model inputs: 3\n"
            " [1, 3, 224, 224]\n"
            " [1, 10]\n"
            " []\n"
            "Not supported: Only models with a single input can be executed.\n");
  EXPECT_EQ(report.status, -1);
}

TEST(ReportInputs, OneDeclaredShapeIsShownWithItsTagAndTheExecutionFollows) {
  const Report report = inspect({{1, 3, 224, 224}}, {});
  EXPECT_EQ(report.text, "Model input shape: [1, 3, 224, 224], LMTR_DL_4D_NCHW\n");
  EXPECT_EQ(report.status, std::nullopt);
}

TEST(ReportInputs, TheUsersShapeFollowsOnItsOwnLine) {
  const Report report = inspect({{1, 3, 224, 224}}, {1, 3, 320, 320});
  EXPECT_EQ(report.text,
            "Model input shape: [1, 3, 224, 224], LMTR_DL_4D_NCHW\n"
            "User input shape:  [1, 3, 320, 320], LMTR_DL_4D_NCHW\n");
  EXPECT_EQ(report.status, std::nullopt);
}

TEST(ReportInputs, TwoDimensionalAndEmptyDeclaredShapesHaveNoTag) {
  EXPECT_EQ(inspect({{1, 16}}, {}).text, "Model input shape: [1, 16]\n");
  const Report report = inspect({{}}, {});
  EXPECT_EQ(report.text, "Model input shape: []\n");
  EXPECT_EQ(report.status, std::nullopt);
}

TEST(ReportInputs, NoKnownShapeWithoutAUserShapeEndsWithTheHint) {
  const Report report = inspect({}, {});
  EXPECT_EQ(report.text,
            "Model input shape: dynamic\n"
            "To test the execution, please provide the optional [ModelInputshape] (e.g. "
            "Verasko.exe m.onnx 1 3 224 224).\n");
  EXPECT_EQ(report.status, 0);
}

TEST(ReportInputs, NoKnownShapeWithAUserShapeGoesOn) {
  const Report report = inspect({}, {1, 2, 3, 4, 5});
  EXPECT_EQ(report.text,
            "Model input shape: dynamic\n"
            "User input shape:  [1, 2, 3, 4, 5]\n");
  EXPECT_EQ(report.status, std::nullopt);
}

}  // namespace
