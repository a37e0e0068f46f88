// In-process tests of the simbook command: run, its supervisor and its launchers.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "../support/scratch.h"
#include "simbook/cli/commands.h"
#include "simbook/cli/launcher.h"
#include "simbook/cli/supervise.h"
#include "simbook/cli/table.h"

namespace {

namespace fs = std::filesystem;
using nwt::test::ReadFile;
using nwt::test::ScratchDir;
using nwt::test::WriteFile;
using simbook::cli::ChildCommand;
using simbook::cli::ChildEnd;
using simbook::cli::OutputTail;

// ---- The captured output's tail -----------------------------------------------------------

TEST(OutputTail, KeepsTheLastBytesAndMarksACut) {
    const std::string marker = "[... earlier output left out]\n";
    struct Case {
        std::vector<size_t> pieces;
        bool cut;
    };
    // Limit 8: at the limit nothing is cut; one byte more is; pieces that cross the point where
    // the front is dropped still leave exactly the last 8 bytes.
    for (const Case& c : {Case{{8}, false}, Case{{9}, true}, Case{{3, 5}, false},
                          Case{{5, 5, 5, 5, 1}, true}, Case{{17}, true}, Case{{1, 16, 2}, true}}) {
        OutputTail tail(8);
        std::string all;
        for (size_t size : c.pieces) {
            std::string piece;
            for (size_t i = 0; i < size; ++i) {
                piece += static_cast<char>('a' + (all.size() + i) % 26);
            }
            tail.Append(piece.data(), piece.size());
            all += piece;
        }
        const std::string last = all.substr(all.size() - std::min<size_t>(all.size(), 8));
        EXPECT_EQ(tail.Text(), c.cut ? marker + last : last) << all;
    }
}

// ---- The supervisor ---------------------------------------------------------------------------

ChildEnd Shell(const std::string& script, double timeout = 60) {
    ChildCommand command;
    command.argv = {"sh", "-c", script};
    command.env = simbook::cli::ProcedureEnvironment("", {});
    command.capture = true;
    command.timeoutSeconds = timeout;
    command.graceSeconds = 0.5;
    return simbook::cli::Supervise(command);
}

bool Running(const std::string& pidFile) {
    const std::string text = ReadFile(pidFile);
    return !text.empty() && kill(std::stoi(text), 0) == 0;
}

TEST(Supervise, StatusIsTheExitCodeOr128PlusTheSignal) {
    EXPECT_EQ(Shell("exit 7").status, 7);
    EXPECT_EQ(Shell("kill -TERM $$").status, 128 + SIGTERM);
    EXPECT_EQ(Shell("kill -KILL $$").status, 128 + SIGKILL);
    const ChildEnd missing = Shell("exec /nonexistent/program");
    EXPECT_EQ(missing.status, 127);
    ChildCommand absent;
    absent.argv = {"/nonexistent/program"};
    const ChildEnd notStarted = simbook::cli::Supervise(absent);
    EXPECT_FALSE(notStarted.started);
    EXPECT_NE(notStarted.problem.find("/nonexistent/program"), std::string::npos);
}

TEST(Supervise, CapturesStandardOutputAndErrorThroughAPipeKeepingTheTail) {
    const ChildEnd end =
        Shell("head -c 300000 /dev/zero | tr '\\0' x; echo to-error >&2; printf last");
    EXPECT_EQ(end.status, 0);
    ASSERT_EQ(end.output.size(),
              std::string("[... earlier output left out]\n").size() + simbook::cli::kOutputKept);
    EXPECT_EQ(end.output.substr(end.output.size() - 14), "xto-error\nlast");
}

// Background processes, one that left the process group and a fork loop whose processes keep
// appearing and vanishing while they are looked for, are all ended; none is an error.
TEST(Supervise, EndsWhatTheProcedureLeftRunning) {
    ScratchDir scratch("cli-run");
    const simbook::cli::OrphanAdoption adoption;
    const std::string pid = scratch.Path("pid");
    const ChildEnd end = Shell("setsid sleep 600 & echo $! >" + pid +
                               "; (while :; do sh -c 'exit 0' & wait; done) & exit 3");
    EXPECT_EQ(end.status, 3);
    EXPECT_FALSE(end.timedOut);
    EXPECT_GE(end.leftovers, 2);
    EXPECT_FALSE(Running(pid));
    EXPECT_TRUE(simbook::cli::Descendants(getpid()).empty());
}

TEST(Supervise, AtTheTimeLimitAsksThenMakesTheChildEnd) {
    ScratchDir scratch("cli-run");
    const simbook::cli::OrphanAdoption adoption; // so that what is ended is reaped here
    const std::string pid = scratch.Path("pid");
    // SIGTERM first: a procedure that clears up on it says so; one that ignores it is killed.
    // (The limits leave the shell ample time to set its trap first.)
    const ChildEnd asked =
        Shell("trap 'echo cleared; exit 5' TERM; sleep 600 & echo $! >" + pid + "; wait", 2);
    EXPECT_TRUE(asked.timedOut);
    EXPECT_EQ(asked.status, 5);
    EXPECT_NE(asked.output.find("cleared"), std::string::npos);
    EXPECT_FALSE(Running(pid));
    const ChildEnd made = Shell("trap '' TERM; while :; do sleep 1; done", 2);
    EXPECT_TRUE(made.timedOut);
    EXPECT_EQ(made.status, 128 + SIGKILL);
}

// ---- The launchers ----------------------------------------------------------------------------

// The supervisor alone keeps the time limit: the Wine runner gets none of its own, only a longer
// grace to end the session's processes; on Linux the supervisor also ends leftovers.
TEST(Launcher, TheSupervisorKeepsTheTimeLimitForBothLaunchers) {
    ScratchDir scratch("cli-run");
    for (const char* program : {"brenvik.exe", "tolmare.exe", "sundrel.exe"}) {
        WriteFile(scratch.Path(program), "");
    }
    const auto wine = simbook::cli::WineLauncher(scratch.Dir().string(), "/bin/false");
    const ChildCommand w = wine->Procedure({"p.cmd"}, {}, scratch.Path("status"), 42);
    EXPECT_DOUBLE_EQ(w.timeoutSeconds, 42);
    EXPECT_DOUBLE_EQ(w.graceSeconds, 30);
    EXPECT_FALSE(w.endLeftovers);
    EXPECT_EQ(std::count(w.argv.begin(), w.argv.end(), "--timeout"), 0);
    EXPECT_EQ(w.argv.back(), "p.cmd");

    const auto native = simbook::cli::LinuxLauncher(simbook::cli::SimbookDir());
    const ChildCommand l = native->Procedure({"p.sh"}, {{"SIMBOOK", "m.json"}}, "", 42);
    EXPECT_DOUBLE_EQ(l.timeoutSeconds, 42);
    EXPECT_DOUBLE_EQ(l.graceSeconds, 2);
    EXPECT_TRUE(l.endLeftovers);
    EXPECT_EQ(l.argv, std::vector<std::string>{"p.sh"});
    EXPECT_NE(std::find(l.env.begin(), l.env.end(), "SIMBOOK=m.json"), l.env.end());
    EXPECT_THROW(simbook::cli::LinuxLauncher(scratch.Dir().string()), std::runtime_error);
}

// The full status comes from the runner's status file; without one, the runner's own failure
// (125) fails the run rather than passing for the procedure's status.
TEST(Launcher, WineStatusComesFromTheStatusFile) {
    ScratchDir scratch("cli-run");
    for (const char* program : {"brenvik.exe", "tolmare.exe", "sundrel.exe"}) {
        WriteFile(scratch.Path(program), "");
    }
    const auto wine = simbook::cli::WineLauncher(scratch.Dir().string(), "/bin/false");
    ChildEnd end;
    end.status = 252;
    WriteFile(scratch.Path("status"), "-4\r\n");
    EXPECT_EQ(wine->FullStatus(end, scratch.Path("status")), -4);
    end.status = 125;
    EXPECT_THROW(wine->FullStatus(end, scratch.Path("missing")), std::runtime_error);
    end.timedOut = true; // ended by the supervisor: not the runner's failure
    EXPECT_EQ(wine->FullStatus(end, scratch.Path("missing")), 125);
}

// ---- simbook run ------------------------------------------------------------------------------

class RunCommand : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(scratch_.Path("tmp"));
        for (const char* name : {"TMPDIR", "SIMBOOK"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value != nullptr ? std::optional<std::string>(value)
                                                       : std::nullopt);
        }
        setenv("TMPDIR", scratch_.Path("tmp").c_str(), 1);
        machine_ = nwt::test::WriteMachine(scratch_, "{\"firmware\": {\"wlan_flags\": 1}}\n");
        setenv("SIMBOOK", machine_.c_str(), 1);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        }
        EXPECT_TRUE(fs::is_empty(scratch_.Path("tmp"))) << "the run left files behind";
    }

    // `simbook run ARGS -- sh -c SCRIPT` in this process, standard output into `out_`, or into
    // `stdoutFd` when given; the exit status.
    int SimbookRun(std::vector<std::string> args, const std::string& script, int stdoutFd = -1) {
        args.insert(args.begin(), "run");
        for (const char* a : {"--", "sh", "-c"}) {
            args.emplace_back(a);
        }
        args.push_back(script);
        std::fflush(stdout);
        const int saved = dup(1);
        const int out = stdoutFd >= 0 ? stdoutFd
                                      : open(scratch_.Path("out").c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(out, 1);
        const int status = simbook::cli::Main(args);
        std::fflush(stdout);
        std::clearerr(stdout);
        dup2(saved, 1);
        close(saved);
        if (stdoutFd < 0) {
            close(out);
            out_ = ReadFile(scratch_.Path("out"));
        }
        return status;
    }
    std::string Ready(const std::string& name) const {
        return simbook::cli::ReadyMachinePath(simbook::cli::MachinesDir(), name);
    }
    // Whether the procedure ran (each of the scripts below touches this file).
    bool Ran() const { return fs::exists(scratch_.Path("ran")); }
    std::string Touch() const { return "touch " + scratch_.Path("ran") + "; "; }

    ScratchDir scratch_{"cli-run"};
    std::string machine_;
    std::string out_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(RunCommand, ANamedTraceIsEmptiedWhenTheRunStarts) {
    const std::string trace = scratch_.Path("trace.jsonl");
    WriteFile(trace, "{\"op\":\"exit\",\"status\":9}\n");
    EXPECT_EQ(SimbookRun({"--trace", trace}, "exit 0"), 0);
    EXPECT_EQ(ReadFile(trace), "");
    EXPECT_NE(out_.find("no program ran"), std::string::npos) << out_;
}

// A ready machine is never handed to a procedure to change, whatever name reaches it.
TEST_F(RunCommand, InPlaceRefusesAReadyMachineByAnyName) {
    fs::create_symlink(Ready("healthy"), scratch_.Path("link.json"));
    for (const std::string& machine :
         {std::string("healthy"), Ready("healthy"), scratch_.Path("link.json"), std::string()}) {
        setenv("SIMBOOK", Ready("passwords-set").c_str(), 1);
        std::vector<std::string> args = {"--in-place"};
        if (!machine.empty()) {
            args.insert(args.end(), {"--machine", machine});
        }
        EXPECT_EQ(SimbookRun(args, Touch()), 125) << machine;
        EXPECT_FALSE(Ran()) << machine;
    }
    setenv("SIMBOOK", machine_.c_str(), 1);
    EXPECT_EQ(SimbookRun({"--in-place"}, Touch() + "echo '{}' >\"$SIMBOOK\""), 0);
    EXPECT_EQ(ReadFile(machine_), "{}\n");
}

// The trace and the JUnit file are refused when they are one of the run's inputs, by any path.
TEST_F(RunCommand, RefusesToWriteOverItsOwnInputs) {
    const std::string before = ReadFile(machine_);
    fs::create_symlink(machine_, scratch_.Path("link.json"));
    EXPECT_EQ(SimbookRun({"--machine", machine_, "--trace", machine_}, Touch()), 125);
    EXPECT_EQ(SimbookRun({"--trace", scratch_.Path("link.json")}, Touch()), 125);
    EXPECT_EQ(SimbookRun({"--machine", machine_, "--in-place", "--trace", machine_}, Touch()), 125);
    const std::string expect = scratch_.Path("expect.json");
    WriteFile(expect, "{\"*\": {\"exit\": 0}}");
    EXPECT_EQ(SimbookRun({"--each", "healthy", "--expect", expect, "--junit", expect}, Touch()),
              125);
    EXPECT_EQ(SimbookRun({"--each", "healthy," + machine_, "--junit", scratch_.Path("link.json")},
                         Touch()),
              125);
    EXPECT_FALSE(Ran());
    EXPECT_EQ(ReadFile(machine_), before);
    EXPECT_EQ(ReadFile(expect), "{\"*\": {\"exit\": 0}}");
}

// The JUnit file is replaced atomically: a folder in its place is an error that leaves nothing
// behind, and a file of the user's beside it is never taken for the temporary one.
TEST_F(RunCommand, JUnitIsWrittenAtomically) {
    fs::create_directory(scratch_.Path("report"));
    EXPECT_EQ(SimbookRun({"--each", "healthy", "--junit", scratch_.Path("report")}, "exit 0"), 125);
    const std::string report = scratch_.Path("report.xml");
    WriteFile(report + ".tmp", "mine");
    EXPECT_EQ(SimbookRun({"--each", "healthy", "--junit", report}, "exit 0"), 0);
    EXPECT_EQ(ReadFile(report + ".tmp"), "mine");
    EXPECT_NE(ReadFile(report).find("<testcase classname=\"sh\" name=\"healthy\""),
              std::string::npos);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(scratch_.Dir())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"machine.json", "out", "report", "report.xml",
                                               "report.xml.tmp", "tmp"}));
}

