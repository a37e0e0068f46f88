// The simbook command against real runs: the decoded trace of each kind of run (session and
// plain capsules, busy repeats, failures, a scan), and `set` refusing what the programs' reader
// refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>

#include "simbook/driver/store.h"
#include "simbook/trace_decode.h"
#include "tool_fixture.h"

namespace e2e {
namespace {

using Events = std::vector<simbook::TraceEvent>;

Events Decode(const RunResult& run, const std::string& program = "") {
    std::vector<std::string> lines;
    for (const nlohmann::json& line : run.trace) {
        lines.push_back(line.dump());
    }
    return simbook::DecodeTrace(lines, program);
}

std::vector<simbook::TraceEvent> OfKind(const Events& events, const std::string& kind) {
    std::vector<simbook::TraceEvent> selected;
    std::copy_if(events.begin(), events.end(), std::back_inserter(selected),
                 [&](const simbook::TraceEvent& e) { return e.kind == kind; });
    return selected;
}

std::string AllText(const Events& events) {
    std::string text;
    for (const simbook::TraceEvent& e : events) {
        text += e.text + "\n";
    }
    return text;
}

class SimbookTool : public ToolTest {
protected:
    // Runs the simbook command, ended after a minute should it hang; its exit status (-1 when
    // it did not exit).
    int Simbook(const std::vector<std::string>& args) {
        std::string command = std::string("timeout -s KILL 60 ") + SIMBOOK_PATH;
        for (const std::string& a : args) {
            command += " '" + a + "'";
        }
        command += " >" + _scratch.Path("simbook.out") + " 2>" + _scratch.Path("simbook.err");
        const int status = std::system(command.c_str());
        return WIFEXITED(status) && WEXITSTATUS(status) < 124 ? WEXITSTATUS(status) : -1;
    }
    std::string SimbookErrors() const { return ReadFile(_scratch.Path("simbook.err")); }
    std::string SimbookOutput() const { return ReadFile(_scratch.Path("simbook.out")); }

