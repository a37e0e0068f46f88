// The program run's step of an interface's "scan" list, taken where the machine file is kept:
// by the machine-file store in a Linux process (scan_step_store.cpp), and through the relay's
// device server, which holds the run's machine file, in the libraries built for Windows that
// Wine loads (scan_step_relay.cpp). Either way the step is stored under the file's exclusive
// lock, so it carries from one program run to the next on both builds.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace simbook::wlan {

// How long a step waits for the machine file's exclusive lock while another program or simbook
// command holds it.
inline constexpr std::chrono::milliseconds kStepWait{5000};

// The JSON pointer of interface `index` of the machine file, the object that holds its "scan"
// list and "scan_step".
inline std::string InterfacePointer(size_t index) {
    return "/wlan/interfaces/" + std::to_string(index);
}

// Takes this run's step of the "scan" list of interface `index` of the machine file at
// `machinePath`: the index of the value the run takes (the store keeps the next one). nullopt
// when the step was not stored; one line on standard error then says why.
std::optional<size_t> TakeScanStep(const std::string& machinePath, size_t index);

} // namespace simbook::wlan
