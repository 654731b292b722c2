// The TensorProto reader takes the fields of a tensor (name, dims, data type and its data, raw or
// in the typed fields, packed or not) through the shared wire routines; the NumPy reader parses
// the header's small dictionary itself. Both count the values that the dimensions make, with
// overflow checks, and take a file only when its data holds exactly that many.
#include "check/readers/tensor_file.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <stdexcept>

#include "check/readers/path.h"
#include "check/readers/protobuf_wire.h"

namespace {

constexpr size_t kMaxDimensions = 32;

// The element types that the library takes: ONNX's number and name, the size of one value, and
// its kind: 'f' floating point, 'h' float16, 'i' signed, 'u' unsigned, 'b' bool.
struct ElementType {
  int onnx;
  const char* name;
  int bytes;
  char kind;
};

constexpr ElementType kTaken[] = {
    {1, "float", 4, 'f'},   {2, "uint8", 1, 'u'},   {3, "int8", 1, 'i'},
    {4, "uint16", 2, 'u'},  {5, "int16", 2, 'i'},   {6, "int32", 4, 'i'},
    {7, "int64", 8, 'i'},   {9, "bool", 1, 'b'},    {10, "float16", 2, 'h'},
    {11, "double", 8, 'f'}, {12, "uint32", 4, 'u'}, {13, "uint64", 8, 'u'}};

// ONNX's names of the other element types, by number.
const std::map<int, const char*> kOtherTypes = {
    {8, "string"},        {14, "complex64"},      {15, "complex128"}, {16, "bfloat16"},
    {17, "float8e4m3fn"}, {18, "float8e4m3fnuz"}, {19, "float8e5m2"}, {20, "float8e5m2fnuz"},
    {21, "uint4"},        {22, "int4"},           {23, "float4e2m1"}};

// ONNX's number of bfloat16, which its test data keep as the bits of a uint16 tensor.
constexpr int kBfloat16 = 16;

// The TensorProto fields that the reader takes.
constexpr std::uint64_t kDims = 1, kDataType = 2, kFloatData = 4, kInt32Data = 5, kInt64Data = 7;
constexpr std::uint64_t kName = 8, kRawData = 9, kDoubleData = 10, kUint64Data = 11;
constexpr std::uint64_t kExternalData = 13, kDataLocation = 14;
// A tensor's segment, which no test data has; a sequence's or optional's elements in their files.
constexpr std::uint64_t kSegment = 3;

[[noreturn]] void refuse(const std::string& reason) {
  throw std::runtime_error(reason);
}

[[noreturn]] void refuseType(const std::string& name) {
  refuse("The element type " + name + " is not one that the library takes");
}

const ElementType& takenType(const std::string& name) {
  for (const ElementType& type : kTaken) {
    if (name == type.name) return type;
  }
  refuseType(name);
}

const ElementType& onnxType(std::uint64_t number) {
  for (const ElementType& type : kTaken) {
    if (number == static_cast<std::uint64_t>(type.onnx)) return type;
  }
  if (number == 0) refuse("The tensor has no element type");
  const auto other = number < 64 ? kOtherTypes.find(static_cast<int>(number)) : kOtherTypes.end();
  refuseType(other != kOtherTypes.end() ? other->second : std::to_string(number));
}

// The number of values that the dimensions make.
std::uint64_t valueCount(const std::vector<std::int64_t>& shape) {
  std::uint64_t count = 1;
  for (std::int64_t dimension : shape) {
    if (dimension < 0) refuse("A dimension is negative");
    const auto size = static_cast<std::uint64_t>(dimension);
    if (size != 0 && count > UINT64_MAX / size) refuse("The dimensions make too many values");
    count *= size;
  }
  return count;
}

double halfValue(std::uint64_t bits) {
  const int exponent = static_cast<int>(bits >> 10 & 0x1f);
  const double fraction = static_cast<double>(bits & 0x3ff);
  double value = exponent == 0    ? std::ldexp(fraction, -24)
                 : exponent == 31 ? (fraction != 0 ? NAN : INFINITY)
                                  : std::ldexp(fraction + 1024, exponent - 25);
  return bits >> 15 & 1 ? -value : value;
}

// The value whose bit pattern is the low `type.bytes` bytes of `bits`.
double valueOfBits(std::uint64_t bits, const ElementType& type) {
  const int width = type.bytes * 8;
  if (width < 64) bits &= (std::uint64_t{1} << width) - 1;
  switch (type.kind) {
    case 'b': return bits != 0 ? 1 : 0;
    case 'u': return static_cast<double>(bits);
    case 'h': return halfValue(bits);
    case 'i': {
      const std::uint64_t sign = std::uint64_t{1} << (width - 1);
      return static_cast<double>(static_cast<std::int64_t>((bits ^ sign) - sign));
    }
    default:
      if (type.bytes == 4) {
        float value;
        const auto narrow = static_cast<std::uint32_t>(bits);
        std::memcpy(&value, &narrow, sizeof value);
        return value;
      } else {
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
      }
  }
}

// The limits as one read spends them: the room left, and the values read since the clock was
// last looked at.
class Spending {
 public:
  explicit Spending(const ReadLimits& limits) : limits_(limits) {}

