// CMiscFuncWrapper::GetWirelessSwitch: reads setting 58 as the switch and display items.
#include <new>
#include <stdexcept>

#include "common/settings/misc_func_wrapper.h"

int32_t CMiscFuncWrapper::GetWirelessSwitch(std::vector<CGetInfo>& list) {
    if (_bOpened == 0) {
        return WRAPPER_FAILED;
    }
    BYTE status = 0xFF;
    DWORD value = 0;
    if (_misc.ReadIndexedSetting(&status, SETTING_WIRELESS_SWITCH, &value) !=
            MiscCommon::RESULT_SUCCESS ||
        status != MiscCommon::FIRMWARE_STATUS_DONE) {
        return WRAPPER_FAILED;
    }
    int32_t switchState = 0;
    int32_t displayState = 0;
    if (!DecodeWirelessSwitchSetting(value, switchState, displayState)) {
        return WRAPPER_FAILED;
    }
    // Both items or neither: reserve first so the second append cannot fail after the first.
    try {
        list.reserve(list.size() + 2);
        list.push_back(CGetInfo(ITEM_WIRELESS_SWITCH, switchState));
        list.push_back(CGetInfo(ITEM_WIRELESS_SWITCH_DISPLAY, displayState));
    } catch (const std::bad_alloc&) {
        return WRAPPER_FAILED;
    } catch (const std::length_error&) {
        return WRAPPER_FAILED;
    }
    return WRAPPER_OK;
}
