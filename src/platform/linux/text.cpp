// Provides: MultiByteToWideChar.
//
// Code pages: CP_ACP (Windows-1252, or UTF-8 when the machine's `ansi_code_page` is 65001), 1252
// and CP_UTF8. Others fail with ERROR_INVALID_PARAMETER. Flags: MB_PRECOMPOSED (the output is
// precomposed anyway) and MB_ERR_INVALID_CHARS; MB_COMPOSITE and MB_USEGLYPHCHARS are not
// supported (ERROR_INVALID_FLAGS), and UTF-8 takes no flag but MB_ERR_INVALID_CHARS.
//
// Windows-1252 maps every byte: its five unassigned bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D become
// the control characters of the same value, so MB_ERR_INVALID_CHARS never fails for it.
// UTF-8 rejects overlong forms, surrogates and values above U+10FFFF; each ill-formed sequence
// becomes one U+FFFD, with Windows' rule for how many bytes a sequence takes (see
// DecodeUtf8Sequence), and with MB_ERR_INVALID_CHARS the call then fails with
// ERROR_NO_UNICODE_TRANSLATION. wchar_t is 32-bit here, so a character above U+FFFF is one
// wchar_t where Windows writes a surrogate pair, and counts are in wchar_t.
//
// Sizes follow the documented negotiation: cchWideChar 0 asks for the count, a buffer too small
// fails with ERROR_INSUFFICIENT_BUFFER, and a negative cbMultiByte (-1, or any other, as
// Windows takes it) converts up to and including the terminating zero byte. As on Windows, a
// call that fails for want of room or, strict, for an ill-formed sequence has already written
// into the buffer what it converted. The documented refusal of one buffer for both the input
// and the output (ERROR_INVALID_PARAMETER) is kept, although Windows implementations convert.
#include <cstdint>
#include <new>
#include <vector>

#include "platform/win32.h"
#include "simbook/machine.h"

namespace {

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

// The number of continuation bytes a UTF-8 lead byte announces; 0 for ASCII and for bytes that
// cannot start a sequence (continuation bytes, C0, C1, F5 to FF).
size_t ContinuationCount(uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 1;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 2;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 3;
    }
    return 0;
}

// Decodes the sequence that starts with the lead byte in[i] (at least 0x80). Returns the code
// point, or -1 for an ill-formed sequence, and advances `i` past the bytes it takes. The bytes
// an ill-formed sequence takes, and so the number of U+FFFD it becomes, follow Windows:
// - a byte that cannot start a sequence takes itself;
// - a sequence cut short by the end of the input takes all the rest of the input;
// - otherwise the lead takes each continuation byte that is accepted, and stops before the
//   first byte that is no continuation byte. The second byte of a three-byte sequence is
//   accepted and then ends it when it makes an overlong form (E0 80..9F) or a surrogate
//   (ED A0..BF); the second byte of a four-byte sequence is accepted and then ends it when it
//   makes an overlong form (F0 80..8F), while a value above U+10FFFF (F4 90..BF) ends it before
//   the third byte.
// So ED A0 80 becomes two U+FFFD, F4 90 80 80 three, and E0 80 at the end of the input one.
long DecodeUtf8Sequence(const uint8_t* in, size_t n, size_t& i) {
    const uint8_t lead = in[i++];
    const size_t need = ContinuationCount(lead);
    if (need == 0) {
        return -1;
    }
    if (n - i < need) {
        i = n;
        return -1;
    }
    uint32_t value = lead & (need == 1 ? 0x1Fu : need == 2 ? 0x0Fu : 0x07u);
    for (size_t k = 1; k <= need; ++k) {
        const uint8_t c = in[i];
        if (c < 0x80 || c > 0xBF) {
            return -1;
        }
        value = value << 6 | (c & 0x3Fu);
        if (need == 3 && k == 2 && value >= (0x110000u >> 6)) {
            return -1; // above U+10FFFF: the third byte is not taken
        }
        ++i;
        if (k == 1 && need == 3 && value < 0x10) {
            return -1; // overlong four-byte form
        }
        if (k == 1 && need == 2 && (value < 0x20 || (value >= 0x360 && value <= 0x37F))) {
            return -1; // overlong three-byte form, or a surrogate
        }
    }
    return static_cast<long>(value);
}

// Decodes UTF-8; each ill-formed sequence becomes one U+FFFD. Returns false when there was one.
bool DecodeUtf8(const uint8_t* in, size_t n, std::vector<wchar_t>& out) {
    out.reserve(n);
    bool clean = true;
    size_t i = 0;
    while (i < n) {
        if (in[i] < 0x80) {
            out.push_back(static_cast<wchar_t>(in[i++]));
            continue;
        }
        long cp = DecodeUtf8Sequence(in, n, i);
        if (cp < 0) {
            clean = false;
            out.push_back(static_cast<wchar_t>(0xFFFD));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
    }
    return clean;
}

} // namespace

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                          int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    UINT page = CodePage;
    if (page == CP_ACP) {
        const simbook::Machine* machine = simbook::CurrentMachine();
        page = machine != nullptr && machine->ansiCodePage == CP_UTF8 ? CP_UTF8 : kWindows1252;
    }
    if (page != kWindows1252 && page != CP_UTF8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD allowed =
        page == CP_UTF8 ? MB_ERR_INVALID_CHARS : (MB_PRECOMPOSED | MB_ERR_INVALID_CHARS);
    if ((dwFlags & ~allowed) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }

    size_t length = 0;
    if (cbMultiByte < 0) { // any negative length means "up to the terminating zero"
        while (lpMultiByteStr[length] != '\0') {
            ++length;
        }
        ++length; // the terminating zero is converted too
    } else {
        length = static_cast<size_t>(cbMultiByte);
    }

    std::vector<wchar_t> wide;
    bool clean = true;
    try {
        const auto* bytes = reinterpret_cast<const uint8_t*>(lpMultiByteStr);
        if (page == CP_UTF8) {
            clean = DecodeUtf8(bytes, length, wide);
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
    // As on Windows, what fits is written before the call fails for want of room, and the
    // replaced text is written before a strict call fails for an ill-formed sequence.
    const int count = static_cast<int>(wide.size());
    const int written = count < cchWideChar ? count : cchWideChar;
    for (int k = 0; k < written; ++k) {
        lpWideCharStr[k] = wide[static_cast<size_t>(k)];
    }
    if (cchWideChar > 0 && count > cchWideChar) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (!clean && (dwFlags & MB_ERR_INVALID_CHARS) != 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return count;
}
