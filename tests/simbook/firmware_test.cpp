// The firmware model: every function, its statuses, and when changes are stored; how the check
// tool reads the firmware's answers, and the three programs' verdicts and exit statuses.
#include <gtest/gtest.h>

#include "simbook/driver/firmware.h"
#include "simbook/protocol.h"
#include "support/protocol.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace nwt::test::protocol;

Bytes Packet(uint8_t function, uint8_t sub, uint16_t inLength, uint16_t outLength) {
    Bytes p(inLength, 0);
    p[0] = function;
    p[1] = sub;
    p[2] = static_cast<uint8_t>(inLength);
    p[3] = static_cast<uint8_t>(inLength >> 8);
    p[4] = static_cast<uint8_t>(outLength);
    p[5] = static_cast<uint8_t>(outLength >> 8);
    return p;
}
void Put32(Bytes& p, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
uint32_t Get32(const Bytes& p, size_t at) {
    return p[at] | (p[at + 1] << 8) | (p[at + 2] << 16) | (uint32_t(p[at + 3]) << 24);
}
uint16_t Get16(const Bytes& p, size_t at) {
    return static_cast<uint16_t>(p[at] | (p[at + 1] << 8));
}
Bytes Indexed(uint8_t function, uint32_t index, uint32_t value = 0) {
    Bytes p = Packet(function, 1, 32, 32);
    Put32(p, 8, 0x90);
    Put32(p, 12, index);
    Put32(p, 16, function == kReadIndexedSetting ? 0x010C0090u : 0x010D0090u);
    Put32(p, 20, value);
    return p;
}
Bytes Read(uint32_t index = kSwitchSetting) {
    return Indexed(kReadIndexedSetting, index);
}
Bytes Write(uint32_t value) {
    return Indexed(kWriteIndexedSetting, kSwitchSetting, value);
}
Bytes SetupItem(uint16_t item, uint16_t dataLength) {
    Bytes p = Packet(kGetSetupItem, 1, 22, static_cast<uint16_t>(22 + dataLength));
    p[8] = static_cast<uint8_t>(item);
    p[9] = static_cast<uint8_t>(item >> 8);
    p[20] = static_cast<uint8_t>(dataLength);
    return p;
}
Bytes SetItem(uint16_t item, uint16_t value) {
    Bytes p = Packet(kSetSetupItem, 1, 16, 16);
    p[8] = static_cast<uint8_t>(item);
    p[9] = static_cast<uint8_t>(item >> 8);
    p[12] = static_cast<uint8_t>(value);
    p[13] = static_cast<uint8_t>(value >> 8);
    return p;
}
Bytes PasswordState(uint16_t selector, uint16_t n) {
    Bytes p = Packet(kGetPasswordState, 3, 10, static_cast<uint16_t>(10 + n));
    p[8] = static_cast<uint8_t>(selector);
    p[9] = static_cast<uint8_t>(selector >> 8);
    return p;
}

struct Fw {
    explicit Fw(simbook::Machine::Firmware v = {}, int busy = 0)
        : model(v, busy, [this](const simbook::Machine::Firmware& f) {
              ++stores;
              stored = f;
              return storeWorks;
          }) {}
    Bytes Call(const Bytes& p, size_t room) {
        auto a = model.Call(p.data(), p.size(), room);
        return a ? *a : Bytes{0xEE, 0xEE};
    }
    int stores = 0;
    bool storeWorks = true;
    simbook::Machine::Firmware stored;
    simbook::Firmware model;
};

} // namespace

TEST(Firmware, IndexedSetting58ReadsAndWrites) {
    simbook::Machine::Firmware v;
    v.setting58 = 7;
    v.setting58StrayBits = 0xFFFFFFF8;
    v.setting58Width = 3;
    Fw fw(v);
    Bytes a = fw.Call(Read(), 32);
    ASSERT_EQ(a.size(), 32u);
    EXPECT_EQ(a[0], kDone);
    EXPECT_EQ(Get32(a, 12), 3u);
    EXPECT_EQ(Get32(a, 20), 0xFFFFFFFFu);
    a = fw.Call(Write(6), 32);
    EXPECT_EQ(a[0], kDone);
    EXPECT_EQ(fw.stores, 1);
    EXPECT_EQ(fw.stored.setting58, 6u);
    EXPECT_EQ(Get32(fw.Call(Read(), 32), 20), 0xFFFFFFFEu);
    // A value wider than the setting is refused and never stored.
    EXPECT_EQ(fw.Call(Write(8), 32)[0], kUnsupported);
    EXPECT_EQ(fw.stores, 1);
    // A setting of no bits holds only 0: setting bit 0 fails rather than reading back as 0.
    v = simbook::Machine::Firmware{};
    v.setting58 = 0;
    v.setting58Width = 0;
    Fw none(v);
    EXPECT_EQ(none.Call(Write(1), 32)[0], kUnsupported);
    EXPECT_EQ(none.Call(Write(0), 32)[0], kDone);
    EXPECT_EQ(none.stores, 0);
    // Writing the value it already has stores nothing.
    EXPECT_EQ(fw.Call(Write(6), 32)[0], kDone);
    EXPECT_EQ(fw.stores, 1);
    EXPECT_EQ(fw.Call(Read(57), 32)[0], kUnsupported); // unknown setting
    Bytes badTag = Read();
    Put32(badTag, 16, 0x010D0090);
    EXPECT_EQ(fw.Call(badTag, 32)[0], kBadPacket);
}

