// Message capsules and the encapsulated exchange with the driver.
//
// A capsule is [payload length L][total length T][session identifier][payload padded to a
// multiple of 8][zero word], T = 16 + 8 * ceil(L / 8). In session mode the padded payload is
// enciphered block by block (ECB) with the session key. A request capsule carries an
// encapsulated request: [sequence][n + 24][I/O-control code][n][output size][n input bytes]
// [zero word]. A response capsule's payload is the function's output itself.
#include <cstring>

#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"
#include "common/crypto/blowfish.h"

namespace MiscCommon {

using namespace detail;

namespace {

// Capsule size for a payload of `payloadLength` bytes, or 0 when it would not fit in 32 bits.
DWORD CapsuleSize(DWORD payloadLength) {
    uint64_t total = kCapsuleOverhead + ((static_cast<uint64_t>(payloadLength) + 7) / 8) * 8;
    return total > 0xFFFFFFFFu ? 0 : static_cast<DWORD>(total);
}

} // namespace

BYTE* CMiscCommon::_InitializeMessageCapsule(const void* source, DWORD payloadLength) {
    DWORD total = CapsuleSize(payloadLength);
    BYTE* capsule = total == 0 ? nullptr : static_cast<BYTE*>(HeapAllocZero(total));
    if (capsule == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Store32(capsule, payloadLength);
    Store32(capsule + 4, total);
    if (source != nullptr && payloadLength != 0) {
        std::memcpy(capsule + kCapsuleHeader, source, payloadLength);
    }
    return capsule;
}

int CMiscCommon::_CipherCapsule(BYTE* capsule, bool encipher) {
    if (capsule == nullptr) {
        _SetError(encipher ? L"MiscCommon::CMiscCommon::_Encrypt: capsule is NULL"
                           : L"MiscCommon::CMiscCommon::_Decrypt: capsule is NULL");
        return 3;
    }
    if (_pBlowfish == nullptr) {
        _SetError(encipher
                      ? L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Context is not initialized."
                      : L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Context is not initialized.");
        return 8;
    }
    DWORD total = Load32(capsule + 4);
    DWORD blocks = total < kCapsuleOverhead ? 0 : (total - kCapsuleOverhead) / 8;
    for (DWORD i = 0; i < blocks; ++i) {
        BYTE* block = capsule + kCapsuleHeader + 8 * static_cast<size_t>(i);
        uint32_t left = Load32(block);
        uint32_t right = Load32(block + 4);
        bool ok = encipher ? BlowfishEncipher(_pBlowfish, &left, &right)
                           : BlowfishDecipher(_pBlowfish, &left, &right);
        if (!ok) {
            _SetError(encipher ? L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Encipher failed. "
                                 L"i = %d"
                               : L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Decipher failed. "
                                 L"i = %d",
                      static_cast<int>(i));
            return 2;
        }
        Store32(block, left);
        Store32(block + 4, right);
    }
    return 0;
}

int CMiscCommon::_Encrypt(BYTE* capsule) {
    return _CipherCapsule(capsule, true);
}

int CMiscCommon::_Decrypt(BYTE* capsule) {
    return _CipherCapsule(capsule, false);
}

BOOL CMiscCommon::EncapsuledDeviceIoControl(DWORD ioControlCode, LPVOID inBuffer, DWORD inSize,
                                            LPVOID outBuffer, DWORD outSize,
                                            LPDWORD bytesReturned) {
    if (_VersionGateFails()) {
        return FALSE;
    }
    bool inConsistent = (inBuffer == nullptr) == (inSize == 0);
    bool outConsistent = (outBuffer == nullptr) == (outSize == 0);
    if (!inConsistent || !outConsistent || bytesReturned == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid Argument(s).");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (_bEncrypt != 0 && _pBlowfish == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Session Not Initialized.");
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *bytesReturned = 0;

    // The encapsulated request; an input too large for its 32-bit length field counts as a
    // failed allocation.
    BYTE* request = nullptr;
    DWORD requestSize = inSize + kRequestOverhead;
    if (inSize <= 0xFFFFFFFFu - kRequestOverhead) {
        request = static_cast<BYTE*>(HeapAllocZero(requestSize));
    }
    if (request == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: HeapAlloc failed.");
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    Store32(request, _dwSequence);
    Store32(request + 4, requestSize);
    Store32(request + 8, ioControlCode);
    Store32(request + 12, inSize);
    Store32(request + 16, outSize);
    if (inSize != 0) {
        std::memcpy(request + 20, inBuffer, inSize);
    }

    BYTE* requestCapsule = _InitializeMessageCapsule(request, requestSize);
    if (requestCapsule == nullptr) {
        HeapWipeRelease(request, requestSize);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    DWORD requestCapsuleSize = Load32(requestCapsule + 4);
    Store32(requestCapsule + 8, _dwSessionId);
    auto releaseRequest = [&]() {
        HeapWipeRelease(request, requestSize);
        HeapWipeRelease(requestCapsule, requestCapsuleSize);
    };
    if (_bEncrypt != 0 && _Encrypt(requestCapsule) != 0) {
        releaseRequest();
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }

    BYTE* response = _InitializeMessageCapsule(nullptr, outSize);
    if (response == nullptr) {
        DWORD error = GetLastError();
        releaseRequest();
        SetLastError(error);
        return FALSE;
    }
    DWORD responseSize = Load32(response + 4);
    std::memset(response, 0, responseSize); // the driver writes the header
    auto releaseAll = [&]() {
        releaseRequest();
        HeapWipeRelease(response, responseSize);
    };

    DWORD returned = 0;
    BOOL result = DeviceIoControl(_hDevice, kIoctlCapsule, requestCapsule, requestCapsuleSize,
                                  response, responseSize, &returned, nullptr);
    DWORD error = GetLastError();
    if (result || returned != 0) {
        ++_dwSequence;
    }

    // The response must carry its header, and its own lengths must describe a capsule that
    // lies inside the buffer: the block count for deciphering comes from them.
    DWORD payload = returned >= kCapsuleHeader ? Load32(response) : 0;
    DWORD total = returned >= kCapsuleHeader ? Load32(response + 4) : 0;
    if (returned < kCapsuleHeader || returned > responseSize || total < kCapsuleOverhead ||
        (total - kCapsuleOverhead) % 8 != 0 || total > responseSize ||
        payload > total - kCapsuleOverhead) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid structure "
                  L"returned. size = %d",
                  static_cast<int>(returned));
        releaseAll();
        return FALSE;
    }
    if (_bEncrypt != 0 && _Decrypt(response) != 0) {
        releaseAll();
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }

    if (payload > outSize) {
        if (outSize != 0) {
            std::memcpy(outBuffer, response + kCapsuleHeader, outSize);
        }
        *bytesReturned = outSize;
        releaseAll();
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (payload != 0) {
        std::memcpy(outBuffer, response + kCapsuleHeader, payload);
    }
    *bytesReturned = payload;
    releaseAll();
    SetLastError(error);
    return result;
}

} // namespace MiscCommon
