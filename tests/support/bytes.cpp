#include "bytes.h"

#include <optional>

#include <gtest/gtest.h>

#include "simbook/bytes.h"

namespace nwt::test {

std::string ToHex(const void* data, size_t size) {
    return simbook::HexText(data, size);
}

std::string ToHex(const Bytes& bytes) {
    return ToHex(bytes.data(), bytes.size());
}

Bytes FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) {
        ADD_FAILURE() << "odd hex length: " << hex;
        return {};
    }
    std::optional<Bytes> bytes = simbook::HexBytes(hex);
    if (!bytes) {
        ADD_FAILURE() << "not hex: " << hex;
        return {};
    }
    return std::move(*bytes);
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutLe16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

} // namespace nwt::test
