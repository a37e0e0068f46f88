// exit_probe: a stand-in child for the launcher's own tests. Writes the bytes given in hex as
// its first argument to standard output, then each further argument as "[<UTF-8 text>]", and
// ends with the exit code given as its second argument (decimal, or hex with 0x; any 32 bits).
//
// Usage: exit_probe <hex bytes or -> <exit code> [arguments to echo...]
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    return -1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 2;
    }
    std::string bytes;
    if (std::wcscmp(argv[1], L"-") != 0) {
        size_t n = std::wcslen(argv[1]);
        if (n % 2 != 0) {
            return 2;
        }
        for (size_t i = 0; i < n; i += 2) {
            int hi = HexDigit(argv[1][i]);
            int lo = HexDigit(argv[1][i + 1]);
            if (hi < 0 || lo < 0) {
                return 2;
            }
            bytes += static_cast<char>(hi * 16 + lo);
        }
    }
    wchar_t* end = nullptr;
    long long code = std::wcstoll(argv[2], &end, 0);
    if (end == argv[2] || *end != L'\0') {
        return 2;
    }
    for (int i = 3; i < argc; ++i) {
        int len = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(len > 0 ? static_cast<size_t>(len) : 1u, '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text.data(), len, nullptr, nullptr);
        text.resize(text.size() - 1);
        bytes += "[" + text + "]";
    }
    DWORD written = 0;
    if (!bytes.empty() && !WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(),
                                     static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        return 3;
    }
    ExitProcess(static_cast<UINT>(code));
}