    // `simbook run ARGS -- sh -c SCRIPT` with its temporary folder in the scratch folder; the
    // exit status, standard output in `out`.
    int SimbookRun(const std::vector<std::string>& args, const std::string& script,
                   std::string& out) {
        std::filesystem::create_directories(_scratch.Path("tmp"));
        std::string command = "TMPDIR=" + _scratch.Path("tmp") + " " + SIMBOOK_PATH + " run";
        for (const std::string& a : args) {
            command += " '" + a + "'";
        }
        WriteFile(_scratch.Path("procedure.sh"), script);
        command += " -- sh " + _scratch.Path("procedure.sh") + " >" + _scratch.Path("run.out") +
                   " 2>" + _scratch.Path("simbook.err");
        const int status = std::system(command.c_str());
        out = ReadFile(_scratch.Path("run.out"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool TemporaryFolderEmpty() const { return std::filesystem::is_empty(_scratch.Path("tmp")); }
};

TEST_F(SimbookTool, SessionRunOfTolmareDecodesEveryStepAndValueRead) {
    UseMachine({{"firmware", {{"setting58", 2}}}});
    const RunResult run = RunLinux(_scratch, TOLMARE_PATH, {}, MachinePath());
    const Events events = Decode(run);
    SCOPED_TRACE(AllText(events));

    ASSERT_EQ(OfKind(events, "probe").size(), 1u);
    EXPECT_EQ(OfKind(events, "probe")[0].facts["result"], true);
    const Events phases = OfKind(events, "handshake");
    ASSERT_EQ(phases.size(), 3u);
    const auto session = phases[0].facts["session"];
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(phases[i].facts["phase"], i + 1);
        EXPECT_EQ(phases[i].facts["session"], session);
        EXPECT_EQ(phases[i].facts["result"], true);
    }
    const Events capsules = OfKind(events, "capsule");
    const std::vector<std::string> names = {"GetSetupItem", "ReadIndexedSetting", "GetPasswordInfo",
                                            "GetPasswordState", "GetPasswordState"};
    ASSERT_EQ(capsules.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(capsules[i].facts["name"], names[i]);
        EXPECT_EQ(capsules[i].facts["sequence"], i);
        EXPECT_EQ(capsules[i].facts["session"], session);
        EXPECT_EQ(capsules[i].facts["encrypted"], true);
        EXPECT_EQ(capsules[i].facts["status"], names[i] == "GetPasswordState" ? 2 : 0);
    }
    EXPECT_EQ(capsules[0].facts["read"], 1);
    EXPECT_NE(capsules[0].text.find("WLAN ENABLE"), std::string::npos);
    EXPECT_EQ(capsules[1].facts["setting"], 58);
    EXPECT_EQ(capsules[1].facts["read"], 2);
    EXPECT_NE(capsules[1].text.find("WirelessSwitch DISABLE, WirelessSwitchDisplay DISABLE"),
              std::string::npos);
    EXPECT_EQ(capsules[3].facts["selector"], 0x8000);
    EXPECT_EQ(capsules[4].facts["read"], "not set");

    const Events ends = OfKind(events, "end_session");
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].facts["session"], session);
    EXPECT_EQ(OfKind(events, "close").size(), 1u);
    const Events exits = OfKind(events, "exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].facts["status"], 0x00010000);
    EXPECT_EQ(exits[0].facts["program"], "tolmare");
    EXPECT_EQ(exits[0].facts["meaning"],
              "on: WLAN; off: WirelessSwitch, WirelessSwitchDisplay, SupervisorPassword, "
              "UserPassword");
    EXPECT_EQ(events.back().kind, "exit");
}

TEST_F(SimbookTool, PlainRunOfBrenvikShowsTheValuesWritten) {
    UseMachine({{"driver", {{"sessions", false}}}, {"firmware", {{"setting58", 3}}}});
    const RunResult run =
        RunLinux(_scratch, BRENVIK_PATH, {"/wl:DISABLE", "/ws:DISABLE"}, MachinePath());
    const Events events = Decode(run);
    SCOPED_TRACE(AllText(events));

    ASSERT_EQ(OfKind(events, "probe").size(), 1u);
    EXPECT_EQ(OfKind(events, "probe")[0].facts["last_error"], 50);
    EXPECT_TRUE(OfKind(events, "handshake").empty());
    const Events capsules = OfKind(events, "capsule");
    std::vector<std::string> names;
    for (const simbook::TraceEvent& c : capsules) {
        names.push_back(c.facts["name"]);
        EXPECT_EQ(c.facts["encrypted"], false);
        EXPECT_EQ(c.facts["status"], c.facts["name"] == "GetPasswordState" ? 2 : 0);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"GetPasswordInfo", "GetPasswordState",
                                               "GetPasswordState", "SetSetupItem",
                                               "ReadIndexedSetting", "WriteIndexedSetting"}));
    ASSERT_EQ(capsules.size(), 6u);
    EXPECT_EQ(capsules[3].facts["written"], 0);
    EXPECT_NE(capsules[3].text.find("WLAN DISABLE"), std::string::npos);
    EXPECT_EQ(capsules[4].facts["read"], 3);
    EXPECT_EQ(capsules[5].facts["written"], 2); // the switch bit cleared, the display bit kept
    const Events exits = OfKind(events, "exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].facts["program"], "brenvik");
    EXPECT_EQ(exits[0].facts["meaning"], "every option was applied");
}

TEST_F(SimbookTool, BusyAnswerAndItsRepeat) {
    UseMachine({{"driver", {{"busy_replies", 1}}}});
    const Events events = Decode(RunLinux(_scratch, TOLMARE_PATH, {}, MachinePath()));
    SCOPED_TRACE(AllText(events));
    const Events capsules = OfKind(events, "capsule");
    ASSERT_GE(capsules.size(), 2u);
    EXPECT_EQ(capsules[0].facts["busy"], true);
    EXPECT_EQ(capsules[0].facts["status"], 4);
    EXPECT_EQ(capsules[1].facts["repeat"], true);
    EXPECT_EQ(capsules[1].facts["busy"], false);
    EXPECT_EQ(capsules[1].facts["name"], capsules[0].facts["name"]);
    EXPECT_EQ(capsules[1].facts["sequence"], 1);
    EXPECT_EQ(capsules[2].facts["repeat"], false);
}

TEST_F(SimbookTool, FailuresAreNamed) {
    struct Case {
        nlohmann::json machine;
        std::string program;
        std::vector<std::string> args;
        std::string kind;    // the event that shows the failure
        std::string text;    // in its line
        std::string meaning; // of the exit status
    };
    const Case cases[] = {
        {{{"driver", {{"faults", {{"phase1_reply_length", 159}}}}}},
         TOLMARE_PATH,
         {},
         "handshake",
         "(159 of 160 bytes returned)",
         "failure: a read failed, or the driver could not be opened or turned the handshake down"},
        {{{"driver", {{"faults", {{"capsule_error", 1117}}}}}},
         TOLMARE_PATH,
         {},
         "capsule",
         "the call failed: ERROR_IO_DEVICE (1117)",
         "failure: a read failed, or the driver could not be opened or turned the handshake down"},
        {{{"firmware", {{"failing_functions", {0x11}}}}},
         TOLMARE_PATH,
         {},
         "capsule",
         "GetSetupItem item 0x8008 selector 0 -> not supported",
         "failure: a read failed, or the driver could not be opened or turned the handshake down"},
        {{{"firmware", {{"user_password", true}}}},
         BRENVIK_PATH,
         {"/wl:DISABLE"},
         "capsule",
         "UserPassword (selector 0x0000): ENABLE -> done",
         "a firmware password is set; nothing was changed"},
        {{{"driver", {{"present", false}}}},
         BRENVIK_PATH,
         {"/wl:ENABLE"},
         "exit",
         "exit status -2 (0xfffffffe) of brenvik",
         "failure: no driver found, or it failed the authentication"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine.dump());
        UseMachine(c.machine);
        // The program named: a run that ended before any firmware call cannot tell which it is.
        const std::string name = c.program == TOLMARE_PATH ? "tolmare" : "brenvik";
        const Events events = Decode(RunLinux(_scratch, c.program, c.args, MachinePath()), name);
        SCOPED_TRACE(AllText(events));
        const Events shown = OfKind(events, c.kind);
        EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [&](const simbook::TraceEvent& e) {
            return e.text.find(c.text) != std::string::npos;
        }));
        if (!c.meaning.empty()) {
            EXPECT_EQ(OfKind(events, "exit").back().facts["meaning"], c.meaning);
        }
    }
}

