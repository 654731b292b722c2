// The parent's own routines: the comparison of outputs, the classification of rejected nodes and
// the stage of a failed execution.
#include <gtest/gtest.h>

#include <cmath>

#include "check/comparison.h"
#include "check/explanation.h"
#include "check/model_check.h"

namespace {

TEST(CompareTensors, AllcloseScalesByTheExpectedValue) {
  const Comparison scaled = compareTensors({2}, {1000, 1}, {2}, {1000.5f, 2}, {0.5, 0});
  EXPECT_EQ(scaled.beyond, 1u);
  EXPECT_EQ(scaled.worstIndex, 1u);
  EXPECT_EQ(scaled.largestRelative, 1);
  EXPECT_FALSE(scaled.matched);
  const Comparison close = compareTensors({3, 1}, {0, 2, -1}, {3}, {1e-4f, 2.001f, -1}, {});
  EXPECT_EQ(close.shapes, ShapeMatch::kUnitDimensions);
  EXPECT_TRUE(close.matched);
  EXPECT_EQ(close.worstIndex, 1u);
  EXPECT_TRUE(std::isinf(close.largestRelative));
}

// By name; by position only where the library computes as many outputs as the data hold.
TEST(CompareOutputs, ByNameThenByPositionWhereTheCountsAgree) {
  DataSet data;
  data.outputFiles = {"output_0.pb"};
  data.outputNames = {"a"};
  data.expected = {TensorData{"a", {1}, "float", {0}}};
  EXPECT_TRUE(compareOutputs(data, {{"b", {1}, {0}}}, {}).at(0).comparison.matched);
  EXPECT_FALSE(compareOutputs(data, {{"b", {1}, {0}}, {"c", {1}, {0}}}, {}).at(0).computed);
  EXPECT_EQ(compareOutputs(data, {{"c", {1}, {0}}, {"a", {1}, {0}}}, {}).at(0).name, "a");
}

TEST(ClassifyRejections, OnlyNodesFedByARejectedNodeComeAfterOne) {
  // a, b (a), c (b), d, nolayer (a), x (d), y (x)
  GraphNodes nodes(7);
  for (auto [node, feeders] : std::vector<std::pair<size_t, std::vector<size_t>>>{
           {1, {0}}, {2, {1}}, {4, {0}}, {5, {3}}, {6, {5}}}) {
    nodes[node].feeders = feeders;
  }
  const std::vector<RejectedNode> rejected = {
      {0, false}, {2, false}, {3, false}, {4, true}, {kUnknownNode, false}, {5, false}, {6, false}};
  const auto own = Rejection::kOnItsOwn;
  const auto after = Rejection::kAfterRejectedNode;
  EXPECT_EQ(classifyRejections(nodes, rejected),
            (std::vector<Rejection>{own, after, own, own, own, after, after}));
}

TEST(ExecutionStage, WarnsOnlyWhenTheUserContradictsADeclaredShape) {
  EXPECT_EQ(executionStage({1, 3, 320, 320}, {{1, 3, 224, 224}}),
            Stage::kExecutionAfterShapeMismatch);
  EXPECT_EQ(executionStage({1, 3}, {{}}), Stage::kExecutionAfterShapeMismatch);
  EXPECT_EQ(executionStage({1, 3, 224, 224}, {{1, 3, 224, 224}}), Stage::kExecution);
  EXPECT_EQ(executionStage({}, {{1, 3, 224, 224}}), Stage::kExecution);
  EXPECT_EQ(executionStage({1, 3, 320, 320}, {}), Stage::kExecution);
}

}  // namespace
