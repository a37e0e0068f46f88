// The item value types and the decoding of the raw firmware values.
#include "common/settings/setting_items.h"

CSetInfo::~CSetInfo() {}

CGetInfo::~CGetInfo() {}

bool DecodeWlanFlags(WORD flags, int32_t& state) {
    const int32_t s = (flags & 0x0100) != 0 ? (flags & 3) : (flags & 1);
    if (s != VALUE_DISABLE && s != VALUE_ENABLE) {
        return false;
    }
    state = s;
    return true;
}

bool DecodeWirelessSwitchSetting(DWORD value, int32_t& switchState, int32_t& displayState) {
    if (value > 3) {
        return false;
    }
    switchState = (value & 1) != 0 ? VALUE_ENABLE : VALUE_DISABLE;
    displayState = (value & 2) != 0 ? VALUE_DISABLE : VALUE_ENABLE;
    return true;
}

DWORD ApplyWirelessSwitchValue(DWORD value, int32_t code) {
    if (code == VALUE_ENABLE) {
        return value | 1u;
    }
    if (code == VALUE_DISABLE) {
        return value & ~1u;
    }
    return value;
}