TEST_F(SimbookTool, ScanRunShowsWifiCallsAndTheNotification) {
    UseMachine();
    const Events events = Decode(RunLinux(
        _scratch, SUNDREL_PATH, {"{c799c725-24b9-464b-b6c7-5e300dce17d6}"}, MachinePath()));
    SCOPED_TRACE(AllText(events));
    std::vector<std::string> calls;
    for (const simbook::TraceEvent& e : OfKind(events, "wlan")) {
        calls.push_back(e.facts["call"]);
    }
    for (const char* call : {"WlanOpenHandle", "WlanRegisterNotification", "WlanScan",
                             "WlanGetAvailableNetworkList", "WlanCloseHandle"}) {
        EXPECT_NE(std::find(calls.begin(), calls.end(), call), calls.end()) << call;
    }
    const Events notes = OfKind(events, "notify");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].facts["what"], "scan complete");
    EXPECT_FALSE(OfKind(events, "library").empty());
    EXPECT_EQ(OfKind(events, "exit").back().facts["program"], "sundrel");
    EXPECT_EQ(OfKind(events, "exit").back().facts["meaning"], "networks listed");
}

TEST(TraceDecode, LinesItDoesNotKnowAreShownRaw) {
    const Events events = simbook::DecodeTrace(
        {R"({"op":"something_new","x":1})", "not json", "", R"([1,2])",
         R"({"op":"DeviceIoControl","code":2236424,"in":"zz","out":"","result":false,"last_error":87})",
         R"({"op":"exit","status":-3})"});
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].kind, "raw");
    EXPECT_EQ(events[1].kind, "raw");
    EXPECT_EQ(events[2].kind, "raw");
    EXPECT_EQ(events[2].line, 4u);
    EXPECT_EQ(events[3].kind, "capsule");
    EXPECT_NE(events[3].text.find("ERROR_INVALID_PARAMETER (87)"), std::string::npos);
    EXPECT_EQ(events[4].facts["program"], "brenvik");

    // Nesting far deeper than any trace line is shown raw, never parsed.
    const std::string deep = std::string(80000, '[') + std::string(80000, ']') + "}";
    for (const std::string& line : std::vector<std::string>{
             R"({"op":"WlanScan","interface":)" + deep, R"({"op":"firmware","request":)" + deep,
             R"({"op":"open","path":"[{"})"}) {
        const Events shown = simbook::DecodeTrace({line});
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].kind, line.size() > 1000 ? "raw" : "open");
    }
}

