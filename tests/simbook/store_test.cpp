// The machine file as a store: exclusive locks across handles and a safe, atomic write-back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "support/scratch.h"
#include "simbook/driver/store.h"

namespace {

using nwt::test::ReadFile;

// The names in the scratch folder.
std::set<std::string> Names(const nwt::test::ScratchDir& scratch) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.Dir())) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

const std::string kReady = "is a ready machine, which programs never change; give the program a "
                           "copy (simbook new --from NAME FILE)";

ino_t Inode(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_ino;
}

} // namespace

TEST(MachineStore, ExclusiveLockRefusesOthersAndIsReleased) {
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string path = nwt::test::WriteMachine(scratch, "{}");
    simbook::Dword error = 0;
    {
        simbook::MachineLock first;
        ASSERT_TRUE(first.Acquire(path, true, error));
        simbook::MachineLock second;
        EXPECT_FALSE(second.Acquire(path, true, error));
        EXPECT_EQ(error, static_cast<simbook::Dword>(simbook::win32::kSharingViolation));
        EXPECT_FALSE(second.Acquire(path, false, error));
    }
    simbook::MachineLock again;
    EXPECT_TRUE(again.Acquire(path, true, error));
    simbook::MachineLock missing;
    EXPECT_FALSE(missing.Acquire(path + ".none", true, error));
    EXPECT_EQ(error, static_cast<simbook::Dword>(simbook::win32::kFileNotFound));
}

TEST(MachineStore, WriteBackKeepsOtherKeysAndStaysLocked) {
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string path = nwt::test::WriteMachine(
        scratch,
        R"({"driver": {"busy_replies": 1}, "firmware": {"user_password": true, "setting58": 1}})");
    simbook::Dword error = 0;
    simbook::MachineLock lock;
    ASSERT_TRUE(lock.Acquire(path, true, error));
    simbook::Machine::Firmware fw;
    fw.wlanFlags = 0;
    fw.setting58 = 3;
    ASSERT_TRUE(lock.WriteBack(fw));
    std::string error2;
    auto m = simbook::ParseMachine(ReadFile(path), error2);
    ASSERT_TRUE(m.has_value()) << error2;
    EXPECT_EQ(m->firmware.wlanFlags, 0);
    EXPECT_EQ(m->firmware.setting58, 3u);
    EXPECT_TRUE(m->firmware.userPassword);
    EXPECT_EQ(m->driver.busyReplies, 1);
    EXPECT_LT(ReadFile(path).find("\"driver\""), ReadFile(path).find("\"firmware\"")); // order kept
    // The renamed-in file is locked too: a newcomer opening the new file is refused.
    simbook::MachineLock other;
    EXPECT_FALSE(other.Acquire(path, true, error));
    EXPECT_EQ(error, static_cast<simbook::Dword>(simbook::win32::kSharingViolation));
}

