// Shared pieces of the channel tests: a fixture that writes a machine file into a temporary
// directory and points the stand-in at it (with a trace), readers for the trace's device
// exchanges and for capsules, and a reference of the handshake's random words computed with
// OpenSSL from the pinned clock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/bytes.h"
#include "support/protocol.h"
#include "common/channel/misc_common.h"
#include "support/scratch.h"

namespace MiscCommon {

// Reaches the channel's private capsule operations.
struct CMiscCommonTestAccess {
    static BYTE* InitializeMessageCapsule(CMiscCommon& c, const void* source, DWORD length) {
        return c._InitializeMessageCapsule(source, length);
    }
    static int Encrypt(CMiscCommon& c, BYTE* capsule) { return c._Encrypt(capsule); }
    static int Decrypt(CMiscCommon& c, BYTE* capsule) { return c._Decrypt(capsule); }
};

} // namespace MiscCommon

namespace channel_test {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;

constexpr DWORD kHandshakeCode = nwt::test::protocol::kIoctlHandshake;
constexpr DWORD kEndSessionCode = nwt::test::protocol::kIoctlEndSession;
constexpr DWORD kCapsuleCode = nwt::test::protocol::kIoctlCapsule;
constexpr DWORD kFirmwareCallCode = nwt::test::protocol::kFirmwareCall;

using nwt::test::FromHex;
using nwt::test::ToHex;
uint32_t Le32(const Bytes& bytes, size_t at);
uint16_t Le16(const Bytes& bytes, size_t at);
void PutLe32(Bytes& bytes, size_t at, uint32_t value);
void PutLe16(Bytes& bytes, size_t at, uint16_t value);
std::string Narrow(const wchar_t* text);

// One DeviceIoControl line of the trace.
struct Exchange {
    DWORD code = 0;
    Bytes in;
    Bytes out;
    bool result = false;
    DWORD lastError = 0;
};

// The handshake's random words as the channel draws them after seeding from `counter` and
// `time`: x (3 words), Nc (5 words), SK (4 words).
struct HandshakeRandom {
    uint32_t x[3];
    uint32_t nc[5];
    uint32_t sk[4];
};
HandshakeRandom ReferenceHandshakeRandom(int64_t counter, const uint16_t time[8]);

// The clock every test machine pins, so that handshakes are reproducible.
extern const uint16_t kPinnedTime[8];
constexpr int64_t kPinnedCounter = 1234567890;

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A machine with the pinned clock; `driver` and `firmware` are merged into its sections.
    static json MachineWith(const json& driver = json::object(),
                            const json& firmware = json::object());
    // Writes the machine, points SIMBOOK and SIMBOOK_TRACE at it and has the stand-in read it
    // anew. The trace starts empty.
    void UseMachine(const json& machine);

    std::vector<json> TraceLines() const;
    std::vector<Exchange> Exchanges() const;
    std::vector<Exchange> Exchanges(DWORD code) const;

    // A capsule's payload (L bytes after the 12-byte header), deciphered with `sessionKey` when
    // one is given.
    static Bytes CapsulePayload(const Bytes& capsule, const uint8_t* sessionKey = nullptr);
    // The packet bytes carried by a request capsule (the encapsulated request's input data).
    static Bytes RequestPacket(const Bytes& capsule, const uint8_t* sessionKey = nullptr);

    std::optional<nwt::test::ScratchDir> scratch_;
    std::filesystem::path dir_;
    std::filesystem::path tracePath_;
};

} // namespace channel_test
