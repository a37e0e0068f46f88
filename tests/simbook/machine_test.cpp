// Machine files: defaults, every kind of bad key, files that are not machine files, and how a
// problem is reported; the trace file's failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "support/scratch.h"
#include "simbook/json_nesting.h"
#include "simbook/machine.h"
#include "simbook/trace.h"

namespace {

std::string ErrorOf(const std::string& text) {
    std::string error;
    auto m = simbook::ParseMachine(text, error);
    EXPECT_FALSE(m.has_value()) << text;
    return error;
}

} // namespace

TEST(MachineFile, EmptyObjectTakesEveryDefault) {
    std::string error;
    auto m = simbook::ParseMachine("{}", error);
    ASSERT_TRUE(m.has_value()) << error;
    EXPECT_EQ(m->ansiCodePage, 1252u);
    EXPECT_FALSE(m->clock.pinned);
    EXPECT_TRUE(m->driver.present);
    EXPECT_EQ(m->driver.interfaces, 1);
    EXPECT_EQ(m->driver.driverVersion, std::optional<std::string>("1.0.8.0"));
    EXPECT_TRUE(m->driver.sessions);
    EXPECT_EQ(m->driver.authKey[0], 0xf2);
    EXPECT_EQ(m->driver.authKey[15], 0x0e);
    EXPECT_EQ(m->firmware.wlanFlags, 1);
    EXPECT_EQ(m->firmware.setting58Width, 2);
    EXPECT_EQ(m->firmware.passwordDataLength, 32);
    ASSERT_EQ(m->wlan.interfaces.size(), 1u);
    EXPECT_EQ(m->wlan.interfaces[0].guid.data1, 0xc799c725u);
    EXPECT_EQ(m->wlan.interfaces[0].guid.data4[7], 0xd6);
    ASSERT_EQ(m->wlan.interfaces[0].networks.size(), 4u);
    EXPECT_TRUE(m->wlan.interfaces[0].networks[1].empty());
}

TEST(MachineFile, DefaultTextParsesToTheDefaults) {
    std::string error;
    auto m = simbook::ParseMachine(simbook::DefaultMachineText(), error);
    ASSERT_TRUE(m.has_value()) << error;
    EXPECT_EQ(m->wlan.interfaces[0].guidText, "{c799c725-24b9-464b-b6c7-5e300dce17d6}");
    // Every key, not one: the written-out default, an empty file and the member defaults are
    // one machine, so the three can never drift apart.
    auto empty = simbook::ParseMachine("{}", error);
    ASSERT_TRUE(empty.has_value()) << error;
    EXPECT_TRUE(*m == *empty);
    EXPECT_TRUE(*m == simbook::Machine{});
}

TEST(MachineFile, ValuesAreRead) {
    std::string error;
    auto m = simbook::ParseMachine(R"({
      "description": "a machine of every kind of value",
      "ansi_code_page": 65001,
      "clock": {"system_time": [2020, 2, 6, 29, 23, 59, 58, 999]},
      "driver": {"driver_version": null, "interfaces": 3, "busy_replies": 2,
                 "held_by_other_program": true,
                 "faults": {"proof": "wrong_order", "capsule_error": 31}},
      "firmware": {"setting58": 3, "failing_functions": [4, 5], "wlan_item_data": "0aFF"},
      "wlan": {"interfaces": [{"guid": "{00000000-0000-0000-0000-000000000001}",
                               "scan": "silent", "networks": [{"hex": "00ff"}, "x"]}],
               "missing_entries": ["WlanScan"], "wait_limit_ms": 10}
    })",
                                   error);
    ASSERT_TRUE(m.has_value()) << error;
    EXPECT_EQ(m->ansiCodePage, 65001u);
    EXPECT_TRUE(m->clock.pinned);
    EXPECT_EQ(m->clock.systemTime[3], 29);
    EXPECT_EQ(m->clock.performanceCounter, 1234567890); // unpinned field keeps its default
    EXPECT_FALSE(m->driver.driverVersion.has_value());
    EXPECT_TRUE(m->driver.heldByOtherProgram);
    EXPECT_TRUE(simbook::MachineJson(*m)["driver"]["held_by_other_program"].get<bool>());
    EXPECT_EQ(m->driver.faults.proof, simbook::ProofFault::WrongOrder);
    EXPECT_EQ(m->driver.faults.capsuleError, std::optional<simbook::Dword>(31));
    EXPECT_EQ(m->firmware.wlanItemData, (std::vector<uint8_t>{0x0a, 0xff}));
    EXPECT_EQ(m->wlan.interfaces[0].scan, simbook::ScanBehaviour::Silent);
    EXPECT_EQ(m->wlan.interfaces[0].networks[0], (std::vector<uint8_t>{0x00, 0xff}));
    EXPECT_EQ(m->wlan.waitLimitMs, std::optional<simbook::Dword>(10));
}

