// Function 0x12: set one firmware-setup item (16-byte packet).
#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

int CMiscCommon::SetSetupItem(BYTE* status, WORD item, WORD selector, WORD value) {
    BYTE packet[16] = {};
    packet[0] = 0x12;
    packet[1] = 0x01;
    Store16(packet + 2, 16);
    Store16(packet + 4, 16);
    Store16(packet + 8, item);
    Store16(packet + 10, selector);
    Store16(packet + 12, value);

    int result = SendMiscPacket(packet, sizeof(packet));
    if (result == 0 && status != nullptr) {
        *status = packet[0];
    }
    return result;
}

} // namespace MiscCommon
