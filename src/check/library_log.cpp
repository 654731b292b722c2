#include "check/library_log.h"

#include <sstream>

namespace {

const char kRejection[] = "Potential problem during processing node with ";
const char kDomain[] = ") from domain='";

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string libraryWords(const std::string& message) {
  const size_t error = message.find("error: (");
  if (error != std::string::npos) {
    const size_t words = message.find(") ", error);
    if (words != std::string::npos) {
      std::string line = message.substr(words + 2, message.find('\n', words) - words - 2);
      const size_t function = line.rfind(" in function '");
      if (function != std::string::npos) line.erase(function);
      return trimmed(line);
    }
  }
  std::istringstream lines(message);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 2, "> ") == 0) line.erase(0, 2);
    if (!trimmed(line).empty()) return trimmed(line);
  }
  return "";
}

bool takeRejection(std::string& log, bool whole, Record& rejection) {
  const size_t start = log.find(kRejection);
  if (start == std::string::npos) {
    // Keep what could be the beginning of a record.
    if (whole || log.size() < sizeof kRejection) return false;
    log.erase(0, log.size() - sizeof kRejection);
    return false;
  }
  const size_t type = log.find(": [", start);
  const size_t name = type == std::string::npos ? type : log.find("]:(", type);
  size_t end = name == std::string::npos ? name : log.find("\n\n", name);
  if (end == std::string::npos) {
    if (!whole || name == std::string::npos) return false;
    end = log.size();
  }
  const size_t domain = log.rfind(kDomain, end);
  if (domain == std::string::npos || domain < name) {
    log.erase(0, end);
    return false;
  }
  const size_t domainEnd = log.find('\'', domain + sizeof kDomain - 1);
  const size_t messageStart = log.find('\n', domainEnd);
  rejection = {
      'R',
      {log.substr(type + 3, name - type - 3), log.substr(name + 3, domain - name - 3),
       log.substr(domain + sizeof kDomain - 1, domainEnd - domain - sizeof kDomain + 1),
       messageStart < end ? libraryWords(log.substr(messageStart + 1, end - messageStart)) : ""}};
  log.erase(0, end);
  return true;
}

std::vector<std::string> typesWithoutLayer(const std::string& log) {
  std::vector<std::string> types;
  const size_t list = log.find("Not supported types:");
  if (list == std::string::npos) return types;
  const size_t end = log.find("\n\n", list);
  std::istringstream lines(log.substr(list, end == std::string::npos ? end : end - list));
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 6, "Type='") == 0) types.push_back(line.substr(6, line.find('\'', 6) - 6));
  }
  return types;
}

Record stoppingLayer(const std::string& log) {
  const size_t marker = log.find(": getMemoryShapes() throws exception.");
  if (marker == std::string::npos) return {0, {}};
  const size_t open = log.rfind("OPENCV/DNN: [", marker);
  if (open == std::string::npos) return {0, {}};
  Record layer{'S', {log.substr(open + 12, marker - open - 12)}};
  std::istringstream lines(log.substr(marker));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && line.compare(0, 1, "[") == 0) {
    const size_t input = line.find("input[");
    const size_t message = line.find("Exception message: ");
    if (input != std::string::npos && line.find(" = [", input) != std::string::npos) {
      std::istringstream dimensions(line.substr(line.find(" = [", input) + 4));
      std::string shape;
      for (std::string dimension; dimensions >> dimension && dimension != "]";) {
        shape += (shape.empty() ? "" : ", ") + dimension;
      }
      layer.second.push_back("[" + shape + "]");
    } else if (message != std::string::npos) {
      layer.second.push_back(libraryWords(line.substr(message + 19)));
      return layer;
    }
  }
  layer.second.push_back("");
  return layer;
}
