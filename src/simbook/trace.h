// The trace of exchanges with the simulated hardware: with SIMBOOK_TRACE=/path/trace.jsonl
// set, every exchange appends one JSON object as one line, flushed at once. Several processes
// and the service libraries may append to the same file; each line is written with a single
// append so lines never interleave.
#pragma once

#include <string>

namespace simbook {

bool TraceEnabled();
// Appends `jsonObject` (one JSON object, no line end) as one line; does nothing when off.
void TraceLine(const std::string& jsonObject);

} // namespace simbook
