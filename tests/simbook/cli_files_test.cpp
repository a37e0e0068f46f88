// In-process tests of the simbook command: files. The atomic writer, which machines count as
// ready and how a machine is named, and what set and new write.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "../support/scratch.h"
#include "simbook/cli/commands.h"
#include "simbook/file_write.h"
#include "simbook/machine.h"

namespace {

namespace fs = std::filesystem;
using nwt::test::ReadFile;
using nwt::test::ScratchDir;
using nwt::test::WriteFile;
using simbook::cli::Args;

std::set<std::string> Names(const ScratchDir& scratch) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(scratch.Dir())) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

// Runs a subcommand in-process; its standard error goes to `err`.
int Command(int (*command)(const Args&), const Args& args, std::string* err = nullptr) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = command(args);
    testing::internal::GetCapturedStdout();
    const std::string errors = testing::internal::GetCapturedStderr();
    if (err != nullptr) {
        *err = errors;
    }
    return status;
}

// The umask for the length of a test.
class Umask {
public:
    explicit Umask(mode_t mask) : old_(umask(mask)) {}
    ~Umask() { umask(old_); }

private:
    mode_t old_;
};

// ---- The atomic writer ----------------------------------------------------------------------

TEST(FileWrite, ModeIsGivenOrKeptOrTheDefaultLessTheUmask) {
    const ScratchDir scratch("simbook-cli-files");
    const Umask mask(027);
    const std::string fresh = scratch.Path("fresh");
    std::string problem;
    ASSERT_TRUE(simbook::WriteFileAtomically(fresh, "one", problem)) << problem;
    EXPECT_EQ(Stat(fresh).st_mode & 07777, 0640u);
    ASSERT_EQ(chmod(fresh.c_str(), 0604), 0);
    ASSERT_TRUE(simbook::WriteFileAtomically(fresh, "two", problem)) << problem;
    EXPECT_EQ(Stat(fresh).st_mode & 07777, 0604u); // the replaced file's, not the umask's
    ASSERT_TRUE(simbook::WriteFileAtomically(fresh, "three", problem, 0600)) << problem;
    EXPECT_EQ(Stat(fresh).st_mode & 07777, 0600u);
    EXPECT_EQ(ReadFile(fresh), "three");
    EXPECT_EQ(Names(scratch), std::set<std::string>{"fresh"});
}

TEST(FileWrite, LinkIsFollowedAndFailuresLeaveNothing) {
    const ScratchDir scratch("simbook-cli-files");
    const std::string target = scratch.Path("target");
    const std::string link = scratch.Path("link");
    WriteFile(target, "old");
    ASSERT_EQ(symlink("target", link.c_str()), 0);
    std::string problem;
    ASSERT_TRUE(simbook::WriteFileAtomically(link, "new", problem)) << problem;
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(target), "new");

    ASSERT_TRUE(fs::create_directory(scratch.Path("folder")));
    EXPECT_FALSE(simbook::WriteFileAtomically(scratch.Path("folder"), "x", problem));
    EXPECT_EQ(problem, "is a directory");
    EXPECT_FALSE(simbook::WriteFileAtomically(scratch.Path("none/file"), "x", problem));
    EXPECT_EQ(problem.rfind("cannot create a temporary file beside it", 0), 0u) << problem;
    EXPECT_EQ(Names(scratch), (std::set<std::string>{"folder", "link", "target"}));
}

TEST(FileWrite, CreateNeverReplaces) {
    const ScratchDir scratch("simbook-cli-files");
    const std::string path = scratch.Path("made");
    std::string problem;
    bool existed = true;
    ASSERT_TRUE(simbook::CreateFileAtomically(path, "first", problem, existed)) << problem;
    EXPECT_FALSE(existed);
    EXPECT_FALSE(simbook::CreateFileAtomically(path, "second", problem, existed));
    EXPECT_TRUE(existed);
    EXPECT_EQ(ReadFile(path), "first");
    EXPECT_EQ(Names(scratch), std::set<std::string>{"made"});
}

