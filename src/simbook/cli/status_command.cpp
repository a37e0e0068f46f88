// simbook status: the full exit status of the last program run in a trace, one decimal line, for
// scripts that lose all but its low 8 bits in $?. The trace is read from its end back to the
// start line of its last run, so a long procedure's trace costs no more than its last run.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "simbook/cli/commands.h"
#include "simbook/cli/options.h"
#include "simbook/cli/procedure.h"
#include "simbook/trace_decode.h"

namespace simbook::cli {
namespace {

// The trace is read backwards in chunks of this size.
constexpr size_t kChunk = 65536;
// Start and exit lines are a few hundred bytes (a start line more with a long command line): a
// longer line is passed over unread, as the trace's writer passes it over when it numbers runs.
constexpr uint64_t kMaxRunLine = 16 * 1024 * 1024;

bool ReadAt(int fd, uint64_t offset, std::string& into) {
    for (size_t done = 0; done < into.size();) {
        const ssize_t got =
            pread(fd, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

// Hands the lines of the `size` bytes at `fd` to `take`, the last first, until it returns false;
// empty lines and lines longer than kMaxRunLine are passed over. False on a read error.
template <class Take> bool LinesFromTheEnd(int fd, uint64_t size, Take take) {
    std::string chunk;
    uint64_t chunkAt = size;
    uint64_t lineEnd = size; // the end of the line whose beginning is looked for
    bool more = true;
    // The line [begin, lineEnd): from the chunk when it lies there, else read on its own.
    auto line = [&](uint64_t begin) {
        if (lineEnd > begin && lineEnd - begin <= kMaxRunLine) {
            const auto length = static_cast<size_t>(lineEnd - begin);
            std::string text;
            if (lineEnd <= chunkAt + chunk.size()) {
                text = chunk.substr(static_cast<size_t>(begin - chunkAt), length);
            } else if (text.resize(length); !ReadAt(fd, begin, text)) {
                return false;
            }
            more = take(std::move(text));
        }
        return true;
    };
    while (chunkAt > 0 && more) {
        const auto n = static_cast<size_t>(std::min<uint64_t>(kChunk, chunkAt));
        chunkAt -= n;
        chunk.resize(n);
        if (!ReadAt(fd, chunkAt, chunk)) {
            return false;
        }
        for (size_t i = n; i-- > 0 && more;) {
            if (chunk[i] == '\n') {
                if (!line(chunkAt + i + 1)) {
                    return false;
                }
                lineEnd = chunkAt + i;
            }
        }
    }
    return !more || line(0);
}

bool IsStartLine(const std::string& line) {
    bool start = false;
    TraceDecoder decoder("", [&](TraceEvent&& e) { start = start || e.kind == "start"; });
    decoder.Line(1, line);
    return start;
}

// The last run begun in the trace at `fd`, as RunsOfTrace reads it: the run of the last start
// line, or in a trace without start lines (older ones) the run its last exit line ends. Only the
// lines that can begin or end a run are kept. nullopt when the trace has no run; `readable` false
// on a read error.
std::optional<ProgramRun> LastRun(int fd, uint64_t size, bool& readable) {
    std::vector<std::string> kept; // the last first
    bool started = false;
    readable = LinesFromTheEnd(fd, size, [&](std::string&& line) {
        started = line.find("start") != std::string::npos && IsStartLine(line);
        if (started || line.find("exit") != std::string::npos) {
            kept.push_back(std::move(line));
        }
        return !started;
    });
    std::reverse(kept.begin(), kept.end());
    const std::vector<ProgramRun> runs = RunsOfTrace(kept);
    if (!readable || runs.empty()) {
        return std::nullopt;
    }
    // From the last start line on, exit lines of runs begun before it stand as runs of their own.
    return started ? runs.front() : runs.back();
}

std::string RunName(const ProgramRun& run) {
    return "run " + std::to_string(run.number) + (run.program.empty() ? "" : ": " + run.program);
}

} // namespace

int Status(const Args& args) {
    const std::optional<StatusOptions> o = ParseStatus(args);
    if (!o) {
        return kUsage;
    }
    std::string source = o->source;
    if (source.empty()) {
        const char* traced = std::getenv("SIMBOOK_TRACE");
        source = traced != nullptr ? traced : "";
    }
    if (source.empty()) {
        Complain("status", "no trace: give TRACE, or set SIMBOOK_TRACE as for the run");
        return kUsage;
    }
    // Never waits on a FIFO; the trace must be a file to be read from its end.
    const int fd = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Complain("status", source + ": cannot be read: " +
                               (fd < 0 ? std::strerror(errno) : "not a regular file"));
        if (fd >= 0) {
            close(fd);
        }
        return kFailed;
    }
    bool readable = true;
    const std::optional<ProgramRun> run = LastRun(fd, static_cast<uint64_t>(st.st_size), readable);
    close(fd);
    if (!readable) {
        Complain("status", source + ": read error");
        return kFailed;
    }
    if (!run) {
        Complain("status", source + ": no program run in it");
        return kFailed;
    }
    if (!run->status) {
        Complain("status", source + ": the last program run (" + RunName(*run) +
                               ") has not ended: no exit line with a status");
        return kFailed;
    }
    std::printf("%" PRId64 "\n", *run->status);
    return std::fflush(stdout) == 0 ? kDone : kFailed;
}

} // namespace simbook::cli
