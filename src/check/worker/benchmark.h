// The figures of the timed passes: the passes' statistics, by which the worker picks the median
// pass and the report gives them, the slowest layers of that pass and the time by layer type.
#pragma once

#include <string>
#include <vector>

#include "check/worker/findings.h"

// The fastest pass, the median (the middle pass by time; of two, the faster), the 90th percentile
// (the pass that 90% of the passes take no longer than: the nearest rank) and the slowest.
// All 0 for no passes.
struct PassStatistics {
  double minimum = 0;
  double median = 0;
  double percentile90 = 0;
  double maximum = 0;
};
PassStatistics passStatistics(std::vector<double> milliseconds);

// The `count` layers that took the most time, the slowest first; of equal times, the earlier.
std::vector<LayerTime> slowestLayers(const std::vector<LayerTime>& layers, size_t count);

// The time in layers of each type (the name left empty), the type with the most first; of equal
// times, the type seen first.
std::vector<LayerTime> timeByType(const std::vector<LayerTime>& layers);
