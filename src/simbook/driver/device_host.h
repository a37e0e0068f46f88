// The system-management driver's device as a host sees it: handles opened and closed, and the
// I/O controls on them, run by the driver model over the current machine, with the machine
// file's lock and the trace lines of each event. The Linux stand-in's CreateFileW,
// DeviceIoControl and CloseHandle sit on this, and so does the host server that answers the
// Windows programs' I/O controls under Wine.
//
// Only standard C++ types cross this interface, so a Winelib program can include it next to
// Wine's own headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simbook {

// What the driver publishes for the current machine, for a host to lay out its devices.
struct DevicePublication {
    bool readable = false; // false: the machine file could not be read (already reported)
    bool present = false;
    int interfaces = 0;
    std::optional<std::string> driverVersion; // nullopt: the value is missing
    std::string machinePath;
};
DevicePublication PublishedDevice();

struct DeviceAnswer {
    bool ok = false;
    uint32_t error = 0;       // the Win32 error when !ok
    std::vector<uint8_t> out; // the bytes returned; their count is the returned count
};

namespace device {

// Opens a handle on the driver's device of the current machine. `tracedPath` is the device path
// the program named, as a JSON string literal for the trace. Share mode 0 (`exclusive`) holds
// the machine file exclusively, also against other processes. Returns the handle's number, or
// 0 with `error` set (ERROR_FILE_NOT_FOUND when no driver is there, ERROR_SHARING_VIOLATION when
// another handle holds the device or the machine says another program does).
uint64_t Open(const std::string& tracedPath, bool exclusive, uint32_t& error);

// An I/O control on an open handle (METHOD_BUFFERED: `in` is a copy, `outRoom` the room the
// caller offered). An unknown handle fails with ERROR_INVALID_HANDLE.
DeviceAnswer Control(uint64_t handle, uint32_t code, const uint8_t* in, uint32_t inSize,
                     uint32_t outRoom);

// Closes a handle: its sessions end and its lock on the machine file goes.
void Close(uint64_t handle);

// Trace lines for what the host decided itself: an open it refused before reaching the driver,
// and every I/O control with the result and last error as the caller saw them.
void TraceRefused(const std::string& tracedPath, uint32_t error);
void TraceControl(uint32_t code, const uint8_t* in, uint32_t inSize, const uint8_t* out,
                  uint32_t returned, bool ok, uint32_t lastError);

} // namespace device
} // namespace simbook
