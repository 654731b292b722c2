// The model check's routines on inputs that no generated model reaches: the library's log
// texts, declared input shapes, failures of other kinds than the library's, and explanations
// that a worker cut short before they began.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>

#include "check/diagnosis.h"
#include "check/explanation.h"
#include "check/library_log.h"
#include "check/memory_budget.h"
#include "check/model_check.h"
#include "check/protocol.h"
#include "report/json_reporter.h"
#include "report/text.h"
#include "report/text_reporter.h"

namespace {

using cv::dnn::MatShape;

// What the text report writes of the events, the model being m.onnx.
std::string textOf(const std::vector<Event>& events) {
  std::ostringstream text;
  TextReporter reporter(text, false);
  reporter.report(RunStarted{true, "m.onnx", "m.onnx", {}});
  for (const Event& event : events) reporter.report(event);
  return text.str();
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
  return failureReason(Stage::kLoad, loadFailureCause(captured, failure), {}, 0);
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
  // What failed inside a node comes wrapped in the importer's words.
  EXPECT_EQ(loadReason("", libraryError("Node [Constant]:(c) parse error: std::bad_alloc")),
            "The model needs more memory than is available.");
}

TEST(VisibleText, C1ControlsAreEscapedAndTheRestOfUtf8Stays) {
  EXPECT_EQ(visibleText("\xc2\x9f\xc2\xa0\x80\xff\x7f"), "\\u009f\xc2\xa0\\x80\xff\\x7f");
  EXPECT_EQ(visibleText("a\xc4\x80"), "a\xc4\x80");  // a sequence that ends the text
}

TEST(InputReport, SeveralInputsAreListedWithoutTagsAndRejected) {
  EXPECT_EQ(textOf({CheckStarted{{1, 3, 320, 320}, 0},
                    InputReport{{{1, 3, 224, 224}, {1, 10}, {}}, InputsNext::kSeveralInputs}}),
            "Model inputs: 3\n [1, 3, 224, 224]\n [1, 10]\n []\n"
            "Not supported: Only models with a single input can be executed.\n");
}

TEST(InputReport, ADeclaredShapeIsShownWithItsTagAndTheUsersFollows) {
  EXPECT_EQ(textOf({CheckStarted{{1, 3, 320, 320}, 0},
                    InputReport{{{1, 3, 224, 224}}, InputsNext::kExecution}}),
            "Model input shape: [1, 3, 224, 224], LMTR_DL_4D_NCHW\n"
            "User input shape:  [1, 3, 320, 320], LMTR_DL_4D_NCHW\n");
  EXPECT_EQ(textOf({InputReport{{{}}, InputsNext::kExecution}}), "Model input shape: []\n");
}

TEST(ExecutionStage, WarnsOnlyWhenTheUserContradictsADeclaredShape) {
  EXPECT_EQ(executionStage({1, 3, 320, 320}, {{1, 3, 224, 224}}),
            Stage::kExecutionAfterShapeMismatch);
  EXPECT_EQ(executionStage({1, 3}, {{}}), Stage::kExecutionAfterShapeMismatch);
  EXPECT_EQ(executionStage({1, 3, 224, 224}, {{1, 3, 224, 224}}), Stage::kExecution);
  EXPECT_EQ(executionStage({}, {{1, 3, 224, 224}}), Stage::kExecution);
  EXPECT_EQ(executionStage({1, 3, 320, 320}, {}), Stage::kExecution);
}

TEST(OutputReport, AnEmptyBlobIsFollowedByAnEmptyLine) {
  EXPECT_EQ(textOf({Outputs{{{"none", {}, {}}, {"last", {2, 3, 4, 5, 6}, {}}}}}),
            "Model outputs: 2\nLayer: 'none' []\n\nLayer: 'last' [2, 3, 4, 5, 6]\n");
}

// The worker holds some memory already when its limit is set: the budget comes on top of it.
TEST(MemoryBudget, TheAddressSpaceLimitLeavesTheBudgetBesideWhatIsHeld) {
  EXPECT_EQ(addressSpaceLimit(300, 1000, UINT64_MAX), 1300u);
  EXPECT_EQ(addressSpaceLimit(300, 1000, 1300), 0u);  // the caller's limit is as low
  EXPECT_EQ(addressSpaceLimit(300, 1000, 5000), 1300u);
  EXPECT_EQ(addressSpaceLimit(0, 1000, UINT64_MAX), 0u);  // nothing known of what is held
  EXPECT_EQ(addressSpaceLimit(300, 0, UINT64_MAX), 0u);
  EXPECT_EQ(addressSpaceLimit(UINT64_MAX - 5, 1000, UINT64_MAX), 0u);
  EXPECT_EQ(roomUnder(5000, 300), 4700u);
  EXPECT_EQ(roomUnder(100, 300), 1u);  // nothing left is still a budget, not none
}

// The worker ended before its diagnostics pass, or before an explanation without a list.
TEST(Explanation, AWorkerThatEndsBeforeItExplainsLeavesOnlyWhy) {
  for (const bool listed : {true, false}) {
    Explanation explanation;
    if (listed) noteExplanation(DiagnosticsBegin{}, explanation);
    noteExplanation(GraphNode{"onnx_node!a", "Relu", "ai.onnx", 1, 1, {}}, explanation);
    finishExplanation(explanation, Ending{WorkerEnd::kCrash, "SIGSEGV"});
    EXPECT_EQ(
        explanationLines(explanation, {}),
        (std::vector<std::string>{"", std::string(listed ? "The list" : "The explanation") +
                                          " is incomplete: the library crashed with SIGSEGV."}));
  }
}

// A layer that the library made of a node, named after it with a suffix, or one of its own; a
// node that says it reads its own output reads nothing.
TEST(Explanation, AStoppingLayerNamesTheGraphNodeItStandsFor) {
  for (const bool own : {false, true}) {
    Explanation explanation;
    noteExplanation(GraphNode{"onnx_node!blk/flat", "Flatten", "ai.onnx", 1, 1, {0}}, explanation);
    noteExplanation(GraphEnd{""}, explanation);
    noteExplanation(
        StoppingLayer{own ? "[Reshape]:(own)" : "[Reshape]:(onnx_node!blk/flat/reshape)", {}, ""},
        explanation);
    finishExplanation(explanation, std::nullopt);
    EXPECT_TRUE(explanation.nodes.at(0).feeders.empty());
    EXPECT_EQ(explanationLines(explanation, {}).at(2),
              own ? "Graph node: none, a layer of the library's own"
                  : "Graph node: [Flatten]:(onnx_node!blk/flat)");
    std::ostringstream document;
    JsonReporter reporter(document);
    reporter.report(Explained{explanation});
    reporter.finish(-1);
    EXPECT_EQ(document.str().find("\"graphNodeType\"") == std::string::npos, own);
  }
}

// A node that the graph does not have is told by what the library logged of it.
TEST(DiagnosticsLog, ANodeOutsideTheGraphIsReadFromItsHeader) {
  const GraphNodes none;
  DiagnosticsLog log(none, "", "");
  const std::string prefix = "[ INFO:0@0.1] global onnx_importer.cpp:10 ";
  const std::string header = "1 inputs and 1 outputs: [FooBar]:(onnx_node!x) from domain='ai.onnx'";
  EXPECT_FALSE(log.take(prefix + "populateNet DNN/ONNX: start diagnostic run!\n"));
  EXPECT_FALSE(log.take(prefix + "handleNode DNN/ONNX: processing node with " + header + "\n"));
  const std::optional<NodeRejection> rejection =
      log.take(prefix + "handleNode DNN/ONNX: Potential problem during processing node with " +
               header + "\nerror: (-5:Bad argument) no such layer in function 'f'\n");
  ASSERT_TRUE(rejection);
  EXPECT_EQ(rejection->node, kUnknownNode);
  EXPECT_EQ(
      rejection->type + " " + rejection->name + " " + rejection->domain + ": " + rejection->words,
      "FooBar onnx_node!x ai.onnx: no such layer");
}

}  // namespace

