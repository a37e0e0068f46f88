// Bytes in tests: hex text both ways and little-endian loads and stores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nwt::test {

using Bytes = std::vector<uint8_t>;

// Lower-case hex, two digits a byte.
std::string ToHex(const void* data, size_t size);
std::string ToHex(const Bytes& bytes);
// Hex text of either case to bytes; a character that is not a hex digit, or an odd count, is a
// test failure and ends the conversion.
Bytes FromHex(const std::string& hex);

uint16_t Le16(const uint8_t* p);
uint32_t Le32(const uint8_t* p);
void PutLe16(uint8_t* p, uint16_t value);
void PutLe32(uint8_t* p, uint32_t value);

} // namespace nwt::test