TEST(Firmware, SetupItem0x8008) {
    simbook::Machine::Firmware v;
    v.wlanFlags = 0x0101;
    Fw fw(v);
    Bytes a = fw.Call(SetupItem(kWlanItem, 0), 22);
    ASSERT_EQ(a.size(), 22u);
    EXPECT_EQ(a[0], kDone);
    EXPECT_EQ(Get16(a, 12), 0x0101);
    EXPECT_EQ(fw.Call(SetItem(kWlanItem, 0), 16)[0], kDone);
    EXPECT_EQ(fw.stored.wlanFlags, 0);
    EXPECT_EQ(Get16(fw.Call(SetupItem(kWlanItem, 0), 22), 12), 0);
    EXPECT_EQ(fw.Call(SetupItem(0x8009, 0), 22)[0], kUnsupported);
    EXPECT_EQ(fw.Call(SetItem(0x1234, 1), 16)[0], kUnsupported);
}

TEST(Firmware, SetupItemDataAreaTooSmallAnswersStatus5WithNeededLength) {
    simbook::Machine::Firmware v;
    v.wlanItemData = Bytes(40, 0xAB);
    Fw fw(v);
    Bytes a = fw.Call(SetupItem(kWlanItem, 0), 22);
    EXPECT_EQ(a[0], kTooSmall);
    EXPECT_EQ(Get16(a, 20), 40);
    a = fw.Call(SetupItem(kWlanItem, 40), 62);
    ASSERT_EQ(a.size(), 62u);
    EXPECT_EQ(a[0], kDone);
    EXPECT_EQ(a[22], 0xAB);
    EXPECT_EQ(a[61], 0xAB);
}

TEST(Firmware, PasswordInformationAndState) {
    simbook::Machine::Firmware v;
    v.supervisorPassword = true;
    v.passwordDataLength = 48;
    Fw fw(v);
    Bytes a = fw.Call(Packet(kGetPasswordInfo, 3, 8, 18), 18);
    ASSERT_EQ(a.size(), 18u);
    EXPECT_EQ(a[0], kDone);
    EXPECT_EQ(Get16(a, 16), 48);
    EXPECT_EQ(fw.Call(PasswordState(kSupervisorPassword, 48), 58)[0], kDone); // set
    EXPECT_EQ(fw.Call(PasswordState(kUserPassword, 48), 58)[0], kPasswordNotSet);
    EXPECT_EQ(fw.Call(PasswordState(0x1234, 48), 58)[0], kUnsupported);
    // data area below 2 bytes
    EXPECT_EQ(fw.Call(PasswordState(kUserPassword, 1), 11)[0], kBadPacket);
    v.passwordStateStatus = 7;
    Fw overridden(v);
    EXPECT_EQ(overridden.Call(PasswordState(kSupervisorPassword, 48), 58)[0], 7);
}

TEST(Firmware, BusyFailingUnknownAndBadPackets) {
    simbook::Machine::Firmware v;
    v.failingFunctions = {kGetPasswordInfo};
    Fw fw(v, 2);
    EXPECT_EQ(fw.Call(Read(), 32)[0], kBusy);
    EXPECT_EQ(fw.Call(Read(), 32)[0], kBusy);
    EXPECT_EQ(fw.Call(Read(), 32)[0], kDone);
    EXPECT_EQ(fw.Call(Packet(kGetPasswordInfo, 3, 8, 18), 18)[0], kUnsupported);
    EXPECT_EQ(fw.Call(Packet(0x77, 1, 8, 8), 8)[0], kUnsupported);
    // Lengths that disagree with the packet, too short a header, too little room: status 3.
    EXPECT_EQ(fw.Call(Packet(kReadIndexedSetting, 1, 8, 32), 32)[0], kBadPacket);
    EXPECT_EQ(fw.Call(Bytes{kReadIndexedSetting, 1, 32}, 32)[0], kBadPacket);
    Bytes a = fw.Call(Read(), 16);
    ASSERT_EQ(a.size(), 16u);
    EXPECT_EQ(a[0], kBadPacket);
    EXPECT_TRUE(fw.Call(Bytes{}, 0).empty());
}

TEST(Firmware, ChangeThatCannotBeStoredFailsAndKeepsTheOldValue) {
    Fw fw;
    fw.storeWorks = false;
    EXPECT_EQ(fw.Call(SetItem(kWlanItem, 0), 16), (Bytes{0xEE, 0xEE}));
    EXPECT_EQ(Get16(fw.Call(SetupItem(kWlanItem, 0), 22), 12), 1);
    EXPECT_EQ(fw.model.Values().wlanFlags, 1);
}

