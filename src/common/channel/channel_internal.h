// Helpers shared by the channel's source files: the driver's I/O-control codes, the layout of
// capsules and encapsulated requests, little-endian field access, the block cipher step,
// zero-filled process-heap blocks and a wipe the optimiser keeps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/channel/channel_codes.h"
#include "platform/win32.h"

struct BlowfishContext;

namespace MiscCommon {
namespace detail {

// I/O-control codes of the system-management driver (device type 0x22, METHOD_BUFFERED,
// FILE_ANY_ACCESS).
constexpr DWORD kIoctlHandshake = 0x222000;    // probe and the three handshake phases
constexpr DWORD kIoctlEndSession = 0x222004;   // input: the 4-byte session identifier
constexpr DWORD kIoctlCapsule = 0x222008;      // request capsule in, response capsule out
constexpr DWORD kIoctlFirmwareCall = 0x222944; // travels only inside an encapsulated request

constexpr size_t kTextChars = 256; // _szError and _szVersion

// MessageCapsule: [payload length][total length][session identifier][padded payload][zero word].
constexpr size_t kCapsulePayloadLengthField = 0;
constexpr size_t kCapsuleTotalLengthField = 4;
constexpr size_t kCapsuleSessionField = 8;
constexpr DWORD kCapsuleHeader = 12;   // the three fields above; the payload starts here
constexpr DWORD kCapsuleOverhead = 16; // header plus the zero trailer word

// EncapsulatedRequest, the payload of a request capsule: [sequence][length][I/O-control code]
// [input size][output size][input bytes][zero word].
constexpr size_t kRequestSequenceField = 0;
constexpr size_t kRequestLengthField = 4;
constexpr size_t kRequestCodeField = 8;
constexpr size_t kRequestInputSizeField = 12;
constexpr size_t kRequestOutputSizeField = 16;
constexpr size_t kRequestInputData = 20;
constexpr DWORD kRequestOverhead = 24; // the fields above and the zero trailer word

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

// Fills the MiscPacket header of a request: function, sub-function, input and output lengths.
inline void StoreMiscPacketHeader(BYTE* packet, BYTE function, BYTE subfunction,
                                  uint16_t inputLength, uint16_t outputLength) {
    packet[MiscPacket::FUNCTION] = function;
    packet[MiscPacket::SUBFUNCTION] = subfunction;
    Store16(packet + MiscPacket::INPUT_LENGTH, inputLength);
    Store16(packet + MiscPacket::OUTPUT_LENGTH, outputLength);
}

// How a step of a longer operation failed: the message for _szError, the result code, and the
// last-error code to put back after the clean-up (when `restore`).
struct StepFailure {
    const wchar_t* message = nullptr;
    int code = RESULT_SUCCESS;
    bool restore = false;
    DWORD lastError = 0;
};

// Records a failure in `failure` and returns false, so that a step can end with
// `return Fail(...)`.
inline bool Fail(StepFailure& failure, const wchar_t* message, int code, bool restore = false,
                 DWORD lastError = 0) {
    failure = StepFailure{message, code, restore, lastError};
    return false;
}

// Enciphers or deciphers one 8-byte block in place: the first four bytes, little-endian, are
// the left half, the next four the right half. False when the cipher reports a failure.
bool CipherBlock(const BlowfishContext* context, BYTE* block, bool encipher);

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
