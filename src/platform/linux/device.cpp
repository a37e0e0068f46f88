// Provides: CreateFileW (on the driver's device paths only; any other path fails with
// ERROR_FILE_NOT_FOUND, an empty or null one with ERROR_PATH_NOT_FOUND) and DeviceIoControl
// (METHOD_BUFFERED, synchronous: no OVERLAPPED). Device handles are closed by CloseHandle.
// Share mode 0 makes a handle exclusive, also against other processes using the same machine
// file (a lock on that file); the driver model behind the handle is simbook's. Every open,
// refused open, close and I/O control goes into the trace.
#include <cstring>
#include <cwctype>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/linux/devices.h"
#include "platform/linux/handles.h"
#include "simbook/driver/device_host.h"
#include "simbook/machine.h"

namespace platform {
namespace {

// A handle on the driver's device: the device host's handle number behind a Win32 handle.
struct Device : KernelObject {
    uint64_t number = 0;
    ~Device() override { simbook::device::Close(number); }
};

// The path as a JSON string literal; characters outside ASCII are shown as '?'.
std::string PathLiteral(const wchar_t* text) {
    std::string out;
    for (; *text != L'\0'; ++text) {
        wchar_t c = *text;
        out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return nlohmann::json(out).dump();
}

bool SamePath(const wchar_t* a, const std::wstring& b) {
    size_t i = 0;
    for (; a[i] != L'\0' && i < b.size(); ++i) {
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) {
            return false;
        }
    }
    return a[i] == L'\0' && i == b.size();
}

} // namespace
} // namespace platform

using namespace platform;

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
    (void)dwDesiredAccess;
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    // No path at all names no directory, on Windows as here.
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string traced = PathLiteral(lpFileName);
    if (*lpFileName == L'\0') {
        simbook::device::TraceRefused(traced, ERROR_PATH_NOT_FOUND);
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const simbook::Machine* machine = simbook::CurrentMachine();
    bool known = false;
    if (machine != nullptr && machine->driver.present) {
        for (int i = 0; i < machine->driver.interfaces && !known; ++i) {
            known = SamePath(lpFileName, DriverDevicePath(i));
        }
    }
    if (!known) {
        simbook::device::TraceRefused(traced, ERROR_FILE_NOT_FOUND);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        simbook::device::TraceRefused(traced, ERROR_ACCESS_DENIED);
        SetLastError(ERROR_ACCESS_DENIED); // a device cannot be created or truncated
        return INVALID_HANDLE_VALUE;
    }
    auto device = std::make_shared<Device>();
    uint32_t error = ERROR_SUCCESS;
    device->number = simbook::device::Open(traced, dwShareMode == 0, error);
    if (device->number == 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return InsertHandle(device);
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
    auto device = FindHandleAs<Device>(hDevice);
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = 0;
    }
    DWORD error = ERROR_SUCCESS;
    DWORD returned = 0;
    if (!device) {
        error = ERROR_INVALID_HANDLE;
    } else if (lpOverlapped != nullptr || lpBytesReturned == nullptr ||
               (lpInBuffer == nullptr && nInBufferSize != 0) ||
               (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        simbook::DeviceAnswer answer = simbook::device::Control(
            device->number, dwIoControlCode, static_cast<const uint8_t*>(lpInBuffer), nInBufferSize,
            nOutBufferSize);
        returned = static_cast<DWORD>(answer.out.size());
        if (returned > 0) {
            std::memcpy(lpOutBuffer, answer.out.data(), returned);
        }
        *lpBytesReturned = returned;
        if (!answer.ok) {
            error = answer.error;
        }
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
    }
    bool ok = error == ERROR_SUCCESS;
    simbook::device::TraceControl(dwIoControlCode, static_cast<const uint8_t*>(lpInBuffer),
                                  nInBufferSize, static_cast<const uint8_t*>(lpOutBuffer), returned,
                                  ok, GetLastError());
    return ok ? TRUE : FALSE;
}
