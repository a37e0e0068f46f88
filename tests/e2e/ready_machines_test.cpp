// Every ready machine in machines/ against the three programs with their ordinary arguments: the
// full exit status of each, and the firmware keys brenvik changes. Together the machines must
// give every exit status the programs document, except those only a command line can cause.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "simbook/machine.h"
#include "tool_fixture.h"

namespace e2e {
namespace {

const std::vector<std::string> BRENVIK_ARGS = {"/wl:ENABLE", "/ws:ENABLE"};
const std::vector<std::string> SUNDREL_ARGS = {"{c799c725-24b9-464b-b6c7-5e300dce17d6}"};

constexpr int32_t ALL_ON = 0x00310000; // WLAN, switch and its display on, no password

struct ReadyMachine {
    const char* name;
    int32_t brenvik;
    int32_t tolmare;
    int32_t sundrel;
    nlohmann::json changed; // firmware keys brenvik changed, with their new values
};

const ReadyMachine TABLE[] = {
    {"busy-firmware", 0, ALL_ON, 0, nlohmann::json::object()},
    {"device-held-by-other-program", -1, -1, 0, nlohmann::json::object()},
    {"driver-fails-proof", -2, -2, 0, nlohmann::json::object()},
    {"driver-without-sessions", 0, ALL_ON, 0, nlohmann::json::object()},
    {"firmware-refuses-writes", -1, ALL_ON, 0, nlohmann::json::object()},
    {"healthy", 0, ALL_ON, 0, nlohmann::json::object()},
    {"hidden-and-duplicate-networks", 0, ALL_ON, 0, nlohmann::json::object()},
    {"no-driver", -2, -2, 0, nlohmann::json::object()},
    {"no-networks", 0, ALL_ON, 1, nlohmann::json::object()},
    {"no-wifi-service", 0, ALL_ON, -1, nlohmann::json::object()},
    {"no-wifi-ui-library", 0, ALL_ON, -1, nlohmann::json::object()},
    {"old-driver", -1, -1, 0, nlohmann::json::object()},
    {"passwords-set", -4, 0x03310000, 0, nlohmann::json::object()},
    {"scan-fails", 0, ALL_ON, 0, nlohmann::json::object()},
    {"scan-refused", 0, ALL_ON, -1, nlohmann::json::object()},
    {"scan-refused-once", 0, ALL_ON, -1, nlohmann::json::object()},
    {"user-password", -4, 0x02310000, 0, nlohmann::json::object()},
    {"wireless-off", 0, 0, 0, {{"wlan_flags", 1}, {"setting58", 3}}},
    {"wlan-off", 0, 0x00300000, 0, {{"wlan_flags", 1}}},
};

// The firmware section as the machine reader sees the file (every key, defaults filled in).
nlohmann::json FirmwareOf(const std::string& text) {
    std::string error;
    const std::optional<simbook::Machine> machine = simbook::ParseMachine(text, error);
    EXPECT_TRUE(machine.has_value()) << error;
    return machine ? nlohmann::json::parse(simbook::MachineJson(*machine)["firmware"].dump())
                   : nlohmann::json();
}

// Runs `program` against a fresh copy of the ready machine, so that each program meets the
// machine as shipped.
RunResult RunOnCopy(const Scratch& scratch, const std::string& ready, const std::string& program,
                    const std::vector<std::string>& args) {
    const std::string copy = scratch.Path("machine.json");
    WriteFile(copy, ReadFile(ready));
    return Run(scratch, program, args, copy);
}

TEST(ReadyMachines, EachGivesTheStatusesOfItsRow) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(READY_MACHINES_DIR)) {
        if (entry.path().extension() == ".json") {
            files.insert(entry.path().stem().string());
        }
    }
    for (const ReadyMachine& row : TABLE) {
        EXPECT_EQ(files.count(row.name), 1u) << "a row for a machine that is not there";
    }
    for (const std::string& name : files) {
        SCOPED_TRACE(name);
        const auto row = std::find_if(std::begin(TABLE), std::end(TABLE),
                                      [&](const ReadyMachine& r) { return name == r.name; });
        if (row == std::end(TABLE)) {
            ADD_FAILURE() << "no row for this ready machine: add its expected statuses";
            continue;
        }
        const std::string ready = std::string(READY_MACHINES_DIR) + "/" + name + ".json";
        const Scratch scratch;

        const RunResult brenvik = RunOnCopy(scratch, ready, BRENVIK_PATH, BRENVIK_ARGS);
        {
            SCOPED_TRACE("brenvik");
            ExpectStatus(brenvik, row->brenvik);
        }
        const nlohmann::json before = FirmwareOf(ReadFile(ready));
        const nlohmann::json after = FirmwareOf(ReadFile(scratch.Path("machine.json")));
        nlohmann::json changed = nlohmann::json::object();
        for (auto it = after.begin(); it != after.end(); ++it) {
            if (before.value(it.key(), nlohmann::json()) != *it) {
                changed[it.key()] = *it;
            }
        }
        EXPECT_EQ(changed, row->changed) << "firmware keys brenvik changed";
        if (name == "device-held-by-other-program") {
            // The open is refused as a sharing violation, and the driver sees nothing. Under
            // Wine the program is handed a handle before the device server's refusal arrives,
            // so its first I/O control fails there (ERROR_INVALID_HANDLE) with the same status.
            const auto refused = std::find_if(
                brenvik.trace.begin(), brenvik.trace.end(),
                [](const nlohmann::json& l) { return l.value("op", "") == "refused"; });
            EXPECT_TRUE(refused != brenvik.trace.end() && refused->value("last_error", 0) == 32);
            if (!UnderWine()) {
                EXPECT_TRUE(IoControls(brenvik).empty());
            }
        }
        {
            SCOPED_TRACE("tolmare");
            ExpectStatus(RunOnCopy(scratch, ready, TOLMARE_PATH, {}), row->tolmare);
        }
        {
            SCOPED_TRACE("sundrel");
            ExpectStatus(RunOnCopy(scratch, ready, SUNDREL_PATH, SUNDREL_ARGS), row->sundrel);
        }
    }
}

