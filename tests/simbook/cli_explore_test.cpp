// In-process tests of simbook explore: its engine (classes, shrinking, checks), side by side
// against one at a time, shards merged against the whole, the snapshot, and the command lines
// and inputs it refuses.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../support/scratch.h"
#include "simbook/cli/commands.h"
#include "simbook/cli/explore.h"
#include "simbook/cli/key_space.h"
#include "simbook/machine.h"

namespace simbook::cli {
namespace {

namespace fs = std::filesystem;
using nwt::test::ReadFile;
using nwt::test::ScratchDir;
using nwt::test::WriteFile;
using oj = nlohmann::ordered_json;

// A procedure that tells machines apart: exit 3 without a driver, else brenvik's answer.
constexpr const char* kProcedure =
    "grep -q '\"present\": false' \"$SIMBOOK\" && exit 3; brenvik /wl:ENABLE >/dev/null";

class ExploreCommand : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(scratch_.Path("tmp"));
        const char* tmp = std::getenv("TMPDIR");
        saved_ = tmp != nullptr ? std::optional<std::string>(tmp) : std::nullopt;
        setenv("TMPDIR", scratch_.Path("tmp").c_str(), 1);
    }
    void TearDown() override {
        saved_ ? setenv("TMPDIR", saved_->c_str(), 1) : unsetenv("TMPDIR");
        EXPECT_TRUE(fs::is_empty(scratch_.Path("tmp"))) << "explore left files behind";
    }

