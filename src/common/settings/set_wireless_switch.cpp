// CMiscFuncWrapper::SetWirelessSwitch: read-modify-write of setting 58, changing bit 0 only.
#include "common/settings/misc_func_wrapper.h"

int32_t CMiscFuncWrapper::SetWirelessSwitch(CSetInfo info) {
    if (_bOpened == 0) {
        return WRAPPER_FAILED;
    }
    if (info._nValue == VALUE_NONE) {
        return WRAPPER_OK;
    }
    BYTE status = 0xFF;
    DWORD value = 0;
    if (_misc.ReadIndexedSetting(&status, SETTING_WIRELESS_SWITCH, &value) !=
            MiscCommon::RESULT_SUCCESS ||
        status != MiscCommon::FIRMWARE_STATUS_DONE) {
        return WRAPPER_FAILED;
    }
    const DWORD indexAndValue[2] = {SETTING_WIRELESS_SWITCH,
                                    ApplyWirelessSwitchValue(value, info._nValue)};
    status = 0xFF;
    if (_misc.WriteIndexedSetting(&status, indexAndValue) != MiscCommon::RESULT_SUCCESS) {
        return WRAPPER_FAILED;
    }
    return status == MiscCommon::FIRMWARE_STATUS_DONE ? WRAPPER_OK : WRAPPER_FAILED;
}
