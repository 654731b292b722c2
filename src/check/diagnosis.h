// Why a model failed to load, in the most specific words available: the node the library
// rejected, an unknown file format, or the library's own description.
#pragma once

#include <string>

// The text from the last "[" to the last ")" of the library's captured error output, both
// included, which is how its log names a rejected node. Empty when there is no such pair, when
// that "[" opens the text, or when that ")" comes before it.
std::string firstUnsupportedNode(const std::string& captured);

// True when the description says that the library could not tell the model's format.
bool isUnknownFormat(const std::string& description);

// The second line of a load failure: the rejected node when anything was captured, otherwise
// the format complaint or the description itself.
std::string loadFailureReason(const std::string& captured, const std::string& description);

// Writes the red load failure: "Failed loading '<name>'", then `reason` as it stands.
void reportLoadFailure(const std::string& modelFileName, const std::string& reason);
