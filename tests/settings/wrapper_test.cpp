// CMiscFuncWrapper over the real channel and the simulated notebook: the machine file and the
// trace are switched per test within this process.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/settings/misc_func_wrapper.h"
#include "simbook/machine.h"
#include "simbook/trace.h"
#include "support/stand_in.h"
#include "support/tool_runner.h"

namespace {

constexpr uint32_t IOCTL_CAPSULE = nwt::test::protocol::kIoctlCapsule;
constexpr uint32_t IOCTL_END_SESSION = nwt::test::protocol::kIoctlEndSession;

class Wrapper : public ::testing::Test {
protected:
    void TearDown() override { _machine.reset(); }

    // Points this process at a fresh machine (pinned clock plus `overrides`) and an empty trace.
    void UseMachine(const nlohmann::json& overrides = nlohmann::json::object()) {
        nlohmann::json machine = {
            {"clock",
             {{"system_time", {2026, 12, 1, 7, 13, 47, 41, 0}},
              {"performance_counter", 1234567890}}},
        };
        e2e::Overlay(machine, overrides);
        _machine.reset();
        _machine.emplace(machine.dump(2) + "\n", nwt::test::StandInMachine::Trace::On);
    }

    // I/O controls in the trace so far, optionally of one code.
    size_t IoControls(uint32_t code = 0) const {
        size_t count = 0;
        for (const nlohmann::json& line : _machine->TraceOps("DeviceIoControl")) {
            count += code == 0 || line.at("code").get<uint32_t>() == code ? 1 : 0;
        }
        return count;
    }

    std::optional<nwt::test::StandInMachine> _machine;
};

TEST_F(Wrapper, ClosedWrapperRefusesEveryOperationAndSendsNothing) {
    UseMachine();
    CMiscFuncWrapper wrapper;
    std::vector<CGetInfo> list{CGetInfo(ITEM_USER_PASSWORD, 1)};
    EXPECT_EQ(wrapper.SetWlan(CSetInfo(ITEM_WLAN, VALUE_ENABLE)), 1);
    EXPECT_EQ(wrapper.SetWlan(CSetInfo(ITEM_WLAN, VALUE_NONE)), 1);
    EXPECT_EQ(wrapper.SetWirelessSwitch(CSetInfo(ITEM_WIRELESS_SWITCH, VALUE_DISABLE)), 1);
    EXPECT_EQ(wrapper.SetWirelessSwitch(CSetInfo(ITEM_WIRELESS_SWITCH, VALUE_NONE)), 1);
    EXPECT_EQ(wrapper.GetWlan(list), 1);
    EXPECT_EQ(wrapper.GetWirelessSwitch(list), 1);
    EXPECT_EQ(wrapper.GetPasswords(list), 1);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(IoControls(), 0u);

    // After Close the same holds.
    ASSERT_EQ(wrapper.Open(), 0);
    wrapper.Close();
    const size_t sent = IoControls();
    EXPECT_EQ(wrapper.GetWlan(list), 1);
    EXPECT_EQ(wrapper.SetWlan(CSetInfo(ITEM_WLAN, VALUE_NONE)), 1);
    EXPECT_EQ(IoControls(), sent);
    wrapper.Close(); // a second Close does nothing
    EXPECT_EQ(IoControls(), sent);
}

TEST_F(Wrapper, SecondOpenIsRefusedAndLeavesTheChannelWorking) {
    UseMachine();
    CMiscFuncWrapper wrapper;
    ASSERT_EQ(wrapper.Open(), 0);
    const size_t sent = IoControls();
    EXPECT_EQ(wrapper.Open(), 1);
    EXPECT_EQ(IoControls(), sent) << "no new handshake";
    std::vector<CGetInfo> list;
    EXPECT_EQ(wrapper.GetWlan(list), 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]._nItem, ITEM_WLAN);
    EXPECT_EQ(list[0]._nValue, 1);
}

