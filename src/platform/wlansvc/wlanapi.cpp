// "WlanApi.dll" of the simulated notebook: the nineteen entry points of the Native Wi-Fi client
// API, with their published parameter lists.
//
// Working: WlanOpenHandle (versions 1 and 2; any other is ERROR_NOT_SUPPORTED, as on Windows),
// WlanCloseHandle, WlanFreeMemory, WlanEnumInterfaces, WlanRegisterNotification, WlanScan (per
// the interface's `scan` behaviour), WlanGetAvailableNetworkList (the interface's `networks`),
// WlanQueryInterface (interface state only), WlanDisconnect, WlanGetProfileList (no profiles),
// WlanHostedNetworkQueryStatus (unavailable), WlanGetInterfaceCapability.
// Answered without effect: WlanConnect, WlanGetNetworkBssList, WlanSetInterface, WlanSetProfile,
// WlanSaveTemporaryProfile (ERROR_NOT_SUPPORTED), WlanGetProfile and WlanDeleteProfile
// (ERROR_NOT_FOUND: the service holds no profiles).
//
// Every entry point checks its arguments as the service does: a null client handle, a null
// required pointer or a non-null reserved pointer is ERROR_INVALID_PARAMETER, a handle that names
// no open client ERROR_INVALID_HANDLE, a GUID naming no interface ERROR_INVALID_PARAMETER. Each
// call writes one trace line; each notification delivered writes a "notify" line.
//
// The service itself (clients, registrations, notifications, memory, the scan's outcome and the
// network list) is the model in simbook/wlan; this file converts its plain values to and from
// the Win32 records and answers with Win32 error codes.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "simbook/wlan/service.h"

using simbook::WlanInterface;
using simbook::wlan::Service;
using wlansvc::GuidField;
using wlansvc::TraceCall;
using json = nlohmann::ordered_json;

