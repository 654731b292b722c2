// A folder of test data in the ONNX layout: input_0, input_1, ... and output_0, output_1, ...,
// each a .pb or a .npy file; and what the model's outputs are held against: the expected outputs,
// or the shapes that the model's graph declares.
#pragma once

#include <opencv2/dnn.hpp>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "check/comparison.h"
#include "check/findings.h"
#include "check/onnx_graph.h"
#include "check/tensor_file.h"

// The paths of the inputs and of the outputs, by their numbers.
struct DataFiles {
  std::vector<std::string> inputs, outputs;
};

// The data files of the folder, numbered from 0 without gaps, or why they are not: the path is
// not a folder, a number is missing or given in both formats, there is no input or no output.
// Other files are passed over.
std::variant<DataFiles, std::string> findDataFiles(const std::string& dir);

// A data set read and matched against the model's graph: each input file with the graph input
// it is set as (by the tensor's name where it has one of them, otherwise by position), and each
// expected output with the name of the output it is held against (the same way).
struct DataSet {
  std::vector<std::string> inputFiles;
  std::vector<std::string> inputNames;
  std::vector<std::vector<std::int64_t>> inputShapes;
  std::vector<std::string> outputFiles;
  std::vector<std::string> outputNames;
  std::vector<TensorData> expected;
};

// Why a data set cannot be used: the folder, a file that cannot be read (`file`, `detail` says
// why) or holds a tensor the library cannot take, the model's graph that cannot be read, or files
// that do not match the model's inputs or outputs (`count` is the model's).
enum class DataProblemKind {
  kFolder,
  kFile,
  kGraph,
  kInputCount,
  kFileWithoutOutput,
  kOutputWithoutFile,
};
struct DataProblem {
  DataProblemKind kind = DataProblemKind::kFolder;
  std::string file;    // the file's name, or the output's for kOutputWithoutFile
  std::string detail;  // the reader's reason
  size_t count = 0;
  size_t files = 0;
};

std::variant<DataSet, DataProblem> readDataSet(
    const std::string& folder, const std::variant<GraphSignature, std::string>& graph);

// An expected output held against what the library computed: the output (by the data set's name,
// else by position), the file, both shapes, and the comparison; not computed when the library
// gave no such output.
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
