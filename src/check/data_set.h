// A folder of test data in the ONNX layout: input_0, input_1, ... and output_0, output_1, ...,
// each a .pb or a .npy file.
#pragma once

#include <string>
#include <variant>
#include <vector>

// The paths of the inputs and of the outputs, by their numbers.
struct DataFiles {
  std::vector<std::string> inputs, outputs;
};

// The data files of the folder, numbered from 0 without gaps, or why they are not: the path is
// not a folder, a number is missing or given in both formats, there is no input or no output.
// Other files are passed over.
std::variant<DataFiles, std::string> findDataFiles(const std::string& dir);