  bool keepsValues() const {
    return limits_.values;
  }

  // Takes `bytes` from the room, or stops the read.
  void charge(std::uint64_t bytes) {
    if (bytes > limits_.room) throw PastLimit::kRoom;
    limits_.room -= bytes;
  }

  // Counts one more value read; now and then stops the read when its time has run out.
  void tick() {
    constexpr std::uint64_t kBetweenLooks = 64 * 1024;
    if (++sinceLook_ < kBetweenLooks) return;
    sinceLook_ = 0;
    if (std::chrono::steady_clock::now() > limits_.deadline) throw PastLimit::kTime;
  }

 private:
  ReadLimits limits_;
  std::uint64_t sinceLook_ = 0;
};

// Refuses data of `bytes` bytes that do not hold exactly `count` values of the type.
void checkDataSize(std::uint64_t bytes, std::uint64_t count, const ElementType& type) {
  const auto size = static_cast<std::uint64_t>(type.bytes);
  if (bytes % size != 0 || bytes / size != count) {
    refuse("The dimensions make " + std::to_string(count) + " values, but the data has " +
           std::to_string(bytes) + " bytes");
  }
}

// Room for the `count` values of a tensor, or std::bad_alloc where there can be none.
void reserveValues(std::vector<double>& values, std::uint64_t count) {
  if (count > values.max_size()) throw std::bad_alloc();
  values.reserve(static_cast<size_t>(count));
}

// Appends the values packed in `size` bytes, a whole number of them.
void unpack(const char* bytes, size_t size, const ElementType& type, bool bigEndian,
            std::vector<double>& values, Spending& spending) {
  const auto width = static_cast<size_t>(type.bytes);
  for (size_t at = 0; at + width <= size; at += width) {
    std::uint64_t bits = 0;
    for (size_t i = 0; i < width; ++i) {
      const auto byte = static_cast<unsigned char>(bytes[bigEndian ? at + i : at + width - 1 - i]);
      bits = bits << 8 | byte;
    }
    values.push_back(valueOfBits(bits, type));
    spending.tick();
  }
}

// One value of a typed data field, of the wire type that the field has unpacked.
double readTypedValue(WireSource& source, std::uint64_t field, std::uint64_t end) {
  switch (field) {
    case kFloatData: return valueOfBits(readFixed32(source, end), kTaken[0]);
    case kDoubleData: return valueOfBits(readFixed64(source, end), kTaken[9]);
    case kInt64Data: return static_cast<double>(static_cast<std::int64_t>(readVarint(source, end)));
    case kInt32Data: {
      // An int32 is written sign-extended to 64 bits; its low 32 bits are the value.
      const auto low = static_cast<std::uint32_t>(readVarint(source, end));
      return static_cast<double>(static_cast<std::int32_t>(low));
    }
    default: return static_cast<double>(readVarint(source, end));
  }
}

int unpackedWireType(std::uint64_t field) {
  return field == kFloatData ? 5 : field == kDoubleData ? 1 : 0;
}

void addDimension(std::vector<std::int64_t>& shape, std::int64_t dimension) {
  if (shape.size() >= kMaxDimensions) refuse("The tensor has more than 32 dimensions");
  shape.push_back(dimension);
}

// The typed field that holds the values of `type`.
std::uint64_t typedField(const ElementType& type) {
  switch (type.onnx) {
    case 1: return kFloatData;
    case 7: return kInt64Data;
    case 11: return kDoubleData;
    case 12:
    case 13: return kUint64Data;
    default: return kInt32Data;
  }
}

TensorData readTensorFields(WireSource& source, std::uint64_t size, Spending& spending) {
  TensorData tensor;
  std::uint64_t dataType = 0;
  std::string raw;
  std::uint64_t rawBytes = 0;
  bool hasRaw = false;
  // Each typed field's values as read, and how many it has; a field that the tensor's type does
  // not use is only counted, once the type is known.
  std::map<std::uint64_t, std::vector<double>> typed;
  std::map<std::uint64_t, std::uint64_t> typedCount;
  const auto isTyped = [](std::uint64_t field) {
    return field == kFloatData || field == kInt32Data || field == kInt64Data ||
           field == kDoubleData || field == kUint64Data;
  };
  const auto takeTyped = [&](std::uint64_t field, std::uint64_t end) {
    const double value = readTypedValue(source, field, end);
    ++typedCount[field];
    spending.tick();
    if (!spending.keepsValues() || (dataType != 0 && field != typedField(onnxType(dataType)))) {
      return;
    }
    spending.charge(sizeof(double));
    typed[field].push_back(value);
  };
  readFields(
      source, size,
      [&](std::uint64_t field, std::uint64_t end) {
        if (field == kName) {
          tensor.name = readString(source, end);
        } else if (field == kRawData) {
          hasRaw = true;
          rawBytes = end - source.offset;
          if (spending.keepsValues()) {
            spending.charge(rawBytes);
            raw = readString(source, end);
          } else {
            skip(source, rawBytes, end);
          }
        } else if (field == kDims) {
          while (source.offset < end) {
            addDimension(tensor.shape, static_cast<std::int64_t>(readVarint(source, end)));
          }
        } else if (isTyped(field)) {
          while (source.offset < end) takeTyped(field, end);
        } else if (field == kSegment) {
          refuse("The file holds a sequence, an optional or part of a tensor, not a tensor");
        } else if (field == kExternalData) {
          refuse("The tensor's data is in an external file");
        } else {
          return false;
        }
        return true;
      },
      [&](std::uint64_t field, int wireType) {
        if (field == kDims && wireType == 0) {
          addDimension(tensor.shape, static_cast<std::int64_t>(readVarint(source, size)));
        } else if (field == kDataType && wireType == 0) {
          dataType = readVarint(source, size);
        } else if (field == kDataLocation && wireType == 0) {
          if (readVarint(source, size) == 1) refuse("The tensor's data is in an external file");
        } else if (isTyped(field) && wireType == unpackedWireType(field)) {
          takeTyped(field, size);
        } else {
          return false;
        }
        return true;
      });
  const ElementType& type = onnxType(dataType);
  tensor.type = type.name;
  const std::uint64_t count = valueCount(tensor.shape);
  if (hasRaw) {
    checkDataSize(rawBytes, count, type);
    if (spending.keepsValues()) {
      spending.charge(count * sizeof(double));
      reserveValues(tensor.values, count);
      unpack(raw.data(), raw.size(), type, false, tensor.values, spending);
    }
    return tensor;
  }
  const std::uint64_t field = typedField(type);
  if (typedCount[field] != count) {
    refuse("The dimensions make " + std::to_string(count) + " values, but the data has " +
           std::to_string(typedCount[field]));
  }
  tensor.values = std::move(typed[field]);
  if (field == kInt32Data) {
    // Narrower types keep their bit pattern, float16's too, in the low bits of an int32.
    for (double& value : tensor.values) {
      value = valueOfBits(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)), type);
    }
  }
  return tensor;
}

