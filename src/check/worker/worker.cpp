#include "check/worker/worker.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/core/version.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

#include "check/readers/onnx_graph.h"
#include "check/readers/tensor_file.h"
#include "check/worker/benchmark.h"
#include "check/worker/diagnosis.h"
#include "check/worker/library_log.h"
#include "check/worker/library_window.h"
#include "check/worker/memory_budget.h"

namespace {

// True when a tensor of this shape and element size can be addressed at all. The library
// multiplies the dimensions without an overflow check, so a shape whose byte count wraps would
// get a tiny buffer. Shapes with a zero or negative dimension are left to the library to refuse.
bool fitsAddressSpace(const cv::dnn::MatShape& shape, size_t elementSize) {
  for (int dimension : shape) {
    if (dimension <= 0) return true;
  }
  size_t bytes = elementSize;
  for (int dimension : shape) {
    const size_t size = static_cast<size_t>(dimension);
    if (bytes > std::numeric_limits<size_t>::max() / size) return false;
    bytes *= size;
  }
  return true;
}

// The inputs of a run with test data: each file's tensor, as the library takes it, under its
// input's name. Throws when a file cannot be read, std::bad_alloc when memory runs out.
std::vector<std::pair<std::string, cv::Mat>> dataInputs(const CheckJob& job) {
  std::vector<std::pair<std::string, cv::Mat>> inputs;
  for (size_t i = 0; i < job.inputFiles.size(); ++i) {
    cv::Mat blob;
    {
      auto read = readTensorFile(job.inputFiles[i]);
      if (const std::string* error = std::get_if<std::string>(&read)) {
        throw std::runtime_error(job.inputFiles[i] + ": " + *error);
      }
      TensorData& tensor = std::get<TensorData>(read);
      if (i < job.inputTypes.size()) takeAsDeclared(tensor, job.inputTypes[i]);
      // The library has no tensor without dimensions: a scalar is one value.
      cv::dnn::MatShape shape(tensor.shape.begin(), tensor.shape.end());
      if (shape.empty()) shape.push_back(1);
      const std::vector<float> values = libraryInputValues(tensor);
      tensor.values = {};
      blob.create(shape, CV_32F);
      std::copy(values.begin(), values.end(), blob.ptr<float>());
    }
    inputs.emplace_back(i < job.inputNames.size() ? job.inputNames[i] : "", blob);
  }
  return inputs;
}

// The timed passes after the check's own, on the inputs that it set. Each pass's profile is kept
// (for long runs of large networks, every k-th pass's, within 16 Mi layer times), so that the
// median pass's layers can be told: the kept pass whose time is nearest the median.
Benchmark timePasses(cv::dnn::Net& net, int passes, const std::vector<std::string>& outputNames) {
  using Clock = std::chrono::steady_clock;
  Benchmark benchmark;
  benchmark.threads = cv::getNumThreads();
  const std::vector<std::string> names = net.getLayerNames();
  constexpr size_t kKeptTimes = 16 * 1024 * 1024;
  const size_t total = static_cast<size_t>(passes) * std::max<size_t>(names.size(), 1);
  const size_t stride = (total + kKeptTimes - 1) / kKeptTimes;
  std::vector<std::pair<size_t, std::vector<double>>> profiles;
  std::vector<cv::Mat> outputBlobs;
  for (int pass = 0; pass < passes; ++pass) {
    const Clock::time_point start = Clock::now();
    net.forward(outputBlobs, outputNames);
    const Clock::time_point end = Clock::now();
    benchmark.passMilliseconds.push_back(
        std::chrono::duration<double, std::milli>(end - start).count());
    if (static_cast<size_t>(pass) % stride == 0) {
      profiles.emplace_back(static_cast<size_t>(pass), std::vector<double>());
      net.getPerfProfile(profiles.back().second);
    }
  }
  const double median = passStatistics(benchmark.passMilliseconds).median;
  const auto nearest =
      std::min_element(profiles.begin(), profiles.end(), [&](const auto& left, const auto& right) {
        return std::fabs(benchmark.passMilliseconds[left.first] - median) <
               std::fabs(benchmark.passMilliseconds[right.first] - median);
      });
  const double tickMilliseconds = 1000.0 / cv::getTickFrequency();
  for (size_t i = 0; i < names.size() && i < nearest->second.size(); ++i) {
    const cv::Ptr<cv::dnn::Layer> layer = net.getLayer(net.getLayerId(names[i]));
    benchmark.medianPassLayers.push_back(
        {names[i], layer ? layer->type : "", nearest->second[i] * tickMilliseconds});
  }
  return benchmark;
}

// The library's estimates for the test's inputs, 0 where it has none.
void estimate(const cv::dnn::Net& net, const std::vector<cv::dnn::MatShape>& inputShapes,
              Benchmark& benchmark) {
  try {
    benchmark.flops = static_cast<double>(net.getFLOPS(inputShapes));
    size_t weights = 0, blobs = 0;
    net.getMemoryConsumption(inputShapes, weights, blobs);
    benchmark.weightBytes = static_cast<double>(weights);
    benchmark.blobBytes = static_cast<double>(blobs);
  } catch (...) {
    // The estimate is the library's to give; none is no failure of the check.
  }
}

// The forward pass, on a tensor of zeros of the test shape or on the test data; answers the
// outputs, with their values for test data, and with `passes`, the timed passes that follow on
// the same inputs. The network and the blobs are gone when it returns, whichever way.
std::pair<Outputs, std::optional<Benchmark>> execute(
    cv::dnn::Net& net, const cv::dnn::MatShape& testInputShape,
    std::vector<std::pair<std::string, cv::Mat>> data, const std::vector<std::string>& outputNames,
    int passes) {
  std::vector<cv::Mat> outputBlobs;
  const bool withData = !data.empty();
  if (!withData && !fitsAddressSpace(testInputShape, sizeof(float))) {
    CV_Error(cv::Error::StsNoMem, "the input tensor does not fit the address space");
  }
  std::vector<cv::dnn::MatShape> inputShapes;
  if (withData) {
    for (const auto& [name, blob] : data) {
      net.setInput(blob, name, 1.0, cv::Scalar(0, 0, 0, 0));
      inputShapes.emplace_back(blob.size.p, blob.size.p + blob.dims);
    }
    data.clear();
    net.forward(outputBlobs, outputNames);
  } else {
    // Zeros: where the values decide whether the library can run the model, the verdict must
    // not depend on what the memory held before.
    cv::Mat inputBlob(testInputShape, CV_32F, cv::Scalar(0));
    net.setInput(inputBlob, "", 1.0, cv::Scalar(0, 0, 0, 0));
    inputShapes.push_back(testInputShape);
    net.forward(outputBlobs, outputNames);
  }
  std::optional<Benchmark> benchmark;
  if (passes > 0) {
    // The passes' outputs are the library's to keep; the first pass's are the check's.
    std::vector<cv::Mat> firstOutputs;
    for (const cv::Mat& blob : outputBlobs) firstOutputs.push_back(blob.clone());
    benchmark = timePasses(net, passes, outputNames);
    estimate(net, inputShapes, *benchmark);
    outputBlobs = std::move(firstOutputs);
  }
  Outputs outputs;
  for (size_t i = 0; i < outputBlobs.size(); ++i) {
    const cv::Mat& blob = outputBlobs[i];
    OutputTensor output{i < outputNames.size() ? outputNames[i] : "", {}, {}};
    if (!blob.empty()) output.shape.assign(blob.size.p, blob.size.p + blob.dims);
    if (withData && !blob.empty()) {
      cv::Mat values;
      blob.convertTo(values, CV_32F);
      values = values.isContinuous() ? values : values.clone();
      output.values.assign(values.ptr<float>(), values.ptr<float>() + values.total());
    }
    outputs.outputs.push_back(std::move(output));
  }
  return {outputs, benchmark};
}

// The whole description of a failure, for the explanation.
Description description(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const cv::Exception& error) {
    return {error.err};
  } catch (const std::exception& error) {
    return {error.what()};
  } catch (...) {
    return {""};
  }
}

