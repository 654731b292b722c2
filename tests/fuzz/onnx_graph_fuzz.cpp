// Mutated models for the graph reader, which must answer nodes or a reason whatever the bytes. With
// -fsanitize=fuzzer -DVERASKO_LIBFUZZER libFuzzer drives it; otherwise main() mutates each sample
// file, or each regular file of a sample folder up to 1 MiB, a fixed number of times, always the
// same way.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>

#include "check/onnx_graph.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  const auto read = readGraphNodes(in);
  const GraphNodes* nodes = std::get_if<GraphNodes>(&read);
  if (!nodes) return 0;
  // Some nodes rejected, some of them of a type without a layer: the walk on whatever graph.
  std::vector<RejectedNode> rejected;
  for (size_t node = 0; node < nodes->size(); ++node) {
    const GraphNode& graphNode = (*nodes)[node];
    if (graphNode.feeders.size() > 0 && graphNode.feeders.back() >= node) abort();
    if (graphNode.name.size() % 2 == 0) rejected.emplace_back(node, graphNode.type.size() % 3 == 0);
  }
  if (classifyRejections(*nodes, rejected).size() != rejected.size()) abort();
  return 0;
}

#ifndef VERASKO_LIBFUZZER
namespace {

namespace fs = std::filesystem;

// One to three of: a bit flipped, a truncation, a byte repeated, the length after a
// length-delimited tag replaced by a hostile one.
std::string mutate(std::string bytes, std::mt19937& random) {
  for (int count = 1 + random() % 3; count > 0 && !bytes.empty(); --count) {
    const size_t at = random() % bytes.size();
    switch (random() % 4) {
      case 0: bytes[at] = static_cast<char>(bytes[at] ^ (1 << random() % 8)); break;
      case 1: bytes.resize(at); break;
      case 2: bytes.insert(at, 1 + random() % 8, bytes[at]); break;
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
      for (int n = 0; n <= kMutationsPerSeed; ++n) {
        const std::string bytes = n == 0 ? sample : mutate(sample, random);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      }
    }
  }
  std::cout << seeds << " seeds, " << seeds * kMutationsPerSeed << " mutations\n";
  return seeds > 0 ? 0 : 1;
}
#endif
