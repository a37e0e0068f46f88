// CMiscFuncWrapper: owns one driver channel, opens and closes it, and turns each read or write
// of a setting item into the channel's firmware requests.
//
// Every operation returns 0 for success and 1 for failure; Open also returns 2 when the driver
// was not found or refused the authentication (the channel's code 6). Item operations need an
// open wrapper and send nothing otherwise. The channel's own failure text is never read here.
//
// The operations live in separate source files so that each tool links only those it calls.
#pragma once

#include <cstdint>
#include <vector>

#include "common/channel/misc_common.h"
#include "common/settings/setting_items.h"

class CMiscFuncWrapper {
public:
    CMiscFuncWrapper();
    virtual ~CMiscFuncWrapper();
    CMiscFuncWrapper(const CMiscFuncWrapper&) = delete;
    CMiscFuncWrapper& operator=(const CMiscFuncWrapper&) = delete;

    int32_t Open();
    void Close();

    int32_t SetWlan(CSetInfo info);
    int32_t SetWirelessSwitch(CSetInfo info);

    // Append to the caller's list only on success: one item, or both of a pair.
    int32_t GetWlan(std::vector<CGetInfo>& list);
    int32_t GetWirelessSwitch(std::vector<CGetInfo>& list);
    int32_t GetPasswords(std::vector<CGetInfo>& list);

    bool IsOpened() const { return _bOpened != 0; }

private:
    int32_t _ReadPasswordState(WORD length, bool supervisor, CGetInfo& info);

    int32_t _bOpened;
    MiscCommon::CMiscCommon _misc;
};

// Result codes of the wrapper.
constexpr int32_t WRAPPER_OK = 0;
constexpr int32_t WRAPPER_FAILED = 1;
constexpr int32_t WRAPPER_NO_DRIVER = 2; // Open only: driver absent or authentication failed
