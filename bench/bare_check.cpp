// The library calls of one check and nothing else: load, input shapes, output names, one forward
// pass. The yardstick that the checker's own cost is measured against.
#include <opencv2/dnn.hpp>

#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  cv::dnn::MatShape shape;
  for (int i = 2; i < argc; ++i) shape.push_back(std::atoi(argv[i]));
  try {
    cv::dnn::Net net = cv::dnn::readNet(argv[1], "", "");
    std::vector<cv::dnn::MatShape> layerInputShapes;
    std::vector<cv::dnn::MatShape> modelInputShapes;
    net.getLayerShapes(cv::dnn::MatShape(), 0, layerInputShapes, modelInputShapes);
    const std::vector<std::string> outputNames = net.getUnconnectedOutLayersNames();
    cv::Mat input(shape, CV_32F);
    net.setInput(input, "", 1.0, cv::Scalar(0, 0, 0, 0));
    std::vector<cv::Mat> outputs;
    net.forward(outputs, outputNames);
  } catch (const cv::Exception&) {
    return 1;
  }
  return 0;
}