// Only an integer in the 32-bit signed range is an exit status; anything else is unreadable,
// never explained as a status.
TEST(TraceDecode, ExitStatusesOutsideTheRangeAreUnreadable) {
    const struct {
        const char* line;
        std::optional<int64_t> status;
    } cases[] = {
        {R"({"op":"exit"})", std::nullopt},
        {R"({"op":"exit","status":"0"})", std::nullopt},
        {R"({"op":"exit","status":null})", std::nullopt},
        {R"({"op":"exit","status":0.5})", std::nullopt},
        {R"({"op":"exit","status":2147483648})", std::nullopt},
        {R"({"op":"exit","status":18446744073709551615})", std::nullopt},
        {R"({"op":"exit","status":-2147483649})", std::nullopt},
        {R"({"op":"exit","status":2147483647})", 2147483647},
        {R"({"op":"exit","status":-2147483648})", -2147483648LL},
        {R"({"op":"exit","status":0})", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const Events events = simbook::DecodeTrace({c.line}, "brenvik");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, "exit");
        if (c.status) {
            EXPECT_EQ(events[0].facts["status"], *c.status);
            continue;
        }
        EXPECT_TRUE(events[0].facts["status"].is_null());
        EXPECT_EQ(events[0].facts["meaning"], "unreadable");
        EXPECT_EQ(events[0].text.rfind("exit status unreadable", 0), 0u) << events[0].text;
    }
}

// Firmware lines that never pair wait in bounded number: the oldest is shown as soon as too
// many wait, not at the end; a capsule still pairs with its own session's line.
TEST(TraceDecode, UnpairedFirmwareLinesAreShownAsTheyAgeOut) {
    std::vector<std::string> shown;
    simbook::TraceDecoder decoder("", [&](simbook::TraceEvent&& e) { shown.push_back(e.text); });
    const size_t waiting = simbook::TraceDecoder::kMaxWaitingFirmwareLines;
    for (size_t i = 0; i < waiting; ++i) {
        decoder.Line(i + 1, R"({"op":"firmware","session":7,"request":"0c"})");
    }
    EXPECT_TRUE(shown.empty());
    decoder.Line(waiting + 1, R"({"op":"firmware","session":9,"request":"11"})");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].rfind("capsule (no reply recorded): ReadIndexedSetting", 0), 0u);
    decoder.Line(waiting + 2, R"({"op":"DeviceIoControl","code":2236424,"in":")" +
                                  std::string(16, '0') + R"(09000000","out":"","result":true})");
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_NE(shown[1].find("GetSetupItem"), std::string::npos) << shown[1];
    decoder.Finish();
    EXPECT_EQ(shown.size(), waiting + 1);
}

