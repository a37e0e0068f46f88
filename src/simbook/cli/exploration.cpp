// The documents of `simbook explore`: the --json report and its reader, the merge of shards,
// the snapshot and its comparison, JUnit XML and the console text.
#include "simbook/cli/exploration.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>

#include "simbook/trace.h"

namespace simbook::cli {

using oj = nlohmann::ordered_json;

namespace {

constexpr int64_t kReportVersion = 1;
constexpr int64_t kSnapshotVersion = 1;

// Key order does not matter to a behaviour's changes: they compare as sorted JSON.
nlohmann::json Sorted(const oj& value) {
    return nlohmann::json::parse(value.dump());
}

oj ProgramsJson(const Behaviour& b) {
    oj programs = oj::array();
    for (const auto& [program, status] : b.programs) {
        programs.push_back({{"program", program}, {"status", status ? oj(*status) : oj()}});
    }
    return programs;
}

oj BehaviourJson(const Behaviour& b) {
    return {{"exit", b.exit},
            {"timed_out", b.timedOut},
            {"programs", ProgramsJson(b)},
            {"changes", b.changes}};
}

oj ClassJson(const BehaviourClass& c, bool counterexample) {
    oj out = {{"count", c.count}};
    out.update(BehaviourJson(c.behaviour));
    out["example"] = c.example;
    if (counterexample) {
        out["failures"] = c.failures;
    }
    out["first"] = c.first;
    out["origin"] = c.origin;
    out["origin_changes"] = c.originChanges;
    return out;
}

// The canonical text of a behaviour: the same for equal behaviours, whatever their order.
std::string CanonicalKey(const Behaviour& b) {
    return Sorted(BehaviourJson(b)).dump();
}

bool IsCount(const oj& v) {
    return v.is_number_unsigned() ||
           (v.is_number_integer() && v.get<int64_t>() >= 0); // non-negative either way
}

bool IsInt(const oj& v, int64_t least, int64_t most) {
    if (!v.is_number_integer() ||
        (v.is_number_unsigned() &&
         v.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))) {
        return false;
    }
    return v.get<int64_t>() >= least && v.get<int64_t>() <= most;
}

// What is wrong with a "programs" list, or "".
std::string ProgramsProblem(const oj& programs, Behaviour& b) {
    if (!programs.is_array()) {
        return "\"programs\" must be a list";
    }
    for (const oj& run : programs) {
        if (!run.is_object() || run.size() != 2 || !run.contains("program") ||
            !run["program"].is_string() || !run.contains("status") ||
            !(run["status"].is_null() || IsInt(run["status"], std::numeric_limits<int32_t>::min(),
                                               std::numeric_limits<int32_t>::max()))) {
            return "\"programs\": each must be {\"program\": TEXT, \"status\": 32-bit integer "
                   "or null}";
        }
        const oj& s = run["status"];
        b.programs.emplace_back(run["program"].get<std::string>(),
                                s.is_null() ? std::nullopt : std::optional<int64_t>(s));
    }
    return "";
}

// What is wrong with one class of a report, or "" with `c` filled in.
std::string ClassProblem(const oj& j, bool counterexample, BehaviourClass& c) {
    static const std::set<std::string> fields = {"count",    "exit",    "timed_out",
                                                 "programs", "changes", "example",
                                                 "first",    "origin",  "origin_changes"};
    if (!j.is_object()) {
        return "not an object";
    }
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (fields.count(it.key()) == 0 && !(counterexample && it.key() == "failures")) {
            return "unknown field '" + EscapedForLine(it.key()) + "'";
        }
    }
    for (const std::string& f : fields) {
        if (!j.contains(f)) {
            return "\"" + f + "\" missing";
        }
    }
    if (!IsCount(j["count"]) || !IsCount(j["first"]) || !IsCount(j["origin"]) ||
        !IsCount(j["origin_changes"])) {
        return "\"count\", \"first\", \"origin\" and \"origin_changes\" must be integers "
               "from 0";
    }
    if (!IsInt(j["exit"], std::numeric_limits<int64_t>::min(),
               std::numeric_limits<int64_t>::max()) ||
        !j["timed_out"].is_boolean()) {
        return "\"exit\" must be an integer and \"timed_out\" true or false";
    }
    if (!j["changes"].is_object() || !j["example"].is_object()) {
        return "\"changes\" and \"example\" must be objects of keys and values";
    }
    c.count = j["count"].get<size_t>();
    c.first = j["first"].get<size_t>();
    c.origin = j["origin"].get<size_t>();
    c.originChanges = j["origin_changes"].get<size_t>();
    c.behaviour.exit = j["exit"].get<int64_t>();
    c.behaviour.timedOut = j["timed_out"].get<bool>();
    c.behaviour.changes = j["changes"];
    c.example = j["example"];
    if (counterexample) {
        const oj& f = j.contains("failures") ? j["failures"] : oj();
        if (!f.is_array() ||
            !std::all_of(f.begin(), f.end(), [](const oj& line) { return line.is_string(); })) {
            return "\"failures\" must be a list of strings";
        }
        c.failures = f.get<std::vector<std::string>>();
    }
    return ProgramsProblem(j["programs"], c.behaviour);
}

