// Hexadecimal text and the registry text form of a GUID (see bytes.h).
#include "simbook/bytes.h"

#include <algorithm>
#include <array>

namespace simbook {
namespace {

constexpr size_t kGuidTextLength = 38;
// Where the dashes of the registry form stand; every other inner character is a hex digit.
constexpr std::array<size_t, 4> kGuidDashes = {9, 14, 19, 24};

int HexDigit(char c) {
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

// The GUID's sixteen bytes in text order: each field most significant byte first.
std::array<uint8_t, 16> TextOrder(const Guid& guid) {
    std::array<uint8_t, 16> bytes{};
    StoreBe32(bytes.data(), guid.data1);
    StoreBe16(bytes.data() + 4, guid.data2);
    StoreBe16(bytes.data() + 6, guid.data3);
    std::copy(guid.data4.begin(), guid.data4.end(), bytes.begin() + 8);
    return bytes;
}

} // namespace

std::string HexText(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::optional<std::vector<uint8_t>> HexBytes(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]);
        int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return bytes;
}

std::string GuidText(const Guid& guid) {
    std::array<uint8_t, 16> bytes = TextOrder(guid);
    std::string hex = HexText(bytes.data(), bytes.size());
    std::string text;
    text.reserve(kGuidTextLength);
    text += '{';
    for (char digit : hex) {
        if (std::find(kGuidDashes.begin(), kGuidDashes.end(), text.size()) != kGuidDashes.end()) {
            text += '-';
        }
        text += digit;
    }
    text += '}';
    return text;
}

bool ParseGuidText(std::string_view text, Guid& guid) {
    if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}') {
        return false;
    }
    std::string digits(text.substr(1, kGuidTextLength - 2));
    for (auto dash = kGuidDashes.rbegin(); dash != kGuidDashes.rend(); ++dash) {
        if (digits[*dash - 1] != '-') {
            return false;
        }
        digits.erase(*dash - 1, 1);
    }
    std::optional<std::vector<uint8_t>> bytes = HexBytes(digits);
    if (!bytes) {
        return false;
    }
    guid.data1 = LoadBe32(bytes->data());
    guid.data2 = LoadBe16(bytes->data() + 4);
    guid.data3 = LoadBe16(bytes->data() + 6);
    std::copy(bytes->begin() + 8, bytes->end(), guid.data4.begin());
    return true;
}

} // namespace simbook
