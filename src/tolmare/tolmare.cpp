// tolmare's run and report.
#include "tolmare/tolmare.h"

#include "common/settings/misc_func_wrapper.h"
#include "platform/win32.h"

namespace tolmare {

namespace {

struct ReportRow {
    int32_t item;
    const wchar_t* name;
    int32_t bit;
};

constexpr ReportRow REPORT_TABLE[] = {
    {ITEM_WLAN, L"WLAN", BIT_WLAN},
    {ITEM_WIRELESS_SWITCH, L"WirelessSwitch", BIT_WIRELESS_SWITCH},
    {ITEM_WIRELESS_SWITCH_DISPLAY, L"WirelessSwitchDisplay", BIT_WIRELESS_SWITCH_DISPLAY},
    {ITEM_SUPERVISOR_PASSWORD, L"SupervisorPassword", BIT_SUPERVISOR_PASSWORD},
    {ITEM_USER_PASSWORD, L"UserPassword", BIT_USER_PASSWORD},
};

const ReportRow* FindRow(int32_t item) {
    for (const ReportRow& row : REPORT_TABLE) {
        if (row.item == item) {
            return &row;
        }
    }
    return nullptr;
}

} // namespace

int32_t PrintReport(const std::vector<CGetInfo>& readings) {
    ConsolePrintW(L"tolmare[SUCCESS]\r\n");
    int32_t mask = 0;
    for (const CGetInfo& reading : readings) {
        const ReportRow* row = FindRow(reading._nItem);
        if (row == nullptr) {
            continue;
        }
        const bool on = reading._nValue == VALUE_ENABLE;
        if (on) {
            mask |= row->bit;
        }
        ConsolePrintW(L"%ls[%ls]\r\n", row->name, on ? L"ENABLE" : L"DISABLE");
    }
    return mask;
}

int32_t Run() {
    std::vector<CGetInfo> readings;
    CMiscFuncWrapper wrapper;
    const int32_t opened = wrapper.Open();
    if (opened != WRAPPER_OK) {
        ConsolePrintW(L"tolmare[FAILURE]\r\n");
        return opened == WRAPPER_NO_DRIVER ? EXIT_NO_DRIVER : EXIT_FAILED;
    }
    // Each read only after the one before it succeeded; partial readings are never printed.
    const bool read = wrapper.GetWlan(readings) == WRAPPER_OK &&
                      wrapper.GetWirelessSwitch(readings) == WRAPPER_OK &&
                      wrapper.GetPasswords(readings) == WRAPPER_OK;
    wrapper.Close();
    if (!read) {
        ConsolePrintW(L"tolmare[FAILURE]\r\n");
        return EXIT_FAILED;
    }
    return PrintReport(readings);
}

} // namespace tolmare
