// In-process tests of the simbook command: the trace as written (run numbers, the files it
// refuses, the descriptors it takes), as read back into a procedure's runs, and as told (report,
// table, JUnit XML, the trace command).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../support/scratch.h"
#include "../support/stand_in.h"
#include "simbook/cli/commands.h"
#include "simbook/cli/procedure.h"
#include "simbook/trace.h"

namespace {

using nwt::test::ReadFile;
using nwt::test::ScratchDir;
using nwt::test::StandInMachine;
using nwt::test::WriteFile;
using simbook::cli::Args;
using simbook::cli::Outcome;
using simbook::cli::ProgramRun;

// What `fd` (standard output or error) received while `body` ran, through a scratch file.
template <class Body> std::string Captured(int fd, Body body) {
    const ScratchDir scratch("cli-trace-capture");
    std::fflush(nullptr);
    const int saved = dup(fd);
    const int file = open(scratch.Path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, fd);
    close(file);
    body();
    std::fflush(nullptr);
    dup2(saved, fd);
    close(saved);
    return ReadFile(scratch.Path("out"));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// ---- Runs read back from a trace --------------------------------------------------------------

// Each exit line ends the run of its number, so programs that ran at once are told apart; exit
// lines without a number (older traces) end the last run begun.
TEST(TraceRuns, ExitLinesEndTheRunOfTheirNumber) {
    const std::string tolmare = R"({"op":"start","run":1,"program":"tolmare","args":[]})";
    const std::string sundrel = R"({"op":"start","run":2,"program":"sundrel","args":["{x}"]})";
    struct Case {
        std::vector<std::string> lines;
        std::vector<std::string> runs; // "number program status", "-" for a run not ended
    } cases[] = {
        {{tolmare, sundrel, R"({"op":"exit","run":2,"status":0})",
          R"({"op":"exit","run":1,"status":3211264})"},
         {"1 tolmare 3211264", "2 sundrel 0"}},
        {{tolmare, sundrel, R"({"op":"exit","run":2,"status":-1})"},
         {"1 tolmare -", "2 sundrel -1"}},
        {{tolmare, sundrel, R"({"op":"exit","status":-2})", R"({"op":"exit","status":-1})"},
         {"1 tolmare -1", "2 sundrel -2"}},
        {{R"({"op":"exit","status":0})"}, {"0  0"}},
        {{R"({"op":"exit","run":5,"status":1})"}, {"5  1"}},
        {{tolmare, R"({"op":"exit","run":1,"status":"0"})"}, {"1 tolmare -"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.back());
        std::vector<std::string> runs;
        for (const ProgramRun& run : simbook::cli::RunsOfTrace(c.lines)) {
            runs.push_back(std::to_string(run.number) + " " + run.program + " " +
                           (run.status ? std::to_string(*run.status) : "-"));
        }
        EXPECT_EQ(runs, c.runs);
    }
}

// A program name is escaped as its arguments are: it can neither split a line nor reach the
// terminal raw.
TEST(TraceRuns, ProgramNamesAreEscapedInReportAndTable) {
    Outcome outcome;
    outcome.machine = "m";
    outcome.runs = {{1, "tol\x1bmare\nrm", {"a\nb"}, 0}};
    const std::string report = simbook::cli::ReportText(outcome, false);
    const std::string row = simbook::cli::TableRow(outcome, 8);
    for (const std::string& text : {report, row}) {
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
        EXPECT_NE(text.find("tol\\x1bmare\\nrm"), std::string::npos) << text;
    }
    EXPECT_EQ(Lines(row).size(), 1u) << row;
    EXPECT_EQ(Lines(report).size(), 4u) << report;
}

// ---- JUnit XML --------------------------------------------------------------------------------

TEST(JUnitXml, CarriesOnlyCharactersXmlAllows) {
    Outcome row;
    row.machine = "m\xef\xbf\xbe";
    row.output =
        "a\xef\xbf\xbe b\xef\xbf\xbf c\xef\xbf\xbd d\xf4\x8f\xbf\xbf e\x01\xff\xed\xa0\x80\n";
    row.failures = {"exit: 1\xef\xbf\xbf"};
    const std::string xml = simbook::cli::JUnitXml({"s", "linux"}, {row});
    // Neither noncharacter, nor a control character, a stray byte or a surrogate, is left raw.
    for (const char* raw : {"\xef\xbf\xbe", "\xef\xbf\xbf", "\x01", "\xff", "\xed\xa0"}) {
        EXPECT_EQ(xml.find(raw), std::string::npos) << xml;
    }
    EXPECT_NE(xml.find("a\\xef\\xbf\\xbe b\\xef\\xbf\\xbf c\xef\xbf\xbd d\xf4\x8f\xbf\xbf e\\x01"),
              std::string::npos)
        << xml;
}

TEST(JUnitXml, EscapesAttributesAndCountsFailedRows) {
    EXPECT_NE(
        simbook::cli::JUnitXml({"s", "linux"}, {}).find(R"(tests="0" failures="0" errors="0")"),
        std::string::npos);
    Outcome failed;
    failed.machine = R"(a"b&c<d>'e)";
    failed.checked = true;
    failed.failures = {"exit: 1\nnext", "exit again"};
    Outcome passed;
    passed.machine = "p";
    passed.checked = true;
    const std::string xml = simbook::cli::JUnitXml({"q\"s", "linux"}, {failed, passed, Outcome()});
    EXPECT_NE(xml.find(R"(<testsuite name="q&quot;s" tests="3" failures="1" errors="0")"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find(R"(<testsuites name="simbook run" tests="3" failures="1" errors="0")"),
              std::string::npos);
    EXPECT_NE(xml.find(R"(name="a&quot;b&amp;c&lt;d&gt;&apos;e")"), std::string::npos) << xml;
    // A line end inside an attribute would be read back as a space.
    EXPECT_NE(xml.find(R"(<failure message="exit: 1\nnext" type="expectation">)"),
              std::string::npos)
        << xml;
}

// ---- The trace as written ---------------------------------------------------------------------

// A run's number is one more than the last start line's, found from the end of the trace, as
// far back as that line is and whatever lines (or part of one) follow it.
TEST(TraceFile, RunNumbersFollowTheLastStartLine) {
    const std::string start7 = "{\"op\":\"start\",\"run\":7,\"program\":\"tolmare\",\"args\":[]}\n";
    const std::string notStart = "{\"op\":\"WlanScan\",\"interface\":\"start\",\"result\":0}\n";
    const std::string badStart = "{\"op\":\"start\",\"run\":\"x\"}\n";
    struct Case {
        std::string before;
        int64_t run;
    } cases[] = {{"", 1},
                 {notStart + "not json\n", 1},
                 {start7, 8},
                 {start7 + badStart + notStart, 8},
                 {start7 + "{\"op\":\"start\",\"ru", 8}};
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // Lengths around the reader's chunks, so that the start line straddles their edges.
    for (size_t tail : {4095, 4096, 65500, 65535, 65536, 65537, 200000}) {
        all.push_back({start7 + std::string(tail - 1, ' ') + "\n", 8});
    }
    for (const Case& c : all) {
        SCOPED_TRACE(c.before.substr(0, 80) + " ... " + std::to_string(c.before.size()));
        const StandInMachine machine("{}", StandInMachine::Trace::On);
        WriteFile(machine.TracePath(), c.before);
        simbook::TraceRunStart("brenvik", {"/x"});
        simbook::TraceRunExit(-3);
        const std::vector<std::string> lines = Lines(ReadFile(machine.TracePath()));
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], R"({"op":"start","run":)" + std::to_string(c.run) +
                                               R"(,"program":"brenvik","args":["/x"]})");
        EXPECT_EQ(lines.back(),
                  R"({"op":"exit","run":)" + std::to_string(c.run) + R"(,"status":-3})");
    }
}

// Programs that start at once each get a number of their own, and their exits pair with them.
TEST(TraceFile, ProgramsStartingAtOnceGetNumbersOfTheirOwn) {
    const StandInMachine machine("{}", StandInMachine::Trace::On);
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            simbook::ReopenTraceForTests();
            simbook::TraceRunStart("sundrel", {std::to_string(i)});
            simbook::TraceRunExit(i);
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
    }
    std::set<int64_t> numbers;
    for (const ProgramRun& run : simbook::cli::RunsOfTrace(Lines(ReadFile(machine.TracePath())))) {
        numbers.insert(run.number);
        ASSERT_TRUE(run.status.has_value());
        EXPECT_EQ(std::to_string(*run.status), run.args.at(0));
    }
    EXPECT_EQ(numbers, (std::set<int64_t>{1, 2, 3, 4, 5, 6}));
    // Without a start line of its own, the exit line names no run.
    simbook::ReopenTraceForTests();
    simbook::TraceRunExit(5);
    EXPECT_EQ(Lines(ReadFile(machine.TracePath())).back(), R"({"op":"exit","status":5})");
}

// A trace that is the machine file (by name or through a link) is refused: the machine stays
// valid, and standard error says why once.
TEST(TraceFile, TheMachineFileIsNeverTheTrace) {
    const StandInMachine machine(R"({"ansi_code_page":1252})");
    ASSERT_EQ(symlink(machine.MachinePath().c_str(), machine.Scratch().Path("link").c_str()), 0);
    for (const std::string& trace : {machine.MachinePath(), machine.Scratch().Path("link")}) {
        setenv("SIMBOOK_TRACE", trace.c_str(), 1);
        simbook::ReopenTraceForTests();
        const std::string errors = Captured(STDERR_FILENO, [] {
            simbook::TraceRunStart("tolmare", {});
            simbook::TraceLine({{"op", "close"}, {"handle", 1}});
        });
        EXPECT_EQ(ReadFile(machine.MachinePath()), R"({"ansi_code_page":1252})");
        EXPECT_EQ(Lines(errors).size(), 1u) << errors;
        EXPECT_NE(errors.find("trace off: is the machine file"), std::string::npos) << errors;
    }
    // Without SIMBOOK the default machine's place is the one looked at.
    const std::string state = machine.Scratch().Path("state");
    const std::string place = state + "/simbook/machine.json";
    std::filesystem::create_directories(state + "/simbook");
    WriteFile(place, "{}");
    const char* stateBefore = std::getenv("XDG_STATE_HOME");
    const std::string savedState = stateBefore != nullptr ? stateBefore : "";
    unsetenv("SIMBOOK");
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    setenv("SIMBOOK_TRACE", place.c_str(), 1);
    simbook::ReopenTraceForTests();
    const std::string errors =
        Captured(STDERR_FILENO, [] { simbook::TraceRunStart("tolmare", {}); });
    setenv("SIMBOOK", machine.MachinePath().c_str(), 1);
    stateBefore != nullptr ? setenv("XDG_STATE_HOME", savedState.c_str(), 1)
                           : unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(ReadFile(place), "{}");
    EXPECT_NE(errors.find("trace off: is the machine file"), std::string::npos) << errors;
}

// A program started with standard input and output closed keeps them closed: the trace takes a
// descriptor above 2, so the program's console output cannot land in it.
TEST(TraceFile, NeverTakesTheStandardDescriptors) {
    const StandInMachine machine("{}", StandInMachine::Trace::On);
    std::fflush(stdout);
    const int savedIn = dup(STDIN_FILENO);
    const int savedOut = dup(STDOUT_FILENO);
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    simbook::TraceRunStart("brenvik", {});
    const bool stillClosed =
        fcntl(STDIN_FILENO, F_GETFD) == -1 && fcntl(STDOUT_FILENO, F_GETFD) == -1;
    dup2(savedIn, STDIN_FILENO);
    dup2(savedOut, STDOUT_FILENO);
    close(savedIn);
    close(savedOut);
    EXPECT_TRUE(stillClosed);
    EXPECT_EQ(Lines(ReadFile(machine.TracePath())).size(), 1u);
}

// ---- The trace command ------------------------------------------------------------------------

// Each line is read on its own: a line over the limit is shown as such without its bytes
// reaching the next line; a line at the limit is read; a last line without its end is read.
TEST(TraceCommand, ReadsEachLineOnItsOwn) {
    const ScratchDir scratch("cli-trace-command");
    const size_t limit = 1024 * 1024;
    const std::string exit = R"({"op":"exit","status":-4})";
    WriteFile(scratch.Path("t"), std::string(limit + 1, 'x') + "\n" + exit + "\n" + exit +
                                     std::string(limit - exit.size(), ' ') + "\n" + exit);
    int status = -1;
    const std::string out = Captured(STDOUT_FILENO, [&] {
        status = simbook::cli::Trace({"--json", "--program", "brenvik", scratch.Path("t")});
    });
    EXPECT_EQ(status, simbook::cli::kDone);
    const std::vector<std::string> lines = Lines(out);
    ASSERT_EQ(lines.size(), 4u) << out.substr(0, 400);
    EXPECT_EQ(nlohmann::json::parse(lines[0])["text"], nullptr);
    for (size_t i = 1; i < 4; ++i) {
        const nlohmann::json event = nlohmann::json::parse(lines[i]);
        EXPECT_EQ(event["line"], i + 1);
        EXPECT_EQ(event["event"], "exit");
        EXPECT_EQ(event["status"], -4);
    }
}

// ---- The status command -----------------------------------------------------------------------

// The status of the trace's last run begun, read from the trace's end: it agrees with the runs
// read from the whole trace, whatever lies before (long lines, lines across the reader's chunks).
TEST(StatusCommand, PrintsTheLastRunsFullStatus) {
    const ScratchDir scratch("cli-status");
    const std::string start1 = R"({"op":"start","run":1,"program":"tolmare","args":[]})";
    const std::string start2 = R"({"op":"start","run":2,"program":"sundrel","args":[]})";
    // Lines of other ops that name "exit" or "start", at lengths around the reader's chunks.
    const std::string pad = "{\"op\":\"Sleep\",\"exit\":\"" + std::string(70000, ' ') + "\"}";
    const std::string huge = "{\"op\":\"start\",\"x\":\"" + std::string(16 << 20, ' ') + "\"}";
    struct Case {
        std::vector<std::string> lines;
        std::string out; // empty: the command fails
        std::string err;
    } cases[] = {
        {{start1, R"({"op":"exit","run":1,"status":3211264})"}, "3211264\n", ""},
        {{start1, start2, R"({"op":"exit","run":2,"status":-1})",
          R"({"op":"exit","run":1,"status":5})"},
         "-1\n",
         ""},
        {{R"({"op":"exit","status":-2})", R"({"op":"exit","status":-2147483648})"},
         "-2147483648\n",
         ""},
        {{start1, R"({"op":"exit","run":1,"status":0})", pad, huge, start2, pad,
          R"({"op":"exit","status":2147483647})", pad},
         "2147483647\n",
         ""},
        {{huge, pad, R"({"op":"exit","status":7})", pad, pad}, "7\n", ""},
        {{start1, start2, R"({"op":"exit","run":1,"status":3})"},
         "",
         "(run 2: sundrel) has not ended"},
        {{start1, R"({"op":"exit","run":1,"status":"3"})"}, "", "(run 1: tolmare) has not ended"},
        {{pad, R"({"op":"open"})", ""}, "", "no program run in it"},
    };
    for (const Case& c : cases) {
        std::string text;
        for (const std::string& line : c.lines) {
            text += line + "\n";
        }
        SCOPED_TRACE(text.substr(0, 200));
        WriteFile(scratch.Path("t"), text);
        int status = -1;
        std::string out;
        const std::string err = Captured(STDERR_FILENO, [&] {
            out = Captured(STDOUT_FILENO,
                           [&] { status = simbook::cli::Status({scratch.Path("t")}); });
        });
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(status, c.out.empty() ? simbook::cli::kFailed : simbook::cli::kDone);
        EXPECT_NE(err.find(c.err), std::string::npos) << err;
        const std::vector<ProgramRun> runs = simbook::cli::RunsOfTrace(c.lines);
        const std::optional<int64_t> whole = runs.empty() ? std::nullopt : runs.back().status;
        EXPECT_EQ(c.out, whole ? std::to_string(*whole) + "\n" : "");
    }
}

// The trace named, else $SIMBOOK_TRACE; none, or one that is no readable file, is an error.
TEST(StatusCommand, NeedsAReadableTrace) {
    const ScratchDir scratch("cli-status");
    const char* before = std::getenv("SIMBOOK_TRACE");
    const std::string saved = before != nullptr ? before : "";
    WriteFile(scratch.Path("t"), R"({"op":"exit","status":9})"); // a last line without its end
    struct Case {
        const char* env; // null: unset
        Args args;
        int status;
        std::string out;
    } cases[] = {
        {nullptr, {}, simbook::cli::kUsage, ""},     {"", {}, simbook::cli::kUsage, ""},
        {"t", {}, simbook::cli::kDone, "9\n"},       {"none", {"t"}, simbook::cli::kDone, "9\n"},
        {"t", {"none"}, simbook::cli::kFailed, ""},  {"t", {"."}, simbook::cli::kFailed, ""},
        {"t", {"t", "t"}, simbook::cli::kUsage, ""},
    };
    for (const Case& c : cases) {
        Args args;
        for (const std::string& a : c.args) {
            args.push_back(a == "t" || a == "none" ? scratch.Path(a) : a);
        }
        c.env == nullptr
            ? unsetenv("SIMBOOK_TRACE")
            : setenv("SIMBOOK_TRACE", *c.env == '\0' ? "" : scratch.Path(c.env).c_str(), 1);
        int status = -1;
        std::string out;
        const std::string err = Captured(STDERR_FILENO, [&] {
            out = Captured(STDOUT_FILENO, [&] { status = simbook::cli::Status(args); });
        });
        EXPECT_EQ(status, c.status) << (c.env ? c.env : "(unset)") << " " << err;
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err.empty(), c.status == simbook::cli::kDone) << err;
    }
    before != nullptr ? setenv("SIMBOOK_TRACE", saved.c_str(), 1) : unsetenv("SIMBOOK_TRACE");
}

} // namespace