TEST_F(SimbookTool, SetRefusesWhatTheReaderRefusesAndChangesNothing) {
    UseMachine();
    const std::string before = MachineText();
    const std::vector<std::string> refused[] = {
        {"set", "--file", MachinePath(), "firmware.setting58=-1"},
        {"set", "--file", MachinePath(), "firmware.setting58=x"},
        {"set", "--file", MachinePath(), "driver.no_such_knob=1"},
        {"set", "--file", MachinePath(), "wlan.interfaces[0].scan=sometimes"},
        {"set", "--file", MachinePath(), "wlan.interfaces[1].scan=fail"}, // a new one, no GUID
        {"set", "--file", MachinePath(), "driver.auth_key=00"},
        // One good assignment with a bad one: neither is written.
        {"set", "--file", MachinePath(), "firmware.setting58=0", "ansi_code_page=437"},
    };
    for (const std::vector<std::string>& args : refused) {
        SCOPED_TRACE(args.back());
        EXPECT_EQ(Simbook(args), 1);
        EXPECT_NE(SimbookErrors().find("nothing changed"), std::string::npos) << SimbookErrors();
        EXPECT_EQ(MachineText(), before);
    }
    EXPECT_EQ(Simbook({"set", "--file", MachinePath(), "bare-word"}), 2);

    EXPECT_EQ(Simbook({"set", "--file", MachinePath(), "firmware.setting58=0",
                       "wlan.interfaces[0].scan=fail", "driver.driver_version=1.0.9.1"}),
              0);
    const nlohmann::json after = MachineAfter();
    EXPECT_EQ(after["firmware"]["setting58"], 0);
    EXPECT_EQ(after["wlan"]["interfaces"][0]["scan"], "fail");
    EXPECT_EQ(after["wlan"]["interfaces"][0]["guid"], "{c799c725-24b9-464b-b6c7-5e300dce17d6}");
    EXPECT_EQ(after["driver"]["driver_version"], "1.0.9.1");
    EXPECT_EQ(after["clock"], Machine()["clock"]); // other keys kept
    const RunResult run = RunLinux(_scratch, TOLMARE_PATH, {}, MachinePath());
    EXPECT_NE(run.out.find("WirelessSwitch[DISABLE]"), std::string::npos);

    // While a program holds the device, the file is in use and stays as it is.
    const std::string held = MachineText();
    simbook::MachineLock lock;
    simbook::Dword error = 0;
    ASSERT_TRUE(lock.Acquire(MachinePath(), true, error));
    EXPECT_EQ(Simbook({"set", "--file", MachinePath(), "firmware.setting58=1"}), 1);
    EXPECT_NE(SimbookErrors().find("in use"), std::string::npos) << SimbookErrors();
    EXPECT_EQ(Simbook({"reset", "--file", MachinePath()}), 1);
    EXPECT_EQ(MachineText(), held);
}

TEST_F(SimbookTool, ResetAndNew) {
    UseMachine({{"firmware", {{"user_password", true}, {"setting58", 0}}}});
    EXPECT_EQ(Simbook({"reset", "--file", MachinePath(), "firmware.user_password"}), 0);
    EXPECT_FALSE(MachineAfter()["firmware"].contains("user_password"));
    EXPECT_EQ(MachineAfter()["firmware"]["setting58"], 0);
    EXPECT_EQ(Simbook({"reset", "--file", MachinePath()}), 0);
    EXPECT_EQ(MachineAfter(), nlohmann::json::parse(simbook::DefaultMachineText()));

    const std::string made = _scratch.Path("made.json");
    EXPECT_EQ(Simbook({"new", "--from", "passwords-set", made}), 0);
    const std::string text = ReadFile(made);
    EXPECT_NE(text.find("supervisor_password"), std::string::npos);
    EXPECT_EQ(Simbook({"new", made}), 1); // kept
    EXPECT_EQ(ReadFile(made), text);
    EXPECT_EQ(Simbook({"new", "--force", made}), 0);
    EXPECT_EQ(ReadFile(made), simbook::DefaultMachineText());
    EXPECT_EQ(Simbook({"new", "--from", "no-such-machine", _scratch.Path("other.json")}), 1);
    EXPECT_NE(SimbookErrors().find("healthy"), std::string::npos) << SimbookErrors();
}

// What is not a machine file the programs would read is refused by every command at once, and
// left as it is: a FIFO (never waited on), a folder, a file over the size limit, a device.
TEST_F(SimbookTool, CommandsRefuseWhatTheProgramsReaderRefuses) {
    const std::string fifo = _scratch.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::string folder = _scratch.Path("folder");
    std::filesystem::create_directories(folder);
    const std::string big = _scratch.Path("big.json");
    WriteFile(big, "{}" + std::string(2 * 1024 * 1024, ' '));
    const std::string made = _scratch.Path("made.json");
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"show", fifo}, "is a FIFO, not a regular file"},
        {{"set", "--file", fifo, "firmware.setting58=2"}, "is a FIFO, not a regular file"},
        {{"reset", "--file", fifo}, "is a FIFO, not a regular file"},
        {{"reset", "--file", fifo, "firmware.setting58"}, "is a FIFO, not a regular file"},
        {{"new", "--force", fifo}, "is a FIFO, not a regular file"},
        {{"new", "--from", fifo, made}, "is a FIFO, not a regular file"},
        {{"reset", "--file", "/dev/null"}, "is a device, not a regular file"},
        {{"new", "--from", "/dev/zero", made}, "is a device, not a regular file"},
        {{"show", big}, "larger than 1048576 bytes"},
        {{"new", "--from", big, made}, "larger than 1048576 bytes"},
        {{"set", "--file", big, "firmware.setting58=2"}, "larger than 1048576 bytes"},
        {{"reset", "--file", folder}, "is a directory, not a machine file"},
        {{"set", "--file", folder, "firmware.setting58=2"}, "is a directory, not a machine file"},
        {{"new", "--force", folder}, "is a directory, not a machine file"},
        {{"new", folder}, "is a directory, not a machine file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(Simbook(c.args), 1);
        EXPECT_NE(SimbookErrors().find(c.says), std::string::npos) << SimbookErrors();
        const std::string errors = SimbookErrors();
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1);
    }
    struct stat st {};
    EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_FALSE(std::filesystem::exists(made));
}

