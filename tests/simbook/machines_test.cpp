// The ready machine files: each parses and shows the situation it is named for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "simbook/machine.h"

namespace {

simbook::Machine Load(const std::string& name) {
    std::ifstream in(std::string(MACHINES_DIR) + "/" + name);
    EXPECT_TRUE(in.good()) << name;
    std::stringstream ss;
    ss << in.rdbuf();
    std::string error;
    auto m = simbook::ParseMachine(ss.str(), error);
    EXPECT_TRUE(m.has_value()) << name << ": " << error;
    return m ? *m : simbook::Machine{};
}

} // namespace

TEST(ReadyMachines, EachShowsItsSituation) {
    auto healthy = Load("healthy.json");
    EXPECT_TRUE(healthy.driver.present && healthy.driver.sessions && healthy.clock.pinned);
    EXPECT_FALSE(healthy.firmware.supervisorPassword || healthy.firmware.userPassword);
    EXPECT_FALSE(Load("no-driver.json").driver.present);
    EXPECT_EQ(Load("old-driver.json").driver.driverVersion, std::optional<std::string>("1.0.7.0"));
    EXPECT_FALSE(Load("driver-without-sessions.json").driver.sessions);
    auto passwords = Load("passwords-set.json");
    EXPECT_TRUE(passwords.firmware.supervisorPassword && passwords.firmware.userPassword);
    EXPECT_EQ(Load("busy-firmware.json").driver.busyReplies, 1);
    auto noWifi = Load("no-wifi-service.json");
    EXPECT_FALSE(noWifi.wlan.library || noWifi.wlan.uiLibrary);
    auto networks = Load("hidden-and-duplicate-networks.json").wlan.interfaces.at(0).networks;
    ASSERT_EQ(networks.size(), 6u);
    EXPECT_TRUE(networks[1].empty());
    EXPECT_EQ(networks[2], networks[3]);
}

// What every ready machine shares: a pinned clock (reproducible runs), a one-line description,
// and a situation the Windows build under Wine shows too, so no Linux-only knob.
TEST(ReadyMachines, EachIsPinnedDescribedAndBehavesAlikeUnderWine) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(MACHINES_DIR)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        ++count;
        const simbook::Machine m = Load(name);
        EXPECT_TRUE(m.clock.pinned);
        EXPECT_TRUE(m.wlan.missingEntries.empty());
        EXPECT_EQ(m.ansiCodePage, 1252u);
        EXPECT_FALSE(m.wlan.waitLimitMs.has_value());
        for (const simbook::WlanInterface& wi : m.wlan.interfaces) {
            EXPECT_NE(wi.scan, simbook::ScanBehaviour::Silent) << "waits 15 s under Wine";
        }
        std::ifstream in(entry.path());
        const nlohmann::json file = nlohmann::json::parse(in);
        EXPECT_FALSE(file.value("description", "").empty());
    }
    EXPECT_GE(count, 18u);
}
