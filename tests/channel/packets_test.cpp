// Firmware request packets: every layout byte for byte (read back from plain capsules in the
// trace) and the decoding of their answers.
#include <functional>

#include "channel_fixture.h"

namespace channel_test {
namespace {

using MiscCommon::CMiscCommon;

class PacketTest : public ChannelTest {
protected:
    void Open(const json& firmware = json::object()) {
        UseMachine(MachineWith({{"sessions", false}}, firmware));
        ASSERT_EQ(channel_.Initialize(), 0) << Narrow(channel_.ErrorText());
    }
    // The packet of the last request and the answer room it offered.
    void ExpectLastRequest(const Bytes& packet, DWORD room) {
        auto capsules = Exchanges(kCapsuleCode);
        ASSERT_FALSE(capsules.empty());
        const Bytes& in = capsules.back().in;
        EXPECT_EQ(ToHex(RequestPacket(in)), ToHex(packet));
        EXPECT_EQ(Le32(CapsulePayload(in), 16), room);
    }
    size_t CapsuleCount() const { return Exchanges(kCapsuleCode).size(); }

    CMiscCommon channel_;
};

TEST_F(PacketTest, ReadIndexedSettingLayoutAndWidths) {
    // The answer's value word is the setting with stray bits above the width.
    struct Case {
        uint32_t value;
        uint32_t stray;
        int width;
        DWORD expected;
    } cases[] = {{3, 0xFFFFFFFC, 2, 3},
                 {0, 0xFFFFFFFF, 0, 0},
                 {0x5EADBEEF, 0x80000000, 31, 0x5EADBEEF},
                 {0xDEADBEEF, 0, 32, 0xDEADBEEF},
                 {0xDEADBEEF, 0, 200, 0xDEADBEEF},
                 {1, 0, 2, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE("width " + std::to_string(c.width));
        Open({{"setting58", c.value},
              {"setting58_stray_bits", c.stray},
              {"setting58_width", c.width}});
        BYTE status = 0xEE;
        DWORD value = 0;
        ASSERT_EQ(channel_.ReadIndexedSetting(&status, 58, &value), 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(value, c.expected);
        ExpectLastRequest({0x0C, 0x01, 32,   0, 32, 0, 0, 0, 0x90, 0, 0, 0, 58, 0, 0, 0,
                           0x90, 0,    0x0C, 1, 0,  0, 0, 0, 0,    0, 0, 0, 0,  0, 0, 0},
                          32);
        channel_.CloseDriver();
    }
    // A nonzero status leaves the value alone.
    Open();
    BYTE status = 0xEE;
    DWORD value = 0x12345678;
    ASSERT_EQ(channel_.ReadIndexedSetting(&status, 57, &value), 0);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(value, 0x12345678u);
}

TEST_F(PacketTest, WriteIndexedSettingAndSetSetupItemLayouts) {
    Open({{"setting58_width", 32}});
    BYTE status = 0xEE;
    const DWORD write[2] = {58, 0x01020304};
    ASSERT_EQ(channel_.WriteIndexedSetting(&status, write), 0);
    EXPECT_EQ(status, 0);
    ExpectLastRequest({0x0D, 0x01, 32,   0, 32, 0, 0, 0, 0x90, 0, 0, 0, 58, 0, 0, 0,
                       0x90, 0,    0x0D, 1, 4,  3, 2, 1, 0,    0, 0, 0, 0,  0, 0, 0},
                      32);

    status = 0xEE;
    ASSERT_EQ(channel_.SetSetupItem(&status, 0x8008, 0, 0x0100), 0);
    EXPECT_EQ(status, 0);
    ExpectLastRequest({0x12, 0x01, 16, 0, 16, 0, 0, 0, 0x08, 0x80, 0, 0, 0, 1, 0, 0}, 16);

    size_t before = CapsuleCount();
    EXPECT_EQ(channel_.WriteIndexedSetting(&status, nullptr), 3);
    EXPECT_EQ(CapsuleCount(), before);
}

TEST_F(PacketTest, GetSetupItemLayoutsAndAnswers) {
    Bytes data(40);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(0xA0 + i);
    }
    Open({{"wlan_flags", 0x1234}, {"wlan_item_data", ToHex(data)}});

    // No data area: the firmware asks for 40 bytes with status 5.
    BYTE status = 0xEE;
    WORD w[4] = {0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
    WORD length = 0;
    ASSERT_EQ(
        channel_.GetSetupItem(&status, 0x8008, 0, &w[0], &w[1], &w[2], &w[3], nullptr, &length), 0);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(length, 40);
    EXPECT_EQ(w[0], 0xEEEE);
    ExpectLastRequest(
        {0x11, 0x01, 22, 0, 22, 0, 0, 0, 0x08, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 22);

    // With room for the data: the words and the data arrive.
    Bytes buffer(40, 0);
    ASSERT_EQ(channel_.GetSetupItem(&status, 0x8008, 0, &w[0], &w[1], &w[2], &w[3], buffer.data(),
                                    &length),
              0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(w[0], 0x1234);
    EXPECT_EQ(w[1], 0);
    EXPECT_EQ(ToHex(buffer), ToHex(data));
    Bytes expected(62, 0);
    expected[0] = 0x11;
    expected[1] = 0x01;
    PutLe16(expected, 2, 22);
    PutLe16(expected, 4, 62);
    PutLe16(expected, 8, 0x8008);
    PutLe16(expected, 20, 40);
    expected.resize(22); // only the 22 header bytes are sent
    ExpectLastRequest(expected, 62);

    // The by-value form does not hand the needed length back.
    ASSERT_EQ(
        channel_.GetSetupItem(&status, 0x8008, 0, &w[0], &w[1], &w[2], &w[3], nullptr, WORD{0}), 0);
    EXPECT_EQ(status, 5);

    size_t before = CapsuleCount();
    length = 4;
    EXPECT_EQ(
        channel_.GetSetupItem(&status, 0x8008, 0, &w[0], &w[1], &w[2], &w[3], nullptr, &length), 3);
    length = 65514; // 22 + n would not fit the 16-bit output length
    EXPECT_EQ(channel_.GetSetupItem(&status, 0x8008, 0, &w[0], &w[1], &w[2], &w[3], buffer.data(),
                                    &length),
              3);
    EXPECT_EQ(CapsuleCount(), before);
}

TEST_F(PacketTest, GetPasswordInfoLayoutAndFlags) {
    struct Case {
        bool supervisor;
        bool user;
        BYTE flag1;
        BYTE flag2;
    } cases[] = {
        {true, false, 1, 1}, {false, false, 0, 0}, {false, true, 0, 1}, {true, true, 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.supervisor) + std::to_string(c.user));
        Open({{"supervisor_password", c.supervisor},
              {"user_password", c.user},
              {"password_data_length", 48}});
        BYTE status = 0xEE, flag1 = 0xEE, flag2 = 0xEE;
        WORD w1 = 0, w2 = 0, w3 = 0xEEEE, length = 0;
        ASSERT_EQ(channel_.GetPasswordInfo(&status, &w1, &w2, &w3, &flag1, &flag2, &length), 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(w1, 1);
        EXPECT_EQ(w2, 2);
        EXPECT_EQ(w3, 0);
        EXPECT_EQ(flag1, c.flag1);
        EXPECT_EQ(flag2, c.flag2);
        EXPECT_EQ(length, 48);
        ExpectLastRequest({0x04, 0x03, 8, 0, 18, 0, 0, 0}, 18);
        channel_.CloseDriver();
    }
}

TEST_F(PacketTest, GetPasswordStateLayoutAndArguments) {
    Open({{"supervisor_password", true}, {"user_password", false}});
    Bytes buffer(32, 0xAA);
    BYTE status = 0xEE;
    ASSERT_EQ(channel_.GetPasswordState(&status, 0x8000, buffer.data(), 32), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ToHex(buffer), std::string(64, '0')); // the data area as answered
    ExpectLastRequest({0x05, 0x03, 10, 0, 42, 0, 0, 0, 0x00, 0x80}, 42);

    buffer.assign(32, 0xAA);
    ASSERT_EQ(channel_.GetPasswordState(&status, 0, buffer.data(), 2), 0);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(ToHex(buffer), std::string(64, 'a')); // untouched unless the status is 0
    ExpectLastRequest({0x05, 0x03, 10, 0, 12, 0, 0, 0, 0, 0}, 12);

    size_t before = CapsuleCount();
    EXPECT_EQ(channel_.GetPasswordState(&status, 0, buffer.data(), 1), 3);
    EXPECT_EQ(channel_.GetPasswordState(&status, 0, nullptr, 32), 3);
    EXPECT_EQ(channel_.GetPasswordState(&status, 0, buffer.data(), 65526), 3);
    EXPECT_EQ(Narrow(channel_.ErrorText()),
              "MiscCommon::CMiscCommon::GetPasswordState: Invalid Argument(s).");
    EXPECT_EQ(CapsuleCount(), before);

    channel_.CloseDriver();
    Open({{"password_state_status", 7}});
    ASSERT_EQ(channel_.GetPasswordState(&status, 0x8000, buffer.data(), 32), 0);
    EXPECT_EQ(status, 7);
}

// Every output of a request is optional: a null pointer is skipped, never written through, and
// the request still goes to the firmware once.
TEST_F(PacketTest, NullOutputPointersAreSkipped) {
    Open({{"wlan_item_data", std::string(16, 'a')}});
    const DWORD write[2] = {58, 1};
    Bytes buffer(32);
    const std::pair<const char*, std::function<int()>> calls[] = {
        {"ReadIndexedSetting", [&] { return channel_.ReadIndexedSetting(nullptr, 58, nullptr); }},
        {"WriteIndexedSetting", [&] { return channel_.WriteIndexedSetting(nullptr, write); }},
        {"SetSetupItem", [&] { return channel_.SetSetupItem(nullptr, 0x8008, 0, 1); }},
        {"GetSetupItem",
         [&] {
             return channel_.GetSetupItem(nullptr, 0x8008, 0, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, WORD{0});
         }},
        {"GetPasswordInfo",
         [&] {
             return channel_.GetPasswordInfo(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                             nullptr);
         }},
        {"GetPasswordState",
         [&] { return channel_.GetPasswordState(nullptr, 0x8000, buffer.data(), 32); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        size_t before = CapsuleCount();
        EXPECT_EQ(call(), 0);
        EXPECT_EQ(CapsuleCount(), before + 1);
    }
}

// A full open, read, close cycle; the sanitizer build and the valgrind run check it for leaks.
TEST_F(PacketTest, FullCycleInSessionMode) {
    UseMachine(MachineWith());
    CMiscCommon channel;
    ASSERT_EQ(channel.Initialize(), 0);
    BYTE status = 0xEE, flag1 = 0, flag2 = 0;
    WORD w1 = 0, w2 = 0, w3 = 0, length = 0;
    ASSERT_EQ(channel.GetPasswordInfo(&status, &w1, &w2, &w3, &flag1, &flag2, &length), 0);
    Bytes buffer(length);
    ASSERT_EQ(channel.GetPasswordState(&status, 0x8000, buffer.data(), length), 0);
    EXPECT_EQ(status, 2);
    WORD flags = 0;
    ASSERT_EQ(channel.GetSetupItem(&status, 0x8008, 0, &flags, &w1, &w2, &w3, nullptr, WORD{0}), 0);
    EXPECT_EQ(flags, 1);
    channel.CloseDriver();
}

} // namespace
} // namespace channel_test