// Whatever stops a write-back, the file keeps its bytes and its inode, one line on standard
// error names the file and the problem, and no temporary file stays behind.
TEST(MachineStore, FailedWriteBackLeavesTheFileAsItWas) {
    const std::string original = R"({"firmware": {"wlan_flags": 1}})";
    struct Case {
        const char* what;
        std::string text;                               // what another writer left in the file
        std::function<void(const std::string&)> change; // or what else happened to it
        const char* problem;
    };
    const Case cases[] = {
        {"number out of range", R"({"firmware": {"wlan_flags": 1}, "driver": {"interfaces": 99}})",
         nullptr, "driver.interfaces: must be between 0 and 16"},
        {"number too large for any type", R"({"firmware": {"wlan_flags": 1e999}})", nullptr,
         "not valid JSON"},
        {"not JSON", R"({"firmware": )", nullptr, "not valid JSON"},
        {"not an object", "[1]", nullptr, "must be an object"},
        {"firmware not an object", R"({"firmware": 3})", nullptr, "firmware: must be an object"},
        {"too large", original + std::string(simbook::kMaxMachineFileSize, ' '), nullptr,
         "is larger than 1048576 bytes"},
        {"read-only", original, [](const std::string& p) { chmod(p.c_str(), 0444); },
         "is read-only"},
        {"hard link", original,
         [](const std::string& p) { ASSERT_EQ(link(p.c_str(), (p + ".2").c_str()), 0); },
         "has 2 hard links"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const nwt::test::ScratchDir scratch("simbook-store");
        const std::string path = nwt::test::WriteMachine(scratch, original);
        simbook::Dword error = 0;
        simbook::MachineLock lock;
        ASSERT_TRUE(lock.Acquire(path, true, error));
        nwt::test::WriteFile(path, c.text); // in place: the locked file itself changes
        if (c.change) {
            c.change(path);
        }
        const ino_t before = Inode(path);
        simbook::Machine::Firmware fw;
        fw.wlanFlags = 0;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(lock.WriteBack(fw));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("simbook: " + path + ": firmware change not stored: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.problem), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(ReadFile(path), c.text);
        EXPECT_EQ(Inode(path), before);
        EXPECT_EQ(Names(scratch).size(), c.change && std::string(c.what) == "hard link" ? 2u : 1u);
    }
}

// Names planted where a temporary file might go are neither followed nor reused: the write-back
// goes through and what they point to is untouched.
TEST(MachineStore, PlantedTemporaryNamesAreNotFollowed) {
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string path = nwt::test::WriteMachine(scratch, R"({"firmware": {"setting58": 1}})");
    const std::string victim = scratch.Path("victim");
    nwt::test::WriteFile(victim, "keep");
    ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
    ASSERT_EQ(mkdir((path + ".new").c_str(), 0755), 0);
    simbook::Dword error = 0;
    simbook::MachineLock lock;
    ASSERT_TRUE(lock.Acquire(path, true, error));
    simbook::Machine::Firmware fw;
    fw.setting58 = 2;
    ASSERT_TRUE(lock.WriteBack(fw));
    EXPECT_EQ(ReadFile(victim), "keep");
    EXPECT_NE(ReadFile(path).find("\"setting58\": 2"), std::string::npos);
    EXPECT_EQ(Names(scratch), (std::set<std::string>{"machine.json", "machine.json.tmp",
                                                     "machine.json.new", "victim"}));
}

// A machine file reached through a symbolic link: the change reaches the file the link leads
// to, the link stays a link, and both names share one lock.
TEST(MachineStore, SymbolicLinkLeadsToTheOneFileAndLock) {
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string real = nwt::test::WriteMachine(scratch, R"({"firmware": {"setting58": 1}})");
    ASSERT_EQ(mkdir(scratch.Path("links").c_str(), 0755), 0);
    const std::string name = scratch.Path("links/m.json");
    ASSERT_EQ(symlink("../machine.json", name.c_str()), 0);
    simbook::Dword error = 0;
    simbook::MachineLock lock;
    ASSERT_TRUE(lock.Acquire(name, true, error));
    simbook::Machine::Firmware fw;
    fw.setting58 = 3;
    ASSERT_TRUE(lock.WriteBack(fw));
    struct stat st {};
    ASSERT_EQ(lstat(name.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(ReadFile(real).find("\"setting58\": 3"), std::string::npos);
    for (const std::string& other : {real, name}) {
        simbook::MachineLock second;
        EXPECT_FALSE(second.Acquire(other, false, error)) << other;
        EXPECT_EQ(error, static_cast<simbook::Dword>(simbook::win32::kSharingViolation));
    }
}

TEST(MachineStore, ReplaceRefusesTextThatIsNoMachine) {
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string path = nwt::test::WriteMachine(scratch, "{}");
    simbook::Dword error = 0;
    simbook::MachineLock lock;
    ASSERT_TRUE(lock.Acquire(path, true, error));
    std::string problem;
    EXPECT_FALSE(lock.Replace(R"({"driver": {"interfaces": 99}})", problem));
    EXPECT_NE(problem.find("driver.interfaces: must be between"), std::string::npos) << problem;
    EXPECT_EQ(problem.find('\n'), std::string::npos);
    EXPECT_EQ(ReadFile(path), "{}");
    ASSERT_TRUE(lock.Replace("{\"ansi_code_page\": 65001}\n", problem)) << problem;
    EXPECT_EQ(ReadFile(path), "{\"ansi_code_page\": 65001}\n");
}

TEST(MachineStore, SharedHolderMayNotWriteBack) {
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string path = nwt::test::WriteMachine(scratch, "{}");
    simbook::Dword error = 0;
    simbook::MachineLock lock;
    ASSERT_TRUE(lock.Acquire(path, false, error));
    EXPECT_FALSE(lock.WriteBack(simbook::Machine::Firmware{}));
    EXPECT_EQ(ReadFile(path), "{}");
}

// A write that fails after the temporary file was made (here: the file-size limit, as a full
// disk would) leaves neither the temporary file nor a changed machine file behind.
TEST(MachineStore, WriteFailingAfterTheTemporaryFileIsMadeLeavesNoTemporaryFile) {
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string path = nwt::test::WriteMachine(scratch, "{}");
    simbook::Dword error = 0;
    simbook::MachineLock lock;
    ASSERT_TRUE(lock.Acquire(path, true, error));
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 8;
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string problem;
    const bool replaced = lock.Replace("{\"ansi_code_page\": 65001}\n", problem);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(replaced);
    EXPECT_NE(problem.find("cannot write the temporary file"), std::string::npos) << problem;
    EXPECT_EQ(ReadFile(path), "{}");
    EXPECT_EQ(Names(scratch).size(), 1u);
}

// A program started with standard input and output closed: the store's lock, the write-back's
// new file and the machine file read for parsing must never take descriptors 0 and 1, or the
// program's console output would land in the machine file.
TEST(MachineStore, NeverTakesTheStandardDescriptors) {
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string path = nwt::test::WriteMachine(scratch, R"({"firmware":{"setting58":2}})");
    const int savedIn = dup(STDIN_FILENO);
    const int savedOut = dup(STDOUT_FILENO);
    ASSERT_GE(savedIn, 0);
    ASSERT_GE(savedOut, 0);
    std::fflush(stdout);
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    bool closedThroughout = true;
    auto stillClosed = [&] {
        closedThroughout = closedThroughout && fcntl(STDIN_FILENO, F_GETFD) < 0 &&
                           fcntl(STDOUT_FILENO, F_GETFD) < 0;
    };
    bool wrote = false;
    {
        simbook::MachineLock lock;
        simbook::Dword error = 0;
        const bool locked = lock.Acquire(path, true, error);
        stillClosed();
        simbook::Machine::Firmware firmware;
        const bool read = simbook::ReadFirmware(path, firmware);
        stillClosed();
        firmware.setting58 = 3;
        wrote = locked && read && lock.WriteBack(firmware);
        stillClosed();
    }
    dup2(savedIn, STDIN_FILENO);
    dup2(savedOut, STDOUT_FILENO);
    close(savedIn);
    close(savedOut);
    EXPECT_TRUE(wrote);
    EXPECT_TRUE(closedThroughout);
    EXPECT_EQ(nlohmann::json::parse(ReadFile(path))["firmware"]["setting58"], 3);
}

// A fault list's step, one per holder of the lock as one per program run: each takes the index
// stored (0 in a file without one) and stores the next; the last repeats and is never rewritten.
// A shared holder may not store a step.
TEST(MachineStore, EachRunTakesTheNextStepAndTheLastRepeats) {
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string path =
        nwt::test::WriteMachine(scratch, R"({"driver": {"busy_replies": [2, 1, 0]}})");
    std::vector<std::optional<size_t>> taken;
    ino_t atTheEnd = 0;
    for (const bool exclusive : {true, true, true, true, false}) {
        atTheEnd = Inode(path);
        simbook::MachineLock lock;
        simbook::Dword error = 0;
        ASSERT_TRUE(lock.Acquire(path, exclusive, error));
        testing::internal::CaptureStderr();
        taken.push_back(lock.TakeStep("/driver", "busy_replies"));
        EXPECT_EQ(testing::internal::GetCapturedStderr().empty(), exclusive);
    }
    EXPECT_EQ(taken, (std::vector<std::optional<size_t>>{0, 1, 2, 2, std::nullopt}));
    EXPECT_EQ(Inode(path), atTheEnd);
}

// Programs at the same time never lose a step: each waits its turn for the lock and takes an
// index of its own.
TEST(MachineStore, RunsAtTheSameTimeTakeAStepEach) {
    constexpr int kRuns = 6;
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string path = nwt::test::WriteMachine(
        scratch,
        nlohmann::json{{"driver", {{"busy_replies", std::vector<int>(kRuns + 1, 0)}}}}.dump());
    int gate[2]; // they all start when its writing end closes
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kRuns; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char byte = 0;
            (void)!read(gate[0], &byte, 1);
            const auto step =
                simbook::TakeStepWaiting(path, "/driver", "busy_replies", std::chrono::seconds(20));
            _exit(step ? static_cast<int>(*step) : 99);
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    std::set<int> taken;
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        taken.insert(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    EXPECT_EQ(taken, (std::set<int>{0, 1, 2, 3, 4, 5}));
}

// A ready machine, reached here through a link, is never written by a program: neither a
// firmware change nor a step; it keeps its bytes.
TEST(MachineStore, ReadyMachinesAreNeverWritten) {
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string ready = std::string(MACHINES_DIR) + "/scan-refused-once.json";
    const std::string link = scratch.Path("link.json");
    ASSERT_EQ(symlink(ready.c_str(), link.c_str()), 0);
    const std::string text = ReadFile(ready);
    simbook::MachineLock lock;
    simbook::Dword error = 0;
    ASSERT_TRUE(lock.Acquire(link, true, error));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(lock.WriteBack(simbook::Machine::Firmware{}));
    EXPECT_FALSE(lock.TakeStep("/wlan/interfaces/0", "scan"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "simbook: " + ready + ": firmware change not stored: " + kReady + "\nsimbook: " +
                  ready + ": wlan.interfaces[0].scan step not stored: " + kReady + "\n");
    EXPECT_EQ(ReadFile(ready), text);
    EXPECT_EQ(Names(scratch), (std::set<std::string>{"link.json"}));
}
