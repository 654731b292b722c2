// One tensor of a model's test data, read from either file of the ONNX test-data layout: a
// serialized TensorProto (input_0.pb) or a NumPy array (input_0.npy). Both readers are bounded:
// every length is checked against the file's size before anything is allocated for it, and a
// hostile file ends in a reason.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <variant>
#include <vector>

// A tensor's name ("" when the file gives none), its dimensions, its element type by ONNX's name
// ("float", "int64", "bool", ...) and its values in row-major order.
struct TensorData {
  std::string name;
  std::vector<std::int64_t> shape;
  std::string type;
  std::vector<double> values;
};

// The TensorProto that the stream holds from its current position to its end, or why it cannot
// be read. The stream must be seekable. Never throws.
std::variant<TensorData, std::string> readTensorProto(std::istream& in);

// The NumPy array (format 1.0, 2.0 or 3.0) that the stream holds from its current position to its
// end, or why it cannot be read. An array in Fortran order comes back in row-major order.
std::variant<TensorData, std::string> readNpy(std::istream& in);

// The tensor in the regular file at `path`, read by its extension: ".pb" or ".npy".
std::variant<TensorData, std::string> readTensorFile(const std::string& path);

// The tensor as the model declares its type: ONNX's test data keep bfloat16 values as the bits of
// a uint16 tensor, which a bfloat16 declaration (ONNX's type 16) reads as bfloat16 values.
void takeAsDeclared(TensorData& tensor, int declaredType);

// The values as the library's float32 input gets them: each converted with saturation, 64-bit and
// uint32 values first saturated to int32 as the library's ONNX importer takes int64 tensors,
// bools 0 or 1.
std::vector<float> libraryInputValues(const TensorData& tensor);
