// The worker's routines on inputs that no generated model reaches: the library's log texts and
// failures of other kinds than the library's, the memory budget's arithmetic, the frames of the
// pipe, and the timed passes' statistics.
#include <gtest/gtest.h>

#include <stdexcept>

#include "check/worker/benchmark.h"
#include "check/worker/diagnosis.h"
#include "check/worker/library_log.h"
#include "check/worker/memory_budget.h"
#include "check/worker/protocol.h"

namespace {

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

std::pair<Cause, std::string> loadCause(const std::string& captured, std::exception_ptr failure) {
  const CheckFailure cause = loadFailureCause(captured, failure);
  return {cause.cause, cause.text};
}

std::exception_ptr libraryError(const std::string& description) {
  return std::make_exception_ptr(cv::Exception(-2, description, "f", "x", 1));
}

TEST(LoadFailureCause, CapturedTextDecidesAloneWhenThereIsAnyAndOtherFailuresSpeakToo) {
  using Answer = std::pair<Cause, std::string>;
  EXPECT_EQ(loadCause("log", libraryError("Cannot determine an origin framework of files: a")),
            Answer(Cause::kNoNode, ""));
  EXPECT_EQ(loadCause("", std::make_exception_ptr(std::runtime_error("disk"))),
            Answer(Cause::kMessage, "disk"));
  EXPECT_EQ(loadCause("", std::make_exception_ptr(42)), Answer(Cause::kUnknown, ""));
  // What failed inside a node comes wrapped in the importer's words.
  EXPECT_EQ(loadCause("", libraryError("Node [Constant]:(c) parse error: std::bad_alloc")),
            Answer(Cause::kMemory, ""));
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
  sent.push_back(Benchmark{{1.5, 0.25}, 3, 2, {{"l", "Conv", 0.5}}, 1e10, 4, 5, 6});
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
  const std::string request =
      encodeJob({"m\n.onnx", {1, -3}, true, {"a", "b"}, {"", "x"}, {16, 0}, 7});
  reader.append(request.data(), request.size());
  ASSERT_TRUE(reader.take(job) && job);
  EXPECT_EQ(encodeJob(*job), request);
}

// The median is a pass of its own (the faster of two middle ones), the 90th percentile the nearest
// rank; layers and types are ordered by time, ties in the network's order.
TEST(PassStatistics, MedianAndPercentileAreRanksOfThePasses) {
  const PassStatistics odd = passStatistics({5, 1, 4, 2, 3});
  EXPECT_EQ(std::vector<double>({odd.minimum, odd.median, odd.percentile90, odd.maximum}),
            std::vector<double>({1, 3, 5, 5}));
  const PassStatistics even = passStatistics({10, 9, 8, 7, 6, 5, 4, 3, 2, 1});
  EXPECT_EQ(std::vector<double>({even.median, even.percentile90}), std::vector<double>({5, 9}));
  EXPECT_EQ(passStatistics({}).maximum, 0);
  const std::vector<LayerTime> layers = {
      {"a", "Conv", 1}, {"b", "Relu", 0}, {"c", "Conv", 2}, {"d", "Pool", 1}, {"e", "Relu", 3}};
  std::string order;
  for (const LayerTime& layer : slowestLayers(layers, 3)) order += layer.name;
  for (const LayerTime& type : timeByType(layers)) {
    order += " " + type.type + std::to_string(static_cast<int>(type.milliseconds));
  }
  EXPECT_EQ(order, "eca Conv3 Relu3 Pool1");
}
