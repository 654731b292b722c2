#include "check/worker.h"

#include <opencv2/core/utils/logger.hpp>

#include <iostream>
#include <limits>
#include <sstream>
#include <variant>
#include <vector>

#include "check/diagnosis.h"
#include "check/library_log.h"
#include "check/library_window.h"
#include "check/onnx_graph.h"

namespace {

const char kTypesListed[] = "Not supported types:";

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

Record failed(const Diagnosis& diagnosis) {
  return {'F', {std::string(1, static_cast<char>(diagnosis.first)), diagnosis.second}};
}

// The forward pass; answers the outputs record. The network and the blobs are gone when it
// returns, whichever way.
Record execute(cv::dnn::Net& net, const cv::dnn::MatShape& testInputShape,
               const std::vector<std::string>& outputNames) {
  std::vector<cv::Mat> outputBlobs;
  if (!fitsAddressSpace(testInputShape, sizeof(float))) {
    CV_Error(cv::Error::StsNoMem, "the input tensor does not fit the address space");
  }
  {
    // Zeros: where the values decide whether the library can run the model, the verdict must
    // not depend on what the memory held before.
    cv::Mat inputBlob(testInputShape, CV_32F, cv::Scalar(0));
    net.setInput(inputBlob, "", 1.0, cv::Scalar(0, 0, 0, 0));
    net.forward(outputBlobs, outputNames);
  }
  Record outputs{'O', {}};
  for (size_t i = 0; i < outputBlobs.size(); ++i) {
    const cv::Mat& blob = outputBlobs[i];
    outputs.second.push_back(i < outputNames.size() ? outputNames[i] : "");
    outputs.second.push_back(
        blob.empty() ? "" : shapeField(cv::dnn::MatShape(blob.size.p, blob.size.p + blob.dims)));
  }
  return outputs;
}

// The whole description of a failure, for the explanation.
Record description(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const cv::Exception& error) {
    return {'W', {error.err}};
  } catch (const std::exception& error) {
    return {'W', {error.what()}};
  } catch (...) {
    return {'W', {""}};
  }
}

// After a failed execution that the log does not pin on a layer: the first layer that took no
// time, which is probably where the run stopped.
Record probableLayer(cv::dnn::Net& net) {
  try {
    std::vector<double> timings;
    net.getPerfProfile(timings);
    const std::vector<std::string> names = net.getLayerNames();
    for (size_t i = 0; i < timings.size() && i < names.size(); ++i) {
      if (timings[i] == 0) return {'P', {names[i]}};
    }
  } catch (...) {
    // No profile, no guess.
  }
  return {'P', {}};
}

// Everything up to the outputs, each step reported as it is done; answers the records that
// end the check, with what an explanation needs after a failure.
std::vector<Record> check(const std::string& modelPath, const cv::dnn::MatShape& userShape,
                          bool explain, RecordSink send, Captures& captures) {
  std::vector<std::string> outputNames;
  cv::dnn::MatShape testInputShape = userShape;
  {
    cv::dnn::Net net;
    try {
      net = cv::dnn::readNet(modelPath, "", "");
      if (net.empty()) return {{'E', {}}};
      send({'L', {}});
      std::vector<cv::dnn::MatShape> layerInputShapes;
      std::vector<cv::dnn::MatShape> modelInputShapes;
      net.getLayerShapes(cv::dnn::MatShape(), 0, layerInputShapes, modelInputShapes);
      Record inputs{'I', {}};
      for (const cv::dnn::MatShape& shape : modelInputShapes) {
        inputs.second.push_back(shapeField(shape));
      }
      send(inputs);
      if (modelInputShapes.size() > 1 || (modelInputShapes.empty() && userShape.empty())) {
        return {};
      }
      if (userShape.empty()) testInputShape = modelInputShapes[0];
      outputNames = net.getUnconnectedOutLayersNames();
    } catch (...) {
      std::cerr.flush();
      const std::exception_ptr error = std::current_exception();
      std::vector<Record> last{failed(loadFailureCause(captures.second.str(), error))};
      if (explain) last.push_back(description(error));
      return last;
    }
    send({'X', {}});
    try {
      return {execute(net, testInputShape, outputNames)};
    } catch (...) {
      std::cerr.flush();
      std::vector<Record> last{failed(executionFailureCause(std::current_exception()))};
      if (explain) {
        const Record layer = stoppingLayer(captures.second.str());
        last.push_back(layer.first != 0 ? layer : probableLayer(net));
      }
      return last;
    }
  }
}

