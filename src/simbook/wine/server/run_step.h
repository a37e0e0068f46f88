// A program's step of a fault list, asked for through the relay (RELAY_IOCTL_STEP): the request
// record checked, then the step taken on the run's machine file by simbook's store, exactly as a
// Linux process takes it. Plain C++ types only, like run_scope.h: the Winelib part of the server
// includes it next to Wine's headers, and it is implemented in an ordinary Linux translation
// unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace simbook_wine {

// Takes the step that STEP's input `record` (`size` bytes, "<where>\0<key>\0") names on the
// current run's machine file and returns the index of the value the program run takes. nullopt,
// with one line on standard error (the run's, while a run lasts), when the record is malformed
// or names no fault list a program may step ("/wlan/interfaces/N" of an interface of the run's
// machine, "scan"), when the run has no machine, or when the store did not store the step.
std::optional<uint32_t> TakeRunStep(const uint8_t* record, size_t size);

} // namespace simbook_wine
