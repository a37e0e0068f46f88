// The trace file: SIMBOOK_TRACE names it; each line goes out in one write() on a descriptor
// opened with O_APPEND, so lines from several threads and processes never interleave and each
// is on disk (in the page cache) as soon as the call returns.
#include "simbook/trace.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace simbook {
namespace {

std::mutex g_mutex;
bool g_opened = false;
int g_fd = -1;

} // namespace

bool TraceEnabled() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_opened) {
        g_opened = true;
        const char* path = std::getenv("SIMBOOK_TRACE");
        if (path != nullptr && path[0] != '\0') {
            g_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
    }
    return g_fd >= 0;
}

void ReopenTraceForTests() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_fd >= 0) {
        close(g_fd);
    }
    g_fd = -1;
    g_opened = false;
}

void TraceLine(const std::string& jsonObject) {
    if (!TraceEnabled()) {
        return;
    }
    std::string line = jsonObject;
    line += '\n';
    // A regular file takes the whole line in one append; retry only on interruption.
    for (;;) {
        ssize_t n = write(g_fd, line.data(), line.size());
        if (n >= 0 || errno != EINTR) {
            break;
        }
    }
}

std::string HexText(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

} // namespace simbook
