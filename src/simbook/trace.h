// The trace of exchanges with the simulated hardware: with SIMBOOK_TRACE=/path/trace.jsonl
// set, every exchange appends one JSON object as one line, flushed at once. Several processes
// and the service libraries may append to the same file; each line is written with a single
// append so lines never interleave, and a line the file cannot take whole is not left in it.
// A trace that is the machine file SIMBOOK names is refused (trace off, one line on standard
// error).
//
// Also simbook's reports of its own problems (machine file, trace, libraries): one line each
// on standard error, never on standard output, which belongs to the programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace simbook {

bool TraceEnabled();
// Appends `line`, one JSON object whose fields keep the order they were added in, as one
// compact line; does nothing when off. A line that cannot be written (text that is not UTF-8,
// no memory) is left out: tracing never changes what the traced call answers. When the file
// takes only part of a line (a full disk), the part is taken back where no other writer has
// appended since, tracing stops, and standard error says once that the trace is incomplete.
void TraceLine(const nlohmann::ordered_json& line);
// Appends the line that begins this process's run of a program,
// {"op":"start","run":N,"program":P,"args":[...]}, N one more than the trace's last start line's
// (1 for the first), so that a trace of a procedure tells which program each run was. Programs
// that start at once each get a number of their own. Does nothing when off.
void TraceRunStart(const std::string& program, const std::vector<std::string>& args);
// Appends the line that ends this process's run, {"op":"exit","run":N,"status":S}, with the run
// number TraceRunStart gave (no "run" when it wrote no start line), so that the exits of programs
// running at once are told apart. Does nothing when off.
void TraceRunExit(int32_t status);
// Closes the trace so that the next line reads SIMBOOK_TRACE again, and forgets the run. For
// tests.
void ReopenTraceForTests();

// `text` as one printable line: control characters and bytes that are not UTF-8 are written as
// escapes (\n, \t, \r, \x1b), so that no name can break the line or reach a terminal raw.
std::string EscapedForLine(const std::string& text);
// Writes "simbook: <subject>: <problem>", escaped, as one line in one write on standard error.
void ReportProblem(const std::string& subject, const std::string& problem);

} // namespace simbook
