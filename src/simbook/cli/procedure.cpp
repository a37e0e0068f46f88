// Reading a procedure's run back (its trace's start and exit lines, its machine before and
// after) and telling it: report, table row, expectations, JUnit XML.
#include "simbook/cli/procedure.h"

#include <algorithm>
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

// The program statuses column of the table: this many characters whatever the number of runs.
constexpr size_t kStatusColumn = 43;

// `text` cut to at most `size` bytes without splitting a UTF-8 character.
std::string CutTo(const std::string& text, size_t size) {
    if (text.size() <= size) {
        return text;
    }
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) {
        --size;
    }
    return text.substr(0, size);
}

// The statuses of a row's runs within kStatusColumn: as many whole as fit, then how many more
// ("brenvik 0, tolmare 0x00310000 (+3 more)"), so that the changes after them stay in line.
std::string StatusColumn(const std::vector<std::string>& statuses) {
    if (statuses.empty()) {
        return "-";
    }
    std::string shown;
    for (size_t k = 0; k < statuses.size(); ++k) {
        const std::string longer = shown + (k == 0 ? "" : ", ") + statuses[k];
        const size_t rest = statuses.size() - k - 1;
        const std::string more = rest == 0 ? "" : " (+" + std::to_string(rest) + " more)";
        if (longer.size() + more.size() > kStatusColumn) {
            const std::string after = " (+" + std::to_string(statuses.size() - k) + " more)";
            if (k > 0) {
                return shown + after;
            }
            return CutTo(statuses[0], kStatusColumn - 3 - more.size()) + "..." + more;
        }
        shown = longer;
    }
    return shown;
}

std::string ResultWord(Judgement judgement) {
    switch (judgement) {
    case Judgement::kPass:
        return "pass";
    case Judgement::kFail:
        return "FAIL";
    case Judgement::kNotJudged:
        break;
    }
    return "not judged";
}

// A run's line in the report: command line, verdict, full status with what `$?` held, meaning.
std::string RunText(const ProgramRun& run, size_t width) {
    std::string text = Padded(CommandLine(run), width + 2);
    if (!run.status) {
        return text + "(did not end)";
    }
    const int64_t s = *run.status;
    text += Padded(Verdict(run.program, s), 10) + "exit " + std::to_string(s);
    if (s < 0 || s > 255) {
        text += " (" + Hex32(static_cast<uint32_t>(s)) + "; $? " + std::to_string(s & 0xFF) + ")";
    }
    return text + ": " + ExplainExitStatus(s, run.program);
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

std::string XmlProperty(const std::string& indent, const std::string& name,
                        const std::string& value) {
    return indent + "<property name=\"" + XmlEscaped(name) + "\" value=\"" + XmlEscaped(value) +
           "\"/>\n";
}

// One row's test case: its machine file as a property, its failure or "not judged", the report
// and the procedure's output. `suite` is escaped already.
std::string TestCase(const std::string& suite, const Outcome& o) {
    std::string xml = "    <testcase classname=\"" + suite + "\" name=\"" + XmlEscaped(o.machine) +
                      "\" time=\"" + Seconds(o.seconds) + "\">\n";
    xml += "      <properties>\n" + XmlProperty("        ", "machine_file", o.file) +
           "      </properties>\n";
    const Judgement judgement = JudgementOf(o);
    if (judgement == Judgement::kFail) {
        std::string all;
        for (const std::string& f : o.failures) {
            all += f + "\n";
        }
        xml += "      <failure message=\"" + XmlEscaped(o.failures.front()) +
               "\" type=\"expectation\">" + XmlLines(all) + "</failure>\n";
    } else if (judgement == Judgement::kNotJudged) {
        xml += "      <skipped message=\"not judged\"/>\n";
    }
    xml += "      <system-out>" + XmlLines(ReportText(o, false) + o.output) + "</system-out>\n";
    return xml + "    </testcase>\n";
}

} // namespace

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
        text += "  " + Padded(std::to_string(i + 1), 3) + RunText(o.runs[i], width) + "\n";
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
    const Judgement judgement = JudgementOf(o);
    if (judgement != Judgement::kNotJudged || o.judging) {
        text += "result: " + ResultWord(judgement) + "\n";
    }
    for (const std::string& f : o.failures) {
        text += "  " + EscapedForLine(f) + "\n";
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
            r["shell_status"] = *run.status & 0xFF;
            r["meaning"] = ExplainExitStatus(*run.status, run.program);
        } else {
            r["verdict"] = nullptr;
            r["status"] = nullptr;
            r["shell_status"] = nullptr;
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
    const Judgement judgement = JudgementOf(o);
    if (judgement != Judgement::kNotJudged || o.judging) {
        out["result"] = ResultWord(judgement) == "FAIL" ? "fail" : ResultWord(judgement);
        out["failures"] = o.failures;
    }
    if (!o.output.empty()) {
        // The text itself, which JSON's escapes carry whole; bytes that are not UTF-8 become
        // U+FFFD, as in the rest of the document.
        out["output"] = oj::parse(oj(o.output).dump(-1, ' ', false, oj::error_handler_t::replace));
    }
    return out;
}

std::string TableHead(size_t width, size_t exitWidth) {
    return Padded("machine", width + 1) + Padded("exit", exitWidth + 2) +
           Padded("program statuses", kStatusColumn + 1) + "changes\n";
}

std::string TableRow(const Outcome& o, size_t width, size_t exitWidth) {
    std::vector<std::string> statuses;
    for (const ProgramRun& run : o.runs) {
        statuses.push_back(
            (run.program.empty() ? std::string("?") : EscapedForLine(run.program)) + " " +
            (run.status ? protocol::ExitStatusText(protocol::FindProgram(run.program), *run.status)
                        : "-"));
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
                             exitWidth + 1) +
                      " " + Padded(StatusColumn(statuses), kStatusColumn) + " " +
                      (changes.empty() ? "-" : changes);
    const Judgement judgement = JudgementOf(o);
    if (judgement != Judgement::kNotJudged || o.judging) {
        row += "  " + ResultWord(judgement);
    }
    row += "\n";
    for (const std::string& f : o.failures) {
        row += "    " + EscapedForLine(f) + "\n";
    }
    return row;
}

std::string JUnitXml(const TableInfo& table, const std::vector<Outcome>& rows) {
    const Tally tally = Count(rows);
    double seconds = 0;
    for (const Outcome& o : rows) {
        seconds += o.seconds;
    }
    const std::string suite = XmlEscaped(table.suite);
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const std::string counts = " tests=\"" + std::to_string(rows.size()) + "\" failures=\"" +
                               std::to_string(tally.failed) + "\" errors=\"0\"";
    xml += "<testsuites name=\"simbook run\"" + counts + " time=\"" + Seconds(seconds) + "\">\n";
    xml += "  <testsuite name=\"" + suite + "\"" + counts + " skipped=\"" +
           std::to_string(tally.notJudged) + "\" time=\"" + Seconds(seconds) + "\">\n";
    if (!table.build.empty()) {
        xml += "    <properties>\n" + XmlProperty("      ", "build", table.build) +
               "    </properties>\n";
    }
    for (const Outcome& o : rows) {
        xml += TestCase(suite, o);
    }
    xml += "  </testsuite>\n</testsuites>\n";
    return xml;
}

} // namespace simbook::cli
