// Firmware calls over the machine's firmware values.
#include "simbook/driver/firmware.h"

#include <algorithm>

#include "simbook/bytes.h"

namespace simbook {
namespace {

constexpr uint8_t kDone = 0;
constexpr uint8_t kUnsupported = 1;
constexpr uint8_t kBadPacket = 3;
constexpr uint8_t kBusy = 4;
constexpr uint8_t kTooSmall = 5;
constexpr uint8_t kPasswordNotSet = 2;

constexpr uint16_t kWlanItem = 0x8008;
constexpr uint32_t kSwitchSetting = 58;
constexpr size_t kHeaderSize = 6;      // function, reserved, input length, output length
constexpr size_t kItemHeaderSize = 22; // function 0x11's fixed fields before the data area

// One call in progress: the request as sent and the answer being filled in over its copy.
struct Exchange {
    Exchange(const uint8_t* packet, size_t size, size_t room) : in(packet), inSize(size) {
        // The answer has the packet's declared output length when the header is readable and
        // that fits in the room offered; otherwise the room itself (and status 3).
        bool headerOk = size >= kHeaderSize;
        function = size >= 1 ? packet[0] : 0;
        inLength = headerOk ? LoadLe16(packet + 2) : 0;
        outLength = headerOk ? LoadLe16(packet + 4) : 0;
        answerLength = headerOk && outLength <= room ? outLength : room;
        answer.assign(std::max(answerLength, size), 0);
        std::copy(packet, packet + size, answer.begin());
        wellFormed = headerOk && outLength <= room && inLength <= size && inLength >= kHeaderSize;
    }

    // The answer: the request overwritten in place, cut to its length, status in byte 0.
    std::optional<std::vector<uint8_t>> Finish(uint8_t status) {
        answer.resize(answerLength);
        if (!answer.empty()) {
            answer[0] = status;
        }
        return std::move(answer);
    }

    uint8_t* At(size_t offset) { return answer.data() + offset; }