TEST_F(Wrapper, OpenResultsFollowTheDriver) {
    UseMachine({{"driver", {{"present", false}}}});
    {
        CMiscFuncWrapper wrapper;
        EXPECT_EQ(wrapper.Open(), 2);
        EXPECT_FALSE(wrapper.IsOpened());
    }
    UseMachine({{"driver", {{"faults", {{"proof", "flip_last_byte"}}}}}});
    {
        CMiscFuncWrapper wrapper;
        EXPECT_EQ(wrapper.Open(), 2);
    }
    UseMachine({{"driver", {{"auth_key", "0123456789abcdef0123456789abcdef"}}}});
    {
        CMiscFuncWrapper wrapper;
        EXPECT_EQ(wrapper.Open(), 1);
    }
    UseMachine({{"driver", {{"driver_version", nullptr}}}});
    {
        CMiscFuncWrapper wrapper;
        EXPECT_EQ(wrapper.Open(), 1);
    }
}

TEST_F(Wrapper, NoneSetsSendNothing) {
    UseMachine();
    CMiscFuncWrapper wrapper;
    ASSERT_EQ(wrapper.Open(), 0);
    const size_t sent = IoControls();
    EXPECT_EQ(wrapper.SetWlan(CSetInfo(ITEM_WLAN, VALUE_NONE)), 0);
    EXPECT_EQ(wrapper.SetWirelessSwitch(CSetInfo(ITEM_WIRELESS_SWITCH, VALUE_NONE)), 0);
    EXPECT_EQ(IoControls(), sent);
}