// Each check of a packet at its edge: the last packet it lets through and the first it stops.
TEST(Firmware, StatusesAtTheirEdges) {
    simbook::Machine::Firmware v;
    v.setting58Width = 3;
    v.wlanItemData = Bytes(40, 0xAB);
    Fw fw(v);
    Bytes longRead = Read();
    longRead.push_back(0);
    longRead[2] = 33;
    Bytes badMarker = Read();
    Put32(badMarker, 8, 0x91);
    Bytes selector1 = SetupItem(kWlanItem, 40);
    selector1[10] = 1;
    Bytes setSelector1 = SetItem(kWlanItem, 1);
    setSelector1[10] = 1;
    Bytes shortLength = Packet(0x77, 1, 8, 8);
    shortLength[2] = 5; // declares less than the header
    Bytes pastTheEnd = Packet(0x77, 1, 8, 8);
    pastTheEnd[2] = 9; // declares one byte more than it sends
    struct Row {
        const char* what;
        Bytes packet;
        size_t room;
        uint8_t status;
    } rows[] = {
        {"widest value of a 3-bit setting", Write(7), 32, kDone},
        {"indexed setting of 33 bytes", longRead, 32, kBadPacket},
        {"indexed setting without its 0x90", badMarker, 32, kBadPacket},
        {"data area one byte short", SetupItem(kWlanItem, 39), 61, kTooSmall},
        {"setup item, selector 1", selector1, 62, kUnsupported},
        {"set setup item, selector 1", setSelector1, 16, kUnsupported},
        {"set setup item of 15 bytes", Packet(kSetSetupItem, 1, 15, 16), 16, kBadPacket},
        {"password information answer of 17", Packet(kGetPasswordInfo, 3, 8, 17), 17, kBadPacket},
        {"password state, 2-byte data area", PasswordState(kUserPassword, 2), 12, kPasswordNotSet},
        {"input length below the header", shortLength, 8, kBadPacket},
        {"input length past the bytes sent", pastTheEnd, 8, kBadPacket},
        {"answer room one byte short", Read(), 31, kBadPacket},
    };
    for (const Row& row : rows) {
        Bytes answer = fw.Call(row.packet, row.room);
        ASSERT_FALSE(answer.empty()) << row.what;
        EXPECT_EQ(answer[0], row.status) << row.what;
    }
    EXPECT_EQ(fw.stored.setting58, 7u); // only the write that fits was stored
    EXPECT_EQ(fw.stores, 1);
}

// The check tool's readings of the firmware's values, at each edge.
TEST(ProtocolReadings, WlanFlagsSwitchSettingAndPasswordStates) {
    namespace p = simbook::protocol;
    EXPECT_EQ(p::WlanOn(0x0002), false); // bit 8 clear: bit 0 alone counts
    EXPECT_EQ(p::WlanOn(0x0101), true);
    EXPECT_EQ(p::WlanOn(0x0102), std::nullopt);
    EXPECT_EQ(p::ValueInWidth(0xFFFFFFFF, 0), 0u);
    EXPECT_EQ(p::ValueInWidth(0xFFFFFFFF, 31), 0x7FFFFFFFu);
    EXPECT_EQ(p::ValueInWidth(0xFFFFFFFF, 32), 0xFFFFFFFFu);
    const auto three = p::SwitchFromSetting(3);
    ASSERT_TRUE(three.has_value());
    EXPECT_TRUE(three->switchOn && !three->displayOn); // bit 1 set turns the display off
    EXPECT_FALSE(p::SwitchFromSetting(4).has_value());
    EXPECT_EQ(p::PasswordSet(kPasswordNotSet), false);
    EXPECT_EQ(p::PasswordSet(kBadPacket), std::nullopt);
}

TEST(ProtocolPrograms, VerdictsMeaningsAndStatusTextAtTheEdges) {
    namespace p = simbook::protocol;
    using V = p::Verdict;
    const p::Program* brenvik = p::FindProgram("brenvik");
    const p::Program* tolmare = p::FindProgram("tolmare");
    const p::Program* sundrel = p::FindProgram("sundrel");
    ASSERT_TRUE(brenvik && tolmare && sundrel);
    EXPECT_EQ(p::FindProgram("tolmare.exe"), nullptr);
    struct Row {
        const p::Program* program;
        int64_t status;
        V verdict;
        bool returned; // a status the program returns
    } rows[] = {
        {brenvik, 0, V::Success, true},  {brenvik, 1, V::Failure, false},
        {brenvik, -4, V::Failure, true}, {brenvik, -5, V::Failure, false},
        {tolmare, 0, V::Success, true},  {tolmare, -3, V::Failure, false},
        {sundrel, 1, V::Success, true},  {sundrel, -2, V::None, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(p::VerdictOf(*row.program, row.status), row.verdict)
            << row.program->name << " " << row.status;
        EXPECT_EQ(p::ExitMeaning(*row.program, row.status) != nullptr, row.returned)
            << row.program->name << " " << row.status;
    }
    EXPECT_EQ(p::ExitStatusText(tolmare, 0x00310000), "0x00310000");
    EXPECT_EQ(p::ExitStatusText(tolmare, 0), "0");
    EXPECT_EQ(p::ExitStatusText(brenvik, 0x00310000), "3211264");
}