// A fault list: the value at its step (0 when missing, the last value past the end), written back
// as the list with its step; a single value gets no step. Each limit at its edge, against the
// schema as well, is in schema_check.py.
TEST(MachineFile, FaultListsTakeTheValueAtTheirStep) {
    std::string error;
    const auto machine = simbook::ParseMachine(
        R"({"driver": {"busy_replies": [3, 0, 7], "busy_replies_step": 63},
            "wlan": {"interfaces": [{"guid": "{c799c725-24b9-464b-b6c7-5e300dce17d6}",
                                     "scan": ["refuse", "fail", "complete"]}]}})",
        error);
    ASSERT_TRUE(machine.has_value()) << error;
    EXPECT_EQ(machine->driver.busyReplies, 7);
    EXPECT_EQ(machine->wlan.interfaces[0].scan, simbook::ScanBehaviour::Refuse);
    const nlohmann::ordered_json json = simbook::MachineJson(*machine);
    EXPECT_EQ(json["driver"]["busy_replies"], nlohmann::ordered_json({3, 0, 7}));
    EXPECT_EQ(json["wlan"]["interfaces"][0]["scan_step"], 0);
    EXPECT_EQ(simbook::ParseMachine(json.dump(), error), machine) << error;
    EXPECT_FALSE(simbook::MachineJson(simbook::Machine{})["driver"].contains("busy_replies_step"));
    EXPECT_EQ(ErrorOf(R"({"driver": {"busy_replies": []}})"),
              "driver.busy_replies: a list must hold 1 to 64 values, got 0");
    EXPECT_EQ(ErrorOf(R"({"driver": {"busy_replies": [1, -1]}})"),
              "driver.busy_replies[1]: must be between 0 and 1000000");
}

TEST(MachineFile, Setting58FitsItsWidth) {
    struct Case {
        uint32_t value;
        int width;
        uint32_t stray;
    } const accepted[] = {{0, 0, 0xFFFFFFFF},  {3, 2, 0xFFFFFFFC},   {0x7FFFFFFF, 31, 0},
                          {0xFFFFFFFF, 32, 0}, {0xFFFFFFFF, 255, 0}, {1, 1, 0}};
    for (const Case& c : accepted) {
        const std::string text = nlohmann::json{{"firmware",
                                                 {{"setting58", c.value},
                                                  {"setting58_width", c.width},
                                                  {"setting58_stray_bits", c.stray}}}}
                                     .dump();
        std::string error;
        auto m = simbook::ParseMachine(text, error);
        ASSERT_TRUE(m.has_value()) << text << ": " << error;
        EXPECT_EQ(m->firmware.setting58, c.value);
        EXPECT_EQ(m->firmware.setting58StrayBits, c.stray);
    }
}

