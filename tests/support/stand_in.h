// The machine file and trace that this process's Win32 stand-in reads, for tests that switch
// machines within one process.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scratch.h"

namespace nwt::test {

// Writes a machine file into a scratch folder of its own, points SIMBOOK (and, when asked,
// SIMBOOK_TRACE) at it and has the stand-in read them anew. When it goes, SIMBOOK and
// SIMBOOK_TRACE are what they were before, the stand-in forgets the machine and the trace, and
// the folder is removed.
class StandInMachine {
public:
    enum class Trace { Off, On };

    explicit StandInMachine(const std::string& machineText = "{}", Trace trace = Trace::Off);
    ~StandInMachine();
    StandInMachine(const StandInMachine&) = delete;
    StandInMachine& operator=(const StandInMachine&) = delete;

    // Replaces the machine file's text and has the stand-in read it anew.
    void Use(const std::string& machineText);

    const ScratchDir& Scratch() const { return _scratch; }
    std::string MachinePath() const { return _scratch.Path("machine.json"); }
    std::string TracePath() const { return _scratch.Path("trace.jsonl"); }
    // The trace lines written so far (none when the trace is off), all or with one "op".
    std::vector<nlohmann::json> TraceLines() const;
    std::vector<nlohmann::json> TraceOps(const std::string& op) const;

private:
    ScratchDir _scratch;
    std::optional<std::string> _savedMachine;
    std::optional<std::string> _savedTrace;
};

} // namespace nwt::test
