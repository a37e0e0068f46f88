// Provides: IIDFromString.
//
// Accepts only the registry form of a GUID, exactly 38 characters: "{", 8 hexadecimal digits,
// "-", 4, "-", 4, "-", 4, "-", 12, "}" (ASCII digits in either case). The answers are Windows':
// - a null string gives S_OK and the all-zero GUID;
// - a text of any other length (empty, a prefix, trailing text, a zero inside, a name) fails
//   with E_INVALIDARG and leaves the GUID alone;
// - a text of the right length that does not start with "{" fails with CO_E_IIDSTRING and
//   leaves the GUID alone;
// - any other malformed text of the right length fails with CO_E_IIDSTRING after the fields
//   before the failing character have been stored: each of Data1, Data2 and Data3 is cleared
//   when its first digit is read and then takes the digits one by one, and each byte of Data4
//   is stored once both of its digits are read. So the caller's GUID holds a partial value.
// A null GUID pointer fails with E_INVALIDARG (Windows would fault). Nothing is read past the
// terminating zero of the text.
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace {

constexpr size_t kGuidTextLength = 38;

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

// Reads `digits` hexadecimal digits from text[at] into `field`, clearing it first and storing
// after each digit; false at the first character that is no digit.
template <class Field> bool ReadField(const wchar_t* text, size_t at, int digits, Field& field) {
    field = 0;
    for (int k = 0; k < digits; ++k) {
        int v = HexValue(text[at + static_cast<size_t>(k)]);
        if (v < 0) {
            return false;
        }
        field = static_cast<Field>(field << 4 | v);
    }
    return true;
}

// Parses the 38 characters of `text` (known to be that long and to start with "{") into
// `guid`, field by field in the order of the text.
bool ParseRegistryForm(const wchar_t* text, GUID& guid) {
    if (!ReadField(text, 1, 8, guid.Data1) || text[9] != L'-' ||
        !ReadField(text, 10, 4, guid.Data2) || text[14] != L'-' ||
        !ReadField(text, 15, 4, guid.Data3) || text[19] != L'-') {
        return false;
    }
    size_t at = 20;
    for (int k = 0; k < 8; ++k) {
        if (k == 2) {
            if (text[at] != L'-') {
                return false;
            }
            ++at;
        }
        int hi = HexValue(text[at]);
        int lo = HexValue(text[at + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        guid.Data4[k] = static_cast<BYTE>(hi << 4 | lo);
        at += 2;
    }
    return text[37] == L'}';
}

} // namespace

extern "C" HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (lpiid == nullptr) {
        return E_INVALIDARG;
    }
    if (lpsz == nullptr) {
        *lpiid = GUID{};
        return S_OK;
    }
    size_t length = 0;
    while (length <= kGuidTextLength && lpsz[length] != L'\0') {
        ++length;
    }
    if (length != kGuidTextLength) {
        return E_INVALIDARG;
    }
    if (lpsz[0] != L'{') {
        return CO_E_IIDSTRING;
    }
    return ParseRegistryForm(lpsz, *lpiid) ? S_OK : CO_E_IIDSTRING;
}
