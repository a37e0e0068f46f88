// Function 0x05: password state, with a data area of n bytes (n from function 0x04).
#include <cstring>

#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

namespace {

constexpr size_t kHeaderSize = PasswordStatePacket::HEADER_SIZE;
// The output length field (10 + n) is 16 bits wide.
constexpr DWORD kMaxDataLength = 0xFFFF - kHeaderSize;

} // namespace

int CMiscCommon::GetPasswordState(BYTE* status, WORD selector, void* buffer, DWORD length) {
    if (buffer == nullptr || length < 2 || length > kMaxDataLength) {
        _SetError(L"MiscCommon::CMiscCommon::GetPasswordState: Invalid Argument(s).");
        return RESULT_INVALID_ARGUMENT;
    }
    const size_t packetSize = kHeaderSize + length;
    BYTE* packet = static_cast<BYTE*>(HeapAllocZero(packetSize));
    if (packet == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::GetPasswordState: HeapAlloc failed.");
        return RESULT_NO_MEMORY;
    }
    StoreMiscPacketHeader(packet, FUNCTION_PASSWORD_STATE, SUBFUNCTION_PASSWORD,
                          static_cast<uint16_t>(kHeaderSize), static_cast<uint16_t>(packetSize));
    Store16(packet + PasswordStatePacket::SELECTOR, selector);

    int result = SendMiscPacket(packet, packetSize);
    if (result == RESULT_SUCCESS && packet[MiscPacket::STATUS] == FIRMWARE_STATUS_DONE &&
        !_AnswerCovers(packetSize)) {
        result = RESULT_FAILED;
    }
    if (result == RESULT_SUCCESS) {
        if (status != nullptr) {
            *status = packet[MiscPacket::STATUS];
        }
        if (packet[MiscPacket::STATUS] == FIRMWARE_STATUS_DONE) {
            std::memcpy(buffer, packet + kHeaderSize, length);
        }
    }
    // The data area may hold password material.
    HeapWipeRelease(packet, packetSize);
    return result;
}

} // namespace MiscCommon
