// Firmware calls over the machine's firmware values.
#include "simbook/driver/firmware.h"

#include <algorithm>

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

uint16_t Get16(const std::vector<uint8_t>& p, size_t at) {
    return static_cast<uint16_t>(p[at] | (p[at + 1] << 8));
}
uint32_t Get32(const std::vector<uint8_t>& p, size_t at) {
    return static_cast<uint32_t>(p[at]) | (static_cast<uint32_t>(p[at + 1]) << 8) |
           (static_cast<uint32_t>(p[at + 2]) << 16) | (static_cast<uint32_t>(p[at + 3]) << 24);
}
void Put16(std::vector<uint8_t>& p, size_t at, uint16_t v) {
    p[at] = static_cast<uint8_t>(v);
    p[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& p, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

} // namespace

Firmware::Firmware(Machine::Firmware values, int busyReplies, Store store)
    : values_(std::move(values)), busyLeft_(busyReplies), store_(std::move(store)) {}

std::optional<std::vector<uint8_t>> Firmware::Call(const uint8_t* packet, size_t size,
                                                   size_t room) {
    std::vector<uint8_t> in(packet, packet + size);
    // The answer has the packet's declared output length when the header is readable and that
    // fits in the room offered; otherwise the room itself (and status 3).
    size_t answerLength = room;
    bool headerOk = size >= 6;
    uint8_t function = size >= 1 ? in[0] : 0;
    uint16_t inLength = headerOk ? Get16(in, 2) : 0;
    uint16_t outLength = headerOk ? Get16(in, 4) : 0;
    if (headerOk && outLength <= room) {
        answerLength = outLength;
    }
    std::vector<uint8_t> a(std::max(answerLength, size), 0);
    std::copy(in.begin(), in.end(), a.begin());
    auto finish = [&](uint8_t status) {
        a.resize(answerLength);
        if (!a.empty()) {
            a[0] = status;
        }
        return std::optional<std::vector<uint8_t>>(std::move(a));
    };

    if (!headerOk || outLength > room || inLength > size || inLength < 6) {
        return finish(kBadPacket);
    }
    if (busyLeft_ > 0) {
        --busyLeft_;
        return finish(kBusy);
    }
    if (std::find(values_.failingFunctions.begin(), values_.failingFunctions.end(), function) !=
        values_.failingFunctions.end()) {
        return finish(kUnsupported);
    }

    Machine::Firmware next = values_;
    switch (function) {
    case 0x0C:
    case 0x0D: {
        const uint32_t tag = 0x01000090u | (static_cast<uint32_t>(function) << 16);
        if (inLength != 32 || outLength != 32 || Get32(in, 8) != 0x90 || Get32(in, 16) != tag) {
            return finish(kBadPacket);
        }
        if (Get32(in, 12) != kSwitchSetting) {
            return finish(kUnsupported);
        }
        if (function == 0x0C) {
            Put32(a, 12, values_.setting58Width); // byte 12: width; 13..15 zero
            Put32(a, 20, values_.setting58);
            return finish(kDone);
        }
        next.setting58 = Get32(in, 20);
        break;
    }
    case 0x11: {
        if (inLength != 22 || outLength < 22) {
            return finish(kBadPacket);
        }
        if (Get16(in, 8) != kWlanItem || Get16(in, 10) != 0) {
            return finish(kUnsupported);
        }
        size_t offered = outLength - 22u;
        const auto& data = values_.wlanItemData;
        if (data.size() > offered) {
            Put16(a, 20, static_cast<uint16_t>(data.size()));
            return finish(kTooSmall);
        }
        Put16(a, 12, values_.wlanFlags);
        Put16(a, 14, 0);
        Put16(a, 16, 0);
        Put16(a, 18, 0);
        Put16(a, 20, static_cast<uint16_t>(data.size()));
        std::copy(data.begin(), data.end(), a.begin() + 22);
        return finish(kDone);
    }
    case 0x12: {
        if (inLength != 16 || outLength != 16) {
            return finish(kBadPacket);
        }
        if (Get16(in, 8) != kWlanItem || Get16(in, 10) != 0) {
            return finish(kUnsupported);
        }
        next.wlanFlags = Get16(in, 12);
        break;
    }
    case 0x04: {
        if (inLength != 8 || outLength != 18) {
            return finish(kBadPacket);
        }
        Put16(a, 8, 1);  // layout version of the password information
        Put16(a, 10, 2); // passwords the firmware knows: supervisor and user
        Put16(a, 12, 0);
        a[14] = values_.supervisorPassword ? 1 : 0;
        a[15] = values_.userPassword ? 1 : 0;
        Put16(a, 16, values_.passwordDataLength);
        return finish(kDone);
    }
    case 0x05: {
        if (inLength != 10 || outLength < 12) {
            return finish(kBadPacket);
        }
        uint16_t selector = Get16(in, 8);
        if (selector != 0x8000 && selector != 0) {
            return finish(kUnsupported);
        }
        if (values_.passwordStateStatus) {
            return finish(*values_.passwordStateStatus);
        }
        bool set = selector == 0x8000 ? values_.supervisorPassword : values_.userPassword;
        return finish(set ? kDone : kPasswordNotSet);
    }
    default:
        return finish(kUnsupported);
    }

    // A write: store the new values first, so that a value the machine file could not take is
    // never reported as done.
    if (next.setting58 != values_.setting58 || next.wlanFlags != values_.wlanFlags) {
        if (store_ && !store_(next)) {
            return std::nullopt;
        }
        values_ = next;
    }
    return finish(kDone);
}

} // namespace simbook
