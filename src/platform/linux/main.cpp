// The programs' `main` on Linux: sets a UTF-8 locale for wide-character handling, converts the
// arguments from the locale's multibyte text to wide strings, calls the program's `wmain` and
// returns its status. A Linux exit status keeps only the low 8 bits, so when a trace is on the
// full 32-bit signed status goes into the run's last line, {"op":"exit","run":N,"status":S}; the
// run's first line, {"op":"start","run":N,"program":P,"args":[...]}, names the program, so that
// the trace of a whole procedure tells whose lines follow, even of programs running at once.
#include "platform/win32.h"

#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/linux/utf8.h"
#include "simbook/trace.h"

namespace {

// Decodes one argument; bytes that are not valid in the locale become U+FFFD, one per byte,
// so that a bad argument still reaches the program (which then rejects it) rather than vanish.
std::wstring Widen(const char* text) {
    std::wstring out;
    std::mbstate_t state{};
    size_t left = std::strlen(text);
    const char* p = text;
    while (left > 0) {
        wchar_t wc = 0;
        size_t n = std::mbrtowc(&wc, p, left, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            out += L'\xFFFD';
            state = std::mbstate_t{};
            ++p;
            --left;
            continue;
        }
        if (n == 0) {
            break;
        }
        out += wc;
        p += n;
        left -= n;
    }
    return out;
}

// The program's own name (its file's, whatever argv[0] says), for the trace's start line.
std::string ProgramName(const char* argv0) {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string name = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string(argv0);
    return name.substr(name.find_last_of('/') + 1);
}

void SetUtf8Locale() {
    // The user's locale when it is a UTF-8 one, else a UTF-8 locale every system has.
    const char* chosen = std::setlocale(LC_ALL, "");
    if (chosen != nullptr && (std::strstr(chosen, "UTF-8") || std::strstr(chosen, "utf8"))) {
        return;
    }
    if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) {
        std::setlocale(LC_ALL, "C.utf8");
    }
}

} // namespace

int main(int argc, char** argv) {
    // A write to a pipe whose reader has gone fails (ERROR_NO_DATA) instead of ending the
    // process, as on Windows, so the run still ends normally and its exit line is written.
    std::signal(SIGPIPE, SIG_IGN);
    SetUtf8Locale();
    std::vector<std::wstring> args;
    args.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        args.push_back(Widen(argv[i]));
    }
    std::vector<wchar_t*> wargv;
    for (auto& a : args) {
        wargv.push_back(a.data());
    }
    wargv.push_back(nullptr);
    if (simbook::TraceEnabled()) {
        std::vector<std::string> traced;
        for (size_t i = 1; i < args.size(); ++i) {
            traced.push_back(platform::Utf8(args[i].data(), args[i].size()));
        }
        simbook::TraceRunStart(ProgramName(argc > 0 ? argv[0] : ""), traced);
    }
    int status = wmain(argc, wargv.data());
    simbook::TraceRunExit(static_cast<int32_t>(status));
    return status;
}
