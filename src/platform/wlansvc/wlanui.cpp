// "WlanUi.dll" of the simulated notebook: its one entry point, WlanUIEditProfile.
//
// The simulated notebook has no display and the service holds no profiles, so a well-formed
// request is answered ERROR_NOT_SUPPORTED with an unknown reason code; malformed requests get
// ERROR_INVALID_PARAMETER, an unsupported UI version ERROR_NOT_SUPPORTED.
#include <tuple>

#include "common.h"

using wlansvc::GuidField;

namespace {

// The reason-code out-parameter exactly as the platform header types it. MinGW-w64's header
// declares it one pointer level deeper than the published PWLAN_REASON_CODE; both are the same
// pointer at the call, so the export matches whichever header declares it.
template <class F> struct ReasonParameter;
template <class R, class... A> struct ReasonParameter<R (*)(A...)> {
    using Type = std::tuple_element_t<6, std::tuple<A...>>;
};
using ReasonOut = ReasonParameter<decltype(&::WlanUIEditProfile)>::Type;

} // namespace

extern "C" DWORD WINAPI WlanUIEditProfile(DWORD dwClientVersion, LPCWSTR wstrProfileName,
                                          GUID* pInterfaceGuid, HWND hWnd,
                                          WL_DISPLAY_PAGES wlStartPage, PVOID pReserved,
                                          ReasonOut reasonOut) {
    auto* pWlanReasonCode = reinterpret_cast<PWLAN_REASON_CODE>(reasonOut);
    (void)hWnd;
    // A well-formed request of this version for a known interface is still not supported.
    DWORD status = ERROR_NOT_SUPPORTED;
    if (wstrProfileName == nullptr || pInterfaceGuid == nullptr || pReserved != nullptr ||
        wlStartPage < WLConnectionPage || wlStartPage > WLAdvPage ||
        (dwClientVersion == WLAN_UI_API_VERSION &&
         wlansvc::FindInterface(simbook::CurrentMachine(), pInterfaceGuid) == nullptr)) {
        status = ERROR_INVALID_PARAMETER;
    }
    if (status != ERROR_INVALID_PARAMETER && pWlanReasonCode != nullptr) {
        *pWlanReasonCode = wlansvc::kReasonUnknown;
    }
    wlansvc::TraceCall("WlanUIEditProfile",
                       {{"client_version", dwClientVersion},
                        {"interface", GuidField(pInterfaceGuid)},
                        {"start_page", static_cast<int>(wlStartPage)}},
                       status);
    return status;
}

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    return wlansvc::LoaderEvent(reason, reserved, "wlanui.dll", &simbook::Machine::Wlan::uiLibrary);
}
#endif
