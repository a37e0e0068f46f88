// CMiscFuncWrapper::GetWlan: reads the wireless LAN device's state from its setup item.
#include <new>

#include "common/settings/misc_func_wrapper.h"

int32_t CMiscFuncWrapper::GetWlan(std::vector<CGetInfo>& list) {
    if (_bOpened == 0) {
        return WRAPPER_FAILED;
    }
    BYTE status = 0xFF;
    WORD flags = 0;
    WORD word2 = 0;
    WORD word3 = 0;
    WORD word4 = 0;
    // The item carries no data area: the length-by-value form with length 0.
    if (_misc.GetSetupItem(&status, SETUP_ITEM_WLAN, SETUP_SELECTOR_WLAN, &flags, &word2, &word3,
                           &word4, nullptr, static_cast<WORD>(0)) != MiscCommon::RESULT_SUCCESS ||
        status != MiscCommon::FIRMWARE_STATUS_DONE) {
        return WRAPPER_FAILED;
    }
    int32_t state = 0;
    if (!DecodeWlanFlags(flags, state)) {
        return WRAPPER_FAILED;
    }
    try {
        list.push_back(CGetInfo(ITEM_WLAN, state));
    } catch (const std::bad_alloc&) {
        return WRAPPER_FAILED;
    }
    return WRAPPER_OK;
}
