#include "check/worker/benchmark.h"

#include <algorithm>
#include <cmath>

namespace {

// The k-th fastest time (from 1), the times sorted.
double ranked(const std::vector<double>& sorted, size_t rank) {
  return sorted[std::min(std::max<size_t>(rank, 1), sorted.size()) - 1];
}

std::vector<LayerTime> slowestFirst(std::vector<LayerTime> layers) {
  std::stable_sort(layers.begin(), layers.end(), [](const LayerTime& a, const LayerTime& b) {
    return a.milliseconds > b.milliseconds;
  });
  return layers;
}

}  // namespace

PassStatistics passStatistics(std::vector<double> milliseconds) {
  if (milliseconds.empty()) return {};
  std::sort(milliseconds.begin(), milliseconds.end());
  const size_t count = milliseconds.size();
  const auto percentile90 = static_cast<size_t>(std::ceil(0.9 * static_cast<double>(count)));
  return {milliseconds.front(), ranked(milliseconds, (count + 1) / 2),
          ranked(milliseconds, percentile90), milliseconds.back()};
}

std::vector<LayerTime> slowestLayers(const std::vector<LayerTime>& layers, size_t count) {
  std::vector<LayerTime> slowest = slowestFirst(layers);
  if (slowest.size() > count) slowest.resize(count);
  return slowest;
}

std::vector<LayerTime> timeByType(const std::vector<LayerTime>& layers) {
  std::vector<LayerTime> types;
  for (const LayerTime& layer : layers) {
    auto type = std::find_if(types.begin(), types.end(),
                             [&](const LayerTime& seen) { return seen.type == layer.type; });
    if (type == types.end()) type = types.insert(types.end(), {"", layer.type, 0});
    type->milliseconds += layer.milliseconds;
  }
  return slowestFirst(types);
}
