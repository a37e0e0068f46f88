// The trace of exchanges with the simulated hardware: with SIMBOOK_TRACE=/path/trace.jsonl
// set, every exchange appends one JSON object as one line, flushed at once. Several processes
// and the service libraries may append to the same file; each line is written with a single
// append so lines never interleave.
#pragma once

#include <cstddef>
#include <string>

namespace simbook {

bool TraceEnabled();
// Appends `jsonObject` (one JSON object, no line end) as one line; does nothing when off.
void TraceLine(const std::string& jsonObject);
// Closes the trace so that the next line reads SIMBOOK_TRACE again. For tests.
void ReopenTraceForTests();
// Lower-case hex of `size` bytes, no separators ("" for none), as trace lines carry buffers.
std::string HexText(const void* data, size_t size);

} // namespace simbook
