// Provides: IIDFromString.
//
// Accepts only the registry form of a GUID, exactly 38 characters: "{", 8 hexadecimal digits,
// "-", 4, "-", 4, "-", 4, "-", 12, "}" (digits in either case), followed by the end of the
// string. Null pointers fail with E_INVALIDARG and malformed text with CO_E_IIDSTRING. On
// failure the caller's GUID is left exactly as it was; nothing is read past the end of the text.
#include <bit>
#include <string>

#include "platform/win32.h"
#include "simbook/bytes.h"

namespace {

// The registry form's length; one character more is read to see that the text ends there.
constexpr size_t kGuidTextLength = 38;

} // namespace

extern "C" HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (lpsz == nullptr || lpiid == nullptr) {
        return E_INVALIDARG;
    }
    // Characters outside ASCII can never match the form; they stand as '?' in the narrow copy.
    std::string text;
    for (size_t i = 0; i <= kGuidTextLength && lpsz[i] != L'\0'; ++i) {
        text += static_cast<uint32_t>(lpsz[i]) < 0x80 ? static_cast<char>(lpsz[i]) : '?';
    }
    simbook::Guid guid;
    if (!simbook::ParseGuidText(text, guid)) {
        return CO_E_IIDSTRING;
    }
    static_assert(sizeof(GUID) == sizeof(simbook::Guid), "the two share a layout");
    *lpiid = std::bit_cast<GUID>(guid);
    return S_OK;
}
