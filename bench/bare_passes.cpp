// Bare timed passes: load, the input shapes, one forward pass to warm up, then N more on the same
// input of zeros, each timed alone; prints the median (the middle pass, the faster of two) in
// milliseconds. The yardstick for the checker's --benchmark figures.
//
//     verasko_bare_passes MODEL N DIMENSION...
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s MODEL N DIMENSION...\n", argv[0]);
    return 2;
  }
  const int passes = std::atoi(argv[2]);
  cv::dnn::MatShape shape;
  for (int i = 3; i < argc; ++i) shape.push_back(std::atoi(argv[i]));
  if (passes < 1) return 2;
  try {
    cv::dnn::Net net = cv::dnn::readNet(argv[1], "", "");
    // The calls of the check before its pass, which set the network up as the check does.
    std::vector<cv::dnn::MatShape> layerInputShapes;
    std::vector<cv::dnn::MatShape> modelInputShapes;
    net.getLayerShapes(cv::dnn::MatShape(), 0, layerInputShapes, modelInputShapes);
    const std::vector<std::string> outputNames = net.getUnconnectedOutLayersNames();
    cv::Mat input(shape, CV_32F, cv::Scalar(0));
    net.setInput(input, "", 1.0, cv::Scalar(0, 0, 0, 0));
    std::vector<cv::Mat> outputs;
    net.forward(outputs, outputNames);
    std::vector<double> times;
    for (int pass = 0; pass < passes; ++pass) {
      const auto start = std::chrono::steady_clock::now();
      net.forward(outputs, outputNames);
      times.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%.3f\n", times[(times.size() - 1) / 2]);
  } catch (const cv::Exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
