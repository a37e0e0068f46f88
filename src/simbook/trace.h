// The trace of exchanges with the simulated hardware: with SIMBOOK_TRACE=/path/trace.jsonl
// set, every exchange appends one JSON object as one line, flushed at once. Several processes
// and the service libraries may append to the same file; each line is written with a single
// append so lines never interleave.
#pragma once

#include <nlohmann/json.hpp>

namespace simbook {

bool TraceEnabled();
// Appends `line`, one JSON object whose fields keep the order they were added in, as one
// compact line; does nothing when off. A line that cannot be written (text that is not UTF-8,
// no memory) is left out: tracing never changes what the traced call answers.
void TraceLine(const nlohmann::ordered_json& line);
// Closes the trace so that the next line reads SIMBOOK_TRACE again. For tests.
void ReopenTraceForTests();

} // namespace simbook
