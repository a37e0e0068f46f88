// print_probe: writes a fixed set of texts through the platform layer's ConsolePrintW, the way
// the programs do, so that a test can compare the exact bytes that reach a pipe on Windows.
// Exits 0 when every call returned the number of wide characters it should have, otherwise
// 10 + the index of the first call that did not.
#include "platform/win32.h"

#include <string>

int wmain(int, wchar_t**) {
    const std::wstring longName(1000, L'x');
    const int results[] = {
        ConsolePrintW(L"tolmare[SUCCESS]\r\n"),
        ConsolePrintW(L"%ls[%ls]\r\n", L"WirelessSwitchDisplay", L"ENABLE"),
        ConsolePrintW(L"%ls\r\n", L"Caf\u00e9 \u00c5r\u00f8"),
        ConsolePrintW(L"%ls\r\n", L"\U0001F600"),
        ConsolePrintW(L""),
        ConsolePrintW(L"%ls|\r\n", longName.c_str()),
        ConsolePrintW(L"brenvik[FAILURE]"),
    };
    const int expected[] = {18, 31, 10, 4, 0, 1003, 16};
    for (size_t i = 0; i < sizeof expected / sizeof expected[0]; ++i) {
        if (results[i] != expected[i]) {
            return 10 + static_cast<int>(i);
        }
    }
    return 0;
}
