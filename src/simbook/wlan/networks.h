// What the machine says about its Wi-Fi interfaces, as the service answers it: which interface
// a GUID names, what a scan of it leads to, and the network list a caller reads after a scan.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "simbook/machine.h"

namespace simbook::wlan {

// Notification source and codes of a scan's end, and the reason a scan fail carries, by their
// Windows values.
constexpr Dword kSourceAcm = 0x8;
constexpr Dword kCodeScanComplete = 7;
constexpr Dword kCodeScanFail = 8;
constexpr Dword kReasonUnknown = 0x00010001;

// One notification: where it comes from, what it says, for which interface. `reason` is the
// payload of the notifications that carry a reason code (scan fail), empty for the others.
struct Notification {
    Dword source = 0;
    Dword code = 0;
    Guid interfaceGuid{};
    std::optional<Dword> reason;

    friend bool operator==(const Notification&, const Notification&) = default;
};

// The machine's interface with this GUID, or null (also when there is no machine).
const WlanInterface* FindInterface(const Machine* machine, const Guid& guid);

// The notification an accepted scan of `itf` ends with; none for an interface whose scans stay
// silent or are refused.
std::optional<Notification> ScanOutcome(const WlanInterface& itf);

// One entry of the available network list.
struct Network {
    std::vector<uint8_t> ssid; // 0 to kMaxSsidLength bytes
    Dword signalQuality = 0;   // 0 to 100
};

// The interface's networks in the machine's order. The signal quality falls with the position,
// the first network strongest, as in a real neighbourhood. An SSID longer than a network can
// carry is cut to kMaxSsidLength bytes.
std::vector<Network> AvailableNetworks(const WlanInterface& itf);

} // namespace simbook::wlan
