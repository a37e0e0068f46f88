// Pieces the text-facing fuzz targets share: how an input's bytes become wide characters, and a
// reference reading of the registry form of a GUID to compare the product's parsers with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/win32.h"

namespace fuzz_support {

// Appends the wide character at data[i] to `text` and returns the index of the next one: a
// byte 0xFF and the two bytes after it are one character (little-endian), any other byte is the
// character of its value.
inline size_t AppendWideCharacter(const uint8_t* data, size_t size, size_t i, std::wstring& text) {
    if (data[i] == 0xFF && i + 2 < size) {
        text += static_cast<wchar_t>(data[i + 1] | (data[i + 2] << 8));
        return i + 3;
    }
    text += static_cast<wchar_t>(data[i]);
    return i + 1;
}

inline int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// The registry form "{8-4-4-4-12}" in hexadecimal digits of either case, and the GUID it names.
inline bool RegistryFormGuid(const std::wstring& text, GUID& guid) {
    static const char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    if (text.size() != sizeof(kShape) - 1) {
        return false;
    }
    uint8_t bytes[16] = {};
    size_t nibble = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kShape[i] != 'x') {
            if (text[i] != static_cast<wchar_t>(kShape[i])) {
                return false;
            }
            continue;
        }
        const int v = HexDigit(text[i]);
        if (v < 0) {
            return false;
        }
        bytes[nibble / 2] = static_cast<uint8_t>(bytes[nibble / 2] << 4 | v);
        ++nibble;
    }
    guid.Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                 static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    guid.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    guid.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, 8);
    return true;
}

} // namespace fuzz_support
