// CWlanApiWrapper: loads "WlanApi.dll" and "WlanUi.dll" at run time, binds the twenty entry
// points all or nothing, and forwards each call through its entry-table pointer (or answers
// ERROR_INVALID_FUNCTION while nothing is bound).
#include "sundrel/wlan_api_wrapper.h"

namespace {

const wchar_t kWlanApiLibrary[] = L"WlanApi.dll";
const wchar_t kWlanUiLibrary[] = L"WlanUi.dll";

// Looks `name` up in `module` and stores it, typed, in `entry`. False when it is not exported.
template <typename Fn> bool BindEntry(HMODULE module, const char* name, Fn& entry) {
    FARPROC address = ::GetProcAddress(module, name);
    // Through the generic function-pointer type, which converts to any function pointer.
    entry = reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(address));
    return entry != nullptr;
}

} // namespace

CWlanApiWrapper::CWlanApiWrapper()
    : _bLoaded(0), _hWlanApi(nullptr), _hWlanUi(nullptr), _entries{} {}

CWlanApiWrapper::~CWlanApiWrapper() {
    _bLoaded = 0;
    Unload();
}

INT CWlanApiWrapper::Load() {
    if (_bLoaded == 1) {
        return 0;
    }
    // Both loads are attempted before either result is looked at.
    _hWlanApi = ::LoadLibraryW(kWlanApiLibrary);
    _hWlanUi = ::LoadLibraryW(kWlanUiLibrary);

    // Bind-step order: every "WlanApi.dll" entry, save-temporary last among them, then the one
    // entry of "WlanUi.dll". The first entry point not found stops the lookups.
    EntryTable& e = _entries;
    const HMODULE api = _hWlanApi;
    const bool bound =
        _hWlanApi != nullptr && _hWlanUi != nullptr &&
        BindEntry(api, "WlanOpenHandle", e.pfnWlanOpenHandle) &&
        BindEntry(api, "WlanCloseHandle", e.pfnWlanCloseHandle) &&
        BindEntry(api, "WlanFreeMemory", e.pfnWlanFreeMemory) &&
        BindEntry(api, "WlanEnumInterfaces", e.pfnWlanEnumInterfaces) &&
        BindEntry(api, "WlanConnect", e.pfnWlanConnect) &&
        BindEntry(api, "WlanDisconnect", e.pfnWlanDisconnect) &&
        BindEntry(api, "WlanGetAvailableNetworkList", e.pfnWlanGetAvailableNetworkList) &&
        BindEntry(api, "WlanGetNetworkBssList", e.pfnWlanGetNetworkBssList) &&
        BindEntry(api, "WlanQueryInterface", e.pfnWlanQueryInterface) &&
        BindEntry(api, "WlanSetInterface", e.pfnWlanSetInterface) &&
        BindEntry(api, "WlanScan", e.pfnWlanScan) &&
        BindEntry(api, "WlanGetProfile", e.pfnWlanGetProfile) &&
        BindEntry(api, "WlanGetProfileList", e.pfnWlanGetProfileList) &&
        BindEntry(api, "WlanSetProfile", e.pfnWlanSetProfile) &&
        BindEntry(api, "WlanDeleteProfile", e.pfnWlanDeleteProfile) &&
        BindEntry(api, "WlanRegisterNotification", e.pfnWlanRegisterNotification) &&
        BindEntry(api, "WlanHostedNetworkQueryStatus", e.pfnWlanHostedNetworkQueryStatus) &&
        BindEntry(api, "WlanGetInterfaceCapability", e.pfnWlanGetInterfaceCapability) &&
        BindEntry(api, "WlanSaveTemporaryProfile", e.pfnWlanSaveTemporaryProfile) &&
        BindEntry(_hWlanUi, "WlanUIEditProfile", e.pfnWlanUIEditProfile);
    if (bound) {
        _bLoaded = 1;
        return 1;
    }
    Unload();
    _bLoaded = 0;
    return 0;
}

void CWlanApiWrapper::Unload() {
    _entries = EntryTable{};
    if (_hWlanUi != nullptr) {
        ::FreeLibrary(_hWlanUi);
        _hWlanUi = nullptr;
    }
    if (_hWlanApi != nullptr) {
        ::FreeLibrary(_hWlanApi);
        _hWlanApi = nullptr;
    }
}

