// The five firmware-setup items the setting tools know, their value codes, and the two small
// value types that carry a wanted change (CSetInfo) or a state read (CGetInfo) of one item.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// Item ids. The printed names live with the check tool's report table.
constexpr int ITEM_WLAN = 0;                    // wireless LAN device enabled
constexpr int ITEM_WIRELESS_SWITCH = 1;         // wireless switch enabled (setting 58, bit 0)
constexpr int ITEM_WIRELESS_SWITCH_DISPLAY = 2; // switch display on (setting 58, bit 1 clear)
constexpr int ITEM_SUPERVISOR_PASSWORD = 3;     // a supervisor password is set
constexpr int ITEM_USER_PASSWORD = 4;           // a user password is set

// Value codes. A state read only ever yields VALUE_DISABLE or VALUE_ENABLE.
constexpr int VALUE_DISABLE = 0;
constexpr int VALUE_ENABLE = 1;
constexpr int VALUE_NONE = 2; // leave the item as it is

// Firmware addresses of the items.
constexpr WORD SETUP_ITEM_WLAN = 0x8008;     // setup item of the wireless LAN device
constexpr WORD SETUP_SELECTOR_WLAN = 0;      // its selector
constexpr BYTE SETTING_WIRELESS_SWITCH = 58; // indexed setting of the switch and its display
constexpr WORD PASSWORD_SELECTOR_SUPERVISOR = 0x8000;
constexpr WORD PASSWORD_SELECTOR_USER = 0x0000;

// A wanted change of one item. Copied into lists and passed by value.
class CSetInfo {
public:
    CSetInfo() : _nItem(ITEM_WLAN), _nValue(VALUE_DISABLE) {}
    CSetInfo(int32_t item, int32_t value) : _nItem(item), _nValue(value) {}
    CSetInfo(const CSetInfo&) = default;
    CSetInfo& operator=(const CSetInfo&) = default;
    virtual ~CSetInfo();

    int32_t _nItem;
    int32_t _nValue;
};

// A state read of one item: _nValue is VALUE_DISABLE (off / not set) or VALUE_ENABLE.
class CGetInfo {
public:
    CGetInfo() : _nItem(ITEM_WLAN), _nValue(VALUE_DISABLE) {}
    CGetInfo(int32_t item, int32_t value) : _nItem(item), _nValue(value) {}
    CGetInfo(const CGetInfo&) = default;
    CGetInfo& operator=(const CGetInfo&) = default;
    virtual ~CGetInfo();

    int32_t _nItem;
    int32_t _nValue;
};

// Decoding and encoding of the raw firmware values, shared by the wrapper's item operations.

// The wireless LAN state from the first answer word of its setup item. With bit 8 set the state
// is the low two bits, otherwise bit 0 alone. Returns false for a state other than 0 or 1.
bool DecodeWlanFlags(WORD flags, int32_t& state);

// The switch and display states from the value of setting 58: bit 0 is the switch, bit 1 set
// means the display is off. Returns false for a value of 4 or more.
bool DecodeWirelessSwitchSetting(DWORD value, int32_t& switchState, int32_t& displayState);

// The value to write back to setting 58 for a wanted switch state: bit 0 set or cleared, every
// other bit exactly as read. Any code other than VALUE_ENABLE / VALUE_DISABLE keeps the value.
DWORD ApplyWirelessSwitchValue(DWORD value, int32_t code);
