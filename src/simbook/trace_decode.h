// The trace read back: each line of a SIMBOOK_TRACE file turned into one event a person can read
// (device opens and closes, the probe, the handshake's three phases, the end of a session, each
// capsule with the firmware call it carried, Wi-Fi calls and notifications, the exit status
// explained), with the same facts as fields for programs.
//
// A pure function of the lines: no file is read here. Lines it does not know (ops of other
// tools, text that is not JSON) become "raw" events; decoding never fails.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace simbook {

struct TraceEvent {
    size_t line = 0;              // 1-based line of the trace
    std::string kind;             // start, open, refused, close, probe, handshake, end_session,
                                  // capsule, ioctl, wlan, notify, library, exit, raw
    std::string text;             // one readable line
    nlohmann::ordered_json facts; // {"line", "event", ...}: the event for programs

    // Moves are left without noexcept: a JSON value's move is not declared so to every checker.
    TraceEvent() noexcept(false) {}
    TraceEvent(const TraceEvent&) = default;
    TraceEvent& operator=(const TraceEvent&) = default;
    TraceEvent(TraceEvent&&) noexcept(false) = default;
    TraceEvent& operator=(TraceEvent&&) noexcept(false) = default;
    ~TraceEvent() = default;
};

// Decodes a trace line by line, handing each event to the sink as soon as it is known, so that
// a trace of any length is decoded in bounded memory and time linear in its length. A run's
// start line names its program; for runs without one, `program` ("brenvik", "tolmare",
// "sundrel") names the program whose exit statuses are explained, and when it is empty the
// program is told from what the run did.
//
// A firmware line waits for the capsule line that carries it (the next one of its session);
// at most kMaxWaitingFirmwareLines wait, and the oldest beyond them is shown unpaired.
class TraceDecoder {
public:
    using Sink = std::function<void(TraceEvent&&)>;
    static constexpr size_t kMaxWaitingFirmwareLines = 64;

    TraceDecoder(std::string program, Sink sink);
    ~TraceDecoder();
    TraceDecoder(const TraceDecoder&) = delete;
    TraceDecoder& operator=(const TraceDecoder&) = delete;

    // Line `number` (1-based) of the trace, without its line end. Lines nesting deeper than
    // kMaxJsonNesting are shown raw without being parsed.
    void Line(size_t number, const std::string& text);
    // Line `number` was longer than a reader keeps; it is shown as such, unread.
    void Overlong(size_t number, size_t limit);
    // The end of the trace: firmware lines still waiting are shown unpaired.
    void Finish();

private:
    class Decoder;
    std::unique_ptr<Decoder> decoder_;
};

// Decodes the lines of a whole trace at once (see TraceDecoder).
std::vector<TraceEvent> DecodeTrace(const std::vector<std::string>& lines,
                                    const std::string& program = "");

// What an exit status of `program` means ("" when the program is not known: every reading).
std::string ExplainExitStatus(int64_t status, const std::string& program);

// A 32-bit word as reports show codes, sessions and exit statuses: "0x" and eight lower-case hex
// digits; a negative status cast to uint32_t shows as its two's complement (-2: "0xfffffffe").
std::string Hex32(uint32_t word);

// A Win32 error as "ERROR_NAME (n)", or "error n" for one this table does not name.
std::string Win32ErrorText(uint64_t error);

} // namespace simbook
