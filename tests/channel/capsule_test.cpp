// Capsules, the encapsulated exchange and the firmware-call retry loop.
#include "channel_fixture.h"

namespace channel_test {
namespace {

using MiscCommon::CMiscCommon;
using MiscCommon::CMiscCommonTestAccess;

constexpr const char* kEncapsulated = "MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: ";
constexpr const char* kCall = "MiscCommon::CMiscCommon::CallMiscFunction: ";

// The password-information request: 8 bytes sent, 18 answered.
Bytes InfoPacket() {
    return {0x04, 0x03, 0x08, 0x00, 0x12, 0x00, 0x00, 0x00};
}

Bytes SessionKey() {
    HandshakeRandom r = ReferenceHandshakeRandom(kPinnedCounter, kPinnedTime);
    Bytes key(16);
    for (int i = 0; i < 4; ++i) {
        PutLe32(key, 4 * i, r.sk[i]);
    }
    return key;
}

class CapsuleTest : public ChannelTest {
protected:
    // Opens `channel` on a machine with the given driver section; asserts success.
    void Open(CMiscCommon& channel, const json& driver = json::object()) {
        UseMachine(MachineWith(driver));
        ASSERT_EQ(channel.Initialize(), 0) << Narrow(channel.ErrorText());
    }
};

TEST_F(CapsuleTest, CapsuleSizeFollowsThePayload) {
    CMiscCommon channel;
    const uint8_t source[56] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const DWORD cases[][2] = {{0, 16}, {1, 24}, {8, 24}, {9, 32}, {56, 72}};
    for (const auto& c : cases) {
        BYTE* capsule = CMiscCommonTestAccess::InitializeMessageCapsule(channel, source, c[0]);
        ASSERT_NE(capsule, nullptr);
        Bytes bytes(capsule, capsule + c[1]);
        EXPECT_EQ(Le32(bytes, 0), c[0]);
        EXPECT_EQ(Le32(bytes, 4), c[1]);
        EXPECT_EQ(ToHex(bytes.data() + 12, c[0]), ToHex(source, c[0]));
        EXPECT_EQ(ToHex(bytes.data() + 12 + c[0], c[1] - 12 - c[0]),
                  std::string(2 * (c[1] - 12 - c[0]), '0'));
        HeapFree(GetProcessHeap(), 0, capsule);
    }
}

TEST_F(CapsuleTest, CipherNeedsACapsuleAndAContext) {
    CMiscCommon channel;
    EXPECT_EQ(CMiscCommonTestAccess::Encrypt(channel, nullptr), 3);
    EXPECT_EQ(Narrow(channel.ErrorText()), "MiscCommon::CMiscCommon::_Encrypt: capsule is NULL");
    EXPECT_EQ(CMiscCommonTestAccess::Decrypt(channel, nullptr), 3);
    EXPECT_EQ(Narrow(channel.ErrorText()), "MiscCommon::CMiscCommon::_Decrypt: capsule is NULL");
    BYTE capsule[24] = {8, 0, 0, 0, 24};
    EXPECT_EQ(CMiscCommonTestAccess::Encrypt(channel, capsule), 8);
    EXPECT_EQ(Narrow(channel.ErrorText()),
              "MiscCommon::CMiscCommon::_Encrypt: BlowFish Context is not initialized.");
    EXPECT_EQ(CMiscCommonTestAccess::Decrypt(channel, capsule), 8);
    EXPECT_EQ(Narrow(channel.ErrorText()),
              "MiscCommon::CMiscCommon::_Decrypt: BlowFish Context is not initialized.");
}

TEST_F(CapsuleTest, SessionCapsuleOfA32BytePacketHasSevenEncipheredBlocks) {
    CMiscCommon channel;
    Open(channel);
    BYTE status = 0xEE;
    DWORD value = 0;
    ASSERT_EQ(channel.ReadIndexedSetting(&status, 58, &value), 0);
    auto capsules = Exchanges(kCapsuleCode);
    ASSERT_EQ(capsules.size(), 1u);
    const Bytes& in = capsules[0].in;
    ASSERT_EQ(in.size(), 72u);
    EXPECT_EQ(Le32(in, 0), 56u);
    EXPECT_EQ(Le32(in, 4), 72u);
    EXPECT_EQ(Le32(in, 8), channel.SessionId());
    EXPECT_EQ(Le32(in, 68), 0u); // the trailer word is never enciphered

    Bytes key = SessionKey();
    Bytes request = CapsulePayload(in, key.data());
    ASSERT_EQ(request.size(), 56u);
    Bytes expected = {0, 0, 0, 0, 56, 0, 0, 0, 0x44, 0x29, 0x22, 0, 32, 0, 0, 0, 32, 0, 0, 0};
    Bytes packet = {0x0C, 1, 32,   0, 32, 0, 0, 0, 0x90, 0, 0, 0, 58, 0, 0, 0,
                    0x90, 0, 0x0C, 1, 0,  0, 0, 0, 0,    0, 0, 0, 0,  0, 0, 0};
    expected.insert(expected.end(), packet.begin(), packet.end());
    expected.resize(56, 0);
    EXPECT_EQ(ToHex(request), ToHex(expected));
    EXPECT_NE(ToHex(in.data() + 12, 56), ToHex(request)); // it travelled enciphered

    Bytes answer = CapsulePayload(capsules[0].out, key.data());
    ASSERT_EQ(answer.size(), 32u);
    EXPECT_EQ(answer[0], 0);
    EXPECT_EQ(answer[12], 2); // the default width
}

TEST_F(CapsuleTest, ShortOrMalformedResponsesAreInvalidStructures) {
    struct Case {
        json faults;
        std::string size;
        bool plain = false;
    } cases[] = {
        {{{"capsule_reply_length", 11}}, "11"},
        {{{"capsule_reply_length", 0}}, "0"},
        {{{"capsule_total_field", 8}}, ""},    // below the header
        {{{"capsule_total_field", 44}}, ""},   // not whole blocks
        {{{"capsule_total_field", 4096}}, ""}, // beyond the response buffer
        {{{"capsule_extra_payload", 7}}, ""},  // capsule larger than the room offered
        // Cut short: the header came, the claimed blocks did not (enciphered and plain alike).
        {{{"capsule_reply_length", 30}}, "30"},
        {{{"capsule_reply_length", 30}}, "30", true},
        // The bytes to deliver reach past the two deciphered blocks the total field leaves.
        {{{"capsule_extra_payload", 6}, {"capsule_total_field", 32}}, "40"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults.dump() + (c.plain ? " plain" : ""));
        CMiscCommon channel;
        Open(channel, {{"faults", c.faults}, {"sessions", !c.plain}});
        Bytes packet = InfoPacket();
        Bytes out(18, 0xAA);
        DWORD count = 99;
        EXPECT_FALSE(channel.EncapsuledDeviceIoControl(kFirmwareCallCode, packet.data(), 8,
                                                       out.data(), 18, &count));
        std::string text = Narrow(channel.ErrorText());
        EXPECT_EQ(
            text.rfind(std::string(kEncapsulated) + "Invalid structure returned. size = " + c.size,
                       0),
            0u)
            << text;
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(ToHex(out), std::string(36, 'a')); // nothing delivered
        EXPECT_EQ(channel.Sequence(), 1u);           // the exchange still counts
    }
}

TEST_F(CapsuleTest, PayloadLongerThanTheRoomIsCutWithMoreData) {
    // The second payload claims more than its three deciphered blocks, but the 18 bytes the room
    // takes lie inside them: still a cut answer, not a malformed one.
    const json faults[] = {{{"capsule_extra_payload", 6}},
                           {{"capsule_extra_payload", 12}, {"capsule_total_field", 40}}};
    for (const json& f : faults) {
        SCOPED_TRACE(f.dump());
        CMiscCommon channel;
        Open(channel, {{"faults", f}});
        Bytes packet = InfoPacket();
        Bytes out(18, 0xAA);
        DWORD count = 0;
        EXPECT_FALSE(channel.EncapsuledDeviceIoControl(kFirmwareCallCode, packet.data(), 8,
                                                       out.data(), 18, &count));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(count, 18u);
        EXPECT_EQ(out[0], 0); // the answer's status
        EXPECT_EQ(Le16(out, 16), 32u);
    }
}

TEST_F(CapsuleTest, EmptyPayloadIsDeliveredEmptyAndFailsTheFirmwareRequest) {
    CMiscCommon channel;
    Open(channel, {{"faults", {{"capsule_empty_payload", true}}}});
    Bytes packet = InfoPacket();
    Bytes out(18, 0xAA);
    DWORD count = 99;
    SetLastError(1234);
    EXPECT_TRUE(channel.EncapsuledDeviceIoControl(kFirmwareCallCode, packet.data(), 8, out.data(),
                                                  18, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ToHex(out), std::string(36, 'a'));

    BYTE status = 0xEE;
    DWORD value = 0x55555555;
    // An answer that covers none of the fields read is a failed request: the request's own
    // function byte is never taken for the status, nor its index for the width.
    EXPECT_EQ(channel.ReadIndexedSetting(&status, 58, &value), MiscCommon::RESULT_FAILED);
    EXPECT_EQ(status, 0xEE);
    EXPECT_EQ(value, 0x55555555u);
    EXPECT_NE(Narrow(channel.ErrorText()).find("too short (0 of 1 bytes)"), std::string::npos);
}

TEST_F(CapsuleTest, DeviceErrorAfterAnAnswerStillDeliversIt) {
    CMiscCommon channel;
    Open(channel, {{"faults", {{"capsule_error", 31}}}});
    Bytes packet = InfoPacket();
    Bytes out(18, 0xAA);
    DWORD count = 0;
    EXPECT_FALSE(channel.EncapsuledDeviceIoControl(kFirmwareCallCode, packet.data(), 8, out.data(),
                                                   18, &count));
    EXPECT_EQ(GetLastError(), 31u);
    EXPECT_EQ(count, 18u);
    EXPECT_EQ(out[0], 0);

    BYTE status = 0xEE;
    DWORD value = 0;
    EXPECT_EQ(channel.ReadIndexedSetting(&status, 58, &value), 2);
    EXPECT_EQ(Narrow(channel.ErrorText()), std::string(kCall) + "DeviceIoControl failed.");
    EXPECT_EQ(GetLastError(), 31u);
    EXPECT_EQ(status, 0xEE);
}

TEST_F(CapsuleTest, ArgumentsAndVersionGate) {
    CMiscCommon channel;
    Open(channel);
    BYTE buffer[8] = {};
    DWORD count = 5;
    const std::string invalid = std::string(kEncapsulated) + "Invalid Argument(s).";
    EXPECT_FALSE(
        channel.EncapsuledDeviceIoControl(kFirmwareCallCode, buffer, 0, buffer, 8, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Narrow(channel.ErrorText()), invalid);
    EXPECT_FALSE(
        channel.EncapsuledDeviceIoControl(kFirmwareCallCode, nullptr, 8, buffer, 8, &count));
    EXPECT_FALSE(
        channel.EncapsuledDeviceIoControl(kFirmwareCallCode, buffer, 8, nullptr, 8, &count));
    EXPECT_FALSE(
        channel.EncapsuledDeviceIoControl(kFirmwareCallCode, buffer, 8, buffer, 8, nullptr));
    EXPECT_EQ(count, 5u);
    EXPECT_TRUE(Exchanges(kCapsuleCode).empty());
    // No input at all is valid: the firmware rejects the empty packet with status 3.
    EXPECT_TRUE(
        channel.EncapsuledDeviceIoControl(kFirmwareCallCode, nullptr, 0, buffer, 8, &count));
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(buffer[0], 3);

    EXPECT_EQ(channel.CallMiscFunction(nullptr, 8, 1, 0), 3);
    EXPECT_EQ(Narrow(channel.ErrorText()), std::string(kCall) + "pPacket is NULL");
    EXPECT_EQ(channel.CallMiscFunction(buffer, 0, 1, 0), 3);
    EXPECT_EQ(Narrow(channel.ErrorText()), std::string(kCall) + "sizePacket is '0'");
    Bytes packet = InfoPacket(); // declares 18 answer bytes
    EXPECT_EQ(channel.CallMiscFunction(packet.data(), packet.size(), 1, 0), 3);
    EXPECT_EQ(Narrow(channel.ErrorText()), std::string(kCall) + "packet lengths exceed sizePacket");
    EXPECT_EQ(Exchanges(kCapsuleCode).size(), 1u);

    channel.CloseDriver();
    EXPECT_EQ(channel.CallMiscFunction(buffer, 8, 1, 0), 8);
    EXPECT_EQ(Narrow(channel.ErrorText()), std::string(kCall) + "_hDevice is NULL");

    UseMachine(MachineWith({{"driver_version", "1.0.7.0"}}));
    CMiscCommon old;
    ASSERT_EQ(old.Initialize(), 0);
    SetLastError(1234);
    EXPECT_FALSE(old.EncapsuledDeviceIoControl(kFirmwareCallCode, nullptr, 0, buffer, 8, &count));
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_STREQ(old.ErrorText(), L"");
    EXPECT_EQ(old.CallMiscFunction(buffer, 8, 1, 0), 10);
}

TEST_F(CapsuleTest, BusyRepliesAreRepeatedFromThePristineRequest) {
    struct Case {
        int busy;
        DWORD retries;
        size_t exchanges;
        BYTE status;
    } cases[] = {{1, 1, 2, 0}, {2, 1, 2, 4}, {1, 0, 1, 4}, {0, 1, 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE("busy " + std::to_string(c.busy) + " retries " + std::to_string(c.retries));
        CMiscCommon channel;
        Open(channel, {{"sessions", false}, {"busy_replies", c.busy}});
        const Bytes request = {0x0C, 1, 32,   0, 32, 0, 0, 0, 0x90, 0, 0, 0, 58, 0, 0, 0,
                               0x90, 0, 0x0C, 1, 0,  0, 0, 0, 0,    0, 0, 0, 0,  0, 0, 0};
        Bytes packet = request;
        EXPECT_EQ(channel.CallMiscFunction(packet.data(), packet.size(), c.retries, 1), 0);
        EXPECT_EQ(packet[0], c.status);
        EXPECT_STREQ(channel.ErrorText(), L"");
        auto capsules = Exchanges(kCapsuleCode);
        ASSERT_EQ(capsules.size(), c.exchanges);
        for (size_t i = 0; i < capsules.size(); ++i) {
            Bytes payload = CapsulePayload(capsules[i].in);
            EXPECT_EQ(Le32(payload, 0), i); // sequence number
            EXPECT_EQ(ToHex(RequestPacket(capsules[i].in)), ToHex(request));
        }
    }
}

TEST_F(CapsuleTest, SequenceNumbersCountEveryExchange) {
    CMiscCommon channel;
    Open(channel);
    Bytes key = SessionKey();
    BYTE status = 0;
    DWORD value = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(channel.ReadIndexedSetting(&status, 58, &value), 0);
        ASSERT_EQ(status, 0);
    }
    auto capsules = Exchanges(kCapsuleCode);
    ASSERT_EQ(capsules.size(), 3u);
    for (size_t i = 0; i < capsules.size(); ++i) {
        EXPECT_EQ(Le32(CapsulePayload(capsules[i].in, key.data()), 0), i);
    }
    EXPECT_EQ(channel.Sequence(), 3u);

    // Without a session the count survives closing and reopening.
    CMiscCommon plain;
    channel.CloseDriver();
    Open(plain, {{"sessions", false}});
    ASSERT_EQ(plain.ReadIndexedSetting(&status, 58, &value), 0);
    plain.CloseDriver();
    ASSERT_EQ(plain.Initialize(), 0);
    ASSERT_EQ(plain.ReadIndexedSetting(&status, 58, &value), 0);
    EXPECT_EQ(plain.Sequence(), 2u);
    capsules = Exchanges(kCapsuleCode);
    ASSERT_EQ(capsules.size(), 2u);
    EXPECT_EQ(Le32(CapsulePayload(capsules[1].in), 0), 1u);
}

} // namespace
} // namespace channel_test
