// The trace file: SIMBOOK_TRACE names it; each line goes out in one write on a file opened for
// appending, so lines from several threads and processes never interleave and each is in the
// file as soon as the call returns. Under Wine (the service libraries built for Windows) the
// Linux path the runner was given is reached through the Z: drive.
#include "simbook/trace.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace simbook {
namespace {

std::mutex g_mutex;
bool g_opened = false;

#ifdef _WIN32
HANDLE g_file = INVALID_HANDLE_VALUE;

bool OpenTrace(const char* path) {
    std::string name = path;
    if (name[0] == '/') {
        name = "Z:" + name;
        for (char& c : name) {
            c = c == '/' ? '\\' : c;
        }
    }
    // Append-only access: every write goes to the end of the file, as O_APPEND does.
    g_file = CreateFileA(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return g_file != INVALID_HANDLE_VALUE;
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

void WriteWhole(const std::string& line) {
    DWORD written = 0;
    WriteFile(g_file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
#else
int g_fd = -1;

bool OpenTrace(const char* path) {
    g_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return g_fd >= 0;
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

void WriteWhole(const std::string& line) {
    // A regular file takes the whole line in one append; retry only on interruption.
    for (;;) {
        ssize_t n = write(g_fd, line.data(), line.size());
        if (n >= 0 || errno != EINTR) {
            break;
        }
    }
}
#endif

} // namespace

bool TraceEnabled() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_opened) {
        g_opened = true;
        const char* path = std::getenv("SIMBOOK_TRACE");
        if (path != nullptr && path[0] != '\0') {
            OpenTrace(path);
        }
    }
    return IsOpen();
}

void ReopenTraceForTests() {
    std::lock_guard<std::mutex> lock(g_mutex);
    CloseTrace();
    g_opened = false;
}

void TraceLine(const nlohmann::ordered_json& line) {
    if (!TraceEnabled()) {
        return;
    }
    try {
        WriteWhole(line.dump() + '\n');
    } catch (...) {
        // A line that cannot be formed is left out; the traced call answers all the same.
    }
}

} // namespace simbook
