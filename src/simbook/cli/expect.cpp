// The expectation file of `simbook run`: read and checked entry by entry, applied to each row of
// a table (final values, exit status, exactly which keys change, the sequence of program runs,
// the output), the rows counted, and the file written back from a run with --update.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <limits>
#include <set>

#include "simbook/cli/commands.h"
#include "simbook/cli/procedure.h"
#include "simbook/json_nesting.h"
#include "simbook/machine.h"
#include "simbook/trace.h"

namespace simbook::cli {

using oj = nlohmann::ordered_json;

// A PCRE2 pattern, compiled once when the file is read and matched against each row's output
// within limits: the output is the procedure's, untrusted, and a pattern that backtracks
// without end fails its row instead of hanging or exhausting the stack.
class OutputPattern {
public:
    OutputPattern(const OutputPattern&) = delete;
    OutputPattern& operator=(const OutputPattern&) = delete;
    ~OutputPattern() {
        pcre2_match_context_free(context_);
        pcre2_code_free(code_);
    }

    // The pattern, or none with `problem` saying where it fails to compile.
    static std::shared_ptr<const OutputPattern> Compile(const std::string& text,
                                                        std::string& problem) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        pcre2_code* code =
            pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                          PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &error, &offset, nullptr);
        if (code == nullptr) {
            problem = "not a regular expression: " + Message(error) + " at offset " +
                      std::to_string(offset);
            return nullptr;
        }
        return std::shared_ptr<const OutputPattern>(new OutputPattern(text, code));
    }

    // Empty when `subject` holds a match; else what to tell of the row.
    std::string Search(const std::string& subject) const {
        pcre2_match_data* data = pcre2_match_data_create_from_pattern(code_, nullptr);
        const int rc = data == nullptr
                           ? PCRE2_ERROR_NOMEMORY
                           : pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                                         subject.size(), 0, 0, data, context_);
        pcre2_match_data_free(data);
        const std::string shown = EscapedForLine(text_);
        if (rc >= 0) {
            return "";
        }
        if (rc == PCRE2_ERROR_NOMATCH) {
            return "output: does not match " + shown;
        }
        if (rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT ||
            rc == PCRE2_ERROR_HEAPLIMIT) {
            return "output: matching " + shown + " gave up (" + Message(rc) +
                   "); simplify the pattern";
        }
        return "output: cannot be matched against " + shown + ": " + Message(rc);
    }

private:
    // Tries of the matcher, backtracking depth and its memory (KiB) a search may use: far
    // beyond what a sensible pattern needs on output of a few MiB.
    static constexpr uint32_t kMatchLimit = 10'000'000;
    static constexpr uint32_t kDepthLimit = 100'000;
    static constexpr PCRE2_SIZE kHeapLimitKiB = 64 * 1024;

    OutputPattern(std::string text, pcre2_code* code)
        : text_(std::move(text)), code_(code), context_(pcre2_match_context_create(nullptr)) {
        pcre2_set_match_limit(context_, kMatchLimit);
        pcre2_set_depth_limit(context_, kDepthLimit);
        pcre2_set_heap_limit(context_, kHeapLimitKiB);
    }

    static std::string Message(int error) {
        PCRE2_UCHAR buffer[256];
        const int n = pcre2_get_error_message(error, buffer, sizeof buffer);
        return n < 0 ? "error " + std::to_string(error)
                     : std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }

    std::string text_;
    pcre2_code* code_;
    pcre2_match_context* context_;
};