// A procedure that leaves its machine unreadable fails its row; the table goes on.
TEST_F(RunCommand, AnUnreadableMachineAfterTheRunFailsOnlyItsRow) {
    const std::string junit = scratch_.Path("junit.xml");
    WriteFile(scratch_.Path("a.json"), "{\"ansi_code_page\": 1252}");
    WriteFile(scratch_.Path("b.json"), "{\"ansi_code_page\": 65001}");
    EXPECT_EQ(SimbookRun({"--each", scratch_.Path("a.json") + "," + scratch_.Path("b.json"),
                          "--junit", junit},
                         "grep -q 65001 \"$SIMBOOK\" || echo garbage >\"$SIMBOOK\""),
              1);
    EXPECT_NE(out_.find("\na "), std::string::npos) << out_;
    EXPECT_NE(out_.find("    the machine file after the run could not be read: "),
              std::string::npos)
        << out_;
    EXPECT_NE(out_.find("\nb "), std::string::npos) << out_;
    EXPECT_NE(out_.find("2 machines"), std::string::npos) << out_;
    EXPECT_NE(ReadFile(junit).find("tests=\"2\" failures=\"1\""), std::string::npos);
}

// Captured output streams through simbook: none of it waits in the temporary folder.
TEST_F(RunCommand, CapturedOutputIsNotKeptInTheTemporaryFolder) {
    const std::string found = scratch_.Path("found");
    EXPECT_EQ(SimbookRun({"--each", "healthy", "--json"},
                         "yes | head -c 1000000; find \"$TMPDIR\" -size +500k >" + found),
              0);
    EXPECT_EQ(ReadFile(found), "");
    EXPECT_NE(out_.find("[... earlier output left out]"), std::string::npos);
}

