// End-to-end runs of the built sundrel against machine files: exact standard output bytes, the
// full exit status from the trace's exit line, and, from the trace, that every run that opened
// a client unregistered and closed it before it ended and that no notification reached it after.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/tool_runner.h"

namespace {

using nlohmann::json;

const char kGuid[] = "{c799c725-24b9-464b-b6c7-5e300dce17d6}";
const char kOtherGuid[] = "{c799c725-24b9-464b-b6c7-5e300dce17d7}";
const std::string kSuccess = "sundrel[SUCCESS]\r\n";
const std::string kFailure = "sundrel[FAILURE]\r\n";

class SundrelRun : public ::testing::Test {
protected:
    // A machine with one interface (kGuid) whose scan behaves as `scan` and offers `networks`,
    // merged with `overrides`.
    void UseMachine(const std::string& scan, const json& networks,
                    const json& overrides = json::object()) {
        json machine = e2e::Machine(
            {{"wlan",
              {{"notify_delay_ms", 10},
               {"interfaces", {{{"guid", kGuid}, {"scan", scan}, {"networks", networks}}}}}}});
        machine.merge_patch(overrides);
        e2e::WriteFile(_scratch.Path("machine.json"), machine.dump(2) + "\n");
    }

    e2e::RunResult Run(const std::vector<std::string>& args) {
        return e2e::Run(_scratch, SUNDREL_PATH, args, _scratch.Path("machine.json"));
    }
    e2e::RunResult Scan() { return Run({kGuid}); }

