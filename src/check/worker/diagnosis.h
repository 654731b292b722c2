// Why the check failed, in the most specific terms available. The worker tells the cause from
// the library's exception and captured log (the node the library rejected, an unknown file
// format, the library's own description, a shortage of memory); the report words it.
#pragma once

#include <exception>
#include <string>

#include "check/worker/findings.h"

// The text from the last "[" to the last ")" of the library's captured error output, both
// included: the library logs the node it rejects in that form, and logs nothing after it. Empty
// when there is no such pair, when that "[" opens the text, or when that ")" comes before it.
std::string lastLoggedNode(const std::string& captured);

// True when the description says that the library could not tell the model's format.
bool isUnknownFormat(const std::string& description);

// The cause of a failed load: the rejected node when anything was captured, otherwise the
// format complaint or the description itself; for another exception its own words.
CheckFailure loadFailureCause(const std::string& captured, std::exception_ptr failure);

// The cause of a failed execution: a shortage of memory, or nothing to add.
CheckFailure executionFailureCause(std::exception_ptr failure);

// True when the failure is an allocation that the library or the system could not make.
bool isMemoryShortage(std::exception_ptr error);
