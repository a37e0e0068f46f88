// MiscCommon::CMiscCommon: the client end of the authenticated, encrypted I/O-control channel
// to the system-management driver. It finds and opens the driver, checks its version, agrees a
// session key with it, and carries firmware request packets in Blowfish-enciphered capsules.
//
// Every int result is one of the RESULT_ codes of channel_codes.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/channel/channel_codes.h"
#include "platform/win32.h"

struct BlowfishContext;

namespace MiscCommon {

namespace detail {
struct CapsuleExchange;
struct DriverLookup;
} // namespace detail

class CMiscCommon {
public:
    CMiscCommon();
    ~CMiscCommon();
    CMiscCommon(const CMiscCommon&) = delete;
    CMiscCommon& operator=(const CMiscCommon&) = delete;

    // Discovery, opening and the session.
    int OpenDriver();
    int Initialize();
    void CloseDriver();

    // One encapsulated exchange; reports like DeviceIoControl (Boolean and last error).
    BOOL EncapsuledDeviceIoControl(DWORD ioControlCode, LPVOID inBuffer, DWORD inSize,
                                   LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned);
    // Sends a MiscPacket and overwrites it with the answer, repeating while the status is 4.
    int CallMiscFunction(void* pPacket, size_t sizePacket, DWORD retries, DWORD waitMs);

    // Firmware request packets.
    int SendMiscPacket(void* pPacket, size_t sizePacket);
    int ReadIndexedSetting(BYTE* status, BYTE index, DWORD* value);
    int WriteIndexedSetting(BYTE* status, const DWORD* indexAndValue);
    int SetSetupItem(BYTE* status, WORD item, WORD selector, WORD value);
    int GetSetupItem(BYTE* status, WORD item, WORD selector, WORD* word1, WORD* word2, WORD* word3,
                     WORD* word4, void* data, WORD* dataLength);
    int GetSetupItem(BYTE* status, WORD item, WORD selector, WORD* word1, WORD* word2, WORD* word3,
                     WORD* word4, void* data, WORD dataLength);
    int GetPasswordInfo(BYTE* status, WORD* word1, WORD* word2, WORD* word3, BYTE* flag1,
                        BYTE* flag2, WORD* dataLength);
    int GetPasswordState(BYTE* status, WORD selector, void* buffer, DWORD length);

    // Read-only views for callers that diagnose a failure (the tools never print these).
    const wchar_t* ErrorText() const { return _szError; }
    DWORD SessionId() const { return _dwSessionId; }
    DWORD Sequence() const { return _dwSequence; }
    bool HasSession() const { return _pBlowfish != nullptr; }
    bool IsEncrypted() const { return _bEncrypt != 0; }
    bool IsOpen() const { return _hDevice != INVALID_HANDLE_VALUE; }

private:
    // White-box access for the channel's unit tests (capsule building and the cipher guards).
    friend struct CMiscCommonTestAccess;

    int _Initialize();
    // Reads and parses "DriverVersion" from the driver's software key (OpenDriver's first pass).
    bool _ReadVersion(detail::DriverLookup& lookup);
    void _ParseVersion();
    bool _VersionGateFails() const;
    BYTE* _InitializeMessageCapsule(const void* source, DWORD payloadLength);
    int _Encrypt(BYTE* capsule);
    int _Decrypt(BYTE* capsule);
    // Runs every block of the capsule's payload area through the session cipher.
    int _CipherCapsule(BYTE* capsule, bool encipher);
    // Steps of EncapsuledDeviceIoControl. Each failing step has released the exchange's blocks
    // and set the last-error code.
    bool _ExchangeArgumentsValid(LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                                 LPDWORD bytesReturned);
    bool _BuildRequestCapsule(detail::CapsuleExchange& exchange, DWORD ioControlCode,
                              LPVOID inBuffer, DWORD inSize, DWORD outSize);
    bool _AllocateResponseCapsule(detail::CapsuleExchange& exchange, DWORD outSize);
    BOOL _DeliverResponse(detail::CapsuleExchange& exchange, LPVOID outBuffer, DWORD outSize,
                          LPDWORD bytesReturned);
    // CallMiscFunction's checks of the device handle and of the packet and its header lengths.
    int _CheckMiscPacket(const void* pPacket, size_t sizePacket);
    // Whether the last firmware answer covered the bytes up to `end`; when not, the request failed
    // (bytes it did not cover still hold the request's), and the error text says so.
    bool _AnswerCovers(size_t end);
    // Formats one failure message into _szError (256 characters, terminator included).
    void _SetError(const wchar_t* format, ...);
    // Asks the driver to drop the session (or pending session) `sessionId`; result ignored.
    void _SendEndSession(DWORD sessionId);

    HANDLE _hDevice;
    wchar_t* _szVersion;
    DWORD _dwSessionId;
    DWORD _dwSequence;
    DWORD _dwAnswered = 0; // bytes the last firmware answer covered
    BlowfishContext* _pBlowfish;
    DWORD _bEncrypt;
    wchar_t* _szError;
    int _nVersionMajor;
    int _nVersionMinor;
    int _nVersionBuild;
    int _nVersionRevision;
};

} // namespace MiscCommon
