// Function 0x05: password state, with a data area of n bytes (n from function 0x04).
#include <cstring>

#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

namespace {

constexpr size_t kHeaderSize = 10;
// The output length field (10 + n) is 16 bits wide.
constexpr DWORD kMaxDataLength = 0xFFFF - kHeaderSize;

} // namespace

int CMiscCommon::GetPasswordState(BYTE* status, WORD selector, void* buffer, DWORD length) {
    if (buffer == nullptr || length < 2 || length > kMaxDataLength) {
        _SetError(L"MiscCommon::CMiscCommon::GetPasswordState: Invalid Argument(s).");
        return 3;
    }
    const size_t packetSize = kHeaderSize + length;
    BYTE* packet = static_cast<BYTE*>(HeapAllocZero(packetSize));
    if (packet == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::GetPasswordState: HeapAlloc failed.");
        return 5;
    }
    packet[0] = 0x05;
    packet[1] = 0x03;
    Store16(packet + 2, static_cast<uint16_t>(kHeaderSize));
    Store16(packet + 4, static_cast<uint16_t>(packetSize));
    Store16(packet + 8, selector);

    int result = SendMiscPacket(packet, packetSize);
    if (result == 0) {
        if (status != nullptr) {
            *status = packet[0];
        }
        if (packet[0] == 0) {
            std::memcpy(buffer, packet + kHeaderSize, length);
        }
    }
    // The data area may hold password material.
    HeapWipeRelease(packet, packetSize);
    return result;
}

} // namespace MiscCommon
