// simbook_launch: starts Windows programs for the runner (scripts/wine-run) on the simulated
// notebook and reports their full exit status, which a Linux parent of Wine cannot see (it gets
// the low byte only, and 1 for a low byte of 0).
//
//   simbook_launch <status file> <program.exe> [arguments...]     one traced program run
//   simbook_launch --procedure <status file> <file> [arguments...] a service procedure
//   NAME.exe [arguments...]                                       a copy named like a program
//
// A traced run: the launcher tells the device server through the relay that a run begins, with
// the run's SIMBOOK and SIMBOOK_TRACE (the server rereads the machine, has Wine refuse the Wi-Fi
// libraries it hides and answers with the machine file's path), appends the start line
// {"op":"start","run":N,"program":...,"args":[...]} to the trace, runs the program, asks the relay
// to drain (the server answers after the program's last close, with the messages it had for the
// run, which go to standard error), and appends {"op":"exit","run":N,"status":S}. The status file
// then gets the GetExitCodeProcess value as a signed decimal.
//
// A procedure (a .cmd or .bat file, or a program) runs under cmd.exe /s /c, untraced itself; the
// runner puts copies named like the programs first on its PATH, so each program it runs is traced.
//
// A copy of the launcher named like one of the programs (tolmare.exe) is what a service
// procedure finds first on its PATH: it makes the same traced run of the real program in
// %SIMBOOK_WINE_PROGRAMS%, passes its own command line's arguments on unchanged, and exits with
// the program's exit code.
//
// The programs inherit the standard handles, so their bytes go straight to the runner's. Exit
// status of the launcher: 0 when the status file was written, 2 for a usage error, 3 when the
// program could not be run, 4 when the device server does not answer. A copy named like a
// program exits with 125 for these.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "relay/relay_protocol.h"
#include "simbook/trace.h"