namespace {

// `key` with every index written as "[]".
std::string WithoutIndices(const std::string& key) {
    std::string out;
    for (size_t i = 0; i < key.size(); ++i) {
        out += key[i];
        if (key[i] == '[') {
            while (i + 1 < key.size() && key[i + 1] != ']') {
                ++i;
            }
        }
    }
    return out;
}

// Whether `key` names a key of machine files, or a part of one ("firmware", "wlan.interfaces").
// A key that takes a list of behaviours has "<key>_step" beside it, which says how far the list
// has gone; the default machine holds no list, so the step is known by the key it counts.
bool IsMachineKey(const std::string& key) {
    static const std::set<std::string> leaves = [] {
        std::set<std::string> names;
        for (const std::string& name : DefaultMachineKeys()) {
            names.insert(WithoutIndices(name));
        }
        return names;
    }();
    static const std::set<std::string> known = [] {
        std::set<std::string> names;
        for (const std::string& plain : leaves) {
            for (size_t at = 0; at != std::string::npos; at = plain.find_first_of(".[", at + 1)) {
                names.insert(plain.substr(0, at));
            }
            names.insert(plain);
        }
        return names;
    }();
    const std::string plain = WithoutIndices(key);
    const std::string step = "_step";
    const bool stepOf = plain.size() > step.size() &&
                        plain.compare(plain.size() - step.size(), step.size(), step) == 0 &&
                        leaves.count(plain.substr(0, plain.size() - step.size())) != 0;
    return !key.empty() && (known.count(plain) != 0 || stepOf);
}

bool IsInt64(const oj& value) {
    return value.is_number_integer() &&
           (!value.is_number_unsigned() ||
            value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
}

// A program's full status: 32 bits, signed, as the trace writes it.
bool IsStatus(const oj& value) {
    return IsInt64(value) && value.get<int64_t>() >= std::numeric_limits<int32_t>::min() &&
           value.get<int64_t>() <= std::numeric_limits<int32_t>::max();
}

// What is wrong with one run of a "programs" list; empty when nothing is.
std::string ProgramProblem(const oj& run) {
    if (!run.is_object()) {
        return "must be an object like {\"program\": \"brenvik\", \"args\": [...], \"status\": 0}";
    }
    for (auto it = run.begin(); it != run.end(); ++it) {
        if (it.key() != "program" && it.key() != "args" && it.key() != "status") {
            return "'" + EscapedForLine(it.key()) +
                   "' is not one of \"program\", \"args\", \"status\"";
        }
    }
    if (!run.contains("program") || !run["program"].is_string()) {
        return "\"program\" must be given, a string";
    }
    if (run.contains("args") &&
        (!run["args"].is_array() || !std::all_of(run["args"].begin(), run["args"].end(),
                                                 [](const oj& a) { return a.is_string(); }))) {
        return "\"args\" must be a list of strings";
    }
    if (run.contains("status") && !IsStatus(run["status"])) {
        return "\"status\" must be an integer from -2147483648 to 2147483647";
    }
    return "";
}

// What is wrong with the entry `name` of one machine's object, or "" (`pattern` set for
// "output").
std::string EntryProblem(const std::string& name, const oj& value,
                         std::shared_ptr<const OutputPattern>& pattern) {
    if (name == "exit") {
        return IsInt64(value) ? "" : "must be an integer";
    }
    if (name == "output") {
        std::string problem = value.is_string() ? "" : "must be a string, a regular expression";
        if (problem.empty()) {
            pattern = OutputPattern::Compile(value.get<std::string>(), problem);
        }
        return problem;
    }
    if (name == "changes") {
        if (!value.is_object()) {
            return "must be an object of machine keys and their values after the run";
        }
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!IsMachineKey(it.key())) {
                return "'" + EscapedForLine(it.key()) + "' is not a machine key";
            }
        }
        return "";
    }
    if (name == "programs") {
        if (!value.is_array()) {
            return "must be a list of program runs";
        }
        for (size_t i = 0; i < value.size(); ++i) {
            if (std::string problem = ProgramProblem(value[i]); !problem.empty()) {
                return "run " + std::to_string(i + 1) + ": " + problem;
            }
        }
        return "";
    }
    return IsMachineKey(name) ? ""
                              : "is neither \"exit\", \"changes\", \"programs\", \"output\" nor "
                                "a machine key like firmware.wlan_flags";
}