namespace {

// The service of this loaded library, over the machine of the process.
Service& TheService() {
    static Service service(simbook::CurrentMachine());
    return service;
}

constexpr DWORD kErrorServiceNotActive = 1062;
// Largest information-element blob a scan request may carry.
constexpr DWORD kMaxScanIeBytes = 240;

uintptr_t HandleValue(HANDLE h) {
    return reinterpret_cast<uintptr_t>(h);
}

// Runs an entry point's body; no exception may cross the C boundary.
template <class Body> DWORD Guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

// The checks every call on a client handle starts with.
DWORD CheckClient(HANDLE h, PVOID reserved) {
    if (h == nullptr || reserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return TheService().IsOpen(HandleValue(h)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// The checks of a call on one interface of a client: handle, then interface.
DWORD CheckInterface(HANDLE h, const GUID* guid, PVOID reserved,
                     const WlanInterface** itf = nullptr) {
    if (guid == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD status = CheckClient(h, reserved);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const WlanInterface* found = wlansvc::FindInterface(TheService().machine(), guid);
    if (found == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (itf != nullptr) {
        *itf = found;
    }
    return ERROR_SUCCESS;
}

template <class T> T* AllocateRecord(size_t bytes) {
    void* memory = TheService().Allocate(std::max(bytes, sizeof(T)));
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return static_cast<T*>(memory);
}

void CopyText(WCHAR* to, size_t capacity, const std::wstring& text) {
    size_t n = std::min(text.size(), capacity - 1);
    std::copy_n(text.data(), n, to);
    to[n] = L'\0';
}

// A notification of the model as the Win32 callback receives it. The record and its payload
// live on the service thread's stack for the length of the call.
simbook::wlan::Callback Adapt(WLAN_NOTIFICATION_CALLBACK callback, PVOID context) {
    if (callback == nullptr) {
        return nullptr;
    }
    return [callback, context](const simbook::wlan::Notification& n) {
        WLAN_REASON_CODE reason = n.reason.value_or(0);
        WLAN_NOTIFICATION_DATA data{};
        data.NotificationSource = n.source;
        data.NotificationCode = n.code;
        data.InterfaceGuid = wlansvc::ToGuid(n.interfaceGuid);
        data.dwDataSize = n.reason ? sizeof reason : 0;
        data.pData = n.reason ? &reason : nullptr;
        callback(&data, context);
    };
}

json Base(HANDLE h, const GUID* guid) {
    json fields;
    fields["handle"] = HandleValue(h);
    fields["interface"] = GuidField(guid);
    return fields;
}

} // namespace

extern "C" {

DWORD WINAPI WlanOpenHandle(DWORD dwClientVersion, PVOID pReserved, PDWORD pdwNegotiatedVersion,
                            PHANDLE phClientHandle) {
    DWORD negotiated = 0;
    HANDLE handle = nullptr;
    DWORD status = Guarded([&]() -> DWORD {
        if (pReserved != nullptr || pdwNegotiatedVersion == nullptr || phClientHandle == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if (TheService().machine() == nullptr) {
            return kErrorServiceNotActive;
        }
        std::optional<simbook::wlan::ClientHandle> opened = TheService().Open(dwClientVersion);
        if (!opened) {
            return ERROR_NOT_SUPPORTED;
        }
        negotiated = dwClientVersion;
        handle = reinterpret_cast<HANDLE>(*opened);
        *pdwNegotiatedVersion = negotiated;
        *phClientHandle = handle;
        return ERROR_SUCCESS;
    });
    TraceCall("WlanOpenHandle",
              {{"client_version", dwClientVersion},
               {"negotiated_version", negotiated},
               {"handle", HandleValue(handle)}},
              status);
    return status;
}

DWORD WINAPI WlanCloseHandle(HANDLE hClientHandle, PVOID pReserved) {
    DWORD status = Guarded([&]() -> DWORD {
        if (hClientHandle == nullptr || pReserved != nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        return TheService().Close(HandleValue(hClientHandle)) ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE;
    });
    TraceCall("WlanCloseHandle", {{"handle", HandleValue(hClientHandle)}}, status);
    return status;
}

VOID WINAPI WlanFreeMemory(PVOID pMemory) {
    const char* what = "null";
    if (pMemory != nullptr) {
        what = TheService().Free(pMemory) ? "freed" : "unknown";
    }
    TraceCall("WlanFreeMemory", {{"memory", what}}, std::nullopt);
}

DWORD WINAPI WlanEnumInterfaces(HANDLE hClientHandle, PVOID pReserved,
                                PWLAN_INTERFACE_INFO_LIST* ppInterfaceList) {
    size_t count = 0;
    DWORD status = Guarded([&]() -> DWORD {
        if (ppInterfaceList == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckClient(hClientHandle, pReserved);
        if (check != ERROR_SUCCESS) {
            return check;
        }
        const auto& interfaces = TheService().machine()->wlan.interfaces;
        count = interfaces.size();
        auto* list = AllocateRecord<WLAN_INTERFACE_INFO_LIST>(
            offsetof(WLAN_INTERFACE_INFO_LIST, InterfaceInfo) +
            count * sizeof(WLAN_INTERFACE_INFO));
        list->dwNumberOfItems = static_cast<DWORD>(count);
        list->dwIndex = 0;
        for (size_t i = 0; i < count; ++i) {
            WLAN_INTERFACE_INFO& info = list->InterfaceInfo[i];
            info.InterfaceGuid = wlansvc::ToGuid(interfaces[i].guid);
            std::wstring description = L"Simulated Wireless Network Adapter";
            if (i > 0) {
                description += L" #" + std::to_wstring(i + 1);
            }
            CopyText(info.strInterfaceDescription, WLAN_MAX_NAME_LENGTH, description);
            info.isState = wlan_interface_state_disconnected;
        }
        *ppInterfaceList = list;
        return ERROR_SUCCESS;
    });
    TraceCall("WlanEnumInterfaces", {{"handle", HandleValue(hClientHandle)}, {"items", count}},
              status);
    return status;
}

DWORD WINAPI WlanConnect(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                         const PWLAN_CONNECTION_PARAMETERS pConnectionParameters, PVOID pReserved) {
    DWORD status = Guarded([&]() -> DWORD {
        if (pConnectionParameters == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved);
        return check != ERROR_SUCCESS ? check : ERROR_NOT_SUPPORTED;
    });
    TraceCall("WlanConnect", Base(hClientHandle, pInterfaceGuid), status);
    return status;
}

DWORD WINAPI WlanDisconnect(HANDLE hClientHandle, const GUID* pInterfaceGuid, PVOID pReserved) {
    // No interface is ever connected, so there is nothing to tear down.
    DWORD status = Guarded(
        [&]() -> DWORD { return CheckInterface(hClientHandle, pInterfaceGuid, pReserved); });
    TraceCall("WlanDisconnect", Base(hClientHandle, pInterfaceGuid), status);
    return status;
}

DWORD WINAPI WlanGetAvailableNetworkList(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                         DWORD dwFlags, PVOID pReserved,
                                         PWLAN_AVAILABLE_NETWORK_LIST* ppAvailableNetworkList) {
    size_t count = 0;
    DWORD status = Guarded([&]() -> DWORD {
        constexpr DWORD kKnownFlags = WLAN_AVAILABLE_NETWORK_INCLUDE_ALL_ADHOC_PROFILES |
                                      WLAN_AVAILABLE_NETWORK_INCLUDE_ALL_MANUAL_HIDDEN_PROFILES;
        if (ppAvailableNetworkList == nullptr || (dwFlags & ~kKnownFlags) != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        const WlanInterface* itf = nullptr;
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved, &itf);
        if (check != ERROR_SUCCESS) {
            return check;
        }
        const std::vector<simbook::wlan::Network> networks = simbook::wlan::AvailableNetworks(*itf);
        count = networks.size();
        auto* list = AllocateRecord<WLAN_AVAILABLE_NETWORK_LIST>(
            offsetof(WLAN_AVAILABLE_NETWORK_LIST, Network) +
            count * sizeof(WLAN_AVAILABLE_NETWORK));
        list->dwNumberOfItems = static_cast<DWORD>(count);
        list->dwIndex = 0;
        for (size_t i = 0; i < count; ++i) {
            const std::vector<uint8_t>& ssid = networks[i].ssid;
            WLAN_AVAILABLE_NETWORK& net = list->Network[i];
            static_assert(simbook::kMaxSsidLength == DOT11_SSID_MAX_LENGTH);
            net.dot11Ssid.uSSIDLength = static_cast<ULONG>(ssid.size());
            if (!ssid.empty()) { // a hidden network's empty SSID has no bytes to copy
                std::memcpy(net.dot11Ssid.ucSSID, ssid.data(), ssid.size());
            }
            net.dot11BssType = dot11_BSS_type_infrastructure;
            net.uNumberOfBssids = 1;
            net.bNetworkConnectable = TRUE;
            net.wlanNotConnectableReason = 0;
            net.uNumberOfPhyTypes = 2;
            net.dot11PhyTypes[0] = dot11_phy_type_erp;
            net.dot11PhyTypes[1] = dot11_phy_type_ht;
            net.bMorePhyTypes = FALSE;
            net.wlanSignalQuality = networks[i].signalQuality;
            net.bSecurityEnabled = TRUE;
            net.dot11DefaultAuthAlgorithm = DOT11_AUTH_ALGO_RSNA_PSK;
            net.dot11DefaultCipherAlgorithm = DOT11_CIPHER_ALGO_CCMP;
        }
        *ppAvailableNetworkList = list;
        return ERROR_SUCCESS;
    });
    json fields = Base(hClientHandle, pInterfaceGuid);
    fields["flags"] = dwFlags;
    fields["items"] = count;
    TraceCall("WlanGetAvailableNetworkList", std::move(fields), status);
    return status;
}

DWORD WINAPI WlanGetNetworkBssList(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                   const PDOT11_SSID pDot11Ssid, DOT11_BSS_TYPE dot11BssType,
                                   BOOL bSecurityEnabled, PVOID pReserved,
                                   PWLAN_BSS_LIST* ppWlanBssList) {
    (void)dot11BssType;
    (void)bSecurityEnabled;
    DWORD status = Guarded([&]() -> DWORD {
        if (ppWlanBssList == nullptr ||
            (pDot11Ssid != nullptr && pDot11Ssid->uSSIDLength > DOT11_SSID_MAX_LENGTH)) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved);
        return check != ERROR_SUCCESS ? check : ERROR_NOT_SUPPORTED;
    });
    TraceCall("WlanGetNetworkBssList", Base(hClientHandle, pInterfaceGuid), status);
    return status;
}

DWORD WINAPI WlanQueryInterface(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                WLAN_INTF_OPCODE OpCode, PVOID pReserved, PDWORD pdwDataSize,
                                PVOID* ppData, PWLAN_OPCODE_VALUE_TYPE pWlanOpcodeValueType) {
    DWORD status = Guarded([&]() -> DWORD {
        if (pdwDataSize == nullptr || ppData == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved);
        if (check != ERROR_SUCCESS) {
            return check;
        }
        if (OpCode != wlan_intf_opcode_interface_state) {
            return ERROR_NOT_SUPPORTED;
        }
        auto* state = AllocateRecord<WLAN_INTERFACE_STATE>(sizeof(WLAN_INTERFACE_STATE));
        *state = wlan_interface_state_disconnected;
        *pdwDataSize = sizeof *state;
        *ppData = state;
        if (pWlanOpcodeValueType != nullptr) {
            *pWlanOpcodeValueType = wlan_opcode_value_type_query_only;
        }
        return ERROR_SUCCESS;
    });
    json fields = Base(hClientHandle, pInterfaceGuid);
    fields["opcode"] = static_cast<DWORD>(OpCode);
    TraceCall("WlanQueryInterface", std::move(fields), status);
    return status;
}

DWORD WINAPI WlanSetInterface(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                              WLAN_INTF_OPCODE OpCode, DWORD dwDataSize, const PVOID pData,
                              PVOID pReserved) {
    DWORD status = Guarded([&]() -> DWORD {
        if (pData == nullptr || dwDataSize == 0) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved);
        return check != ERROR_SUCCESS ? check : ERROR_NOT_SUPPORTED;
    });
    json fields = Base(hClientHandle, pInterfaceGuid);
    fields["opcode"] = static_cast<DWORD>(OpCode);
    fields["size"] = dwDataSize;
    TraceCall("WlanSetInterface", std::move(fields), status);
    return status;
}

DWORD WINAPI WlanScan(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                      const PDOT11_SSID pDot11Ssid, const PWLAN_RAW_DATA pIeData, PVOID pReserved) {
    const WlanInterface* itf = nullptr;
    DWORD status = Guarded([&]() -> DWORD {
        if ((pDot11Ssid != nullptr && pDot11Ssid->uSSIDLength > DOT11_SSID_MAX_LENGTH) ||
            (pIeData != nullptr && pIeData->dwDataSize > kMaxScanIeBytes)) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved, &itf);
        if (check != ERROR_SUCCESS) {
            return check;
        }
        // ERROR_BUSY: the interface turns the request down.
        return TheService().ScanStatus(*itf);
    });
    // The call's line goes out before the notification can, so a trace reads in order.
    TraceCall("WlanScan", Base(hClientHandle, pInterfaceGuid), status);
    if (status == ERROR_SUCCESS) {
        try {
            TheService().ScanAccepted(*itf);
        } catch (...) {
            // A notification that cannot be queued is lost, as one the radio never produced.
        }
    }
    return status;
}

DWORD WINAPI WlanGetProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                            LPCWSTR strProfileName, PVOID pReserved, LPWSTR* pstrProfileXml,
                            DWORD* pdwFlags, PDWORD pdwGrantedAccess) {
    (void)pdwFlags;
    (void)pdwGrantedAccess;
    DWORD status = Guarded([&]() -> DWORD {
        if (strProfileName == nullptr || pstrProfileXml == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved);
        return check != ERROR_SUCCESS ? check : ERROR_NOT_FOUND;
    });
    TraceCall("WlanGetProfile", Base(hClientHandle, pInterfaceGuid), status);
    return status;
}

DWORD WINAPI WlanGetProfileList(HANDLE hClientHandle, const GUID* pInterfaceGuid, PVOID pReserved,
                                PWLAN_PROFILE_INFO_LIST* ppProfileList) {
    DWORD status = Guarded([&]() -> DWORD {
        if (ppProfileList == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved);
        if (check != ERROR_SUCCESS) {
            return check;
        }
        auto* list = AllocateRecord<WLAN_PROFILE_INFO_LIST>(sizeof(WLAN_PROFILE_INFO_LIST));
        list->dwNumberOfItems = 0;
        *ppProfileList = list;
        return ERROR_SUCCESS;
    });
    TraceCall("WlanGetProfileList", Base(hClientHandle, pInterfaceGuid), status);
    return status;
}

DWORD WINAPI WlanSetProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid, DWORD dwFlags,
                            LPCWSTR strProfileXml, LPCWSTR strAllUserProfileSecurity,
                            BOOL bOverwrite, PVOID pReserved, DWORD* pdwReasonCode) {
    (void)dwFlags;
    (void)strAllUserProfileSecurity;
    (void)bOverwrite;
    DWORD status = Guarded([&]() -> DWORD {
        if (strProfileXml == nullptr || pdwReasonCode == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved);
        if (check != ERROR_SUCCESS) {
            return check;
        }
        *pdwReasonCode = wlansvc::kReasonUnknown;
        return ERROR_NOT_SUPPORTED;
    });
    TraceCall("WlanSetProfile", Base(hClientHandle, pInterfaceGuid), status);
    return status;
}

DWORD WINAPI WlanDeleteProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                               LPCWSTR strProfileName, PVOID pReserved) {
    DWORD status = Guarded([&]() -> DWORD {
        if (strProfileName == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved);
        return check != ERROR_SUCCESS ? check : ERROR_NOT_FOUND;
    });
    TraceCall("WlanDeleteProfile", Base(hClientHandle, pInterfaceGuid), status);
    return status;
}

DWORD WINAPI WlanRegisterNotification(HANDLE hClientHandle, DWORD dwNotifSource,
                                      BOOL bIgnoreDuplicate,
                                      WLAN_NOTIFICATION_CALLBACK funcCallback,
                                      PVOID pCallbackContext, PVOID pReserved,
                                      PDWORD pdwPrevNotifSource) {
    DWORD status = Guarded([&]() -> DWORD {
        if ((dwNotifSource != WLAN_NOTIFICATION_SOURCE_NONE && funcCallback == nullptr) ||
            hClientHandle == nullptr || pReserved != nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        std::optional<DWORD> previous = TheService().Register(
            HandleValue(hClientHandle), dwNotifSource, Adapt(funcCallback, pCallbackContext));
        if (!previous) {
            return ERROR_INVALID_HANDLE;
        }
        if (pdwPrevNotifSource != nullptr) {
            *pdwPrevNotifSource = *previous;
        }
        return ERROR_SUCCESS;
    });
    TraceCall("WlanRegisterNotification",
              {{"handle", HandleValue(hClientHandle)},
               {"source", dwNotifSource},
               {"ignore_duplicate", bIgnoreDuplicate != FALSE},
               {"callback", funcCallback != nullptr}},
              status);
    return status;
}

DWORD WINAPI WlanHostedNetworkQueryStatus(HANDLE hClientHandle,
                                          PWLAN_HOSTED_NETWORK_STATUS* ppWlanHostedNetworkStatus,
                                          PVOID pvReserved) {
    DWORD status = Guarded([&]() -> DWORD {
        if (ppWlanHostedNetworkStatus == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckClient(hClientHandle, pvReserved);
        if (check != ERROR_SUCCESS) {
            return check;
        }
        // The simulated adapters cannot host a network.
        auto* hosted =
            AllocateRecord<WLAN_HOSTED_NETWORK_STATUS>(sizeof(WLAN_HOSTED_NETWORK_STATUS));
        hosted->HostedNetworkState = wlan_hosted_network_unavailable;
        hosted->dot11PhyType = dot11_phy_type_unknown;
        hosted->dwNumberOfPeers = 0;
        *ppWlanHostedNetworkStatus = hosted;
        return ERROR_SUCCESS;
    });
    TraceCall("WlanHostedNetworkQueryStatus", {{"handle", HandleValue(hClientHandle)}}, status);
    return status;
}

DWORD WINAPI WlanGetInterfaceCapability(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                        PVOID pReserved, PWLAN_INTERFACE_CAPABILITY* ppCapability) {
    DWORD status = Guarded([&]() -> DWORD {
        if (ppCapability == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved);
        if (check != ERROR_SUCCESS) {
            return check;
        }
        auto* cap = AllocateRecord<WLAN_INTERFACE_CAPABILITY>(sizeof(WLAN_INTERFACE_CAPABILITY));
        cap->interfaceType = wlan_interface_type_native_802_11;
        cap->bDot11DSupported = FALSE;
        cap->dwMaxDesiredSsidListSize = 4;
        cap->dwMaxDesiredBssidListSize = 4;
        cap->dwNumberOfSupportedPhys = 3;
        cap->dot11PhyTypes[0] = dot11_phy_type_ofdm;
        cap->dot11PhyTypes[1] = dot11_phy_type_erp;
        cap->dot11PhyTypes[2] = dot11_phy_type_ht;
        *ppCapability = cap;
        return ERROR_SUCCESS;
    });
    TraceCall("WlanGetInterfaceCapability", Base(hClientHandle, pInterfaceGuid), status);
    return status;
}

DWORD WINAPI WlanSaveTemporaryProfile(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                                      LPCWSTR strProfileName, LPCWSTR strAllUserProfileSecurity,
                                      DWORD dwFlags, BOOL bOverWrite, PVOID pReserved) {
    (void)strAllUserProfileSecurity;
    (void)dwFlags;
    (void)bOverWrite;
    DWORD status = Guarded([&]() -> DWORD {
        if (strProfileName == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        DWORD check = CheckInterface(hClientHandle, pInterfaceGuid, pReserved);
        return check != ERROR_SUCCESS ? check : ERROR_NOT_SUPPORTED;
    });
    TraceCall("WlanSaveTemporaryProfile", Base(hClientHandle, pInterfaceGuid), status);
    return status;
}

} // extern "C"

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    return wlansvc::LoaderEvent(reason, reserved, "wlanapi.dll", &simbook::Machine::Wlan::library);
}
#endif
