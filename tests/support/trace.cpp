#include "trace.h"

#include <sstream>
#include <system_error>

#include <gtest/gtest.h>

#include "scratch.h"

namespace nwt::test {

std::vector<nlohmann::json> ReadTrace(const std::filesystem::path& path, size_t from) {
    const std::string text = ReadFile(path);
    std::istringstream in(from < text.size() ? text.substr(from) : std::string());
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) {
            continue;
        }
        nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
        if (parsed.is_discarded()) {
            ADD_FAILURE() << path << ": not a JSON line: " << line;
            continue;
        }
        lines.push_back(std::move(parsed));
    }
    return lines;
}

std::vector<nlohmann::json> LinesWithOp(const std::vector<nlohmann::json>& lines,
                                        const std::string& op) {
    std::vector<nlohmann::json> selected;
    for (const nlohmann::json& line : lines) {
        if (line.is_object() && line.value("op", "") == op) {
            selected.push_back(line);
        }
    }
    return selected;
}

size_t TraceEnd(const std::filesystem::path& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<size_t>(size);
}

} // namespace nwt::test
