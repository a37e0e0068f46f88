// MultiByteToWideChar: the Windows-1252 table (checked against the C library's converter), UTF-8
// decoding and its error handling, the size negotiation, and CP_ACP following the machine.
#include <iconv.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/utf8.h"
#include "platform/win32.h"
#include "support/stand_in.h"

namespace {

constexpr UINT kCp1252 = 1252;

// Converts with the documented two calls; returns the text, or sets `error`.
std::wstring Convert(UINT page, DWORD flags, const std::string& bytes, DWORD* error = nullptr) {
    int n =
        MultiByteToWideChar(page, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n == 0) {
        if (error != nullptr) {
            *error = GetLastError();
        }
        return L"<fail>";
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    EXPECT_EQ(MultiByteToWideChar(page, flags, bytes.data(), static_cast<int>(bytes.size()),
                                  out.data(), n),
              n);
    return out;
}

TEST(MultiByteToWideChar, Windows1252MatchesTheReferenceTable) {
    iconv_t cd = iconv_open("WCHAR_T", "CP1252");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    for (int b = 1; b < 256; ++b) {
        std::string in(1, static_cast<char>(b));
        std::wstring got = Convert(kCp1252, 0, in);
        ASSERT_EQ(got.size(), 1u) << b;
        if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) {
            // Unassigned in the code page; Windows passes them through as C1 controls.
            EXPECT_EQ(static_cast<unsigned>(got[0]), static_cast<unsigned>(b));
            continue;
        }
        char* src = in.data();
        size_t srcLeft = 1;
        wchar_t wc = 0;
        char* dst = reinterpret_cast<char*>(&wc);
        size_t dstLeft = sizeof wc;
        ASSERT_NE(iconv(cd, &src, &srcLeft, &dst, &dstLeft), static_cast<size_t>(-1)) << b;
        EXPECT_EQ(static_cast<unsigned>(got[0]), static_cast<unsigned>(wc)) << "byte " << b;
    }
    iconv_close(cd);
    EXPECT_EQ(Convert(kCp1252, MB_ERR_INVALID_CHARS, "\x81\x8d\x8f\x90\x9d"),
              L"\u0081\u008d\u008f\u0090\u009d")
        << "every byte is defined, so strict mode never fails";
    EXPECT_EQ(Convert(kCp1252, MB_PRECOMPOSED, "Caf\xe9 \x80"), L"Caf\u00e9 \u20ac");
}

TEST(MultiByteToWideChar, Utf8Decoding) {
    EXPECT_EQ(Convert(CP_UTF8, 0, "HomeNet"), L"HomeNet");
    EXPECT_EQ(Convert(CP_UTF8, 0, "Caf\xc3\xa9 \xe2\x82\xac"), L"Caf\u00e9 \u20ac");
    std::wstring emoji = Convert(CP_UTF8, 0, "\xf0\x9f\x98\x80");
    ASSERT_EQ(emoji.size(), 1u) << "one wchar_t per code point above U+FFFF";
    EXPECT_EQ(static_cast<unsigned>(emoji[0]), 0x1F600u);
    EXPECT_EQ(Convert(CP_UTF8, 0, std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(Convert(CP_UTF8, 0, "\xef\xbb\xbfx"), L"\ufeffx") << "a BOM is kept";
    EXPECT_EQ(Convert(CP_UTF8, 0, "\xf4\x8f\xbf\xbf"), std::wstring(1, wchar_t(0x10FFFF)));
}

TEST(MultiByteToWideChar, Utf8IllFormedInput) {
    // How many U+FFFD an ill-formed sequence becomes is Windows' rule: an accepted second byte
    // of an overlong, surrogate or out-of-range form goes with the lead, a sequence cut short by
    // the end of the input takes the rest of it.
    struct Case {
        const char* name;
        std::string bytes;
        std::wstring replaced;
    };
    const Case cases[] = {
        {"lone continuation", "a\x80z", L"a\ufffdz"},
        {"overlong slash", "\xc0\xaf", L"\ufffd\ufffd"},
        {"overlong three-byte", "\xe0\x80\xaf", L"\ufffd\ufffd"},
        {"overlong three-byte cut short", "\xe0\x80", L"\ufffd"},
        {"overlong four-byte", "\xf0\x8f\xbf\xbf", L"\ufffd\ufffd\ufffd"},
        {"surrogate", "\xed\xa0\x80", L"\ufffd\ufffd"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", L"\ufffd\ufffd\ufffd"},
        {"invalid lead", "\xf5\xff", L"\ufffd\ufffd"},
        {"truncated at end", "ok\xe2\x82", L"ok\ufffd"},
        {"truncated before ASCII", "\xe2\x82z", L"\ufffdz"},
        {"cut short swallows ASCII", "\xf0\x9f\x61", L"\ufffd"},
        {"four-byte form broken at the third byte", "\xf0\x9f\x41\x80", L"\ufffdA\ufffd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Convert(CP_UTF8, 0, c.bytes), c.replaced);
        DWORD error = 0;
        SetLastError(0);
        EXPECT_EQ(Convert(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes, &error), L"<fail>");
        EXPECT_EQ(error, DWORD(ERROR_NO_UNICODE_TRANSLATION));
        // A strict call has written the replaced text before it fails.
        std::wstring buffer(c.bytes.size() + 2, L'#');
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes.data(),
                                      static_cast<int>(c.bytes.size()), buffer.data(),
                                      static_cast<int>(buffer.size())),
                  0);
        EXPECT_EQ(buffer.substr(0, c.replaced.size()), c.replaced);
    }
}

TEST(MultiByteToWideChar, SizeNegotiationAndArguments) {
    const char* text = "Cafe";
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 5) << "-1 counts the zero";
    wchar_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, 8), 5);
    EXPECT_EQ(std::wstring(buffer), L"Cafe");
    EXPECT_EQ(buffer[5], L'#') << "nothing written past the result";
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 4, buffer, 4), 4);

    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, 4), 0) << "no room for the zero";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    SetLastError(0);
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(MultiByteToWideChar(kCp1252, 0, "\xe9\xe9", 2, buffer, 1), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buffer[0], L'\u00e9') << "what fits is written before the call fails";
    EXPECT_EQ(buffer[1], L'#');
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xc3\xa9\xe2\x82\xac!", 6, buffer, 2), 0);
    EXPECT_EQ(std::wstring(buffer, 3), L"\u00e9\u20ac#");

    // Every negative length means "through the terminating zero", as -1 does.
    for (int length : {-1, -2, -100, INT32_MIN}) {
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0), 5) << length;
        EXPECT_EQ(MultiByteToWideChar(kCp1252, 0, text, length, buffer, 8), 5) << length;
    }

    struct Bad {
        UINT page;
        DWORD flags;
        const char* in;
        int inSize;
        wchar_t* out;
        int outSize;
        DWORD error;
    };
    const Bad bad[] = {
        {CP_UTF8, 0, nullptr, 3, buffer, 8, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, text, 0, buffer, 8, ERROR_INVALID_PARAMETER},
        // One buffer for both sides: refused, as the documentation says.
        {CP_UTF8, 0, reinterpret_cast<const char*>(buffer), 4, buffer, 8, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, text, 4, buffer, -1, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, text, 4, nullptr, 8, ERROR_INVALID_PARAMETER},
        {437, 0, text, 4, buffer, 8, ERROR_INVALID_PARAMETER},
        {CP_UTF8, MB_PRECOMPOSED, text, 4, buffer, 8, ERROR_INVALID_FLAGS},
        {kCp1252, 0x2 /* MB_COMPOSITE */, text, 4, buffer, 8, ERROR_INVALID_FLAGS},
        {kCp1252, 0x80, text, 4, buffer, 8, ERROR_INVALID_FLAGS},
    };
    for (size_t i = 0; i < std::size(bad); ++i) {
        const Bad& b = bad[i];
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(b.page, b.flags, b.in, b.inSize, b.out, b.outSize), 0) << i;
        EXPECT_EQ(GetLastError(), b.error) << i;
    }
}

