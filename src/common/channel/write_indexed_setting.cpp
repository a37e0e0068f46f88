// Function 0x0D: write one indexed firmware setting (32-byte packet).
#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

// `indexAndValue` holds the setting index, then its new value.
int CMiscCommon::WriteIndexedSetting(BYTE* status, const DWORD* indexAndValue) {
    if (indexAndValue == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::WriteIndexedSetting: Invalid Argument(s).");
        return 3;
    }
    BYTE packet[32] = {};
    packet[0] = 0x0D;
    packet[1] = 0x01;
    Store16(packet + 2, 32);
    Store16(packet + 4, 32);
    Store32(packet + 8, 0x90);
    Store32(packet + 12, indexAndValue[0]);
    Store32(packet + 16, 0x010D0090);
    Store32(packet + 20, indexAndValue[1]);

    int result = SendMiscPacket(packet, sizeof(packet));
    if (result == 0 && status != nullptr) {
        *status = packet[0];
    }
    return result;
}

} // namespace MiscCommon