// After a failed execution that the log does not pin on a layer: the first layer that took no
// time, which is probably where the run stopped.
ProbableLayer probableLayer(cv::dnn::Net& net) {
  try {
    std::vector<double> timings;
    net.getPerfProfile(timings);
    const std::vector<std::string> names = net.getLayerNames();
    for (size_t i = 0; i < timings.size() && i < names.size(); ++i) {
      if (timings[i] == 0) return {names[i]};
    }
  } catch (...) {
    // No profile, no guess.
  }
  return {""};
}

// Everything up to the outputs, each step reported as it is done; answers the findings that
// end the check, with what an explanation needs after a failure.
std::vector<Finding> loadAndExecute(const CheckJob& job, FindingSink send, Captures& captures,
                                    const std::vector<std::string>& log) {
  std::vector<std::string> outputNames;
  std::vector<std::pair<std::string, cv::Mat>> data;
  const cv::dnn::MatShape& userShape = job.userShape;
  cv::dnn::MatShape testInputShape = userShape;
  double loadMilliseconds = 0;
  {
    cv::dnn::Net net;
    try {
      const auto start = std::chrono::steady_clock::now();
      net = cv::dnn::readNet(job.modelPath, "", "");
      loadMilliseconds =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      if (net.empty()) return {EmptyModel{}};
      send(Loaded{});
      std::vector<cv::dnn::MatShape> layerInputShapes;
      std::vector<cv::dnn::MatShape> modelInputShapes;
      net.getLayerShapes(cv::dnn::MatShape(), 0, layerInputShapes, modelInputShapes);
      send(InputShapes{modelInputShapes});
      if (!job.inputFiles.empty()) {
        // The data are the test's: they are read as it begins.
      } else if (modelInputShapes.size() > 1 || (modelInputShapes.empty() && userShape.empty())) {
        return {};
      } else if (userShape.empty()) {
        testInputShape = modelInputShapes[0];
      }
      outputNames = net.getUnconnectedOutLayersNames();
    } catch (...) {
      std::cerr.flush();
      const std::exception_ptr error = std::current_exception();
      std::vector<Finding> last{loadFailureCause(captures.second.str(), error)};
      if (job.explain) last.push_back(description(error));
      return last;
    }
    send(Executing{});
    try {
      if (!job.inputFiles.empty()) data = dataInputs(job);
    } catch (...) {
      std::vector<Finding> last{executionFailureCause(std::current_exception())};
      if (job.explain) last.push_back(description(std::current_exception()));
      return last;
    }
    try {
      auto [outputs, benchmark] =
          execute(net, testInputShape, std::move(data), outputNames, job.benchmark);
      if (!benchmark) return {outputs};
      benchmark->loadMilliseconds = loadMilliseconds;
      benchmark->peakBytes = static_cast<double>(peakMemory());
      return {outputs, *benchmark};
    } catch (...) {
      std::cerr.flush();
      std::vector<Finding> last{executionFailureCause(std::current_exception())};
      if (job.explain) {
        const std::optional<StoppingLayer> layer = stoppingLayer(log);
        if (layer) {
          last.push_back(*layer);
        } else {
          last.push_back(probableLayer(net));
        }
      }
      return last;
    }
  }
}

