// A program for the tests of the stand-in's main: returns the number given as its first
// argument, and fails (status 99) when the second argument is not the text it should be after
// conversion to wide characters.
#include "platform/win32.h"

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 98;
    }
    if (argc >= 3 && std::wcscmp(argv[2], L"gr\u00fc\u00dfe") != 0) {
        return 99;
    }
    return static_cast<int>(std::wcstol(argv[1], nullptr, 10));
}
