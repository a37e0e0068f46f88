// Function 0x11: read one firmware-setup item: four answer words and an optional data area of
// n bytes after the 22-byte header. Status 5 means the data area was too small and carries the
// length needed.
#include <cstring>

#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

namespace {

constexpr size_t kHeaderSize = 22;
// The output length field (22 + n) is 16 bits wide.
constexpr DWORD kMaxDataLength = 0xFFFF - kHeaderSize;
constexpr BYTE kStatusDone = 0;
constexpr BYTE kStatusTooSmall = 5;

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
        return 3;
    }
    const size_t length = *dataLength;
    const size_t packetSize = kHeaderSize + length;
    // One spare byte when there is no data area: the block is never empty past the header.
    const size_t allocated = length == 0 ? kHeaderSize + 1 : packetSize;
    BYTE* packet = static_cast<BYTE*>(HeapAllocZero(allocated));
    if (packet == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::GetSetupItem: HeapAlloc failed.");
        return 5;
    }
    packet[0] = 0x11;
    packet[1] = 0x01;
    Store16(packet + 2, static_cast<uint16_t>(kHeaderSize));
    Store16(packet + 4, static_cast<uint16_t>(packetSize));
    Store16(packet + 8, item);
    Store16(packet + 10, selector);
    Store16(packet + 20, static_cast<uint16_t>(length));

    int result = SendMiscPacket(packet, packetSize);
    if (result == 0) {
        if (status != nullptr) {
            *status = packet[0];
        }
        if (packet[0] == kStatusDone) {
            Put(word1, Load16(packet + 12));
            Put(word2, Load16(packet + 14));
            Put(word3, Load16(packet + 16));
            Put(word4, Load16(packet + 18));
            if (length != 0) {
                std::memcpy(data, packet + kHeaderSize, length);
            }
        } else if (packet[0] == kStatusTooSmall) {
            *dataLength = Load16(packet + 20);
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
