#include "stand_in.h"

#include <cstdlib>

#include "simbook/machine.h"
#include "simbook/trace.h"
#include "trace.h"

namespace nwt::test {

namespace {

std::optional<std::string> Get(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

void Restore(const char* name, const std::optional<std::string>& value) {
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

} // namespace

StandInMachine::StandInMachine(const std::string& machineText, Trace trace)
    : _scratch("simbook-standin"), _savedMachine(Get("SIMBOOK")),
      _savedTrace(Get("SIMBOOK_TRACE")) {
    if (trace == Trace::On) {
        setenv("SIMBOOK_TRACE", TracePath().c_str(), 1);
    } else {
        unsetenv("SIMBOOK_TRACE");
    }
    simbook::ReopenTraceForTests();
    Use(machineText);
}

StandInMachine::~StandInMachine() {
    Restore("SIMBOOK", _savedMachine);
    Restore("SIMBOOK_TRACE", _savedTrace);
    simbook::ReloadMachineForTests();
    simbook::ReopenTraceForTests();
}

void StandInMachine::Use(const std::string& machineText) {
    setenv("SIMBOOK", WriteMachine(_scratch, machineText).c_str(), 1);
    simbook::ReloadMachineForTests();
}

std::vector<nlohmann::json> StandInMachine::TraceLines() const {
    return ReadTrace(TracePath());
}

std::vector<nlohmann::json> StandInMachine::TraceOps(const std::string& op) const {
    return LinesWithOp(TraceLines(), op);
}

} // namespace nwt::test
