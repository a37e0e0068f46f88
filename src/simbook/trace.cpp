// The trace file: SIMBOOK_TRACE names it; each line goes out in one write on a file opened for
// appending, so lines from several threads and processes never interleave and each is in the
// file as soon as the call returns. Opening never waits: a FIFO nobody reads is refused with a
// line on standard error and the trace stays off. Under Wine (the service libraries built for
// Windows) the Linux path the runner was given is reached through the Z: drive.
#include "simbook/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace simbook {
namespace {

std::mutex g_mutex; // guards the file and serialises its lines
bool g_opened = false;
std::string g_path;

// The length of the well-formed UTF-8 sequence at `s[i]` (a character of U+00A0 and above),
// or 0 when the bytes there are not one.
size_t Utf8Length(const std::string& s, size_t i) {
    auto at = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0; };
    unsigned char b = at(0);
    size_t length = b >= 0xC2 && b <= 0xDF   ? 2
                    : b >= 0xE0 && b <= 0xEF ? 3
                    : b >= 0xF0 && b <= 0xF4 ? 4
                                             : 0;
    for (size_t k = 1; k < length; ++k) {
        if ((at(k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    unsigned char second = at(1);
    if ((b == 0xC2 && second < 0xA0) || (b == 0xE0 && second < 0xA0) ||
        (b == 0xED && second > 0x9F) || (b == 0xF0 && second < 0x90) ||
        (b == 0xF4 && second > 0x8F)) {
        return 0; // C1 control characters, overlong forms, surrogates, beyond U+10FFFF
    }
    return length;
}

#ifdef _WIN32
HANDLE g_file = INVALID_HANDLE_VALUE;

// The trace's path as Windows reaches it: a Linux path through the Z: drive.
std::string WindowsName(const std::string& path) {
    std::string name = path;
    if (!name.empty() && name[0] == '/') {
        name = "Z:" + name;
        for (char& c : name) {
            c = c == '/' ? '\\' : c;
        }
    }
    return name;
}

bool OpenTrace(const char* path, std::string& problem) {
    const std::string name = WindowsName(path);
    // Append-only access: every write goes to the end of the file, as O_APPEND does.
    g_file = CreateFileA(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_file == INVALID_HANDLE_VALUE) {
        problem = "cannot be opened (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return true;
}

bool IsOpen() {
    return g_file != INVALID_HANDLE_VALUE;
}

void CloseTrace() {
    if (g_file != INVALID_HANDLE_VALUE) {
        CloseHandle(g_file);
    }
    g_file = INVALID_HANDLE_VALUE;
}

bool WriteWhole(const std::string& line, std::string& problem) {
    DWORD written = 0;
    if (!WriteFile(g_file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
        problem = "error " + std::to_string(GetLastError());
        return false;
    }
    if (written != line.size()) {
        problem = "only " + std::to_string(written) + " of " + std::to_string(line.size()) +
                  " bytes of a line written";
        return false;
    }
    return true;
}

void WriteStandardError(const std::string& text) {
    int ignored = _write(2, text.data(), static_cast<unsigned>(text.size()));
    (void)ignored;
}
#else
int g_fd = -1;
bool g_checkEnd = false; // the first line still has to check how the file ends

bool OpenTrace(const char* path, std::string& problem) {
    // Non-blocking, so that a FIFO with no reader is an error (ENXIO) instead of a wait.
    g_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (g_fd < 0) {
        problem = errno == ENXIO
                      ? "is a FIFO that nobody reads; it cannot be opened without waiting"
                      : std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    // Once open, a FIFO's reader is there: lines go to it as to any pipe.
    int flags = fcntl(g_fd, F_GETFL);
    if (flags >= 0) {
        fcntl(g_fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    struct stat st {};
    g_checkEnd = fstat(g_fd, &st) == 0 && S_ISREG(st.st_mode);
    return true;
}

bool IsOpen() {
    return g_fd >= 0;
}

void CloseTrace() {
    if (g_fd >= 0) {
        close(g_fd);
    }
    g_fd = -1;
}

// Whether the trace (a regular file) ends in a part of a line, left by a writer that was cut
// short, so that the next line must begin on a line of its own.
bool EndsInPartialLine() {
    int fd = open(g_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false; // write-only: the end cannot be seen
    }
    struct stat reading {};
    struct stat writing {};
    char last = '\n';
    bool partial = fstat(fd, &reading) == 0 && fstat(g_fd, &writing) == 0 &&
                   reading.st_ino == writing.st_ino && reading.st_dev == writing.st_dev &&
                   writing.st_size > 0 && pread(fd, &last, 1, writing.st_size - 1) == 1 &&
                   last != '\n';
    close(fd);
    return partial;
}

// Takes back the `written` bytes of a line just appended, when they are still the file's last
// bytes (no other writer has appended since), so the file keeps whole lines only.
void TakeBack(size_t written) {
    struct stat st {};
    off_t end = lseek(g_fd, 0, SEEK_CUR); // after an append: the end of what was written
    if (end >= static_cast<off_t>(written) && fstat(g_fd, &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_size == end) {
        int ignored = ftruncate(g_fd, end - static_cast<off_t>(written));
        (void)ignored;
    }
}

bool WriteWhole(const std::string& line, std::string& problem) {
    ssize_t n = 0;
    do {
        n = write(g_fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(line.size())) {
        return true;
    }
    if (n < 0) {
        problem = std::strerror(errno);
        return false;
    }
    TakeBack(static_cast<size_t>(n));
    problem = "only " + std::to_string(n) + " of " + std::to_string(line.size()) +
              " bytes of a line written";
    return false;
}

void WriteStandardError(const std::string& text) {
    ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
}
#endif

// Opens the trace on first use. Called with g_mutex held.
bool EnsureOpen() {
    if (!g_opened) {
        g_opened = true;
        const char* path = std::getenv("SIMBOOK_TRACE");
        if (path != nullptr && path[0] != '\0') {
            g_path = path;
            std::string problem;
            if (!OpenTrace(path, problem)) {
                ReportProblem(g_path, "trace off: " + problem);
            }
        }
    }
    return IsOpen();
}

} // namespace

bool TraceEnabled() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return EnsureOpen();
}

void ReopenTraceForTests() {
    std::lock_guard<std::mutex> lock(g_mutex);
    CloseTrace();
    g_opened = false;
}

namespace {

// Writes one line. Called with g_mutex held and the trace open.
void WriteLine(const nlohmann::ordered_json& line) {
    std::string text = line.dump() + '\n';
#ifndef _WIN32
    if (g_checkEnd) {
        g_checkEnd = false;
        if (EndsInPartialLine()) {
            text.insert(text.begin(), '\n');
        }
    }
#endif
    std::string problem;
    if (!WriteWhole(text, problem)) {
        CloseTrace(); // g_opened stays set: the trace is off for the rest of the process
        ReportProblem(g_path, "trace incomplete: " + problem + "; no further lines written");
    }
}

} // namespace

void TraceLine(const nlohmann::ordered_json& line) {
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (EnsureOpen()) {
            WriteLine(line);
        }
    } catch (...) {
        // A line that cannot be formed is left out; the traced call answers all the same.
    }
}

namespace {

// Calls `chunk(bytes, count)` for the trace file's bytes from its start; nothing when it cannot
// be read (a FIFO is never read).
template <class Chunk> void ReadTrace(Chunk chunk) {
    char buffer[65536];
#ifdef _WIN32
    HANDLE file = CreateFileA(WindowsName(g_path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        chunk(buffer, static_cast<size_t>(got));
    }
    CloseHandle(file);
#else
    int fd = open(g_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        ssize_t n = 0;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) {
            chunk(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
#endif
}

// How many runs the trace holds already: its lines that begin with a start op.
int64_t RunsInTrace() {
    static const std::string kStart = "{\"op\":\"start\"";
    int64_t runs = 0;
    std::string head; // the first bytes of the current line, up to kStart's length
    bool lineStart = true;
    ReadTrace([&](const char* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const char c = bytes[i];
            if (c == '\n') {
                head.clear();
                lineStart = true;
                continue;
            }
            if (!lineStart) {
                continue;
            }
            head += c;
            if (head.size() == kStart.size()) {
                runs += head == kStart ? 1 : 0;
                lineStart = false;
            } else if (kStart.compare(0, head.size(), head) != 0) {
                lineStart = false;
            }
        }
    });
    return runs;
}

// Other programs of a procedure may begin runs at the same time: the count and the start line
// are taken under a lock all of them share (the trace file's own lock on Linux, a named mutex
// of the Wine session under Windows), so that each run gets a number of its own.
class StartLock {
public:
    StartLock() {
#ifdef _WIN32
        mutex_ = CreateMutexW(nullptr, FALSE, L"simbook-trace-start");
        if (mutex_ != nullptr) {
            WaitForSingleObject(mutex_, INFINITE);
        }
#else
        locked_ = flock(g_fd, LOCK_EX) == 0;
#endif
    }
    StartLock(const StartLock&) = delete;
    StartLock& operator=(const StartLock&) = delete;
    ~StartLock() {
#ifdef _WIN32
        if (mutex_ != nullptr) {
            ReleaseMutex(mutex_);
            CloseHandle(mutex_);
        }
#else
        if (locked_ && g_fd >= 0) {
            flock(g_fd, LOCK_UN);
        }
#endif
    }

private:
#ifdef _WIN32
    HANDLE mutex_ = nullptr;
#else
    bool locked_ = false;
#endif
};

} // namespace

void TraceRunStart(const std::string& program, const std::vector<std::string>& args) {
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!EnsureOpen()) {
            return;
        }
        const StartLock shared;
        WriteLine(
            {{"op", "start"}, {"run", RunsInTrace() + 1}, {"program", program}, {"args", args}});
    } catch (...) {
        // As for any line: left out when it cannot be formed.
    }
}

std::string EscapedForLine(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        if (size_t length = b >= 0x80 ? Utf8Length(text, i) : 0; length != 0) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        switch (b) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
            break;
        }
        ++i;
    }
    return out;
}

void ReportProblem(const std::string& subject, const std::string& problem) {
    try {
        // One write, so that the line is not split among other processes' output.
        WriteStandardError("simbook: " + EscapedForLine(subject) + ": " + EscapedForLine(problem) +
                           "\n");
    } catch (...) {
        // No memory for the line: nothing can be said.
    }
}

} // namespace simbook
