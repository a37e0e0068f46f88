// CWlanApiWrapper: run-time binding of the Native Wi-Fi client API.
//
// The two service libraries are loaded by bare file name and twenty entry points are looked up
// by name; the binding is all or nothing. Every forwarding operation passes its arguments and
// the service's result through unchanged, and answers ERROR_INVALID_FUNCTION (1) without calling
// anything while the wrapper is not loaded, so a caller that ignores a failed Load fails cleanly
// instead of calling through a null pointer.
#pragma once

#include <cstddef>
#include <tuple>

#include "platform/win32.h"

namespace sundrel_detail {

// The type of parameter I of a function pointer type, as the platform header declares it.
template <typename F> struct FunctionTraits;
template <typename R, typename... A> struct FunctionTraits<R (*)(A...)> {
    template <std::size_t I> using Arg = std::tuple_element_t<I, std::tuple<A...>>;
};

} // namespace sundrel_detail

// The reason-code out-parameter of "WlanUIEditProfile" exactly as the platform header types it
// (the SDK headers in circulation do not all agree on it).
using WlanUiReasonCodeOut = sundrel_detail::FunctionTraits<decltype(&::WlanUIEditProfile)>::Arg<6>;

class CWlanApiWrapper {
public:
    // The entry table, in field order. Each pointer has the exact type of its entry point.
    struct EntryTable {
        decltype(&::WlanOpenHandle) pfnWlanOpenHandle;
        decltype(&::WlanCloseHandle) pfnWlanCloseHandle;
        decltype(&::WlanFreeMemory) pfnWlanFreeMemory;
        decltype(&::WlanEnumInterfaces) pfnWlanEnumInterfaces;
        decltype(&::WlanConnect) pfnWlanConnect;
        decltype(&::WlanDisconnect) pfnWlanDisconnect;
        decltype(&::WlanGetAvailableNetworkList) pfnWlanGetAvailableNetworkList;
        decltype(&::WlanGetNetworkBssList) pfnWlanGetNetworkBssList;
        decltype(&::WlanQueryInterface) pfnWlanQueryInterface;
        decltype(&::WlanSetInterface) pfnWlanSetInterface;
        decltype(&::WlanScan) pfnWlanScan;
        decltype(&::WlanGetProfile) pfnWlanGetProfile;
        decltype(&::WlanGetProfileList) pfnWlanGetProfileList;
        decltype(&::WlanSetProfile) pfnWlanSetProfile;
        decltype(&::WlanDeleteProfile) pfnWlanDeleteProfile;
        decltype(&::WlanRegisterNotification) pfnWlanRegisterNotification;
        decltype(&::WlanHostedNetworkQueryStatus) pfnWlanHostedNetworkQueryStatus;
        decltype(&::WlanGetInterfaceCapability) pfnWlanGetInterfaceCapability;
        decltype(&::WlanUIEditProfile) pfnWlanUIEditProfile;
        decltype(&::WlanSaveTemporaryProfile) pfnWlanSaveTemporaryProfile;
    };

    CWlanApiWrapper();
    CWlanApiWrapper(const CWlanApiWrapper&) = delete;
    CWlanApiWrapper& operator=(const CWlanApiWrapper&) = delete;

    // Clears _bLoaded, then unloads.
    virtual ~CWlanApiWrapper();