// The NumPy header's dictionary: its text and the position of the parser in it.
struct Header {
  const std::string& text;
  size_t at = 0;
};

[[noreturn]] void refuseHeader(const Header& header) {
  refuse("The array's header cannot be read at character " + std::to_string(header.at));
}

void skipBlanks(Header& header) {
  while (header.at < header.text.size() &&
         std::isspace(static_cast<unsigned char>(header.text[header.at]))) {
    ++header.at;
  }
}

// Skips blanks and then takes `token` if it comes next.
bool take(Header& header, char token) {
  skipBlanks(header);
  if (header.at >= header.text.size() || header.text[header.at] != token) return false;
  ++header.at;
  return true;
}

std::string quoted(Header& header) {
  skipBlanks(header);
  const char quote = header.at < header.text.size() ? header.text[header.at] : '\0';
  if (quote != '\'' && quote != '"') refuseHeader(header);
  const size_t end = header.text.find(quote, header.at + 1);
  if (end == std::string::npos) refuseHeader(header);
  std::string text = header.text.substr(header.at + 1, end - header.at - 1);
  header.at = end + 1;
  return text;
}

bool truth(Header& header) {
  skipBlanks(header);
  for (const char* word : {"False", "True"}) {
    if (header.text.compare(header.at, std::strlen(word), word) == 0) {
      header.at += std::strlen(word);
      return word[0] == 'T';
    }
  }
  refuseHeader(header);
}