TEST(MultiByteToWideChar, AnsiCodePageFollowsTheMachine) {
    nwt::test::StandInMachine machine("{}");
    EXPECT_EQ(Convert(CP_ACP, 0, "Caf\xc3\xa9"), L"Caf\u00c3\u00a9") << "1252 by default";
    machine.Use(R"({"ansi_code_page": 65001})");
    EXPECT_EQ(Convert(CP_ACP, 0, "Caf\xc3\xa9"), L"Caf\u00e9");
    EXPECT_EQ(Convert(CP_ACP, 0, "Caf\xe9"), L"Caf\ufffd");
}

// The console's UTF-8 encoder at each length's edges, and what it puts in place of a surrogate
// or a value past U+10FFFF.
TEST(ConsoleUtf8, EachLengthAtItsEdges) {
    const struct {
        uint32_t c;
        std::string bytes;
    } cases[] = {
        {0x7F, "\x7f"},
        {0x80, "\xc2\x80"},
        {0x7FF, "\xdf\xbf"},
        {0x800, "\xe0\xa0\x80"},
        {0xD7FF, "\xed\x9f\xbf"},
        {0xD800, "\xef\xbf\xbd"},
        {0xDFFF, "\xef\xbf\xbd"},
        {0xE000, "\xee\x80\x80"},
        {0xFFFF, "\xef\xbf\xbf"},
        {0x10000, "\xf0\x90\x80\x80"},
        {0x10FFFF, "\xf4\x8f\xbf\xbf"},
        {0x110000, "\xef\xbf\xbd"},
    };
    for (const auto& c : cases) {
        const wchar_t text[] = {static_cast<wchar_t>(c.c), L'.'};
        EXPECT_EQ(platform::Utf8(text, 2), c.bytes + ".") << std::hex << c.c;
    }
}

// Printing to a pipe whose reader has gone fails the print with ERROR_NO_DATA, as on Windows,
// and the program goes on.
TEST(ConsolePrint, AClosedPipeFailsWithNoData) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    void (*before)(int) = std::signal(SIGPIPE, SIG_IGN);
    SetLastError(ERROR_SUCCESS);
    const int printed = ConsolePrintW(L"tolmare[SUCCESS]\r\n");
    const DWORD error = GetLastError();
    std::signal(SIGPIPE, before);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ(printed, -1);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_DATA));
}

} // namespace
