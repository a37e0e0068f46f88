// The driver protocol's numbers as the tests state them: I/O-control codes, the handshake's
// sizes, firmware functions, statuses and the settings the tools use. Written here on their own
// rather than taken from simbook's description, so that a wrong value there makes the driver
// and firmware tests fail instead of agreeing with it. Included as "support/protocol.h".
#pragma once

#include <cstddef>
#include <cstdint>

namespace nwt::test::protocol {

constexpr uint32_t kIoctlHandshake = 0x222000; // the probe and the three phases
constexpr uint32_t kIoctlEndSession = 0x222004;
constexpr uint32_t kIoctlCapsule = 0x222008;
constexpr uint32_t kFirmwareCall = 0x222944; // inside an encapsulated request

constexpr size_t kPhase1Size = 160; // request and reply
constexpr size_t kPhase2RequestSize = 28;
constexpr size_t kProofSize = 20; // the phase 2 reply
constexpr size_t kPhase3RequestSize = 24;
constexpr size_t kPhase3ReplySize = 8;

// Firmware functions (byte 0 of a packet).
constexpr uint8_t kReadIndexedSetting = 0x0C;
constexpr uint8_t kWriteIndexedSetting = 0x0D;
constexpr uint8_t kGetSetupItem = 0x11;
constexpr uint8_t kSetSetupItem = 0x12;
constexpr uint8_t kGetPasswordInfo = 0x04;
constexpr uint8_t kGetPasswordState = 0x05;

// Statuses (byte 0 of an answer).
constexpr uint8_t kDone = 0;
constexpr uint8_t kUnsupported = 1;
constexpr uint8_t kPasswordNotSet = 2;
constexpr uint8_t kBadPacket = 3;
constexpr uint8_t kBusy = 4;
constexpr uint8_t kTooSmall = 5;

constexpr uint16_t kWlanItem = 0x8008;
constexpr uint32_t kSwitchSetting = 58;
constexpr uint16_t kSupervisorPassword = 0x8000;
constexpr uint16_t kUserPassword = 0x0000;

} // namespace nwt::test::protocol
