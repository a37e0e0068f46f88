// The device through CreateFileW/DeviceIoControl: exclusivity (also across processes),
// firmware write-back through the handle, and the trace lines.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/bytes.h"
#include "support/driver_client.h"
#include "support/protocol.h"
#include "platform/win32.h"
#include "support/scratch.h"
#include "support/stand_in.h"

using testclient::Bytes;

namespace {

constexpr DWORD kHandshake = nwt::test::protocol::kIoctlHandshake;

const wchar_t* kPath = L"\\\\?\\ROOT#SYSTEM#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}";

HANDLE Open(DWORD share = 0) {
    return CreateFileW(kPath, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

testclient::Transport Over(HANDLE h) {
    return [h](DWORD code, const Bytes& in, Bytes& out, DWORD outSize) {
        Bytes buffer(outSize);
        DWORD returned = 0xDEAD;
        BOOL ok = DeviceIoControl(h, code, in.empty() ? nullptr : const_cast<uint8_t*>(in.data()),
                                  static_cast<DWORD>(in.size()), outSize ? buffer.data() : nullptr,
                                  outSize, &returned, nullptr);
        out.assign(buffer.begin(), buffer.begin() + returned);
        return simbook::IoResult{ok != FALSE, ok ? 0u : GetLastError(), returned};
    };
}

Bytes SetWlan(uint16_t value) {
    Bytes p(16, 0);
    p[0] = 0x12;
    p[1] = 0x01;
    p[2] = 16;
    p[4] = 16;
    p[8] = 0x08;
    p[9] = 0x80;
    p[12] = static_cast<uint8_t>(value);
    return p;
}

ino_t Inode(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_ino;
}

} // namespace

TEST(Device, ShareModeZeroIsExclusiveInProcessAndAcrossProcesses) {
    nwt::test::StandInMachine machine("{}");
    HANDLE first = Open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Open(0x3), INVALID_HANDLE_VALUE);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE h = Open();
        _exit(h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process got the device";

    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = Open();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    EXPECT_EQ(CreateFileW(L"\\\\?\\ROOT#SYSTEM#0001#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}",
                          GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE); // only one interface published
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Device, BadArgumentsAndHandles) {
    nwt::test::StandInMachine machine("{}");
    DWORD returned = 5;
    EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x4444), kHandshake, nullptr, 0, nullptr,
                                 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(returned, 0u);
    // No path, or an empty one, names no directory.
    for (const wchar_t* path : {static_cast<const wchar_t*>(nullptr), L""}) {
        EXPECT_EQ(CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    }
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeviceIoControl(h, kHandshake, nullptr, 4, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(DeviceIoControl(h, kHandshake, nullptr, 0, nullptr, 0, &returned, nullptr));
    CloseHandle(h);
}

TEST(Device, FirmwareChangesAreWrittenBackOnlyWhenTheyChangeSomething) {
    nwt::test::StandInMachine machine(R"({"firmware": {"wlan_flags": 1}})");
    std::string path = machine.MachinePath();
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    testclient::Client client(Over(h));
    ASSERT_EQ(client.Handshake(), 0);
    ino_t before = Inode(path);
    Bytes answer;
    ASSERT_TRUE(client.Call(SetWlan(1), 16, answer).ok); // same value: nothing to store
    EXPECT_EQ(answer[0], 0);
    EXPECT_EQ(Inode(path), before);
    ASSERT_TRUE(client.Call(SetWlan(0), 16, answer).ok);
    EXPECT_NE(Inode(path), before);
    std::string error;
    auto m = simbook::ParseMachine(nwt::test::ReadFile(path), error);
    ASSERT_TRUE(m.has_value()) << error;
    EXPECT_EQ(m->firmware.wlanFlags, 0);
    CloseHandle(h);
    // The next open (a later run) sees the stored value, and nobody else holds the lock.
    HANDLE h2 = Open();
    ASSERT_NE(h2, INVALID_HANDLE_VALUE);
    testclient::Client next(Over(h2));
    ASSERT_EQ(next.Handshake(), 0);
    Bytes get(22, 0);
    get[0] = 0x11, get[1] = 1, get[2] = 22, get[4] = 22, get[8] = 0x08, get[9] = 0x80;
    ASSERT_TRUE(next.Call(get, 22, answer).ok);
    EXPECT_EQ(answer[12], 0);
    CloseHandle(h2);
}

TEST(Device, FailedWriteBackFailsTheCallAndKeepsTheFile) {
    nwt::test::StandInMachine machine(R"({"firmware": {"wlan_flags": 1}})");
    std::string path = machine.MachinePath();
    std::string original = nwt::test::ReadFile(path);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0); // read-only: honoured even for the superuser
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    testclient::Client client(Over(h));
    ASSERT_EQ(client.Handshake(), 0);
    Bytes answer;
    testing::internal::CaptureStderr();
    auto r = client.Call(SetWlan(0), 16, answer);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(nwt::test::ReadFile(path), original);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    // The refused capsule was not answered, so the next one carries the same sequence number.
    client.sequence = 0;
    ASSERT_TRUE(client.Call(SetWlan(0), 16, answer).ok);
    EXPECT_NE(nwt::test::ReadFile(path), original);
    CloseHandle(h);
}

TEST(Trace, LinesFollowTheFormat) {
    nwt::test::StandInMachine machine("{}", nwt::test::StandInMachine::Trace::On);
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    DeviceIoControl(h, kHandshake, nullptr, 0, nullptr, 0, &returned, nullptr);
    uint8_t bad[4] = {0xAB, 0xCD, 0x01, 0x02};
    uint8_t out[8];
    DeviceIoControl(h, kHandshake, bad, 4, out, 8, &returned, nullptr);
    CloseHandle(h);

    const std::vector<nlohmann::json> lines = machine.TraceLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0]["op"], "open");
    EXPECT_EQ(lines[0]["path"], "\\\\?\\ROOT#SYSTEM#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}");
    EXPECT_EQ(lines[1]["op"], "refused");
    EXPECT_EQ(lines[1]["last_error"], ERROR_SHARING_VIOLATION);
    EXPECT_EQ(lines[2],
              nlohmann::json::parse(R"({"op":"DeviceIoControl","code":2236416,"in":"",
                                              "out":"","result":true,"last_error":
                                              )" +
                                    std::to_string(lines[2]["last_error"].get<int>()) + "}"));
    EXPECT_EQ(lines[3]["in"], "abcd0102");
    EXPECT_EQ(lines[3]["out"], "");
    EXPECT_EQ(lines[3]["result"], false);
    EXPECT_EQ(lines[3]["last_error"], ERROR_INVALID_PARAMETER);
    EXPECT_EQ(lines[4]["op"], "close");
}