// new --force replaces a file only as set and reset do: not while a program has the device,
// through a symbolic link, never a file with another name or a read-only one.
TEST_F(SimbookTool, NewForceReplacesUnderTheDevicesRules) {
    UseMachine();
    const std::string before = MachineText();
    {
        simbook::MachineLock held;
        simbook::Dword error = 0;
        ASSERT_TRUE(held.Acquire(MachinePath(), true, error));
        EXPECT_EQ(Simbook({"new", "--force", "--from", "passwords-set", MachinePath()}), 1);
        EXPECT_NE(SimbookErrors().find("in use"), std::string::npos) << SimbookErrors();
        EXPECT_EQ(MachineText(), before);
    }
    const std::string link = _scratch.Path("link.json");
    std::filesystem::create_symlink(MachinePath(), link);
    EXPECT_EQ(Simbook({"new", "--force", "--from", "passwords-set", link}), 0) << SimbookErrors();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_NE(MachineText().find("supervisor_password"), std::string::npos);

    const std::string second = _scratch.Path("second.json");
    std::filesystem::create_hard_link(MachinePath(), second);
    EXPECT_EQ(Simbook({"new", "--force", MachinePath()}), 1);
    EXPECT_NE(SimbookErrors().find("hard links"), std::string::npos) << SimbookErrors();
    std::filesystem::remove(second);

    std::filesystem::permissions(MachinePath(), std::filesystem::perms::owner_read |
                                                    std::filesystem::perms::group_read |
                                                    std::filesystem::perms::others_read);
    EXPECT_EQ(Simbook({"new", "--force", MachinePath()}), 1);
    EXPECT_NE(SimbookErrors().find("read-only"), std::string::npos) << SimbookErrors();
    EXPECT_NE(MachineText().find("supervisor_password"), std::string::npos);
}

// Nesting beyond the limit is refused before anything is built, in a value and in a trace.
TEST_F(SimbookTool, DeepNestingIsRefused) {
    UseMachine();
    const std::string before = MachineText();
    EXPECT_EQ(Simbook({"set", "--file", MachinePath(), "firmware.zz=" + std::string(60000, '[')}),
              1);
    EXPECT_NE(SimbookErrors().find("nests deeper than 32 levels"), std::string::npos)
        << SimbookErrors();
    std::string key = "a";
    for (int i = 0; i < 40; ++i) {
        key += ".a";
    }
    EXPECT_EQ(Simbook({"set", "--file", MachinePath(), key + "=1"}), 1);
    EXPECT_EQ(MachineText(), before);

    WriteFile(_scratch.Path("trace.jsonl"), R"({"op":"WlanScan","interface":)" +
                                                std::string(80000, '[') + std::string(80000, ']') +
                                                "}\n" + R"({"op":"exit","status":0})" + "\n");
    EXPECT_EQ(Simbook({"trace", _scratch.Path("trace.jsonl")}), 0) << SimbookErrors();
    EXPECT_NE(SimbookOutput().find("nests deeper than 32 levels"), std::string::npos);
}

