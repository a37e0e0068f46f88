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
constexpr size_t kMagicBytes = 4;    // "Ini1", "Ini2", "Ini3" at offset 0 of each request
constexpr size_t kValueOffset = 4;   // Yc in the phase 1 request, Yd in its response
constexpr size_t kNonceOffset = 136; // Nc in the phase 1 request, Nd in its response
constexpr size_t kSessionOffset = 4; // SessionId: phase 2 and 3 requests
constexpr size_t kProofOffset = 8;   // Pc in the phase 2 request
constexpr size_t kKeyOffset = 8;     // the enciphered SK in the phase 3 request
constexpr size_t kBlockBytes = 8;    // one Blowfish block
constexpr DWORD kNonceBytes = 24;
constexpr DWORD kScratchSize = 2 * kNumberBytes;
constexpr DWORD kKauthOffset = 52; // where the authentication key sits in its 128-byte block
constexpr DWORD kKeyBytes = 16;
constexpr int kHdrandTestTries = 16;
constexpr int kExponentWords = 4; // 96 random bits and a zero word
constexpr int kNonceWords = 5;
constexpr int kSessionKeyWords = 4;

// The driver's acknowledgement block, "AuthMisc" in memory order.
constexpr uint32_t kAckLeft = 0x68747541;
constexpr uint32_t kAckRight = 0x6373694d;

// Everything secret or derived during one handshake; wiped on every way out.
struct HandshakeState {
    uint32_t x[kExponentWords]; // private exponent: 96 random bits and a zero word
    uint32_t nc[kNonceWords];   // client nonce
    uint32_t yc[kNumberWords];  // client public value
    uint32_t yd[kNumberWords];  // driver public value
    uint32_t z[kNumberWords];   // shared secret
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

// One handshake in progress: its secrets, its heap blocks and whether the driver holds a
// pending session. The steps below fill it in order; the first that fails records why in
// `failure` and returns false. The state is wiped when the handshake goes out of scope.
struct Handshake {
    explicit Handshake(HANDLE deviceHandle) : device(deviceHandle) {
        std::memset(&s, 0, sizeof(s));
    }
    ~Handshake() { Wipe(&s, sizeof(s)); }
    Handshake(const Handshake&) = delete;
    Handshake& operator=(const Handshake&) = delete;

    // Wipes and releases the heap blocks still held.
    void ReleaseBlocks() {
        HeapWipeRelease(scratch, kScratchSize);
        scratch = nullptr;
        HeapWipeRelease(context, sizeof(BlowfishContext));
        context = nullptr;
    }

