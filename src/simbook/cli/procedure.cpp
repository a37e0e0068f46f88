// Reading a procedure's run back (its trace's start and exit lines, its machine before and
// after) and telling it: report, table row, expectations, JUnit XML.
#include "simbook/cli/procedure.h"

#include <cstdio>
#include <map>
#include <set>

#include "simbook/cli/commands.h"
#include "simbook/json_nesting.h"
#include "simbook/machine.h"
#include "simbook/protocol.h"
#include "simbook/trace.h"
#include "simbook/trace_decode.h"

namespace simbook::cli {
namespace {

using oj = nlohmann::ordered_json;

std::string Printable(const oj& value) {
    return EscapedForLine(value.is_string() ? value.get<std::string>() : value.dump());
}

std::string CommandLine(const ProgramRun& run) {
    std::string text = run.program.empty() ? "(unnamed program)" : EscapedForLine(run.program);
    for (const std::string& a : run.args) {
        text += " " + EscapedForLine(a);
    }
    return text;
}

std::string Padded(std::string text, size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

// Whether `text` holds U+FFFE or U+FFFF at `at`: the two characters of the Basic Multilingual
// Plane beside the surrogates that XML 1.0 cannot carry, escaped or not.
bool NotAnXmlCharacter(const std::string& text, size_t at) {
    return text.compare(at, 2, "\xEF\xBF") == 0 && at + 2 < text.size() &&
           (text[at + 2] == '\xBE' || text[at + 2] == '\xBF');
}

std::string XmlEscaped(const std::string& raw) {
    // Control characters and bytes that are not UTF-8, which XML 1.0 cannot carry either, are
    // written as escapes first; what EscapedForLine leaves is UTF-8, so 0xEF begins a character.
    const std::string text = EscapedForLine(raw);
    std::string out;
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (NotAnXmlCharacter(text, at)) {
            out += text[at + 2] == '\xBE' ? "\\xef\\xbf\\xbe" : "\\xef\\xbf\\xbf";
            at += 2;
            continue;
        }
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Several lines of output for XML: each line escaped on its own, the line ends kept.
std::string XmlLines(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        out += XmlEscaped(line) + "\n";
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

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
bool IsMachineKey(const std::string& key) {
    static const std::set<std::string> known = [] {
        std::set<std::string> names;
        for (const std::string& name : DefaultMachineKeys()) {
            const std::string plain = WithoutIndices(name);
            for (size_t at = 0; at != std::string::npos; at = plain.find_first_of(".[", at + 1)) {
                names.insert(plain.substr(0, at));
            }
            names.insert(plain);
        }
        return names;
    }();
    return !key.empty() && known.count(WithoutIndices(key)) != 0;
}

} // namespace

std::vector<ProgramRun> RunsOfTrace(const std::vector<std::string>& lines) {
    std::vector<ProgramRun> runs;
    std::map<size_t, size_t> open; // a start line's number -> its run, until the run's exit
    TraceDecoder decoder("", [&](TraceEvent&& e) {
        // The decoder's facts of start and exit events; a missing one reads as null.
        const auto fact = [&](const char* key) { return e.facts.value(key, oj()); };
        const oj number = fact("run");
        if (e.kind == "start") {
            ProgramRun run;
            run.number = number.is_number_integer() ? number.get<int64_t>() : 0;
            run.program = fact("program").is_string() ? fact("program").get<std::string>() : "";
            for (const oj& a : fact("args")) {
                run.args.push_back(a.is_string() ? a.get<std::string>() : a.dump());
            }
            open[e.line] = runs.size();
            runs.push_back(std::move(run));
            return;
        }
        const oj status = fact("status");
        if (e.kind != "exit" || !status.is_number_integer()) {
            return; // an exit line without a readable status says nothing of the run
        }
        const oj startLine = fact("start_line");
        const auto started =
            startLine.is_number_unsigned() ? open.find(startLine.get<size_t>()) : open.end();
        if (started == open.end()) {
            runs.emplace_back(); // a run without a start line
            runs.back().number = number.is_number_integer() ? number.get<int64_t>() : 0;
        }
        ProgramRun& run = started == open.end() ? runs.back() : runs[started->second];
        run.status = status.get<int64_t>();
        if (started != open.end()) {
            open.erase(started);
        }
    });
    for (size_t i = 0; i < lines.size(); ++i) {
        decoder.Line(i + 1, lines[i]);
    }
    decoder.Finish();
    return runs;
}

std::vector<KeyChange> Changes(const oj& before, const oj& after) {
    std::vector<std::pair<std::string, oj>> was;
    std::vector<std::pair<std::string, oj>> is;
    Flatten(before, "", was);
    Flatten(after, "", is);
    std::map<std::string, oj> now(is.begin(), is.end());
    std::vector<KeyChange> changes;
    std::set<std::string> seen;
    for (const auto& [key, value] : was) {
        seen.insert(key);
        auto it = now.find(key);
        const oj then = it == now.end() ? oj() : it->second;
        if (then != value) {
            changes.push_back({key, value, then});
        }
    }
    for (const auto& [key, value] : is) {
        if (seen.count(key) == 0) {
            changes.push_back({key, oj(), value});
        }
    }
    return changes;
}

std::string Verdict(const std::string& program, int64_t status) {
    if (const protocol::Program* known = protocol::FindProgram(program)) {
        return protocol::VerdictWord(protocol::VerdictOf(*known, status));
    }
    return status < 0 ? "FAILURE" : "-";
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
    Expectations expect;
    expect.byMachine = oj::parse(text, nullptr, false);
    if (expect.byMachine.is_discarded() || !expect.byMachine.is_object()) {
        problem = "not a JSON object of machine names";
        return std::nullopt;
    }
    for (auto it = expect.byMachine.begin(); it != expect.byMachine.end(); ++it) {
        if (!it->is_object()) {
            problem = it.key() + ": not an object of keys and values";
            return std::nullopt;
        }
        for (auto key = it->begin(); key != it->end(); ++key) {
            if (key.key() == "exit") {
                if (!key->is_number_integer()) {
                    problem = it.key() + ".exit: must be an integer";
                    return std::nullopt;
                }
            } else if (!IsMachineKey(key.key())) {
                problem = it.key() + ": '" + key.key() +
                          "' is neither \"exit\" nor a machine key like firmware.wlan_flags";
                return std::nullopt;
            }
        }
    }
    return expect;
}

void Check(const Expectations& expect, Outcome& outcome) {
    oj wanted = oj::object();
    for (const std::string& entry : {std::string("*"), outcome.machine}) {
        if (expect.byMachine.contains(entry)) {
            for (auto it = expect.byMachine[entry].begin(); it != expect.byMachine[entry].end();
                 ++it) {
                wanted[it.key()] = *it;
            }
        }
    }
    outcome.checked = !wanted.empty();
    for (auto it = wanted.begin(); it != wanted.end(); ++it) {
        if (it.key() == "exit") {
            if (outcome.exit != it->get<int64_t>()) {
                outcome.failures.push_back("exit: " + std::to_string(outcome.exit) + ", expected " +
                                           std::to_string(it->get<int64_t>()) +
                                           (outcome.timedOut ? " (the procedure timed out)" : ""));
            }
            continue;
        }
        const oj* value = Lookup(outcome.after, it.key());
        if (value == nullptr) {
            outcome.failures.push_back(it.key() + ": no such key in the machine, expected " +
                                       Printable(*it));
        } else if (*value != *it) {
            outcome.failures.push_back(it.key() + ": " + Printable(*value) + ", expected " +
                                       Printable(*it));
        }
    }
}

void Check(const Expectations* expect, bool strict, Outcome& outcome) {
    if (expect != nullptr) {
        Check(*expect, outcome);
    }
    if (outcome.timedOut) {
        outcome.failures.push_back("timed out after " +
                                   std::to_string(static_cast<int>(outcome.seconds)) + " s");
    }
    if (!outcome.checked && strict) {
        outcome.failures.push_back("no expectation for this machine");
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
        switch (JudgementOf(row)) {
        case Judgement::kPass:
            ++tally.passed;
            break;
        case Judgement::kFail:
            ++tally.failed;
            break;
        case Judgement::kNotJudged:
            ++tally.notJudged;
            break;
        }
    }
    return tally;
}

std::string TableSummary(const std::vector<Outcome>& rows) {
    const Tally t = Count(rows);
    std::string text = std::to_string(rows.size()) + (rows.size() == 1 ? " machine" : " machines");
    std::vector<std::string> parts;
    if (t.passed + t.failed > 0) {
        parts.push_back(std::to_string(t.passed) + " passed");
        parts.push_back(std::to_string(t.failed) + " failed");
    }
    if (t.notJudged > 0 && t.notJudged != rows.size()) {
        parts.push_back(std::to_string(t.notJudged) + " not judged");
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        text += (i == 0 ? ": " : ", ") + parts[i];
    }
    return text + "\n";
}

oj UpdatedExpectations(const oj& old, const std::vector<Outcome>& rows) {
    oj doc = old.is_object() ? old : oj::object();
    doc.erase("*");
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
            programs.push_back(p);
        }
        doc[row.machine] = {{"exit", row.exit}, {"changes", changes}, {"programs", programs}};
    }
    return doc;
}

std::string ReportText(const Outcome& o, bool inPlace) {
    std::string text = "simbook run: machine " + EscapedForLine(o.machine) + " (" +
                       EscapedForLine(o.file) + (inPlace ? ", changed in place" : ", a copy") +
                       ")\n";
    if (o.runs.empty()) {
        text += "  no program ran\n";
    }
    size_t width = 0;
    for (const ProgramRun& run : o.runs) {
        width = std::max(width, CommandLine(run).size());
    }
    for (size_t i = 0; i < o.runs.size(); ++i) {
        const ProgramRun& run = o.runs[i];
        text += "  " + Padded(std::to_string(i + 1), 3) + Padded(CommandLine(run), width + 2);
        if (!run.status) {
            text += "(did not end)\n";
            continue;
        }
        const int64_t s = *run.status;
        text += Padded(Verdict(run.program, s), 10) + "exit " + std::to_string(s) +
                (s < 0 || s > 255 ? " (" + Hex32(static_cast<uint32_t>(s)) + ")" : "") + ": " +
                ExplainExitStatus(s, run.program) + "\n";
    }
    text += o.changes.empty() ? "machine: unchanged\n" : "machine changes:\n";
    for (const KeyChange& c : o.changes) {
        text += "  " + EscapedForLine(c.key) + ": " + Printable(c.before) + " -> " +
                Printable(c.after) + "\n";
    }
    if (o.leftovers > 0) {
        text += "the procedure left " + std::to_string(o.leftovers) +
                " process(es) running; they were ended\n";
    }
    text += o.timedOut
                ? "procedure: timed out after " + std::to_string(static_cast<int>(o.seconds)) +
                      " s; it and every process it started were ended (exit status " +
                      std::to_string(o.exit) + ")\n"
                : "procedure exit status: " + std::to_string(o.exit) + "\n";
    for (const std::string& f : o.failures) {
        text += "  expected: " + EscapedForLine(f) + "\n";
    }
    return text;
}

oj ReportJson(const Outcome& o) {
    oj runs = oj::array();
    for (const ProgramRun& run : o.runs) {
        oj r = {{"run", run.number},
                {"program", run.program.empty() ? oj() : oj(run.program)},
                {"args", run.args}};
        if (run.status) {
            r["verdict"] = Verdict(run.program, *run.status);
            r["status"] = *run.status;
            r["meaning"] = ExplainExitStatus(*run.status, run.program);
        } else {
            r["verdict"] = nullptr;
            r["status"] = nullptr;
            r["meaning"] = "the run did not end";
        }
        runs.push_back(r);
    }
    oj changes = oj::array();
    for (const KeyChange& c : o.changes) {
        changes.push_back({{"key", c.key}, {"before", c.before}, {"after", c.after}});
    }
    oj out = {{"machine", o.machine},     {"file", o.file},      {"runs", runs},
              {"changes", changes},       {"exit", o.exit},      {"timed_out", o.timedOut},
              {"leftovers", o.leftovers}, {"seconds", o.seconds}};
    if (o.checked) {
        out["result"] = o.failures.empty() ? "pass" : "fail";
        out["failures"] = o.failures;
    }
    if (!o.output.empty()) {
        out["output"] = EscapedForLine(o.output);
    }
    return out;
}

std::string TableHead(size_t width) {
    return Padded("machine", width + 1) + Padded("exit", 6) + Padded("program statuses", 44) +
           "changes\n";
}

std::string TableRow(const Outcome& o, size_t width) {
    std::string statuses;
    for (const ProgramRun& run : o.runs) {
        statuses +=
            (statuses.empty() ? "" : ", ") +
            (run.program.empty() ? std::string("?") : EscapedForLine(run.program)) + " " +
            (run.status ? protocol::ExitStatusText(protocol::FindProgram(run.program), *run.status)
                        : "-");
    }
    std::string changes;
    for (const KeyChange& c : o.changes) {
        changes += (changes.empty() ? "" : ", ") + EscapedForLine(c.key) + " " +
                   Printable(c.before) + "->" + Printable(c.after);
    }
    std::string row = Padded(EscapedForLine(o.machine), width) + " " +
                      Padded(o.timedOut      ? "time"
                             : o.interrupted ? "int"
                                             : std::to_string(o.exit),
                             5) +
                      " " + Padded(statuses.empty() ? "-" : statuses, 43) + " " +
                      (changes.empty() ? "-" : changes);
    if (o.checked) {
        row += o.failures.empty() ? "  pass" : "  FAIL";
    }
    row += "\n";
    for (const std::string& f : o.failures) {
        row += "    " + EscapedForLine(f) + "\n";
    }
    return row;
}

std::string JUnitXml(const std::string& suite, const std::vector<Outcome>& rows) {
    return JUnitXml(TableInfo{suite, ""}, rows);
}

std::string JUnitXml(const TableInfo& table, const std::vector<Outcome>& rows) {
    const std::string& suite = table.suite;
    size_t failures = 0;
    double seconds = 0;
    for (const Outcome& o : rows) {
        failures += o.failures.empty() ? 0 : 1;
        seconds += o.seconds;
    }
    char total[32];
    std::snprintf(total, sizeof total, "%.3f", seconds);
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const std::string counts = " tests=\"" + std::to_string(rows.size()) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"0\"";
    xml += "<testsuites name=\"simbook run\"" + counts + " time=\"" + total + "\">\n";
    xml += "  <testsuite name=\"" + XmlEscaped(suite) + "\"" + counts + " skipped=\"0\" time=\"" +
           total + "\">\n";
    for (const Outcome& o : rows) {
        char time[32];
        std::snprintf(time, sizeof time, "%.3f", o.seconds);
        xml += "    <testcase classname=\"" + XmlEscaped(suite) + "\" name=\"" +
               XmlEscaped(o.machine) + "\" time=\"" + time + "\">\n";
        if (!o.failures.empty()) {
            std::string all;
            for (const std::string& f : o.failures) {
                all += f + "\n";
            }
            xml += "      <failure message=\"" + XmlEscaped(o.failures.front()) +
                   "\" type=\"expectation\">" + XmlLines(all) + "</failure>\n";
        }
        xml += "      <system-out>" + XmlLines(ReportText(o, false) + o.output) + "</system-out>\n";
        xml += "    </testcase>\n";
    }
    xml += "  </testsuite>\n</testsuites>\n";
    return xml;
}

} // namespace simbook::cli