// The entries that apply to `machine`: "*"'s, then its own, which override them.
oj Wanted(const Expectations& expect, const std::string& machine,
          std::shared_ptr<const OutputPattern>& pattern) {
    oj wanted = oj::object();
    for (const std::string& entry : {std::string("*"), machine}) {
        const auto found = expect.byMachine.find(entry);
        if (found == expect.byMachine.end()) {
            continue;
        }
        for (auto it = found->begin(); it != found->end(); ++it) {
            wanted[it.key()] = *it;
        }
        if (const auto p = expect.patterns.find(entry); p != expect.patterns.end()) {
            pattern = p->second;
        }
    }
    return wanted;
}

// Whether every key of a rule's "when" has its value in `started` (null: no machine known).
bool RuleMatches(const oj& when, const oj* started) {
    for (auto it = when.begin(); it != when.end(); ++it) {
        const oj* value = started == nullptr ? nullptr : Lookup(*started, it.key());
        if (value == nullptr || *value != *it) {
            return false;
        }
    }
    return true;
}

// The entries of the expectation that applies to the row, with its pattern; false when none
// does.
bool Applying(const Expectations& expect, const Outcome& o, const oj* started, oj& wanted,
              std::shared_ptr<const OutputPattern>& pattern) {
    if (!expect.listed) {
        wanted = Wanted(expect, o.machine, pattern);
        return expect.byMachine.contains(o.machine) || expect.byMachine.contains("*");
    }
    for (size_t i = 0; i < expect.rules.size(); ++i) {
        if (RuleMatches(expect.rules[i]["when"], started)) {
            wanted = expect.rules[i];
            wanted.erase("when");
            if (const auto p = expect.patterns.find(std::to_string(i));
                p != expect.patterns.end()) {
                pattern = p->second;
            }
            return true;
        }
    }
    return false;
}

void CheckChanges(const oj& wanted, Outcome& o) {
    std::set<std::string> changed;
    for (const KeyChange& c : o.changes) {
        changed.insert(c.key);
        if (!wanted.contains(c.key)) {
            o.failures.push_back("changes: " + EscapedForLine(c.key) + " changed " +
                                 Printable(c.before) + " -> " + Printable(c.after) +
                                 ", expected unchanged");
        } else if (wanted[c.key] != c.after) {
            o.failures.push_back("changes: " + EscapedForLine(c.key) + " changed " +
                                 Printable(c.before) + " -> " + Printable(c.after) +
                                 ", expected to change to " + Printable(wanted[c.key]));
        }
    }
    for (auto it = wanted.begin(); it != wanted.end(); ++it) {
        if (changed.count(it.key()) == 0) {
            const oj* now = Lookup(o.after, it.key());
            o.failures.push_back(
                "changes: " + EscapedForLine(it.key()) + " expected to change to " +
                Printable(*it) + ", " +
                (now == nullptr ? "no such key in the machine" : "stayed " + Printable(*now)));
        }
    }
}

bool RunMatches(const oj& want, const ProgramRun& run) {
    if (want["program"].get<std::string>() != run.program) {
        return false;
    }
    if (want.contains("args") && want["args"].get<std::vector<std::string>>() != run.args) {
        return false;
    }
    return !want.contains("status") || (run.status && want["status"] == *run.status);
}

// A run as a failure tells it: program and arguments ("(any arguments)" where they are not
// named), and its status where the expectation names one.
std::string Told(const ProgramRun& run, bool anyArgs, bool status) {
    std::string text = CommandLine(run) + (anyArgs ? " (any arguments)" : "");
    if (status) {
        text += run.status ? " (exit " + std::to_string(*run.status) + ")" : " (did not end)";
    }
    return text;
}

std::string Told(const oj& want) {
    ProgramRun run;
    run.program = want["program"].get<std::string>();
    if (want.contains("args")) {
        run.args = want["args"].get<std::vector<std::string>>();
    }
    if (want.contains("status")) {
        run.status = want["status"].get<int64_t>();
    }
    return Told(run, !want.contains("args"), want.contains("status"));
}

