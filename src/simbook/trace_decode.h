// The trace read back: each line of a SIMBOOK_TRACE file turned into one event a person can read
// (device opens and closes, the probe, the handshake's three phases, the end of a session, each
// capsule with the firmware call it carried, Wi-Fi calls and notifications, the exit status
// explained), with the same facts as fields for programs.
//
// A pure function of the lines: no file is read here. Lines it does not know (ops of other
// tools, text that is not JSON) become "raw" events; decoding never fails.
#pragma once

#include <cstdint>
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

// Decodes the lines of a trace. A run's start line names its program; for runs without one,
// `program` ("brenvik", "tolmare", "sundrel") names the program whose exit statuses are
// explained, and when it is empty the program is told from what the run did.
std::vector<TraceEvent> DecodeTrace(const std::vector<std::string>& lines,
                                    const std::string& program = "");

// What an exit status of `program` means ("" when the program is not known: every reading).
std::string ExplainExitStatus(int64_t status, const std::string& program);

// A Win32 error as "ERROR_NAME (n)", or "error n" for one this table does not name.
std::string Win32ErrorText(uint64_t error);

} // namespace simbook
