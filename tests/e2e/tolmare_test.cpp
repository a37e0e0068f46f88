// tolmare run end to end against simulated notebooks.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tool_fixture.h"

namespace e2e {
namespace {

const std::string FAILURE = "tolmare[FAILURE]\r\n";

// The whole expected output of a successful run.
std::string Report(bool wlan, bool sw, bool display, bool supervisor, bool user) {
    auto word = [](bool on) { return on ? std::string("ENABLE") : std::string("DISABLE"); };
    return "tolmare[SUCCESS]\r\n"
           "WLAN[" +
           word(wlan) +
           "]\r\n"
           "WirelessSwitch[" +
           word(sw) +
           "]\r\n"
           "WirelessSwitchDisplay[" +
           word(display) +
           "]\r\n"
           "SupervisorPassword[" +
           word(supervisor) +
           "]\r\n"
           "UserPassword[" +
           word(user) + "]\r\n";
}

int32_t Mask(bool wlan, bool sw, bool display, bool supervisor, bool user) {
    return (wlan ? 0x00010000 : 0) | (sw ? 0x00100000 : 0) | (display ? 0x00200000 : 0) |
           (supervisor ? 0x01000000 : 0) | (user ? 0x02000000 : 0);
}

using TolmareRun = ToolTest;

TEST_F(TolmareRun, EverySwitchValueAndWlanFlagCombination) {
    struct Flags {
        int flags;
        int state; // -1: the firmware answer is not a state
    };
    const Flags wlanFlags[] = {{0x0001, 1}, {0x0002, 0}, {0x0101, 1}, {0x0102, -1}};
    for (const Flags& f : wlanFlags) {
        for (int setting = 0; setting <= 3; ++setting) {
            char label[64];
            std::snprintf(label, sizeof label, "wlan_flags 0x%04x, setting58 %d", f.flags, setting);
            SCOPED_TRACE(label);
            UseMachine({{"firmware", {{"wlan_flags", f.flags}, {"setting58", setting}}}});
            const std::string before = MachineText();
            const RunResult run = RunTolmare();
            if (f.state < 0) {
                EXPECT_EQ(run.out, FAILURE);
                ExpectStatus(run, -1);
            } else {
                const bool sw = (setting & 1) != 0;
                const bool display = (setting & 2) == 0;
                EXPECT_EQ(run.out, Report(f.state == 1, sw, display, false, false));
                ExpectStatus(run, Mask(f.state == 1, sw, display, false, false));
            }
            EXPECT_EQ(MachineText(), before);
        }
    }
}

TEST_F(TolmareRun, AllOnIsThe0x00310000Mask) {
    UseMachine({{"firmware", {{"wlan_flags", 1}, {"setting58", 1}}}});
    const RunResult run = RunTolmare();
    EXPECT_EQ(run.out, "tolmare[SUCCESS]\r\nWLAN[ENABLE]\r\nWirelessSwitch[ENABLE]\r\n"
                       "WirelessSwitchDisplay[ENABLE]\r\nSupervisorPassword[DISABLE]\r\n"
                       "UserPassword[DISABLE]\r\n");
    ExpectStatus(run, 3211264);
}

TEST_F(TolmareRun, EverythingOffIsZero) {
    UseMachine({{"firmware", {{"wlan_flags", 0}, {"setting58", 2}}}});
    const RunResult run = RunTolmare();
    EXPECT_EQ(run.out, Report(false, false, false, false, false));
    ExpectStatus(run, 0);
}

TEST_F(TolmareRun, PasswordsSetTheirBits) {
    for (int p = 0; p < 4; ++p) {
        const bool supervisor = (p & 1) != 0;
        const bool user = (p & 2) != 0;
        SCOPED_TRACE("passwords " + std::to_string(p));
        UseMachine({{"firmware",
                     {{"wlan_flags", 1},
                      {"setting58", 1},
                      {"supervisor_password", supervisor},
                      {"user_password", user}}}});
        const RunResult run = RunTolmare();
        EXPECT_EQ(run.out, Report(true, true, true, supervisor, user));
        ExpectStatus(run, Mask(true, true, true, supervisor, user));
    }
}

TEST_F(TolmareRun, SwitchSettingOutsideItsTableFails) {
    const nlohmann::json firmware[] = {
        {{"setting58", 4}, {"setting58_width", 3}},
        {{"setting58", 7}, {"setting58_width", 3}},
        {{"setting58", 0xFFFF}, {"setting58_width", 16}},
    };
    for (const nlohmann::json& f : firmware) {
        SCOPED_TRACE(f.dump());
        UseMachine({{"firmware", f}});
        const RunResult run = RunTolmare();
        EXPECT_EQ(run.out, FAILURE);
        ExpectStatus(run, -1);
    }
    // The reported width masks the value: 5 (1 with a stray bit above two bits) reads as 1.
    UseMachine({{"firmware",
                 {{"setting58", 1},
                  {"setting58_stray_bits", 4},
                  {"setting58_width", 2},
                  {"wlan_flags", 1}}}});
    const RunResult run = RunTolmare();
    EXPECT_EQ(run.out, Report(true, true, true, false, false));
    ExpectStatus(run, Mask(true, true, true, false, false));
}

TEST_F(TolmareRun, FailedReadsPrintOnlyTheFailureLine) {
    const nlohmann::json firmware[] = {
        {{"password_state_status", 1}},    {{"password_state_status", 4}},
        {{"password_state_status", 0xFF}}, {{"password_data_length", 0}},
        {{"password_data_length", 65530}}, {{"failing_functions", {0x11}}},
        {{"failing_functions", {0x0C}}},   {{"failing_functions", {0x04}}},
        {{"failing_functions", {0x05}}},
    };
    for (const nlohmann::json& f : firmware) {
        SCOPED_TRACE(f.dump());
        UseMachine({{"firmware", f}});
        const RunResult run = RunTolmare();
        EXPECT_EQ(run.out, FAILURE);
        ExpectStatus(run, -1);
    }
}

TEST_F(TolmareRun, DriverProblems) {
    UseMachine({{"driver", {{"present", false}}}});
    RunResult run = RunTolmare();
    EXPECT_EQ(run.out, FAILURE);
    ExpectStatus(run, -2);
    EXPECT_TRUE(IoControls(run).empty());

    UseMachine({{"driver", {{"faults", {{"proof", "flip_last_byte"}}}}}});
    run = RunTolmare();
    EXPECT_EQ(run.out, FAILURE);
    ExpectStatus(run, -2);

    UseMachine({{"driver", {{"auth_key", "000102030405060708090a0b0c0d0e0f"}}}});
    run = RunTolmare();
    EXPECT_EQ(run.out, FAILURE);
    ExpectStatus(run, -1);

    UseMachine({{"driver", {{"driver_version", "1.0.7.0"}}}});
    run = RunTolmare();
    EXPECT_EQ(run.out, FAILURE);
    ExpectStatus(run, -1);
    EXPECT_TRUE(IoControls(run, IOCTL_CAPSULE).empty());
}

TEST_F(TolmareRun, PlainModeAndBusyFirmwareStillRead) {
    UseMachine({{"driver", {{"sessions", false}}}, {"firmware", {{"setting58", 2}}}});
    RunResult run = RunTolmare();
    EXPECT_EQ(run.out, Report(true, false, false, false, false));
    ExpectStatus(run, Mask(true, false, false, false, false));
    EXPECT_EQ(PlainFirmwareFunctions(run), (std::vector<int>{0x11, 0x0C, 0x04, 0x05, 0x05}));

    UseMachine({{"driver", {{"busy_replies", 1}}}});
    run = RunTolmare();
    EXPECT_EQ(run.out, Report(true, true, true, false, false));
    ExpectStatus(run, Mask(true, true, true, false, false));
}

TEST_F(TolmareRun, ArgumentsChangeNothing) {
    UseMachine({{"firmware", {{"wlan_flags", 0x0101}, {"setting58", 3}, {"user_password", true}}}});
    const RunResult plain = RunTolmare();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"/wl:DISABLE"}, {"/?", "--help", "extra"}, {""}}) {
        const RunResult run = RunTolmare(args);
        EXPECT_EQ(run.out, plain.out);
        ASSERT_TRUE(plain.exitStatus.has_value());
        ExpectStatus(run, *plain.exitStatus);
    }
    EXPECT_EQ(plain.out, Report(true, true, false, false, true));
}

// A reader that has closed the pipe (`tolmare | head -c1`): every write fails, as on Windows,
// and the program still ends by itself, its exit line in the trace.
TEST_F(TolmareRun, ClosedOutputPipeFailsTheWritesNotTheRun) {
    E2E_LINUX_ONLY("the stand-in's pipes");
    UseMachine();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    const std::string trace = _scratch.Path("trace.jsonl");
    std::string machineVar = "SIMBOOK=" + MachinePath();
    std::string traceVar = "SIMBOOK_TRACE=" + trace;
    std::string program = TOLMARE_PATH;
    char* argv[] = {program.data(), nullptr};
    char* envp[] = {machineVar.data(), traceVar.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string lines = ReadFile(trace);
    EXPECT_NE(lines.find("{\"op\":\"exit\",\"run\":1,\"status\":3211264}"), std::string::npos)
        << lines;
}

} // namespace
} // namespace e2e
