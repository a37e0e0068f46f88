// Helpers shared by the channel's source files: the driver's I/O-control codes, little-endian
// field access, zero-filled process-heap blocks and a wipe the optimiser keeps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace MiscCommon {
namespace detail {

// I/O-control codes of the system-management driver (device type 0x22, METHOD_BUFFERED,
// FILE_ANY_ACCESS).
constexpr DWORD kIoctlHandshake = 0x222000;    // probe and the three handshake phases
constexpr DWORD kIoctlEndSession = 0x222004;   // input: the 4-byte session identifier
constexpr DWORD kIoctlCapsule = 0x222008;      // request capsule in, response capsule out
constexpr DWORD kIoctlFirmwareCall = 0x222944; // travels only inside an encapsulated request

constexpr size_t kTextChars = 256;     // _szError and _szVersion
constexpr DWORD kCapsuleHeader = 12;   // payload length, total length, session identifier
constexpr DWORD kCapsuleOverhead = 16; // header plus the zero trailer word
constexpr DWORD kRequestOverhead = 24; // the encapsulated request's header and trailer word
constexpr size_t kPacketHeader = 6;    // function, sub-function, input and output lengths

inline uint16_t Load16(const BYTE* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t Load32(const BYTE* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void Store16(BYTE* p, uint16_t v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
}

inline void Store32(BYTE* p, uint32_t v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}

// Overwrites `size` bytes with zeros through a volatile pointer, so the stores survive even
// when the memory is released or goes out of scope right after.
void Wipe(void* memory, size_t size);

// A zero-filled block from the process heap, or null.
void* HeapAllocZero(size_t size);
// Returns a block to the process heap; null is ignored.
void HeapRelease(void* block);
// Wipes `size` bytes of the block, then returns it to the process heap; null is ignored.
void HeapWipeRelease(void* block, size_t size);

} // namespace detail
} // namespace MiscCommon
