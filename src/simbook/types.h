// Plain types of the simulated notebook: the Win32-shaped values its models hand to a host
// (error codes, GUIDs, the clock's eight fields) without including any Win32 header. So the
// models compile alike for the Linux stand-in, for a Winelib host next to Wine's headers and
// for a MinGW-built service library next to the Windows SDK's.
#pragma once

#include <array>
#include <cstdint>

namespace simbook {

using Dword = uint32_t;

// The memory layout of a Win32 Guid, so a host can copy one into the other byte for byte.
struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};

    friend bool operator==(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16, "a Guid has the size of a Win32 Guid");

// The eight fields of a Win32 SystemTime, in its order: year, month, day of week, day, hour,
// minute, second, milliseconds.
using SystemTime = std::array<uint16_t, 8>;

// The Win32 error codes the models report to their host, by their Windows values.
namespace win32 {
constexpr Dword kSuccess = 0;
constexpr Dword kInvalidFunction = 1;
constexpr Dword kFileNotFound = 2;
constexpr Dword kAccessDenied = 5;
constexpr Dword kInvalidHandle = 6;
constexpr Dword kSharingViolation = 32;
constexpr Dword kNotSupported = 50;
constexpr Dword kInvalidParameter = 87;
constexpr Dword kInsufficientBuffer = 122;
constexpr Dword kBusy = 170;
constexpr Dword kIoDevice = 1117;
constexpr Dword kInvalidState = 5023;
} // namespace win32

} // namespace simbook
