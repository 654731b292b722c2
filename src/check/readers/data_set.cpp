// The folder's entries are taken by name alone: "input_<n>.pb" or ".npy", <n> a decimal number
// without leading zeros, and the same for "output_"; a file that cannot be read is the tensor
// reader's to refuse.
#include "check/readers/data_set.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <new>
#include <optional>

#include "check/readers/path.h"

namespace {

namespace fs = std::filesystem;

// The files of one kind by number: each number's file names.
using Numbered = std::map<unsigned long, std::vector<std::string>>;

// Takes `name` into `files` when it is "<prefix><n>.pb" or "<prefix><n>.npy".
void take(const std::string& name, const std::string& prefix, Numbered& files) {
  if (name.compare(0, prefix.size(), prefix) != 0) return;
  const size_t dot = name.find('.', prefix.size());
  if (dot == std::string::npos) return;
  const std::string number = name.substr(prefix.size(), dot - prefix.size());
  const std::string extension = name.substr(dot);
  if (extension != ".pb" && extension != ".npy") return;
  if (number.empty() || number.size() > 9 || (number.size() > 1 && number[0] == '0') ||
      number.find_first_not_of("0123456789") != std::string::npos) {
    return;
  }
  files[std::stoul(number)].push_back(name);
}

// The path of the file `name` in the folder, in the folder's own bytes as typed: a Windows path
// made narrow again would lose what the C locale cannot hold.
std::string inFolder(const std::string& folder, const std::string& name) {
  const char separator = static_cast<char>(fs::path::preferred_separator);
  const bool ended = !folder.empty() && (folder.back() == '/' || folder.back() == separator);
  return folder + (ended ? "" : std::string(1, separator)) + name;
}

// The paths in order of their numbers, or "" and the reason in `reason`.
std::vector<std::string> inOrder(const std::string& folder, const std::string& prefix,
                                 const Numbered& files, std::string& reason) {
  std::vector<std::string> paths;
  if (files.empty()) {
    reason = "The folder has no " + prefix + "0.pb or " + prefix + "0.npy";
    return paths;
  }
  for (const auto& [number, names] : files) {
    if (number != paths.size()) {
      reason =
          "The folder has " + names.front() + " but no " + prefix + std::to_string(paths.size());
      return {};
    }
    if (names.size() > 1) {
      const std::string name = prefix + std::to_string(number);
      reason = "The folder has both " + name + ".pb and " + name + ".npy";
      return {};
    }
    paths.push_back(inFolder(folder, names.front()));
  }
  return paths;
}

}  // namespace

std::variant<DataFiles, std::string> findDataFiles(const std::string& folder) {
  const fs::path dir = pathOf(folder.c_str());
  std::error_code error;
  if (!fs::exists(dir, error)) return std::string("The folder does not exist");
  if (!fs::is_directory(dir, error)) return std::string("The data path is not a folder");
  Numbered inputs, outputs;
  fs::directory_iterator entry(dir, error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    const std::string name = entry->path().filename().u8string();
    take(name, "input_", inputs);
    take(name, "output_", outputs);
  }
  if (error) return "The folder cannot be read: " + error.message();
  std::string reason;
  DataFiles files;
  files.inputs = inOrder(folder, "input_", inputs, reason);
  if (reason.empty()) files.outputs = inOrder(folder, "output_", outputs, reason);
  if (!reason.empty()) return reason;
  return files;
}

namespace {

// The name each tensor is matched to: its own when it is one of `names`, otherwise the name at
// its position ("" past the end).
std::vector<std::string> matchedNames(const std::vector<TensorData>& tensors,
                                      const std::vector<DeclaredTensor>& declared) {
  std::vector<std::string> names;
  for (size_t i = 0; i < tensors.size(); ++i) {
    std::string name = i < declared.size() ? declared[i].name : "";
    for (const DeclaredTensor& candidate : declared) {
      if (!tensors[i].name.empty() && candidate.name == tensors[i].name) name = candidate.name;
    }
    names.push_back(name);
  }
  return names;
}

// The ONNX element type that the graph declares for the tensor of that name; 0 for none.
int declaredType(const std::string& name, const std::vector<DeclaredTensor>& declared) {
  for (const DeclaredTensor& tensor : declared) {
    if (tensor.name == name) return tensor.type;
  }
  return 0;
}

std::string fileName(const std::string& path) {
  return pathOf(path.c_str()).filename().string();
}

// The tensors of the files, or the problem with the first that cannot be read or taken. Kept
// values are charged against the room, which is what is left of it after them.
std::variant<std::vector<TensorData>, DataProblem> readAll(const std::vector<std::string>& paths,
                                                           bool asInput, ReadLimits& limits) {
  std::vector<TensorData> tensors;
  for (const std::string& path : paths) {
    TensorRead read;
    try {
      read = readTensorFile(path, limits);
    } catch (const std::bad_alloc&) {
      read = PastLimit::kRoom;
    }
    if (const std::string* error = std::get_if<std::string>(&read)) {
      return DataProblem{DataProblemKind::kFile, fileName(path), *error, 0, 0};
    }
    if (const PastLimit* past = std::get_if<PastLimit>(&read)) {
      const bool memory = *past == PastLimit::kRoom;
      return DataProblem{memory ? DataProblemKind::kMemory : DataProblemKind::kTimeLimit,
                         memory ? fileName(path) : "", "", 0, 0};
    }
    TensorData& tensor = std::get<TensorData>(read);
    for (std::int64_t dimension : tensor.shape) {
      // The library's dimensions are ints; an input needs at least one value.
      if (dimension > INT32_MAX || (asInput && dimension == 0)) {
        return DataProblem{DataProblemKind::kFile, fileName(path),
                           "A dimension of " + std::to_string(dimension) +
                               " is not one the library takes for an input",
                           0, 0};
      }
    }
    const std::uint64_t kept = tensor.values.size() * sizeof(double);
    limits.room = limits.room > kept ? limits.room - kept : 0;
    tensors.push_back(std::move(tensor));
  }
  return tensors;
}

// The second of two files whose tensors are matched to the same name, with the first; nothing
// when each name is taken once.
std::optional<DataProblem> sameName(const std::vector<std::string>& names,
                                    const std::vector<std::string>& paths, DataProblemKind kind) {
  std::map<std::string, size_t> first;
  for (size_t i = 0; i < names.size(); ++i) {
    const auto [taken, fresh] = first.emplace(names[i], i);
    if (!fresh) {
      return DataProblem{kind, fileName(paths[i]), fileName(paths[taken->second]), 0, 0, names[i]};
    }
  }
  return std::nullopt;
}

}  // namespace

