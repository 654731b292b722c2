// What --explain adds to a failure, from the worker's explanation records: every node that the
// library rejects, each on its own or only after a rejected node; the layer that stopped a run;
// or the library's whole description.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "check/channel.h"
#include "check/onnx_graph.h"

// Takes one of the worker's explanation records ('W', 'S', 'P', 'G', 'D', 'R', 'U', with
// printable texts) into `explanation`, and the graph into `feeds`.
void noteExplanation(const Record& record, nlohmann::json& explanation, NodeFeeds& feeds);

// Once the worker has ended: classifies the rejected nodes and, when the diagnostics pass did not
// end, says why in `incomplete` ("the library crashed with SIGSEGV").
void finishExplanation(nlohmann::json& explanation, const NodeFeeds& feeds,
                       const std::string& incomplete);

// The explanation as lines of text, the empty line before it included; none for nothing to say.
std::vector<std::string> explanationLines(const nlohmann::json& explanation);

// The graph node that a layer of the library ("[Type]:(name)") stands for: its name, or the name
// without a suffix that the library added ("/reshape"); empty when the graph has none.
std::string graphNodeOf(const std::string& layer, const NodeFeeds& feeds);
