// The model check's routines on inputs that no generated model reaches: the library's log
// texts, declared input shapes, failures of other kinds than the library's, and explanations
// that a worker cut short before they began.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>

#include "check/channel.h"
#include "check/diagnosis.h"
#include "check/execution.h"
#include "check/explanation.h"
#include "check/input_report.h"
#include "check/worker.h"
#include "report/text.h"

namespace {

using cv::dnn::MatShape;

// What `code` writes to std::cout.
template <typename Code>
std::string stdoutOf(Code code) {
  std::ostringstream captured;
  std::streambuf* const saved = std::cout.rdbuf(captured.rdbuf());
  code();
  std::cout.rdbuf(saved);
  return captured.str();
}

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

std::string loadReason(const std::string& captured, std::exception_ptr failure) {
  return failureReason(Failure::kLoad, loadFailureCause(captured, failure));
}

std::exception_ptr libraryError(const std::string& description) {
  return std::make_exception_ptr(cv::Exception(-2, description, "f", "x", 1));
}

TEST(LoadFailureReason, CapturedTextDecidesAloneWhenThereIsAnyAndOtherFailuresSpeakToo) {
  EXPECT_EQ(loadReason("log", libraryError("Cannot determine an origin framework of files: a")),
            "");
  EXPECT_EQ(loadReason("", std::make_exception_ptr(std::runtime_error("disk"))), "disk");
  EXPECT_EQ(loadReason("", std::make_exception_ptr(42)),
            "The library failed with an unknown error.");
}

TEST(VisibleText, C1ControlsAreEscapedAndTheRestOfUtf8Stays) {
  EXPECT_EQ(visibleText("\xc2\x9f\xc2\xa0\x80\xff\x7f"), "\\u009f\xc2\xa0\\x80\xff\\x7f");
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
  EXPECT_EQ(stdoutOf([&] {
              reportOutputs({"none", "", "last", shapeField({2, 3, 4, 5, 6})});
            }),
            "Model outputs: 2\nLayer: 'none' []\n\nLayer: 'last' [2, 3, 4, 5, 6]\n");
}

// The worker ended before its diagnostics pass, or before an explanation without a list.
TEST(Explanation, AWorkerThatEndsBeforeItExplainsLeavesOnlyWhy) {
  for (const char kind : {'D', 'W'}) {
    nlohmann::json explanation = nlohmann::json::object();
    ExplanationGraph graph;
    if (kind == 'D') noteExplanation({'D', {}}, explanation, graph);
    noteExplanation({'N', {"onnx_node!a", "Relu", "ai.onnx", ""}}, explanation, graph);
    finishExplanation(explanation, graph, "the library crashed with SIGSEGV.");
    EXPECT_EQ(
        explanationLines(explanation),
        (std::vector<std::string>{"", std::string(kind == 'D' ? "The list" : "The explanation") +
                                          " is incomplete: the library crashed with SIGSEGV."}));
  }
}

}  // namespace

// Records arrive in pieces that end anywhere, a large one among small ones: the reader hands each
// on whole, in order, however often its buffer is compacted under a half-read record.
TEST(RecordReader, PiecesThatEndAnywhereGiveTheRecordsAsSent) {
  std::vector<Record> sent;
  for (int i = 0; i < 50; ++i) sent.push_back({'O', {std::to_string(i), "", "x"}});
  sent.push_back({'G', {std::string(5000, 'n'), std::string(3, '\0')}});
  sent.push_back({'L', {}});
  std::string stream;
  for (const Record& record : sent) stream += encodeRecord(record);
  RecordReader reader;
  std::vector<Record> taken;
  for (size_t at = 0; at < stream.size(); at += 7) {
    reader.append(stream.data() + at, std::min<size_t>(7, stream.size() - at));
    for (Record record; reader.take(record);) taken.push_back(record);
  }
  EXPECT_EQ(taken, sent);
}
