// The model check's routines on inputs that no generated model reaches: the library's log
// texts, declared input shapes, and failures of other kinds than the library's.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "check/diagnosis.h"
#include "check/execution.h"
#include "check/input_report.h"
#include "stdout_capture.h"

namespace {

using cv::dnn::MatShape;

TEST(LastLoggedNode, TakesTheLastBracketAndTheLastParenthesisOfTheWholeText) {
  EXPECT_EQ(lastLoggedNode("[ERROR:0@0.004] global onnx_importer.cpp (1018) handleNode DNN/ONNX: "
                           "ERROR during processing node with 1 inputs and 1 outputs: "
                           "[Foo]:(onnx_node!foo_7) from domain='ai.onnx'\n"),
            "[Foo]:(onnx_node!foo_7)");
  EXPECT_EQ(lastLoggedNode("a [One]:(x\nb) no bracket here\n"), "[One]:(x\nb)");
  EXPECT_EQ(lastLoggedNode("x [)"), "[)");
}

TEST(LastLoggedNode, NamesNothingWithoutAnAcceptablePair) {
  for (const char* text :
       {"", "no brackets", "only [ here", "only ) here", "x (a) then [b", "[Foo]:(bar)"}) {
    EXPECT_EQ(lastLoggedNode(text), "") << text;
  }
}

TEST(LoadFailureReason, CapturedTextDecidesAloneWhenThereIsAny) {
  EXPECT_EQ(loadFailureReason("log [Foo]:(bar)\n", "any"), "First unsupported node: [Foo]:(bar)");
  EXPECT_EQ(loadFailureReason("log", "Cannot determine an origin framework of files: a"), "");
}

TEST(LoadFailureReason, WithNothingCapturedTheDescriptionSpeaks) {
  EXPECT_EQ(loadFailureReason("", "Cannot determine an origin framework of files: a.ONNX"),
            "Unsupported format (not an onnx file)");
  EXPECT_EQ(loadFailureReason("", "cannot determine an origin framework"),
            "cannot determine an origin framework");
  EXPECT_EQ(loadFailureReason("", "> Cannot determine an origin framework"),
            "> Cannot determine an origin framework");
  EXPECT_EQ(loadFailureReason("", "two\nlines"), "two\nlines");
}

TEST(LoadFailureReason, FailuresOfOtherKindsAreNamedToo) {
  EXPECT_EQ(loadFailureReason("", std::make_exception_ptr(cv::Exception(-2, "bad", "f", "x", 1))),
            "bad");
  EXPECT_EQ(loadFailureReason("[a]:(b)", std::make_exception_ptr(std::bad_alloc())),
            std::bad_alloc().what());
  EXPECT_EQ(loadFailureReason("", std::make_exception_ptr(std::runtime_error("disk"))), "disk");
  EXPECT_EQ(loadFailureReason("", std::make_exception_ptr(42)),
            "The library failed with an unknown error.");
}

TEST(FailureReason, ShortageOfMemoryIsNamedWhereverItStrikes) {
  const cv::Exception wrapped(
      -2, "> Node [ConstantOfShape]:(y) parse error: (-4:Insufficient memory)", "f", "x", 1);
  EXPECT_EQ(failureReason(Failure::kLoad, "[a]:(b)", std::make_exception_ptr(wrapped))
                .rfind("The model needs more memory than ", 0),
            0u);
  EXPECT_EQ(failureReason(Failure::kExecution, "", std::make_exception_ptr(std::bad_alloc()))
                .rfind("The test needs more memory than ", 0),
            0u);
  EXPECT_EQ(failureReason(Failure::kExecution, "[a]:(b)",
                          std::make_exception_ptr(cv::Exception(-2, "bad", "f", "x", 1))),
            "");
}

struct Inspection {
  std::string text;
  std::optional<int> status;
};

Inspection inspect(const std::vector<MatShape>& modelInputShapes, const MatShape& userShape) {
  Inspection result;
  result.text =
      stdoutOf([&] { result.status = reportInputs(modelInputShapes, userShape, "m.onnx"); });
  return result;
}

TEST(ReportInputs, SeveralInputsAreListedWithoutTagsAndRejected) {
  const Inspection result = inspect({{1, 3, 224, 224}, {1, 10}, {}}, {1, 3, 320, 320});
  EXPECT_EQ(result.text,
            "Model inputs: 3\n [1, 3, 224, 224]\n [1, 10]\n []\n"
            "Not supported: Only models with a single input can be executed.\n");
  EXPECT_EQ(result.status, -1);
}

TEST(ReportInputs, ADeclaredShapeIsShownWithItsTagAndTheExecutionFollows) {
  EXPECT_EQ(inspect({{1, 3, 224, 224}}, {1, 3, 320, 320}).text,
            "Model input shape: [1, 3, 224, 224], LMTR_DL_4D_NCHW\n"
            "User input shape:  [1, 3, 320, 320], LMTR_DL_4D_NCHW\n");
  const Inspection result = inspect({{}}, {});
  EXPECT_EQ(result.text, "Model input shape: []\n");
  EXPECT_EQ(result.status, std::nullopt);
}

TEST(ExecutionFailure, WarnsOnlyWhenTheUserContradictsADeclaredShape) {
  EXPECT_EQ(executionFailure({1, 3, 320, 320}, {1, 3, 224, 224}, false),
            Failure::kExecutionAfterShapeMismatch);
  EXPECT_EQ(executionFailure({1, 3}, {}, false), Failure::kExecutionAfterShapeMismatch);
  EXPECT_EQ(executionFailure({1, 3, 224, 224}, {1, 3, 224, 224}, false), Failure::kExecution);
  EXPECT_EQ(executionFailure({}, {1, 3, 224, 224}, false), Failure::kExecution);
  EXPECT_EQ(executionFailure({1, 3, 320, 320}, {}, true), Failure::kExecution);
}

TEST(ReportOutputs, AnEmptyBlobIsFollowedByAnEmptyLine) {
  const std::vector<cv::Mat> blobs = {cv::Mat(), cv::Mat(MatShape{2, 3, 4, 5, 6}, CV_32F)};
  EXPECT_EQ(stdoutOf([&] {
              reportOutputs({"none", "last"}, blobs);
            }),
            "Model outputs: 2\nLayer: 'none' []\n\nLayer: 'last' [2, 3, 4, 5, 6]\n");
}

TEST(FitsAddressSpace, ByteCountsThatWrapDoNot) {
  EXPECT_TRUE(fitsAddressSpace({1, 3, 2000, 2000}, 4));
  EXPECT_EQ(fitsAddressSpace({1, 3, 2000000, 2000000}, 4), sizeof(size_t) == 8);
  EXPECT_FALSE(fitsAddressSpace({65536, 65536, 65536, 65536}, 1));
  EXPECT_FALSE(fitsAddressSpace({5, 5581, 8681, 49477, 384773}, 4));  // wraps to 4 in 64 bits
  EXPECT_TRUE(fitsAddressSpace({65536, 65536, 65536, 65536, 0}, 4));
  EXPECT_TRUE(fitsAddressSpace({65536, 65536, 65536, 65536, -1}, 4));
}

}  // namespace
