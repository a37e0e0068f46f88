// Fuzz target: the records the Wi-Fi service hands sundrel. A service double (a smart wrapper
// whose service calls the fuzzer answers) sends made-up notification records through the
// registered callback while the scan runs, then offers a made-up network list: any count, SSID
// lengths that lie, any bytes. The scan must end exactly when a scan-complete or scan-fail
// record names the selected interface, every name listed must come from a network of the list,
// and the list must be freed once.
//
// Input: [flags][selected interface: 16][record count][records...][network count][networks...]
// flags bit 0: Scan fails; bit 1: the list call fails; bit 2: a failing list call still hands
// over a list. A record: [source index][code][guid choice][16 guid bytes when chosen][size: 2].
// A network: [SSID length field][min(length, 32) SSID bytes].
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "stand_in_machine.h"
#include "sundrel/sundrel_scan.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "wifi records fuzz: %s\n", what);
        std::abort();
    }
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    void Bytes(void* out, size_t count) {
        auto* p = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < count; ++i) {
            p[i] = Byte();
        }
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

constexpr DWORD kSources[] = {WLAN_NOTIFICATION_SOURCE_NONE,
                              WLAN_NOTIFICATION_SOURCE_ONEX,
                              WLAN_NOTIFICATION_SOURCE_ACM,
                              WLAN_NOTIFICATION_SOURCE_MSM,
                              WLAN_NOTIFICATION_SOURCE_SECURITY,
                              WLAN_NOTIFICATION_SOURCE_IHV,
                              WLAN_NOTIFICATION_SOURCE_HNWK,
                              WLAN_NOTIFICATION_SOURCE_ALL,
                              WLAN_NOTIFICATION_SOURCE_ACM | WLAN_NOTIFICATION_SOURCE_MSM,
                              0x80000000u};

// The service as the fuzz input plays it, behind the smart wrapper's calls.
class ServiceDouble : public CWlanApiSmartWrapper {
public:
    ServiceDouble(CSundrel* listener, Input& input, uint8_t flags)
        : CWlanApiSmartWrapper(listener), _input(input), _flags(flags), _scan(listener) {}

    void Close() override {}

    DWORD Scan(const PDOT11_SSID, const PWLAN_RAW_DATA) override {
        if ((_flags & 1) != 0) {
            return ERROR_NOT_FOUND;
        }
        // Records go through the registered callback, as the service's thread would send them.
        bool ends = false;
        const int count = _input.Byte() % 8;
        for (int i = 0; i < count; ++i) {
            WLAN_NOTIFICATION_DATA record{};
            record.NotificationSource = kSources[_input.Byte() % std::size(kSources)];
            record.NotificationCode = _input.Byte();
            record.InterfaceGuid = *GetInterfaceGuid();
            if ((_input.Byte() & 1) != 0) {
                _input.Bytes(&record.InterfaceGuid, sizeof(GUID));
            }
            // The size claims anything; the payload is a few bytes or none.
            record.dwDataSize = static_cast<DWORD>(_input.Byte() | (_input.Byte() << 8));
            uint8_t payload[4] = {};
            record.pData = (record.dwDataSize & 1) != 0 ? payload : nullptr;
            ends =
                ends || (record.NotificationSource == WLAN_NOTIFICATION_SOURCE_ACM &&
                         (record.NotificationCode == wlan_notification_acm_scan_complete ||
                          record.NotificationCode == wlan_notification_acm_scan_fail) &&
                         std::memcmp(&record.InterfaceGuid, GetInterfaceGuid(), sizeof(GUID)) == 0);
            NotificationCallback(&record, this);
        }
        const bool signalled = ::WaitForSingleObject(_scan->_hScanEvent, 0) == WAIT_OBJECT_0;
        Check(signalled == ends, "the scan's end does not follow the records");
        // The run waits for the end of the scan next: the service reports it now.
        ::SetEvent(_scan->_hScanEvent);
        return ERROR_SUCCESS;
    }

    DWORD GetAvailableNetworkList(DWORD, PWLAN_AVAILABLE_NETWORK_LIST* list) override {
        const DWORD count = _input.Byte() % 48;
        const size_t size = sizeof(WLAN_AVAILABLE_NETWORK_LIST) +
                            (count == 0 ? 0 : count - 1) * sizeof(WLAN_AVAILABLE_NETWORK);
        auto* made = static_cast<PWLAN_AVAILABLE_NETWORK_LIST>(std::calloc(1, size));
        Check(made != nullptr, "out of memory");
        made->dwNumberOfItems = count;
        made->dwIndex = _input.Byte();
        for (DWORD i = 0; i < count; ++i) {
            DOT11_SSID& ssid = made->Network[i].dot11Ssid;
            ssid.uSSIDLength = _input.Byte();
            _input.Bytes(ssid.ucSSID, std::min<size_t>(ssid.uSSIDLength, sizeof(ssid.ucSSID)));
        }
        networks.assign(made->Network, made->Network + count);
        const bool fails = (_flags & 2) != 0;
        if (!fails || (_flags & 4) != 0) {
            *list = made;
            ++handedOut;
        } else {
            std::free(made);
        }
        return fails ? ERROR_INVALID_DATA : ERROR_SUCCESS;
    }

    void FreeMemory(PVOID memory) override {
        Check(memory != nullptr && handedOut > freed, "a free of memory not handed out");
        ++freed;
        std::free(memory);
    }

    std::vector<WLAN_AVAILABLE_NETWORK> networks;
    int handedOut = 0;
    int freed = 0;

private:
    Input& _input;
    uint8_t _flags;
    CSundrel* _scan;
};

// Whether `name` can be the name of one of the networks: a valid length, and for ASCII
// bytes exactly those bytes up to the first zero.
bool NameFromList(const std::wstring& name, const std::vector<WLAN_AVAILABLE_NETWORK>& networks) {
    for (const WLAN_AVAILABLE_NETWORK& network : networks) {
        const DOT11_SSID& ssid = network.dot11Ssid;
        if (ssid.uSSIDLength == 0 || ssid.uSSIDLength > sizeof(ssid.ucSSID)) {
            continue;
        }
        bool ascii = true;
        std::wstring plain;
        for (ULONG i = 0; i < ssid.uSSIDLength && ssid.ucSSID[i] != 0; ++i) {
            ascii = ascii && ssid.ucSSID[i] < 0x80;
            plain += static_cast<wchar_t>(ssid.ucSSID[i]);
        }
        if (!ascii || plain == name) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // UTF-8 as the ANSI code page: the conversion that can refuse bytes.
    fuzz_support::UseStandInMachine(R"({"ansi_code_page": 65001})");
    Input input(data, size);
    const uint8_t flags = input.Byte();
    GUID selected{};
    input.Bytes(&selected, sizeof selected);

    CSundrel scan;
    scan._hScanEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Check(scan._hScanEvent != nullptr, "no event");
    auto* service = new ServiceDouble(&scan, input, flags);
    scan._pWrapper = service;
    service->SetInterfaceGuid(selected);

    std::vector<std::wstring> ssids;
    const INT listed = scan.ScanSsids(ssids);
    Check(service->handedOut == service->freed, "a list handed over was not freed once");
    if (listed == 0) {
        Check(ssids.empty(), "names listed from a failed scan");
    } else {
        Check(ssids.size() <= service->networks.size(), "more names than networks");
        for (const std::wstring& name : ssids) {
            Check(!name.empty() && name.find(L'\0') == std::wstring::npos,
                  "an empty name, or one with a zero inside");
            Check(NameFromList(name, service->networks), "a name no network had");
        }
    }
    scan.Release();
    return 0;
}
