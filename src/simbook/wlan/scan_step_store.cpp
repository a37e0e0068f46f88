// The scan step in a Linux process: the machine-file store takes it itself.
#include "scan_step.h"

#include "simbook/driver/store.h"

namespace simbook::wlan {

std::optional<size_t> TakeScanStep(const std::string& machinePath, size_t index) {
    return TakeStepWaiting(machinePath, InterfacePointer(index), "scan", kStepWait);
}

} // namespace simbook::wlan