// Each forwarding operation: not loaded or not bound gives ERROR_INVALID_FUNCTION, otherwise
// the entry point's own result.
#define NWT_FORWARD(entry, ...)                                                                    \
    do {                                                                                           \
        if (_bLoaded == 0 || _entries.entry == nullptr) {                                          \
            return ERROR_INVALID_FUNCTION;                                                         \
        }                                                                                          \
        return _entries.entry(__VA_ARGS__);                                                        \
    } while (0)

DWORD CWlanApiWrapper::WlanOpenHandle(DWORD dwClientVersion, PVOID pReserved,
                                      PDWORD pdwNegotiatedVersion, PHANDLE phClientHandle) {
    NWT_FORWARD(pfnWlanOpenHandle, dwClientVersion, pReserved, pdwNegotiatedVersion,
                phClientHandle);
}

DWORD CWlanApiWrapper::WlanCloseHandle(HANDLE hClientHandle, PVOID pReserved) {
    NWT_FORWARD(pfnWlanCloseHandle, hClientHandle, pReserved);
}

VOID CWlanApiWrapper::WlanFreeMemory(PVOID pMemory) {
    // Unbound: the memory stays allocated rather than going anywhere unknown.
    if (_bLoaded == 0 || _entries.pfnWlanFreeMemory == nullptr) {
        return;
    }
    _entries.pfnWlanFreeMemory(pMemory);
}

DWORD CWlanApiWrapper::WlanEnumInterfaces(HANDLE hClientHandle, PVOID pReserved,
                                          PWLAN_INTERFACE_INFO_LIST* ppInterfaceList) {
    NWT_FORWARD(pfnWlanEnumInterfaces, hClientHandle, pReserved, ppInterfaceList);
}

DWORD CWlanApiWrapper::WlanConnect(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                   const PWLAN_CONNECTION_PARAMETERS pConnectionParameters,
                                   PVOID pReserved) {
    NWT_FORWARD(pfnWlanConnect, hClientHandle, pInterfaceGuid, pConnectionParameters, pReserved);
}

DWORD CWlanApiWrapper::WlanDisconnect(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                      PVOID pReserved) {
    NWT_FORWARD(pfnWlanDisconnect, hClientHandle, pInterfaceGuid, pReserved);
}

DWORD CWlanApiWrapper::WlanGetAvailableNetworkList(
    HANDLE hClientHandle, const GUID* pInterfaceGuid, DWORD dwFlags, PVOID pReserved,
    PWLAN_AVAILABLE_NETWORK_LIST* ppAvailableNetworkList) {
    NWT_FORWARD(pfnWlanGetAvailableNetworkList, hClientHandle, pInterfaceGuid, dwFlags, pReserved,
                ppAvailableNetworkList);
}

DWORD CWlanApiWrapper::WlanGetNetworkBssList(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                             const PDOT11_SSID pDot11Ssid,
                                             DOT11_BSS_TYPE dot11BssType, BOOL bSecurityEnabled,
                                             PVOID pReserved, PWLAN_BSS_LIST* ppWlanBssList) {
    NWT_FORWARD(pfnWlanGetNetworkBssList, hClientHandle, pInterfaceGuid, pDot11Ssid, dot11BssType,
                bSecurityEnabled, pReserved, ppWlanBssList);
}

DWORD CWlanApiWrapper::WlanQueryInterface(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                          WLAN_INTF_OPCODE OpCode, PVOID pReserved,
                                          PDWORD pdwDataSize, PVOID* ppData,
                                          PWLAN_OPCODE_VALUE_TYPE pWlanOpcodeValueType) {
    NWT_FORWARD(pfnWlanQueryInterface, hClientHandle, pInterfaceGuid, OpCode, pReserved,
                pdwDataSize, ppData, pWlanOpcodeValueType);
}

DWORD CWlanApiWrapper::WlanSetInterface(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                        WLAN_INTF_OPCODE OpCode, DWORD dwDataSize,
                                        const PVOID pData, PVOID pReserved) {
    NWT_FORWARD(pfnWlanSetInterface, hClientHandle, pInterfaceGuid, OpCode, dwDataSize, pData,
                pReserved);
}

