// Why a model failed to load, in the most specific words available: the node the library
// rejected, an unknown file format, or the library's own description.
#pragma once

#include <exception>
#include <string>

#include "check/failure.h"

// The text from the last "[" to the last ")" of the library's captured error output, both
// included: the library logs the node it rejects in that form, and logs nothing after it. Empty
// when there is no such pair, when that "[" opens the text, or when that ")" comes before it.
std::string lastLoggedNode(const std::string& captured);

// True when the description says that the library could not tell the model's format.
bool isUnknownFormat(const std::string& description);

// The second line of a load failure: the rejected node when anything was captured, otherwise
// the format complaint or the description itself.
std::string loadFailureReason(const std::string& captured, const std::string& description);

// The reason for any failure that ends the check as a failed load: the library's, as above; for
// another exception its own words; for anything else a plain statement.
std::string loadFailureReason(const std::string& captured, std::exception_ptr failure);

// True when the failure is an allocation that the library or the system could not make.
bool isMemoryShortage(std::exception_ptr error);

// The reason line of a failure that ended the check: for want of memory, what needed it; for a
// failed load, the load failure's reason above; a failed execution has none otherwise.
std::string failureReason(Failure failure, const std::string& captured, std::exception_ptr error);