namespace {

constexpr int kUsage = 2;
constexpr int kCannotRun = 3;
constexpr int kNoServer = 4;

// Quotes one argument so that the child's command-line parsing gives it back unchanged:
// backslashes are literal except before a quote, where they are doubled. `more` lists further
// characters that call for quotes.
void AppendQuoted(std::wstring& line, const std::wstring& arg, const wchar_t* more = L"") {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos &&
        arg.find_first_of(more) == std::wstring::npos) {
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

// Quotes one argument of a cmd.exe command line: as above, and also when cmd.exe would take a
// character of it for one of its own operators or separators.
void AppendCmdQuoted(std::wstring& line, const std::wstring& arg) {
    AppendQuoted(line, arg, L"&|<>^(),;=");
}

int Fail(int code, const wchar_t* what, DWORD error) {
    std::fwprintf(stderr, L"simbook_launch: %ls (error %lu)\n", what,
                  static_cast<unsigned long>(error));
    return code;
}

void WriteBytes(HANDLE h, const std::string& bytes) {
    DWORD written = 0;
    if (h != nullptr && h != INVALID_HANDLE_VALUE && !bytes.empty()) {
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    }
    return out;
}

std::wstring Utf16(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    }
    return out;
}

bool Variable(const wchar_t* name, std::wstring& value) {
    DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
    if (n == 0) {
        return GetLastError() != ERROR_ENVVAR_NOT_FOUND && (value.clear(), true);
    }
    value.assign(n, L'\0');
    n = GetEnvironmentVariableW(name, value.data(), n);
    value.resize(n);
    return true;
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

// The control device of the relay, for BEGIN and DRAIN.
class Relay {
public:
    Relay()
        : h_(CreateFileW(L"\\\\.\\" RELAY_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~Relay() {
        if (h_ != INVALID_HANDLE_VALUE) {
            CloseHandle(h_);
        }
    }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Starts a run with this process's environment. On success `machine` holds the machine
    // file the server reads.
    bool Begin(std::wstring& machine, DWORD& error) {
        std::wstring input;
        for (const wchar_t* name : {L"SIMBOOK", L"SIMBOOK_TRACE", L"XDG_STATE_HOME", L"HOME"}) {
            std::wstring value;
            input += name;
            if (Variable(name, value)) {
                input += L'=';
                input += value;
            }
            input += L'\0';
        }
        std::string answer;
        if (!Call(RELAY_IOCTL_BEGIN, input.data(), input.size() * sizeof(wchar_t), RELAY_BEGIN_ROOM,
                  answer)) {
            error = GetLastError();
            return false;
        }
        size_t end = answer.find('\n');
        if (end == std::string::npos) {
            error = ERROR_INVALID_DATA;
            return false;
        }
        machine = Utf16(answer.substr(0, end));
        return true;
    }

    // Ends the run once the server has answered everything before it; its messages for the run
    // go to standard error.
    void Drain() {
        std::string messages;
        if (Call(RELAY_IOCTL_DRAIN, nullptr, 0, RELAY_DRAIN_ROOM, messages)) {
            WriteBytes(GetStdHandle(STD_ERROR_HANDLE), messages);
        }
    }

private:
    bool Call(DWORD code, const void* in, size_t inSize, DWORD room, std::string& out) {
        if (h_ == INVALID_HANDLE_VALUE) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        std::vector<char> buffer(room);
        DWORD got = 0;
        if (!DeviceIoControl(h_, code, const_cast<void*>(in), static_cast<DWORD>(inSize),
                             buffer.data(), room, &got, nullptr)) {
            return false;
        }
        out.assign(buffer.data(), got);
        return true;
    }

    HANDLE h_;
};

// Runs `program` with `commandLine` (already quoted, program name first). Traced: the run goes
// through the device server and into the trace, under the name `traceName`. Returns 0 and the
// program's exit code, or a launcher failure.
int Run(const std::wstring& program, std::wstring commandLine, bool traced,
        const std::string& traceName, const std::vector<std::wstring>& args, DWORD& code) {
    Relay relay;
    if (traced) {
        std::wstring machine;
        DWORD error = 0;
        if (!relay.Begin(machine, error)) {
            return Fail(kNoServer, L"the device server does not answer", error);
        }
        if (!machine.empty()) {
            SetEnvironmentVariableW(L"SIMBOOK", machine.c_str());
        }
    }
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = Inheritable(STD_INPUT_HANDLE);
    si.hStdOutput = Inheritable(STD_OUTPUT_HANDLE);
    si.hStdError = Inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    // Suspended until the start line is in the trace, before anything the program causes.
    BOOL started = CreateProcessW(program.c_str(), mutableLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
    DWORD startError = GetLastError();
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError}) {
        if (h != nullptr) {
            CloseHandle(h);
        }
    }
    if (!started) {
        if (traced) {
            relay.Drain();
        }
        return Fail(kCannotRun, L"cannot start the program", startError);
    }
    if (traced) {
        std::vector<std::string> tracedArgs;
        for (const std::wstring& arg : args) {
            tracedArgs.push_back(Utf8(arg));
        }
        simbook::TraceRunStart(traceName, tracedArgs);
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    bool ended = WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                 GetExitCodeProcess(pi.hProcess, &code);
    DWORD error = GetLastError();
    CloseHandle(pi.hProcess);
    if (traced) {
        relay.Drain();
    }
    if (!ended) {
        return Fail(kCannotRun, L"cannot wait for the program", error);
    }
    if (traced) {
        simbook::TraceRunExit(static_cast<int32_t>(code));
    }
    return 0;
}

// The program's name as the trace gives it: the file name without ".exe", in lower case.
std::string TraceName(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    std::wstring name = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
    if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".exe") == 0) {
        name.resize(name.size() - 4);
    }
    for (wchar_t& c : name) {
        c = static_cast<wchar_t>(towlower(c));
    }
    return Utf8(name);
}

// What follows the program name in this process's command line, unchanged: the program name
// ends at the closing quote when it starts with one, else at the first blank.
std::wstring ArgumentsText() {
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        ++p;
        while (*p != L'\0' && *p != L'"') {
            ++p;
        }
        if (*p == L'"') {
            ++p;
        }
    } else {
        while (*p != L'\0' && *p != L' ' && *p != L'\t') {
            ++p;
        }
    }
    while (*p == L' ' || *p == L'\t') {
        ++p;
    }
    return p;
}

int WriteStatus(const wchar_t* path, DWORD code) {
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Fail(kCannotRun, L"cannot write the status file", GetLastError());
    }
    char text[16];
    int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(static_cast<LONG>(code)));
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(file);
    return ok && written == static_cast<DWORD>(n)
               ? 0
               : Fail(kCannotRun, L"cannot write the status file", 0);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t self[MAX_PATH];
    DWORD selfLength = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::string selfName = TraceName(std::wstring(self, selfLength));
    if (selfName != "simbook_launch") {
        // A copy named like a program: the real one is in the programs' folder.
        std::wstring folder;
        if (!Variable(L"SIMBOOK_WINE_PROGRAMS", folder) || folder.empty()) {
            Fail(125, L"SIMBOOK_WINE_PROGRAMS does not name the programs' folder", 0);
            return 125;
        }
        std::wstring program = folder + L"\\" + Utf16(selfName) + L".exe";
        std::wstring line;
        AppendQuoted(line, program);
        std::wstring rest = ArgumentsText();
        if (!rest.empty()) {
            line += L' ';
            line += rest;
        }
        DWORD code = 0;
        std::vector<std::wstring> args(argv + 1, argv + argc);
        return Run(program, line, true, selfName, args, code) == 0 ? static_cast<int>(code) : 125;
    }

    bool procedure = argc > 1 && std::wcscmp(argv[1], L"--procedure") == 0;
    int first = procedure ? 2 : 1; // the status file
    if (argc < first + 2) {
        return Fail(kUsage,
                    L"usage: simbook_launch [--procedure] <status file> <program.exe> "
                    L"[arguments...]",
                    0);
    }
    std::wstring program = argv[first + 1];
    std::wstring line;
    if (procedure) {
        // cmd.exe /s /c "<file> <arguments>": /s has cmd.exe take the text between the first and
        // the last quote as it stands.
        wchar_t system[MAX_PATH];
        UINT n = GetSystemDirectoryW(system, MAX_PATH);
        std::wstring command;
        for (int i = first + 1; i < argc; ++i) {
            command += i > first + 1 ? L" " : L"";
            AppendCmdQuoted(command, argv[i]);
        }
        program = std::wstring(system, n) + L"\\cmd.exe";
        line = L"cmd.exe /s /c \"" + command + L"\"";
    } else {
        for (int i = first + 1; i < argc; ++i) {
            line += i > first + 1 ? L" " : L"";
            AppendQuoted(line, argv[i]);
        }
    }
    DWORD code = 0;
    std::vector<std::wstring> args(argv + first + 2, argv + argc);
    int failed = Run(program, line, !procedure, TraceName(program), args, code);
    return failed != 0 ? failed : WriteStatus(argv[first], code);
}
