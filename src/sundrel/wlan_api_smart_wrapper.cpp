// CWlanApiSmartWrapper: opening and closing one client of the wireless service, the calls that
// fill in the client handle and the selected interface, and the registered callback that hands
// each notification to the listener.
#include "sundrel/wlan_api_smart_wrapper.h"

VOID WINAPI NotificationCallback(PWLAN_NOTIFICATION_DATA pData, PVOID pContext) {
    if (pContext == nullptr) {
        return;
    }
    static_cast<CWlanApiSmartWrapper*>(pContext)->DispatchNotification(pData);
}

CWlanApiSmartWrapper::CWlanApiSmartWrapper(IWlanApiSmartWrapperListener* pListener)
    : _bOpened(0), _hClient(nullptr), _dwClientVersion(kWlanClientVersion),
      _dwUiVersion(kWlanUiClientVersion), _dwNegotiatedVersion(0), _interfaceGuid{},
      _bRegistered(0), _pListener(pListener) {}

CWlanApiSmartWrapper::~CWlanApiSmartWrapper() {
    Close();
}

INT CWlanApiSmartWrapper::Open() {
    if (_bOpened == 1) {
        return 0;
    }
    if (_wlanApi.Load() == 0) {
        _bOpened = 0;
        return 0;
    }
    // A handle left from a close that failed is never reused: opening then fails.
    if (_hClient == nullptr) {
        if (_wlanApi.WlanOpenHandle(_dwClientVersion, nullptr, &_dwNegotiatedVersion, &_hClient) ==
            ERROR_SUCCESS) {
            _bOpened = 1;
            return 1;
        }
        _hClient = nullptr;
    }
    _wlanApi._bLoaded = 0;
    _wlanApi.Unload();
    _bOpened = 0;
    return 0;
}

void CWlanApiSmartWrapper::Close() {
    if (_bOpened == 0) {
        return;
    }
    if (_bRegistered == 1) {
        RegisterNotification(WLAN_NOTIFICATION_SOURCE_NONE, FALSE, nullptr);
    }
    if (_hClient != nullptr) {
        if (_wlanApi.WlanCloseHandle(_hClient, nullptr) == ERROR_SUCCESS) {
            _hClient = nullptr;
        }
    }
    SetInterfaceGuid(GUID{});
    _wlanApi._bLoaded = 0;
    _wlanApi.Unload();
    _bOpened = 0;
}

void CWlanApiSmartWrapper::FreeMemory(PVOID pMemory) {
    if (_bOpened == 0) {
        return;
    }
    _wlanApi.WlanFreeMemory(pMemory);
}

DWORD CWlanApiSmartWrapper::EnumInterfaces(PWLAN_INTERFACE_INFO_LIST* ppInterfaceList) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanEnumInterfaces(_hClient, nullptr, ppInterfaceList);
}

DWORD CWlanApiSmartWrapper::Connect(const PWLAN_CONNECTION_PARAMETERS pConnectionParameters) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanConnect(_hClient, &_interfaceGuid, pConnectionParameters, nullptr);
}

DWORD CWlanApiSmartWrapper::Disconnect() {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanDisconnect(_hClient, &_interfaceGuid, nullptr);
}

DWORD
CWlanApiSmartWrapper::GetAvailableNetworkList(
    DWORD dwFlags, PWLAN_AVAILABLE_NETWORK_LIST* ppAvailableNetworkList) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanGetAvailableNetworkList(_hClient, &_interfaceGuid, dwFlags, nullptr,
                                                ppAvailableNetworkList);
}

DWORD CWlanApiSmartWrapper::GetNetworkBssList(const PDOT11_SSID pDot11Ssid,
                                              DOT11_BSS_TYPE dot11BssType, BOOL bSecurityEnabled,
                                              PWLAN_BSS_LIST* ppWlanBssList) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanGetNetworkBssList(_hClient, &_interfaceGuid, pDot11Ssid, dot11BssType,
                                          bSecurityEnabled, nullptr, ppWlanBssList);
}

DWORD CWlanApiSmartWrapper::QueryInterface(WLAN_INTF_OPCODE OpCode, PDWORD pdwDataSize,
                                           PVOID* ppData,
                                           PWLAN_OPCODE_VALUE_TYPE pWlanOpcodeValueType) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanQueryInterface(_hClient, &_interfaceGuid, OpCode, nullptr, pdwDataSize,
                                       ppData, pWlanOpcodeValueType);
}

DWORD CWlanApiSmartWrapper::SetInterface(WLAN_INTF_OPCODE OpCode, DWORD dwDataSize,
                                         const PVOID pData) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanSetInterface(_hClient, &_interfaceGuid, OpCode, dwDataSize, pData, nullptr);
}

DWORD CWlanApiSmartWrapper::SetRadioState(const WLAN_PHY_RADIO_STATE& radioState) {
    WLAN_PHY_RADIO_STATE copy = radioState;
    return SetInterface(wlan_intf_opcode_radio_state, sizeof(copy), &copy);
}