// A reader that goes away ends the table in order: no SIGPIPE, no further rows, the JUnit
// file still written, a failure status.
TEST_F(RunCommand, AReaderThatGoesAwayEndsTheTable) {
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    close(pipeFds[0]);
    const std::string junit = scratch_.Path("junit.xml");
    EXPECT_EQ(
        SimbookRun({"--each", "healthy,passwords-set", "--junit", junit}, Touch(), pipeFds[1]),
        125);
    close(pipeFds[1]);
    EXPECT_FALSE(Ran());
    EXPECT_NE(ReadFile(junit).find("tests=\"0\""), std::string::npos);
}

// ---- Tables for CI: folders, row names, kept files, rows side by side --------------------------

// Row names: a ready machine keeps its name; clashing files take the shortest common depth of
// path tail that tells them apart, up to the whole path from its root.
TEST(TableRows, ClashingNamesTakeTheShortestDistinguishingTail) {
    using simbook::cli::MachineChoice;
    struct Case {
        std::vector<MachineChoice> rows;
        std::vector<std::string> names;
    };
    const MachineChoice ready{
        "healthy", simbook::cli::ReadyMachinePath(simbook::cli::MachinesDir(), "healthy"), true};
    for (const Case& c :
         std::vector<Case>{{{{"h", "/a/h.json"}, {"g", "/a/g.json"}}, {"h", "g"}},
                           {{ready, {"healthy", "/a/healthy.json"}}, {"healthy", "a/healthy"}},
                           {{{"h", "/p/a/h.json"}, {"h", "/q/a/h.json"}, {"h", "/b/h.json"}},
                            {"p/a/h", "q/a/h", "/b/h"}},
                           {{{"h", "/h.json"}, {"h", "/x/h.json"}}, {"/h", "x/h"}}}) {
        std::vector<MachineChoice> rows = c.rows;
        EXPECT_EQ(simbook::cli::NameRows(rows), "");
        std::vector<std::string> names;
        for (const MachineChoice& row : rows) {
            names.push_back(row.name);
        }
        EXPECT_EQ(names, c.names);
    }
    std::vector<MachineChoice> twice = {{"h", "/a/h.json"}, {"h", "/a/h.json"}};
    EXPECT_EQ(simbook::cli::NameRows(twice), "/a/h.json is in the table twice");
}

