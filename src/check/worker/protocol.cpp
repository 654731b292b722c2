#include "check/worker/protocol.h"

#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

namespace {

// The job's kind, beside the findings' kinds.
constexpr unsigned char kJob = 0x80;

// The members of each message, in the order they travel.
// The messages that say all by their kind.
std::tuple<> tied(Loaded&) {
  return {};
}
std::tuple<> tied(EmptyModel&) {
  return {};
}
std::tuple<> tied(Executing&) {
  return {};
}
std::tuple<> tied(DiagnosticsBegin&) {
  return {};
}
auto tied(InputShapes& x) {
  return std::tie(x.shapes);
}
auto tied(OutputTensor& x) {
  return std::tie(x.name, x.shape, x.values);
}
auto tied(Outputs& x) {
  return std::tie(x.outputs);
}
auto tied(CheckFailure& x) {
  return std::tie(x.cause, x.text);
}
auto tied(Description& x) {
  return std::tie(x.text);
}
auto tied(StoppingLayer& x) {
  return std::tie(x.layer, x.inputShapes, x.words);
}
auto tied(ProbableLayer& x) {
  return std::tie(x.layer);
}
auto tied(GraphNode& x) {
  return std::tie(x.name, x.type, x.domain, x.inputs, x.outputs, x.feeders);
}
auto tied(GraphEnd& x) {
  return std::tie(x.error);
}
auto tied(NodeRejection& x) {
  return std::tie(x.node, x.type, x.name, x.domain, x.words, x.withoutLayer);
}
auto tied(LayerTime& x) {
  return std::tie(x.name, x.type, x.milliseconds);
}
auto tied(Benchmark& x) {
  return std::tie(x.passMilliseconds, x.loadMilliseconds, x.threads, x.medianPassLayers, x.flops,
                  x.weightBytes, x.blobBytes, x.peakBytes);
}
auto tied(CheckJob& x) {
  return std::tie(x.modelPath, x.userShape, x.explain, x.inputFiles, x.inputNames, x.inputTypes,
                  x.benchmark, x.memoryBudget);
}

// Numbers are written least significant byte first: lengths, counts, dimensions and values in
// four bytes, indices and measurements (doubles) in eight, truth values and causes in one.
template <typename Number>
void putBytes(std::string& out, Number number, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out += static_cast<char>((static_cast<std::uint64_t>(number) >> (8 * i)) & 0xff);
  }
}

void put(std::string& out, int number) {
  putBytes(out, static_cast<std::uint32_t>(number), 4);
}
void put(std::string& out, float number) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &number, sizeof bits);
  putBytes(out, bits, 4);
}
void put(std::string& out, double number) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &number, sizeof bits);
  putBytes(out, bits, 8);
}
void put(std::string& out, size_t number) {
  putBytes(out, static_cast<std::uint64_t>(number), 8);
}
void put(std::string& out, bool value) {
  out += value ? '\1' : '\0';
}
void put(std::string& out, Cause cause) {
  out += static_cast<char>(cause);
}
void put(std::string& out, std::string& text) {
  putBytes(out, static_cast<std::uint32_t>(text.size()), 4);
  out += text;
}
template <typename Message>
void put(std::string& out, Message& message);
template <typename Item>
void put(std::string& out, std::vector<Item>& items) {
  putBytes(out, static_cast<std::uint32_t>(items.size()), 4);
  for (Item& item : items) put(out, item);
}
template <typename Message>
void put(std::string& out, Message& message) {
  std::apply([&out](auto&... member) { (put(out, member), ...); }, tied(message));
}

// A body being read: every read checks that its bytes are there.
struct Body {
  const std::string& bytes;
  size_t at = 0;
};

bool getBytes(Body& in, std::uint64_t& number, int bytes) {
  if (in.bytes.size() - in.at < static_cast<size_t>(bytes)) return false;
  number = 0;
  for (int i = 0; i < bytes; ++i) {
    number |= std::uint64_t{static_cast<unsigned char>(in.bytes[in.at + i])} << (8 * i);
  }
  in.at += static_cast<size_t>(bytes);
  return true;
}

