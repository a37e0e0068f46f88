// CWlanApiSmartWrapper: one client of the wireless service on one selected interface.
//
// It owns the run-time binding, the client handle and the selected interface GUID, fills the
// client handle, the interface and null reserved parameters into every call, and registers one
// notification callback that hands each record to its listener. Forwarding operations answer
// ERROR_INVALID_FUNCTION (1) without calling anything while the wrapper is not open.
//
// Threads: the owner's thread opens, registers, calls and closes; the service's own thread runs
// NotificationCallback and the listener. That thread only reads _pListener (fixed for the
// object's life) and the record it is given. Close removes the registration before it closes
// the handle, and the destructor closes before the object goes away.
#pragma once

#include "platform/win32.h"
#include "sundrel/wlan_api_listener.h"
#include "sundrel/wlan_api_wrapper.h"

// Client versions asked of the service (API version 2) and of its profile UI (UI version 1);
// not every SDK header names them.
constexpr DWORD kWlanClientVersion = 2;
constexpr DWORD kWlanUiClientVersion = 1;

class CWlanApiSmartWrapper {
public:
    // Loads nothing and opens nothing. The listener is not owned and may be null.
    explicit CWlanApiSmartWrapper(IWlanApiSmartWrapperListener* pListener);
    CWlanApiSmartWrapper(const CWlanApiSmartWrapper&) = delete;
    CWlanApiSmartWrapper& operator=(const CWlanApiSmartWrapper&) = delete;

    // Closes, then the binding unloads.
    virtual ~CWlanApiSmartWrapper();

    // 1 when the wrapper is now open with a client handle; 0 when it already was open (the
    // first opening stays) or when loading or opening failed (nothing is then held).
    virtual INT Open();
    // Unregisters, closes the handle, clears the interface and unloads. Harmless when closed.
    virtual void Close();

    virtual void FreeMemory(PVOID pMemory);
    virtual DWORD EnumInterfaces(PWLAN_INTERFACE_INFO_LIST* ppInterfaceList);
    virtual DWORD Connect(const PWLAN_CONNECTION_PARAMETERS pConnectionParameters);
    virtual DWORD Disconnect();
    virtual DWORD GetAvailableNetworkList(DWORD dwFlags,
                                          PWLAN_AVAILABLE_NETWORK_LIST* ppAvailableNetworkList);
    virtual DWORD GetNetworkBssList(const PDOT11_SSID pDot11Ssid, DOT11_BSS_TYPE dot11BssType,
                                    BOOL bSecurityEnabled, PWLAN_BSS_LIST* ppWlanBssList);
    virtual DWORD QueryInterface(WLAN_INTF_OPCODE OpCode, PDWORD pdwDataSize, PVOID* ppData,
                                 PWLAN_OPCODE_VALUE_TYPE pWlanOpcodeValueType);
    virtual DWORD SetInterface(WLAN_INTF_OPCODE OpCode, DWORD dwDataSize, const PVOID pData);
    // Sets the radio state through SetInterface (radio-state opcode, the 12-byte record).
    virtual DWORD SetRadioState(const WLAN_PHY_RADIO_STATE& radioState);
    virtual DWORD Scan(const PDOT11_SSID pDot11Ssid, const PWLAN_RAW_DATA pIeData);
    virtual DWORD GetProfile(LPCWSTR strProfileName, LPWSTR* pstrProfileXml, DWORD* pdwFlags,
                             PDWORD pdwGrantedAccess);
    virtual DWORD GetProfileList(PWLAN_PROFILE_INFO_LIST* ppProfileList);
    virtual DWORD SetProfile(DWORD dwFlags, LPCWSTR strProfileXml,
                             LPCWSTR strAllUserProfileSecurity, BOOL bOverwrite,
                             DWORD* pdwReasonCode);
    virtual DWORD DeleteProfile(LPCWSTR strProfileName);
    // Source 0 unregisters (always attempted); any other source registers NotificationCallback
    // with this object as context, unless already registered (then 1, the first one stays).
    virtual DWORD RegisterNotification(DWORD dwNotifSource, BOOL bIgnoreDuplicate,
                                       PDWORD pdwPrevNotifSource);
    virtual DWORD HostedNetworkQueryStatus(PWLAN_HOSTED_NETWORK_STATUS* ppWlanHostedNetworkStatus);
    virtual DWORD GetInterfaceCapability(PWLAN_INTERFACE_CAPABILITY* ppCapability);
    virtual DWORD UIEditProfile(LPCWSTR wstrProfileName, HWND hWnd, WL_DISPLAY_PAGES wlStartPage,
                                WlanUiReasonCodeOut pWlanReasonCode);
    virtual DWORD SaveTemporaryProfile(LPCWSTR strProfileName, LPCWSTR strAllUserProfileSecurity,
                                       DWORD dwFlags, BOOL bOverWrite);
    virtual DWORD GetNegotiatedVersion();
    // Selects the interface for every later call; works open or closed. Returns 1.
    virtual INT SetInterfaceGuid(const GUID& interfaceGuid);
    virtual const GUID* GetInterfaceGuid();
    // Hands the record to the listener; dropped when there is none.
    virtual void DispatchNotification(PWLAN_NOTIFICATION_DATA pData);

    INT _bOpened;
    HANDLE _hClient;
    DWORD _dwClientVersion;
    DWORD _dwUiVersion;
    DWORD _dwNegotiatedVersion;
    CWlanApiWrapper _wlanApi;
    GUID _interfaceGuid;
    INT _bRegistered;
    IWlanApiSmartWrapperListener* const _pListener;
};

// The callback registered with the service: `pContext` is the registering CWlanApiSmartWrapper.
VOID WINAPI NotificationCallback(PWLAN_NOTIFICATION_DATA pData, PVOID pContext);
