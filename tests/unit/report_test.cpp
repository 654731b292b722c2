// The text and JSON reports of events that no generated model leads to: several declared inputs,
// an empty output, a fused layer's time, and explanations that a worker cut short or whose layer is
// no graph node.
#include <gtest/gtest.h>

#include <sstream>

#include "report/json_reporter.h"
#include "report/text_reporter.h"

namespace {

// What the text report writes of the events, the model being m.onnx.
std::string textOf(const std::vector<Event>& events) {
  std::ostringstream text;
  TextReporter reporter(text, false);
  reporter.report(RunStarted{true, "m.onnx", "m.onnx", {}});
  for (const Event& event : events) reporter.report(event);
  return text.str();
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

TEST(OutputReport, AnEmptyBlobIsFollowedByAnEmptyLine) {
  EXPECT_EQ(textOf({Outputs{{{"none", {}, {}}, {"last", {2, 3, 4, 5, 6}, {}}}}}),
            "Model outputs: 2\nLayer: 'none' []\n\nLayer: 'last' [2, 3, 4, 5, 6]\n");
}

// A layer takes its share of the median pass; one fused into another, with no time, is not listed.
TEST(BenchmarkReport, FusedLayersAreNotAmongTheSlowest) {
  Benchmark measured{{2, 2}, 1, 1, {{"conv", "Convolution", 1}, {"fused", "ReLU", 0}}, 1, 1, 1, 1};
  const std::string text = textOf({Benchmarked{measured}});
  EXPECT_NE(text.find("'conv' (Convolution): 1.000 ms, 50.0%"), std::string::npos);
  EXPECT_EQ(text.find("'fused'"), std::string::npos);
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

}  // namespace
