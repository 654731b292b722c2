// The folder's entries are taken by name alone: "input_<n>.pb" or ".npy", <n> a decimal number
// without leading zeros, and the same for "output_"; a file that cannot be read is the tensor
// reader's to refuse.
#include "check/data_set.h"

#include <filesystem>
#include <map>

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

// The paths in order of their numbers, or "" and the reason in `reason`.
std::vector<std::string> inOrder(const fs::path& dir, const std::string& prefix,
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
    paths.push_back((dir / names.front()).string());
  }
  return paths;
}

}  // namespace

std::variant<DataFiles, std::string> findDataFiles(const std::string& dir) {
  std::error_code error;
  if (!fs::is_directory(dir, error)) return std::string("The data path is not a folder");
  Numbered inputs, outputs;
  fs::directory_iterator entry(dir, error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    take(name, "input_", inputs);
    take(name, "output_", outputs);
  }
  if (error) return "The folder cannot be read: " + error.message();
  std::string reason;
  DataFiles files;
  files.inputs = inOrder(dir, "input_", inputs, reason);
  if (reason.empty()) files.outputs = inOrder(dir, "output_", outputs, reason);
  if (!reason.empty()) return reason;
  return files;
}
