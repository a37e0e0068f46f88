// The scan step in the libraries built for Windows: a program under Wine writes no machine file
// itself; it asks the relay's device server, which holds the run's machine file and takes the
// step with the Linux store (RELAY_IOCTL_STEP on the relay's control device).
#include "scan_step.h"

#include <windows.h>

#include <cstdint>

#include "relay/relay_protocol.h"
#include "simbook/machine.h"

namespace simbook::wlan {

std::optional<size_t> TakeScanStep(const std::string& machinePath, size_t index) {
    const std::string what = "wlan.interfaces[" + std::to_string(index) + "].scan";
    std::string record = InterfacePointer(index);
    record += '\0';
    record += "scan";
    record += '\0';
    HANDLE relay =
        CreateFileW(L"\\\\.\\" RELAY_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = GetLastError();
    uint32_t taken = 0;
    DWORD got = 0;
    bool answered = false;
    if (relay != INVALID_HANDLE_VALUE) {
        answered = DeviceIoControl(relay, RELAY_IOCTL_STEP, record.data(),
                                   static_cast<DWORD>(record.size()), &taken, sizeof taken, &got,
                                   nullptr) != FALSE;
        error = GetLastError();
        CloseHandle(relay);
    }
    if (answered && got == sizeof taken) {
        return taken; // little-endian, as every word of the relay's records
    }
    if (answered) {
        ReportMachineProblem(machinePath, what + " step not taken: the device server answered " +
                                              std::to_string(got) + " bytes, not 4");
    } else if (error != ERROR_IO_DEVICE) { // a step the server refused it told itself
        ReportMachineProblem(machinePath, what +
                                              " step not taken: the device server cannot be "
                                              "reached (error " +
                                              std::to_string(error) +
                                              "); run programs through scripts/wine-run");
    }
    return std::nullopt;
}

} // namespace simbook::wlan