    const uint8_t* in;
    size_t inSize;
    bool wellFormed = false;
    uint8_t function = 0;
    uint16_t inLength = 0;
    uint16_t outLength = 0;
    size_t answerLength = 0;
    std::vector<uint8_t> answer;
};

// Functions 0x0C (read) and 0x0D (write) of indexed setting 58.
uint8_t IndexedSetting(Exchange& x, const Machine::Firmware& values, Machine::Firmware& next) {
    const uint32_t tag = 0x01000090u | (static_cast<uint32_t>(x.function) << 16);
    if (x.inLength != 32 || x.outLength != 32 || LoadLe32(x.in + 8) != 0x90 ||
        LoadLe32(x.in + 16) != tag) {
        return kBadPacket;
    }
    if (LoadLe32(x.in + 12) != kSwitchSetting) {
        return kUnsupported;
    }
    if (x.function == 0x0C) {
        StoreLe32(x.At(12), values.setting58Width); // byte 12: width; 13..15 zero
        StoreLe32(x.At(20), values.setting58 | values.setting58StrayBits);
        return kDone;
    }
    const uint32_t value = LoadLe32(x.in + 20);
    if (!FitsWidth(value, values.setting58Width)) {
        return kUnsupported; // the setting has no room for the value
    }
    next.setting58 = value;
    return kDone;
}

// Function 0x11: reads setup item 0x8008, selector 0, with its data area.
uint8_t ReadSetupItem(Exchange& x, const Machine::Firmware& values) {
    if (x.inLength != kItemHeaderSize || x.outLength < kItemHeaderSize) {
        return kBadPacket;
    }
    if (LoadLe16(x.in + 8) != kWlanItem || LoadLe16(x.in + 10) != 0) {
        return kUnsupported;
    }
    const std::vector<uint8_t>& data = values.wlanItemData;
    StoreLe16(x.At(20), static_cast<uint16_t>(data.size()));
    if (data.size() > x.outLength - kItemHeaderSize) {
        return kTooSmall; // the needed length stands at offset 20
    }
    StoreLe16(x.At(12), values.wlanFlags);
    StoreLe16(x.At(14), 0);
    StoreLe16(x.At(16), 0);
    StoreLe16(x.At(18), 0);
    std::copy(data.begin(), data.end(), x.At(kItemHeaderSize));
    return kDone;
}

// Function 0x12: sets setup item 0x8008, selector 0.
uint8_t WriteSetupItem(const Exchange& x, Machine::Firmware& next) {
    if (x.inLength != 16 || x.outLength != 16) {
        return kBadPacket;
    }
    if (LoadLe16(x.in + 8) != kWlanItem || LoadLe16(x.in + 10) != 0) {
        return kUnsupported;
    }
    next.wlanFlags = LoadLe16(x.in + 12);
    return kDone;
}

// Function 0x04: which passwords the firmware knows and which are set.
uint8_t PasswordInfo(Exchange& x, const Machine::Firmware& values) {
    if (x.inLength != 8 || x.outLength != 18) {
        return kBadPacket;
    }
    StoreLe16(x.At(8), 1);  // layout version of the password information
    StoreLe16(x.At(10), 2); // passwords the firmware knows: supervisor and user
    StoreLe16(x.At(12), 0);
    *x.At(14) = values.supervisorPassword ? 1 : 0;
    *x.At(15) = values.userPassword ? 1 : 0;
    StoreLe16(x.At(16), values.passwordDataLength);
    return kDone;
}

// Function 0x05: whether the supervisor (0x8000) or user (0) password is set.
uint8_t PasswordState(const Exchange& x, const Machine::Firmware& values) {
    if (x.inLength != 10 || x.outLength < 12) {
        return kBadPacket;
    }
    uint16_t selector = LoadLe16(x.in + 8);
    if (selector != 0x8000 && selector != 0) {
        return kUnsupported;
    }
    if (values.passwordStateStatus) {
        return *values.passwordStateStatus;
    }
    bool set = selector == 0x8000 ? values.supervisorPassword : values.userPassword;
    return set ? kDone : kPasswordNotSet;
}

// Runs the packet's function over `values`; a write puts the values it sets into `next`.
uint8_t Run(Exchange& x, const Machine::Firmware& values, Machine::Firmware& next) {
    switch (x.function) {
    case 0x0C:
    case 0x0D:
        return IndexedSetting(x, values, next);
    case 0x11:
        return ReadSetupItem(x, values);
    case 0x12:
        return WriteSetupItem(x, next);
    case 0x04:
        return PasswordInfo(x, values);
    case 0x05:
        return PasswordState(x, values);
    default:
        return kUnsupported;
    }
}

} // namespace

Firmware::Firmware(Machine::Firmware values, int busyReplies, Store store)
    : values_(std::move(values)), busyLeft_(busyReplies), store_(std::move(store)) {}

std::optional<std::vector<uint8_t>> Firmware::Call(const uint8_t* packet, size_t size,
                                                   size_t room) {
    Exchange x(packet, size, room);
    if (!x.wellFormed) {
        return x.Finish(kBadPacket);
    }
    if (busyLeft_ > 0) {
        --busyLeft_;
        return x.Finish(kBusy);
    }
    const std::vector<uint8_t>& failing = values_.failingFunctions;
    if (std::find(failing.begin(), failing.end(), x.function) != failing.end()) {
        return x.Finish(kUnsupported);
    }
    Machine::Firmware next = values_;
    uint8_t status = Run(x, values_, next);
    // A write: store the new values first, so that a value the machine file could not take is
    // never reported as done.
    if (next.setting58 != values_.setting58 || next.wlanFlags != values_.wlanFlags) {
        if (store_ && !store_(next)) {
            return std::nullopt;
        }
        values_ = next;
    }
    return x.Finish(status);
}

} // namespace simbook
