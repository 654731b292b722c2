// One tensor of a model's test data, read from either file of the ONNX test-data layout: a
// serialized TensorProto (input_0.pb) or a NumPy array (input_0.npy). Both readers are bounded:
// every length is checked against the file's size before anything is allocated for it, and a
// hostile file ends in a reason.
#pragma once

#include <chrono>
#include <cstdint>
#include <istream>
#include <string>
#include <variant>
#include <vector>

// A tensor's name ("" when the file gives none), its dimensions, its element type by ONNX's name
// ("float", "int64", "bool", ...) and its values in row-major order (none when they were not
// kept).
struct TensorData {
  std::string name;
  std::vector<std::int64_t> shape;
  std::string type;
  std::vector<double> values;
};

// What reading one tensor may spend: whether its values are kept at all (a process that only
// checks a file that another reads keeps none, and reads no more of it than it must), the bytes
// that its values and the data they are decoded from may hold at once, and the moment by which
// reading must end.
struct ReadLimits {
  bool values = true;
  std::uint64_t room = UINT64_MAX;
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// A tensor that its limits stopped: it needs more room, or its time ran out.
enum class PastLimit { kRoom, kTime };

// The tensor, why it cannot be read, or the limit that stopped it.
using TensorRead = std::variant<TensorData, std::string, PastLimit>;

// The TensorProto that the stream holds from its current position to its end. The stream must be
// seekable. Of the typed data fields only the one of the tensor's type is kept, where the type
// comes first, as writers put it. Throws only std::bad_alloc.
TensorRead readTensorProto(std::istream& in, const ReadLimits& limits = {});

// The NumPy array (format 1.0, 2.0 or 3.0) that the stream holds from its current position to its
// end. An array in Fortran order comes back in row-major order.
TensorRead readNpy(std::istream& in, const ReadLimits& limits = {});

// The tensor in the regular file at `path`, read by its extension: ".pb" or ".npy".
TensorRead readTensorFile(const std::string& path, const ReadLimits& limits = {});

// The tensor as the model declares its type: ONNX's test data keep bfloat16 values as the bits of
// a uint16 tensor, which a bfloat16 declaration (ONNX's type 16) reads as bfloat16 values.
void takeAsDeclared(TensorData& tensor, int declaredType);

// The values as the library's float32 input gets them: each converted with saturation, 64-bit and
// uint32 values first saturated to int32 as the library's ONNX importer takes int64 tensors,
// bools 0 or 1.
std::vector<float> libraryInputValues(const TensorData& tensor);