bool get(Body& in, int& number) {
  std::uint64_t value = 0;
  if (!getBytes(in, value, 4)) return false;
  number = static_cast<int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
  return true;
}
bool get(Body& in, float& number) {
  std::uint64_t value = 0;
  if (!getBytes(in, value, 4)) return false;
  const std::uint32_t bits = static_cast<std::uint32_t>(value);
  std::memcpy(&number, &bits, sizeof number);
  return true;
}
bool get(Body& in, double& number) {
  std::uint64_t bits = 0;
  if (!getBytes(in, bits, 8)) return false;
  std::memcpy(&number, &bits, sizeof number);
  return true;
}
bool get(Body& in, size_t& number) {
  std::uint64_t value = 0;
  if (!getBytes(in, value, 8) || value > SIZE_MAX) return false;
  number = static_cast<size_t>(value);
  return true;
}
bool get(Body& in, bool& flag) {
  std::uint64_t value = 0;
  if (!getBytes(in, value, 1) || value > 1) return false;
  flag = value == 1;
  return true;
}
bool get(Body& in, Cause& cause) {
  std::uint64_t value = 0;
  if (!getBytes(in, value, 1) || value > static_cast<std::uint64_t>(Cause::kNone)) return false;
  cause = static_cast<Cause>(value);
  return true;
}
bool get(Body& in, std::string& text) {
  std::uint64_t size = 0;
  if (!getBytes(in, size, 4) || in.bytes.size() - in.at < size) return false;
  text = in.bytes.substr(in.at, static_cast<size_t>(size));
  in.at += static_cast<size_t>(size);
  return true;
}
template <typename Message>
bool get(Body& in, Message& message);
template <typename Item>
bool get(Body& in, std::vector<Item>& items) {
  std::uint64_t count = 0;
  // Every item takes a byte at least: a count can promise no more than the body holds.
  if (!getBytes(in, count, 4) || count > in.bytes.size() - in.at) return false;
  items.clear();
  for (Item item; items.size() < count; items.push_back(std::move(item))) {
    if (!get(in, item)) return false;
  }
  return true;
}
template <typename Message>
bool get(Body& in, Message& message) {
  return std::apply([&in](auto&... member) { return (get(in, member) && ...); }, tied(message));
}

std::string frame(unsigned char kind, const std::string& body) {
  std::string out(1, static_cast<char>(kind));
  putBytes(out, static_cast<std::uint32_t>(body.size()), 4);
  return out + body;
}

// The finding of kind `kind` (an index of Finding's alternatives) that makes up the whole body.
template <size_t Kind = 0>
std::optional<Finding> decodeFinding(size_t kind, Body& in) {
  if constexpr (Kind < std::variant_size_v<Finding>) {
    if (kind != Kind) return decodeFinding<Kind + 1>(kind, in);
    std::variant_alternative_t<Kind, Finding> finding;
    if (!get(in, finding) || in.at != in.bytes.size()) return std::nullopt;
    return Finding(std::move(finding));
  } else {
    return std::nullopt;
  }
}

}  // namespace

std::string encodeFinding(const Finding& finding) {
  Finding copy = finding;
  std::string body;
  std::visit([&body](auto& message) { put(body, message); }, copy);
  return frame(static_cast<unsigned char>(kindOf(finding)), body);
}

std::string encodeJob(const CheckJob& job) {
  CheckJob copy = job;
  std::string body;
  put(body, copy);
  return frame(kJob, body);
}

void FrameReader::append(const char* data, size_t size) {
  // What was taken goes once it is the larger part, so that the buffer is not moved often.
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(data, size);
}

bool FrameReader::takeFrame(unsigned char& kind, std::string& body) {
  if (buffer_.size() - start_ < 5) return false;
  Body header{buffer_, start_ + 1};
  std::uint64_t size = 0;
  getBytes(header, size, 4);
  if (buffer_.size() - header.at < size) return false;
  kind = static_cast<unsigned char>(buffer_[start_]);
  body = buffer_.substr(header.at, static_cast<size_t>(size));
  start_ = header.at + static_cast<size_t>(size);
  return true;
}

bool FrameReader::take(std::optional<Finding>& finding) {
  unsigned char kind = 0;
  std::string body;
  if (!takeFrame(kind, body)) return false;
  Body in{body};
  finding = decodeFinding(kind, in);
  return true;
}

bool FrameReader::take(std::optional<CheckJob>& job) {
  unsigned char kind = 0;
  std::string body;
  if (!takeFrame(kind, body)) return false;
  Body in{body};
  CheckJob decoded;
  job.reset();
  if (kind == kJob && get(in, decoded) && in.at == body.size()) job = std::move(decoded);
  return true;
}
