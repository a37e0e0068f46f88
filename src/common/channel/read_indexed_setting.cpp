// Function 0x0C: read one indexed firmware setting (32-byte packet).
#include <algorithm>

#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

int CMiscCommon::ReadIndexedSetting(BYTE* status, BYTE index, DWORD* value) {
    namespace P = IndexedSettingPacket;
    BYTE packet[P::SIZE] = {};
    StoreMiscPacketHeader(packet, FUNCTION_READ_INDEXED_SETTING, SUBFUNCTION_SETTING, P::SIZE,
                          P::SIZE);
    Store32(packet + P::FIXED_LOW, P::FIXED_LOW_VALUE);
    Store32(packet + P::INDEX, index);
    Store32(packet + P::FIXED_HIGH, P::FixedHighValue(FUNCTION_READ_INDEXED_SETTING));

    int result = SendMiscPacket(packet, sizeof(packet));
    if (result != RESULT_SUCCESS) {
        return result;
    }
    if (packet[MiscPacket::STATUS] == FIRMWARE_STATUS_DONE &&
        !_AnswerCovers(std::max(P::WIDTH + 1, P::VALUE + 4))) {
        return RESULT_FAILED;
    }
    if (status != nullptr) {
        *status = packet[MiscPacket::STATUS];
    }
    if (packet[MiscPacket::STATUS] == FIRMWARE_STATUS_DONE && value != nullptr) {
        // Only the low `width` bits belong to the setting; a width of 32 or more keeps them all.
        DWORD width = packet[P::WIDTH];
        DWORD raw = Load32(packet + P::VALUE);
        *value = width >= 32 ? raw : raw & ((1u << width) - 1u);
    }
    return RESULT_SUCCESS;
}

} // namespace MiscCommon
