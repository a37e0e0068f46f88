// The firmware-call entry point: sends a MiscPacket through an encapsulated exchange and
// overwrites it with the answer, repeating from the untouched request while the firmware
// answers busy (status 4).
#include <cstring>

#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

namespace {

constexpr BYTE kStatusBusy = 4;

} // namespace

int CMiscCommon::CallMiscFunction(void* pPacket, size_t sizePacket, DWORD retries, DWORD waitMs) {
    if (_VersionGateFails()) {
        return 10;
    }
    if (_hDevice == nullptr || _hDevice == INVALID_HANDLE_VALUE) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: _hDevice is NULL");
        return 8;
    }
    if (pPacket == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: pPacket is NULL");
        return 3;
    }
    if (sizePacket == 0) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: sizePacket is '0'");
        return 3;
    }
    // The answer is written over the packet for as many bytes as its output length says, so
    // both lengths of its header must lie inside the caller's buffer.
    BYTE* packet = static_cast<BYTE*>(pPacket);
    if (sizePacket < kPacketHeader || Load16(packet + 2) > sizePacket ||
        Load16(packet + 4) > sizePacket) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: packet lengths exceed "
                  L"sizePacket");
        return 3;
    }

    BYTE* pristine = static_cast<BYTE*>(HeapAllocZero(sizePacket));
    if (pristine == nullptr) {
        DWORD error = GetLastError();
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: HeapAlloc failed.");
        SetLastError(error);
        return 5;
    }
    std::memcpy(pristine, packet, sizePacket);

    for (DWORD repeats = 0;; ++repeats) {
        DWORD count = 0;
        if (!EncapsuledDeviceIoControl(kIoctlFirmwareCall, packet, Load16(pristine + 2), packet,
                                       Load16(pristine + 4), &count)) {
            DWORD error = GetLastError();
            _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: DeviceIoControl failed.");
            HeapRelease(pristine);
            SetLastError(error);
            return 2;
        }
        if (repeats >= retries || packet[0] != kStatusBusy) {
            break;
        }
        Sleep(waitMs);
        std::memcpy(packet, pristine, sizePacket);
    }

    HeapRelease(pristine);
    if (_szError != nullptr) {
        _szError[0] = L'\0';
    }
    return 0;
}

int CMiscCommon::SendMiscPacket(void* pPacket, size_t sizePacket) {
    if (_VersionGateFails()) {
        return 10;
    }
    return CallMiscFunction(pPacket, sizePacket, 1, 100);
}

} // namespace MiscCommon