// A scan refused once: sundrel run twice on one copy fails, then lists the network, as a
// procedure's retry sees it.
TEST(ReadyMachines, ScanRefusedOnceSucceedsWhenRunAgain) {
    const Scratch scratch;
    const std::string ready = std::string(READY_MACHINES_DIR) + "/scan-refused-once.json";
    ExpectStatus(RunOnCopy(scratch, ready, SUNDREL_PATH, SUNDREL_ARGS), -1);
    const RunResult again =
        e2e::Run(scratch, SUNDREL_PATH, SUNDREL_ARGS, scratch.Path("machine.json"));
    ExpectStatus(again, 0);
    EXPECT_EQ(again.out, "sundrel[SUCCESS]\r\nHomeNet\r\n");
}

// A program given a ready machine itself never changes it: brenvik fails as for a firmware
// that cannot store the change, says why on standard error, and the file keeps its bytes.
TEST(ReadyMachines, ProgramsRefuseToWriteThem) {
    const Scratch scratch;
    const std::string ready = std::string(READY_MACHINES_DIR) + "/wlan-off.json";
    const std::string text = ReadFile(ready);
    const RunResult run = e2e::Run(scratch, BRENVIK_PATH, BRENVIK_ARGS, ready);
    EXPECT_EQ(run.exitStatus, std::optional<int32_t>(-1));
    EXPECT_NE(run.err.find("firmware change not stored: is a ready machine"), std::string::npos)
        << run.err;
    EXPECT_EQ(ReadFile(ready), text);
}

// The table holds every documented status a machine can cause: brenvik's -3 and sundrel's -2
// come from a rejected command line only. tolmare's bit mask counts as covered when each of its
// five bits is set in some row and one row has every item off.
TEST(ReadyMachines, TogetherGiveEveryDocumentedStatus) {
    std::set<int32_t> brenvik;
    std::set<int32_t> tolmare;
    std::set<int32_t> sundrel;
    int32_t bits = 0;
    for (const ReadyMachine& row : TABLE) {
        brenvik.insert(row.brenvik);
        tolmare.insert(row.tolmare);
        sundrel.insert(row.sundrel);
        bits |= row.tolmare >= 0 ? row.tolmare : 0;
    }
    EXPECT_EQ(brenvik, (std::set<int32_t>{-4, -2, -1, 0}));
    EXPECT_EQ(sundrel, (std::set<int32_t>{-1, 0, 1}));
    EXPECT_EQ(tolmare.count(-1) + tolmare.count(-2), 2u);
    EXPECT_EQ(tolmare.count(0), 1u) << "every item off";
    EXPECT_EQ(bits, 0x00010000 | 0x00100000 | 0x00200000 | 0x01000000 | 0x02000000);
}

// `simbook new --from list`: every ready machine, one a line, its name first and its
// description in one column, as the file states it.
TEST(ReadyMachines, ListShowsEachWithItsDescription) {
    const Scratch scratch;
    const RunResult list = RunLinux(scratch, SIMBOOK_PATH, {"new", "--from", "list"}, "");
    ASSERT_EQ(list.rawExitCode, 0) << list.err;
    std::vector<std::string> lines;
    std::istringstream in(list.out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), std::size(TABLE));
    size_t column = 0;
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        const std::string name = line.substr(0, line.find(' '));
        const nlohmann::json file =
            nlohmann::json::parse(ReadFile(std::string(READY_MACHINES_DIR) + "/" + name + ".json"));
        const std::string description = file.value("description", "");
        ASSERT_FALSE(description.empty()) << "every ready machine says what it is for";
        const size_t at = line.find_first_not_of(' ', name.size());
        ASSERT_GE(at, name.size() + 2) << "two spaces at least between name and description";
        EXPECT_EQ(line.substr(at), description);
        EXPECT_TRUE(column == 0 || at == column) << "descriptions start in one column";
        column = at;
    }
}

} // namespace
} // namespace e2e