bool ClassesOf(const oj& doc, const std::string& name, std::vector<BehaviourClass>& out,
               std::string& problem) {
    if (!doc.contains(name) || !doc[name].is_array()) {
        problem = "\"" + name + "\" must be a list";
        return false;
    }
    for (size_t i = 0; i < doc[name].size(); ++i) {
        BehaviourClass c;
        if (std::string p = ClassProblem(doc[name][i], name == "counterexamples", c); !p.empty()) {
            problem =
                std::string(name).append(" ").append(std::to_string(i + 1)).append(": ").append(p);
            return false;
        }
        out.push_back(std::move(c));
    }
    return true;
}

// Whether `a`'s example is the one the whole run would have: the whole run shrinks the member
// with the fewest changes, the first of those, so the example of that origin is kept.
bool SmallerExample(const BehaviourClass& a, const BehaviourClass& b) {
    return a.originChanges != b.originChanges ? a.originChanges < b.originChanges
                                              : a.origin < b.origin;
}

void MergeInto(std::vector<BehaviourClass>& into, const BehaviourClass& c) {
    const auto same = std::find_if(into.begin(), into.end(), [&](const BehaviourClass& have) {
        return have.behaviour == c.behaviour;
    });
    if (same == into.end()) {
        into.push_back(c);
        return;
    }
    const size_t count = same->count + c.count;
    const size_t first = std::min(same->first, c.first);
    if (SmallerExample(c, *same)) {
        *same = c;
    }
    same->count = count;
    same->first = first;
}

// A field of a report's meta (null when missing); "shards": how many shards its "shard" ("K/N")
// says there are.
oj Meta(const Exploration& e, const std::string& field) {
    if (field != "shards") {
        return e.meta.value(field, oj());
    }
    const oj shard = e.meta.value("shard", oj());
    const std::string text = shard.is_string() ? shard.get<std::string>() : "";
    return text.find('/') == std::string::npos ? oj() : oj(text.substr(text.find('/') + 1));
}

void ByFirst(std::vector<BehaviourClass>& classes) {
    std::stable_sort(
        classes.begin(), classes.end(),
        [](const BehaviourClass& a, const BehaviourClass& b) { return a.first < b.first; });
}

// A JSON value as it is written after "=": a string as its text, anything else as JSON.
std::string Shown(const oj& value) {
    return EscapedForLine(value.is_string() ? value.get<std::string>() : value.dump());
}

std::string KeyValues(const oj& object, const std::string& none) {
    if (object.empty()) {
        return none;
    }
    std::string text;
    for (auto it = object.begin(); it != object.end(); ++it) {
        text += (text.empty() ? "" : " ") + EscapedForLine(it.key()) + "=" + Shown(*it);
    }
    return text;
}

std::string ProgramsText(const Behaviour& b) {
    if (b.programs.empty()) {
        return "no programs";
    }
    std::string text;
    for (const auto& [program, status] : b.programs) {
        text += (text.empty() ? "" : ", ") +
                (program.empty() ? std::string("(unnamed)") : EscapedForLine(program)) + " " +
                (status ? std::to_string(*status) : std::string("(did not end)"));
    }
    return text;
}