DWORD CWlanApiSmartWrapper::Scan(const PDOT11_SSID pDot11Ssid, const PWLAN_RAW_DATA pIeData) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanScan(_hClient, &_interfaceGuid, pDot11Ssid, pIeData, nullptr);
}

DWORD CWlanApiSmartWrapper::GetProfile(LPCWSTR strProfileName, LPWSTR* pstrProfileXml,
                                       DWORD* pdwFlags, PDWORD pdwGrantedAccess) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanGetProfile(_hClient, &_interfaceGuid, strProfileName, nullptr,
                                   pstrProfileXml, pdwFlags, pdwGrantedAccess);
}

DWORD CWlanApiSmartWrapper::GetProfileList(PWLAN_PROFILE_INFO_LIST* ppProfileList) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanGetProfileList(_hClient, &_interfaceGuid, nullptr, ppProfileList);
}

DWORD CWlanApiSmartWrapper::SetProfile(DWORD dwFlags, LPCWSTR strProfileXml,
                                       LPCWSTR strAllUserProfileSecurity, BOOL bOverwrite,
                                       DWORD* pdwReasonCode) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanSetProfile(_hClient, &_interfaceGuid, dwFlags, strProfileXml,
                                   strAllUserProfileSecurity, bOverwrite, nullptr, pdwReasonCode);
}

DWORD CWlanApiSmartWrapper::DeleteProfile(LPCWSTR strProfileName) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanDeleteProfile(_hClient, &_interfaceGuid, strProfileName, nullptr);
}

DWORD CWlanApiSmartWrapper::RegisterNotification(DWORD dwNotifSource, BOOL bIgnoreDuplicate,
                                                 PDWORD pdwPrevNotifSource) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    if (dwNotifSource == WLAN_NOTIFICATION_SOURCE_NONE) {
        DWORD result = _wlanApi.WlanRegisterNotification(_hClient, WLAN_NOTIFICATION_SOURCE_NONE,
                                                         bIgnoreDuplicate, nullptr, nullptr,
                                                         nullptr, pdwPrevNotifSource);
        if (result == ERROR_SUCCESS) {
            _bRegistered = 0;
        }
        return result;
    }
    if (_bRegistered == 1) {
        return ERROR_INVALID_FUNCTION;
    }
    DWORD result =
        _wlanApi.WlanRegisterNotification(_hClient, dwNotifSource, bIgnoreDuplicate,
                                          NotificationCallback, this, nullptr, pdwPrevNotifSource);
    if (result == ERROR_SUCCESS) {
        _bRegistered = 1;
    }
    return result;
}

DWORD CWlanApiSmartWrapper::HostedNetworkQueryStatus(
    PWLAN_HOSTED_NETWORK_STATUS* ppWlanHostedNetworkStatus) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanHostedNetworkQueryStatus(_hClient, ppWlanHostedNetworkStatus, nullptr);
}

DWORD CWlanApiSmartWrapper::GetInterfaceCapability(PWLAN_INTERFACE_CAPABILITY* ppCapability) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanGetInterfaceCapability(_hClient, &_interfaceGuid, nullptr, ppCapability);
}

DWORD CWlanApiSmartWrapper::UIEditProfile(LPCWSTR wstrProfileName, HWND hWnd,
                                          WL_DISPLAY_PAGES wlStartPage,
                                          WlanUiReasonCodeOut pWlanReasonCode) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanUIEditProfile(_dwUiVersion, wstrProfileName, &_interfaceGuid, hWnd,
                                      wlStartPage, nullptr, pWlanReasonCode);
}

DWORD CWlanApiSmartWrapper::SaveTemporaryProfile(LPCWSTR strProfileName,
                                                 LPCWSTR strAllUserProfileSecurity, DWORD dwFlags,
                                                 BOOL bOverWrite) {
    if (_bOpened == 0) {
        return ERROR_INVALID_FUNCTION;
    }
    return _wlanApi.WlanSaveTemporaryProfile(_hClient, &_interfaceGuid, strProfileName,
                                             strAllUserProfileSecurity, dwFlags, bOverWrite,
                                             nullptr);
}

DWORD CWlanApiSmartWrapper::GetNegotiatedVersion() {
    return _dwNegotiatedVersion;
}

INT CWlanApiSmartWrapper::SetInterfaceGuid(const GUID& interfaceGuid) {
    _interfaceGuid = interfaceGuid;
    return 1;
}

const GUID* CWlanApiSmartWrapper::GetInterfaceGuid() {
    return &_interfaceGuid;
}

void CWlanApiSmartWrapper::DispatchNotification(PWLAN_NOTIFICATION_DATA pData) {
    if (_pListener == nullptr) {
        return;
    }
    _pListener->OnNotification(pData);
}
