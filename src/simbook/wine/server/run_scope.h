// One run of the device server, seen from simbook's side: the run's environment (which machine
// file, which trace), the machine and trace reread for it, and what simbook reports on standard
// error while it lasts. Plain C++ types only, like wlan_choice.h: the Winelib part of the server
// includes it next to Wine's headers, and it is implemented in an ordinary Linux translation unit
// (the same C library as simbook's own getenv calls).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace simbook_wine {

// A variable of the run's environment: its value, or nullopt when the run does not have it.
using RunVariable = std::pair<std::string, std::optional<std::string>>;

// Starts a run: sets or removes each variable, makes simbook read the machine and open the trace
// afresh (as a new process of the Linux build would) and collects standard error until EndRun.
void BeginRun(const std::vector<RunVariable>& variables);

// The machine file the run uses: the machine's path, else $SIMBOOK, else empty.
std::string RunMachinePath();

// Ends the run: standard error goes back where it went, and the text collected meanwhile is
// returned (its first `limit` bytes; a line saying how much was left out ends a longer text).
std::string EndRun(size_t limit);

} // namespace simbook_wine
