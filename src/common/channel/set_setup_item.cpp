// Function 0x12: set one firmware-setup item (16-byte packet).
#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

int CMiscCommon::SetSetupItem(BYTE* status, WORD item, WORD selector, WORD value) {
    namespace P = SetSetupItemPacket;
    BYTE packet[P::SIZE] = {};
    StoreMiscPacketHeader(packet, FUNCTION_SET_SETUP_ITEM, SUBFUNCTION_SETTING, P::SIZE, P::SIZE);
    Store16(packet + P::ITEM, item);
    Store16(packet + P::SELECTOR, selector);
    Store16(packet + P::VALUE, value);

    int result = SendMiscPacket(packet, sizeof(packet));
    if (result == RESULT_SUCCESS && status != nullptr) {
        *status = packet[MiscPacket::STATUS];
    }
    return result;
}

} // namespace MiscCommon