TEST(MachineFile, ErrorsNameTheKey) {
    EXPECT_EQ(ErrorOf(R"({"drivr": {}})"), "drivr: unknown key");
    EXPECT_EQ(ErrorOf(R"({"driver": {"faults": {"proff": "good"}}})"),
              "driver.faults.proff: unknown key");
    EXPECT_EQ(ErrorOf(R"({"driver": {"present": 1}})"), "driver.present: must be true or false");
    EXPECT_NE(ErrorOf(R"({"driver": {"auth_key": "f2aee4fc34d1e48c54e00742b7def7"}})")
                  .find("driver.auth_key: must be 16 bytes"),
              std::string::npos);
    EXPECT_EQ(ErrorOf(R"({"driver": {"auth_key": "zzaee4fc34d1e48c54e00742b7def70e"}})"),
              "driver.auth_key: bad hex digit");
    EXPECT_EQ(ErrorOf(R"({"firmware": {"wlan_flags": 65536}})"),
              "firmware.wlan_flags: must be between 0 and 65535");
    EXPECT_EQ(ErrorOf(R"({"firmware": {"setting58": -1}})"),
              "firmware.setting58: must be between 0 and 4294967295");
    EXPECT_EQ(ErrorOf(R"({"ansi_code_page": 437})"), "ansi_code_page: must be 1252 or 65001");
    EXPECT_EQ(ErrorOf(R"({"clock": {"system_time": [1, 2, 3]}})"),
              "clock.system_time: must be an array of 8 integers");
    EXPECT_NE(
        ErrorOf(R"({"wlan": {"interfaces": [{"guid": "c799c725-24b9-464b-b6c7-5e300dce17d6"}]}})")
            .find("wlan.interfaces[0].guid:"),
        std::string::npos);
    EXPECT_NE(
        ErrorOf(R"({"wlan": {"interfaces": [{"guid": "{g799c725-24b9-464b-b6c7-5e300dce17d6}"}]}})")
            .find("wlan.interfaces[0].guid:"),
        std::string::npos);
    EXPECT_EQ(ErrorOf(R"({"wlan": {"interfaces": [{"guid": "{c799c725-24b9-464b-b6c7-5e300dce17d6}",
                                                   "networks": [{"hex": "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20"}]}]}})"),
              "wlan.interfaces[0].networks[0]: an SSID has at most 32 bytes");
    EXPECT_EQ(
        ErrorOf(
            R"({"wlan": {"interfaces": [{"guid": "{c799c725-24b9-464b-b6c7-5e300dce17d6}", "scan": "maybe"}]}})"),
        "wlan.interfaces[0].scan: must be \"complete\", \"fail\", \"refuse\" or \"silent\"");
    EXPECT_EQ(ErrorOf(R"({"driver": {"faults": {"public_value": ""}}})"),
              "driver.faults.public_value: must be 1 to 132 bytes of hex");
    EXPECT_EQ(
        ErrorOf(R"({"driver": {"faults": {"public_value": ")" + std::string(266, '0') + R"("}}})"),
        "driver.faults.public_value: must be 1 to 132 bytes of hex");
    EXPECT_EQ(ErrorOf(R"({"driver": {"faults": {"proof": "Good"}}})"),
              "driver.faults.proof: must be \"good\", \"flip_last_byte\" or \"wrong_order\"");
    EXPECT_EQ(ErrorOf(R"({"driver": {"faults": {"phase3_reply": 1}}})"),
              "driver.faults.phase3_reply: must be a string");
    EXPECT_EQ(ErrorOf(R"({"driver": {"faults": {"phase3_reply": "swapped"}}})"),
              "driver.faults.phase3_reply: must be \"good\" or \"swapped_halves\"");
    EXPECT_EQ(ErrorOf(R"({"firmware": {"setting58": 257, "setting58_width": 2}})"),
              "firmware.setting58: 257 does not fit setting58_width (2 bits): must be between 0 "
              "and 3");
    EXPECT_EQ(ErrorOf(R"({"firmware": {"setting58": 4}})"),
              "firmware.setting58: 4 does not fit setting58_width (2 bits): must be between 0 "
              "and 3");
    EXPECT_EQ(ErrorOf(R"({"firmware": {"setting58": 1, "setting58_width": 0}})"),
              "firmware.setting58: 1 does not fit setting58_width (0 bits): must be between 0 "
              "and 0");
    EXPECT_EQ(ErrorOf(R"({"firmware": {"setting58": 2147483648, "setting58_width": 31}})")
                  .rfind("firmware.setting58: 2147483648 does not fit", 0),
              0u);
    EXPECT_EQ(ErrorOf(R"({"firmware": {"setting58_stray_bits": 2}})"),
              "firmware.setting58_stray_bits: must lie above the 2 bits of setting58_width");
    EXPECT_EQ(ErrorOf(R"({"firmware": {"setting58_stray_bits": 1, "setting58_width": 32}})"),
              "firmware.setting58_stray_bits: must lie above the 32 bits of setting58_width");
    EXPECT_EQ(ErrorOf(R"({"driver": {"held_by_other_program": "yes"}})"),
              "driver.held_by_other_program: must be true or false");
    EXPECT_EQ(ErrorOf(R"({"description": 1})"), "description: must be a string");
    EXPECT_EQ(ErrorOf(R"({"description": ")" + std::string(301, 'd') + R"("})"),
              "description: must be at most 300 bytes, got 301");
    for (const char* line : {R"({"description": "two\nlines"})", R"({"description": "\u001b[2J"})",
                             R"({"description": "\u009b2J"})", R"({"description": "\u007f"})"}) {
        EXPECT_EQ(ErrorOf(line), "description: must be one line without control characters")
            << line;
    }
    std::string error; // 300 bytes, U+00A0 just past the C1 controls
    EXPECT_TRUE(simbook::ParseMachine(
                    R"({"description": "\u00e9\u00a0)" + std::string(296, 'd') + R"("})", error)
                    .has_value())
        << error;
    EXPECT_EQ(ErrorOf("[]"), "(top level): must be an object");
    EXPECT_EQ(ErrorOf("{\"driver\": ").rfind("not valid JSON", 0), 0u);
    // Nesting is refused before anything is built, however deep (a string may hold brackets).
    EXPECT_EQ(ErrorOf(R"({"x": )" + std::string(500000, '[')),
              "(top level): nests deeper than 32 levels");
    EXPECT_TRUE(
        simbook::ParseMachine(R"({"description": ")" + std::string(100, '[') + R"("})", error))
        << error;
}

