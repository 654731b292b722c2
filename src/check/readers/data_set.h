// A folder of test data in the ONNX layout: input_0, input_1, ... and output_0, output_1, ...,
// each a .pb or a .npy file, read and matched against the inputs and outputs that the model's
// graph declares.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "check/readers/onnx_graph.h"
#include "check/readers/tensor_file.h"

// The paths of the inputs and of the outputs, by their numbers.
struct DataFiles {
  std::vector<std::string> inputs, outputs;
};

// The data files of the folder, numbered from 0 without gaps, or why they are not: the path is
// not a folder, a number is missing or given in both formats, there is no input or no output.
// Other files are passed over.
std::variant<DataFiles, std::string> findDataFiles(const std::string& folder);

// A data set read and matched against the model's graph: each input file with the graph input
// it is set as (by the tensor's name where it has one of them, otherwise by position), and each
// expected output with the name of the output it is held against (the same way), read as the
// graph declares its type; every input and output of the graph has exactly one file.
struct DataSet {
  std::vector<std::string> inputFiles;
  std::vector<std::string> inputNames;
  std::vector<std::vector<std::int64_t>> inputShapes;
  std::vector<int> inputTypes;  // as the graph declares them, for takeAsDeclared
  std::vector<std::string> outputFiles;
  std::vector<std::string> outputNames;
  std::vector<TensorData> expected;
};

// Why a data set cannot be used: the folder, a file that cannot be read (`file`, `detail` says
// why) or holds a tensor the library cannot take, the model's graph that cannot be read, files
// that do not match the model's inputs or outputs (`count` is the model's), or two files that
// fall on the same input or output (`detail` the first, `file` the second, `tensor` its name),
// which would leave another one without a file; or reading that went past its limits: the
// expected values of `file` need more memory than is left for them, or the time ran out.
enum class DataProblemKind {
  kFolder,
  kFile,
  kGraph,
  kInputCount,
  kFileWithoutOutput,
  kOutputWithoutFile,
  kSameInput,
  kSameOutput,
  kMemory,
  kTimeLimit,
};
struct DataProblem {
  DataProblemKind kind = DataProblemKind::kFolder;
  std::string file;    // the file's name, or the output's for kOutputWithoutFile
  std::string detail;  // the reader's reason
  size_t count = 0;
  size_t files = 0;
  std::string tensor = {};  // for kSameInput and kSameOutput
};

// The input files are only checked: the worker reads their values. The expected outputs' values
// are kept within `limits.room` bytes in all, and reading ends by `limits.deadline`.
std::variant<DataSet, DataProblem> readDataSet(
    const std::string& folder, const std::variant<GraphSignature, std::string>& graph,
    const ReadLimits& limits = {});
