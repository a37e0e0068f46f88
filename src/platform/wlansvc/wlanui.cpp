// "WlanUi.dll" of the simulated notebook: its one entry point, WlanUIEditProfile.
//
// The simulated notebook has no display and the service holds no profiles, so a well-formed
// request is answered ERROR_NOT_SUPPORTED with an unknown reason code; malformed requests get
// ERROR_INVALID_PARAMETER, an unsupported UI version ERROR_NOT_SUPPORTED.
#include "common.h"

using simbook::wlan::GuidField;

extern "C" DWORD WINAPI WlanUIEditProfile(DWORD dwClientVersion, LPCWSTR wstrProfileName,
                                          GUID* pInterfaceGuid, HWND hWnd,
                                          WL_DISPLAY_PAGES wlStartPage, PVOID pReserved,
                                          PWLAN_REASON_CODE pWlanReasonCode) {
    (void)hWnd;
    DWORD status = ERROR_NOT_SUPPORTED;
    if (wstrProfileName == nullptr || pInterfaceGuid == nullptr || pReserved != nullptr ||
        wlStartPage < WLConnectionPage || wlStartPage > WLAdvPage) {
        status = ERROR_INVALID_PARAMETER;
    } else if (dwClientVersion != WLAN_UI_API_VERSION) {
        status = ERROR_NOT_SUPPORTED;
    } else if (simbook::wlan::FindInterface(simbook::CurrentMachine(), pInterfaceGuid) == nullptr) {
        status = ERROR_INVALID_PARAMETER;
    }
    if (status != ERROR_INVALID_PARAMETER && pWlanReasonCode != nullptr) {
        *pWlanReasonCode = simbook::wlan::kReasonUnknown;
    }
    simbook::wlan::TraceCall("WlanUIEditProfile",
                             {{"client_version", dwClientVersion},
                              {"interface", GuidField(pInterfaceGuid)},
                              {"start_page", static_cast<int>(wlStartPage)}},
                             status);
    return status;
}
