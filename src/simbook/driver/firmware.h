// The firmware model: answers the firmware-call packets (functions 0x0C, 0x0D, 0x11, 0x12,
// 0x04, 0x05) over the machine's `firmware` values. Every answer is the request packet
// overwritten in place: byte 0 becomes the status, the answer fields are filled in.
//
// Status bytes: 0 done; 1 the function, item, selector or setting is not supported (also for
// functions listed in `failing_functions`); 3 the packet's lengths or fixed fields are wrong;
// 4 busy (the first `busy_replies` calls); 5 function 0x11's data area is too small (needed
// length at offset 20); function 0x05 answers 0 for a set password and 2 for one not set.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "simbook/machine.h"

namespace simbook {

class Firmware {
public:
    // Called with the new firmware values before a change takes effect; false (the change could
    // not be stored) leaves the values as they were and makes the call fail.
    using Store = std::function<bool(const Machine::Firmware&)>;

    Firmware(Machine::Firmware values, int busyReplies, Store store);

    // Runs one firmware call. `packet` holds the `size` input bytes the client sent, `room` is
    // the answer room it offered. Returns the answer (at most `room` bytes), or nullopt when a
    // change could not be stored.
    std::optional<std::vector<uint8_t>> Call(const uint8_t* packet, size_t size, size_t room);

    const Machine::Firmware& Values() const { return values_; }
    void ReplaceValues(const Machine::Firmware& values) { values_ = values; }
    // The next `busyReplies` calls are answered busy.
    void SetBusyReplies(int busyReplies) { busyLeft_ = busyReplies; }

private:
    Machine::Firmware values_;
    int busyLeft_;
    Store store_;
};

} // namespace simbook
