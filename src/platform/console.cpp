// Provides: ConsolePrintW, the one formatted wide print of the programs, in both builds.
// The text is formatted into a wide buffer first. On a real Windows console it is written with
// WriteConsoleW; everywhere else (file, pipe, Linux terminal) its UTF-8 bytes are written as
// they are, with no newline translation, so "\r\n" reaches the reader as exactly CR LF.
#include "platform/win32.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#ifndef _WIN32
#include <cerrno>
#include <unistd.h>

#include "platform/linux/utf8.h"
#endif

namespace {

// Formats into a buffer that grows until the text fits; false when formatting fails for any
// other reason (an invalid format or argument).
bool FormatWide(std::vector<wchar_t>& buffer, const wchar_t* format, va_list args) {
    buffer.resize(256);
    while (buffer.size() <= (1u << 20)) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
    return false;
}

#ifndef _WIN32
bool WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            // A reader that closed the pipe: the write fails as it does on Windows, and the
            // program goes on to its end.
            SetLastError(errno == EPIPE ? ERROR_NO_DATA : ERROR_GEN_FAILURE);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Standard output of a Linux program: the text's UTF-8 bytes, whatever the output is.
bool WriteText(const std::vector<wchar_t>& text) {
    return WriteAll(platform::Utf8(text.data(), text.size()));
}
#else
// A console may take fewer characters than offered; write the rest until all are in.
bool WriteConsoleText(HANDLE out, const std::vector<wchar_t>& text) {
    size_t shown = 0;
    while (shown < text.size()) {
        DWORD written = 0;
        if (!WriteConsoleW(out, text.data() + shown, static_cast<DWORD>(text.size() - shown),
                           &written, nullptr) ||
            written == 0) {
            return false;
        }
        shown += written;
    }
    return true;
}

// A file or a pipe gets the text's UTF-8 bytes, written until all are in.
bool WriteUtf8Bytes(HANDLE out, const std::vector<wchar_t>& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
    if (bytes <= 0) {
        return false;
    }
    std::string utf8(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(),
                            bytes, nullptr, nullptr) != bytes) {
        return false;
    }
    DWORD done = 0;
    while (done < utf8.size()) {
        DWORD written = 0;
        if (!WriteFile(out, utf8.data() + done, static_cast<DWORD>(utf8.size() - done), &written,
                       nullptr) ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

// Standard output of a Windows program: a real console or anything else.
bool WriteText(const std::vector<wchar_t>& text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        return WriteConsoleText(out, text);
    }
    return WriteUtf8Bytes(out, text);
}
#endif

} // namespace

#ifndef _WIN32
std::string platform::Utf8(const wchar_t* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = std::char_traits<wchar_t>::to_int_type(text[i]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
#endif

int ConsolePrintW(const wchar_t* format, ...) {
    if (format == nullptr) {
        return -1;
    }
    std::vector<wchar_t> text;
    va_list args;
    va_start(args, format);
    bool formatted = FormatWide(text, format, args);
    va_end(args);
    if (!formatted) {
        return -1;
    }
    if (text.empty()) {
        return 0;
    }
    return WriteText(text) ? static_cast<int>(text.size()) : -1;
}