// The nesting count: exactly the limit passes and one more fails, and brackets inside a string
// do not count, whatever escapes the string holds.
TEST(JsonNesting, LimitAtItsEdgeAndStringsWithEscapes) {
    const auto nested = [](int depth) {
        return std::string(static_cast<size_t>(depth), '[') +
               std::string(static_cast<size_t>(depth), ']');
    };
    EXPECT_TRUE(simbook::NestedWithin(nested(simbook::kMaxJsonNesting), simbook::kMaxJsonNesting));
    EXPECT_FALSE(
        simbook::NestedWithin(nested(simbook::kMaxJsonNesting + 1), simbook::kMaxJsonNesting));
    EXPECT_TRUE(simbook::NestedWithin("[1, 2], [3], {}", 1)); // closing brackets count down
    EXPECT_TRUE(simbook::NestedWithin(R"(["\"[[[{{"])", 1));  // an escaped quote stays inside
    EXPECT_FALSE(simbook::NestedWithin(R"(["\\"[[]])", 1));   // an escaped backslash ends it
    EXPECT_TRUE(simbook::NestedWithin(R"(["\u005b\"", "[[[["])", 1));
    EXPECT_TRUE(simbook::NestedWithin("\"[\\", 0)); // ends inside a string, on an escape
}

TEST(MachineFile, BadFileIsReportedOnceOnStderrAndNothingOnStdout) {
    const nwt::test::ScratchDir scratch("simbook-machine");
    const std::string path = scratch.Path("bad.json");
    nwt::test::WriteFile(path, R"({"driver": {"auth_key": "00"}})");
    setenv("SIMBOOK", path.c_str(), 1);
    simbook::ReloadMachineForTests();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(simbook::CurrentMachine(), nullptr);
    EXPECT_EQ(simbook::CurrentMachine(), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(err, "simbook: " + path +
                       ": driver.auth_key: must be 16 bytes (32 hex digits), got 1 bytes\n");
    unsetenv("SIMBOOK");
    simbook::ReloadMachineForTests();
}

TEST(MachineFile, DefaultStateFileIsCreatedOnFirstUse) {
    const nwt::test::ScratchDir scratch("simbook-machine");
    const std::string dir = scratch.Dir().string();
    unsetenv("SIMBOOK");
    setenv("XDG_STATE_HOME", dir.c_str(), 1);
    simbook::ReloadMachineForTests();
    const simbook::Machine* m = simbook::CurrentMachine();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->path, dir + "/simbook/machine.json");
    EXPECT_EQ(nwt::test::ReadFile(m->path), simbook::DefaultMachineText());
    struct stat st {};
    ASSERT_EQ(lstat(m->path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    // The file is written aside and linked into place: nothing else is left in its folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir + "/simbook"),
                            std::filesystem::directory_iterator()),
              1);
    unsetenv("XDG_STATE_HOME");
    simbook::ReloadMachineForTests();
}