// Text output is one line an event or a key, whatever a trace, a machine file or a path holds.
TEST_F(SimbookTool, UntrustedTextIsShownOneLineEach) {
    WriteFile(_scratch.Path("trace.jsonl"),
              R"({"op":"WlanScan","interface":"a\u0000b\u001b[2J\nc","result":0})"
              "\n"
              R"({"op":"exit","status":0})"
              "\n");
    EXPECT_EQ(Simbook({"trace", _scratch.Path("trace.jsonl")}), 0) << SimbookErrors();
    const std::string shown = SimbookOutput();
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 2) << shown;
    EXPECT_NE(shown.find(R"(interface=a\x00b\x1b[2J\nc)"), std::string::npos) << shown;

    WriteFile(MachinePath(), Machine({{"driver", {{"driver_version", "1.0\x1b[2J\n8"}}}}).dump());
    EXPECT_EQ(Simbook({"show", MachinePath()}), 0) << SimbookErrors();
    EXPECT_NE(SimbookOutput().find(R"(1.0\x1b[2J\n8)"), std::string::npos) << SimbookOutput();
    EXPECT_EQ(SimbookOutput().find('\x1b'), std::string::npos);

    EXPECT_EQ(Simbook({"show", _scratch.Path("no\nsuch\x1b")}), 1);
    EXPECT_NE(SimbookErrors().find(R"(no\nsuch\x1b: cannot be read)"), std::string::npos)
        << SimbookErrors();
}

// Commands that change one machine at the same time take turns: each waits for the other's
// moment instead of failing as if a program had the device.
TEST_F(SimbookTool, ConcurrentSetsTakeTurns) {
    UseMachine();
    const std::vector<std::string> sets = {"firmware.wlan_flags=0",
                                           "firmware.setting58=0",
                                           "firmware.user_password=true",
                                           "firmware.supervisor_password=true",
                                           "driver.busy_replies=2",
                                           "driver.interfaces=2",
                                           "firmware.password_data_length=16",
                                           "ansi_code_page=65001"};
    std::string script;
    for (size_t i = 0; i < sets.size(); ++i) {
        script += std::string(SIMBOOK_PATH) + " set --file " + MachinePath() + " " + sets[i] +
                  " 2>" + _scratch.Path("err" + std::to_string(i)) + " & ";
    }
    script += "wait";
    for (size_t i = 0; i < sets.size(); ++i) {
        script += "; [ ! -s " + _scratch.Path("err" + std::to_string(i)) + " ] || exit 1";
    }
    for (int round = 0; round < 3; ++round) {
        UseMachine();
        EXPECT_EQ(std::system(script.c_str()), 0);
        const nlohmann::json after = MachineAfter();
        EXPECT_EQ(after["firmware"]["wlan_flags"], 0);
        EXPECT_EQ(after["firmware"]["user_password"], true);
        EXPECT_EQ(after["driver"]["interfaces"], 2);
        EXPECT_EQ(after["ansi_code_page"], 65001);
    }
}

// A procedure on a copy: each program run with its verdict and full status, the changes key
// by key, the procedure's own status; the machine file itself keeps every byte.
TEST_F(SimbookTool, RunReportsEveryProgramRunAndTheChangesOfACopy) {
    E2E_LINUX_ONLY("the simbook command runs the Linux build's programs");
    UseMachine({{"firmware", {{"wlan_flags", 1}, {"setting58", 1}}}});
    const std::string before = MachineText();
    std::string out;
    ASSERT_EQ(SimbookRun({"--json", "--machine", MachinePath()},
                         "brenvik /wl:DISABLE; tolmare >/dev/null; brenvik /wl:bad; sundrel; "
                         "echo '{\"op\":\"exit\",\"status\":-4}' >>\"$SIMBOOK_TRACE\"; exit 7",
                         out),
              7)
        << SimbookErrors();
    EXPECT_EQ(MachineText(), before);
    EXPECT_TRUE(TemporaryFolderEmpty());
    const nlohmann::json report = nlohmann::json::parse(out);
    ASSERT_EQ(report["runs"].size(), 5u) << out;
    EXPECT_EQ(report["runs"][0]["program"], "brenvik");
    EXPECT_EQ(report["runs"][0]["args"], nlohmann::json::array({"/wl:DISABLE"}));
    EXPECT_EQ(report["runs"][0]["verdict"], "SUCCESS");
    EXPECT_EQ(report["runs"][1]["status"], 0x00300000);
    EXPECT_EQ(report["runs"][2]["run"], 3);
    EXPECT_EQ(report["runs"][2]["status"], -3);
    EXPECT_EQ(report["runs"][2]["verdict"], "FAILURE");
    EXPECT_EQ(report["runs"][3]["verdict"], "(nothing)"); // sundrel's -2 prints nothing
    // An exit line without a start line is a run of its own, of no known program.
    EXPECT_EQ(report["runs"][3]["status"], -2);
    EXPECT_EQ(report["runs"][4]["program"], nullptr);
    EXPECT_EQ(report["runs"][4]["status"], -4);
    EXPECT_EQ(report["changes"],
              nlohmann::json::parse(R"([{"key":"firmware.wlan_flags","before":1,"after":0}])"));
    EXPECT_EQ(report["exit"], 7);

    // --in-place changes the file itself.
    ASSERT_EQ(SimbookRun({"--in-place", "--machine", MachinePath()}, "brenvik /ws:DISABLE", out),
              0);
    EXPECT_NE(out.find("firmware.setting58: 1 -> 0"), std::string::npos) << out;
    EXPECT_EQ(Firmware("setting58", -1), 0);
}

