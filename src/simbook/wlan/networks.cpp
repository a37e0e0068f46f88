// The machine's Wi-Fi interfaces as the service answers them (see networks.h).
#include "networks.h"

#include <algorithm>

namespace simbook::wlan {

const WlanInterface* FindInterface(const Machine* machine, const Guid& guid) {
    if (machine == nullptr) {
        return nullptr;
    }
    for (const WlanInterface& itf : machine->wlan.interfaces) {
        if (itf.guid == guid) {
            return &itf;
        }
    }
    return nullptr;
}

std::optional<Notification> ScanOutcome(const WlanInterface& itf) {
    Notification n;
    n.source = kSourceAcm;
    n.interfaceGuid = itf.guid;
    switch (itf.scan) {
    case ScanBehaviour::Complete:
        n.code = kCodeScanComplete;
        return n;
    case ScanBehaviour::Fail:
        n.code = kCodeScanFail;
        n.reason = kReasonUnknown;
        return n;
    case ScanBehaviour::Refuse:
    case ScanBehaviour::Silent:
        break;
    }
    return std::nullopt;
}

std::vector<Network> AvailableNetworks(const WlanInterface& itf) {
    // 92 for the first network, 7 less for each next one, and 10 from the thirteenth on.
    constexpr size_t kGraded = 12;
    std::vector<Network> list;
    list.reserve(itf.networks.size());
    for (size_t i = 0; i < itf.networks.size(); ++i) {
        const std::vector<uint8_t>& bytes = itf.networks[i];
        Network net;
        net.ssid.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(
                                                           std::min(bytes.size(), kMaxSsidLength)));
        net.signalQuality = static_cast<Dword>(i < kGraded ? 92 - 7 * i : 10);
        list.push_back(std::move(net));
    }
    return list;
}

} // namespace simbook::wlan
