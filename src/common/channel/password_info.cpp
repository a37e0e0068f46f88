// Function 0x04: password information (8 bytes sent, 18 answered).
#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

int CMiscCommon::GetPasswordInfo(BYTE* status, WORD* word1, WORD* word2, WORD* word3, BYTE* flag1,
                                 BYTE* flag2, WORD* dataLength) {
    BYTE packet[18] = {};
    packet[0] = 0x04;
    packet[1] = 0x03;
    Store16(packet + 2, 8);
    Store16(packet + 4, 18);

    int result = SendMiscPacket(packet, sizeof(packet));
    if (result != 0) {
        return result;
    }
    if (status != nullptr) {
        *status = packet[0];
    }
    if (packet[0] != 0) {
        return 0;
    }
    if (word1 != nullptr) {
        *word1 = Load16(packet + 8);
    }
    if (word2 != nullptr) {
        *word2 = Load16(packet + 10);
    }
    if (word3 != nullptr) {
        *word3 = Load16(packet + 12);
    }
    if (flag1 != nullptr) {
        *flag1 = packet[14];
    }
    if (flag2 != nullptr) {
        // A first flag of 1 with a clear second flag reports the second flag as 1.
        *flag2 = (packet[14] == 1 && packet[15] == 0) ? 1 : packet[15];
    }
    if (dataLength != nullptr) {
        *dataLength = Load16(packet + 16);
    }
    return 0;
}

} // namespace MiscCommon
