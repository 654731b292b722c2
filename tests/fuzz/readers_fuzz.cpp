// Mutated files for the bounded readers, which must answer or give a reason whatever the bytes.
// Each sample file (or each file of a sample folder up to 1 MiB) is mutated a fixed number of
// times, always the same way, and read by its extension: ".pb" as a TensorProto, ".npy" as a
// NumPy array, anything else as a model's graph and signature.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>

#include "check/readers/onnx_graph.h"
#include "check/readers/tensor_file.h"

namespace {

// The graph readers must only answer (the sanitizers watch them); a tensor's values agree with its
// shape, also as the library takes them.
void checkBytes(const std::string& bytes, const std::string& extension) {
  std::istringstream in(bytes);
  if (extension != ".pb" && extension != ".npy") {
    readGraphNodes(in);
    in.clear();
    in.str(bytes);
    readGraphSignature(in);
    return;
  }
  const TensorRead read = extension == ".pb" ? readTensorProto(in) : readNpy(in);
  if (const TensorData* tensor = std::get_if<TensorData>(&read)) {
    std::uint64_t count = 1;
    for (std::int64_t dimension : tensor->shape) {
      if (dimension < 0) abort();
      count *= static_cast<std::uint64_t>(dimension);
    }
    if (tensor->values.size() != count || libraryInputValues(*tensor).size() != count) abort();
  }
}

// One to three of: a bit flipped, a truncation, a byte repeated, bytes overwritten with 0xff, the
// length after a length-delimited tag replaced by a hostile one.
std::string mutate(std::string bytes, std::mt19937& random) {
  for (int count = 1 + random() % 3; count > 0 && !bytes.empty(); --count) {
    const size_t at = random() % bytes.size();
    switch (random() % 5) {
      case 0: bytes[at] = static_cast<char>(bytes[at] ^ (1 << random() % 8)); break;
      case 1: bytes.resize(at); break;
      case 2: bytes.insert(at, 1 + random() % 8, bytes[at]); break;
      case 3: bytes.replace(at, 1 + random() % 4, 1 + random() % 4, '\xff'); break;
      default: {
        size_t tag = at;
        while (tag < bytes.size() && (bytes[tag] & 0x87) != 2) ++tag;
        size_t end = tag + 1;
        while (end < bytes.size() && (bytes[end] & 0x80)) ++end;
        if (end >= bytes.size()) break;
        std::uint64_t value =
            random() % 2 ? random() % (bytes.size() + 2) : std::uint64_t{random()} << random() % 40;
        std::string length;
        for (; value >= 0x80; value >>= 7) length += static_cast<char>(value | 0x80);
        bytes.replace(tag + 1, end - tag, length + static_cast<char>(value));
      }
    }
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  constexpr int kMutationsPerSeed = 2000;
  std::mt19937 random(20240607);
  int seeds = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> files{argv[i]};
    const bool folder = fs::is_directory(argv[i]);
    if (folder) files.assign(fs::directory_iterator(argv[i]), {});
    for (const fs::path& file : files) {
      if (std::error_code error; !fs::is_regular_file(file, error)) continue;
      // A folder's large models (tens of MiB of names) would take minutes and find nothing more.
      if (folder && fs::file_size(file) > (1 << 20)) continue;
      std::ifstream in(file, std::ios::binary);
      const std::string sample{std::istreambuf_iterator<char>(in), {}};
      ++seeds;
      const std::string extension = file.extension().string();
      for (int n = 0; n <= kMutationsPerSeed; ++n) {
        checkBytes(n == 0 ? sample : mutate(sample, random), extension);
      }
    }
  }
  std::cout << seeds << " seeds, " << seeds * kMutationsPerSeed << " mutations\n";
  return seeds > 0 ? 0 : 1;
}
