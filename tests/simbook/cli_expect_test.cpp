// In-process tests of how `simbook run` judges and tells its rows: the expectation file as read
// and as applied (final values, exit, exactly which keys change, the program runs, the output),
// rows not judged, the file --update writes, and the details of report, table, JSON and JUnit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simbook/cli/procedure.h"

namespace {

using oj = nlohmann::ordered_json;
using simbook::cli::Check;
using simbook::cli::Expectations;
using simbook::cli::ExpectationsOf;
using simbook::cli::Judgement;
using simbook::cli::JudgementOf;
using simbook::cli::Outcome;

Expectations Parsed(const std::string& text) {
    std::string problem;
    std::optional<Expectations> expect = ExpectationsOf(oj::parse(text), problem);
    EXPECT_TRUE(expect.has_value()) << text << ": " << problem;
    return expect.value_or(Expectations());
}

// A row of machine "m": brenvik switched the wireless LAN on, tolmare confirmed it.
Outcome Row() {
    Outcome o;
    o.machine = "m";
    o.file = "/machines/m.json";
    o.runs = {{1, "brenvik", {"/wl:ENABLE", "/ws:ENABLE"}, 0}, {2, "tolmare", {}, 3211264}};
    o.changes = {{"firmware.wlan_flags", 0, 1}};
    o.after = oj::parse(R"({"firmware": {"wlan_flags": 1, "setting58": 1}})");
    o.output = "brenvik[SUCCESS]\r\nok\r\n";
    o.seconds = 3.5;
    return o;
}

std::vector<std::string> Judged(const std::string& expect, Outcome o, bool strict = false) {
    const Expectations e = Parsed(expect);
    Check(&e, strict, o);
    return o.failures;
}

// Each entry an expectation may hold is checked when the file is read, at its edges.
TEST(Expectations, RefusedWhenReadWithWhatIsWrong) {
    const struct {
        const char* text;
        const char* problem; // a part of it; "" when the document is valid
    } cases[] = {
        {R"("m")", "not a JSON object of machine names, nor a list of rules"},
        // The list form: each rule's "when" holds machine keys, the rest as an entry's.
        {R"([{"exit": 0}])", R"(rule 1: "when" must be given, an object)"},
        {R"([{"when": {}}, {"when": []}])", R"(rule 2: "when" must be given)"},
        {R"([{"when": {"firmware.wlan_flag": 1}}])", "rule 1: \"when\": 'firmware.wlan_flag' is"},
        {R"([{"when": {}, "exit": "0"}])", R"(rule 1: "exit": must be an integer)"},
        {R"([{"when": {}, "output": "("}])", "rule 1: \"output\": not a regular expression"},
        {R"([1])", "rule 1: not an object"},
        {R"([])", ""},
        {R"([{"when": {"firmware.wlan_flags": 0, "wlan.interfaces[0].scan_step": 1},
              "exit": 0, "changes": {}, "firmware.setting58": 1, "output": "ok"}])",
         ""},
        {R"({"m": {"exits": 0}})", R"(m: "exits": is neither "exit", "changes", "programs")"},
        {R"({"m": {"exit": "0"}})", R"("exit": must be an integer)"},
        {R"({"m": {"changes": []}})", R"("changes": must be an object)"},
        {R"({"m": {"changes": {"firmware.wlan_flag": 1}}})", "'firmware.wlan_flag' is not a"},
        {R"({"m": {"changes": {"firmware_step": 1}}})", "'firmware_step' is not a machine key"},
        {R"({"m": {"programs": {}}})", "must be a list"},
        {R"({"m": {"programs": [{"program": "b", "argv": []}]}})", "run 1: 'argv' is not one"},
        {R"({"m": {"programs": [{}, {"args": []}]}})", "run 1: \"program\" must be given"},
        {R"({"m": {"programs": [{"program": "b", "args": [1]}]}})", "list of strings"},
        {R"({"m": {"programs": [{"program": "b", "status": 2147483648}]}})", "-2147483648 to"},
        {R"({"m": {"output": 1}})", R"("output": must be a string)"},
        {R"({"m": {"output": "ok ("}})", "missing closing parenthesis at offset 4"},
        // A key that takes a list has its step beside it.
        {R"({"*": {"exit": 0, "firmware.wlan_flags": 1, "output": "(?m)^ok$",
                   "driver.busy_replies_step": 1},
            "m": {"changes": {"wlan.interfaces[1].scan_step": 2},
                  "programs": [{"program": "b", "args": [], "status": -2147483648},
                               {"program": "t", "status": 2147483647}]}})",
         ""},
    };
    for (const auto& c : cases) {
        std::string problem;
        const bool read = ExpectationsOf(oj::parse(c.text), problem).has_value();
        EXPECT_EQ(read, *c.problem == '\0') << c.text << ": " << problem;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << c.text << ": " << problem;
    }
}