// One class without its count: "exit 0  brenvik 0, tolmare 2  changes a=1  example b=2".
std::string ClassLine(const Behaviour& b, const oj& example) {
    return "exit " + std::to_string(b.exit) + (b.timedOut ? " (timed out)" : "") + "  " +
           ProgramsText(b) + "  changes " + KeyValues(b.changes, "(none)") + "  example " +
           KeyValues(example, "(the base)");
}

std::string Padded(const std::string& text, size_t width) {
    return std::string(text.size() < width ? width - text.size() : 0, ' ') + text;
}

std::string Plural(size_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A snapshot's list: canonical key -> (the class's line, its example).
using SnapshotEntries = std::map<std::string, std::string>;

oj SnapshotList(const std::vector<BehaviourClass>& classes) {
    std::map<std::string, oj> sorted;
    for (const BehaviourClass& c : classes) {
        // Keys sorted too, so that the file does not change with the order runs found them.
        oj entry = oj::parse(Sorted(BehaviourJson(c.behaviour)).dump());
        entry["example"] = oj::parse(Sorted(c.example).dump());
        sorted[CanonicalKey(c.behaviour)] = std::move(entry);
    }
    oj list = oj::array();
    for (auto& [key, entry] : sorted) {
        list.push_back(std::move(entry));
    }
    return list;
}

// The entries of one list of a snapshot document; false with `problem` when it is not one.
bool SnapshotEntriesOf(const oj& doc, const std::string& name, SnapshotEntries& out,
                       std::string& problem) {
    if (!doc.contains(name) || !doc[name].is_array()) {
        problem = "\"" + name + "\" must be a list";
        return false;
    }
    for (size_t i = 0; i < doc[name].size(); ++i) {
        oj entry = doc[name][i];
        if (entry.is_object()) {
            entry["count"] = 1;
            entry["first"] = 0;
            entry["origin"] = 0;
            entry["origin_changes"] = 0;
        }
        BehaviourClass c;
        if (std::string p = ClassProblem(entry, false, c); !p.empty()) {
            problem =
                std::string(name).append(" ").append(std::to_string(i + 1)).append(": ").append(p);
            return false;
        }
        out[CanonicalKey(c.behaviour)] = ClassLine(c.behaviour, c.example);
    }
    return true;
}

SnapshotEntries EntriesOf(const std::vector<BehaviourClass>& classes) {
    SnapshotEntries out;
    for (const BehaviourClass& c : classes) {
        out.emplace(CanonicalKey(c.behaviour), ClassLine(c.behaviour, c.example));
    }
    return out;
}

void Compare(const std::string& what, const SnapshotEntries& was, const SnapshotEntries& now,
             std::vector<std::string>& lines) {
    for (const auto& [key, line] : now) {
        if (was.count(key) == 0) {
            lines.push_back(std::string(what).append(" appeared: ").append(line));
        }
    }
    for (const auto& [key, line] : was) {
        if (now.count(key) == 0) {
            lines.push_back(std::string(what).append(" vanished: ").append(line));
        }
    }
}

// Text for XML 1.0: escaped for one line first (control characters and bytes that are not
// UTF-8), then U+FFFE and U+FFFF, which XML cannot carry, as escapes, and the markup.
std::string Xml(const std::string& raw) {
    const std::string text = EscapedForLine(raw);
    std::string out;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text.compare(at, 2, "\xEF\xBF") == 0 && at + 2 < text.size() &&
            (text[at + 2] == '\xBE' || text[at + 2] == '\xBF')) {
            out += text[at + 2] == '\xBE' ? "\\xef\\xbf\\xbe" : "\\xef\\xbf\\xbf";
            at += 2;
            continue;
        }
        const char c = text[at];
        out += c == '&'   ? "&amp;"
               : c == '<' ? "&lt;"
               : c == '>' ? "&gt;"
               : c == '"' ? "&quot;"
                          : std::string(1, c);
    }
    return out;
}