    HANDLE device;
    HandshakeState s;
    BYTE* scratch = nullptr;
    BlowfishContext* context = nullptr;
    bool sessionPending = false;
    DWORD sessionId = 0;
    StepFailure failure;
};

// One handshake phase on the device: the response must come back with exactly its size.
bool ExchangePhase(Handshake& h, BYTE* request, DWORD requestSize, BYTE* response,
                   DWORD responseSize, const wchar_t* message) {
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(h.device, kIoctlHandshake, request, requestSize, response,
                              responseSize, &returned, nullptr);
    DWORD error = GetLastError();
    if (!ok || returned != responseSize) {
        return Fail(h.failure, message, RESULT_FAILED, true, error);
    }
    return true;
}

bool StartRandom(Handshake& h) {
    if (!hdrand_init()) {
        return Fail(h.failure, L"MiscCommon::CMiscCommon::_Initialize: hdrand_init failed",
                    RESULT_FAILED);
    }
    bool tested = false;
    for (int i = 0; i < kHdrandTestTries && !tested; ++i) {
        tested = hdrand_test() != -1;
    }
    if (!tested) {
        return Fail(h.failure, L"MiscCommon::CMiscCommon::_Initialize: hdrand_test failed 16 times",
                    RESULT_FAILED);
    }
    return true;
}

// x (three random words and a zero word), then Nc, then Yc = 2^x mod p.
bool DrawClientValues(Handshake& h) {
    HandshakeState& s = h.s;
    for (int i = 0; i < kExponentWords - 1; ++i) {
        s.x[i] = hdrand();
    }
    s.x[kExponentWords - 1] = 0;
    for (uint32_t& word : s.nc) {
        word = hdrand();
    }
    if (!pow2mod(s.yc, kNumberWords, s.x, kExponentWords, oakley_group2_prime,
                 OAKLEY_GROUP2_PRIME_WORDS)) {
        return Fail(h.failure, L"MiscCommon::CMiscCommon::_Initialize: pow2mod failed.",
                    RESULT_FAILED);
    }
    return true;
}

// Phase 1: "Ini1", Yc, Nc, four zero bytes; the driver answers SessionId, Yd, Nd.
bool ExchangePhase1(Handshake& h) {
    HandshakeState& s = h.s;
    std::memcpy(s.request1, "Ini1", kMagicBytes);
    StoreWords(s.request1 + kValueOffset, s.yc, kNumberWords);
    StoreWords(s.request1 + kNonceOffset, s.nc, kNonceWords);
    if (!ExchangePhase(h, s.request1, kPhase1Size, s.response1, kPhase1Size,
                       L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl failed.")) {
        return false;
    }
    h.sessionId = Load32(s.response1);
    h.sessionPending = true;
    LoadWords(s.yd, s.response1 + kValueOffset, kNumberWords);
    return true;
}

// HMAC-SHA1 keyed with `key` over the two runs `first` and `second` placed one after the other
// in the zeroed scratch block.
void HmacOverPair(Handshake& h, const BYTE* key, DWORD keyBytes, const BYTE* first,
                  const BYTE* second, DWORD runBytes, BYTE* output) {
    Wipe(h.scratch, kScratchSize);
    std::memcpy(h.scratch, first, runBytes);
    std::memcpy(h.scratch + runBytes, second, runBytes);
    HmacSha1(&h.s.sha, key, keyBytes, h.scratch, 2 * runBytes, output);
}

// T0 binds both nonces to the authentication key; the two proofs bind both public values to
// T0, in opposite orders.
bool ComputeProofs(Handshake& h) {
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

    h.scratch = static_cast<BYTE*>(HeapAllocZero(kScratchSize));
    if (h.scratch == nullptr) {
        DWORD error = GetLastError();
        return Fail(h.failure, L"MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase2) failed.",
                    RESULT_NO_MEMORY, true, error);
    }
    HandshakeState& s = h.s;
    const BYTE* yc = s.request1 + kValueOffset;
    const BYTE* yd = s.response1 + kValueOffset;
    HmacOverPair(h, kauth, kKeyBytes, s.request1 + kNonceOffset, s.response1 + kNonceOffset,
                 kNonceBytes, s.t0);
    HmacOverPair(h, s.t0, sizeof(s.t0), yd, yc, kNumberBytes, s.pd);
    HmacOverPair(h, s.t0, sizeof(s.t0), yc, yd, kNumberBytes, s.pc);
    HeapWipeRelease(h.scratch, kScratchSize);
    h.scratch = nullptr;
    return true;
}

// Phase 2: "Ini2", SessionId, Pc; the driver answers its proof, which must equal Pd.
bool ExchangePhase2(Handshake& h) {
    HandshakeState& s = h.s;
    std::memcpy(s.request2, "Ini2", kMagicBytes);
    Store32(s.request2 + kSessionOffset, h.sessionId);
    std::memcpy(s.request2 + kProofOffset, s.pc, sizeof(s.pc));
    if (!ExchangePhase(h, s.request2, kPhase2RequestSize, s.response2, kPhase2ResponseSize,
                       L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase2) failed.")) {
        return false;
    }
    if (!EqualBytes(s.response2, s.pd, sizeof(s.pd))) {
        return Fail(h.failure,
                    L"MiscCommon::CMiscCommon::_Initialize: Driver Authentication Failed.",
                    RESULT_NO_DRIVER);
    }
    return true;
}

// KEK: the first 16 bytes of SHA-1 over the shared secret; the cipher context is keyed with it.
bool DeriveKeyEncryptionKey(Handshake& h) {
    HandshakeState& s = h.s;
    if (!DriverValueInRange(s.yd) ||
        !powmod(s.z, kNumberWords, s.yd, kNumberWords, s.x, kExponentWords, oakley_group2_prime,
                OAKLEY_GROUP2_PRIME_WORDS)) {
        return Fail(h.failure,
                    L"MiscCommon::CMiscCommon::_Initialize: Key Encryption Key calculation failed.",
                    RESULT_NO_DRIVER);
    }
    StoreWords(s.zBytes, s.z, kNumberWords);
    Sha1Initialize(&s.sha);
    Sha1Update(&s.sha, s.zBytes, kNumberBytes);
    Sha1Finalize(&s.sha);
    Sha1GetDigest(&s.sha, s.digest);
    std::memcpy(s.kek, s.digest, kKeyBytes);

    h.context = static_cast<BlowfishContext*>(HeapAllocZero(sizeof(BlowfishContext)));
    if (h.context == nullptr) {
        DWORD error = GetLastError();
        return Fail(h.failure, L"MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase3) failed.",
                    RESULT_NO_MEMORY, true, error);
    }
    if (!BlowfishInitialize(h.context, s.kek, kKeyBytes)) {
        return Fail(h.failure,
                    L"MiscCommon::CMiscCommon::_Initialize: BlowfishInitialize (1st time) failed.",
                    RESULT_FAILED);
    }
    return true;
}

// Phase 3: "Ini3", SessionId, SK enciphered under KEK (two blocks, ECB). The KEK schedule is
// wiped as soon as both blocks are enciphered, whatever the outcome.
bool ExchangePhase3(Handshake& h) {
    HandshakeState& s = h.s;
    for (int i = 0; i < kSessionKeyWords; ++i) {
        Store32(s.sk + 4 * i, hdrand());
    }
    std::memcpy(s.request3, "Ini3", kMagicBytes);
    Store32(s.request3 + kSessionOffset, h.sessionId);
    std::memcpy(s.request3 + kKeyOffset, s.sk, kKeyBytes);
    bool enciphered = CipherBlock(h.context, s.request3 + kKeyOffset, true) &&
                      CipherBlock(h.context, s.request3 + kKeyOffset + kBlockBytes, true);
    Wipe(h.context, sizeof(BlowfishContext));
    if (!enciphered) {
        return Fail(h.failure, L"MiscCommon::CMiscCommon::_Initialize: BlowfishEncipher failed.",
                    RESULT_FAILED);
    }
    return ExchangePhase(h, s.request3, kPhase3RequestSize, s.response3, kPhase3ResponseSize,
                         L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase3) failed.");
}

// The driver acknowledges with "AuthMisc" enciphered under the session key.
bool CheckAcknowledgement(Handshake& h) {
    HandshakeState& s = h.s;
    if (!BlowfishInitialize(h.context, s.sk, kKeyBytes)) {
        return Fail(h.failure,
                    L"MiscCommon::CMiscCommon::_Initialize: BlowfishInitialize (2nd time) failed.",
                    RESULT_FAILED);
    }
    if (!CipherBlock(h.context, s.response3, false) || Load32(s.response3) != kAckLeft ||
        Load32(s.response3 + 4) != kAckRight) {
        return Fail(h.failure, L"MiscCommon::CMiscCommon::_Initialize: BlowfishDecipher failed.",
                    RESULT_FAILED);
    }
    return true;
}

} // namespace

int CMiscCommon::_Initialize() {
    if (_VersionGateFails()) {
        return RESULT_OLD_DRIVER;
    }

    // Probe: a driver without session support fails it with ERROR_NOT_SUPPORTED. The last-error
    // code is cleared first so that a stale value cannot pass for the driver's answer.
    DWORD returned = 0;
    SetLastError(ERROR_SUCCESS);
    DeviceIoControl(_hDevice, kIoctlHandshake, nullptr, 0, nullptr, 0, &returned, nullptr);
    if (GetLastError() == ERROR_NOT_SUPPORTED) {
        _bEncrypt = 0;
        return RESULT_SUCCESS;
    }

    Handshake h(_hDevice);
    const bool established = StartRandom(h) && DrawClientValues(h) && ExchangePhase1(h) &&
                             ComputeProofs(h) && ExchangePhase2(h) && DeriveKeyEncryptionKey(h) &&
                             ExchangePhase3(h) && CheckAcknowledgement(h);
    if (!established) {
        // The single failure path: message, end-session once the driver holds a pending
        // session, key material wiped and released, and the last-error code put back where
        // the step asked for it.
        _SetError(L"%ls", h.failure.message);
        if (h.sessionPending) {
            _SendEndSession(h.sessionId);
        }
        h.ReleaseBlocks();
        if (h.failure.restore) {
            SetLastError(h.failure.lastError);
        }
        return h.failure.code;
    }

    _pBlowfish = h.context;
    h.context = nullptr;
    _dwSequence = 0;
    _dwSessionId = h.sessionId;
    return RESULT_SUCCESS;
}

} // namespace MiscCommon
