// Runs a test body in a forked child process that sees its own machine file.
//
// The stand-in reads the machine once per process, so a test that needs a particular machine
// (or any machine at all) runs its body in a child: the machine text is written to a fresh
// directory, SIMBOOK and SIMBOOK_TRACE point the child there, and the child's GoogleTest
// assertions print as usual. The parent fails the test when the child reports a failure, dies
// or outlives its time limit.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct ChildRun {
    std::string dir;       // the run's directory
    std::string tracePath; // SIMBOOK_TRACE of the child

    // The trace as written.
    std::string TraceText() const;
    // The trace lines written so far, parsed.
    std::vector<nlohmann::json> Trace() const;
    // The trace lines with this "op".
    std::vector<nlohmann::json> TraceOps(const std::string& op) const;
};

// A machine file with one interface of each scan behaviour (see kGuid* in the tests) and
// `extraWlan` merged into its "wlan" object.
std::string MachineText(const nlohmann::json& extraWlan = nlohmann::json::object(),
                        const nlohmann::json& extraTop = nlohmann::json::object());

void RunInChild(const std::string& machineText, const std::function<void(const ChildRun&)>& body,
                unsigned timeLimitSeconds = 30);