void CheckPrograms(const oj& wanted, Outcome& o) {
    for (size_t i = 0; i < std::min(wanted.size(), o.runs.size()); ++i) {
        if (!RunMatches(wanted[i], o.runs[i])) {
            o.failures.push_back("programs: run " + std::to_string(i + 1) + " was " +
                                 Told(o.runs[i], false, wanted[i].contains("status")) +
                                 ", expected " + Told(wanted[i]));
        }
    }
    if (wanted.size() != o.runs.size()) {
        o.failures.push_back("programs: " + std::to_string(o.runs.size()) +
                             (o.runs.size() == 1 ? " run" : " runs") + ", expected " +
                             std::to_string(wanted.size()));
    }
}

void CheckEntry(const std::string& name, const oj& value, Outcome& o) {
    if (name == "exit") {
        if (o.exit != value.get<int64_t>()) {
            o.failures.push_back("exit: " + std::to_string(o.exit) + ", expected " +
                                 std::to_string(value.get<int64_t>()));
        }
    } else if (name == "changes") {
        CheckChanges(value, o);
    } else if (name == "programs") {
        CheckPrograms(value, o);
    } else if (name != "output") {
        const oj* now = Lookup(o.after, name);
        if (now == nullptr) {
            o.failures.push_back(EscapedForLine(name) + ": no such key in the machine, expected " +
                                 Printable(value));
        } else if (*now != value) {
            o.failures.push_back(EscapedForLine(name) + ": " + Printable(*now) + ", expected " +
                                 Printable(value));
        }
    }
}

// What is wrong with a rule's "when", or "".
std::string WhenProblem(const oj& rule) {
    if (!rule.contains("when") || !rule["when"].is_object()) {
        return "\"when\" must be given, an object of machine keys and their values";
    }
    for (auto it = rule["when"].begin(); it != rule["when"].end(); ++it) {
        if (!IsMachineKey(it.key())) {
            return "\"when\": '" + EscapedForLine(it.key()) + "' is not a machine key";
        }
    }
    return "";
}

// The list form: each rule an object with "when" and the entries of the object form.
std::optional<Expectations> RulesOf(const oj& document, std::string& problem) {
    Expectations expect;
    expect.listed = true;
    expect.rules = document;
    for (size_t i = 0; i < document.size(); ++i) {
        const oj& rule = document[i];
        const std::string where = "rule " + std::to_string(i + 1);
        problem = rule.is_object() ? WhenProblem(rule)
                                   : "not an object like {\"when\": {...}, \"exit\": 0}";
        for (auto entry = rule.begin(); problem.empty() && entry != rule.end(); ++entry) {
            std::shared_ptr<const OutputPattern> pattern;
            if (entry.key() != "when") {
                problem = EntryProblem(entry.key(), *entry, pattern);
                if (!problem.empty()) {
                    problem.insert(0, "\"" + EscapedForLine(entry.key()) + "\": ");
                }
            }
            if (pattern) {
                expect.patterns[std::to_string(i)] = pattern;
            }
        }
        if (!problem.empty()) {
            problem.insert(0, where + ": ");
            return std::nullopt;
        }
    }
    return expect;
}

} // namespace

std::optional<Expectations> ExpectationsOf(const oj& document, std::string& problem) {
    if (document.is_array()) {
        return RulesOf(document, problem);
    }
    if (!document.is_object()) {
        problem = "not a JSON object of machine names, nor a list of rules";
        return std::nullopt;
    }
    Expectations expect;
    expect.byMachine = document;
    for (auto it = document.begin(); it != document.end(); ++it) {
        const std::string machine = EscapedForLine(it.key());
        if (!it->is_object()) {
            problem = machine + ": not an object of what must hold after its run";
            return std::nullopt;
        }
        for (auto entry = it->begin(); entry != it->end(); ++entry) {
            std::shared_ptr<const OutputPattern> pattern;
            problem = EntryProblem(entry.key(), *entry, pattern);
            if (!problem.empty()) {
                problem.insert(0, machine + ": \"" + EscapedForLine(entry.key()) + "\": ");
                return std::nullopt;
            }
            if (pattern) {
                expect.patterns[it.key()] = pattern;
            }
        }
    }
    return expect;
}

