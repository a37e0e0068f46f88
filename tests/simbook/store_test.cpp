// The machine file as a store: exclusive locks across handles and atomic write-back.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "support/scratch.h"
#include "simbook/driver/store.h"

namespace {

using nwt::test::ReadFile;

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

TEST(MachineStore, FailedWriteBackLeavesTheFileAsItWas) {
    std::string original = R"({"firmware": {"wlan_flags": 1}})";
    const nwt::test::ScratchDir scratch("simbook-store");
    const std::string path = nwt::test::WriteMachine(scratch, original);
    ino_t before = Inode(path);
    ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0755), 0); // in the way of the temporary file
    simbook::Dword error = 0;
    simbook::MachineLock lock;
    ASSERT_TRUE(lock.Acquire(path, true, error));
    simbook::Machine::Firmware fw;
    fw.wlanFlags = 0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(lock.WriteBack(fw));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(path), std::string::npos);
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_EQ(Inode(path), before);
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
