// Message capsules and the encapsulated exchange with the driver.
//
// A capsule is [payload length L][total length T][session identifier][payload padded to a
// multiple of 8][zero word], T = 16 + 8 * ceil(L / 8). In session mode the padded payload is
// enciphered block by block (ECB) with the session key. A request capsule carries an
// encapsulated request: [sequence][n + 24][I/O-control code][n][output size][n input bytes]
// [zero word]. A response capsule's payload is the function's output itself.
#include <algorithm>
#include <cstring>

#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"
#include "common/crypto/blowfish.h"

namespace MiscCommon {

using namespace detail;

namespace detail {

// The heap blocks of one encapsulated exchange and the device call's outcome.
struct CapsuleExchange {
    BYTE* request = nullptr;
    DWORD requestSize = 0;
    BYTE* requestCapsule = nullptr;
    DWORD requestCapsuleSize = 0;
    BYTE* response = nullptr;
    DWORD responseSize = 0;
    DWORD returned = 0;  // bytes the device call returned
    BOOL result = FALSE; // what the device call returned
    DWORD error = 0;     // the last-error code right after the device call

    // Wipes and releases every block allocated so far.
    void Release() {
        HeapWipeRelease(request, requestSize);
        HeapWipeRelease(requestCapsule, requestCapsuleSize);
        HeapWipeRelease(response, responseSize);
    }
};

bool CipherBlock(const BlowfishContext* context, BYTE* block, bool encipher) {
    uint32_t left = Load32(block);
    uint32_t right = Load32(block + 4);
    bool ok = encipher ? BlowfishEncipher(context, &left, &right)
                       : BlowfishDecipher(context, &left, &right);
    Store32(block, left);
    Store32(block + 4, right);
    return ok;
}

} // namespace detail

namespace {

// Capsule size for a payload of `payloadLength` bytes, or 0 when it would not fit in 32 bits.
DWORD CapsuleSize(DWORD payloadLength) {
    uint64_t total = kCapsuleOverhead + ((static_cast<uint64_t>(payloadLength) + 7) / 8) * 8;
    return total > 0xFFFFFFFFu ? 0 : static_cast<DWORD>(total);
}

// Releases the exchange's blocks, then sets `lastError`: the end of every failed exchange that
// reports a last-error code.
BOOL FailExchange(CapsuleExchange& exchange, DWORD lastError) {
    exchange.Release();
    SetLastError(lastError);
    return FALSE;
}

// The response must carry its header and every byte it claims: its total length, from which
// the block count for deciphering comes, lies within the bytes the device returned, and the bytes
// to deliver (the payload, cut to the caller's room) lie inside the deciphered blocks, or for a
// plain capsule inside the bytes returned. Bytes the device did not return are never read.
bool ResponseIsWellFormed(const CapsuleExchange& exchange, DWORD outSize, bool enciphered) {
    const DWORD returned = exchange.returned;
    if (returned < kCapsuleHeader || returned > exchange.responseSize) {
        return false;
    }
    const DWORD payload = Load32(exchange.response + kCapsulePayloadLengthField);
    const DWORD total = Load32(exchange.response + kCapsuleTotalLengthField);
    if (total < kCapsuleOverhead || (total - kCapsuleOverhead) % 8 != 0 || total > returned) {
        return false;
    }
    const DWORD area = enciphered ? total - kCapsuleOverhead : returned - kCapsuleHeader;
    return std::min(payload, outSize) <= area;
}

} // namespace

BYTE* CMiscCommon::_InitializeMessageCapsule(const void* source, DWORD payloadLength) {
    DWORD total = CapsuleSize(payloadLength);
    BYTE* capsule = total == 0 ? nullptr : static_cast<BYTE*>(HeapAllocZero(total));
    if (capsule == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Store32(capsule + kCapsulePayloadLengthField, payloadLength);
    Store32(capsule + kCapsuleTotalLengthField, total);
    if (source != nullptr && payloadLength != 0) {
        std::memcpy(capsule + kCapsuleHeader, source, payloadLength);
    }
    return capsule;
}

int CMiscCommon::_CipherCapsule(BYTE* capsule, bool encipher) {
    if (capsule == nullptr) {
        _SetError(encipher ? L"MiscCommon::CMiscCommon::_Encrypt: capsule is NULL"
                           : L"MiscCommon::CMiscCommon::_Decrypt: capsule is NULL");
        return RESULT_INVALID_ARGUMENT;
    }
    if (_pBlowfish == nullptr) {
        _SetError(encipher
                      ? L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Context is not initialized."
                      : L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Context is not initialized.");
        return RESULT_NOT_READY;
    }
    DWORD total = Load32(capsule + kCapsuleTotalLengthField);
    DWORD blocks = total < kCapsuleOverhead ? 0 : (total - kCapsuleOverhead) / 8;
    for (DWORD i = 0; i < blocks; ++i) {
        BYTE* block = capsule + kCapsuleHeader + 8 * static_cast<size_t>(i);
        if (!CipherBlock(_pBlowfish, block, encipher)) {
            _SetError(encipher ? L"MiscCommon::CMiscCommon::_Encrypt: BlowFish Encipher failed. "
                                 L"i = %d"
                               : L"MiscCommon::CMiscCommon::_Decrypt: BlowFish Decipher failed. "
                                 L"i = %d",
                      static_cast<int>(i));
            return RESULT_FAILED;
        }
    }
    return RESULT_SUCCESS;
}

int CMiscCommon::_Encrypt(BYTE* capsule) {
    return _CipherCapsule(capsule, true);
}

int CMiscCommon::_Decrypt(BYTE* capsule) {
    return _CipherCapsule(capsule, false);
}

bool CMiscCommon::_ExchangeArgumentsValid(LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                                          DWORD outSize, LPDWORD bytesReturned) {
    bool inConsistent = (inBuffer == nullptr) == (inSize == 0);
    bool outConsistent = (outBuffer == nullptr) == (outSize == 0);
    if (!inConsistent || !outConsistent || bytesReturned == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid Argument(s).");
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (_bEncrypt != 0 && _pBlowfish == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Session Not Initialized.");
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

bool CMiscCommon::_BuildRequestCapsule(CapsuleExchange& exchange, DWORD ioControlCode,
                                       LPVOID inBuffer, DWORD inSize, DWORD outSize) {
    // The encapsulated request; an input too large for its 32-bit length field counts as a
    // failed allocation.
    exchange.requestSize = inSize + kRequestOverhead;
    if (inSize <= 0xFFFFFFFFu - kRequestOverhead) {
        exchange.request = static_cast<BYTE*>(HeapAllocZero(exchange.requestSize));
    }
    if (exchange.request == nullptr) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: HeapAlloc failed.");
        return FailExchange(exchange, ERROR_NOT_ENOUGH_MEMORY);
    }
    BYTE* request = exchange.request;
    Store32(request + kRequestSequenceField, _dwSequence);
    Store32(request + kRequestLengthField, exchange.requestSize);
    Store32(request + kRequestCodeField, ioControlCode);
    Store32(request + kRequestInputSizeField, inSize);
    Store32(request + kRequestOutputSizeField, outSize);
    if (inSize != 0) {
        std::memcpy(request + kRequestInputData, inBuffer, inSize);
    }

    exchange.requestCapsule = _InitializeMessageCapsule(request, exchange.requestSize);
    if (exchange.requestCapsule == nullptr) {
        return FailExchange(exchange, ERROR_NOT_ENOUGH_MEMORY);
    }
    exchange.requestCapsuleSize = Load32(exchange.requestCapsule + kCapsuleTotalLengthField);
    Store32(exchange.requestCapsule + kCapsuleSessionField, _dwSessionId);
    if (_bEncrypt != 0 && _Encrypt(exchange.requestCapsule) != RESULT_SUCCESS) {
        return FailExchange(exchange, ERROR_INTERNAL_ERROR);
    }
    return true;
}

bool CMiscCommon::_AllocateResponseCapsule(CapsuleExchange& exchange, DWORD outSize) {
    exchange.response = _InitializeMessageCapsule(nullptr, outSize);
    if (exchange.response == nullptr) {
        return FailExchange(exchange, GetLastError());
    }
    exchange.responseSize = Load32(exchange.response + kCapsuleTotalLengthField);
    std::memset(exchange.response, 0, exchange.responseSize); // the driver writes the header
    return true;
}

BOOL CMiscCommon::_DeliverResponse(CapsuleExchange& exchange, LPVOID outBuffer, DWORD outSize,
                                   LPDWORD bytesReturned) {
    if (!ResponseIsWellFormed(exchange, outSize, _bEncrypt != 0)) {
        _SetError(L"MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid structure "
                  L"returned. size = %d",
                  static_cast<int>(exchange.returned));
        exchange.Release();
        return FALSE;
    }
    if (_bEncrypt != 0 && _Decrypt(exchange.response) != RESULT_SUCCESS) {
        return FailExchange(exchange, ERROR_INTERNAL_ERROR);
    }
    const BYTE* payloadBytes = exchange.response + kCapsuleHeader;
    const DWORD payload = Load32(exchange.response + kCapsulePayloadLengthField);
    if (payload > outSize) {
        if (outSize != 0) {
            std::memcpy(outBuffer, payloadBytes, outSize);
        }
        *bytesReturned = outSize;
        return FailExchange(exchange, ERROR_MORE_DATA);
    }
    if (payload != 0) {
        std::memcpy(outBuffer, payloadBytes, payload);
    }
    *bytesReturned = payload;
    exchange.Release();
    SetLastError(exchange.error);
    return exchange.result;
}

BOOL CMiscCommon::EncapsuledDeviceIoControl(DWORD ioControlCode, LPVOID inBuffer, DWORD inSize,
                                            LPVOID outBuffer, DWORD outSize,
                                            LPDWORD bytesReturned) {
    if (_VersionGateFails()) {
        return FALSE;
    }
    if (!_ExchangeArgumentsValid(inBuffer, inSize, outBuffer, outSize, bytesReturned)) {
        return FALSE;
    }
    *bytesReturned = 0;

    CapsuleExchange exchange;
    if (!_BuildRequestCapsule(exchange, ioControlCode, inBuffer, inSize, outSize) ||
        !_AllocateResponseCapsule(exchange, outSize)) {
        return FALSE;
    }
    exchange.result = DeviceIoControl(_hDevice, kIoctlCapsule, exchange.requestCapsule,
                                      exchange.requestCapsuleSize, exchange.response,
                                      exchange.responseSize, &exchange.returned, nullptr);
    exchange.error = GetLastError();
    if (exchange.result || exchange.returned != 0) {
        ++_dwSequence;
    }
    return _DeliverResponse(exchange, outBuffer, outSize, bytesReturned);
}

} // namespace MiscCommon