// Kept files' names: never a '/' or a leading '.', and distinct names stay distinct.
TEST(TableRows, SafeFileNamesAreDistinctAndPlain) {
    using simbook::cli::SafeFileName;
    EXPECT_EQ(SafeFileName("a/healthy"), "a%2Fhealthy");
    EXPECT_EQ(SafeFileName("a%2Fhealthy"), "a%252Fhealthy");
    EXPECT_EQ(SafeFileName("../x.y"), "%2E.%2Fx.y");
    EXPECT_EQ(SafeFileName("caf\xc3\xa9 1"), "caf%C3%A9%201");
}

// An outcome crosses from a worker byte for byte, output that is no UTF-8 included; bytes cut
// short are no outcome.
TEST(TableRows, PackedOutcomesComeBackWhole) {
    simbook::cli::RowResult row;
    row.outcome.machine = "x/\xff";
    row.outcome.output = std::string("\0\xc3(\r\n", 5);
    row.outcome.runs = {{1, "brenvik", {"/wl:ENABLE"}, -4}, {2, "tolmare", {}, std::nullopt}};
    row.outcome.changes = {{"firmware.wlan_flags", 0, 1}};
    row.outcome.exit = -4;
    row.outcome.seconds = 0.125;
    row.interruptedBy = SIGTERM;
    const std::string packed = simbook::cli::PackRow(row);
    const std::optional<simbook::cli::RowResult> back = simbook::cli::UnpackRow(packed);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(simbook::cli::PackRow(*back), packed);
    EXPECT_EQ(back->outcome.output, row.outcome.output);
    EXPECT_EQ(back->outcome.machine, row.outcome.machine);
    EXPECT_FALSE(simbook::cli::UnpackRow(packed.substr(0, packed.size() - 1)).has_value());
}

