// simbook_launch: runs one Windows program for the runner (scripts/wine-run) and reports its
// full exit status, which a Linux parent of Wine cannot see (it gets the low byte only, and 1
// for a low byte of 0).
//
//   simbook_launch <status file> <program.exe> [arguments...]
//
// The program inherits the launcher's standard handles, so its output bytes go straight to the
// runner's. When it has ended, the launcher asks the relay driver to drain (the device server
// then answers after the program's last close and ends), and writes the GetExitCodeProcess
// value as a signed decimal to the status file. The launcher's own exit status: 0 when the
// status file was written, 2 for a usage error, 3 when the program could not be run.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "relay/relay_protocol.h"

namespace {

// Quotes one argument so that the child's command-line parsing gives it back unchanged:
// backslashes are literal except before a quote, where they are doubled.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

int Fail(int code, const wchar_t* what, DWORD error) {
    std::fwprintf(stderr, L"simbook_launch: %ls (error %lu)\n", what,
                  static_cast<unsigned long>(error));
    return code;
}

// An inheritable copy of a standard handle (none when the launcher has none).
HANDLE Inheritable(DWORD which) {
    HANDLE h = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (h == nullptr || h == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

// Waits until the device server has answered everything the program caused. Without the relay
// (no driver in this prefix) there is nothing to wait for.
void Drain() {
    HANDLE h = CreateFileW(L"\\\\.\\" RELAY_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD got = 0;
    DeviceIoControl(h, RELAY_IOCTL_DRAIN, nullptr, 0, nullptr, 0, &got, nullptr);
    CloseHandle(h);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return Fail(2, L"usage: simbook_launch <status file> <program.exe> [arguments...]", 0);
    }
    std::wstring line;
    for (int i = 2; i < argc; ++i) {
        if (i > 2) {
            line += L' ';
        }
        AppendQuoted(line, argv[i]);
    }
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = Inheritable(STD_INPUT_HANDLE);
    si.hStdOutput = Inheritable(STD_OUTPUT_HANDLE);
    si.hStdError = Inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessW(argv[2], mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &si, &pi);
    DWORD startError = GetLastError();
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError}) {
        if (h != nullptr) {
            CloseHandle(h);
        }
    }
    if (!started) {
        Drain();
        return Fail(3, L"cannot start the program", startError);
    }
    CloseHandle(pi.hThread);
    DWORD code = 0;
    bool ended = WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                 GetExitCodeProcess(pi.hProcess, &code);
    DWORD error = GetLastError();
    CloseHandle(pi.hProcess);
    Drain();
    if (!ended) {
        return Fail(3, L"cannot wait for the program", error);
    }

    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail(3, L"cannot write the status file", GetLastError());
    }
    char text[16];
    int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(static_cast<LONG>(code)));
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(file);
    return ok && written == static_cast<DWORD>(n) ? 0 : Fail(3, L"cannot write the status file", 0);
}
