#pragma once
// The debug output channel: link traces go to $TOLVAR_TRACE (a file, appended, or "-" for
// standard error), never to standard output. Unset: traces are discarded.
#include <string>

namespace platform {

// Writes one message as one line (a newline is added when missing).
void Trace(const std::string& message);
// True when traces go somewhere, so callers can skip formatting them.
bool TraceEnabled();

}  // namespace platform