    e2e::Scratch _scratch;
};

std::vector<std::string> Ops(const e2e::RunResult& run) {
    std::vector<std::string> ops;
    for (const json& line : run.trace) {
        ops.push_back(line.value("op", ""));
    }
    return ops;
}

size_t Count(const e2e::RunResult& run, const std::string& op) {
    size_t n = 0;
    for (const json& line : run.trace) {
        n += line.value("op", "") == op ? 1 : 0;
    }
    return n;
}

// The full status from the trace, the low byte the parent saw, and nothing on standard error.
void ExpectStatus(const e2e::RunResult& run, int32_t status) {
    ASSERT_TRUE(run.exitStatus.has_value()) << "no exit line in the trace";
    EXPECT_EQ(*run.exitStatus, status);
    EXPECT_EQ(run.rawExitCode, static_cast<int>(static_cast<uint32_t>(status) & 0xFF));
    EXPECT_EQ(run.err, "");
}

// A run that opened a client: it registered, unregistered after, closed its handle after that,
// freed both libraries and received no notification once unregistered.
void ExpectClientReleased(const e2e::RunResult& run) {
    long registered = -1, unregistered = -1, closed = -1, lastNotify = -1, lastFree = -1;
    for (size_t i = 0; i < run.trace.size(); ++i) {
        const json& line = run.trace[i];
        const std::string op = line.value("op", "");
        const long at = static_cast<long>(i);
        if (op == "WlanRegisterNotification" && line["result"] == 0) {
            (line["source"] == 0 ? unregistered : registered) = at;
        } else if (op == "WlanCloseHandle" && line["result"] == 0) {
            closed = at;
        } else if (op == "notify") {
            lastNotify = at;
        } else if (op == "FreeLibrary") {
            lastFree = at;
        }
    }
    ASSERT_EQ(Count(run, "WlanOpenHandle"), 1u);
    ASSERT_GE(registered, 0) << "never registered";
    EXPECT_GT(unregistered, registered) << "never unregistered";
    EXPECT_GT(closed, unregistered) << "handle not closed after unregistering";
    EXPECT_LT(lastNotify, unregistered) << "a notification came after unregistering";
    EXPECT_GT(lastFree, closed);
    EXPECT_EQ(Count(run, "FreeLibrary"), 2u);
    EXPECT_EQ(Ops(run).back(), "exit");
}

TEST_F(SundrelRun, BadCommandLinesPrintNothing) {
    UseMachine("complete", {"HomeNet"});
    const std::vector<std::vector<std::string>> commandLines = {
        {},
        {kGuid, kGuid},
        {""},
        {"abc"},
        {"{00000000-0000-0000-0000-000000000000}"},
        {"c799c725-24b9-464b-b6c7-5e300dce17d6"},
        {"{c799c725-24b9-464b-b6c7-5e300dce17d6"},
        {"{c799c725-zzzz-464b-b6c7-5e300dce17d6}"},
        {"{c799c725-24b9-464b-b6c7-5e300dce17d6}x"},
        // Every field parsed, the machine's own interface, but the closing brace is wrong.
        {"{c799c725-24b9-464b-b6c7-5e300dce17d6)"}};
    for (const auto& args : commandLines) {
        SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
        const e2e::RunResult run = Run(args);
        EXPECT_EQ(run.out, "");
        ExpectStatus(run, -2);
        EXPECT_EQ(Ops(run), (std::vector<std::string>{"start", "exit"}))
            << "the service was reached";
    }
}

TEST_F(SundrelRun, ListsNamesInOrderSkippingHiddenAndKeepingDuplicates) {
    UseMachine("complete", {"HomeNet", "", "Cafe", "Cafe", {{"hex", ""}}, "Office 5G"});
    const e2e::RunResult run = Scan();
    EXPECT_EQ(run.out, kSuccess + "HomeNet\r\nCafe\r\nCafe\r\nOffice 5G\r\n");
    ExpectStatus(run, 0);
    ExpectClientReleased(run);
    EXPECT_EQ(Count(run, "WlanFreeMemory"), 1u);
}

TEST_F(SundrelRun, NoNetworkToListIsSuccessWithExitOne) {
    UseMachine("complete", json::array());
    e2e::RunResult run = Scan();
    EXPECT_EQ(run.out, kSuccess);
    ExpectStatus(run, 1);
    ExpectClientReleased(run);

    // Only hidden networks: nothing to print either.
    UseMachine("complete", {"", {{"hex", "00"}}});
    run = Scan();
    EXPECT_EQ(run.out, kSuccess);
    ExpectStatus(run, 1);
}

TEST_F(SundrelRun, ScanFailNotificationStillReadsTheList) {
    UseMachine("fail", {"HomeNet"});
    const e2e::RunResult run = Scan();
    EXPECT_EQ(run.out, kSuccess + "HomeNet\r\n");
    ExpectStatus(run, 0);
    ExpectClientReleased(run);
}

TEST_F(SundrelRun, InterfaceTheServiceDoesNotKnowIsRefused) {
    UseMachine("complete", {"HomeNet"});
    const e2e::RunResult run = Run({kOtherGuid});
    EXPECT_EQ(run.out, kFailure);
    ExpectStatus(run, -1);
    ExpectClientReleased(run);
    EXPECT_EQ(Count(run, "WlanGetAvailableNetworkList"), 0u);
}

TEST_F(SundrelRun, RefusedScanFails) {
    UseMachine("refuse", {"HomeNet"});
    const e2e::RunResult run = Scan();
    EXPECT_EQ(run.out, kFailure);
    ExpectStatus(run, -1);
    ExpectClientReleased(run);
}

TEST_F(SundrelRun, SilentServiceEndsInTheBoundedFailure) {
    UseMachine("silent", {"HomeNet"}, {{"wlan", {{"wait_limit_ms", 200}}}});
    const e2e::RunResult run = Scan();
    EXPECT_EQ(run.out, kFailure);
    ExpectStatus(run, -1);
    ExpectClientReleased(run);
    EXPECT_EQ(Count(run, "WlanGetAvailableNetworkList"), 0u);
    if (!e2e::UnderWine()) {
        // The program's own bound is 15 s; the machine only shortened the wait.
        const auto wait = std::find_if(run.trace.begin(), run.trace.end(), [](const auto& line) {
            return line["op"] == "WaitForSingleObject";
        });
        ASSERT_NE(wait, run.trace.end());
        EXPECT_EQ((*wait)["ms"], 15000);
        EXPECT_EQ((*wait)["capped_ms"], 200);
        EXPECT_EQ((*wait)["result"], 258); // WAIT_TIMEOUT
    }
}

TEST_F(SundrelRun, NotificationDueAfterTheWaitNeverReachesTheReleasedClient) {
    E2E_LINUX_ONLY("the wait bound (wlan.wait_limit_ms) is a knob of the Linux stand-in's "
                   "WaitForSingleObject; Windows waits the full 15 s");
    // The scan reports only after the bounded wait has given up and the client is gone.
    UseMachine("complete", {"HomeNet"},
               {{"wlan", {{"notify_delay_ms", 400}, {"wait_limit_ms", 100}}}});
    const e2e::RunResult run = Scan();
    EXPECT_EQ(run.out, kFailure);
    ExpectStatus(run, -1);
    ExpectClientReleased(run);
    EXPECT_EQ(Count(run, "notify"), 0u);
}

TEST_F(SundrelRun, MissingLibraryOrEntryPointFailsBeforeOpening) {
    const std::vector<json> faults = {{{"library", false}},
                                      {{"ui_library", false}},
                                      {{"missing_entries", {"WlanHostedNetworkQueryStatus"}}},
                                      {{"missing_entries", {"WlanUIEditProfile"}}},
                                      {{"missing_entries", {"WlanSaveTemporaryProfile"}}}};
    for (const json& fault : faults) {
        if (e2e::UnderWine() && fault.contains("missing_entries")) {
            continue; // a DLL's exports cannot be hidden per machine file
        }
        SCOPED_TRACE(fault.dump());
        UseMachine("complete", {"HomeNet"}, {{"wlan", fault}});
        const e2e::RunResult run = Scan();
        EXPECT_EQ(run.out, kFailure);
        ExpectStatus(run, -1);
        EXPECT_EQ(Count(run, "WlanOpenHandle"), 0u);
        // Whatever was loaded is freed again.
        size_t loaded = 0;
        for (const json& line : run.trace) {
            loaded += line.value("op", "") == "LoadLibraryW" && line["result"] == true ? 1 : 0;
        }
        // Under Wine the system loader refuses a hidden library before any code of ours runs,
        // so only the loads that went through are traced there.
        EXPECT_EQ(Count(run, "LoadLibraryW"), e2e::UnderWine() ? loaded : 2u);
        EXPECT_EQ(Count(run, "FreeLibrary"), loaded);
    }
}

TEST_F(SundrelRun, NamesReachTheOutputAsUtf8) {
    // Windows-1252: each byte is one character.
    UseMachine("complete", {{{"hex", "436166e9"}}, {{"hex", "80"}}, {{"hex", "41004243"}}});
    e2e::RunResult run = Scan();
    EXPECT_EQ(run.out, kSuccess + "Caf\xC3\xA9\r\n\xE2\x82\xAC\r\nA\r\n");
    ExpectStatus(run, 0);
    ExpectClientReleased(run);
}

TEST_F(SundrelRun, NamesReachTheOutputAsUtf8WithAUtf8AnsiCodePage) {
    E2E_LINUX_ONLY("the ANSI code page is Windows' own, not the machine file's");
    // UTF-8 as the ANSI code page: the bytes are read as UTF-8.
    e2e::RunResult run;
    UseMachine("complete", {"Caf\u00e9", {{"hex", "e298a5"}}}, {{"ansi_code_page", 65001}});
    run = Scan();
    EXPECT_EQ(run.out, kSuccess + "Caf\xC3\xA9\r\n\xE2\x98\xA5\r\n");
    ExpectStatus(run, 0);
}

TEST_F(SundrelRun, FormatCharactersInANameArePrintedAsThemselves) {
    UseMachine("complete", {"100%s %n free", {{"hex", "2525"}}});
    const e2e::RunResult run = Scan();
    EXPECT_EQ(run.out, kSuccess + "100%s %n free\r\n%%\r\n");
    ExpectStatus(run, 0);
}

} // namespace
