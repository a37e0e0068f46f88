// Provides: CreateFileW (on the driver's device paths only; any other path fails with
// ERROR_FILE_NOT_FOUND, an empty or null one with ERROR_PATH_NOT_FOUND) and DeviceIoControl
// (METHOD_BUFFERED, synchronous: no OVERLAPPED). Device handles are closed by CloseHandle.
// Share mode 0 makes a handle exclusive, also against other processes using the same machine
// file (a lock on that file); the driver model behind the handle is simbook's. Every open,
// refused open, close and I/O control goes into the trace.
#include <atomic>
#include <cstring>
#include <cwctype>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/linux/devices.h"
#include "platform/linux/handles.h"
#include "simbook/driver.h"
#include "simbook/machine.h"
#include "simbook/store.h"
#include "simbook/trace.h"

namespace platform {
namespace {

std::mutex g_driverMutex;
const simbook::Machine* g_driverMachine = nullptr;
std::shared_ptr<simbook::Driver> g_driver;
std::atomic<uint64_t> g_nextOwner{1};

// The driver of the current machine: one per process, as a kernel driver is one per system.
std::shared_ptr<simbook::Driver> DriverFor(const simbook::Machine* machine) {
    std::lock_guard<std::mutex> lock(g_driverMutex);
    if (g_driverMachine != machine || !g_driver) {
        g_driver = std::make_shared<simbook::Driver>(*machine);
        g_driverMachine = machine;
    }
    return g_driver;
}

struct Device : KernelObject {
    uint64_t owner = 0;
    std::shared_ptr<simbook::Driver> driver;
    simbook::MachineLock lock;

    ~Device() override {
        if (driver) {
            driver->Closed(owner);
        }
        if (owner != 0) { // 0: never became a handle
            simbook::TraceLine("{\"op\":\"close\",\"handle\":" + std::to_string(owner) + "}");
        }
    }
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

void TraceOpen(const char* op, const std::string& path, DWORD error, uint64_t owner) {
    std::string line = std::string("{\"op\":\"") + op + "\",\"path\":" + path;
    if (owner != 0) {
        line += ",\"handle\":" + std::to_string(owner);
    }
    line += ",\"last_error\":" + std::to_string(error) + "}";
    simbook::TraceLine(line);
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
        TraceOpen("refused", traced, ERROR_PATH_NOT_FOUND, 0);
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
        TraceOpen("refused", traced, ERROR_FILE_NOT_FOUND, 0);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        TraceOpen("refused", traced, ERROR_ACCESS_DENIED, 0);
        SetLastError(ERROR_ACCESS_DENIED); // a device cannot be created or truncated
        return INVALID_HANDLE_VALUE;
    }
    auto device = std::make_shared<Device>();
    DWORD error = ERROR_SUCCESS;
    if (!device->lock.Acquire(machine->path, dwShareMode == 0, error)) {
        TraceOpen("refused", traced, error, 0);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    device->owner = g_nextOwner.fetch_add(1);
    device->driver = DriverFor(machine);
    device->driver->Opened(device->owner, machine->path);
    TraceOpen("open", traced, ERROR_SUCCESS, device->owner);
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
    simbook::IoResult result;
    if (!device) {
        error = ERROR_INVALID_HANDLE;
    } else if (lpOverlapped != nullptr || lpBytesReturned == nullptr ||
               (lpInBuffer == nullptr && nInBufferSize != 0) ||
               (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        // METHOD_BUFFERED: the driver works on a system buffer, never on the caller's memory.
        std::vector<uint8_t> in(static_cast<const uint8_t*>(lpInBuffer),
                                static_cast<const uint8_t*>(lpInBuffer) + nInBufferSize);
        std::vector<uint8_t> out(nOutBufferSize, 0);
        result = device->driver->Control(device->owner, &device->lock, dwIoControlCode, in.data(),
                                         nInBufferSize, out.data(), nOutBufferSize);
        if (result.returned > 0) {
            std::memcpy(lpOutBuffer, out.data(), result.returned);
        }
        *lpBytesReturned = result.returned;
        if (!result.ok) {
            error = result.error;
        }
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
    }
    bool ok = error == ERROR_SUCCESS;
    if (simbook::TraceEnabled()) {
        simbook::TraceLine(
            "{\"op\":\"DeviceIoControl\",\"code\":" + std::to_string(dwIoControlCode) +
            ",\"in\":\"" +
            (lpInBuffer != nullptr ? simbook::HexText(lpInBuffer, nInBufferSize) : "") +
            "\",\"out\":\"" +
            (result.returned > 0 ? simbook::HexText(lpOutBuffer, result.returned) : "") +
            "\",\"result\":" + (ok ? "true" : "false") +
            ",\"last_error\":" + std::to_string(GetLastError()) + "}");
    }
    return ok ? TRUE : FALSE;
}
