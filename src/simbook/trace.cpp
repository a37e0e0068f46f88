// The trace file: SIMBOOK_TRACE names it; each line goes out in one write on a file opened for
// appending, so lines from several threads and processes never interleave and each is in the
// file as soon as the call returns. Opening never waits: a FIFO nobody reads is refused with a
// line on standard error and the trace stays off, and so is the machine file SIMBOOK names,
// which trace lines would leave unreadable. On Linux the trace never takes descriptors 0 to 2, so a
// program started with one of them closed does not write its console output into the trace. Under
// Wine (the service libraries built for Windows) the Linux path the runner was given is reached
// through the Z: drive.
#include "simbook/trace.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "simbook/file_write.h"
#endif

#include "simbook/machine.h"
#include "simbook/trace_decode.h"

namespace simbook {
namespace {

std::mutex g_mutex; // guards the file and serialises its lines
bool g_opened = false;
std::string g_path;
int64_t g_run = 0; // the number of the run this process began, 0 before its start line

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

// Whether two open handles reach the same file: the same volume and file index.
bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// Whether the open trace is the machine file that SIMBOOK names (the runner always names it).
bool IsMachineFile(HANDLE trace) {
    const char* machine = std::getenv("SIMBOOK");
    if (machine == nullptr || machine[0] == '\0') {
        return false;
    }
    HANDLE file = CreateFileA(WindowsName(machine).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool same = SameFile(trace, file);
    CloseHandle(file);
    return same;
}

void CloseTrace() {
    if (g_file != INVALID_HANDLE_VALUE) {
        CloseHandle(g_file);
    }
    g_file = INVALID_HANDLE_VALUE;
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
    if (IsMachineFile(g_file)) {
        CloseTrace();
        problem = "is the machine file; trace lines would leave it unreadable";
        return false;
    }
    return true;
}

bool IsOpen() {
    return g_file != INVALID_HANDLE_VALUE;
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

// The trace file opened again for reading; a file that cannot be read (or is no disk file)
// reads as empty.
class FileReader {
public:
    explicit FileReader(const std::string& path) {
        file_ = CreateFileA(WindowsName(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER size{};
        if (file_ != INVALID_HANDLE_VALUE && GetFileType(file_) == FILE_TYPE_DISK &&
            GetFileSizeEx(file_, &size) && size.QuadPart > 0) {
            size_ = static_cast<uint64_t>(size.QuadPart);
        }
    }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader() {
        if (file_ != INVALID_HANDLE_VALUE) {
            CloseHandle(file_);
        }
    }
    uint64_t Size() const { return size_; }
    // Reads `count` bytes at `offset`; false when they cannot all be read.
    bool ReadAt(uint64_t offset, char* buffer, size_t count) const {
        while (count > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<size_t>(count, 1u << 20));
            if (!ReadFile(file_, buffer, want, &got, &at) || got == 0) {
                return false;
            }
            buffer += got;
            offset += got;
            count -= got;
        }
        return true;
    }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    uint64_t size_ = 0;
};
#else
int g_fd = -1;
bool g_checkEnd = false; // the first line still has to check how the file ends

// Whether `trace` is the machine file the programs use (the one SIMBOOK names, else the default
// machine's place), under whatever name. The default machine is only looked at, never made.
bool IsMachineFile(const struct stat& trace) {
    const char* given = std::getenv("SIMBOOK");
    const std::string machine =
        given != nullptr && given[0] != '\0' ? std::string(given) : DefaultMachineFilePath();
    struct stat st {};
    return !machine.empty() && stat(machine.c_str(), &st) == 0 && st.st_dev == trace.st_dev &&
           st.st_ino == trace.st_ino;
}

void CloseTrace() {
    if (g_fd >= 0) {
        close(g_fd);
    }
    g_fd = -1;
}

bool OpenTrace(const char* path, std::string& problem) {
    // Non-blocking, so that a FIFO with no reader is an error (ENXIO) instead of a wait.
    g_fd = AboveStandard(
        open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
    if (g_fd < 0) {
        problem = errno == ENXIO
                      ? "is a FIFO that nobody reads; it cannot be opened without waiting"
                      : std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(g_fd, &st) == 0 && IsMachineFile(st)) {
        CloseTrace();
        problem = "is the machine file; trace lines would leave it unreadable";
        return false;
    }
    // Once open, a FIFO's reader is there: lines go to it as to any pipe.
    int flags = fcntl(g_fd, F_GETFL);
    if (flags >= 0) {
        fcntl(g_fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    g_checkEnd = S_ISREG(st.st_mode);
    return true;
}

bool IsOpen() {
    return g_fd >= 0;
}

// Whether the trace (a regular file) ends in a part of a line, left by a writer that was cut
// short, so that the next line must begin on a line of its own.
bool EndsInPartialLine() {
    int fd = AboveStandard(open(g_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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

// The trace file opened again for reading; a file that cannot be read (or a FIFO, which is
// never read) reads as empty.
class FileReader {
public:
    explicit FileReader(const std::string& path)
        : fd_(AboveStandard(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC))) {
        struct stat st {};
        if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            size_ = static_cast<uint64_t>(st.st_size);
        }
    }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    uint64_t Size() const { return size_; }
    // Reads `count` bytes at `offset`; false when they cannot all be read.
    bool ReadAt(uint64_t offset, char* buffer, size_t count) const {
        while (count > 0) {
            const ssize_t got = pread(fd_, buffer, count, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false;
            }
            buffer += got;
            offset += static_cast<uint64_t>(got);
            count -= static_cast<size_t>(got);
        }
        return true;
    }

private:
    int fd_;
    uint64_t size_ = 0;
};
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
    g_run = 0;
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

// The trace is read from its end backwards in chunks of this size.
constexpr size_t kReadChunk = 65536;
// A longer line is never taken for a start line (those are a few hundred bytes), so that a huge
// line is not held whole.
constexpr uint64_t kMaxStartLine = 16 * 1024 * 1024;

// The run number of `text` when the decoder reads it as a start line with one.
std::optional<int64_t> RunOfStartLine(std::string_view text) {
    // Every start line holds these bytes: lines without them need not be decoded.
    if (text.find("start") == std::string_view::npos) {
        return std::nullopt;
    }
    std::optional<int64_t> run;
    TraceDecoder decoder("", [&](TraceEvent&& e) {
        if (e.kind == "start" && e.facts["run"].is_number_integer()) {
            run = e.facts["run"].get<int64_t>();
        }
    });
    decoder.Line(1, std::string(text));
    return run;
}

// The run number of the line at [begin, end) of the file when it is a start line; `chunk` holds
// the file's bytes from `chunkAt`, and the line's first byte.
std::optional<int64_t> RunOfLineAt(const FileReader& file, const std::string& chunk,
                                   uint64_t chunkAt, uint64_t begin, uint64_t end) {
    if (end <= begin || end - begin > kMaxStartLine) {
        return std::nullopt;
    }
    if (end <= chunkAt + chunk.size()) {
        return RunOfStartLine(std::string_view(chunk).substr(begin - chunkAt, end - begin));
    }
    std::string line(static_cast<size_t>(end - begin), '\0');
    return file.ReadAt(begin, line.data(), line.size()) ? RunOfStartLine(line) : std::nullopt;
}

// The run number of the trace's last start line, 0 when it has none. Read from the end back, so
// that it costs the lines written since the last run began, not the whole trace.
int64_t LastRunInTrace() {
    const FileReader file(g_path);
    std::string chunk;
    uint64_t chunkAt = file.Size();
    uint64_t lineEnd = file.Size(); // the end of the line whose beginning is looked for
    while (chunkAt > 0) {
        const auto n = static_cast<size_t>(std::min<uint64_t>(kReadChunk, chunkAt));
        chunkAt -= n;
        chunk.resize(n);
        if (!file.ReadAt(chunkAt, chunk.data(), n)) {
            return 0;
        }
        for (size_t i = n; i-- > 0;) {
            if (chunk[i] == '\n') {
                if (auto run = RunOfLineAt(file, chunk, chunkAt, chunkAt + i + 1, lineEnd)) {
                    return *run;
                }
                lineEnd = chunkAt + i;
            }
        }
    }
    return RunOfLineAt(file, chunk, 0, 0, lineEnd).value_or(0);
}

// Other programs of a procedure may begin runs at the same time: the last run and the start line
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
        const int64_t last = LastRunInTrace();
        const int64_t run = last < INT64_MAX ? last + 1 : last;
        WriteLine({{"op", "start"}, {"run", run}, {"program", program}, {"args", args}});
        g_run = IsOpen() ? run : 0;
    } catch (...) {
        // As for any line: left out when it cannot be formed.
    }
}

void TraceRunExit(int32_t status) {
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!EnsureOpen()) {
            return;
        }
        nlohmann::ordered_json line = {{"op", "exit"}};
        if (g_run > 0) {
            line["run"] = g_run;
        }
        line["status"] = status;
        WriteLine(line);
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