TEST(FileWrite, SameFileFollowsLinksAndNamesOfOneFile) {
    const ScratchDir scratch("simbook-cli-files");
    const std::string a = scratch.Path("a");
    WriteFile(a, "x");
    WriteFile(scratch.Path("b"), "x");
    ASSERT_EQ(symlink("a", scratch.Path("soft").c_str()), 0);
    ASSERT_EQ(link(a.c_str(), scratch.Path("hard").c_str()), 0);
    EXPECT_TRUE(simbook::SameFile(a, scratch.Path("soft")));
    EXPECT_TRUE(simbook::SameFile(a, scratch.Path("hard")));
    EXPECT_TRUE(
        simbook::SameFile(a, scratch.Path("../") + scratch.Dir().filename().string() + "/a"));
    EXPECT_FALSE(simbook::SameFile(a, scratch.Path("b"))); // same bytes, another file
    EXPECT_FALSE(simbook::SameFile(scratch.Path("none"), scratch.Path("none")));
}

// ---- Ready machines and how a machine is named -----------------------------------------------

TEST(ReadyMachineList, OnlyMachineFilesCountAndSortByTheirBytes) {
    const ScratchDir scratch("simbook-cli-files");
    for (const char* name : {"b.json", "a.json", "B.json", ".hidden.json", "notes.txt",
                             "x.json.json", "a,b.json", "json"}) {
        WriteFile(scratch.Path(name), "{}");
    }
    ASSERT_TRUE(fs::create_directory(scratch.Path("folder.json")));
    ASSERT_EQ(symlink("a.json", scratch.Path("linked.json").c_str()), 0);
    ASSERT_EQ(symlink("none.json", scratch.Path("dangling.json").c_str()), 0);
    EXPECT_EQ(simbook::cli::ReadyMachines(scratch.Dir().string()),
              (std::vector<std::string>{"B", "a", "b", "linked"}));
    EXPECT_EQ(simbook::cli::ReadyMachineNames(scratch.Dir().string()), "B, a, b, linked");
}

TEST(ReadyMachineList, OneRuleNamesAFileOrAReadyMachine) {
    std::string problem;
    const auto local = simbook::cli::ResolveMachine("mine.json", problem);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->path, "mine.json");
    EXPECT_EQ(local->name, "mine");
    EXPECT_FALSE(local->ready);
    const auto path = simbook::cli::ResolveMachine("dir/healthy", problem);
    ASSERT_TRUE(path);
    EXPECT_EQ(path->path, "dir/healthy");
    EXPECT_FALSE(path->ready);
    const auto ready = simbook::cli::ResolveMachine("healthy", problem);
    ASSERT_TRUE(ready);
    EXPECT_TRUE(ready->ready);
    EXPECT_EQ(ready->path, simbook::cli::MachinesDir() + "/healthy.json");
    EXPECT_FALSE(simbook::cli::ResolveMachine("no-such-machine", problem));
    EXPECT_NE(problem.find("'no-such-machine' (ready machines: busy-firmware, "), std::string::npos)
        << problem;
}

// `new --from x.json` reads x.json of the current folder, as `run --machine x.json` does.
TEST(NewCommand, FromAFileEndingInJsonReadsTheCurrentFolder) {
    const ScratchDir scratch("simbook-cli-files");
    const fs::path before = fs::current_path();
    fs::current_path(scratch.Dir());
    WriteFile(scratch.Path("healthy.json"), R"({"firmware": {"wlan_flags": 0}})");
    std::string err;
    const int status = Command(simbook::cli::New, {"--from", "healthy.json", "copy.json"}, &err);
    fs::current_path(before);
    EXPECT_EQ(status, simbook::cli::kDone) << err;
    EXPECT_EQ(ReadFile(scratch.Path("copy.json")), ReadFile(scratch.Path("healthy.json")));
}