// One test case, named by what it stands for (a behaviour keeps its name from run to run),
// failed with `failures` when there are any.
std::string TestCase(const std::string& suite, const std::string& name,
                     const std::vector<std::string>& failures, const std::string& out) {
    std::string xml = "    <testcase classname=\"" + suite + "\" name=\"" + Xml(name) + "\">\n";
    if (!failures.empty()) {
        std::string all;
        for (const std::string& f : failures) {
            all += Xml(f) + "\n";
        }
        xml += "      <failure message=\"" + Xml(failures.front()) + "\" type=\"exploration\">" +
               all + "</failure>\n";
    }
    if (!out.empty()) {
        xml += "      <system-out>" + Xml(out) + "</system-out>\n";
    }
    return xml + "    </testcase>\n";
}

std::string ClassCase(const std::string& suite, const std::string& kind, const BehaviourClass& c) {
    const Behaviour& b = c.behaviour;
    const std::string name = kind + "exit " + std::to_string(b.exit) +
                             (b.timedOut ? " (timed out)" : "") + "  " + ProgramsText(b) +
                             "  changes " + KeyValues(b.changes, "(none)");
    const std::string out = Plural(c.count, "machine", "machines") + "; example " +
                            KeyValues(c.example, "(the base)") + " (shrunk from machine " +
                            std::to_string(c.origin) + ")";
    return TestCase(suite, name, c.failures, out);
}

} // namespace

bool Behaviour::operator==(const Behaviour& other) const {
    return exit == other.exit && timedOut == other.timedOut && programs == other.programs &&
           Sorted(changes) == Sorted(other.changes);
}

Behaviour BehaviourOf(const Outcome& outcome) {
    Behaviour b;
    b.exit = outcome.exit;
    b.timedOut = outcome.timedOut;
    for (const ProgramRun& run : outcome.runs) {
        b.programs.emplace_back(run.program, run.status);
    }
    for (const KeyChange& c : outcome.changes) {
        b.changes[c.key] = c.after;
    }
    return b;
}

oj ExplorationJson(const Exploration& e) {
    oj classes = oj::array();
    for (const BehaviourClass& c : e.classes) {
        classes.push_back(ClassJson(c, false));
    }
    oj counterexamples = oj::array();
    for (const BehaviourClass& c : e.counterexamples) {
        counterexamples.push_back(ClassJson(c, true));
    }
    return {{"version", kReportVersion},
            {"machines", e.machines},
            {"classes", std::move(classes)},
            {"counterexamples", std::move(counterexamples)},
            {"meta", e.meta}};
}

std::optional<Exploration> ExplorationFromJson(const oj& doc, std::string& problem) {
    if (!doc.is_object() || !doc.contains("version") || doc["version"] != kReportVersion) {
        problem = "not an exploration report of version " + std::to_string(kReportVersion);
        return std::nullopt;
    }
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        static const std::set<std::string> fields = {"version", "machines", "classes",
                                                     "counterexamples", "meta"};
        if (fields.count(it.key()) == 0) {
            problem = "unknown field '" + EscapedForLine(it.key()) + "'";
            return std::nullopt;
        }
    }
    Exploration e;
    if (!doc.contains("machines") || !IsCount(doc["machines"])) {
        problem = "\"machines\" must be an integer from 0";
        return std::nullopt;
    }
    if (!doc.contains("meta") || !doc["meta"].is_object()) {
        problem = "\"meta\" must be an object";
        return std::nullopt;
    }
    e.machines = doc["machines"].get<size_t>();
    e.meta = doc["meta"];
    if (!ClassesOf(doc, "classes", e.classes, problem) ||
        !ClassesOf(doc, "counterexamples", e.counterexamples, problem)) {
        return std::nullopt;
    }
    return e;
}

