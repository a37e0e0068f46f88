// brenvik run end to end against simulated notebooks.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "tool_fixture.h"

namespace e2e {
namespace {

const std::string SUCCESS = "brenvik[SUCCESS]";
const std::string FAILURE = "brenvik[FAILURE]";

// GetPasswordInfo and the two GetPasswordState requests of the password guard.
constexpr size_t PASSWORD_GUARD_REQUESTS = 3;

using BrenvikRun = ToolTest;

TEST_F(BrenvikRun, RejectedCommandLinesNeverOpenTheDriver) {
    const std::vector<std::vector<std::string>> rejected = {
        {},
        {"/wl:ENABLE", "/ws:ENABLE", "/wl:NONE"},
        {"/wl:"},
        {"/ws:"},
        {"/wl"},
        {""},
        {"/wl:ON"},
        {"/wl:ENABLED"},
        {"/wl:ENABL"},
        {"/wl:Enable"},
        {"/wl:enable"},
        {"/WL:ENABLE"},
        {"/Ws:DISABLE"},
        {"/wx:ENABLE"},
        {"-wl:ENABLE"},
        {"/wl:ENABLE "},
        {" /wl:ENABLE"},
        {"/wl:NONEX"},
        {"/wl:DISABLE2"},
        {"/wl:=ENABLE"},
        {"/wlxENABLE"}, // the colon is part of the prefix
        {"/ws=DISABLE"},
        {"/wl:ENABLE", "/ws:bogus"}, // a valid first option does not get applied
        {"/wl:DISABLE", "/ws:"},
        {"/ws:DISABLE", ""},
    };
    UseMachine({{"firmware", {{"wlan_flags", 1}, {"setting58", 1}}}});
    const std::string before = MachineText();
    for (const std::vector<std::string>& args : rejected) {
        std::string shown;
        for (const std::string& a : args) {
            shown += "[" + a + "]";
        }
        SCOPED_TRACE("arguments " + shown);
        const RunResult run = RunBrenvik(args);
        EXPECT_EQ(run.out, FAILURE);
        ExpectStatus(run, -3);
        EXPECT_TRUE(IoControls(run).empty());
        ASSERT_EQ(run.trace.size(), 2u) << "only the start and exit lines are expected";
        EXPECT_EQ(run.trace[0]["op"], "start");
        EXPECT_EQ(run.trace[0]["args"], nlohmann::json(args));
        EXPECT_EQ(MachineText(), before);
    }
}

TEST_F(BrenvikRun, OptionsAreAppliedInOrder) {
    UseMachine({{"firmware", {{"wlan_flags", 0}}}});
    RunResult run = RunBrenvik({"/wl:ENABLE", "/wl:DISABLE"});
    EXPECT_EQ(run.out, SUCCESS);
    ExpectStatus(run, 0);
    EXPECT_EQ(Firmware("wlan_flags", -1), 0);
    EXPECT_EQ(IoControls(run, IOCTL_CAPSULE).size(), PASSWORD_GUARD_REQUESTS + 2);

    run = RunBrenvik({"/wl:DISABLE", "/wl:ENABLE"});
    EXPECT_EQ(run.out, SUCCESS);
    ExpectStatus(run, 0);
    EXPECT_EQ(Firmware("wlan_flags", -1), 1);
}

TEST_F(BrenvikRun, NoneOptionsOpenAndCheckButWriteNothing) {
    UseMachine({{"firmware", {{"wlan_flags", 1}, {"setting58", 3}}}});
    const std::string before = MachineText();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"/wl:NONE", "/ws:NONE"}, {"/ws:NONE"}, {"/wl:NONE"}}) {
        const RunResult run = RunBrenvik(args);
        EXPECT_EQ(run.out, SUCCESS);
        ExpectStatus(run, 0);
        EXPECT_EQ(IoControls(run, IOCTL_CAPSULE).size(), PASSWORD_GUARD_REQUESTS);
        EXPECT_EQ(MachineText(), before);
    }
}

TEST_F(BrenvikRun, SwitchWriteChangesBitZeroOnly) {
    struct Case {
        int width;
        int before;
        const char* option;
        int after;
    };
    const Case cases[] = {
        {2, 3, "/ws:DISABLE", 2},      {2, 2, "/ws:ENABLE", 3},        {2, 0, "/ws:ENABLE", 1},
        {2, 1, "/ws:DISABLE", 0},      {2, 1, "/ws:ENABLE", 1},        {2, 0, "/ws:DISABLE", 0},
        {8, 0xF6, "/ws:ENABLE", 0xF7}, {8, 0xA5, "/ws:DISABLE", 0xA4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " on " + std::to_string(c.before));
        UseMachine({{"firmware",
                     {{"setting58", c.before}, {"setting58_width", c.width}, {"wlan_flags", 1}}}});
        const RunResult run = RunBrenvik({c.option});
        EXPECT_EQ(run.out, SUCCESS);
        ExpectStatus(run, 0);
        EXPECT_EQ(Firmware("setting58", -1), c.after);
        EXPECT_EQ(Firmware("wlan_flags", -1), 1);
    }
}

