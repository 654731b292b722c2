#include "check/worker/library_log.h"

#include <algorithm>
#include <sstream>

namespace {

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The library's words of several lines, each written after "> ", as they were.
std::string unquoted(const std::string& text) {
  std::string words;
  for (size_t from = 0; text.compare(from, 2, "> ") == 0;) {
    const size_t end = std::min(text.find('\n', from), text.size());
    words += (from == 0 ? "" : "\n") + text.substr(from + 2, end - from - 2);
    if (end == text.size()) break;
    from = end + 1;
  }
  return words;
}

// A message without the line end that the logger adds.
std::string_view withoutLineEnd(std::string_view message) {
  if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  return message;
}

// The text up to its first NUL: the logger writes a message as a C string.
std::string untilNul(const std::string& text) {
  return text.substr(0, text.find('\0'));
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

// A node's type, name and domain from its header as logged, for a node the graph does not have.
std::vector<std::string> splitHeader(std::string_view header) {
  const size_t type = header.find(": [");
  const size_t name = type == std::string_view::npos ? type : header.find("]:(", type);
  const size_t from = header.rfind(") from ");
  const size_t domain = header.rfind("domain='");
  if (name == std::string_view::npos || from == std::string_view::npos || from < name ||
      domain == std::string_view::npos || domain < from) {
    return {"", std::string(header), ""};
  }
  std::string_view domainText = header.substr(domain + 8);
  if (!domainText.empty() && domainText.back() == '\'') domainText.remove_suffix(1);
  return {std::string(header.substr(type + 3, name - type - 3)),
          std::string(header.substr(name + 3, from - name - 3)), std::string(domainText)};
}

}  // namespace

std::string libraryWords(const std::string& message) {
  const size_t error = message.find("error: (");
  if (error != std::string::npos) {
    const size_t words = message.find(") ", error);
    if (words != std::string::npos) {
      const size_t end = message.find('\n', words);
      std::string line = message.substr(words + 2, end - words - 2);
      // Words of several lines follow the function, each line quoted.
      if (line.compare(0, 13, "in function '") == 0 && end != std::string::npos &&
          message.compare(end + 1, 2, "> ") == 0) {
        return trimmed(unquoted(message.substr(end + 1)));
      }
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

std::optional<std::string_view> logMessage(std::string_view piece, std::string_view function,
                                           std::string_view start) {
  // The prefix: "[<level>:<thread>] ", the tag, the source file (with ":<line>", or then
  // "(<line>)"), the function, plain or qualified; then the message. No text of the model.
  size_t at = piece.find("] ");
  if (at == std::string_view::npos) return std::nullopt;
  at += 2;
  const auto token = [&]() {
    const size_t end = piece.find(' ', at);
    if (end == std::string_view::npos) return std::string_view();
    const std::string_view word = piece.substr(at, end - at);
    at = end + 1;
    return word;
  };
  token();
  token();
  std::string_view name = token();
  if (name.size() > 2 && name.front() == '(' && name.back() == ')') name = token();
  const size_t qualified = name.size() - std::min(name.size(), function.size());
  if (name.substr(qualified) != function || (qualified > 0 && name[qualified - 1] != ':')) {
    return std::nullopt;
  }
  const std::string_view message = piece.substr(at);
  if (message.substr(0, start.size()) != start) return std::nullopt;
  return message.substr(start.size());
}

std::string rejectedNodeHeader(const std::vector<std::string>& pieces) {
  for (const std::string& piece : pieces) {
    const auto header =
        logMessage(piece, "handleNode", "DNN/ONNX: ERROR during processing node with ");
    if (header) return std::string(withoutLineEnd(*header));
  }
  return "";
}

std::optional<StoppingLayer> stoppingLayer(const std::vector<std::string>& pieces) {
  const char kFunction[] = "getLayerShapesRecursively";
  // The layer's type is one of the library's; its name ends where the library's words begin.
  const std::string_view marker = "): getMemoryShapes() throws exception. inputs=";
  for (size_t i = 0; i < pieces.size(); ++i) {
    const auto message = logMessage(pieces[i], kFunction, "OPENCV/DNN: [");
    const size_t type = message ? message->find("]:(") : std::string_view::npos;
    const size_t end = message ? message->rfind(marker) : std::string_view::npos;
    if (type == std::string_view::npos || end == std::string_view::npos || end < type) continue;
    StoppingLayer layer{"[" + std::string(message->substr(0, end + 1)), {}, ""};
    for (++i; i < pieces.size(); ++i) {
      if (const auto input = logMessage(pieces[i], kFunction, "    input[")) {
        const size_t open = input->find(" = [");
        std::istringstream dimensions(std::string(input->substr(std::min(open, input->size()))));
        std::string shape;
        dimensions.ignore(4);
        for (std::string dimension; dimensions >> dimension && dimension != "]";) {
          shape += (shape.empty() ? "" : ", ") + dimension;
        }
        layer.inputShapes.push_back("[" + shape + "]");
      } else if (const auto words = logMessage(pieces[i], kFunction, "Exception message: ")) {
        layer.words = libraryWords(std::string(*words));
        return layer;
      } else if (!logMessage(pieces[i], kFunction, "    output[") &&
                 !logMessage(pieces[i], kFunction, "    blobs[")) {
        break;
      }
    }
    return layer;
  }
  return std::nullopt;
}

DiagnosticsLog::DiagnosticsLog(const GraphNodes& nodes, std::string header, std::string description)
    : nodes_(nodes), header_(std::move(header)), description_(std::move(description)) {}

bool DiagnosticsLog::isHeaderOf(std::string_view header, size_t node, bool anyDomainWord) const {
  const GraphNode& graphNode = nodes_[node];
  const std::string head = loggedNodeHeader(graphNode) + " from ";
  const std::string domain = "domain='" + graphNode.domain + "'";
  return header == untilNul(head + domain) ||
         (anyDomainWord && header == untilNul(head + "undeclared " + domain));
}

size_t DiagnosticsLog::nodeOf(std::string_view header) {
  if (next_ < nodes_.size() && isHeaderOf(header, next_, true)) return next_++;
  // Not the next node: the library changed the graph (fused nodes, say), or left some out.
  if (byHeader_.empty()) {
    for (size_t node = 0; node < nodes_.size(); ++node) {
      const std::string head = loggedNodeHeader(nodes_[node]) + " from ";
      for (const char* word : {"", "undeclared "}) {
        byHeader_[untilNul(head + word + "domain='" + nodes_[node].domain + "'")].push_back(node);
      }
    }
  }
  const auto found = byHeader_.find(std::string(header));
  if (found == byHeader_.end()) return kUnknownNode;
  const auto node = std::lower_bound(found->second.begin(), found->second.end(), next_);
  if (node == found->second.end()) return kUnknownNode;
  next_ = *node + 1;
  return *node;
}

std::optional<NodeRejection> DiagnosticsLog::take(std::string_view piece) {
  if (!started_) {
    started_ = logMessage(piece, "populateNet", "DNN/ONNX: start diagnostic run!").has_value();
    return std::nullopt;
  }
  if (ended_) return std::nullopt;
  // The pass ends where the ordinary load that the library does after it begins.
  if (logMessage(piece, "populateNet", "DNN/ONNX: diagnostic run completed!") ||
      logMessage(piece, "populateNet", "DNN/ONNX: loading ONNX")) {
    ended_ = true;
    return finish();
  }
  if (const auto header = logMessage(piece, "handleNode", "DNN/ONNX: processing node with ")) {
    std::optional<NodeRejection> done = finish();
    currentHeader_ = std::string(withoutLineEnd(*header));
    current_ = nodeOf(currentHeader_);
    return done;
  }
  if (const auto rest =
          logMessage(piece, "getLayerParams",
                     "DNN/ONNX: Potential problem with processing attributes for node ")) {
    // "<the node's own name> Attribute <attribute>"
    const std::string& name = current_ == kUnknownNode ? "" : nodes_[current_].name;
    const std::string own = name.compare(0, 10, "onnx_node!") == 0 ? name.substr(10) : "";
    const std::string before = own + " Attribute ";
    const bool known = current_ != kUnknownNode && rest->substr(0, before.size()) == before;
    words_.push_back(known ? "Attribute '" +
                                 std::string(withoutLineEnd(rest->substr(before.size()))) +
                                 "' could not be read"
                           : "An attribute could not be read");
    return std::nullopt;
  }
  if (const auto rest = logMessage(piece, "handleNode",
                                   "DNN/ONNX: Potential problem during processing node with ")) {
    // The node's header, then the library's description on the lines after it.
    size_t after = rest->find('\n');
    if (currentHeader_.empty()) {
      currentHeader_ = std::string(rest->substr(0, after));
      current_ = nodeOf(currentHeader_);
    }
    if (current_ != kUnknownNode) {
      const std::string header = untilNul(loggedNodeHeader(nodes_[current_]) + " from domain='" +
                                          nodes_[current_].domain + "'");
      if (rest->substr(0, header.size() + 1) == header + "\n") after = header.size();
    }
    const std::string text =
        after == std::string_view::npos ? "" : std::string(rest->substr(after + 1));
    words_.push_back(libraryWords(text));
    if (current_ != kUnknownNode) {
      // The library's words when it has no layer of the node's type, which it names with the
      // node's domain before it where that is a custom one ("com.example.Foo").
      const GraphNode& node = nodes_[current_];
      const std::string code = "error: (-2:Unspecified error) ";
      const size_t error = text.find("error: (");
      const std::string noLayer = "Can't create layer \"" + node.name + "\" of type \"";
      const std::string type = untilNul(node.type);
      withoutLayer_ = error != std::string::npos && text.compare(error, code.size(), code) == 0 &&
                      (words_.back() == noLayer + type + "\"" ||
                       words_.back() == noLayer + untilNul(node.domain) + "." + type + "\"");
    }
    // Nothing after this says more of the node: it goes at once, before anything can crash.
    return finish();
  }
  return std::nullopt;
}

std::optional<NodeRejection> DiagnosticsLog::finish() {
  std::optional<NodeRejection> rejection;
  if (!words_.empty()) {
    std::vector<std::string> fields = splitHeader(currentHeader_);
    std::string words = joined(words_, "; ");
    if (current_ != kUnknownNode) {
      const GraphNode& node = nodes_[current_];
      fields = {node.type, node.name, node.domain};
      if (!pinned_ && !header_.empty() && isHeaderOf(header_, current_, false)) {
        // The node that the ordinary load rejected: its words are that load's, after the
        // library's "Node [<type>@<domain>]:(<name>) parse error: ".
        pinned_ = true;
        const std::string opening = "Node [" + untilNul(node.type) + "@" + untilNul(node.domain) +
                                    "]:(" + node.name + ") parse error: ";
        const std::string description =
            description_.compare(0, 2, "> ") == 0 ? unquoted(description_) : description_;
        words = libraryWords(description.compare(0, opening.size(), opening) == 0
                                 ? description.substr(opening.size())
                                 : description);
      }
    }
    fields.resize(3);
    rejection = NodeRejection{current_, fields[0], fields[1], fields[2], words, withoutLayer_};
  }
  current_ = kUnknownNode;
  currentHeader_.clear();
  words_.clear();
  withoutLayer_ = false;
  return rejection;
}
