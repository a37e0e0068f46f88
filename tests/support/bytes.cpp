#include "bytes.h"

#include <gtest/gtest.h>

namespace nwt::test {

namespace {

int Digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string ToHex(const void* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    const auto* p = static_cast<const uint8_t*>(data);
    std::string text;
    text.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[p[i] >> 4];
        text += kDigits[p[i] & 0xf];
    }
    return text;
}

std::string ToHex(const Bytes& bytes) {
    return ToHex(bytes.data(), bytes.size());
}

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    if (hex.size() % 2 != 0) {
        ADD_FAILURE() << "odd hex length: " << hex;
        return bytes;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = Digit(hex[i]);
        const int low = Digit(hex[i + 1]);
        if (high < 0 || low < 0) {
            ADD_FAILURE() << "not hex at " << i << ": " << hex;
            break;
        }
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
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
