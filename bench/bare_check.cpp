// The library calls of one check and nothing else: load, input shapes, output names, one forward
// pass on zeros. The yardstick that the checker's own cost is measured against; with --passes N,
// the yardstick of --benchmark: N more passes on the same input, each timed alone, and their
// median (the middle pass, the faster of two) printed in milliseconds.
//
//     verasko_bare_check MODEL [--passes N] DIMENSION...
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int first = 2;
  int passes = 0;
  if (argc > 3 && std::strcmp(argv[2], "--passes") == 0) {
    passes = std::atoi(argv[3]);
    first = 4;
    if (passes < 1) return 2;
  }
  cv::dnn::MatShape shape;
  for (int i = first; i < argc; ++i) shape.push_back(std::atoi(argv[i]));
  try {
    cv::dnn::Net net = cv::dnn::readNet(argv[1], "", "");
    std::vector<cv::dnn::MatShape> layerInputShapes;
    std::vector<cv::dnn::MatShape> modelInputShapes;
    net.getLayerShapes(cv::dnn::MatShape(), 0, layerInputShapes, modelInputShapes);
    const std::vector<std::string> outputNames = net.getUnconnectedOutLayersNames();
    cv::Mat input(shape, CV_32F, cv::Scalar(0));
    net.setInput(input, "", 1.0, cv::Scalar(0, 0, 0, 0));
    std::vector<cv::Mat> outputs;
    net.forward(outputs, outputNames);
    if (passes == 0) return 0;
    std::vector<double> times;
    for (int pass = 0; pass < passes; ++pass) {
      const auto start = std::chrono::steady_clock::now();
      net.forward(outputs, outputNames);
      const auto end = std::chrono::steady_clock::now();
      times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%.3f\n", times[(times.size() - 1) / 2]);
  } catch (const cv::Exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