// The model's graph for the explanation: its nodes one by one, then the reason the graph cannot
// be read, or "" when it could. Small messages: the parent takes each as it comes, however large
// the graph.
void sendGraph(const std::variant<GraphNodes, std::string>& graph, FindingSink send) {
  if (const std::string* error = std::get_if<std::string>(&graph)) {
    send(GraphEnd{*error});
    return;
  }
  for (const GraphNode& node : std::get<GraphNodes>(graph)) send(node);
  send(GraphEnd{""});
}

// A second load in the library's model-diagnostics mode, which rejects every node it cannot take
// instead of stopping at the first. Its log, with every node it processes, is read against the
// model's nodes as it comes; each rejection goes to the parent as soon as its node is done.
void runDiagnosticsPass(const std::string& modelPath, const GraphNodes& nodes,
                        const std::string& rejectedHeader, const std::string& description,
                        FindingSink send) {
  send(DiagnosticsBegin{});
  DiagnosticsLog log(nodes, rejectedHeader, description);
  const auto onLog = [&](const std::string& piece) {
    if (const std::optional<NodeRejection> rejection = log.take(piece)) send(*rejection);
  };
  Captures captures;
  // The library logs each node it processes at the information level from 4.7 on, at the debug
  // level before; the debug level also writes out every constant the library folds, which costs.
  using cv::utils::logging::LogLevel;
  constexpr LogLevel kNodesLogged = CV_VERSION_MAJOR * 100 + CV_VERSION_MINOR >= 407
                                        ? LogLevel::LOG_LEVEL_INFO
                                        : LogLevel::LOG_LEVEL_DEBUG;
  cv::utils::logging::setLogLevel(kNodesLogged);
  {
    LibraryWindow window(captures, onLog, true);
    cv::dnn::enableModelDiagnostics(true);
    try {
      cv::dnn::Net net = cv::dnn::readNet(modelPath, "", "");
    } catch (...) {
      // The records are what counts.
    }
    cv::dnn::enableModelDiagnostics(false);
  }
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_WARNING);
  if (const std::optional<NodeRejection> rejection = log.finish()) send(*rejection);
}

}  // namespace

void runCheckJob(const CheckJob& job, FindingSink send) {
  // The library's words are those of its default log level, whatever was set before.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_WARNING);
  Captures captures;
  std::vector<std::string> log;  // each message the library logged, for an explanation
  std::vector<Finding> last;
  {
    LibraryWindow window(captures, [&](const std::string& piece) {
      if (job.explain) log.push_back(piece);
    });
    last = loadAndExecute(job, send, captures, log);
  }
  for (const Finding& finding : last) send(finding);
  const CheckFailure* failure = last.empty() ? nullptr : std::get_if<CheckFailure>(&last[0]);
  if (!job.explain || failure == nullptr) return;
  const std::variant<GraphNodes, std::string> graph = readGraphNodes(job.modelPath);
  sendGraph(graph, send);
  if (failure->cause == Cause::kNode) {
    static const GraphNodes kNoNodes;
    const GraphNodes* nodes = std::get_if<GraphNodes>(&graph);
    const Description* described = last.size() > 1 ? std::get_if<Description>(&last[1]) : nullptr;
    runDiagnosticsPass(job.modelPath, nodes != nullptr ? *nodes : kNoNodes, rejectedNodeHeader(log),
                       described != nullptr ? described->text : "", send);
  }
}