// A table with expectations: a row that does not hold fails, naming the machine and the key;
// one that holds passes; the exit status says a row failed.
TEST_F(SimbookTool, EachFailsTheRowsWhoseExpectationsDoNotHold) {
    E2E_LINUX_ONLY("the simbook command runs the Linux build's programs");
    WriteFile(_scratch.Path("expect.json"), R"({"*": {"exit": 0},
        "healthy": {"firmware.wlan_flags": 0},
        "passwords-set": {"firmware.user_password": false, "firmware.wlan_flags": 0}})");
    std::string out;
    EXPECT_EQ(
        SimbookRun({"--each", "healthy,passwords-set", "--expect", _scratch.Path("expect.json")},
                   "brenvik /wl:DISABLE >/dev/null", out),
        1)
        << SimbookErrors();
    EXPECT_NE(out.find("firmware.wlan_flags 1->0  pass"), std::string::npos) << out;
    EXPECT_NE(out.find("    exit: 252, expected 0"), std::string::npos) << out;
    EXPECT_NE(out.find("    firmware.user_password: true, expected false"), std::string::npos)
        << out;
    EXPECT_NE(out.find("    firmware.wlan_flags: 1, expected 0"), std::string::npos) << out;
    EXPECT_NE(out.find("2 machines: 1 passed, 1 failed"), std::string::npos) << out;
    // An expectation of something that is no key is refused before anything runs.
    WriteFile(_scratch.Path("expect.json"), R"({"healthy": {"firmware.wlan_flag": 1}})");
    EXPECT_EQ(
        SimbookRun({"--each", "healthy", "--expect", _scratch.Path("expect.json")}, "exit 0", out),
        125);
    EXPECT_NE(SimbookErrors().find("firmware.wlan_flag"), std::string::npos) << SimbookErrors();
}

// A procedure that hangs is ended at its time limit with every process it started, even one
// that left its process group; nothing stays in the temporary folder.
TEST_F(SimbookTool, RunEndsAHungProcedureAndEverythingItStarted) {
    E2E_LINUX_ONLY("the simbook command runs the Linux build's programs");
    const std::string pid = _scratch.Path("pid");
    std::string out;
    const std::string trapped = _scratch.Path("trapped");
    // The procedure is asked to end first, so that it can clear up; then made to.
    EXPECT_EQ(SimbookRun({"--timeout", "1"},
                         "trap 'echo ended >" + trapped +
                             "; exit 1' TERM; setsid sleep 600 & echo $! >" + pid +
                             "; tolmare; sleep 600 & wait $!",
                         out),
              124);
    EXPECT_EQ(ReadFile(trapped), "ended\n");
    EXPECT_NE(out.find("timed out"), std::string::npos) << out;
    EXPECT_NE(out.find("1  tolmare"), std::string::npos) << out;
    const pid_t left = std::stoi(ReadFile(pid));
    EXPECT_NE(kill(left, 0), 0) << "the background process still runs";
    EXPECT_TRUE(TemporaryFolderEmpty());
}

} // namespace
} // namespace e2e