std::vector<std::int64_t> shapeTuple(Header& header) {
  std::vector<std::int64_t> shape;
  if (!take(header, '(')) refuseHeader(header);
  while (!take(header, ')')) {
    if (!shape.empty() && !take(header, ',')) refuseHeader(header);
    if (take(header, ')')) break;
    if (take(header, '-')) refuse("A dimension is negative");
    std::int64_t dimension = 0;
    const size_t start = header.at;
    for (; header.at < header.text.size() &&
           std::isdigit(static_cast<unsigned char>(header.text[header.at]));
         ++header.at) {
      if (dimension > (INT64_MAX - 9) / 10) refuse("A dimension is too large");
      dimension = dimension * 10 + (header.text[header.at] - '0');
    }
    if (header.at == start) refuseHeader(header);
    if (shape.size() >= kMaxDimensions) refuse("The array has more than 32 dimensions");
    shape.push_back(dimension);
  }
  return shape;
}

// The element type that a descr such as "<f4" names, and whether its bytes are big-endian.
const ElementType& npyType(const std::string& descr, bool& bigEndian) {
  static const std::map<std::string, const char*> kNames = {
      {"b1", "bool"},      {"i1", "int8"},        {"u1", "uint8"},  {"i2", "int16"},
      {"u2", "uint16"},    {"i4", "int32"},       {"u4", "uint32"}, {"i8", "int64"},
      {"u8", "uint64"},    {"f2", "float16"},     {"f4", "float"},  {"f8", "double"},
      {"c8", "complex64"}, {"c16", "complex128"}, {"O", "object"},  {"f16", "float128"}};
  const bool ordered = !descr.empty() && std::strchr("<>|=", descr[0]) != nullptr;
  bigEndian = ordered && descr[0] == '>';
  const std::string code = ordered ? descr.substr(1) : descr;
  const auto name = kNames.find(code);
  if (name != kNames.end()) return takenType(name->second);
  if (!code.empty() && std::strchr("USa", code[0])) refuseType("string");
  const bool printable = code.size() <= 16 && std::all_of(code.begin(), code.end(), [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) || c == '[';
                         });
  refuseType(printable ? "'" + descr + "'" : "of the array");
}

