// Function 0x0D: write one indexed firmware setting (32-byte packet).
#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

// `indexAndValue` holds the setting index, then its new value.
int CMiscCommon::WriteIndexedSetting(BYTE* status, const DWORD* indexAndValue) {
    if (indexAndValue == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::WriteIndexedSetting: Invalid Argument(s).");
        return RESULT_INVALID_ARGUMENT;
    }
    namespace P = IndexedSettingPacket;
    BYTE packet[P::SIZE] = {};
    StoreMiscPacketHeader(packet, FUNCTION_WRITE_INDEXED_SETTING, SUBFUNCTION_SETTING, P::SIZE,
                          P::SIZE);
    Store32(packet + P::FIXED_LOW, P::FIXED_LOW_VALUE);
    Store32(packet + P::INDEX, indexAndValue[0]);
    Store32(packet + P::FIXED_HIGH, P::FixedHighValue(FUNCTION_WRITE_INDEXED_SETTING));
    Store32(packet + P::VALUE, indexAndValue[1]);

    int result = SendMiscPacket(packet, sizeof(packet));
    if (result == RESULT_SUCCESS && status != nullptr) {
        *status = packet[MiscPacket::STATUS];
    }
    return result;
}

} // namespace MiscCommon
