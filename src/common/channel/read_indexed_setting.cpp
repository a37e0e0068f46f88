// Function 0x0C: read one indexed firmware setting (32-byte packet).
#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

int CMiscCommon::ReadIndexedSetting(BYTE* status, BYTE index, DWORD* value) {
    BYTE packet[32] = {};
    packet[0] = 0x0C;
    packet[1] = 0x01;
    Store16(packet + 2, 32);
    Store16(packet + 4, 32);
    Store32(packet + 8, 0x90);
    Store32(packet + 12, index);
    Store32(packet + 16, 0x010C0090);

    int result = SendMiscPacket(packet, sizeof(packet));
    if (result != 0) {
        return result;
    }
    if (status != nullptr) {
        *status = packet[0];
    }
    if (packet[0] == 0 && value != nullptr) {
        // Only the low `width` bits belong to the setting; a width of 32 or more keeps them all.
        DWORD width = packet[12];
        DWORD raw = Load32(packet + 20);
        *value = width >= 32 ? raw : raw & ((1u << width) - 1u);
    }
    return 0;
}

} // namespace MiscCommon