TEST_F(Wrapper, OldDriverOpensButRefusesEveryRequest) {
    UseMachine({{"driver", {{"driver_version", "1.0.7.255"}}}});
    CMiscFuncWrapper wrapper;
    ASSERT_EQ(wrapper.Open(), 0);
    std::vector<CGetInfo> list;
    EXPECT_EQ(wrapper.GetWlan(list), 1);
    EXPECT_EQ(wrapper.GetWirelessSwitch(list), 1);
    EXPECT_EQ(wrapper.GetPasswords(list), 1);
    EXPECT_EQ(wrapper.SetWlan(CSetInfo(ITEM_WLAN, VALUE_ENABLE)), 1);
    EXPECT_EQ(wrapper.SetWirelessSwitch(CSetInfo(ITEM_WIRELESS_SWITCH, VALUE_ENABLE)), 1);
    EXPECT_EQ(wrapper.SetWlan(CSetInfo(ITEM_WLAN, VALUE_NONE)), 0);
    EXPECT_EQ(wrapper.SetWirelessSwitch(CSetInfo(ITEM_WIRELESS_SWITCH, VALUE_NONE)), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(IoControls(IOCTL_CAPSULE), 0u);
}

TEST_F(Wrapper, ReadsAppendInOrderAfterWhatTheListHolds) {
    UseMachine(
        {{"firmware", {{"wlan_flags", 0x0100}, {"setting58", 2}, {"supervisor_password", true}}}});
    CMiscFuncWrapper wrapper;
    ASSERT_EQ(wrapper.Open(), 0);
    std::vector<CGetInfo> list{CGetInfo(42, 7)};
    ASSERT_EQ(wrapper.GetWlan(list), 0);
    ASSERT_EQ(wrapper.GetWirelessSwitch(list), 0);
    ASSERT_EQ(wrapper.GetPasswords(list), 0);
    const std::vector<std::pair<int, int>> expected = {
        {42, 7},
        {ITEM_WLAN, 0},
        {ITEM_WIRELESS_SWITCH, 0},
        {ITEM_WIRELESS_SWITCH_DISPLAY, 0},
        {ITEM_SUPERVISOR_PASSWORD, 1},
        {ITEM_USER_PASSWORD, 0},
    };
    ASSERT_EQ(list.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(list[i]._nItem, expected[i].first) << i;
        EXPECT_EQ(list[i]._nValue, expected[i].second) << i;
    }
}

TEST_F(Wrapper, FailedReadsAppendNothing) {
    struct Case {
        nlohmann::json firmware;
        int wlan; // expected results of GetWlan, GetWirelessSwitch, GetPasswords
        int wirelessSwitch;
        int passwords;
    };
    const Case cases[] = {
        {{{"wlan_flags", 0x0103}}, 1, 0, 0},
        {{{"setting58", 4}, {"setting58_width", 3}}, 0, 1, 0},
        {{{"password_state_status", 1}}, 0, 0, 1},
        {{{"password_state_status", 3}}, 0, 0, 1},
        {{{"password_data_length", 0}}, 0, 0, 1},
        {{{"password_data_length", 1}}, 0, 0, 1},
        {{{"failing_functions", {0x11, 0x0C}}}, 1, 1, 0},
        {{{"failing_functions", {0x04}}}, 0, 0, 1},
        {{{"failing_functions", {0x05}}}, 0, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firmware.dump());
        UseMachine({{"firmware", c.firmware}});
        CMiscFuncWrapper wrapper;
        ASSERT_EQ(wrapper.Open(), 0);
        std::vector<CGetInfo> list;
        EXPECT_EQ(wrapper.GetWlan(list), c.wlan);
        const size_t afterWlan = list.size();
        EXPECT_EQ(afterWlan, c.wlan == 0 ? 1u : 0u);
        EXPECT_EQ(wrapper.GetWirelessSwitch(list), c.wirelessSwitch);
        const size_t afterSwitch = list.size();
        EXPECT_EQ(afterSwitch - afterWlan, c.wirelessSwitch == 0 ? 2u : 0u);
        EXPECT_EQ(wrapper.GetPasswords(list), c.passwords);
        EXPECT_EQ(list.size() - afterSwitch, c.passwords == 0 ? 2u : 0u);
    }
}

TEST_F(Wrapper, WritesReachTheFirmware) {
    UseMachine({{"firmware", {{"wlan_flags", 0}, {"setting58", 0xF6}, {"setting58_width", 8}}}});
    CMiscFuncWrapper wrapper;
    ASSERT_EQ(wrapper.Open(), 0);
    EXPECT_EQ(wrapper.SetWlan(CSetInfo(ITEM_WLAN, VALUE_ENABLE)), 0);
    EXPECT_EQ(wrapper.SetWirelessSwitch(CSetInfo(ITEM_WIRELESS_SWITCH, VALUE_ENABLE)), 0);
    // The item id inside the value is not looked at: the operation decides what is written.
    EXPECT_EQ(wrapper.SetWlan(CSetInfo(ITEM_WIRELESS_SWITCH, VALUE_DISABLE)), 0);
    wrapper.Close();

    const nlohmann::json machine =
        nlohmann::json::parse(nwt::test::ReadFile(_machine->MachinePath()));
    EXPECT_EQ(machine["firmware"]["wlan_flags"], 0);
    EXPECT_EQ(machine["firmware"]["setting58"], 0xF7);
}

TEST_F(Wrapper, FailedWriteReportsFailure) {
    UseMachine({{"firmware", {{"failing_functions", {0x12, 0x0D}}}}});
    CMiscFuncWrapper wrapper;
    ASSERT_EQ(wrapper.Open(), 0);
    EXPECT_EQ(wrapper.SetWlan(CSetInfo(ITEM_WLAN, VALUE_DISABLE)), 1);
    EXPECT_EQ(wrapper.SetWirelessSwitch(CSetInfo(ITEM_WIRELESS_SWITCH, VALUE_DISABLE)), 1);
}

TEST_F(Wrapper, DestructorEndsAnOpenSession) {
    UseMachine();
    {
        CMiscFuncWrapper wrapper;
        ASSERT_EQ(wrapper.Open(), 0);
        EXPECT_EQ(IoControls(IOCTL_END_SESSION), 0u);
    }
    EXPECT_EQ(IoControls(IOCTL_END_SESSION), 1u);
    // The device was released: a new wrapper opens it again.
    CMiscFuncWrapper again;
    EXPECT_EQ(again.Open(), 0);
}

} // namespace
