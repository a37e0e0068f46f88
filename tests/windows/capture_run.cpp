// capture_run: starts a Windows program with the given arguments, collects every byte it writes
// to standard output and standard error through pipes, waits for it and reports:
//
//   exit=<GetExitCodeProcess as a signed 32-bit decimal> (0x<same, 8 hex digits>)
//   stdout=<the bytes as lower-case hex>
//   stderr=<the bytes as lower-case hex>
//
// Usage: capture_run [--timeout <ms>] <program.exe> [arguments...]
//
// A Linux parent of a Wine process sees only the low byte of an exit code (and a low byte of 0
// as 1), so the tests run the programs through this launcher to see the full 32-bit code. The
// launcher itself exits 0 when it could run the program to its end, 2 on a usage error, 3 when
// the program could not be started or waited for, and 4 when it ran past the time limit (it is
// then terminated and no report is printed).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

// Quotes one argument so that the child's CommandLineToArgvW (and the C runtime) give it back
// unchanged: backslashes are literal except before a quote, where they are doubled.
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
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

// Reads a pipe until the writer closes it.
void Drain(HANDLE pipe, std::string* bytes) {
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            return;
        }
        bytes->append(buffer, got);
    }
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

bool WriteOut(const std::string& text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(out, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                       nullptr) ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

int Fail(int code, const wchar_t* what, DWORD error) {
    std::fwprintf(stderr, L"capture_run: %ls (error %lu)\n", what,
                  static_cast<unsigned long>(error));
    return code;
}

// One pipe whose write end the child inherits and whose read end stays ours.
struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    bool Create() {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        return CreatePipe(&read, &write, &sa, 0) &&
               SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    }
    void CloseWrite() {
        if (write != nullptr) {
            CloseHandle(write);
            write = nullptr;
        }
    }
    ~Pipe() {
        CloseWrite();
        if (read != nullptr) {
            CloseHandle(read);
        }
    }
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    int first = 1;
    DWORD timeout = 120000;
    if (argc > 2 && std::wcscmp(argv[1], L"--timeout") == 0) {
        wchar_t* end = nullptr;
        unsigned long ms = std::wcstoul(argv[2], &end, 10);
        if (end == argv[2] || *end != L'\0' || ms == 0 || ms >= INFINITE) {
            return Fail(2, L"--timeout needs a number of milliseconds", 0);
        }
        timeout = static_cast<DWORD>(ms);
        first = 3;
    }
    if (first >= argc) {
        return Fail(2, L"usage: capture_run [--timeout <ms>] <program.exe> [arguments...]", 0);
    }

    std::wstring line;
    for (int i = first; i < argc; ++i) {
        if (i > first) {
            line += L' ';
        }
        AppendQuoted(line, argv[i]);
    }
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');

    Pipe out;
    Pipe err;
    if (!out.Create() || !err.Create()) {
        return Fail(3, L"cannot create the pipes", GetLastError());
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = out.write;
    si.hStdError = err.write;
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &si, &pi);
    DWORD startError = GetLastError();
    if (nul != INVALID_HANDLE_VALUE) {
        CloseHandle(nul);
    }
    // Only the child holds the write ends now, so the reads end when it exits.
    out.CloseWrite();
    err.CloseWrite();
    if (!started) {
        return Fail(3, L"cannot start the program", startError);
    }
    CloseHandle(pi.hThread);

    std::string outBytes;
    std::string errBytes;
    std::thread errReader(Drain, err.read, &errBytes);
    std::thread outReader(Drain, out.read, &outBytes);

    DWORD waited = WaitForSingleObject(pi.hProcess, timeout);
    if (waited == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 0xDEAD);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    outReader.join();
    errReader.join();
    DWORD code = 0;
    BOOL gotCode = GetExitCodeProcess(pi.hProcess, &code);
    DWORD codeError = GetLastError();
    CloseHandle(pi.hProcess);
    if (waited == WAIT_TIMEOUT) {
        return Fail(4, L"the program ran past the time limit and was terminated", 0);
    }
    if (waited != WAIT_OBJECT_0 || !gotCode) {
        return Fail(3, L"cannot wait for the program", codeError);
    }

    char head[64];
    std::snprintf(head, sizeof head, "exit=%ld (0x%08lx)\n",
                  static_cast<long>(static_cast<int32_t>(code)), static_cast<unsigned long>(code));
    std::string report = head;
    report += "stdout=" + Hex(outBytes) + "\n";
    report += "stderr=" + Hex(errBytes) + "\n";
    return WriteOut(report) ? 0 : Fail(3, L"cannot write the report", GetLastError());
}
