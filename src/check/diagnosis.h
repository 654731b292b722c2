// Why the check failed, in the most specific words available. The worker tells the cause from
// the library's exception and captured log (the node the library rejected, an unknown file
// format, the library's own description, a shortage of memory); the parent words it.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "check/failure.h"

enum class Cause : char {
  kNode = 'n',           // the text is the node the library rejected
  kNoNode = 'b',         // the library logged something but named no node
  kUnknownFormat = 'f',  // the library could not tell the model's format
  kDescription = 'd',    // the text is the library's description, line ends kept
  kMessage = 'm',        // the text is what another exception said
  kUnknown = 'u',        // a failure that says nothing
  kMemory = 'M',         // an allocation that the library or the system could not make
  kNone = '-',           // nothing more to say, as after a failed execution
};
using Diagnosis = std::pair<Cause, std::string>;

// The text from the last "[" to the last ")" of the library's captured error output, both
// included: the library logs the node it rejects in that form, and logs nothing after it. Empty
// when there is no such pair, when that "[" opens the text, or when that ")" comes before it.
std::string lastLoggedNode(const std::string& captured);

// True when the description says that the library could not tell the model's format.
bool isUnknownFormat(const std::string& description);

// The cause of a failed load: the rejected node when anything was captured, otherwise the
// format complaint or the description itself; for another exception its own words.
Diagnosis loadFailureCause(const std::string& captured, std::exception_ptr failure);

// The cause of a failed execution: a shortage of memory, or nothing to add.
Diagnosis executionFailureCause(std::exception_ptr failure);

// True when the failure is an allocation that the library or the system could not make.
bool isMemoryShortage(std::exception_ptr error);

// The reason line of a failure of `failure`'s kind, from a diagnosis whose text is printable
// already; empty for none.
std::string failureReason(Failure failure, const Diagnosis& diagnosis);
