// The library's output against the expected one, by NumPy's allclose rule: a value is close when
// |computed - expected| <= absolute + relative * |expected|. NaN is close to NaN alone, as the
// ONNX test runners take it; an infinity is close to the same infinity alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check/readers/data_set.h"
#include "check/readers/onnx_graph.h"
#include "check/worker/findings.h"

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

// An expected output held against what the library computed: the output of the data set's name,
// else, when the library computes as many outputs as the data hold, the one at the file's
// position that no other file takes; the file, both shapes, and the comparison. Not computed
// when the library gave no such output. No computed output is compared twice.
struct OutputComparison {
  std::string name;
  std::string file;
  std::vector<std::int64_t> expectedShape;
  cv::dnn::MatShape computedShape;
  bool computed = false;
  Comparison comparison;
};

std::vector<OutputComparison> compareOutputs(const DataSet& data,
                                             const std::vector<OutputTensor>& outputs,
                                             const Tolerance& tolerance);

// An output's computed shape against the shape the graph declares for it.
struct DeclaredShape {
  std::string name;
  cv::dnn::MatShape computed;
  std::vector<std::int64_t> declared;
  ShapeMatch match = ShapeMatch::kSame;
};

// The outputs whose shapes can be held against the graph's: the graph declares them fully, and
// every input of the test has the shape that the graph declares for it (`inputShapes`, in the
// order of the graph's inputs).
std::vector<DeclaredShape> declaredShapes(const GraphSignature& graph,
                                          const std::vector<std::vector<std::int64_t>>& inputShapes,
                                          const std::vector<OutputTensor>& outputs);
