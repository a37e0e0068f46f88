// Reading a trace file (JSON Lines) in tests.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace nwt::test {

// The trace's lines from byte `from` on, parsed; empty lines are skipped, and a line that is
// not JSON is a test failure. A missing file has no lines.
std::vector<nlohmann::json> ReadTrace(const std::filesystem::path& path, size_t from = 0);
// The lines whose "op" is `op`, in order.
std::vector<nlohmann::json> LinesWithOp(const std::vector<nlohmann::json>& lines,
                                        const std::string& op);
// The file's size in bytes, 0 when it does not exist: where the next line will start.
size_t TraceEnd(const std::filesystem::path& path);

} // namespace nwt::test