// A folder gives its machine files in name order: hidden files, folders and other names are
// passed over; a folder without one is an error before anything runs.
TEST_F(RunCommand, EachFolderTakesItsMachineFilesInOrder) {
    const std::string dir = scratch_.Path("cases");
    fs::create_directories(dir + "/sub.json");
    for (const char* name : {"b.json", "a.json", ".hidden.json", "notes.txt"}) {
        WriteFile(dir + "/" + name, "{}");
    }
    EXPECT_EQ(SimbookRun({"--each", dir}, "exit 0"), 0);
    EXPECT_EQ(out_.substr(out_.find('\n') + 1, 2), "a ") << out_;
    EXPECT_NE(out_.find("\nb "), std::string::npos) << out_;
    EXPECT_NE(out_.find("\n2 machines\n"), std::string::npos) << out_;
    fs::create_directories(scratch_.Path("empty"));
    EXPECT_EQ(SimbookRun({"--each", scratch_.Path("empty")}, Touch()), 125);
    EXPECT_FALSE(Ran());
}

// Files that share a base name with each other or with a ready machine get rows (and test
// cases) of their own, and the expectations reach each by its row name; one file twice is
// refused.
TEST_F(RunCommand, SameBaseNamesGetDistinctRowNames) {
    for (const char* dir : {"x", "y"}) {
        fs::create_directories(scratch_.Path(dir));
        fs::copy_file(Ready("healthy"), scratch_.Path(dir) + "/healthy.json");
    }
    const std::string expect = scratch_.Path("expect.json");
    WriteFile(expect, "{\"x/healthy\": {\"exit\": 3}}");
    const std::string junit = scratch_.Path("junit.xml");
    EXPECT_EQ(SimbookRun({"--each", "healthy," + scratch_.Path("x/healthy.json"), "--each",
                          scratch_.Path("y"), "--expect", expect, "--junit", junit},
                         "exit 0"),
              1);
    for (const char* row : {"\nhealthy ", "\nx/healthy ", "\ny/healthy "}) {
        EXPECT_NE(out_.find(row), std::string::npos) << row << out_;
    }
    EXPECT_NE(out_.find("1 failed"), std::string::npos) << out_;
    for (const char* name : {"\"healthy\"", "\"x/healthy\"", "\"y/healthy\""}) {
        EXPECT_NE(ReadFile(junit).find(std::string("name=") + name), std::string::npos) << name;
    }
    EXPECT_EQ(SimbookRun({"--each", "healthy," + Ready("healthy")}, Touch()), 125);
    EXPECT_FALSE(Ran());
}