std::optional<Exploration> MergeExplorations(const std::vector<Exploration>& shards,
                                             std::string& problem) {
    if (shards.empty()) {
        problem = "no shards to merge";
        return std::nullopt;
    }
    Exploration whole;
    whole.meta = shards.front().meta;
    whole.meta.erase("shard");
    std::set<std::string> seen;
    for (size_t i = 0; i < shards.size(); ++i) {
        const Exploration& s = shards[i];
        for (const char* field :
             {"seed", "strength", "keys", "limit", "base", "procedure", "build", "shards"}) {
            if (Meta(s, field) != Meta(shards.front(), field)) {
                problem = "report " + std::to_string(i + 1) + " is of another exploration: its " +
                          field + " differs from the first report's";
                return std::nullopt;
            }
        }
        const oj shard = s.meta.value("shard", oj());
        if (!seen.insert(shard.dump()).second) {
            problem = "report " + std::to_string(i + 1) + " repeats " +
                      (shard.is_null() ? "the whole exploration" : "shard " + Shown(shard));
            return std::nullopt;
        }
        whole.machines += s.machines;
        for (const BehaviourClass& c : s.classes) {
            MergeInto(whole.classes, c);
        }
        for (const BehaviourClass& c : s.counterexamples) {
            MergeInto(whole.counterexamples, c);
        }
    }
    ByFirst(whole.classes);
    ByFirst(whole.counterexamples);
    return whole;
}

oj SnapshotJson(const Exploration& e) {
    return {{"version", kSnapshotVersion},
            {"classes", SnapshotList(e.classes)},
            {"counterexamples", SnapshotList(e.counterexamples)}};
}

std::optional<std::vector<std::string>>
SnapshotDifferences(const oj& snapshot, const Exploration& e, std::string& problem) {
    if (!snapshot.is_object() || snapshot.value("version", oj()) != kSnapshotVersion ||
        snapshot.size() != 3) {
        problem = "not a snapshot of version " + std::to_string(kSnapshotVersion) +
                  " ({\"version\", \"classes\", \"counterexamples\"})";
        return std::nullopt;
    }
    SnapshotEntries classes;
    SnapshotEntries counterexamples;
    if (!SnapshotEntriesOf(snapshot, "classes", classes, problem) ||
        !SnapshotEntriesOf(snapshot, "counterexamples", counterexamples, problem)) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    Compare("class", classes, EntriesOf(e.classes), lines);
    Compare("counterexample", counterexamples, EntriesOf(e.counterexamples), lines);
    return lines;
}

std::string ExplorationJUnit(const TableInfo& table, const Exploration& e,
                             const std::vector<std::string>& snapshotDifferences) {
    const std::string suite = Xml(table.suite);
    std::string cases;
    for (const BehaviourClass& c : e.counterexamples) {
        cases += ClassCase(suite, "counterexample: ", c);
    }
    for (const BehaviourClass& c : e.classes) {
        cases += ClassCase(suite, "", c);
    }
    for (const std::string& difference : snapshotDifferences) {
        cases += TestCase(suite, "snapshot: " + difference, {difference}, "");
    }
    const size_t tests = e.counterexamples.size() + e.classes.size() + snapshotDifferences.size();
    const std::string counts = "tests=\"" + std::to_string(tests) + "\" failures=\"" +
                               std::to_string(tests - e.classes.size()) + "\" errors=\"0\"";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"simbook explore\" " +
           counts + ">\n  <testsuite name=\"" + suite + "\" " + counts +
           " skipped=\"0\">\n    <properties>\n      <property name=\"build\" value=\"" +
           Xml(table.build) + "\"/>\n      <property name=\"machines\" value=\"" +
           std::to_string(e.machines) + "\"/>\n    </properties>\n" + cases +
           "  </testsuite>\n</testsuites>\n";
}

std::string ExplorationText(const Exploration& e) {
    size_t width = 5;
    for (const auto* list : {&e.classes, &e.counterexamples}) {
        for (const BehaviourClass& c : *list) {
            width = std::max(width, std::to_string(c.count).size());
        }
    }
    std::string text;
    for (const BehaviourClass& c : e.counterexamples) {
        text += Padded(std::to_string(c.count), width) + "  FAIL  " +
                ClassLine(c.behaviour, c.example) + "\n";
        for (const std::string& f : c.failures) {
            text += std::string(width + 8, ' ') + EscapedForLine(f) + "\n";
        }
    }
    for (const BehaviourClass& c : e.classes) {
        text += Padded(std::to_string(c.count), width) + "  " + ClassLine(c.behaviour, c.example) +
                "\n";
    }
    return text + Plural(e.machines, "machine", "machines") + ", " +
           Plural(e.classes.size(), "class", "classes") + ", " +
           Plural(e.counterexamples.size(), "counterexample", "counterexamples") + "\n";
}

} // namespace simbook::cli
