// The firmware-call entry point: sends a MiscPacket through an encapsulated exchange and
// overwrites it with the answer, repeating from the untouched request while the firmware
// answers busy (status 4).
#include <cstring>

#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"

namespace MiscCommon {

using namespace detail;

namespace {

// A busy answer is repeated once, after 100 ms.
constexpr DWORD kBusyRepeats = 1;
constexpr DWORD kBusyWaitMs = 100;

} // namespace

int CMiscCommon::_CheckMiscPacket(const void* pPacket, size_t sizePacket) {
    if (_hDevice == nullptr || _hDevice == INVALID_HANDLE_VALUE) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: _hDevice is NULL");
        return RESULT_NOT_READY;
    }
    if (pPacket == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: pPacket is NULL");
        return RESULT_INVALID_ARGUMENT;
    }
    if (sizePacket == 0) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: sizePacket is '0'");
        return RESULT_INVALID_ARGUMENT;
    }
    // The answer is written over the packet for as many bytes as its output length says, so
    // both lengths of its header must lie inside the caller's buffer.
    const BYTE* packet = static_cast<const BYTE*>(pPacket);
    if (sizePacket < MiscPacket::HEADER_SIZE ||
        Load16(packet + MiscPacket::INPUT_LENGTH) > sizePacket ||
        Load16(packet + MiscPacket::OUTPUT_LENGTH) > sizePacket) {
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: packet lengths exceed "
                  L"sizePacket");
        return RESULT_INVALID_ARGUMENT;
    }
    return RESULT_SUCCESS;
}

int CMiscCommon::CallMiscFunction(void* pPacket, size_t sizePacket, DWORD retries, DWORD waitMs) {
    if (_VersionGateFails()) {
        return RESULT_OLD_DRIVER;
    }
    const int checked = _CheckMiscPacket(pPacket, sizePacket);
    if (checked != RESULT_SUCCESS) {
        return checked;
    }

    BYTE* packet = static_cast<BYTE*>(pPacket);
    BYTE* pristine = static_cast<BYTE*>(HeapAllocZero(sizePacket));
    if (pristine == nullptr) {
        DWORD error = GetLastError();
        _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: HeapAlloc failed.");
        SetLastError(error);
        return RESULT_NO_MEMORY;
    }
    std::memcpy(pristine, packet, sizePacket);

    DWORD count = 0;
    for (DWORD repeats = 0;; ++repeats) {
        count = 0;
        if (!EncapsuledDeviceIoControl(kIoctlFirmwareCall, packet,
                                       Load16(pristine + MiscPacket::INPUT_LENGTH), packet,
                                       Load16(pristine + MiscPacket::OUTPUT_LENGTH), &count)) {
            DWORD error = GetLastError();
            _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: DeviceIoControl failed.");
            HeapRelease(pristine);
            SetLastError(error);
            return RESULT_FAILED;
        }
        if (repeats >= retries || packet[MiscPacket::STATUS] != FIRMWARE_STATUS_BUSY) {
            break;
        }
        Sleep(waitMs);
        std::memcpy(packet, pristine, sizePacket);
    }

    HeapRelease(pristine);
    _dwAnswered = count;
    if (!_AnswerCovers(MiscPacket::STATUS + 1)) {
        return RESULT_FAILED;
    }
    if (_szError != nullptr) {
        _szError[0] = L'\0';
    }
    return RESULT_SUCCESS;
}

bool CMiscCommon::_AnswerCovers(size_t end) {
    if (_dwAnswered >= end) {
        return true;
    }
    _SetError(L"MiscCommon::CMiscCommon::CallMiscFunction: the answer is too short (%d of %d "
              L"bytes).",
              static_cast<int>(_dwAnswered), static_cast<int>(end));
    return false;
}

int CMiscCommon::SendMiscPacket(void* pPacket, size_t sizePacket) {
    if (_VersionGateFails()) {
        return RESULT_OLD_DRIVER;
    }
    return CallMiscFunction(pPacket, sizePacket, kBusyRepeats, kBusyWaitMs);
}

} // namespace MiscCommon
