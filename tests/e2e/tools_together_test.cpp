// The two setting tools on one machine: what brenvik changes, the next tolmare reads.
#include <gtest/gtest.h>

#include <cstdlib>

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

// Under Wine: a change the Windows brenvik made is what the Windows tolmare and the Linux
// tolmare (NWT_E2E_LINUX_BIN, the default build's programs) both read from the same file.
TEST_F(SettingTools, WindowsChangeIsReadByBothBuilds) {
    if (!UnderWine()) {
        GTEST_SKIP() << "runs with the Windows programs only";
    }
    const char* linuxBin = std::getenv("NWT_E2E_LINUX_BIN");
    ASSERT_NE(linuxBin, nullptr) << "NWT_E2E_LINUX_BIN names the Linux build's programs";
    UseMachine({{"firmware", {{"wlan_flags", 1}, {"setting58", 1}}}});
    ASSERT_EQ(RunBrenvik({"/wl:DISABLE", "/ws:DISABLE"}).out, "brenvik[SUCCESS]");
    EXPECT_EQ(Firmware("wlan_flags", -1), 0);
    ExpectStatus(RunTolmare(), 0x00200000);
    const RunResult linuxRun =
        RunLinux(_scratch, std::string(linuxBin) + "/tolmare", {}, MachinePath());
    EXPECT_EQ(linuxRun.out, "tolmare[SUCCESS]\r\nWLAN[DISABLE]\r\nWirelessSwitch[DISABLE]\r\n"
                            "WirelessSwitchDisplay[ENABLE]\r\nSupervisorPassword[DISABLE]\r\n"
                            "UserPassword[DISABLE]\r\n");
    ExpectStatus(linuxRun, 0x00200000);
}

} // namespace
} // namespace e2e
