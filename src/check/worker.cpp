#include "check/worker.h"

#include <opencv2/core/utils/logger.hpp>

#include <iostream>
#include <limits>
#include <sstream>
#include <vector>

#include "check/diagnosis.h"
#include "check/library_window.h"

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
    cv::Mat inputBlob(testInputShape, CV_32F);
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

// Everything up to the outputs, each step reported as it is done; answers the last record.
Record check(const std::string& modelPath, const cv::dnn::MatShape& userShape, RecordSink send,
             Captures& captures) {
  std::vector<std::string> outputNames;
  cv::dnn::MatShape testInputShape = userShape;
  {
    cv::dnn::Net net;
    try {
      net = cv::dnn::readNet(modelPath, "", "");
      if (net.empty()) return {'E', {}};
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
        return {'-', {}};
      }
      if (userShape.empty()) testInputShape = modelInputShapes[0];
      outputNames = net.getUnconnectedOutLayersNames();
    } catch (...) {
      return failed(loadFailureCause(captures.second.str(), std::current_exception()));
    }
    send({'X', {}});
    try {
      return execute(net, testInputShape, outputNames);
    } catch (...) {
      return failed(executionFailureCause(std::current_exception()));
    }
  }
}

}  // namespace

void runCheckJob(const std::string& modelPath, const cv::dnn::MatShape& userShape,
                 RecordSink send) {
  // The library's words are those of its default log level, whatever was set before.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_WARNING);
  Captures captures;
  Record last;
  {
    LibraryWindow window(captures);
    last = check(modelPath, userShape, send, captures);
  }
  if (last.first != '-') send(last);
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