// The model's graph for the explanation: the reason it cannot be read ("" when it can), then
// each node's logged name and the names of the nodes that feed it, joined by NUL bytes.
Record graphRecord(const std::string& modelPath) {
  const std::variant<NodeFeeds, std::string> graph = readNodeFeeds(modelPath);
  if (const std::string* error = std::get_if<std::string>(&graph)) return {'G', {*error}};
  Record record{'G', {""}};
  for (const auto& [node, feeders] : std::get<NodeFeeds>(graph)) {
    std::string joined;
    for (const std::string& feeder : feeders)
      joined += (joined.empty() ? "" : std::string(1, '\0')) + feeder;
    record.second.push_back(node);
    record.second.push_back(joined);
  }
  return record;
}

// A second load in the library's model-diagnostics mode, which logs every node it rejects
// instead of stopping at the first: each rejection goes to the parent as soon as it is logged,
// the types without any layer once they are listed.
void runDiagnosticsPass(const std::string& modelPath, RecordSink send) {
  send({'D', {}});
  std::string pending;
  std::string whole;
  bool typesSent = false;
  const auto onLog = [&](const std::string& text) {
    pending += text;
    whole += text;
    for (Record rejection; takeRejection(pending, false, rejection);) send(rejection);
    if (!typesSent && whole.find(kTypesListed) != std::string::npos) {
      const std::vector<std::string> types = typesWithoutLayer(whole);
      if (!types.empty() || whole.find("\n\n", whole.find(kTypesListed)) != std::string::npos) {
        send({'U', types});
        typesSent = true;
      }
    }
  };
  Captures captures;
  {
    LibraryWindow window(captures, onLog);
    cv::dnn::enableModelDiagnostics(true);
    try {
      cv::dnn::Net net = cv::dnn::readNet(modelPath, "", "");
    } catch (...) {
      // The records are what counts.
    }
    cv::dnn::enableModelDiagnostics(false);
  }
  for (Record rejection; takeRejection(pending, true, rejection);) send(rejection);
  if (!typesSent) send({'U', typesWithoutLayer(whole)});
}

}  // namespace

void runCheckJob(const std::string& modelPath, const cv::dnn::MatShape& userShape, bool explain,
                 RecordSink send) {
  // The library's words are those of its default log level, whatever was set before.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_WARNING);
  Captures captures;
  std::vector<Record> last;
  {
    LibraryWindow window(captures);
    last = check(modelPath, userShape, explain, send, captures);
  }
  for (const Record& record : last) send(record);
  if (!explain || last.empty() || last[0].first != 'F') return;
  send(graphRecord(modelPath));
  if (last[0].second[0] == std::string(1, static_cast<char>(Cause::kNode))) {
    runDiagnosticsPass(modelPath, send);
  }
}

std::string shapeField(const cv::dnn::MatShape& shape) {
  std::string field;
  for (const int dimension : shape) {
    if (!field.empty()) field += ' ';
    field += std::to_string(dimension);
  }
  return field;
}

cv::dnn::MatShape shapeOfField(const std::string& field) {
  cv::dnn::MatShape shape;
  std::istringstream dimensions(field);
  for (int dimension = 0; dimensions >> dimension;) shape.push_back(dimension);
  return shape;
}