namespace {

// What loading the machine file at `path` writes on standard error (the machine is refused).
std::string LoadProblem(const std::string& path) {
    setenv("SIMBOOK", path.c_str(), 1);
    simbook::ReloadMachineForTests();
    testing::internal::CaptureStderr();
    EXPECT_EQ(simbook::CurrentMachine(), nullptr) << path;
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("SIMBOOK");
    simbook::ReloadMachineForTests();
    return err;
}

} // namespace

// Whatever the name leads to, the answer comes at once and is one line saying what is wrong,
// the name's unprintable characters escaped.
TEST(MachineFile, OnlyRegularFilesUpToTheLimitAreRead) {
    const nwt::test::ScratchDir scratch("simbook-machine");
    const std::string fifo = scratch.Path("fifo.json");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::string large = scratch.Path("large.json");
    nwt::test::WriteFile(large, "{}" + std::string(simbook::kMaxMachineFileSize - 1, ' '));
    const std::string dir = scratch.Dir().string();
    const std::string odd = scratch.Path("a\nb\x1b[31m\x7f.json");
    const std::string oddShown = dir + "/a\\nb\\x1b[31m\\x7f.json";
    EXPECT_EQ(LoadProblem(dir), "simbook: " + dir + ": is a directory, not a machine file\n");
    EXPECT_EQ(LoadProblem(fifo), "simbook: " + fifo + ": is a FIFO, not a regular file\n");
    EXPECT_EQ(LoadProblem("/dev/zero"), "simbook: /dev/zero: is a device, not a regular file\n");
    EXPECT_EQ(LoadProblem(large), "simbook: " + large +
                                      ": is larger than 1048576 bytes, the most a machine file "
                                      "may have\n");
    EXPECT_EQ(LoadProblem(odd),
              "simbook: " + oddShown + ": cannot be read: No such file or directory\n");
    // Exactly at the limit is still a machine file.
    nwt::test::WriteFile(large, "{}" + std::string(simbook::kMaxMachineFileSize - 2, ' '));
    setenv("SIMBOOK", large.c_str(), 1);
    simbook::ReloadMachineForTests();
    EXPECT_NE(simbook::CurrentMachine(), nullptr);
    unsetenv("SIMBOOK");
    simbook::ReloadMachineForTests();
}

