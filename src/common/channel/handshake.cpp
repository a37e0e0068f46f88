// The session handshake with the system-management driver: a probe for session support, then
// three exchanges on one I/O-control code that agree a Diffie-Hellman secret over the 1024-bit
// MODP group, prove knowledge of the shared authentication key in both directions, and hand
// the driver a fresh session key under a key-encryption key hashed from the secret.
#include <cstring>

#include "common/channel/channel_internal.h"
#include "common/channel/misc_common.h"
#include "common/crypto/bignum.h"
#include "common/crypto/blowfish.h"
#include "common/crypto/hdrand.h"
#include "common/crypto/sha1.h"

namespace MiscCommon {

using namespace detail;

namespace {

constexpr DWORD kNumberWords = 33; // a group element: 33 little-endian words
constexpr DWORD kNumberBytes = kNumberWords * 4;
constexpr DWORD kPhase1Size = 160;
constexpr DWORD kPhase2RequestSize = 28;
constexpr DWORD kPhase2ResponseSize = 20;
constexpr DWORD kPhase3RequestSize = 24;
constexpr DWORD kPhase3ResponseSize = 8;
constexpr DWORD kNonceOffset = 136; // Nc in the phase 1 request, Nd in its response
constexpr DWORD kNonceBytes = 24;
constexpr DWORD kScratchSize = 2 * kNumberBytes;
constexpr DWORD kKauthOffset = 52; // where the authentication key sits in its 128-byte block
constexpr DWORD kKeyBytes = 16;
constexpr int kHdrandTestTries = 16;

// The driver's acknowledgement block, "AuthMisc" in memory order.
constexpr uint32_t kAckLeft = 0x68747541;
constexpr uint32_t kAckRight = 0x6373694d;

// Everything secret or derived during one handshake; wiped on every way out.
struct HandshakeState {
    uint32_t x[4];             // private exponent: 96 random bits and a zero word
    uint32_t nc[5];            // client nonce
    uint32_t yc[kNumberWords]; // client public value
    uint32_t yd[kNumberWords]; // driver public value
    uint32_t z[kNumberWords];  // shared secret
    BYTE zBytes[kNumberBytes];
    BYTE t0[20];
    BYTE pc[20];
    BYTE pd[20];
    BYTE digest[20];
    BYTE kek[kKeyBytes];
    BYTE sk[kKeyBytes];
    Sha1Context sha;
    BYTE request1[kPhase1Size];
    BYTE response1[kPhase1Size];
    BYTE request2[kPhase2RequestSize];
    BYTE response2[kPhase2ResponseSize];
    BYTE request3[kPhase3RequestSize];
    BYTE response3[kPhase3ResponseSize];
};

class WipeOnExit {
public:
    WipeOnExit(void* memory, size_t size) : _memory(memory), _size(size) {}
    ~WipeOnExit() { Wipe(_memory, _size); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    void* _memory;
    size_t _size;
};

void StoreWords(BYTE* out, const uint32_t* words, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        Store32(out + 4 * i, words[i]);
    }
}

void LoadWords(uint32_t* words, const BYTE* in, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        words[i] = Load32(in + 4 * i);
    }
}

// Compares two numbers of `count` words, most significant word first: -1, 0 or 1.
int CompareWords(const uint32_t* a, const uint32_t* b, DWORD count) {
    for (DWORD i = count; i-- > 0;) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

// A driver public value is usable when 1 < Yd < p - 1: anything else is outside the group
// (and would read as a negative number when its top bit is set) or forces a known secret.
bool DriverValueInRange(const uint32_t* yd) {
    uint32_t limit[kNumberWords];
    std::memcpy(limit, oakley_group2_prime, sizeof(limit));
    for (DWORD i = 0; i < kNumberWords; ++i) { // p - 1
        if (limit[i]-- != 0) {
            break;
        }
    }
    uint32_t one[kNumberWords] = {1};
    return CompareWords(yd, one, kNumberWords) > 0 && CompareWords(yd, limit, kNumberWords) < 0;
}

bool EqualBytes(const BYTE* a, const BYTE* b, size_t size) {
    BYTE difference = 0;
    for (size_t i = 0; i < size; ++i) {
        difference = static_cast<BYTE>(difference | (a[i] ^ b[i]));
    }
    return difference == 0;
}

bool CipherBlock(const BlowfishContext* context, BYTE* block, bool encipher) {
    uint32_t left = Load32(block);
    uint32_t right = Load32(block + 4);
    bool ok = encipher ? BlowfishEncipher(context, &left, &right)
                       : BlowfishDecipher(context, &left, &right);
    Store32(block, left);
    Store32(block + 4, right);
    return ok;
}

} // namespace

int CMiscCommon::_Initialize() {
    if (_VersionGateFails()) {
        return 10;
    }

    // Probe: a driver without session support fails it with ERROR_NOT_SUPPORTED. The last-error
    // code is cleared first so that a stale value cannot pass for the driver's answer.
    DWORD returned = 0;
    SetLastError(ERROR_SUCCESS);
    DeviceIoControl(_hDevice, kIoctlHandshake, nullptr, 0, nullptr, 0, &returned, nullptr);
    if (GetLastError() == ERROR_NOT_SUPPORTED) {
        _bEncrypt = 0;
        return 0;
    }

    // The authentication key shared with the driver is a 16-byte run inside this block.
    BYTE kauthBlock[128] = {
        0x46, 0xa2, 0x0d, 0x78, 0x63, 0x9f, 0x39, 0xe8, 0x5e, 0x05, 0x3e, 0x09, 0x85, 0x18, 0x64,
        0x2a, 0x6f, 0xc9, 0x38, 0x4a, 0xfe, 0x90, 0xeb, 0x36, 0x40, 0x33, 0x05, 0xb9, 0xfa, 0x53,
        0xb1, 0x54, 0x1e, 0xc7, 0xa7, 0xfa, 0xfd, 0x2e, 0x30, 0xb3, 0xfa, 0xc6, 0x91, 0x4b, 0x49,
        0x1e, 0x83, 0x20, 0x0c, 0xce, 0x01, 0x77, 0xf2, 0xae, 0xe4, 0xfc, 0x34, 0xd1, 0xe4, 0x8c,
        0x54, 0xe0, 0x07, 0x42, 0xb7, 0xde, 0xf7, 0x0e, 0xcc, 0x73, 0xef, 0xf0, 0x9c, 0x4f, 0x7c,
        0xe9, 0x86, 0xfb, 0xbf, 0x97, 0x49, 0x36, 0x94, 0xe9, 0xf6, 0x66, 0x79, 0xc3, 0xe1, 0x19,
        0x46, 0xa8, 0x9d, 0x9f, 0xcd, 0xc4, 0xd3, 0x4b, 0x44, 0xf9, 0x40, 0xfe, 0x2f, 0x5e, 0x30,
        0xf9, 0x67, 0x34, 0x96, 0x77, 0xa4, 0x05, 0xe6, 0x2e, 0x79, 0xf3, 0xbb, 0xc6, 0x1d, 0x2b,
        0x59, 0xce, 0xd0, 0x93, 0xac, 0x3d, 0xc1, 0x84};
    WipeOnExit wipeKauth(kauthBlock, sizeof(kauthBlock));
    const BYTE* kauth = kauthBlock + kKauthOffset;

    HandshakeState s;
    std::memset(&s, 0, sizeof(s));
    WipeOnExit wipeState(&s, sizeof(s));

    BYTE* scratch = nullptr;
    BlowfishContext* context = nullptr;
    bool sessionPending = false;
    DWORD sessionId = 0;
    // Every failure: message, end-session once the driver holds a pending session, key
    // material wiped and released, and the last-error code put back where asked.
    auto fail = [&](const wchar_t* message, int code, bool restore, DWORD lastError) {
        _SetError(L"%ls", message);
        if (sessionPending) {
            _SendEndSession(sessionId);
        }
        HeapWipeRelease(scratch, kScratchSize);
        HeapWipeRelease(context, sizeof(BlowfishContext));
        if (restore) {
            SetLastError(lastError);
        }
        return code;
    };

    if (!hdrand_init()) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: hdrand_init failed", 2, false, 0);
    }
    bool tested = false;
    for (int i = 0; i < kHdrandTestTries && !tested; ++i) {
        tested = hdrand_test() != -1;
    }
    if (!tested) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: hdrand_test failed 16 times", 2, false,
                    0);
    }
    for (int i = 0; i < 3; ++i) {
        s.x[i] = hdrand();
    }
    s.x[3] = 0;
    for (uint32_t& word : s.nc) {
        word = hdrand();
    }

    if (!pow2mod(s.yc, kNumberWords, s.x, 4, oakley_group2_prime, OAKLEY_GROUP2_PRIME_WORDS)) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: pow2mod failed.", 2, false, 0);
    }

    // Phase 1: "Ini1", Yc, Nc, four zero bytes; the driver answers SessionId, Yd, Nd.
    std::memcpy(s.request1, "Ini1", 4);
    StoreWords(s.request1 + 4, s.yc, kNumberWords);
    StoreWords(s.request1 + kNonceOffset, s.nc, 5);
    returned = 0;
    BOOL ok = DeviceIoControl(_hDevice, kIoctlHandshake, s.request1, kPhase1Size, s.response1,
                              kPhase1Size, &returned, nullptr);
    DWORD error = GetLastError();
    if (!ok || returned != kPhase1Size) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl failed.", 2, true,
                    error);
    }
    sessionId = Load32(s.response1);
    sessionPending = true;
    LoadWords(s.yd, s.response1 + 4, kNumberWords);

    // T0 binds both nonces to the authentication key; the two proofs bind both public values
    // to T0, in opposite orders.
    scratch = static_cast<BYTE*>(HeapAllocZero(kScratchSize));
    if (scratch == nullptr) {
        error = GetLastError();
        return fail(L"MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase2) failed.", 5, true,
                    error);
    }
    std::memcpy(scratch, s.request1 + kNonceOffset, kNonceBytes);
    std::memcpy(scratch + kNonceBytes, s.response1 + kNonceOffset, kNonceBytes);
    HmacSha1(&s.sha, kauth, kKeyBytes, scratch, 2 * kNonceBytes, s.t0);
    Wipe(scratch, kScratchSize);
    std::memcpy(scratch, s.response1 + 4, kNumberBytes);
    std::memcpy(scratch + kNumberBytes, s.request1 + 4, kNumberBytes);
    HmacSha1(&s.sha, s.t0, sizeof(s.t0), scratch, kScratchSize, s.pd);
    Wipe(scratch, kScratchSize);
    std::memcpy(scratch, s.request1 + 4, kNumberBytes);
    std::memcpy(scratch + kNumberBytes, s.response1 + 4, kNumberBytes);
    HmacSha1(&s.sha, s.t0, sizeof(s.t0), scratch, kScratchSize, s.pc);
    HeapWipeRelease(scratch, kScratchSize);
    scratch = nullptr;

    // Phase 2: "Ini2", SessionId, Pc; the driver answers its proof.
    std::memcpy(s.request2, "Ini2", 4);
    Store32(s.request2 + 4, sessionId);
    std::memcpy(s.request2 + 8, s.pc, sizeof(s.pc));
    returned = 0;
    ok = DeviceIoControl(_hDevice, kIoctlHandshake, s.request2, kPhase2RequestSize, s.response2,
                         kPhase2ResponseSize, &returned, nullptr);
    error = GetLastError();
    if (!ok || returned != kPhase2ResponseSize) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase2) failed.", 2,
                    true, error);
    }
    if (!EqualBytes(s.response2, s.pd, sizeof(s.pd))) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: Driver Authentication Failed.", 6,
                    false, 0);
    }

    // KEK: the first 16 bytes of SHA-1 over the shared secret.
    if (!DriverValueInRange(s.yd) || !powmod(s.z, kNumberWords, s.yd, kNumberWords, s.x, 4,
                                             oakley_group2_prime, OAKLEY_GROUP2_PRIME_WORDS)) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: Key Encryption Key calculation failed.",
                    6, false, 0);
    }
    StoreWords(s.zBytes, s.z, kNumberWords);
    Sha1Initialize(&s.sha);
    Sha1Update(&s.sha, s.zBytes, kNumberBytes);
    Sha1Finalize(&s.sha);
    Sha1GetDigest(&s.sha, s.digest);
    std::memcpy(s.kek, s.digest, kKeyBytes);

    context = static_cast<BlowfishContext*>(HeapAllocZero(sizeof(BlowfishContext)));
    if (context == nullptr) {
        error = GetLastError();
        return fail(L"MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase3) failed.", 5, true,
                    error);
    }
    if (!BlowfishInitialize(context, s.kek, kKeyBytes)) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: BlowfishInitialize (1st time) failed.",
                    2, false, 0);
    }

    // Phase 3: "Ini3", SessionId, SK enciphered under KEK (two blocks, ECB).
    for (int i = 0; i < 4; ++i) {
        Store32(s.sk + 4 * i, hdrand());
    }
    std::memcpy(s.request3, "Ini3", 4);
    Store32(s.request3 + 4, sessionId);
    std::memcpy(s.request3 + 8, s.sk, kKeyBytes);
    bool enciphered =
        CipherBlock(context, s.request3 + 8, true) && CipherBlock(context, s.request3 + 16, true);
    Wipe(context, sizeof(BlowfishContext));
    if (!enciphered) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: BlowfishEncipher failed.", 2, false, 0);
    }
    returned = 0;
    ok = DeviceIoControl(_hDevice, kIoctlHandshake, s.request3, kPhase3RequestSize, s.response3,
                         kPhase3ResponseSize, &returned, nullptr);
    error = GetLastError();
    if (!ok || returned != kPhase3ResponseSize) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase3) failed.", 2,
                    true, error);
    }

    // The driver acknowledges with "AuthMisc" enciphered under the session key.
    if (!BlowfishInitialize(context, s.sk, kKeyBytes)) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: BlowfishInitialize (2nd time) failed.",
                    2, false, 0);
    }
    if (!CipherBlock(context, s.response3, false) || Load32(s.response3) != kAckLeft ||
        Load32(s.response3 + 4) != kAckRight) {
        return fail(L"MiscCommon::CMiscCommon::_Initialize: BlowfishDecipher failed.", 2, false, 0);
    }

    _pBlowfish = context;
    _dwSequence = 0;
    _dwSessionId = sessionId;
    return 0;
}

} // namespace MiscCommon
