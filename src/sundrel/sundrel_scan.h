// The scan run of sundrel: CSundrel (the scan object), RunScan and SsidToString.
//
// The main thread opens a wireless client on the selected interface, registers for
// notifications, requests a scan and waits on an auto-reset event; the service's thread signals
// that event from the scan-complete or scan-fail handler. The main thread then reads the network
// list, releases the client and the event, and only then prints.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"
#include "sundrel/wlan_api_listener.h"
#include "sundrel/wlan_api_smart_wrapper.h"

// The longest the run waits for the service to report the end of its scan. A service that
// accepts a scan and never reports its end would otherwise hold the run forever.
constexpr DWORD kScanWaitTimeoutMs = 15 * 1000;

// Exit codes of the program.
constexpr int kExitNetworksListed = 0;
constexpr int kExitNoNetworks = 1;
constexpr int kExitScanFailed = -1;
constexpr int kExitBadArguments = -2;

class CSundrel : public CWlanApiSmartWrapperListener {
public:
    CSundrel();
    CSundrel(const CSundrel&) = delete;
    CSundrel& operator=(const CSundrel&) = delete;
    // Releases whatever is still held.
    ~CSundrel() override;

    // Scan-complete and scan-fail both end the wait, when they concern the selected interface.
    void OnAcmScanComplete(const GUID& interfaceGuid) override;
    void OnAcmScanFail(const GUID& interfaceGuid, PVOID pPayload) override;

    // 1 when the event exists and the client is open on `interfaceGuid` with notifications
    // registered; 0 otherwise, with everything released again.
    INT Initialize(const GUID& interfaceGuid);
    // Requests the scan, waits for its end (at most kScanWaitTimeoutMs) and fills `ssids` with
    // the names of the networks then offered, in list order. 1 when the list was read.
    INT ScanSsids(std::vector<std::wstring>& ssids);
    // Unregisters, closes and unloads the client, then signals and closes the event.
    void Release();

    HANDLE _hScanEvent;
    CWlanApiSmartWrapper* _pWrapper;

private:
    void SignalScanEnd(const GUID& interfaceGuid);
};

// Converts an SSID through the system ANSI code page. 1 on success (also for an empty SSID,
// with `text` empty); 0 when the bytes do not convert or the record claims more bytes than it
// holds. The name ends at the first zero character.
INT SsidToString(const DOT11_SSID& ssid, std::wstring& text);

// The command line's one argument: a braced interface GUID that parses completely and is not the
// null GUID. True with `interfaceGuid` set; false for any other command line (`interfaceGuid` may
// then hold part of a GUID).
bool ParseInterfaceArgument(int argc, wchar_t** argv, GUID& interfaceGuid);

// Runs one scan on `interfaceGuid`, prints the report and returns the exit code.
int RunScan(const GUID& interfaceGuid);
