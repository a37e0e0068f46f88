// simbook trace: a trace file read and decoded, one line (or JSON object) per event.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "simbook/cli/commands.h"
#include "simbook/cli/options.h"
#include "simbook/trace.h"
#include "simbook/trace_decode.h"

namespace simbook::cli {
namespace {

// The longest trace line read; real ones are a few kilobytes.
constexpr size_t kMaxTraceLine = 1024 * 1024;

// Hands each line read from `fd` (without its line end) to `take` with its 1-based number, as
// soon as it is complete; a line longer than kMaxTraceLine as null, without keeping it. False
// on a read error.
template <class Take> bool ReadLines(int fd, Take take) {
    std::string line;
    bool overlong = false;
    size_t number = 0;
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (overlong || !line.empty()) {
                take(++number, overlong ? nullptr : &line); // a last line without its line end
            }
            return got == 0;
        }
        const auto n = static_cast<size_t>(got);
        for (size_t at = 0; at < n;) {
            const char* end = static_cast<const char*>(std::memchr(chunk + at, '\n', n - at));
            const size_t length = (end == nullptr ? n : static_cast<size_t>(end - chunk)) - at;
            if (!overlong && line.size() + length > kMaxTraceLine) {
                overlong = true;
                std::string().swap(line);
            }
            if (!overlong) {
                line.append(chunk + at, length);
            }
            at += length;
            if (end != nullptr) {
                take(++number, overlong ? nullptr : &line);
                line.clear();
                overlong = false;
                ++at;
            }
        }
    }
}

} // namespace

int Trace(const Args& args) {
    const std::optional<TraceOptions> o = ParseTrace(args);
    if (!o) {
        return kUsage;
    }
    const bool json = o->json;
    const std::string& program = o->program;
    std::string source = o->source;
    if (source.empty()) {
        const char* traced = std::getenv("SIMBOOK_TRACE");
        source = traced != nullptr && traced[0] != '\0' ? traced : "-";
    }
    int in = STDIN_FILENO;
    if (source != "-") {
        in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            Complain("trace", source + ": cannot be read: " + std::strerror(errno));
            return kFailed;
        }
    }
    // Each event is written as soon as it is decoded: a trace is never held whole.
    bool written = true;
    TraceDecoder decoder(program, [&](TraceEvent&& e) {
        std::string text =
            json ? e.facts.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                 : EscapedForLine(e.text);
        text += '\n';
        written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && written;
    });
    const bool readAll = ReadLines(in, [&](size_t number, const std::string* line) {
        if (line != nullptr) {
            decoder.Line(number, *line);
        } else {
            decoder.Overlong(number, kMaxTraceLine);
        }
    });
    decoder.Finish();
    if (in != STDIN_FILENO) {
        close(in);
    }
    if (!readAll) {
        Complain("trace", source + ": read error");
        return kFailed;
    }
    return std::fflush(stdout) == 0 && written ? kDone : kFailed;
}

} // namespace simbook::cli