std::optional<Expectations> ReadExpectations(const std::string& path, std::string& problem) {
    std::string text;
    if (!ReadMachineText(path, text, problem)) {
        return std::nullopt;
    }
    if (!NestedWithin(text, 16)) {
        problem = "nests deeper than 16 levels";
        return std::nullopt;
    }
    const oj document = oj::parse(text, nullptr, false);
    if (document.is_discarded()) {
        problem = "not JSON";
        return std::nullopt;
    }
    return ExpectationsOf(document, problem);
}

void Check(const Expectations* expect, bool strict, Outcome& o, const oj* started) {
    o.judging = expect != nullptr || strict;
    std::shared_ptr<const OutputPattern> pattern;
    oj wanted = oj::object();
    o.checked = expect != nullptr && Applying(*expect, o, started, wanted, pattern);
    if (o.timedOut) {
        o.failures.push_back("timed out after " + std::to_string(static_cast<int>(o.seconds)) +
                             " s");
    } else if (o.interrupted) {
        o.failures.push_back("interrupted: simbook ended the procedure");
    }
    if (!o.checked) {
        if (strict) {
            o.failures.push_back("no expectation for this machine");
        }
        return;
    }
    for (auto it = wanted.begin(); it != wanted.end(); ++it) {
        CheckEntry(it.key(), *it, o);
    }
    if (pattern) {
        if (std::string failure = pattern->Search(o.output); !failure.empty()) {
            o.failures.push_back(failure);
        }
    }
}

Judgement JudgementOf(const Outcome& outcome) {
    if (!outcome.failures.empty()) {
        return Judgement::kFail;
    }
    return outcome.checked ? Judgement::kPass : Judgement::kNotJudged;
}

Tally Count(const std::vector<Outcome>& rows) {
    Tally tally;
    for (const Outcome& row : rows) {
        const Judgement j = JudgementOf(row);
        (j == Judgement::kPass   ? tally.passed
         : j == Judgement::kFail ? tally.failed
                                 : tally.notJudged)++;
    }
    return tally;
}

std::string TableSummary(const std::vector<Outcome>& rows) {
    const Tally t = Count(rows);
    std::string text = std::to_string(rows.size()) + (rows.size() == 1 ? " machine" : " machines");
    const bool judging =
        std::any_of(rows.begin(), rows.end(), [](const Outcome& row) { return row.judging; });
    if (judging || t.failed > 0) {
        text +=
            ": " + std::to_string(t.passed) + " passed, " + std::to_string(t.failed) + " failed";
        if (t.notJudged > 0) {
            text += ", " + std::to_string(t.notJudged) + " not judged";
        }
    }
    return text + "\n";
}

// Every row's machine gets an entry of its own, which says all that "*" could; an old "*"
// would still apply beside it and contradict it, so "*" is dropped. The entries kept, for
// machines not in the table, take in what "*" said to them, so that they mean what they meant.
oj UpdatedExpectations(const oj& old, const std::vector<Outcome>& rows) {
    oj doc = oj::object();
    const oj every = old.is_object() ? old.value("*", oj::object()) : oj::object();
    for (auto it = old.begin(); old.is_object() && it != old.end(); ++it) {
        if (it.key() == "*") {
            continue;
        }
        doc[it.key()] = every.is_object() && it->is_object() ? every : *it;
        if (it->is_object()) {
            doc[it.key()].update(*it);
        }
    }
    for (const Outcome& row : rows) {
        oj changes = oj::object();
        for (const KeyChange& c : row.changes) {
            changes[c.key] = c.after;
        }
        oj programs = oj::array();
        for (const ProgramRun& run : row.runs) {
            oj p = {{"program", run.program}, {"args", run.args}};
            if (run.status) {
                p["status"] = *run.status;
            }
            programs.push_back(std::move(p));
        }
        doc[row.machine] = {{"exit", row.exit}, {"changes", changes}, {"programs", programs}};
    }
    return doc;
}

} // namespace simbook::cli