DWORD CWlanApiWrapper::WlanScan(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                const PDOT11_SSID pDot11Ssid, const PWLAN_RAW_DATA pIeData,
                                PVOID pReserved) {
    NWT_FORWARD(pfnWlanScan, hClientHandle, pInterfaceGuid, pDot11Ssid, pIeData, pReserved);
}

DWORD CWlanApiWrapper::WlanGetProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                      LPCWSTR strProfileName, PVOID pReserved,
                                      LPWSTR* pstrProfileXml, DWORD* pdwFlags,
                                      PDWORD pdwGrantedAccess) {
    NWT_FORWARD(pfnWlanGetProfile, hClientHandle, pInterfaceGuid, strProfileName, pReserved,
                pstrProfileXml, pdwFlags, pdwGrantedAccess);
}

DWORD CWlanApiWrapper::WlanGetProfileList(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                          PVOID pReserved, PWLAN_PROFILE_INFO_LIST* ppProfileList) {
    NWT_FORWARD(pfnWlanGetProfileList, hClientHandle, pInterfaceGuid, pReserved, ppProfileList);
}

DWORD CWlanApiWrapper::WlanSetProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                      DWORD dwFlags, LPCWSTR strProfileXml,
                                      LPCWSTR strAllUserProfileSecurity, BOOL bOverwrite,
                                      PVOID pReserved, DWORD* pdwReasonCode) {
    NWT_FORWARD(pfnWlanSetProfile, hClientHandle, pInterfaceGuid, dwFlags, strProfileXml,
                strAllUserProfileSecurity, bOverwrite, pReserved, pdwReasonCode);
}

DWORD CWlanApiWrapper::WlanDeleteProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                         LPCWSTR strProfileName, PVOID pReserved) {
    NWT_FORWARD(pfnWlanDeleteProfile, hClientHandle, pInterfaceGuid, strProfileName, pReserved);
}

DWORD CWlanApiWrapper::WlanRegisterNotification(HANDLE hClientHandle, DWORD dwNotifSource,
                                                BOOL bIgnoreDuplicate,
                                                WLAN_NOTIFICATION_CALLBACK funcCallback,
                                                PVOID pCallbackContext, PVOID pReserved,
                                                PDWORD pdwPrevNotifSource) {
    NWT_FORWARD(pfnWlanRegisterNotification, hClientHandle, dwNotifSource, bIgnoreDuplicate,
                funcCallback, pCallbackContext, pReserved, pdwPrevNotifSource);
}

DWORD CWlanApiWrapper::WlanHostedNetworkQueryStatus(
    HANDLE hClientHandle, PWLAN_HOSTED_NETWORK_STATUS* ppWlanHostedNetworkStatus,
    PVOID pvReserved) {
    NWT_FORWARD(pfnWlanHostedNetworkQueryStatus, hClientHandle, ppWlanHostedNetworkStatus,
                pvReserved);
}

DWORD CWlanApiWrapper::WlanGetInterfaceCapability(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                                  PVOID pReserved,
                                                  PWLAN_INTERFACE_CAPABILITY* ppCapability) {
    NWT_FORWARD(pfnWlanGetInterfaceCapability, hClientHandle, pInterfaceGuid, pReserved,
                ppCapability);
}

DWORD CWlanApiWrapper::WlanUIEditProfile(DWORD dwClientVersion, LPCWSTR wstrProfileName,
                                         GUID* pInterfaceGuid, HWND hWnd,
                                         WL_DISPLAY_PAGES wlStartPage, PVOID pReserved,
                                         WlanUiReasonCodeOut pWlanReasonCode) {
    NWT_FORWARD(pfnWlanUIEditProfile, dwClientVersion, wstrProfileName, pInterfaceGuid, hWnd,
                wlStartPage, pReserved, pWlanReasonCode);
}

DWORD CWlanApiWrapper::WlanSaveTemporaryProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                                LPCWSTR strProfileName,
                                                LPCWSTR strAllUserProfileSecurity, DWORD dwFlags,
                                                BOOL bOverWrite, PVOID pReserved) {
    NWT_FORWARD(pfnWlanSaveTemporaryProfile, hClientHandle, pInterfaceGuid, strProfileName,
                strAllUserProfileSecurity, dwFlags, bOverWrite, pReserved);
}

#undef NWT_FORWARD
