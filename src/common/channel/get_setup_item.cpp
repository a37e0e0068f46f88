// Function 0x11: read one firmware-setup item: four answer words and an optional data area of
// n bytes after the 22-byte header. Status 5 means the data area was too small and carries the
// length needed.
#include <cstring>

#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

namespace {

constexpr size_t kHeaderSize = GetSetupItemPacket::HEADER_SIZE;
// The output length field (22 + n) is 16 bits wide.
constexpr DWORD kMaxDataLength = 0xFFFF - kHeaderSize;

void Put(WORD* out, WORD value) {
    if (out != nullptr) {
        *out = value;
    }
}

} // namespace

int CMiscCommon::GetSetupItem(BYTE* status, WORD item, WORD selector, WORD* word1, WORD* word2,
                              WORD* word3, WORD* word4, void* data, WORD* dataLength) {
    if (dataLength == nullptr || (*dataLength != 0 && data == nullptr) ||
        *dataLength > kMaxDataLength) {
        _SetError(L"MiscCommon::CMiscCommon::GetSetupItem: Invalid Argument(s).");
        return RESULT_INVALID_ARGUMENT;
    }
    const size_t length = *dataLength;
    const size_t packetSize = kHeaderSize + length;
    // One spare byte when there is no data area: the block is never empty past the header.
    const size_t allocated = length == 0 ? kHeaderSize + 1 : packetSize;
    BYTE* packet = static_cast<BYTE*>(HeapAllocZero(allocated));
    if (packet == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::GetSetupItem: HeapAlloc failed.");
        return RESULT_NO_MEMORY;
    }
    namespace P = GetSetupItemPacket;
    StoreMiscPacketHeader(packet, FUNCTION_GET_SETUP_ITEM, SUBFUNCTION_SETTING,
                          static_cast<uint16_t>(kHeaderSize), static_cast<uint16_t>(packetSize));
    Store16(packet + P::ITEM, item);
    Store16(packet + P::SELECTOR, selector);
    Store16(packet + P::DATA_LENGTH, static_cast<uint16_t>(length));

    int result = SendMiscPacket(packet, packetSize);
    if (result == RESULT_SUCCESS) {
        // The answer must cover what is read of it: the words and data area when done, the
        // length needed when the data area was too small.
        const BYTE code = packet[MiscPacket::STATUS];
        if ((code == FIRMWARE_STATUS_DONE && !_AnswerCovers(packetSize)) ||
            (code == FIRMWARE_STATUS_TOO_SMALL && !_AnswerCovers(P::DATA_LENGTH + 2))) {
            result = RESULT_FAILED;
        }
    }
    if (result == RESULT_SUCCESS) {
        const BYTE answer = packet[MiscPacket::STATUS];
        if (status != nullptr) {
            *status = answer;
        }
        if (answer == FIRMWARE_STATUS_DONE) {
            Put(word1, Load16(packet + P::WORD1));
            Put(word2, Load16(packet + P::WORD2));
            Put(word3, Load16(packet + P::WORD3));
            Put(word4, Load16(packet + P::WORD4));
            if (length != 0) {
                std::memcpy(data, packet + kHeaderSize, length);
            }
        } else if (answer == FIRMWARE_STATUS_TOO_SMALL) {
            *dataLength = Load16(packet + P::DATA_LENGTH);
        }
    }
    HeapWipeRelease(packet, allocated);
    return result;
}

int CMiscCommon::GetSetupItem(BYTE* status, WORD item, WORD selector, WORD* word1, WORD* word2,
                              WORD* word3, WORD* word4, void* data, WORD dataLength) {
    WORD length = dataLength;
    return GetSetupItem(status, item, selector, word1, word2, word3, word4, data, &length);
}

} // namespace MiscCommon