TensorData readNpyBytes(std::istream& in, std::uint64_t size, Spending& spending) {
  std::streambuf& buffer = *in.rdbuf();
  const auto readInto = [&](std::uint64_t at, std::uint64_t count, char* bytes) {
    if (count > size - at) refuse("The file ends early at byte " + std::to_string(size));
    if (count > 0 && buffer.sgetn(bytes, static_cast<std::streamsize>(count)) !=
                         static_cast<std::streamsize>(count)) {
      refuse("The file ends early at byte " + std::to_string(at));
    }
  };
  const auto read = [&](std::uint64_t at, std::uint64_t count) {
    if (count > size - at) refuse("The file ends early at byte " + std::to_string(size));
    std::string bytes(static_cast<size_t>(count), '\0');
    readInto(at, count, &bytes[0]);
    return bytes;
  };
  const std::string magic = read(0, 8);
  if (magic.compare(0, 6, "\x93NUMPY") != 0) refuse("The file is not a NumPy array");
  const int major = static_cast<unsigned char>(magic[6]);
  if (major < 1 || major > 3 || magic[7] != 0) {
    refuse("The array's format " + std::to_string(major) + "." +
           std::to_string(static_cast<unsigned char>(magic[7])) + " is not 1.0, 2.0 or 3.0");
  }
  const std::uint64_t lengthBytes = major == 1 ? 2 : 4;
  const std::string lengthText = read(8, lengthBytes);
  std::uint64_t length = 0;
  for (size_t i = lengthBytes; i-- > 0;) {
    length = length << 8 | static_cast<unsigned char>(lengthText[i]);
  }
  const std::string text = read(8 + lengthBytes, length);
  Header header{text};
  std::map<std::string, bool> seen;
  std::string descr;
  bool fortranOrder = false;
  TensorData tensor;
  if (!take(header, '{')) refuseHeader(header);
  while (!take(header, '}')) {
    if (!seen.empty() && !take(header, ',')) refuseHeader(header);
    if (take(header, '}')) break;
    const std::string key = quoted(header);
    if (!take(header, ':')) refuseHeader(header);
    if (key == "descr") {
      skipBlanks(header);
      if (header.at < text.size() && text[header.at] == '[') {
        refuse("The array's elements are records, which the library does not take");
      }
      descr = quoted(header);
    } else if (key == "fortran_order") {
      fortranOrder = truth(header);
    } else if (key == "shape") {
      tensor.shape = shapeTuple(header);
    } else {
      refuse("The array's header has an unknown key");
    }
    seen[key] = true;
  }
  skipBlanks(header);
  if (header.at != text.size()) refuseHeader(header);
  for (const char* key : {"descr", "fortran_order", "shape"}) {
    if (!seen[key]) refuse(std::string("The array's header has no '") + key + "'");
  }
  bool bigEndian = false;
  const ElementType& type = npyType(descr, bigEndian);
  tensor.type = type.name;
  const std::uint64_t count = valueCount(tensor.shape);
  const std::uint64_t dataStart = 8 + lengthBytes + length;
  const std::uint64_t dataBytes = size - dataStart;
  checkDataSize(dataBytes, count, type);
  if (!spending.keepsValues()) return tensor;
  const bool reordered = fortranOrder && tensor.shape.size() > 1;
  spending.charge(count * sizeof(double) * (reordered ? 2 : 1));
  reserveValues(tensor.values, count);
  // The data in pieces of whole values, each decoded as it comes.
  const std::uint64_t piece = static_cast<std::uint64_t>(type.bytes) * 64 * 1024;
  std::string bytes(static_cast<size_t>(std::min(piece, dataBytes)), '\0');
  for (std::uint64_t at = 0; at < dataBytes; at += piece) {
    const std::uint64_t length = std::min(piece, dataBytes - at);
    readInto(dataStart + at, length, &bytes[0]);
    unpack(bytes.data(), static_cast<size_t>(length), type, bigEndian, tensor.values, spending);
  }
  if (reordered) {
    // The first index varies fastest in the file: walk the row-major indices and follow them
    // there.
    const size_t rank = tensor.shape.size();
    std::vector<std::uint64_t> stride(rank), index(rank, 0);
    std::uint64_t step = 1;
    for (size_t k = 0; k < rank; ++k) {
      stride[k] = step;
      step *= static_cast<std::uint64_t>(tensor.shape[k]);
    }
    std::vector<double> rowMajor;
    rowMajor.reserve(tensor.values.size());
    std::uint64_t at = 0;
    for (size_t i = 0; i < tensor.values.size(); ++i) {
      rowMajor.push_back(tensor.values[static_cast<size_t>(at)]);
      for (size_t k = rank; k-- > 0;) {
        if (++index[k] < static_cast<std::uint64_t>(tensor.shape[k])) {
          at += stride[k];
          break;
        }
        at -= stride[k] * (index[k] - 1);
        index[k] = 0;
      }
    }
    tensor.values = std::move(rowMajor);
  }
  return tensor;
}

