// The rows of a `simbook run --each` table: folders of machine files, row names, kept files'
// names, and outcomes packed to cross a pipe.
#include "simbook/cli/table.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "simbook/file_write.h"

namespace simbook::cli {
namespace {

namespace fs = std::filesystem;
using oj = nlohmann::ordered_json;

constexpr const char* kSuffix = ".json";

bool EndsWithJson(const std::string& name) {
    const size_t n = std::char_traits<char>::length(kSuffix);
    return name.size() > n && name.compare(name.size() - n, n, kSuffix) == 0;
}

// The folders and name of `path`, absolute, with ".json" dropped from the name.
std::vector<std::string> PathParts(const std::string& path) {
    std::vector<std::string> parts;
    for (const fs::path& part : fs::absolute(path).lexically_normal().relative_path()) {
        parts.push_back(part.string());
    }
    if (!parts.empty() && EndsWithJson(parts.back())) {
        parts.back().resize(parts.back().size() - std::char_traits<char>::length(kSuffix));
    }
    return parts;
}

// The last `depth` parts joined by '/'; the whole path, from its root, when it has fewer.
std::string Tail(const std::vector<std::string>& parts, size_t depth) {
    const size_t from = depth >= parts.size() ? 0 : parts.size() - depth;
    std::string tail = depth > parts.size() ? "/" : "";
    for (size_t i = from; i < parts.size(); ++i) {
        tail += (i == from ? "" : "/") + parts[i];
    }
    return tail;
}

// Names the clashing file rows `group` (indexes into `rows`) by the shortest common depth of
// path tail that tells all of them apart.
void NameByTails(std::vector<MachineChoice>& rows, const std::vector<size_t>& group) {
    std::vector<std::vector<std::string>> parts;
    size_t longest = 2;
    for (size_t i : group) {
        parts.push_back(PathParts(rows[i].path));
        longest = std::max(longest, parts.back().size());
    }
    for (size_t depth = 2; depth <= longest; ++depth) {
        std::vector<std::string> tails;
        for (const auto& p : parts) {
            tails.push_back(Tail(p, depth));
        }
        std::vector<std::string> sorted = tails;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end() || depth == longest) {
            for (size_t k = 0; k < group.size(); ++k) {
                rows[group[k]].name = tails[k];
            }
            return;
        }
    }
}

oj Bytes(const std::string& text) {
    return oj::binary(std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::string Text(const oj& value) {
    const auto& bytes = value.get_binary();
    return {bytes.begin(), bytes.end()};
}

oj PackedOutcome(const Outcome& o) {
    oj runs = oj::array();
    for (const ProgramRun& r : o.runs) {
        runs.push_back({r.number, r.program, r.args, r.status ? oj(*r.status) : oj()});
    }
    oj changes = oj::array();
    for (const KeyChange& c : o.changes) {
        changes.push_back({c.key, c.before, c.after});
    }
    oj failures = oj::array();
    for (const std::string& f : o.failures) {
        failures.push_back(Bytes(f));
    }
    return {Bytes(o.machine),
            Bytes(o.file),
            Bytes(o.description),
            runs,
            changes,
            o.after,
            o.exit,
            o.timedOut,
            o.interrupted,
            o.leftovers,
            o.seconds,
            Bytes(o.output),
            failures,
            o.checked};
}

Outcome UnpackedOutcome(const oj& p) {
    Outcome o;
    o.machine = Text(p.at(0));
    o.file = Text(p.at(1));
    o.description = Text(p.at(2));
    for (const oj& r : p.at(3)) {
        o.runs.push_back(
            {r.at(0).get<int64_t>(), r.at(1).get<std::string>(),
             r.at(2).get<std::vector<std::string>>(),
             r.at(3).is_null() ? std::nullopt : std::optional<int64_t>(r.at(3).get<int64_t>())});
    }
    for (const oj& c : p.at(4)) {
        o.changes.push_back({c.at(0).get<std::string>(), c.at(1), c.at(2)});
    }
    o.after = p.at(5);
    o.exit = p.at(6).get<int64_t>();
    o.timedOut = p.at(7).get<bool>();
    o.interrupted = p.at(8).get<bool>();
    o.leftovers = p.at(9).get<int>();
    o.seconds = p.at(10).get<double>();
    o.output = Text(p.at(11));
    for (const oj& f : p.at(12)) {
        o.failures.push_back(Text(f));
    }
    o.checked = p.at(13).get<bool>();
    return o;
}

} // namespace

std::vector<std::string> MachineFilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        std::error_code ec;
        if (name[0] != '.' && EndsWithJson(name) && fs::is_regular_file(entry.path(), ec)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> files;
    for (const std::string& name : names) {
        files.push_back((fs::path(dir) / name).string());
    }
    return files;
}

std::string NameRows(std::vector<MachineChoice>& rows) {
    std::map<std::string, std::vector<size_t>> byName;
    for (size_t i = 0; i < rows.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (SameFile(rows[i].path, rows[j].path) || rows[i].path == rows[j].path) {
                return rows[i].path + " is in the table twice";
            }
        }
        byName[rows[i].name].push_back(i);
    }
    for (const auto& [name, all] : byName) {
        std::vector<size_t> files = all;
        std::erase_if(files, [&](size_t i) { return rows[i].ready; });
        if (all.size() > 1) {
            NameByTails(rows, files);
        }
    }
    return {};
}

std::string SafeFileName(const std::string& name) {
    std::string safe;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if ((std::isalnum(c) != 0 && c < 0x80) || std::strchr("_-+,", c) != nullptr ||
            (c == '.' && i > 0)) {
            safe += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            safe += hex;
        }
    }
    return safe;
}

std::string PackRow(const RowResult& row) {
    const oj packed = {row.problem.empty() ? PackedOutcome(row.outcome) : oj(), row.interruptedBy,
                       Bytes(row.problem)};
    const std::vector<std::uint8_t> bytes = oj::to_cbor(packed);
    return {bytes.begin(), bytes.end()};
}

std::optional<RowResult> UnpackRow(const std::string& bytes) {
    try {
        const oj packed = oj::from_cbor(bytes);
        RowResult row;
        row.interruptedBy = packed.at(1).get<int>();
        row.problem = Text(packed.at(2));
        if (row.problem.empty()) {
            row.outcome = UnpackedOutcome(packed.at(0));
        }
        return row;
    } catch (const oj::exception&) {
        return std::nullopt;
    }
}

} // namespace simbook::cli
