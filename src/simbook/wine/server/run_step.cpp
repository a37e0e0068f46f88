#include "run_step.h"

#include <cstdio>
#include <string>

#include "relay/relay_protocol.h"
#include "simbook/driver/store.h"
#include "simbook/machine.h"
#include "simbook/wlan/scan_step.h"

namespace simbook_wine {
namespace {

std::optional<uint32_t> Refuse(const std::string& why) {
    std::fprintf(stderr, "simbook_server: step request refused: %s\n", why.c_str());
    return std::nullopt;
}

// The index of the interface that `where` ("/wlan/interfaces/N") names, if below `count`.
std::optional<size_t> InterfaceIndex(const std::string& where, size_t count) {
    const std::string prefix = "/wlan/interfaces/";
    if (where.size() <= prefix.size() || where.size() > prefix.size() + 5 ||
        where.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    size_t index = 0;
    for (size_t i = prefix.size(); i < where.size(); ++i) {
        if (where[i] < '0' || where[i] > '9') {
            return std::nullopt;
        }
        index = index * 10 + static_cast<size_t>(where[i] - '0');
    }
    // Written exactly as the Wi-Fi library writes it: no leading zero.
    if (index >= count || simbook::wlan::InterfacePointer(index) != where) {
        return std::nullopt;
    }
    return index;
}

} // namespace

std::optional<uint32_t> TakeRunStep(const uint8_t* record, size_t size) {
    if (size > RELAY_STEP_ROOM) {
        return Refuse("the record is longer than " + std::to_string(RELAY_STEP_ROOM) + " bytes");
    }
    if (record == nullptr || size < 2 || record[size - 1] != 0) {
        return Refuse("the record is not two texts ending in a null byte");
    }
    const std::string text(reinterpret_cast<const char*>(record), size - 1);
    const size_t split = text.find('\0');
    if (split == std::string::npos || text.find('\0', split + 1) != std::string::npos) {
        return Refuse("the record is not two texts ending in a null byte");
    }
    const std::string where = text.substr(0, split);
    const std::string key = text.substr(split + 1);
    const simbook::Machine* machine = simbook::CurrentMachine();
    if (machine == nullptr) {
        return Refuse("the run has no machine");
    }
    if (key != "scan" || !InterfaceIndex(where, machine->wlan.interfaces.size())) {
        return Refuse("no fault list a program steps");
    }
    const std::optional<size_t> taken =
        simbook::TakeStepWaiting(machine->path, where, key, simbook::wlan::kStepWait);
    if (!taken) {
        return std::nullopt; // the store told why
    }
    return static_cast<uint32_t>(*taken);
}

} // namespace simbook_wine
