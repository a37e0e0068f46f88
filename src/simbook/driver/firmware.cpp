// Firmware calls over the machine's firmware values.
#include "simbook/driver/firmware.h"

#include <algorithm>

#include "simbook/bytes.h"
#include "simbook/protocol.h"

namespace simbook {
namespace {

namespace fn = protocol::function;
namespace st = protocol::status;
using protocol::kPacketHeaderSize;

// One call in progress: the request as sent and the answer being filled in over its copy.
struct Exchange {
    Exchange(const uint8_t* packet, size_t size, size_t room) : in(packet), inSize(size) {
        // The answer has the packet's declared output length when the header is readable and
        // that fits in the room offered; otherwise the room itself (and status 3).
        bool headerOk = size >= kPacketHeaderSize;
        function = size >= 1 ? packet[0] : 0;
        inLength = headerOk ? LoadLe16(packet + 2) : 0;
        outLength = headerOk ? LoadLe16(packet + 4) : 0;
        answerLength = headerOk && outLength <= room ? outLength : room;
        answer.assign(std::max(answerLength, size), 0);
        std::copy(packet, packet + size, answer.begin());
        wellFormed =
            headerOk && outLength <= room && inLength <= size && inLength >= kPacketHeaderSize;
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
    if (x.inLength != protocol::kIndexedSettingSize ||
        x.outLength != protocol::kIndexedSettingSize ||
        LoadLe32(x.in + 8) != protocol::kIndexedSettingMarker ||
        LoadLe32(x.in + 16) != protocol::IndexedSettingTag(x.function)) {
        return st::kBadPacket;
    }
    if (LoadLe32(x.in + 12) != protocol::kSwitchSetting) {
        return st::kUnsupported;
    }
    if (x.function == fn::kReadIndexedSetting) {
        StoreLe32(x.At(12), values.setting58Width); // byte 12: width; 13..15 zero
        StoreLe32(x.At(20), values.setting58 | values.setting58StrayBits);
        return st::kDone;
    }
    const uint32_t value = LoadLe32(x.in + 20);
    if (!FitsWidth(value, values.setting58Width)) {
        return st::kUnsupported; // the setting has no room for the value
    }
    next.setting58 = value;
    return st::kDone;
}

bool IsWlanItem(const Exchange& x) {
    return LoadLe16(x.in + 8) == protocol::kWlanItem &&
           LoadLe16(x.in + 10) == protocol::kWlanSelector;
}

// Function 0x11: reads the wireless LAN's setup item with its data area.
uint8_t ReadSetupItem(Exchange& x, const Machine::Firmware& values) {
    constexpr size_t kHeader = protocol::kSetupItemHeaderSize;
    if (x.inLength != kHeader || x.outLength < kHeader) {
        return st::kBadPacket;
    }
    if (!IsWlanItem(x)) {
        return st::kUnsupported;
    }
    const std::vector<uint8_t>& data = values.wlanItemData;
    StoreLe16(x.At(20), static_cast<uint16_t>(data.size()));
    if (data.size() > x.outLength - kHeader) {
        return st::kTooSmall; // the needed length stands at offset 20
    }
    StoreLe16(x.At(12), values.wlanFlags);
    StoreLe16(x.At(14), 0);
    StoreLe16(x.At(16), 0);
    StoreLe16(x.At(18), 0);
    std::copy(data.begin(), data.end(), x.At(kHeader));
    return st::kDone;
}

// Function 0x12: sets the wireless LAN's setup item.
uint8_t WriteSetupItem(const Exchange& x, Machine::Firmware& next) {
    if (x.inLength != protocol::kSetSetupItemSize || x.outLength != protocol::kSetSetupItemSize) {
        return st::kBadPacket;
    }
    if (!IsWlanItem(x)) {
        return st::kUnsupported;
    }
    next.wlanFlags = LoadLe16(x.in + 12);
    return st::kDone;
}

// Function 0x04: which passwords the firmware knows and which are set.
uint8_t PasswordInfo(Exchange& x, const Machine::Firmware& values) {
    if (x.inLength != protocol::kPasswordInfoRequestSize ||
        x.outLength != protocol::kPasswordInfoAnswerSize) {
        return st::kBadPacket;
    }
    StoreLe16(x.At(8), 1);  // layout version of the password information
    StoreLe16(x.At(10), 2); // passwords the firmware knows: supervisor and user
    StoreLe16(x.At(12), 0);
    *x.At(14) = values.supervisorPassword ? 1 : 0;
    *x.At(15) = values.userPassword ? 1 : 0;
    StoreLe16(x.At(16), values.passwordDataLength);
    return st::kDone;
}

// Function 0x05: whether the supervisor or the user password is set. Its data area holds at
// least 2 bytes.
uint8_t PasswordState(const Exchange& x, const Machine::Firmware& values) {
    if (x.inLength != protocol::kPasswordStateHeaderSize ||
        x.outLength < protocol::kPasswordStateHeaderSize + 2) {
        return st::kBadPacket;
    }
    const uint16_t selector = LoadLe16(x.in + 8);
    const bool supervisor = selector == protocol::kSupervisorPasswordSelector;
    if (!supervisor && selector != protocol::kUserPasswordSelector) {
        return st::kUnsupported;
    }
    if (values.passwordStateStatus) {
        return *values.passwordStateStatus;
    }
    const bool set = supervisor ? values.supervisorPassword : values.userPassword;
    return set ? st::kDone : st::kPasswordNotSet;
}

// Runs the packet's function over `values`; a write puts the values it sets into `next`.
uint8_t Run(Exchange& x, const Machine::Firmware& values, Machine::Firmware& next) {
    switch (x.function) {
    case fn::kReadIndexedSetting:
    case fn::kWriteIndexedSetting:
        return IndexedSetting(x, values, next);
    case fn::kGetSetupItem:
        return ReadSetupItem(x, values);
    case fn::kSetSetupItem:
        return WriteSetupItem(x, next);
    case fn::kGetPasswordInfo:
        return PasswordInfo(x, values);
    case fn::kGetPasswordState:
        return PasswordState(x, values);
    default:
        return st::kUnsupported;
    }
}

} // namespace

Firmware::Firmware(Machine::Firmware values, int busyReplies, Store store)
    : values_(std::move(values)), busyLeft_(busyReplies), store_(std::move(store)) {}

std::optional<std::vector<uint8_t>> Firmware::Call(const uint8_t* packet, size_t size,
                                                   size_t room) {
    Exchange x(packet, size, room);
    if (!x.wellFormed) {
        return x.Finish(st::kBadPacket);
    }
    if (busyLeft_ > 0) {
        --busyLeft_;
        return x.Finish(st::kBusy);
    }
    const std::vector<uint8_t>& failing = values_.failingFunctions;
    if (std::find(failing.begin(), failing.end(), x.function) != failing.end()) {
        return x.Finish(st::kUnsupported);
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