// Each kind of expectation at its edge, with the line that tells each difference.
TEST(Expectations, FailuresNameWhatDiffered) {
    const struct {
        const char* expect;
        std::vector<std::string> failures;
    } cases[] = {
        {R"({"m": {"exit": 0, "firmware.wlan_flags": 1, "changes": {"firmware.wlan_flags": 1},
             "programs": [{"program": "brenvik", "args": ["/wl:ENABLE", "/ws:ENABLE"], "status": 0},
                          {"program": "tolmare"}],
             "output": "(?m)^ok\\r?$"}})",
         {}},
        // "*" applies to every machine; the machine's own entry overrides it.
        {R"({"*": {"exit": 3, "firmware.setting58": 1}, "m": {"exit": 0}})", {}},
        {R"({"*": {"exit": 3}})", {"exit: 0, expected 3"}},
        {R"({"m": {"firmware.setting58": 2, "firmware.user_password": 1}})",
         {"firmware.setting58: 1, expected 2",
          "firmware.user_password: no such key in the machine, expected 1"}},
        {R"({"m": {"changes": {}}})",
         {"changes: firmware.wlan_flags changed 0 -> 1, expected unchanged"}},
        {R"({"m": {"changes": {"firmware.wlan_flags": 2, "firmware.setting58": 1}}})",
         {"changes: firmware.wlan_flags changed 0 -> 1, expected to change to 2",
          "changes: firmware.setting58 expected to change to 1, stayed 1"}},
        {R"({"m": {"programs": [{"program": "brenvik", "args": ["/wl:ENABLE", "/ws:DISABLE"]},
                                {"program": "tolmare", "status": 0}]}})",
         {"programs: run 1 was brenvik /wl:ENABLE /ws:ENABLE, expected brenvik /wl:ENABLE "
          "/ws:DISABLE",
          "programs: run 2 was tolmare (exit 3211264), expected tolmare (any arguments) (exit 0)"}},
        {R"({"m": {"programs": [{"program": "brenvik"}]}})", {"programs: 2 runs, expected 1"}},
        {R"({"m": {"output": "^brenvik\\[FAIL"}})", {"output: does not match ^brenvik\\[FAIL"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Judged(c.expect, Row()), c.failures) << c.expect;
    }
    // A run that never ended matches a program without a status, never one with.
    Outcome unended = Row();
    unended.runs[1].status.reset();
    EXPECT_EQ(
        Judged(R"({"m": {"programs": [{"program": "brenvik"}, {"program": "tolmare"}]}})", unended),
        std::vector<std::string>());
    EXPECT_EQ(Judged(R"({"m": {"programs": [{"program": "brenvik"},
                                         {"program": "tolmare", "status": 3211264}]}})",
                     unended),
              std::vector<std::string>{"programs: run 2 was tolmare (did not end), expected "
                                       "tolmare (any arguments) (exit 3211264)"});
}

// The list form: the first rule whose "when" matches the machine as it started applies, with
// its pattern; a machine no rule matches is not judged, and without a starting machine only a
// rule for every machine applies.
TEST(Expectations, FirstMatchingRuleApplies) {
    const Expectations rules = Parsed(R"([
        {"when": {"firmware.wlan_flags": 1}, "exit": 5},
        {"when": {"firmware.wlan_flags": 0, "firmware.setting58": 1}, "output": "^nothing"},
        {"when": {"firmware.wlan_flags": 0}, "exit": 0, "changes": {"firmware.wlan_flags": 1}},
        {"when": {"firmware.wlan_flags": 0}, "exit": 7}])");
    const auto judged = [&](const char* started, std::optional<Outcome> row = std::nullopt) {
        Outcome o = row.value_or(Row());
        const oj machine = oj::parse(started);
        Check(&rules, false, o, &machine);
        return std::make_pair(JudgementOf(o), o.failures);
    };
    EXPECT_EQ(judged(R"({"firmware": {"wlan_flags": 0, "setting58": 2}})"),
              std::make_pair(Judgement::kPass, std::vector<std::string>()));
    EXPECT_EQ(judged(R"({"firmware": {"wlan_flags": 1}})"),
              std::make_pair(Judgement::kFail, std::vector<std::string>{"exit: 0, expected 5"}));
    EXPECT_EQ(judged(R"({"firmware": {"wlan_flags": 0, "setting58": 1}})"),
              std::make_pair(Judgement::kFail,
                             std::vector<std::string>{"output: does not match ^nothing"}));
    EXPECT_EQ(judged(R"({"firmware": {"wlan_flags": 2}})"),
              std::make_pair(Judgement::kNotJudged, std::vector<std::string>()));
    Outcome o = Row();
    Check(&rules, false, o);
    EXPECT_EQ(JudgementOf(o), Judgement::kNotJudged);
    const Expectations every = Parsed(R"([{"when": {}, "exit": 1}])");
    Check(&every, false, o);
    EXPECT_EQ(o.failures, std::vector<std::string>{"exit: 0, expected 1"});
}

