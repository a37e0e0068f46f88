// Function 0x04: password information (8 bytes sent, 18 answered).
#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

int CMiscCommon::GetPasswordInfo(BYTE* status, WORD* word1, WORD* word2, WORD* word3, BYTE* flag1,
                                 BYTE* flag2, WORD* dataLength) {
    namespace P = PasswordInfoPacket;
    BYTE packet[P::SIZE] = {};
    StoreMiscPacketHeader(packet, FUNCTION_PASSWORD_INFO, SUBFUNCTION_PASSWORD, P::SENT, P::SIZE);

    int result = SendMiscPacket(packet, sizeof(packet));
    if (result != RESULT_SUCCESS) {
        return result;
    }
    if (packet[MiscPacket::STATUS] == FIRMWARE_STATUS_DONE && !_AnswerCovers(P::DATA_LENGTH + 2)) {
        return RESULT_FAILED; // the last field read is the data length
    }
    if (status != nullptr) {
        *status = packet[MiscPacket::STATUS];
    }
    if (packet[MiscPacket::STATUS] != FIRMWARE_STATUS_DONE) {
        return RESULT_SUCCESS;
    }
    if (word1 != nullptr) {
        *word1 = Load16(packet + P::WORD1);
    }
    if (word2 != nullptr) {
        *word2 = Load16(packet + P::WORD2);
    }
    if (word3 != nullptr) {
        *word3 = Load16(packet + P::WORD3);
    }
    if (flag1 != nullptr) {
        *flag1 = packet[P::FLAG1];
    }
    if (flag2 != nullptr) {
        // A first flag of 1 with a clear second flag reports the second flag as 1.
        *flag2 = (packet[P::FLAG1] == 1 && packet[P::FLAG2] == 0) ? 1 : packet[P::FLAG2];
    }
    if (dataLength != nullptr) {
        *dataLength = Load16(packet + P::DATA_LENGTH);
    }
    return RESULT_SUCCESS;
}

} // namespace MiscCommon