TEST_F(BrenvikRun, PasswordSetRefusesEveryWrite) {
    const nlohmann::json passwords[] = {
        {{"supervisor_password", true}, {"user_password", false}},
        {{"supervisor_password", false}, {"user_password", true}},
        {{"supervisor_password", true}, {"user_password", true}},
    };
    for (const nlohmann::json& p : passwords) {
        SCOPED_TRACE(p.dump());
        nlohmann::json firmware = p;
        firmware["wlan_flags"] = 1;
        firmware["setting58"] = 1;
        UseMachine({{"firmware", firmware}});
        const std::string before = MachineText();
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"/wl:DISABLE", "/ws:DISABLE"}, {"/wl:NONE"}}) {
            const RunResult run = RunBrenvik(args);
            EXPECT_EQ(run.out, FAILURE);
            ExpectStatus(run, -4);
            EXPECT_EQ(IoControls(run, IOCTL_CAPSULE).size(), PASSWORD_GUARD_REQUESTS);
            EXPECT_EQ(MachineText(), before);
        }
    }
}

TEST_F(BrenvikRun, UnreadablePasswordStateFailsWithoutWriting) {
    const nlohmann::json firmware[] = {
        {{"password_state_status", 1}},
        {{"password_data_length", 0}},
        {{"password_data_length", 1}},
        {{"failing_functions", {4}}},
    };
    for (const nlohmann::json& f : firmware) {
        SCOPED_TRACE(f.dump());
        UseMachine({{"firmware", f}});
        const std::string before = MachineText();
        const RunResult run = RunBrenvik({"/wl:DISABLE"});
        EXPECT_EQ(run.out, FAILURE);
        ExpectStatus(run, -1);
        EXPECT_LE(IoControls(run, IOCTL_CAPSULE).size(), PASSWORD_GUARD_REQUESTS);
        EXPECT_EQ(MachineText(), before);
    }
}

TEST_F(BrenvikRun, MissingDriverIsMinusTwo) {
    UseMachine({{"driver", {{"present", false}}}});
    const RunResult run = RunBrenvik({"/wl:DISABLE"});
    EXPECT_EQ(run.out, FAILURE);
    ExpectStatus(run, -2);
    EXPECT_TRUE(IoControls(run).empty());
}

TEST_F(BrenvikRun, DriverThatFailsItsProofIsMinusTwo) {
    // A procedure tells this (reinstall the driver) from a driver that is merely unwilling (-1).
    for (const char* proof : {"flip_last_byte", "wrong_order"}) {
        SCOPED_TRACE(proof);
        UseMachine({{"driver", {{"faults", {{"proof", proof}}}}}});
        const std::string before = MachineText();
        const RunResult run = RunBrenvik({"/wl:DISABLE"});
        EXPECT_EQ(run.out, FAILURE);
        ExpectStatus(run, -2);
        EXPECT_TRUE(IoControls(run, IOCTL_CAPSULE).empty());
        EXPECT_EQ(MachineText(), before);
    }
}

TEST_F(BrenvikRun, HandshakeRefusedByTheDriverIsMinusOne) {
    // A driver holding another key turns the client's proof away: the exchange itself fails.
    for (const nlohmann::json& driver :
         {nlohmann::json{{"auth_key", "00000000000000000000000000000000"}},
          nlohmann::json{{"faults", {{"phase1_reply_length", 159}}}},
          nlohmann::json{{"faults", {{"phase3_reply", "swapped_halves"}}}},
          nlohmann::json{{"driver_version", nullptr}}}) {
        SCOPED_TRACE(driver.dump());
        UseMachine({{"driver", driver}});
        const std::string before = MachineText();
        const RunResult run = RunBrenvik({"/wl:DISABLE"});
        EXPECT_EQ(run.out, FAILURE);
        ExpectStatus(run, -1);
        EXPECT_TRUE(IoControls(run, IOCTL_CAPSULE).empty());
        EXPECT_EQ(MachineText(), before);
    }
}

TEST_F(BrenvikRun, DriverOlderThan108IsMinusOne) {
    for (const char* version : {"1.0.7.0", "1.0.7.99", "0.9.9.9"}) {
        SCOPED_TRACE(version);
        UseMachine({{"driver", {{"driver_version", version}}}});
        const std::string before = MachineText();
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"/wl:DISABLE"}, {"/wl:NONE", "/ws:NONE"}}) {
            const RunResult run = RunBrenvik(args);
            EXPECT_EQ(run.out, FAILURE);
            ExpectStatus(run, -1);
            EXPECT_TRUE(IoControls(run, IOCTL_CAPSULE).empty());
            EXPECT_EQ(MachineText(), before);
        }
    }
}

