// The scan run of sundrel: CSundrel waits for the service's end-of-scan notification on an
// event and then reads the network list; SsidToString converts one network name; RunScan puts
// them together and prints the report once the wireless client is released.
#include "sundrel/sundrel_scan.h"

#include <cstring>
#include <new>

CSundrel::CSundrel() : _hScanEvent(nullptr), _pWrapper(nullptr) {}

CSundrel::~CSundrel() {
    Release();
}

void CSundrel::OnAcmScanComplete(const GUID& interfaceGuid) {
    SignalScanEnd(interfaceGuid);
}

void CSundrel::OnAcmScanFail(const GUID& interfaceGuid, PVOID) {
    // The reason code is of no use here: the list is read all the same.
    SignalScanEnd(interfaceGuid);
}

void CSundrel::SignalScanEnd(const GUID& interfaceGuid) {
    // Runs on the service's thread. The wrapper outlives the registration, so it is valid here.
    CWlanApiSmartWrapper* wrapper = _pWrapper;
    if (wrapper == nullptr) {
        return;
    }
    if (std::memcmp(&interfaceGuid, wrapper->GetInterfaceGuid(), sizeof(GUID)) == 0 &&
        _hScanEvent != nullptr) {
        ::SetEvent(_hScanEvent);
    }
}

INT CSundrel::Initialize(const GUID& interfaceGuid) {
    _hScanEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (_hScanEvent != nullptr) {
        _pWrapper = new (std::nothrow) CWlanApiSmartWrapper(this);
        if (_pWrapper != nullptr && _pWrapper->Open() != 0 &&
            _pWrapper->SetInterfaceGuid(interfaceGuid) != 0 &&
            _pWrapper->RegisterNotification(kWlanNotificationSourceAll, TRUE, nullptr) ==
                ERROR_SUCCESS) {
            return 1;
        }
    }
    Release();
    return 0;
}

INT CSundrel::ScanSsids(std::vector<std::wstring>& ssids) {
    ssids.clear();
    if (_pWrapper == nullptr || _hScanEvent == nullptr) {
        return 0;
    }
    if (_pWrapper->Scan(nullptr, nullptr) != ERROR_SUCCESS) {
        return 0;
    }
    // A timeout or a failed wait both end the run as a failed wait.
    if (::WaitForSingleObject(_hScanEvent, kScanWaitTimeoutMs) != WAIT_OBJECT_0) {
        return 0;
    }
    PWLAN_AVAILABLE_NETWORK_LIST networkList = nullptr;
    if (_pWrapper->GetAvailableNetworkList(0, &networkList) != ERROR_SUCCESS) {
        if (networkList != nullptr) {
            _pWrapper->FreeMemory(networkList);
        }
        return 0;
    }
    if (networkList == nullptr) {
        return 0;
    }
    INT result = 1;
    try {
        for (DWORD i = 0; i < networkList->dwNumberOfItems; ++i) {
            std::wstring name;
            // A name that does not convert, and a hidden network's empty name, give no line.
            if (SsidToString(networkList->Network[i].dot11Ssid, name) != 0 && !name.empty()) {
                ssids.push_back(std::move(name));
            }
        }
    } catch (const std::bad_alloc&) {
        // Out of memory while collecting names: the list cannot be reported whole.
        ssids.clear();
        result = 0;
    }
    _pWrapper->FreeMemory(networkList);
    return result;
}

void CSundrel::Release() {
    if (_pWrapper != nullptr) {
        // Close removes the registration first, so no handler runs once the wrapper is gone.
        _pWrapper->Close();
        delete _pWrapper;
        _pWrapper = nullptr;
    }
    if (_hScanEvent != nullptr) {
        // Signalled first so that no thread can be left waiting on a closed handle.
        ::SetEvent(_hScanEvent);
        ::CloseHandle(_hScanEvent);
        _hScanEvent = nullptr;
    }
}

INT SsidToString(const DOT11_SSID& ssid, std::wstring& text) {
    text.clear();
    if (ssid.uSSIDLength == 0) {
        return 1;
    }
    // A length beyond the record's byte array is bad data from the service: never read past it.
    if (ssid.uSSIDLength > sizeof(ssid.ucSSID)) {
        return 0;
    }
    const LPCSTR bytes = reinterpret_cast<LPCSTR>(ssid.ucSSID);
    const int byteCount = static_cast<int>(ssid.uSSIDLength);
    const int wideCount = ::MultiByteToWideChar(CP_ACP, 0, bytes, byteCount, nullptr, 0);
    if (wideCount <= 0) {
        return 0;
    }
    wchar_t* buffer = new (std::nothrow) wchar_t[static_cast<size_t>(wideCount) + 1]();
    if (buffer == nullptr) {
        return 0;
    }
    INT result = 0;
    if (::MultiByteToWideChar(CP_ACP, 0, bytes, byteCount, buffer, wideCount) != 0) {
        try {
            text.assign(buffer); // up to the first zero character
            result = 1;
        } catch (const std::bad_alloc&) {
            text.clear();
        }
    }
    delete[] buffer;
    return result;
}

bool ParseInterfaceArgument(int argc, wchar_t** argv, GUID& interfaceGuid) {
    if (argc != 2 || argv == nullptr || argv[1] == nullptr || argv[1][0] == L'\0') {
        return false;
    }
    // Text that does not parse is refused even if the parser wrote part of a GUID before it
    // gave up: only a complete, non-null interface GUID starts a scan.
    if (FAILED(::IIDFromString(argv[1], &interfaceGuid))) {
        return false;
    }
    static const GUID kNullGuid{};
    return std::memcmp(&interfaceGuid, &kNullGuid, sizeof(GUID)) != 0;
}

int RunScan(const GUID& interfaceGuid) {
    CSundrel scan;
    std::vector<std::wstring> ssids;
    if (scan.Initialize(interfaceGuid) == 0) {
        ConsolePrintW(L"sundrel[FAILURE]\r\n");
        return kExitScanFailed;
    }
    const INT listed = scan.ScanSsids(ssids);
    // The wireless client is gone before anything is printed.
    scan.Release();
    if (listed == 0) {
        ConsolePrintW(L"sundrel[FAILURE]\r\n");
        return kExitScanFailed;
    }
    ConsolePrintW(L"sundrel[SUCCESS]\r\n");
    if (ssids.empty()) {
        return kExitNoNetworks;
    }
    for (const std::wstring& name : ssids) {
        ConsolePrintW(L"%ls\r\n", name.c_str());
    }
    return kExitNetworksListed;
}
