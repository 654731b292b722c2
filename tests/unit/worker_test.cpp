// The worker's routines on inputs that no generated model reaches: the memory budget's arithmetic
// and the timed passes' statistics.
#include <gtest/gtest.h>

#include "check/worker/benchmark.h"
#include "check/worker/memory_budget.h"

namespace {

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

}  // namespace

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
