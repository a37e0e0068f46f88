// Wide text of the Linux build as UTF-8, for the bytes the stand-in writes (console output, the
// trace's start line).
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// `length` wide characters (UTF-32 here) as UTF-8; values that are not Unicode scalar values
// become U+FFFD.
std::string Utf8(const wchar_t* text, size_t length);

} // namespace platform
