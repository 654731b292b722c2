// What the worker can find, one plain struct per finding, in the order they may come:
//   Loaded, or EmptyModel;  InputShapes;  Executing (the output names are known and the test
//   execution begins);  Outputs (sent once the network and its outputs have been released);
//   CheckFailure (the check failed, and why); with timed passes asked for, Benchmark after the
//   outputs.
// With an explanation asked for, after a CheckFailure:
//   Description (after a failed load, the library's whole description); StoppingLayer (after a
//   failed execution, the layer that stopped it) or ProbableLayer (the layer that probably did);
//   a GraphNode per node of the model's graph, then GraphEnd; after a load that named a rejected
//   node, DiagnosticsBegin and a NodeRejection per node that the diagnostics pass rejects.
// The worker sends them to its parent through the protocol of protocol.h.
#pragma once

#include <opencv2/dnn.hpp>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "check/readers/onnx_graph.h"

// Why the check failed, as the worker tells it from the library's exception and captured log.
enum class Cause : std::uint8_t {
  kNode,           // the text is the node the library rejected
  kNoNode,         // the library logged something but named no node
  kUnknownFormat,  // the library could not tell the model's format
  kDescription,    // the text is the library's description, line ends kept
  kMessage,        // the text is what another exception said
  kUnknown,        // a failure that says nothing
  kMemory,         // an allocation that the library or the system could not make
  kNone,           // nothing more to say, as after a failed execution
};

struct Loaded {};
struct EmptyModel {};
struct InputShapes {
  std::vector<cv::dnn::MatShape> shapes;
};
struct Executing {};
struct OutputTensor {
  std::string name;
  cv::dnn::MatShape shape;    // empty for an empty output
  std::vector<float> values;  // with test data only
};
struct Outputs {
  std::vector<OutputTensor> outputs;
};
struct CheckFailure {
  Cause cause = Cause::kNone;
  std::string text;
};
struct Description {
  std::string text;
};
// The first layer whose shapes the library could not compute: "[Type]:(name)", its input shapes
// as "[1, 3, 8, 8]", and the library's words.
struct StoppingLayer {
  std::string layer;
  std::vector<std::string> inputShapes;
  std::string words;
};
// The first layer without a time, "" for none.
struct ProbableLayer {
  std::string layer;
};
// After the GraphNodes: why the graph cannot be read, "" when it could.
struct GraphEnd {
  std::string error;
};
struct DiagnosticsBegin {};
// A node that the diagnostics pass rejects: its index among the graph's nodes (kUnknownNode for
// one the graph does not have), as logged, the library's words, and whether the library has no
// layer for its type.
struct NodeRejection {
  size_t node = kUnknownNode;
  std::string type;
  std::string name;
  std::string domain;
  std::string words;
  bool withoutLayer = false;
};

// One layer of the network in the library's profile of a pass: its name, its type and its time
// (0 for a layer fused into another).
struct LayerTime {
  std::string name;
  std::string type;
  double milliseconds = 0;
};
// The timed passes after the check's own, which warmed the network up: the time of each, measured
// around the forward pass alone; the load's; the threads the library used; the layers of the
// median pass, in the network's order; the library's estimate of the network's floating-point
// operations and memory for the test's inputs (0 where it gave none); the worker's peak memory.
struct Benchmark {
  std::vector<double> passMilliseconds;
  double loadMilliseconds = 0;
  int threads = 0;
  std::vector<LayerTime> medianPassLayers;
  double flops = 0;
  double weightBytes = 0;
  double blobBytes = 0;
  double peakBytes = 0;
};

using Finding = std::variant<Loaded, EmptyModel, InputShapes, Executing, Outputs, CheckFailure,
                             Description, StoppingLayer, ProbableLayer, GraphNode, GraphEnd,
                             DiagnosticsBegin, NodeRejection, Benchmark>;

// The kinds of finding, in the order of the alternatives of Finding.
enum class FindingKind : std::uint8_t {
  kLoaded,
  kEmptyModel,
  kInputShapes,
  kExecuting,
  kOutputs,
  kCheckFailure,
  kDescription,
  kStoppingLayer,
  kProbableLayer,
  kGraphNode,
  kGraphEnd,
  kDiagnosticsBegin,
  kNodeRejection,
  kBenchmark,
};
static_assert(std::variant_size_v<Finding> == static_cast<size_t>(FindingKind::kBenchmark) + 1);

inline FindingKind kindOf(const Finding& finding) {
  return static_cast<FindingKind>(finding.index());
}

// What the worker is asked to do. With test data, the inputs come from the files, each set as
// the model's input of the name beside it, and the outputs' values come back. With `benchmark`,
// that many timed passes follow the check's own. The memory budget is the parent's measure, in
// bytes, which the worker keeps to.
struct CheckJob {
  std::string modelPath;
  cv::dnn::MatShape userShape;
  bool explain = false;
  std::vector<std::string> inputFiles;
  std::vector<std::string> inputNames;
  std::vector<int> inputTypes;  // the ONNX element types that the model declares for them
  int benchmark = 0;
  double memoryBudget = 0;
};