    // `simbook explore ARGS -- sh -c SCRIPT` in this process, standard output into `out_`.
    int Explore(std::vector<std::string> args, const std::string& script = kProcedure) {
        args.insert(args.begin(), "explore");
        args.insert(args.end(), {"--", "sh", "-c", script});
        std::fflush(stdout);
        const int saved = dup(1);
        const int out =
            open(scratch_.Path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(out, 1);
        const int status = Main(args);
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        close(out);
        out_ = ReadFile(scratch_.Path("out"));
        return status;
    }
    std::string Path(const std::string& name) const { return scratch_.Path(name); }

    ScratchDir scratch_{"cli-explore"};
    std::string out_;
    std::optional<std::string> saved_;
};

// -j2 gives the report, the examples and the console text of -j1, counterexamples included.
// The expectations' rules match the machine as generated: the one without a driver fails its
// rule as well as the check.
TEST_F(ExploreCommand, SideBySideMatchesOneByOne) {
    WriteFile(Path("rules.json"), R"([{"when": {"driver.present": false}, "exit": 4}])");
    const std::vector<std::string> common = {
        "--limit", "24", "--expect", Path("rules.json"), "--check", "test \"$SIMBOOK_EXIT\" != 3"};
    std::vector<std::string> texts;
    for (const char* jobs : {"1", "2"}) {
        std::vector<std::string> args = common;
        args.insert(args.end(), {"-j", jobs, "--json", Path(std::string("j") + jobs + ".json"),
                                 "--examples", Path(std::string("ex") + jobs)});
        EXPECT_EQ(Explore(args), 1) << out_; // the machine without a driver fails the check
        texts.push_back(out_);
    }
    EXPECT_EQ(texts[0], texts[1]);
    EXPECT_EQ(ReadFile(Path("j1.json")), ReadFile(Path("j2.json")));
    const oj report = oj::parse(ReadFile(Path("j1.json")));
    EXPECT_EQ(report["machines"], 24);
    ASSERT_EQ(report["counterexamples"].size(), 1U);
    EXPECT_EQ(report["counterexamples"][0]["example"], (oj{{"driver.present", false}}));
    EXPECT_EQ(report["counterexamples"][0]["failures"],
              (oj{"the check exited with status 1", "exit: 3, expected 4"}));
    EXPECT_NE(texts[0].find("24 machines, "), std::string::npos) << texts[0];
    // Each example as a whole machine file the programs accept, the same for both runs.
    for (const char* name : {"counterexample-1.json", "class-1.json"}) {
        std::string problem;
        EXPECT_TRUE(LoadMachineFile(Path("ex1/") + name, problem)) << name << problem;
        EXPECT_EQ(ReadFile(Path("ex1/") + name), ReadFile(Path("ex2/") + name)) << name;
    }
}

// Shards 1/2 and 2/2 run every machine once between them; merged they give the whole run's
// report.
TEST_F(ExploreCommand, MergedShardsEqualTheWholeRun) {
    ASSERT_EQ(Explore({"--limit", "15", "-j2", "--json", Path("whole.json")}), 0) << out_;
    ASSERT_EQ(Explore({"--limit", "15", "--shard", "1/2", "--json", Path("a.json")}), 0);
    ASSERT_EQ(Explore({"--limit", "15", "--shard", "2/2", "--json", Path("b.json")}), 0);
    EXPECT_EQ(oj::parse(ReadFile(Path("a.json")))["machines"], 8);
    EXPECT_EQ(
        Main({"explore", "--merge", Path("a.json"), Path("b.json"), "--json", Path("merged.json")}),
        0);
    EXPECT_EQ(ReadFile(Path("merged.json")), ReadFile(Path("whole.json")));
    // The same shard twice is no whole.
    EXPECT_EQ(Main({"explore", "--merge", Path("a.json"), Path("a.json")}), 125);
}

// --update pins the classes; the same procedure then holds against the file, a changed one is
// told class by class; a snapshot that is not JSON stops explore before any run.
TEST_F(ExploreCommand, SnapshotPinsTheClasses) {
    const std::string snap = Path("snap.json");
    ASSERT_EQ(Explore({"--limit", "10", "--snapshot", snap, "--update"}), 0) << out_;
    EXPECT_EQ(Explore({"--limit", "10", "--snapshot", snap}), 0) << out_;
    EXPECT_EQ(Explore({"--limit", "10", "--snapshot", snap},
                      "grep -q '\"present\": false' \"$SIMBOOK\" && exit 4; brenvik /wl:ENABLE"),
              1);
    EXPECT_NE(out_.find("snapshot: "), std::string::npos) << out_;
    // A report is never written over the snapshot it is compared with.
    const std::string pinned = ReadFile(snap);
    EXPECT_EQ(Explore({"--limit", "10", "--snapshot", snap, "--json", snap}), 125);
    EXPECT_EQ(ReadFile(snap), pinned);
    WriteFile(snap, "{\"version\": 1,");
    EXPECT_EQ(Explore({"--limit", "10", "--snapshot", snap}, "touch " + Path("ran")), 125);
    EXPECT_FALSE(fs::exists(Path("ran")));
}

// Command lines refused at their edges (2), inputs explore cannot use (125); nothing runs.
TEST_F(ExploreCommand, RefusesBadCommandLinesAndOutputs) {
    WriteFile(Path("file"), "x");
    const std::string touch = "touch " + Path("ran");
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    for (const Case& c :
         std::vector<Case>{{{"--keys", "driver.present,no.such.key"}, 2},
                           {{"--limit", "0"}, 2},
                           {{"--seed", "x1"}, 2},
                           {{"--seed", "-1"}, 2},
                           {{"--seed", "18446744073709551616"}, 2},
                           {{"--strength", "4"}, 2},
                           {{"--strength", "0"}, 2},
                           {{"--shard", "3/2"}, 2},
                           {{"--shard", "0/2"}, 2},
                           {{"-j", "65"}, 2},
                           {{"--update"}, 2},
                           {{"--examples", Path("file")}, 125},
                           {{"--examples", MachinesDir()}, 125},
                           {{"--json", Path("file"), "--expect", Path("file")}, 125},
                           {{"--json", Path("new.xml"), "--junit", Path("new.xml")}, 125}}) {
        EXPECT_EQ(Explore(c.args, touch), c.status) << c.args[0] << " " << c.args.back();
        EXPECT_FALSE(fs::exists(Path("ran"))) << c.args[0];
    }
    EXPECT_EQ(Main({"explore", "--merge"}), 2);
    EXPECT_EQ(Main({"explore", "--merge", Path("file")}), 125); // not a report
    // The edges themselves are taken.
    EXPECT_EQ(
        Explore({"--keys", "driver.present,driver.sessions,driver.busy_replies", "--limit", "1",
                 "--strength", "3", "--seed", "18446744073709551615", "--shard", "2/2", "-j", "64"},
                "exit 0"),
        0)
        << out_;
    EXPECT_NE(out_.find("0 machines, 0 classes, 0 counterexamples"), std::string::npos) << out_;
}

// A check that hangs is ended at --timeout and makes its machine a counterexample.
TEST_F(ExploreCommand, AHangingCheckIsEndedAndFails) {
    EXPECT_EQ(Explore({"--limit", "2", "-j2", "--timeout", "0.5", "--check", "sleep 30"}, "exit 0"),
              1);
    EXPECT_NE(out_.find("the check did not end within 0.5 s"), std::string::npos) << out_;
    EXPECT_NE(out_.find("2 machines, 0 classes, 1 counterexample"), std::string::npos) << out_;
}

// The example of a class whose behaviour depends on exactly two of four changes keeps those two:
// each other change is dropped, each needed one kept; one set of changes runs once.
TEST(ExploreEngine, ShrinkingKeepsExactlyTheChangesTheBehaviourNeeds) {
    ScratchDir scratch("cli-explore-engine");
    std::string problem;
    const oj base = MachineJson(*ParseMachine(DefaultMachineText(), problem));
    oj changes = oj::object();
    for (const char* key : {"ansi_code_page", "driver.sessions", "driver.held_by_other_program",
                            "wlan.notify_delay_ms"}) {
        for (const oj& value : ValueSet(key)) {
            if (value != *Lookup(base, key)) {
                changes[key] = value;
                break;
            }
        }
    }
    ASSERT_EQ(changes.size(), 4U);
    ExploreOptions o;
    o.jobs = 2;
    o.command = {"sh", "-c",
                 "grep -q '\"sessions\": false' \"$SIMBOOK\" && "
                 "grep -q '\"held_by_other_program\": true' \"$SIMBOOK\" && exit 5; exit 0"};
    const std::vector<GeneratedMachine> machines = {{oj::object(), "single"}, {changes, "triple"}};
    HeldInterrupts held;
    Explorer explorer(o, base, nullptr, held);
    const Exploration e = explorer.Explore(machines, {0, 1});
    ASSERT_EQ(e.classes.size(), 2U);
    EXPECT_EQ(e.classes[1].behaviour.exit, 5);
    EXPECT_EQ(e.classes[1].example,
              (oj{{"driver.sessions", false}, {"driver.held_by_other_program", true}}));
    EXPECT_EQ(e.classes[1].origin, 1U);
    // The two machines, then one run for each of the four drops.
    EXPECT_EQ(explorer.Runs(), 6U);
}

} // namespace
} // namespace simbook::cli
