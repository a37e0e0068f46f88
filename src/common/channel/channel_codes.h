// The channel's named numbers, each written once: the result codes of its operations, the
// firmware function numbers and status bytes, and the byte layout of the MiscPacket header and
// of every firmware request packet. Included through misc_common.h; the setting layer uses
// these names instead of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace MiscCommon {

// Result codes of every channel operation (0 is success).
constexpr int RESULT_SUCCESS = 0;
constexpr int RESULT_FAILED = 2;           // a system call, cipher or protocol step failed
constexpr int RESULT_INVALID_ARGUMENT = 3; // null capsule, null or empty packet, bad parameters
constexpr int RESULT_NO_MEMORY = 5;        // a memory allocation failed
constexpr int RESULT_NO_DRIVER = 6;        // driver not found, or authentication failed
constexpr int RESULT_NOT_READY = 8;        // no device handle, or no cipher context
constexpr int RESULT_OLD_DRIVER = 10;      // driver older than 1.0.8
constexpr int RESULT_OPEN_FAILED = 11;     // opening the device failed

// Firmware function numbers (byte 0 of a request packet) and their sub-functions (byte 1).
constexpr BYTE FUNCTION_PASSWORD_INFO = 0x04;
constexpr BYTE FUNCTION_PASSWORD_STATE = 0x05;
constexpr BYTE FUNCTION_READ_INDEXED_SETTING = 0x0C;
constexpr BYTE FUNCTION_WRITE_INDEXED_SETTING = 0x0D;
constexpr BYTE FUNCTION_GET_SETUP_ITEM = 0x11;
constexpr BYTE FUNCTION_SET_SETUP_ITEM = 0x12;
constexpr BYTE SUBFUNCTION_SETTING = 0x01;  // functions 0x0C, 0x0D, 0x11, 0x12
constexpr BYTE SUBFUNCTION_PASSWORD = 0x03; // functions 0x04, 0x05

// Firmware status bytes (byte 0 of an answer packet).
constexpr BYTE FIRMWARE_STATUS_DONE = 0;
constexpr BYTE FIRMWARE_STATUS_PASSWORD_NOT_SET = 2; // function 0x05: the password is not set
constexpr BYTE FIRMWARE_STATUS_BUSY = 4;             // repeat the request later
constexpr BYTE FIRMWARE_STATUS_TOO_SMALL = 5;        // function 0x11: data area too small

// Byte offsets and sizes of the packets. All multi-byte fields are little-endian.
namespace MiscPacket {
constexpr size_t FUNCTION = 0;      // request: function number; answer: status byte
constexpr size_t STATUS = 0;        // the same byte in the answer
constexpr size_t SUBFUNCTION = 1;   // sub-function
constexpr size_t INPUT_LENGTH = 2;  // 16 bits: bytes of the packet sent, from its start
constexpr size_t OUTPUT_LENGTH = 4; // 16 bits: bytes of answer expected
constexpr size_t HEADER_SIZE = 6;
} // namespace MiscPacket

// Functions 0x0C (read) and 0x0D (write) of an indexed setting.
namespace IndexedSettingPacket {
constexpr size_t SIZE = 32;
constexpr size_t FIXED_LOW = 8;   // 32 bits: FIXED_LOW_VALUE
constexpr size_t INDEX = 12;      // 32 bits in the request: the setting index
constexpr size_t WIDTH = 12;      // byte of the answer: the value's width in bits
constexpr size_t FIXED_HIGH = 16; // 32 bits: FixedHighValue(function)
constexpr size_t VALUE = 20;      // 32 bits: the value read or written
constexpr uint32_t FIXED_LOW_VALUE = 0x90;
// The field at FIXED_HIGH repeats 0x90 in its low half and carries the function number and
// 0x01 in its upper bytes.
constexpr uint32_t FixedHighValue(BYTE function) {
    return 0x01000000u | (static_cast<uint32_t>(function) << 16) | FIXED_LOW_VALUE;
}
} // namespace IndexedSettingPacket

// Function 0x11: get a setup item; a data area of n bytes follows the header.
namespace GetSetupItemPacket {
constexpr size_t ITEM = 8;      // 16 bits: item identifier
constexpr size_t SELECTOR = 10; // 16 bits
constexpr size_t WORD1 = 12;    // the four 16-bit answer words
constexpr size_t WORD2 = 14;
constexpr size_t WORD3 = 16;
constexpr size_t WORD4 = 18;
constexpr size_t DATA_LENGTH = 20; // 16 bits: n; with status 5 the length needed
constexpr size_t HEADER_SIZE = 22; // where the data area starts
} // namespace GetSetupItemPacket

// Function 0x12: set a setup item.
namespace SetSetupItemPacket {
constexpr size_t SIZE = 16;
constexpr size_t ITEM = 8;      // 16 bits: item identifier
constexpr size_t SELECTOR = 10; // 16 bits
constexpr size_t VALUE = 12;    // 16 bits: the new value
} // namespace SetSetupItemPacket

// Function 0x04: password information; only the first SENT bytes travel to the firmware.
namespace PasswordInfoPacket {
constexpr size_t SENT = 8;
constexpr size_t SIZE = 18;
constexpr size_t WORD1 = 8; // three 16-bit answer words
constexpr size_t WORD2 = 10;
constexpr size_t WORD3 = 12;
constexpr size_t FLAG1 = 14; // two answer flag bytes
constexpr size_t FLAG2 = 15;
constexpr size_t DATA_LENGTH = 16; // 16 bits: the data length function 0x05 needs
} // namespace PasswordInfoPacket

// Function 0x05: password state; a data area of n bytes follows the header.
namespace PasswordStatePacket {
constexpr size_t SELECTOR = 8;     // 16 bits: 0x8000 supervisor, 0 user password
constexpr size_t HEADER_SIZE = 10; // where the data area starts
} // namespace PasswordStatePacket

} // namespace MiscCommon
