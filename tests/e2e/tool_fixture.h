// Common ground of the end-to-end tests of the two setting tools: one scratch folder and one
// machine file per test, and runs of the built programs against it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/tool_runner.h"

namespace e2e {

class ToolTest : public ::testing::Test {
protected:
    // Writes the test machine: the pinned default with `overrides` merged in.
    void UseMachine(const nlohmann::json& overrides = nlohmann::json::object()) {
        WriteFile(MachinePath(), Machine(overrides).dump(2) + "\n");
    }
    std::string MachinePath() const { return _scratch.Path("machine.json"); }
    std::string MachineText() const { return ReadFile(MachinePath()); }
    nlohmann::json MachineAfter() const { return nlohmann::json::parse(MachineText()); }
    // A firmware value from the machine file, or the built-in default when the file has none.
    int64_t Firmware(const std::string& key, int64_t fallback) const {
        const nlohmann::json machine = MachineAfter();
        if (!machine.contains("firmware") || !machine["firmware"].contains(key)) {
            return fallback;
        }
        return machine["firmware"][key].get<int64_t>();
    }

    RunResult RunBrenvik(const std::vector<std::string>& args) {
        return e2e::Run(_scratch, BRENVIK_PATH, args, MachinePath());
    }
    RunResult RunTolmare(const std::vector<std::string>& args = {}) {
        return e2e::Run(_scratch, TOLMARE_PATH, args, MachinePath());
    }

    Scratch _scratch;
};

// The full 32-bit status from the trace, the low byte the parent saw, and a quiet stderr.
inline void ExpectStatus(const RunResult& run, int32_t status) {
    ASSERT_TRUE(run.exitStatus.has_value()) << "no exit line in the trace";
    EXPECT_EQ(*run.exitStatus, status);
    EXPECT_EQ(run.rawExitCode, static_cast<int>(static_cast<uint32_t>(status) & 0xFF));
    EXPECT_EQ(run.err, "");
}

} // namespace e2e
