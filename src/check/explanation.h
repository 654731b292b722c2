// What --explain adds to a failure, gathered from the worker's findings: every node that the
// library rejects, each on its own or only after a rejected node; the layer that stopped a run;
// or the library's whole description. When the worker ends before it has said all, the
// explanation says how it ended.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "check/readers/onnx_graph.h"
#include "check/worker/findings.h"
#include "check/worker/worker_process.h"

enum class Rejection { kOnItsOwn, kAfterRejectedNode };

// A node the library rejected: its index among the graph's nodes (kUnknownNode for one that the
// graph does not have, as a node the library made), and whether its type is one the library has
// no layer for at all.
using RejectedNode = std::pair<size_t, bool>;

// Per rejected node, in the order given: after a rejected node when a rejected node produces an
// input of it, directly or through other nodes; otherwise on its own. A node of a type without
// any layer is on its own wherever it sits, and so is a node that the graph does not know.
std::vector<Rejection> classifyRejections(const GraphNodes& nodes,
                                          const std::vector<RejectedNode>& rejected);

// A rejected node as the explanation lists it.
struct RejectedNodeReport {
  std::string type;
  std::string name;
  std::string domain;
  std::string words;
  bool withoutLayer = false;
  bool onItsOwn = true;
};

// The list of the diagnostics pass.
struct DiagnosticsList {
  std::vector<RejectedNodeReport> rejected;
  std::set<std::string> typesWithoutLayer;  // "<domain>.<type>"
  bool finished = false;                    // classified, and `complete` known
  bool complete = false;
};

struct Explanation {
  std::optional<std::string> description;
  std::optional<StoppingLayer> stoppedAt;
  // The graph node that the stopping layer stands for, once the graph is known: its name ("" for
  // none, a layer of the library's own) and type.
  std::optional<std::pair<std::string, std::string>> stoppedAtNode;
  std::optional<std::string> probableLayer;
  std::optional<size_t> graphNodes;       // how many nodes the graph has, when it could be read
  std::optional<std::string> graphError;  // why it could not
  std::optional<DiagnosticsList> diagnostics;
  std::optional<Ending> cutShort;  // how the worker ended before it had said all

  // The model's nodes as received, and the rejected nodes among them, in order.
  GraphNodes nodes;
  std::vector<RejectedNode> rejectedNodes;
};

// True when there is anything to say.
bool hasExplanation(const Explanation& explanation);

// Takes one of the worker's findings (with printable texts) into the explanation; the others are
// none of its business.
void noteExplanation(const Finding& finding, Explanation& explanation);

// Once the worker has ended: classifies the rejected nodes, finds the stopping layer's node and,
// when the worker ended before it had said all, notes how in `cutShort`.
void finishExplanation(Explanation& explanation, const std::optional<Ending>& cutShort);