TEST_F(BrenvikRun, PlainModeDriverSendsTheExpectedRequests) {
    UseMachine(
        {{"driver", {{"sessions", false}}}, {"firmware", {{"wlan_flags", 1}, {"setting58", 3}}}});
    const RunResult run = RunBrenvik({"/wl:DISABLE", "/ws:DISABLE"});
    EXPECT_EQ(run.out, SUCCESS);
    ExpectStatus(run, 0);
    // Password info, both password states, the setup item, then read and write of setting 58.
    EXPECT_EQ(PlainFirmwareFunctions(run), (std::vector<int>{0x04, 0x05, 0x05, 0x12, 0x0C, 0x0D}));
    EXPECT_EQ(Firmware("wlan_flags", -1), 0);
    EXPECT_EQ(Firmware("setting58", -1), 2);
}

TEST_F(BrenvikRun, BusyFirmwareIsAskedOnceMore) {
    UseMachine({{"driver", {{"busy_replies", 1}}}, {"firmware", {{"wlan_flags", 1}}}});
    RunResult run = RunBrenvik({"/wl:DISABLE"});
    EXPECT_EQ(run.out, SUCCESS);
    ExpectStatus(run, 0);
    EXPECT_EQ(IoControls(run, IOCTL_CAPSULE).size(), PASSWORD_GUARD_REQUESTS + 1 + 1);
    EXPECT_EQ(Firmware("wlan_flags", -1), 0);
    if (!UnderWine()) {
        // The repeat comes once, 100 ms after the busy answer, and at no other time.
        std::vector<nlohmann::json> sleeps;
        std::copy_if(run.trace.begin(), run.trace.end(), std::back_inserter(sleeps),
                     [](const nlohmann::json& line) { return line["op"] == "Sleep"; });
        EXPECT_EQ(sleeps,
                  std::vector<nlohmann::json>{nlohmann::json::parse(R"({"op":"Sleep","ms":100})")});
    }

    // Busy again on the repeat: the run gives up before any write.
    UseMachine({{"driver", {{"busy_replies", 2}}}, {"firmware", {{"wlan_flags", 1}}}});
    const std::string before = MachineText();
    run = RunBrenvik({"/wl:DISABLE"});
    EXPECT_EQ(run.out, FAILURE);
    ExpectStatus(run, -1);
    EXPECT_EQ(MachineText(), before);
}

TEST_F(BrenvikRun, FailedWriteStopsTheRest) {
    // The setup-item write fails: the switch option after it is never tried.
    UseMachine(
        {{"firmware", {{"wlan_flags", 1}, {"setting58", 1}, {"failing_functions", {0x12}}}}});
    std::string before = MachineText();
    RunResult run = RunBrenvik({"/wl:DISABLE", "/ws:DISABLE"});
    EXPECT_EQ(run.out, FAILURE);
    ExpectStatus(run, -1);
    EXPECT_EQ(IoControls(run, IOCTL_CAPSULE).size(), PASSWORD_GUARD_REQUESTS + 1);
    EXPECT_EQ(MachineText(), before);

    // The switch write fails after the device write went through: that one stays applied.
    UseMachine(
        {{"firmware", {{"wlan_flags", 1}, {"setting58", 1}, {"failing_functions", {0x0D}}}}});
    run = RunBrenvik({
        "/wl:DISABLE",
        "/ws:DISABLE",
    });
    EXPECT_EQ(run.out, FAILURE);
    ExpectStatus(run, -1);
    EXPECT_EQ(Firmware("wlan_flags", -1), 0);
    EXPECT_EQ(Firmware("setting58", -1), 1);

    // The read before the switch write fails: nothing is written for it, and the device
    // option after it is not applied.
    UseMachine(
        {{"firmware", {{"wlan_flags", 1}, {"setting58", 1}, {"failing_functions", {0x0C}}}}});
    before = MachineText();
    run = RunBrenvik({"/ws:DISABLE", "/wl:DISABLE"});
    EXPECT_EQ(run.out, FAILURE);
    ExpectStatus(run, -1);
    EXPECT_EQ(IoControls(run, IOCTL_CAPSULE).size(), PASSWORD_GUARD_REQUESTS + 1);
    EXPECT_EQ(MachineText(), before);
}

TEST_F(BrenvikRun, SessionIsEndedAfterTheRun) {
    UseMachine();
    const RunResult run = RunBrenvik({"/wl:ENABLE"});
    ExpectStatus(run, 0);
    const std::vector<nlohmann::json> controls = IoControls(run);
    ASSERT_FALSE(controls.empty());
    EXPECT_EQ(controls.back().at("code").get<uint32_t>(), IOCTL_END_SESSION);
}

} // namespace
} // namespace e2e
