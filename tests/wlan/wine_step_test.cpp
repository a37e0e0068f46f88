// The device server's answer to a program's step request under Wine (run_step.h), in-process:
// a record that is malformed or names no fault list a program steps is refused and leaves the
// machine file alone; a good one takes the run's step as the Linux store does.
#include <gtest/gtest.h>

#include <string>

#include "relay/relay_protocol.h"
#include "server/run_step.h"
#include "support/scratch.h"
#include "support/stand_in.h"

namespace {

std::optional<uint32_t> Step(const std::string& record) {
    return simbook_wine::TakeRunStep(reinterpret_cast<const uint8_t*>(record.data()),
                                     record.size());
}

const std::string kScan = std::string("/wlan/interfaces/0\0scan\0", 24);

TEST(WineStep, RefusesRecordsThatNameNoFaultListAndTakesTheRunsStep) {
    nwt::test::StandInMachine machine(
        R"({"driver": {"busy_replies": [1, 0]},
            "wlan": {"interfaces": [{"guid": "{c799c725-24b9-464b-b6c7-5e300dce17d6}",
                                     "scan": ["refuse", "complete"]}]}})");
    const std::string text = nwt::test::ReadFile(machine.MachinePath());
    const std::string refused[] = {
        "",
        "/wlan/interfaces/0",                                    // no null byte
        std::string("/wlan/interfaces/0\0scan", 23),             // the key's null byte missing
        std::string("/wlan/interfaces/0\0", 19),                 // no key
        std::string("/wlan/interfaces/0\0scan\0x\0", 26),        // a third text
        std::string("/wlan/interfaces/0\0sca\0", 23),            // unknown key
        std::string("/driver\0busy_replies\0", 21),              // the server's own list
        std::string("/wlan/interfaces/1\0scan\0", 24),           // no such interface
        std::string("/wlan/interfaces/00\0scan\0", 25),          // not as the library writes it
        std::string("/wlan/interfaces/+0\0scan\0", 25),          //
        std::string("/wlan/interfaces/\0scan\0", 23),            //
        std::string("/wlan/interfaces/99999999999\0scan\0", 34), // too long a number
        kScan + std::string(RELAY_STEP_ROOM, '\0'),              // larger than the room
    };
    for (const std::string& record : refused) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Step(record), std::nullopt) << testing::PrintToString(record);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("step request refused"),
                  std::string::npos);
    }
    EXPECT_EQ(nwt::test::ReadFile(machine.MachinePath()), text);
    EXPECT_EQ(Step(kScan), 0u);
    EXPECT_EQ(Step(kScan), 1u);
    EXPECT_EQ(Step(kScan), 1u);
    EXPECT_NE(nwt::test::ReadFile(machine.MachinePath()).find("\"scan_step\": 1"),
              std::string::npos);
}

} // namespace
