// Discovery, opening, the version gate and closing, against the simulated driver.
#include "channel_fixture.h"

namespace channel_test {
namespace {

using MiscCommon::CMiscCommon;

constexpr const char* kOpenPrefix = "MiscCommon::CMiscCommon::OpenDriver: ";

class OpenTest : public ChannelTest {};

TEST_F(OpenTest, SessionHandshakeEndToEnd) {
    UseMachine(MachineWith());
    {
        CMiscCommon channel;
        ASSERT_EQ(channel.Initialize(), 0) << Narrow(channel.ErrorText());
        EXPECT_TRUE(channel.IsOpen());
        EXPECT_TRUE(channel.HasSession());
        EXPECT_TRUE(channel.IsEncrypted());
        EXPECT_EQ(channel.Sequence(), 0u);
        EXPECT_STREQ(channel.ErrorText(), L"");

        auto handshake = Exchanges(kHandshakeCode);
        ASSERT_EQ(handshake.size(), 4u); // probe and three phases
        EXPECT_TRUE(handshake[0].in.empty());
        EXPECT_EQ(channel.SessionId(), Le32(handshake[1].out, 0));
        EXPECT_NE(channel.SessionId(), 0u);

        BYTE status = 0xEE;
        DWORD value = 0xEEEEEEEE;
        ASSERT_EQ(channel.ReadIndexedSetting(&status, 58, &value), 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(value, 1u);
        EXPECT_EQ(channel.Sequence(), 1u);

        DWORD sessionId = channel.SessionId();
        channel.CloseDriver();
        EXPECT_FALSE(channel.IsOpen());
        EXPECT_FALSE(channel.HasSession());
        EXPECT_EQ(channel.SessionId(), 0u);
        EXPECT_EQ(channel.Sequence(), 0u);
        auto ends = Exchanges(kEndSessionCode);
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(Le32(ends[0].in, 0), sessionId);
        EXPECT_EQ(ends[0].in.size(), 4u);

        size_t before = Exchanges().size();
        channel.CloseDriver(); // closing twice sends nothing
        EXPECT_EQ(Exchanges().size(), before);
    }
}

TEST_F(OpenTest, PlainModeWhenTheDriverHasNoSessions) {
    UseMachine(MachineWith({{"sessions", false}}));
    CMiscCommon channel;
    ASSERT_EQ(channel.Initialize(), 0);
    EXPECT_FALSE(channel.IsEncrypted());
    EXPECT_FALSE(channel.HasSession());
    EXPECT_EQ(Exchanges(kHandshakeCode).size(), 1u); // the probe only

    BYTE status = 0xEE;
    DWORD value = 0;
    ASSERT_EQ(channel.ReadIndexedSetting(&status, 58, &value), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(value, 1u);
    channel.CloseDriver();
    EXPECT_TRUE(Exchanges(kEndSessionCode).empty());
    EXPECT_FALSE(channel.IsOpen());
}

TEST_F(OpenTest, DestructorEndsTheSessionAndClosesTheDevice) {
    UseMachine(MachineWith());
    {
        CMiscCommon channel;
        ASSERT_EQ(channel.Initialize(), 0);
    }
    EXPECT_EQ(Exchanges(kEndSessionCode).size(), 1u);
    CMiscCommon again; // the device is free again
    EXPECT_EQ(again.OpenDriver(), 0);
}

TEST_F(OpenTest, CloseOnANeverOpenedObjectDoesNothing) {
    UseMachine(MachineWith());
    CMiscCommon channel;
    channel.CloseDriver();
    channel.CloseDriver();
    EXPECT_TRUE(Exchanges().empty());
    EXPECT_FALSE(channel.IsOpen());
}

TEST_F(OpenTest, DriversFrom108RunTheHandshake) {
    for (const char* version : {"1.0.8.0", "1.0.10.0", "1.1.0.0", "2.0.0.0"}) {
        SCOPED_TRACE(version);
        UseMachine(MachineWith({{"driver_version", version}}));
        CMiscCommon channel;
        EXPECT_EQ(channel.Initialize(), 0);
        EXPECT_TRUE(channel.HasSession());
    }
}

TEST_F(OpenTest, OlderOrUnreadableVersionsOpenWithoutSessionAndRefuseRequests) {
    for (const char* version : {"1.0.7.0", "0.9.9.9", "1.0.7", "v1.0.8.0", "", "abc"}) {
        SCOPED_TRACE(version);
        UseMachine(MachineWith({{"driver_version", version}}));
        CMiscCommon channel;
        ASSERT_EQ(channel.Initialize(), 0);
        EXPECT_TRUE(channel.IsOpen());
        EXPECT_FALSE(channel.HasSession());

        BYTE status = 0xEE;
        DWORD value = 0xEEEEEEEE;
        DWORD write[2] = {58, 1};
        BYTE data[4];
        EXPECT_EQ(channel.ReadIndexedSetting(&status, 58, &value), 10);
        EXPECT_EQ(channel.WriteIndexedSetting(&status, write), 10);
        EXPECT_EQ(channel.SetSetupItem(&status, 0x8008, 0, 1), 10);
        EXPECT_EQ(channel.GetSetupItem(&status, 0x8008, 0, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, WORD{0}),
                  10);
        EXPECT_EQ(
            channel.GetPasswordInfo(&status, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            10);
        EXPECT_EQ(channel.GetPasswordState(&status, 0, data, sizeof(data)), 10);
        EXPECT_EQ(status, 0xEE);
        EXPECT_EQ(value, 0xEEEEEEEEu);
        EXPECT_TRUE(Exchanges().empty()) << "nothing may reach a driver older than 1.0.8";
        channel.CloseDriver();
        EXPECT_TRUE(Exchanges().empty());
    }
}

TEST_F(OpenTest, VersionTextIsParsedOnlyWithinTheRoomOffered) {
    // 127 characters and the terminator fill the room exactly.
    UseMachine(MachineWith({{"driver_version", "1.0.8." + std::string(121, '0')}}));
    {
        CMiscCommon channel;
        EXPECT_EQ(channel.Initialize(), 0);
        EXPECT_TRUE(channel.HasSession());
    }
    UseMachine(MachineWith({{"driver_version", "1.0.8." + std::string(300, '9')}}));
    CMiscCommon channel;
    EXPECT_EQ(channel.OpenDriver(), 2);
    EXPECT_EQ(Narrow(channel.ErrorText()), std::string(kOpenPrefix) + "RegQueryValueEx failed.");
    EXPECT_FALSE(channel.IsOpen());
}

TEST_F(OpenTest, MissingVersionIsReadAgainByTheNextOpen) {
    UseMachine(MachineWith({{"driver_version", nullptr}}));
    CMiscCommon channel;
    EXPECT_EQ(channel.OpenDriver(), 2);
    EXPECT_EQ(Narrow(channel.ErrorText()), std::string(kOpenPrefix) + "RegQueryValueEx failed.");
    EXPECT_FALSE(channel.IsOpen());

    UseMachine(MachineWith({{"driver_version", "1.0.8.0"}}));
    EXPECT_EQ(channel.Initialize(), 0);
    EXPECT_TRUE(channel.HasSession());
}

TEST_F(OpenTest, VersionIsReadOnlyOncePerObject) {
    UseMachine(MachineWith({{"driver_version", "1.0.7.0"}}));
    CMiscCommon channel;
    ASSERT_EQ(channel.Initialize(), 0);
    channel.CloseDriver();

    UseMachine(MachineWith({{"driver_version", "1.0.8.0"}}));
    ASSERT_EQ(channel.Initialize(), 0);
    EXPECT_FALSE(channel.HasSession()); // still the version read the first time
    EXPECT_TRUE(Exchanges().empty());
}

TEST_F(OpenTest, NoInterfaceIsCode6) {
    UseMachine(MachineWith({{"present", false}}));
    CMiscCommon channel;
    EXPECT_EQ(channel.Initialize(), 6);
    EXPECT_EQ(Narrow(channel.ErrorText()),
              std::string(kOpenPrefix) + "SetupDiEnumDeviceInterfaces failed.");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_FALSE(channel.IsOpen());
}

TEST_F(OpenTest, DeviceHeldByAnotherHandleIsCode11) {
    UseMachine(MachineWith());
    CMiscCommon first;
    ASSERT_EQ(first.Initialize(), 0);
    CMiscCommon second;
    EXPECT_EQ(second.Initialize(), 11);
    EXPECT_EQ(Narrow(second.ErrorText()), std::string(kOpenPrefix) + "CreateFile failed.");
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(second.IsOpen());

    first.CloseDriver();
    EXPECT_EQ(second.Initialize(), 0);
    EXPECT_STREQ(second.ErrorText(), L""); // a successful open empties the failure text
}

TEST_F(OpenTest, ReopeningAnOpenObjectEndsTheOldSessionFirst) {
    UseMachine(MachineWith());
    CMiscCommon channel;
    ASSERT_EQ(channel.Initialize(), 0);
    DWORD oldSession = channel.SessionId();
    ASSERT_EQ(channel.Initialize(), 0) << Narrow(channel.ErrorText());
    EXPECT_TRUE(channel.HasSession());
    auto ends = Exchanges(kEndSessionCode);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(Le32(ends[0].in, 0), oldSession);

    BYTE status = 0xEE;
    DWORD value = 0;
    EXPECT_EQ(channel.ReadIndexedSetting(&status, 58, &value), 0);
    EXPECT_EQ(status, 0);
}

TEST_F(OpenTest, EachHandshakeDrawsFreshValuesFromTheRealClock) {
    json machine = MachineWith();
    machine.erase("clock");
    UseMachine(machine);
    CMiscCommon channel;
    ASSERT_EQ(channel.Initialize(), 0);
    channel.CloseDriver();
    ASSERT_EQ(channel.Initialize(), 0);
    auto handshake = Exchanges(kHandshakeCode);
    ASSERT_EQ(handshake.size(), 8u);
    EXPECT_NE(ToHex(handshake[1].in), ToHex(handshake[5].in)); // x and Nc differ
    EXPECT_NE(ToHex(handshake[3].in.data() + 8, 16), ToHex(handshake[7].in.data() + 8, 16));
}

} // namespace
} // namespace channel_test