// --keep: each row's trace, output and machine under a name that is safe as a file name; a
// link planted under one of those names is replaced, not written through; the ready machines'
// folder and a folder the table reads are refused.
TEST_F(RunCommand, KeepHoldsEachRowsFilesUnderSafeNames) {
    fs::create_directories(scratch_.Path("x"));
    fs::copy_file(Ready("wlan-off"), scratch_.Path("x/healthy.json"));
    const std::string kept = scratch_.Path("kept");
    fs::create_directories(kept);
    WriteFile(scratch_.Path("target"), "mine");
    fs::create_symlink(scratch_.Path("target"), kept + "/healthy.output.txt");
    EXPECT_EQ(
        SimbookRun({"--each", "healthy," + scratch_.Path("x/healthy.json"), "--keep", kept, "-j2"},
                   "brenvik /wl:ENABLE >/dev/null; echo said-$SIMBOOK_TRACE"),
        0);
    EXPECT_EQ(ReadFile(scratch_.Path("target")), "mine");
    EXPECT_FALSE(fs::is_symlink(kept + "/healthy.output.txt"));
    EXPECT_EQ(ReadFile(kept + "/healthy.output.txt").rfind("said-/", 0), 0U);
    EXPECT_NE(ReadFile(kept + "/x%2Fhealthy.trace.jsonl").find("\"op\":\"exit\""),
              std::string::npos);
    EXPECT_NE(ReadFile(kept + "/x%2Fhealthy.machine.json").find("\"wlan_flags\": 1"),
              std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(kept), fs::directory_iterator()), 6);
    EXPECT_EQ(SimbookRun({"--each", "healthy", "--keep", simbook::cli::MachinesDir()}, Touch()),
              125);
    EXPECT_EQ(SimbookRun({"--each", scratch_.Path("x"), "--keep", scratch_.Path("x")}, Touch()),
              125);
    EXPECT_FALSE(Ran());
}

// -j: the table, the JSON and the JUnit are those of -j1 but for the times, although the rows
// end in another order (the first row is the slowest).
TEST_F(RunCommand, RowsSideBySideMatchRowsOneByOne) {
    const std::string script = "grep -q '\"wlan_flags\": 0' \"$SIMBOOK\" && sleep 0.3; "
                               "brenvik /wl:ENABLE; echo \"$SIMBOOK\" | wc -c";
    const std::vector<std::string> each = {"--each", "wlan-off,healthy,passwords-set,no-driver"};
    std::map<std::string, std::string> seen;
    for (const char* jobs : {"1", "3"}) {
        for (const char* form : {"text", "--json", "--junit"}) {
            std::vector<std::string> args = each;
            args.insert(args.end(), {"-j", jobs});
            if (std::string(form) == "--json") {
                args.push_back(form);
            } else if (std::string(form) == "--junit") {
                args.insert(args.end(), {form, scratch_.Path("junit.xml")});
            }
            EXPECT_EQ(SimbookRun(args, script), 0);
            std::string text =
                std::string(form) == "--junit" ? ReadFile(scratch_.Path("junit.xml")) : out_;
            text = std::regex_replace(text, std::regex("(time=\"|\"seconds\": )[0-9.e+-]+"), "$1");
            if (seen.count(form) == 0) {
                seen[form] = text;
            } else {
                EXPECT_EQ(text, seen[form]) << form;
            }
        }
    }
}