template <typename Read>
TensorRead answer(std::istream& in, const ReadLimits& limits, Read read) {
  try {
    std::uint64_t size = 0;
    if (!sizeOfRest(in, size)) return std::string("The file's size cannot be told");
    Spending spending(limits);
    return read(size, spending);
  } catch (PastLimit past) {
    return past;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    return std::string(error.what());
  } catch (...) {
    return std::string("The tensor could not be read");
  }
}

}  // namespace

TensorRead readTensorProto(std::istream& in, const ReadLimits& limits) {
  return answer(in, limits, [&](std::uint64_t size, Spending& spending) {
    // What is kept beside the values is the name and the raw data, both within the file.
    WireSource source{*in.rdbuf(), 0, 2 * size + 1024, "The tensor is too large"};
    return readTensorFields(source, size, spending);
  });
}

TensorRead readNpy(std::istream& in, const ReadLimits& limits) {
  return answer(in, limits, [&](std::uint64_t size, Spending& spending) {
    return readNpyBytes(in, size, spending);
  });
}

TensorRead readTensorFile(const std::string& path, const ReadLimits& limits) {
  const std::filesystem::path filePath = pathOf(path.c_str());
  std::string extension = filePath.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension != ".pb" && extension != ".npy") return std::string("The file is not .pb or .npy");
  std::error_code error;
  if (!std::filesystem::is_regular_file(filePath, error)) return std::string("It is not a file");
  std::ifstream file(filePath, std::ios::binary);
  if (!file) return std::string("The file cannot be opened");
  return extension == ".pb" ? readTensorProto(file, limits) : readNpy(file, limits);
}

void takeAsDeclared(TensorData& tensor, int declaredType) {
  if (declaredType != kBfloat16 || tensor.type != "uint16") return;
  for (double& value : tensor.values) {
    const auto bits = static_cast<std::uint32_t>(value) << 16;
    float number;
    std::memcpy(&number, &bits, sizeof number);
    value = number;
  }
  tensor.type = "bfloat16";
}

std::vector<float> libraryInputValues(const TensorData& tensor) {
  const bool int64 = tensor.type == "int64" || tensor.type == "uint32" || tensor.type == "uint64";
  std::vector<float> values;
  values.reserve(tensor.values.size());
  for (double value : tensor.values) {
    if (int64) value = std::min<double>(std::max<double>(value, INT_MIN), INT_MAX);
    // A value that rounds past FLT_MAX is infinite, as the conversion gives it.
    if (std::isnan(value) || std::fabs(value) < 0x1.ffffffp+127) {
      values.push_back(static_cast<float>(value));
    } else {
      values.push_back(std::copysign(HUGE_VALF, static_cast<float>(value)));
    }
  }
  return values;
}
