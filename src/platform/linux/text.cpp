// Provides: MultiByteToWideChar.
//
// Code pages: CP_ACP (Windows-1252, or UTF-8 when the machine's `ansi_code_page` is 65001), 1252
// and CP_UTF8. Others fail with ERROR_INVALID_PARAMETER. Flags: MB_PRECOMPOSED (the output is
// precomposed anyway) and MB_ERR_INVALID_CHARS; MB_COMPOSITE and MB_USEGLYPHCHARS are not
// supported (ERROR_INVALID_FLAGS), and UTF-8 takes no flag but MB_ERR_INVALID_CHARS.
//
// Windows-1252 maps every byte: its five unassigned bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D become
// the control characters of the same value, so MB_ERR_INVALID_CHARS never fails for it.
// UTF-8 rejects overlong forms, surrogates and values above U+10FFFF; without
// MB_ERR_INVALID_CHARS each maximal ill-formed subpart becomes U+FFFD, with it the call fails
// with ERROR_NO_UNICODE_TRANSLATION. wchar_t is 32-bit here, so a character above U+FFFF is one
// wchar_t, and counts are in wchar_t.
//
// Sizes follow the documented negotiation: cchWideChar 0 asks for the count, a buffer too small
// fails with ERROR_INSUFFICIENT_BUFFER, cbMultiByte -1 converts up to and including the
// terminating zero byte.
#include <cstdint>
#include <new>
#include <vector>

#include "platform/win32.h"
#include "simbook/machine.h"

namespace {

constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kErrorNoUnicodeTranslation = 1113;
constexpr UINT kWindows1252 = 1252;

// 0x80 to 0x9F of Windows-1252; the rest of the code page is the identity on Latin-1.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void Decode1252(const uint8_t* in, size_t n, std::vector<wchar_t>& out) {
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = in[i];
        out.push_back(static_cast<wchar_t>(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b));
    }
}

// Decodes UTF-8; false at the first ill-formed sequence when `strict`, otherwise each maximal
// ill-formed subpart becomes one U+FFFD.
bool DecodeUtf8(const uint8_t* in, size_t n, bool strict, std::vector<wchar_t>& out) {
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        uint8_t b = in[i];
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        }
        size_t need = 0;
        char32_t cp = 0;
        uint8_t lo = 0x80, hi = 0xBF; // range of the first continuation byte
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            lo = b == 0xE0 ? 0xA0 : 0x80; // no overlong forms
            hi = b == 0xED ? 0x9F : 0xBF; // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            lo = b == 0xF0 ? 0x90 : 0x80;
            hi = b == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
        }
        size_t used = 1;
        bool ok = need > 0;
        for (size_t k = 0; ok && k < need; ++k) {
            if (i + used >= n) {
                ok = false;
                break;
            }
            uint8_t c = in[i + used];
            uint8_t low = k == 0 ? lo : 0x80, high = k == 0 ? hi : 0xBF;
            if (c < low || c > high) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
            ++used;
        }
        if (!ok) {
            if (strict) {
                return false;
            }
            out.push_back(static_cast<wchar_t>(0xFFFD));
            i += used;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += used;
    }
    return true;
}

// The code page `requested` stands for on this machine (CP_ACP is the machine's ANSI page) and
// whether it takes `flags`: ERROR_SUCCESS, or the error the call fails with.
DWORD ResolvePage(UINT requested, DWORD flags, UINT& page) {
    page = requested;
    if (page == CP_ACP) {
        const simbook::Machine* machine = simbook::CurrentMachine();
        page = machine != nullptr && machine->ansiCodePage == CP_UTF8 ? CP_UTF8 : kWindows1252;
    }
    if (page != kWindows1252 && page != CP_UTF8) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD allowed =
        page == CP_UTF8 ? MB_ERR_INVALID_CHARS : (MB_PRECOMPOSED | MB_ERR_INVALID_CHARS);
    return (flags & ~allowed) != 0 ? kErrorInvalidFlags : ERROR_SUCCESS;
}

// The bytes to convert: `count`, or for -1 the text up to and including its terminating zero,
// which is converted too.
size_t SourceLength(LPCSTR text, int count) {
    if (count != -1) {
        return static_cast<size_t>(count);
    }
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length + 1;
}

} // namespace

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                          int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    UINT page = CP_ACP;
    DWORD error = ResolvePage(CodePage, dwFlags, page);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    size_t length = SourceLength(lpMultiByteStr, cbMultiByte);

    std::vector<wchar_t> wide;
    try {
        const auto* bytes = reinterpret_cast<const uint8_t*>(lpMultiByteStr);
        if (page == CP_UTF8) {
            if (!DecodeUtf8(bytes, length, (dwFlags & MB_ERR_INVALID_CHARS) != 0, wide)) {
                SetLastError(kErrorNoUnicodeTranslation);
                return 0;
            }
        } else {
            Decode1252(bytes, length, wide);
        }
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }

    if (wide.size() > static_cast<size_t>(INT32_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int count = static_cast<int>(wide.size());
    if (cchWideChar == 0) {
        return count;
    }
    if (count > cchWideChar) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (int k = 0; k < count; ++k) {
        lpWideCharStr[k] = wide[static_cast<size_t>(k)];
    }
    return count;
}
