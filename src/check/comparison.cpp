// The comparison walks the values once, keeping the count beyond tolerance, the largest
// differences and the worst value.
#include "check/comparison.h"

#include <cmath>
#include <limits>

namespace {

std::vector<std::int64_t> withoutUnits(const std::vector<std::int64_t>& shape) {
  std::vector<std::int64_t> kept;
  for (std::int64_t dimension : shape) {
    if (dimension != 1) kept.push_back(dimension);
  }
  return kept;
}

}  // namespace

ShapeMatch matchOf(const std::vector<std::int64_t>& expected, const std::vector<int>& computed) {
  const std::vector<std::int64_t> widened(computed.begin(), computed.end());
  if (widened == expected) return ShapeMatch::kSame;
  return withoutUnits(widened) == withoutUnits(expected) ? ShapeMatch::kUnitDimensions
                                                         : ShapeMatch::kDifferent;
}

Comparison compareTensors(const std::vector<std::int64_t>& expectedShape,
                          const std::vector<double>& expected,
                          const std::vector<int>& computedShape, const std::vector<float>& computed,
                          const Tolerance& tolerance) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  Comparison comparison;
  comparison.shapes = matchOf(expectedShape, computedShape);
  if (comparison.shapes == ShapeMatch::kDifferent || expected.size() != computed.size()) {
    return comparison;
  }
  // How far the worst value found so far lies beyond tolerance; below 0 while every value is close.
  double worstExcess = -kInfinity;
  for (size_t i = 0; i < expected.size(); ++i) {
    const double want = expected[i];
    const double got = computed[i];
    double difference = 0;
    double excess = -kInfinity;
    if (std::isnan(want) && std::isnan(got)) {
      excess = -kInfinity;
    } else if (std::isnan(want) || std::isnan(got)) {
      excess = kInfinity;
    } else if (std::isinf(want) || std::isinf(got)) {
      difference = want == got ? 0 : kInfinity;
      excess = want == got ? -kInfinity : kInfinity;
    } else {
      difference = std::fabs(got - want);
      excess = difference - (tolerance.absolute + tolerance.relative * std::fabs(want));
    }
    if (!std::isnan(want) && !std::isnan(got)) {
      const double relative = difference == 0 ? 0
                              : want == 0     ? kInfinity
                                              : difference / std::fabs(want);
      if (relative > comparison.largestRelative) comparison.largestRelative = relative;
    }
    if (excess > 0) ++comparison.beyond;
    // While every value is close the worst is the largest difference; then the furthest beyond.
    const bool worse = comparison.compared == 0 ||
                       (excess > 0 ? excess > worstExcess
                                   : worstExcess <= 0 && difference > comparison.largestAbsolute);
    if (difference > comparison.largestAbsolute) comparison.largestAbsolute = difference;
    if (worse) {
      worstExcess = excess;
      comparison.worstIndex = i;
      comparison.worstExpected = want;
      comparison.worstComputed = got;
    }
    ++comparison.compared;
  }
  comparison.matched = comparison.beyond == 0;
  return comparison;
}

std::vector<std::int64_t> indexAt(size_t flat, const std::vector<std::int64_t>& shape) {
  std::vector<std::int64_t> index(shape.size(), 0);
  for (size_t k = shape.size(); k-- > 0;) {
    if (shape[k] <= 0) continue;
    const auto size = static_cast<size_t>(shape[k]);
    index[k] = static_cast<std::int64_t>(flat % size);
    flat /= size;
  }
  return index;
}

std::vector<OutputComparison> compareOutputs(const DataSet& data,
                                             const std::vector<OutputTensor>& outputs,
                                             const Tolerance& tolerance) {
  // By name first; then, where the library computes as many outputs as the data hold, by
  // position, but never an output that another file has taken.
  std::vector<const OutputTensor*> held(data.expected.size(), nullptr);
  std::vector<bool> taken(outputs.size(), false);
  for (size_t i = 0; i < data.expected.size(); ++i) {
    for (size_t j = 0; j < outputs.size() && !held[i]; ++j) {
      if (!taken[j] && outputs[j].name == data.outputNames[i]) {
        held[i] = &outputs[j];
        taken[j] = true;
      }
    }
  }
  for (size_t i = 0; i < held.size() && outputs.size() == held.size(); ++i) {
    if (!held[i] && !taken[i]) {
      held[i] = &outputs[i];
      taken[i] = true;
    }
  }
  std::vector<OutputComparison> comparisons;
  for (size_t i = 0; i < data.expected.size(); ++i) {
    const TensorData& expected = data.expected[i];
    const OutputTensor* computed = held[i];
    OutputComparison result{
        data.outputNames[i], data.outputFiles[i], expected.shape, {}, false, {}};
    if (computed != nullptr) {
      result.name = computed->name;
      result.computedShape = computed->shape;
      result.computed = true;
      result.comparison = compareTensors(expected.shape, expected.values, computed->shape,
                                         computed->values, tolerance);
    }
    comparisons.push_back(std::move(result));
  }
  return comparisons;
}

std::vector<DeclaredShape> declaredShapes(const GraphSignature& graph,
                                          const std::vector<std::vector<std::int64_t>>& inputShapes,
                                          const std::vector<OutputTensor>& outputs) {
  if (inputShapes.size() != graph.inputs.size()) return {};
  for (size_t i = 0; i < inputShapes.size(); ++i) {
    if (!graph.inputs[i].known || graph.inputs[i].shape != inputShapes[i]) return {};
  }
  std::vector<DeclaredShape> shapes;
  for (const OutputTensor& output : outputs) {
    for (const DeclaredTensor& declared : graph.outputs) {
      if (declared.name != output.name || !declared.known) continue;
      shapes.push_back(
          {output.name, output.shape, declared.shape, matchOf(declared.shape, output.shape)});
      break;
    }
  }
  return shapes;
}
