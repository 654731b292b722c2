// What the library's log says, read by the worker: the nodes its model-diagnostics pass rejects,
// the layer whose shapes it could not compute, and its words without their source location.
//
// The log is read one message at a time, as the logger writes each with a single flush, and a
// message is known by its source function and its opening words, which come before any text of
// the model. Names, types and domains are matched against the model's graph, never split out of
// text that a model can write.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "check/readers/onnx_graph.h"
#include "check/worker/findings.h"

// The library's words in a message or description: what follows "error: (<code>:<name>) " up to
// " in function '...'", on one line; else the first line that says anything, "> " taken off.
std::string libraryWords(const std::string& message);

// The rest of a logged message after `start`, when the message comes from the library's function
// `function` and opens with `start`; nothing otherwise. `piece` is one message as logged, with
// the logger's prefix ("[ERROR:0@0.001] global onnx_importer.cpp:1029 handleNode ", or
// "... onnx_importer.cpp (1029) handleNode "), which is read by its parts.
std::optional<std::string_view> logMessage(std::string_view piece, std::string_view function,
                                           std::string_view start);

// What the ordinary load logged of the node it rejected, as "<i> inputs and <o> outputs:
// [Type]:(name) from domain='<domain>'"; empty when it logged none.
std::string rejectedNodeHeader(const std::vector<std::string>& pieces);

// The first layer whose shapes the library could not compute, from a failed run's log; nothing
// when the log names no such layer.
std::optional<StoppingLayer> stoppingLayer(const std::vector<std::string>& pieces);

// Reads the messages of the library's diagnostics pass, logged with the nodes it processes
// (information or debug level, by release), against the model's nodes, and answers each rejected
// node, as the library made one the graph does not have too. A node is rejected when the library
// could not read one of its attributes or could not make its layer. The node the ordinary load
// rejected (its `header`, as rejectedNodeHeader gives it) gets that load's `description` for words.
class DiagnosticsLog {
 public:
  DiagnosticsLog(const GraphNodes& nodes, std::string header, std::string description);

  // Takes one logged message; answers the rejection it completes, if any. A node is done with
  // the library's rejection of it, or when the next node begins.
  std::optional<NodeRejection> take(std::string_view piece);
  // At the end of the log: the rejection still open, if any.
  std::optional<NodeRejection> finish();

 private:
  size_t nodeOf(std::string_view header);
  bool isHeaderOf(std::string_view header, size_t node, bool anyDomainWord) const;

  const GraphNodes& nodes_;
  const std::string header_;
  const std::string description_;
  bool started_ = false;
  bool ended_ = false;
  bool pinned_ = false;
  size_t next_ = 0;                 // the node expected next
  size_t current_ = kUnknownNode;   // the node being processed
  std::string currentHeader_;       // as logged
  std::vector<std::string> words_;  // what is wrong with it, if anything
  bool withoutLayer_ = false;
  std::unordered_map<std::string, std::vector<size_t>> byHeader_;  // made when first needed
};
