// The two setting tools on one machine: what brenvik changes, the next tolmare reads.
#include <gtest/gtest.h>

#include "tool_fixture.h"

namespace e2e {
namespace {

using SettingTools = ToolTest;

TEST_F(SettingTools, TolmareReadsWhatBrenvikWrote) {
    UseMachine({{"firmware", {{"wlan_flags", 1}, {"setting58", 1}}}});
    ExpectStatus(RunTolmare(), 0x00310000);

    RunResult run = RunBrenvik({"/wl:DISABLE"});
    ASSERT_EQ(run.out, "brenvik[SUCCESS]");
    run = RunTolmare();
    EXPECT_EQ(run.out, "tolmare[SUCCESS]\r\nWLAN[DISABLE]\r\nWirelessSwitch[ENABLE]\r\n"
                       "WirelessSwitchDisplay[ENABLE]\r\nSupervisorPassword[DISABLE]\r\n"
                       "UserPassword[DISABLE]\r\n");
    ExpectStatus(run, 0x00300000);

    ASSERT_EQ(RunBrenvik({"/ws:DISABLE", "/wl:ENABLE"}).out, "brenvik[SUCCESS]");
    ExpectStatus(RunTolmare(), 0x00210000);

    ASSERT_EQ(RunBrenvik({"/ws:ENABLE"}).out, "brenvik[SUCCESS]");
    ExpectStatus(RunTolmare(), 0x00310000);
}

TEST_F(SettingTools, FailedRunLeavesTheMachineFileAsItWas) {
    UseMachine({{"firmware", {{"wlan_flags", 1}, {"setting58", 1}, {"user_password", true}}}});
    const std::string before = MachineText();
    EXPECT_EQ(RunBrenvik({"/wl:DISABLE", "/ws:DISABLE"}).out, "brenvik[FAILURE]");
    EXPECT_EQ(MachineText(), before);
    const RunResult run = RunTolmare();
    ExpectStatus(run, 0x02310000);
    EXPECT_EQ(MachineText(), before);
}

} // namespace
} // namespace e2e
