// Byte-level helpers shared by simbook's models, the Linux stand-in and the Wi-Fi service
// libraries: explicit little- and big-endian loads and stores, hexadecimal text, and the
// registry text form of a GUID. Standard C++ only.
//
//   LoadLe16/32, StoreLe16/32   the wire order of the driver's packets and capsules
//   LoadBe16/32, StoreBe16/32   most significant byte first (GUID text, key words)
//   HexText, HexBytes           lower-case hex with no separators, and back (either case)
//   GuidText, ParseGuidText     "{c799c725-24b9-464b-b6c7-5e300dce17d6}" and back
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simbook/types.h"

namespace simbook {

inline uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
    StoreLe16(p, static_cast<uint16_t>(v));
    StoreLe16(p + 2, static_cast<uint16_t>(v >> 16));
}

inline uint16_t LoadBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t LoadBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(LoadBe16(p)) << 16) | LoadBe16(p + 2);
}

inline void StoreBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
    StoreBe16(p, static_cast<uint16_t>(v >> 16));
    StoreBe16(p + 2, static_cast<uint16_t>(v));
}

// Lower-case hex of `size` bytes, no separators ("" for none), as trace lines carry buffers.
std::string HexText(const void* data, size_t size);

// The bytes of hex text (digits in either case); nullopt for an odd count or a non-hex digit.
std::optional<std::vector<uint8_t>> HexBytes(std::string_view text);

// The registry form of a GUID: braced, lower case, 38 characters.
std::string GuidText(const Guid& guid);

// Parses the strict registry form {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx} (digits in either
// case, nothing before or after). False, leaving `guid` as it was, for any other text.
bool ParseGuidText(std::string_view text, Guid& guid);

} // namespace simbook
