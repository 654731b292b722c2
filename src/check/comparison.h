// The library's output against the expected one, by NumPy's allclose rule: a value is close when
// |computed - expected| <= absolute + relative * |expected|. NaN is close to NaN alone, as the
// ONNX test runners take it; an infinity is close to the same infinity alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct Tolerance {
  double relative = 1e-3;
  double absolute = 1e-4;
};

// How the shapes relate: the same, the same but for dimensions of size 1 ([N,1] and [N], [1,3]
// and [3]: the other dimensions equal and in the same order), or otherwise different.
enum class ShapeMatch { kSame, kUnitDimensions, kDifferent };
ShapeMatch matchOf(const std::vector<std::int64_t>& expected, const std::vector<int>& computed);

// Values are compared only when the shapes match, with or without unit dimensions, and the value
// counts agree. The relative difference is |difference| / |expected|: 0 where both are 0, and
// infinite where only the expected value is 0. A NaN against a number is beyond tolerance but adds
// to neither largest difference; two different infinities differ infinitely. The worst value is
// the one furthest beyond tolerance (a NaN or infinite difference first), or, when every value is
// close, the one of the largest absolute difference; its index is the flat row-major one.
struct Comparison {
  ShapeMatch shapes = ShapeMatch::kDifferent;
  size_t compared = 0;
  size_t beyond = 0;
  double largestAbsolute = 0;
  double largestRelative = 0;
  size_t worstIndex = 0;
  double worstExpected = 0;
  double worstComputed = 0;
  bool matched = false;
};

Comparison compareTensors(const std::vector<std::int64_t>& expectedShape,
                          const std::vector<double>& expected,
                          const std::vector<int>& computedShape, const std::vector<float>& computed,
                          const Tolerance& tolerance);

// The row-major multi-index of the flat index `flat` in `shape`.
std::vector<std::int64_t> indexAt(size_t flat, const std::vector<std::int64_t>& shape);