// A row whose worker process dies fails with the reason; what its procedure started is ended
// and its private folder removed (TearDown looks).
TEST_F(RunCommand, AWorkerThatDiesFailsItsRow) {
    const std::string pid = scratch_.Path("pid");
    EXPECT_EQ(
        SimbookRun({"--each", "healthy,wlan-off", "-j2", "--json"},
                   "grep -q '\"wlan_flags\": 0' \"$SIMBOOK\" && exit 0; sleep 600 & echo $! >" +
                       pid + "; kill -KILL $PPID; sleep 5"),
        1);
    EXPECT_NE(out_.find("ended without its outcome (killed by signal 9)"), std::string::npos)
        << out_;
    EXPECT_NE(out_.find("\"failed\": 1,\n  \"not_judged\": 1\n"), std::string::npos) << out_;
    EXPECT_FALSE(Running(pid));
}

// An interrupt ends every running row and the table: no further row starts, nothing is left.
TEST_F(RunCommand, AnInterruptEndsEveryRunningRow) {
    const std::string pids = scratch_.Path("pids");
    testing::internal::CaptureStderr();
    EXPECT_EQ(SimbookRun({"--each", "healthy,wlan-off,passwords-set", "-j2"},
                         "sleep 600 & echo $! >>" + pids + "; kill -TERM " +
                             std::to_string(getpid()) + "; wait"),
              130);
    EXPECT_NE(
        testing::internal::GetCapturedStderr().find("interrupted; the table was not finished"),
        std::string::npos);
    EXPECT_NE(out_.find("2 machines"), std::string::npos) << out_;
    std::istringstream started(ReadFile(pids));
    int rows = 0;
    for (std::string pid; std::getline(started, pid); ++rows) {
        EXPECT_NE(kill(std::stoi(pid), 0), 0) << pid;
    }
    EXPECT_LE(rows, 2); // a row ended before its script began writes none
    EXPECT_TRUE(simbook::cli::Descendants(getpid()).empty());
}

// --update writes the expectations of every row and judges against them, so that the same run
// passes then and after; a run that differs fails against them.
TEST_F(RunCommand, UpdateWritesExpectationsTheSameRunPasses) {
    const std::string expect = scratch_.Path("new/expect.json");
    fs::create_directories(scratch_.Path("new"));
    const std::vector<std::string> args = {"--each", "healthy,wlan-off", "--expect", expect};
    std::vector<std::string> update = args;
    update.push_back("--update");
    const std::string script = "brenvik /wl:ENABLE >/dev/null";
    EXPECT_EQ(SimbookRun(update, script), 0);
    EXPECT_EQ(ReadFile(expect).back(), '\n');
    EXPECT_NE(out_.find("2 machines: 2 passed, 0 failed"), std::string::npos) << out_;
    EXPECT_EQ(SimbookRun(args, script), 0);
    EXPECT_NE(out_.find("2 passed"), std::string::npos) << out_;
    EXPECT_EQ(SimbookRun(args, "exit 0"), 1);
}

// A list of rules is matched against each row's machine as it started; --update, which writes
// one entry per machine, refuses to replace the rules.
TEST_F(RunCommand, RulesMatchTheMachineAsItStarted) {
    const std::string rules = scratch_.Path("rules.json");
    const std::string text =
        R"([{"when": {"firmware.wlan_flags": 0}, "exit": 3}, {"when": {}, "exit": 0}])";
    std::ofstream(rules) << text;
    const std::vector<std::string> args = {"--each", "healthy,wlan-off", "--expect", rules};
    EXPECT_EQ(SimbookRun(args, "tolmare >/dev/null; [ \"$(simbook status)\" = 3211264 ] || exit 3"),
              0)
        << out_;
    EXPECT_NE(out_.find("2 machines: 2 passed, 0 failed"), std::string::npos) << out_;
    std::vector<std::string> update = args;
    update.push_back("--update");
    EXPECT_EQ(SimbookRun(update, "true"), 125);
    EXPECT_EQ(ReadFile(rules), text);
}

} // namespace