// Which rows are judged: a timed-out row always fails, a row no entry covers is not judged
// unless --strict, an empty entry covers its machine.
TEST(Expectations, TimedOutAndUncoveredRows) {
    Outcome timedOut = Row();
    timedOut.timedOut = true;
    Check(nullptr, false, timedOut);
    EXPECT_EQ(timedOut.failures, std::vector<std::string>{"timed out after 3 s"});
    EXPECT_EQ(JudgementOf(timedOut), Judgement::kFail);
    timedOut.failures.clear();
    const Expectations holds = Parsed(R"({"m": {"exit": 0}})");
    Check(&holds, false, timedOut);
    EXPECT_EQ(JudgementOf(timedOut), Judgement::kFail);

    const Expectations other = Parsed(R"({"other": {"exit": 0}, "m2": {}})");
    Outcome row = Row();
    Check(nullptr, false, row);
    EXPECT_EQ(JudgementOf(row), Judgement::kNotJudged);
    EXPECT_FALSE(row.judging);
    Check(&other, false, row);
    EXPECT_EQ(JudgementOf(row), Judgement::kNotJudged);
    EXPECT_TRUE(row.judging);
    Check(&other, true, row);
    EXPECT_EQ(row.failures, std::vector<std::string>{"no expectation for this machine"});
    Outcome empty = Row();
    empty.machine = "m2";
    Check(&other, true, empty);
    EXPECT_EQ(JudgementOf(empty), Judgement::kPass);
}

// A pattern that backtracks without end on the procedure's output fails its row with the
// reason; long output is searched without exhausting the stack.
TEST(Expectations, OutputSearchesStayWithinLimits) {
    Outcome o = Row();
    o.output = std::string(40, 'a') + "b";
    EXPECT_EQ(Judged(R"({"m": {"output": "^(a+)+$"}})", o),
              std::vector<std::string>{"output: matching ^(a+)+$ gave up (match limit exceeded); "
                                       "simplify the pattern"});
    o.output.assign(4 << 20, 'a');
    o.output += "\xff\nend\n";
    EXPECT_EQ(Judged(R"({"m": {"output": "(?m)^end$"}})", o), std::vector<std::string>());
    const std::vector<std::string> deep = Judged(R"({"m": {"output": "^(?:a|b)*$"}})", o);
    ASSERT_EQ(deep.size(), 1u);
    EXPECT_EQ(deep[0].rfind("output: matching ^(?:a|b)*$ gave up (", 0), 0u) << deep[0];
}

// What --update writes is judged a pass by the same rows, a run that never ended included.
TEST(Expectations, UpdatedDocumentPassesTheRowsItCameFrom) {
    Outcome m = Row();
    m.runs.push_back({3, "sundrel", {"{x}"}, std::nullopt});
    m.exit = 7;
    Outcome quiet = Row();
    quiet.machine = "quiet";
    quiet.runs.clear();
    quiet.changes.clear();
    const oj old = oj::parse(R"({"*": {"firmware.setting58": 1, "exit": 0},
        "gone": {"exit": 3}, "m": {"exit": 9, "output": "never"}})");
    const oj doc = simbook::cli::UpdatedExpectations(old, {m, quiet});
    // "*" is dropped: each row has its own entry; the entry kept for a machine not in the
    // table holds what "*" said to it.
    EXPECT_EQ(doc.dump(), oj::parse(R"({
        "gone": {"firmware.setting58": 1, "exit": 3},
        "m": {"exit": 7, "changes": {"firmware.wlan_flags": 1}, "programs": [
            {"program": "brenvik", "args": ["/wl:ENABLE", "/ws:ENABLE"], "status": 0},
            {"program": "tolmare", "args": [], "status": 3211264},
            {"program": "sundrel", "args": ["{x}"]}]},
        "quiet": {"exit": 0, "changes": {}, "programs": []}})")
                              .dump());
    const Expectations e = Parsed(doc.dump());
    for (Outcome row : {m, quiet}) {
        Check(&e, true, row);
        EXPECT_EQ(JudgementOf(row), Judgement::kPass) << row.machine;
        EXPECT_EQ(row.failures, std::vector<std::string>()) << row.machine;
    }
}

