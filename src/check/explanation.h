// What --explain adds to a failure, from the worker's explanation records: every node that the
// library rejects, each on its own or only after a rejected node; the layer that stopped a run;
// or the library's whole description. When the worker ends before it has said all, the
// explanation says so.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "check/channel.h"
#include "check/onnx_graph.h"

// The model's nodes as the worker read them, and the rejected nodes among them, in order.
struct ExplanationGraph {
  GraphNodes nodes;
  std::vector<RejectedNode> rejected;
};

// Takes one of the worker's explanation records ('W', 'S', 'P', 'N', 'G', 'D', 'R', with printable
// texts) into `explanation` and `graph`.
void noteExplanation(const Record& record, nlohmann::json& explanation, ExplanationGraph& graph);

// Once the worker has ended: classifies the rejected nodes and, when the worker ended before it
// had said all, says why in `incomplete` ("the library crashed with SIGSEGV.").
void finishExplanation(nlohmann::json& explanation, const ExplanationGraph& graph,
                       const std::string& incomplete);

// The explanation as lines of text, the empty line before it included; none for nothing to say.
std::vector<std::string> explanationLines(const nlohmann::json& explanation);
