// Fuzz target: the stand-in's IIDFromString and MultiByteToWideChar against references of their
// documented answers.
//
// Input: [selector][rest]. Selector bit 0 clear: IIDFromString of the rest as wide text (a byte
// 0xFF and the two after it are one character, any other byte the character of its value).
// Set: MultiByteToWideChar of the rest, with the code page (CP_ACP, 1252, CP_UTF8 or one the
// stand-in lacks), flags, input length (its size, -1 with a zero after it, or a negative one)
// picked by the selector's other bits.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "stand_in_machine.h"
#include "wide_text.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "text fuzz: %s\n", what);
        std::abort();
    }
}

void CheckIid(const uint8_t* data, size_t size) {
    std::wstring text;
    for (size_t i = 0; i < size;) {
        i = fuzz_support::AppendWideCharacter(data, size, i, text);
    }
    // The text in a block of exactly its size; the parser reads up to its first zero.
    std::vector<wchar_t> block(text.begin(), text.end());
    block.push_back(L'\0');
    const std::wstring seen(block.data());
    GUID guid;
    std::memset(&guid, 0x5A, sizeof guid);
    GUID untouched = guid;
    const HRESULT result = IIDFromString(block.data(), &guid);
    GUID expected{};
    if (fuzz_support::RegistryFormGuid(seen, expected)) {
        Check(result == S_OK && std::memcmp(&guid, &expected, sizeof guid) == 0,
              "a registry-form GUID was not parsed to its value");
    } else if (seen.size() != 38) {
        Check(result == E_INVALIDARG && std::memcmp(&guid, &untouched, sizeof guid) == 0,
              "a text of the wrong length was not refused untouched");
    } else {
        Check(result == CO_E_IIDSTRING, "a malformed text of the right length was not refused");
        if (seen[0] != L'{') {
            Check(std::memcmp(&guid, &untouched, sizeof guid) == 0,
                  "a text without its brace changed the GUID");
        }
    }
}

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF), and the number of characters they hold.
bool WellFormedUtf8(const uint8_t* s, size_t n, size_t& characters) {
    characters = 0;
    for (size_t i = 0; i < n; ++characters) {
        const uint8_t b = s[i];
        size_t need = 0;
        uint32_t value = 0;
        uint32_t minimum = 0;
        if (b < 0x80) {
            ++i;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            value = b & 0x1Fu;
            minimum = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            value = b & 0x0Fu;
            minimum = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            value = b & 0x07u;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (n - i - 1 < need) {
            return false;
        }
        for (size_t k = 1; k <= need; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
            value = value << 6 | (s[i + k] & 0x3Fu);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += need + 1;
    }
    return true;
}

void CheckConversion(uint8_t selector, const uint8_t* data, size_t size) {
    static const UINT kPages[4] = {CP_ACP, 1252, CP_UTF8, 437};
    constexpr DWORD kComposite = 0x2; // MB_COMPOSITE, which the stand-in refuses
    static const DWORD kFlags[4] = {0, MB_ERR_INVALID_CHARS, MB_PRECOMPOSED, kComposite};
    const UINT page = kPages[(selector >> 1) & 3];
    const DWORD flags = kFlags[(selector >> 3) & 3];
    const int lengthMode = (selector >> 5) & 3;

    // The bytes in a block of exactly their size; with a negative length a zero ends them.
    std::vector<char> bytes(data, data + size);
    int length = static_cast<int>(size);
    size_t converted = size;
    if (lengthMode >= 2) {
        bytes.push_back('\0');
        length = lengthMode == 2 ? -1 : -7;
        converted = std::strlen(bytes.data()) + 1;
    }
    const char* text = bytes.empty() ? "" : bytes.data();
    const UINT effective = page == CP_ACP ? 1252 : page;
    const bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
    const bool supported = effective == 1252 || effective == CP_UTF8;
    const bool flagsOk = effective == CP_UTF8
                             ? (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) == 0
                             : flags != kComposite;

    SetLastError(0);
    const int count = MultiByteToWideChar(page, flags, text, length, nullptr, 0);
    if (length == 0 || !supported || !flagsOk) {
        Check(count == 0, "a call the stand-in cannot serve succeeded");
        return;
    }
    size_t characters = converted;
    const bool wellFormed =
        effective != CP_UTF8 ||
        WellFormedUtf8(reinterpret_cast<const uint8_t*>(text), converted, characters);
    if (strict && !wellFormed) {
        Check(count == 0 && GetLastError() == ERROR_NO_UNICODE_TRANSLATION,
              "ill-formed UTF-8 was not refused by a strict call");
        return;
    }
    Check(count > 0, "a conversion the stand-in serves failed");
    if (wellFormed) {
        Check(static_cast<size_t>(count) == characters, "the count differs from the characters");
    } else {
        Check(static_cast<size_t>(count) <= converted, "more characters than bytes");
    }

    // A buffer of the size asked for gets every character; one character less is refused.
    std::vector<wchar_t> exact(static_cast<size_t>(count));
    Check(MultiByteToWideChar(page, flags, text, length, exact.data(), count) == count,
          "the conversion into the size asked for failed");
    for (size_t i = 0; i < exact.size(); ++i) {
        const auto b = static_cast<uint8_t>(text[i < converted ? i : 0]);
        if (wellFormed && characters == converted && b < 0x80) {
            Check(exact[i] == static_cast<wchar_t>(b), "an ASCII byte became another character");
        }
    }
    if (count > 1) {
        std::vector<wchar_t> short_(static_cast<size_t>(count - 1));
        SetLastError(0);
        Check(MultiByteToWideChar(page, flags, text, length, short_.data(), count - 1) == 0 &&
                  GetLastError() == ERROR_INSUFFICIENT_BUFFER,
              "a buffer one character short was not refused");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::UseStandInMachine("{}"); // CP_ACP is Windows-1252
    if (size == 0) {
        return 0;
    }
    if ((data[0] & 1) == 0) {
        CheckIid(data + 1, size - 1);
    } else {
        CheckConversion(data[0], data + 1, size - 1);
    }
    return 0;
}