// Frames arrive in pieces that end anywhere, a large one among small ones: the reader hands each
// on whole, in order, however often its buffer is compacted under a half-read frame; a frame that
// does not decode as its kind is passed over.
TEST(FrameReader, PiecesThatEndAnywhereGiveTheFindingsAsSent) {
  std::vector<Finding> sent;
  for (int i = 0; i < 50; ++i)
    sent.push_back(Outputs{{{std::to_string(i), {i, -1}, {0.5f, -2}}, {"x", {}, {}}}});
  sent.push_back(GraphNode{std::string(5000, 'n'), std::string(3, '\0'), "d", 2, 3, {0, 7}});
  sent.push_back(NodeRejection{kUnknownNode, "T", "n", "d", "w\nv", true});
  sent.push_back(CheckFailure{Cause::kMemory, ""});
  std::string stream;
  for (const Finding& finding : sent) stream += encodeFinding(finding);
  std::string bad = encodeFinding(CheckFailure{Cause::kNode, "x"});
  bad[5] = 9;  // no such cause
  stream += bad + encodeFinding(Loaded{});
  sent.push_back(Loaded{});
  FrameReader reader;
  std::vector<std::string> taken;
  for (size_t at = 0; at < stream.size(); at += 7) {
    reader.append(stream.data() + at, std::min<size_t>(7, stream.size() - at));
    for (std::optional<Finding> finding; reader.take(finding);) {
      if (finding) taken.push_back(encodeFinding(*finding));
    }
  }
  std::vector<std::string> expected;
  for (const Finding& finding : sent) expected.push_back(encodeFinding(finding));
  EXPECT_EQ(taken, expected);
  std::optional<CheckJob> job;
  const std::string request = encodeJob({"m\n.onnx", {1, -3}, true, {"a", "b"}, {"", "x"}});
  reader.append(request.data(), request.size());
  ASSERT_TRUE(reader.take(job) && job);
  EXPECT_EQ(encodeJob(*job), request);
}