    // Forwarding operations, one per entry point, in entry-table order.
    virtual DWORD WlanOpenHandle(DWORD dwClientVersion, PVOID pReserved,
                                 PDWORD pdwNegotiatedVersion, PHANDLE phClientHandle);
    virtual DWORD WlanCloseHandle(HANDLE hClientHandle, PVOID pReserved);
    virtual VOID WlanFreeMemory(PVOID pMemory);
    virtual DWORD WlanEnumInterfaces(HANDLE hClientHandle, PVOID pReserved,
                                     PWLAN_INTERFACE_INFO_LIST* ppInterfaceList);
    virtual DWORD WlanConnect(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                              const PWLAN_CONNECTION_PARAMETERS pConnectionParameters,
                              PVOID pReserved);
    virtual DWORD WlanDisconnect(HANDLE hClientHandle, const GUID* pInterfaceGuid, PVOID pReserved);
    virtual DWORD WlanGetAvailableNetworkList(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                              DWORD dwFlags, PVOID pReserved,
                                              PWLAN_AVAILABLE_NETWORK_LIST* ppAvailableNetworkList);
    virtual DWORD WlanGetNetworkBssList(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                        const PDOT11_SSID pDot11Ssid, DOT11_BSS_TYPE dot11BssType,
                                        BOOL bSecurityEnabled, PVOID pReserved,
                                        PWLAN_BSS_LIST* ppWlanBssList);
    virtual DWORD WlanQueryInterface(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                     WLAN_INTF_OPCODE OpCode, PVOID pReserved, PDWORD pdwDataSize,
                                     PVOID* ppData, PWLAN_OPCODE_VALUE_TYPE pWlanOpcodeValueType);
    virtual DWORD WlanSetInterface(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                   WLAN_INTF_OPCODE OpCode, DWORD dwDataSize, const PVOID pData,
                                   PVOID pReserved);
    virtual DWORD WlanScan(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                           const PDOT11_SSID pDot11Ssid, const PWLAN_RAW_DATA pIeData,
                           PVOID pReserved);
    virtual DWORD WlanGetProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                 LPCWSTR strProfileName, PVOID pReserved, LPWSTR* pstrProfileXml,
                                 DWORD* pdwFlags, PDWORD pdwGrantedAccess);
    virtual DWORD WlanGetProfileList(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                     PVOID pReserved, PWLAN_PROFILE_INFO_LIST* ppProfileList);
    virtual DWORD WlanSetProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid, DWORD dwFlags,
                                 LPCWSTR strProfileXml, LPCWSTR strAllUserProfileSecurity,
                                 BOOL bOverwrite, PVOID pReserved, DWORD* pdwReasonCode);
    virtual DWORD WlanDeleteProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                    LPCWSTR strProfileName, PVOID pReserved);
    virtual DWORD WlanRegisterNotification(HANDLE hClientHandle, DWORD dwNotifSource,
                                           BOOL bIgnoreDuplicate,
                                           WLAN_NOTIFICATION_CALLBACK funcCallback,
                                           PVOID pCallbackContext, PVOID pReserved,
                                           PDWORD pdwPrevNotifSource);
    virtual DWORD
    WlanHostedNetworkQueryStatus(HANDLE hClientHandle,
                                 PWLAN_HOSTED_NETWORK_STATUS* ppWlanHostedNetworkStatus,
                                 PVOID pvReserved);
    virtual DWORD WlanGetInterfaceCapability(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                             PVOID pReserved,
                                             PWLAN_INTERFACE_CAPABILITY* ppCapability);
    virtual DWORD WlanUIEditProfile(DWORD dwClientVersion, LPCWSTR wstrProfileName,
                                    GUID* pInterfaceGuid, HWND hWnd, WL_DISPLAY_PAGES wlStartPage,
                                    PVOID pReserved, WlanUiReasonCodeOut pWlanReasonCode);
    virtual DWORD WlanSaveTemporaryProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                           LPCWSTR strProfileName,
                                           LPCWSTR strAllUserProfileSecurity, DWORD dwFlags,
                                           BOOL bOverWrite, PVOID pReserved);

    // 1 when this call loaded both libraries and bound all twenty entry points. 0 on any
    // failure (nothing is then held) and when already loaded (the binding is left as it is).
    INT Load();

    // Clears the entry table and frees both libraries, the UI library first. Leaves _bLoaded
    // alone: callers clear it first, so no forwarding call goes through a half-cleared table.
    void Unload();

    // The fields are open to the owner, which clears _bLoaded itself before Unload.
    INT _bLoaded;
    HMODULE _hWlanApi;
    HMODULE _hWlanUi;
    EntryTable _entries;
};