std::variant<DataSet, DataProblem> readDataSet(
    const std::string& folder, const std::variant<GraphSignature, std::string>& graph,
    const ReadLimits& limits) {
  const auto files = findDataFiles(folder);
  // A model without inputs takes no test data, whatever the folder lacks: that is the model's.
  const GraphSignature* declared = std::get_if<GraphSignature>(&graph);
  std::error_code unreadable;
  if (declared && declared->inputs.empty() &&
      fs::is_directory(pathOf(folder.c_str()), unreadable)) {
    const DataFiles* found = std::get_if<DataFiles>(&files);
    return DataProblem{DataProblemKind::kInputCount, "", "", 0, found ? found->inputs.size() : 0};
  }
  if (const std::string* error = std::get_if<std::string>(&files)) {
    return DataProblem{DataProblemKind::kFolder, "", *error, 0, 0};
  }
  if (const std::string* error = std::get_if<std::string>(&graph)) {
    return DataProblem{DataProblemKind::kGraph, "", *error, 0, 0};
  }
  const DataFiles& paths = std::get<DataFiles>(files);
  const GraphSignature& signature = std::get<GraphSignature>(graph);
  if (paths.inputs.size() != signature.inputs.size()) {
    return DataProblem{DataProblemKind::kInputCount, "", "", signature.inputs.size(),
                       paths.inputs.size()};
  }
  if (paths.outputs.size() > signature.outputs.size()) {
    return DataProblem{DataProblemKind::kFileWithoutOutput,
                       fileName(paths.outputs[signature.outputs.size()]), "",
                       signature.outputs.size(), paths.outputs.size()};
  }
  if (paths.outputs.size() < signature.outputs.size()) {
    return DataProblem{DataProblemKind::kOutputWithoutFile,
                       signature.outputs[paths.outputs.size()].name, "", signature.outputs.size(),
                       paths.outputs.size()};
  }
  ReadLimits checked = limits;
  checked.values = false;
  auto inputs = readAll(paths.inputs, true, checked);
  if (DataProblem* problem = std::get_if<DataProblem>(&inputs)) return *problem;
  ReadLimits kept = limits;
  auto outputs = readAll(paths.outputs, false, kept);
  if (DataProblem* problem = std::get_if<DataProblem>(&outputs)) return *problem;
  DataSet data;
  const std::vector<TensorData>& inputTensors = std::get<std::vector<TensorData>>(inputs);
  data.inputFiles = paths.inputs;
  data.inputNames = matchedNames(inputTensors, signature.inputs);
  for (const TensorData& tensor : inputTensors) data.inputShapes.push_back(tensor.shape);
  for (const std::string& name : data.inputNames) {
    data.inputTypes.push_back(declaredType(name, signature.inputs));
  }
  data.expected = std::move(std::get<std::vector<TensorData>>(outputs));
  data.outputNames = matchedNames(data.expected, signature.outputs);
  for (size_t i = 0; i < data.expected.size(); ++i) {
    takeAsDeclared(data.expected[i], declaredType(data.outputNames[i], signature.outputs));
  }
  for (const std::string& path : paths.outputs) data.outputFiles.push_back(fileName(path));
  if (auto same = sameName(data.inputNames, paths.inputs, DataProblemKind::kSameInput)) {
    return *same;
  }
  if (auto same = sameName(data.outputNames, paths.outputs, DataProblemKind::kSameOutput)) {
    return *same;
  }
  return data;
}