TEST(NewCommand, RefusesToWriteOverTheMachineItStartsFrom) {
    const ScratchDir scratch("simbook-cli-files");
    const std::string mine = nwt::test::WriteMachine(scratch, R"({"firmware": {}})");
    ASSERT_EQ(symlink("machine.json", scratch.Path("link.json").c_str()), 0);
    const ino_t inode = Stat(mine).st_ino;
    for (const std::string& target :
         {scratch.Path("link.json"), scratch.Path(".") + "/machine.json", mine}) {
        std::string err;
        EXPECT_EQ(Command(simbook::cli::New, {"--force", "--from", mine, target}, &err),
                  simbook::cli::kFailed)
            << target;
        EXPECT_NE(err.find("is the machine it would start from"), std::string::npos) << err;
    }
    EXPECT_EQ(Stat(mine).st_ino, inode);
    EXPECT_EQ(ReadFile(mine), R"({"firmware": {}})");
}

// ---- What set writes ------------------------------------------------------------------------

TEST(SetCommand, IndexOnePastTheEndAppendsAndFurtherIsRefused) {
    const ScratchDir scratch("simbook-cli-files");
    const std::string path = nwt::test::WriteMachine(scratch, R"({"firmware": {}})");
    auto functions = [&] {
        return nlohmann::json::parse(ReadFile(path))["firmware"]["failing_functions"];
    };
    auto set = [&](const std::string& assignment) {
        return Command(simbook::cli::Set, {"--file", path, assignment});
    };
    // The key is missing: the default's empty list is taken, and [0] appends to it.
    EXPECT_EQ(set("firmware.failing_functions[0]=5"), simbook::cli::kDone);
    EXPECT_EQ(functions(), nlohmann::json({5}));
    EXPECT_EQ(set("firmware.failing_functions[2]=7"), simbook::cli::kFailed);
    EXPECT_EQ(functions(), nlohmann::json({5}));
    EXPECT_EQ(set("firmware.failing_functions[1]=7"), simbook::cli::kDone);
    EXPECT_EQ(set("firmware.failing_functions[0]=6"), simbook::cli::kDone);
    EXPECT_EQ(functions(), nlohmann::json({6, 7}));
}

TEST(SetCommand, ReplacedFileKeepsItsMode) {
    const ScratchDir scratch("simbook-cli-files");
    const std::string path = nwt::test::WriteMachine(scratch, "{}");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(Command(simbook::cli::Set, {"--file", path, "firmware.setting58=0"}),
              simbook::cli::kDone);
    EXPECT_EQ(Stat(path).st_mode & 07777, 0640u);
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    ASSERT_EQ(Command(simbook::cli::New, {"--force", path}), simbook::cli::kDone);
    EXPECT_EQ(Stat(path).st_mode & 07777, 0604u);
    EXPECT_EQ(ReadFile(path), simbook::DefaultMachineText());
    EXPECT_EQ(Names(scratch), std::set<std::string>{"machine.json"});
}

// A key the reader does not know is refused by reset as by set, in the same words, and nothing is
// written; a known key the file does not hold is only noted.
TEST(ResetCommand, RefusesAnUnknownKeyAsSetDoes) {
    const ScratchDir scratch("simbook-cli-files");
    const std::string text = R"({"firmware": {"wlan_flags": 0}})";
    const std::string path = nwt::test::WriteMachine(scratch, text);
    for (const std::string key : {"firmware.wlan_flag", "wlan.interfaces[0].scann", "firmwar"}) {
        std::string setErr;
        std::string resetErr;
        const int set = Command(simbook::cli::Set, {"--file", path, key + "=1"}, &setErr);
        EXPECT_EQ(Command(simbook::cli::Reset, {"--file", path, key}, &resetErr), set) << key;
        EXPECT_EQ(set, simbook::cli::kFailed);
        EXPECT_EQ(resetErr.substr(resetErr.find(':')), setErr.substr(setErr.find(':')));
        EXPECT_NE(resetErr.find(": unknown key; nothing changed"), std::string::npos) << resetErr;
        EXPECT_EQ(ReadFile(path), text);
    }
    std::string err;
    EXPECT_EQ(Command(simbook::cli::Reset, {"--file", path, "firmware.setting58"}, &err),
              simbook::cli::kDone);
    EXPECT_NE(err.find("(already the default)"), std::string::npos) << err;
}

} // namespace
