// Provides: IIDFromString.
//
// Accepts only the registry form of a GUID, exactly 38 characters: "{", 8 hexadecimal digits,
// "-", 4, "-", 4, "-", 4, "-", 12, "}" (digits in either case), followed by the end of the
// string. Null pointers fail with E_INVALIDARG and malformed text with CO_E_IIDSTRING. On
// failure the caller's GUID is left exactly as it was; nothing is read past the end of the text.
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace {

int HexValue(wchar_t c) {
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

} // namespace

extern "C" HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (lpsz == nullptr || lpiid == nullptr) {
        return E_INVALIDARG;
    }
    static const char kPattern[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    uint8_t bytes[16] = {};
    size_t digit = 0;
    for (size_t i = 0; i < sizeof kPattern - 1; ++i) {
        wchar_t c = lpsz[i]; // a zero here fails the match, so the scan stops at the end
        if (kPattern[i] == 'x') {
            int v = HexValue(c);
            if (v < 0) {
                return CO_E_IIDSTRING;
            }
            bytes[digit / 2] = static_cast<uint8_t>(bytes[digit / 2] << 4 | v);
            ++digit;
        } else if (c != static_cast<wchar_t>(kPattern[i])) {
            return CO_E_IIDSTRING;
        }
    }
    if (lpsz[sizeof kPattern - 1] != L'\0') {
        return CO_E_IIDSTRING;
    }
    // The text gives the fields as numbers, most significant digit first.
    GUID guid;
    guid.Data1 = static_cast<DWORD>(bytes[0]) << 24 | static_cast<DWORD>(bytes[1]) << 16 |
                 static_cast<DWORD>(bytes[2]) << 8 | bytes[3];
    guid.Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
    guid.Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
    for (int k = 0; k < 8; ++k) {
        guid.Data4[k] = bytes[8 + k];
    }
    *lpiid = guid;
    return S_OK;
}
