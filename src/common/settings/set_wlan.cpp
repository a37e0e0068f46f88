// CMiscFuncWrapper::SetWlan: switches the wireless LAN device through its setup item.
#include "common/settings/misc_func_wrapper.h"

int32_t CMiscFuncWrapper::SetWlan(CSetInfo info) {
    if (_bOpened == 0) {
        return WRAPPER_FAILED;
    }
    if (info._nValue == VALUE_NONE) {
        return WRAPPER_OK;
    }
    const WORD value = info._nValue == VALUE_ENABLE ? 1 : 0;
    BYTE status = 0xFF;
    if (_misc.SetSetupItem(&status, SETUP_ITEM_WLAN, SETUP_SELECTOR_WLAN, value) !=
        MiscCommon::RESULT_SUCCESS) {
        return WRAPPER_FAILED;
    }
    return status == MiscCommon::FIRMWARE_STATUS_DONE ? WRAPPER_OK : WRAPPER_FAILED;
}