TEST(Reporting, UnprintableCharactersAreEscaped) {
    EXPECT_EQ(simbook::EscapedForLine("plain /x y.json"), "plain /x y.json");
    EXPECT_EQ(simbook::EscapedForLine(std::string("a\n\r\t\0\x1b\x7f", 7)),
              "a\\n\\r\\t\\x00\\x1b\\x7f");
    // UTF-8 text passes; C1 controls, broken sequences and overlong forms do not.
    EXPECT_EQ(simbook::EscapedForLine("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(simbook::EscapedForLine("\xc2\x9b\xc3 \xc0\xaf\xed\xa0\x80"),
              "\\xc2\\x9b\\xc3 \\xc0\\xaf\\xed\\xa0\\x80");
}

namespace {

// The trace of this process goes to `path` until the object goes.
class TraceTo {
public:
    explicit TraceTo(const std::string& path) {
        setenv("SIMBOOK_TRACE", path.c_str(), 1);
        simbook::ReopenTraceForTests();
    }
    ~TraceTo() {
        unsetenv("SIMBOOK_TRACE");
        simbook::ReopenTraceForTests();
    }
    TraceTo(const TraceTo&) = delete;
    TraceTo& operator=(const TraceTo&) = delete;
};

// A trace line of about 300 bytes: longer than the report of a failed write, which the size
// limit below must let through to standard error's capture file.
nlohmann::ordered_json Line(const std::string& op) {
    return {{"op", op}, {"pad", std::string(300, 'x')}};
}

} // namespace

TEST(TraceFile, FifoWithoutReaderIsRefusedAtOnce) {
    const nwt::test::ScratchDir scratch("simbook-trace");
    const std::string fifo = scratch.Path("trace.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    TraceTo trace(fifo);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(simbook::TraceEnabled());
    simbook::TraceLine(Line("a"));
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "simbook: " + fifo +
            ": trace off: is a FIFO that nobody reads; it cannot be opened without waiting\n");
}

// A file that takes only part of a line keeps whole lines only, and says once that the trace is
// incomplete; a file that takes nothing says so too.
TEST(TraceFile, ShortWritesLeaveWholeLinesAndOneReport) {
    const nwt::test::ScratchDir scratch("simbook-trace");
    const std::string path = scratch.Path("trace.jsonl");
    const std::string first = Line("a").dump() + "\n";
    {
        TraceTo trace(path);
        // A file size limit just past the first line cuts the second one short.
        struct rlimit saved {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        struct rlimit small = saved;
        small.rlim_cur = first.size() + 10;
        void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        simbook::TraceLine(Line("a"));
        testing::internal::CaptureStderr();
        simbook::TraceLine(Line("b"));
        simbook::TraceLine(Line("c"));
        std::string err = testing::internal::GetCapturedStderr();
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(err, "simbook: " + path + ": trace incomplete: only 10 of " +
                           std::to_string(first.size()) +
                           " bytes of a line written; no further lines written\n");
        EXPECT_EQ(nwt::test::ReadFile(path), first);
    }
    TraceTo full("/dev/full");
    testing::internal::CaptureStderr();
    simbook::TraceLine(Line("a"));
    simbook::TraceLine(Line("b"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "simbook: /dev/full: trace incomplete: No space left on device; no further lines "
              "written\n");
}

// A part of a line left by an earlier run is ended before the first line of this one.
TEST(TraceFile, FirstLineStartsOnALineOfItsOwn) {
    const nwt::test::ScratchDir scratch("simbook-trace");
    const std::string path = scratch.Path("trace.jsonl");
    nwt::test::WriteFile(path, "{\"op\":\"a\"}\n{\"op\":\"to");
    TraceTo trace(path);
    simbook::TraceLine({{"op", "b"}});
    simbook::TraceLine({{"op", "c"}});
    EXPECT_EQ(nwt::test::ReadFile(path),
              "{\"op\":\"a\"}\n{\"op\":\"to\n{\"op\":\"b\"}\n{\"op\":\"c\"}\n");
}