TEST(Expectations, TableSummaryCountsEachJudgement) {
    Outcome pass = Row();
    pass.checked = pass.judging = true;
    Outcome fail = pass;
    fail.failures = {"exit: 1, expected 0"};
    Outcome open = Row();
    EXPECT_EQ(simbook::cli::TableSummary({open}), "1 machine\n");
    EXPECT_EQ(simbook::cli::TableSummary({pass}), "1 machine: 1 passed, 0 failed\n");
    open.judging = true;
    EXPECT_EQ(simbook::cli::TableSummary({pass, fail, open}),
              "3 machines: 1 passed, 1 failed, 1 not judged\n");
}

// ---- The report's details ---------------------------------------------------------------------

// The status column keeps its width whatever the number of runs, so that "changes" stays in
// line with its heading.
TEST(Report, StatusColumnKeepsChangesInLine) {
    const std::string head = simbook::cli::TableHead(8);
    const size_t column = head.find("changes");
    const simbook::cli::ProgramRun brenvik{1, "brenvik", {}, 0};
    const simbook::cli::ProgramRun tolmare{2, "tolmare", {}, 3211264};
    const simbook::cli::ProgramRun longName{1, std::string(60, 'x'), {}, 0};
    const struct {
        std::vector<simbook::cli::ProgramRun> runs;
        std::string statuses;
    } cases[] = {
        {{brenvik, tolmare, brenvik}, "brenvik 0, tolmare 0x00310000, brenvik 0"},
        {{brenvik, tolmare, brenvik, tolmare}, "brenvik 0, tolmare 0x00310000 (+2 more)"},
        {std::vector<simbook::cli::ProgramRun>(30, tolmare), "tolmare 0x00310000 (+29 more)"},
        {{longName, brenvik}, std::string(30, 'x') + "... (+1 more)"},
    };
    for (const auto& c : cases) {
        Outcome o = Row();
        o.runs = c.runs;
        const std::string row = simbook::cli::TableRow(o, 8);
        EXPECT_EQ(row.find("firmware.wlan_flags"), column) << head << row;
        EXPECT_NE(row.find(c.statuses), std::string::npos) << row;
    }
    // A Windows procedure's full status fits its exit column.
    Outcome windows = Row();
    windows.exit = -2147483647 - 1;
    const std::string wide = simbook::cli::TableHead(8, simbook::cli::kWindowsExitWidth);
    EXPECT_EQ(simbook::cli::TableRow(windows, 8, simbook::cli::kWindowsExitWidth)
                  .find("firmware.wlan_flags"),
              wide.find("changes"));
}

// A full status outside 0..255 is shown with what a shell's `$?` held.
TEST(Report, FullStatusBesideTheShellStatus) {
    Outcome o = Row();
    o.runs = {{1, "brenvik", {}, -1}, {2, "tolmare", {}, 3211264}, {3, "sundrel", {}, 255}};
    const std::string text = simbook::cli::ReportText(o, false);
    EXPECT_NE(text.find("exit -1 (0xffffffff; $? 255): "), std::string::npos) << text;
    EXPECT_NE(text.find("exit 3211264 (0x00310000; $? 0): "), std::string::npos) << text;
    EXPECT_NE(text.find("exit 255: "), std::string::npos) << text;
    const oj json = simbook::cli::ReportJson(o);
    EXPECT_EQ(json["runs"][0]["shell_status"], 255);
    EXPECT_EQ(json["runs"][1]["shell_status"], 0);
}

// --json carries the output's text itself: control characters through JSON's escapes, bytes
// that are not UTF-8 as U+FFFD.
TEST(Report, JsonOutputIsTheTextItself) {
    Outcome o = Row();
    o.output = "a\r\n\tb\x01\xff";
    const oj json = simbook::cli::ReportJson(o);
    EXPECT_EQ(json["output"], "a\r\n\tb\x01\xef\xbf\xbd");
    EXPECT_FALSE(json.contains("result"));
    Check(nullptr, true, o);
    EXPECT_EQ(simbook::cli::ReportJson(o)["result"], "fail");
}

// Not-judged rows are skipped test cases; the build and each case's machine file are
// properties.
TEST(Report, JUnitSaysBuildMachineFileAndSkippedRows) {
    Outcome pass = Row();
    pass.checked = pass.judging = true;
    Outcome open = Row();
    open.machine = "n";
    open.file = "/m/n&.json";
    const std::string xml =
        simbook::cli::JUnitXml(simbook::cli::TableInfo{"suite", "wine"}, {pass, open});
    for (const char* part :
         {R"(<testsuite name="suite" tests="2" failures="0" errors="0" skipped="1")",
          "<properties>\n      <property name=\"build\" value=\"wine\"/>\n    </properties>",
          "<testcase classname=\"suite\" name=\"n\"",
          "<property name=\"machine_file\" value=\"/m/n&amp;.json\"/>",
          "      </properties>\n      <skipped message=\"not judged\"/>\n"}) {
        EXPECT_NE(xml.find(part), std::string::npos) << part << "\n" << xml;
    }
}

} // namespace
