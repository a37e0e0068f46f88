// SHA-1 (FIPS 180-1) and HMAC-SHA1 (RFC 2104).
//
// The context keeps no fill counter: the number of buffered bytes is derived from the bit
// count. Whole 64-byte blocks are compressed straight from the caller's buffer; only a partial
// block passes through `block`. Sha1Finalize wipes the working state after writing the digest,
// so a context must be initialised again before the next hash.
#include "common/crypto/sha1.h"

#include <cstring>

namespace {

inline uint32_t rol(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t load_be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void store_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Overwrites memory in a way the optimiser may not drop as a dead store.
void wipe(void* p, size_t n) {
    volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
    while (n--) {
        *v++ = 0;
    }
}

// Message schedule word t (t >= 16), rebuilt in place in the 16-word ring.
#define SHA1_W(t)                                                                                  \
    (w[(t)&15] = rol(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))

#define SHA1_F1(b, c, d) (((b) & ((c) ^ (d))) ^ (d))
#define SHA1_F2(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_F3(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))
#define SHA1_F4(b, c, d) ((b) ^ (c) ^ (d))

// One step: e += rol(a, 5) + f(b, c, d) + K + W; b = rol(b, 30). The caller rotates the roles
// of a..e from step to step instead of moving the values.
#define SHA1_STEP(a, b, c, d, e, f, k, wt)                                                         \
    do {                                                                                           \
        (e) += rol((a), 5) + f((b), (c), (d)) + (k) + (wt);                                        \
        (b) = rol((b), 30);                                                                        \
    } while (0)

constexpr uint32_t K1 = 0x5A827999;
constexpr uint32_t K2 = 0x6ED9EBA1;
constexpr uint32_t K3 = 0x8F1BBCDC;
constexpr uint32_t K4 = 0xCA62C1D6;

// Compresses one 64-byte block into the chaining value, using w as the schedule ring.
void compress(uint32_t state[5], uint32_t w[16], const uint8_t* data) {
    for (int i = 0; i < 16; ++i) {
        w[i] = load_be32(data + 4 * i);
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];

    SHA1_STEP(a, b, c, d, e, SHA1_F1, K1, w[0]);
    SHA1_STEP(e, a, b, c, d, SHA1_F1, K1, w[1]);
    SHA1_STEP(d, e, a, b, c, SHA1_F1, K1, w[2]);
    SHA1_STEP(c, d, e, a, b, SHA1_F1, K1, w[3]);
    SHA1_STEP(b, c, d, e, a, SHA1_F1, K1, w[4]);
    SHA1_STEP(a, b, c, d, e, SHA1_F1, K1, w[5]);
    SHA1_STEP(e, a, b, c, d, SHA1_F1, K1, w[6]);
    SHA1_STEP(d, e, a, b, c, SHA1_F1, K1, w[7]);
    SHA1_STEP(c, d, e, a, b, SHA1_F1, K1, w[8]);
    SHA1_STEP(b, c, d, e, a, SHA1_F1, K1, w[9]);
    SHA1_STEP(a, b, c, d, e, SHA1_F1, K1, w[10]);
    SHA1_STEP(e, a, b, c, d, SHA1_F1, K1, w[11]);
    SHA1_STEP(d, e, a, b, c, SHA1_F1, K1, w[12]);
    SHA1_STEP(c, d, e, a, b, SHA1_F1, K1, w[13]);
    SHA1_STEP(b, c, d, e, a, SHA1_F1, K1, w[14]);
    SHA1_STEP(a, b, c, d, e, SHA1_F1, K1, w[15]);
    SHA1_STEP(e, a, b, c, d, SHA1_F1, K1, SHA1_W(16));
    SHA1_STEP(d, e, a, b, c, SHA1_F1, K1, SHA1_W(17));
    SHA1_STEP(c, d, e, a, b, SHA1_F1, K1, SHA1_W(18));
    SHA1_STEP(b, c, d, e, a, SHA1_F1, K1, SHA1_W(19));

    SHA1_STEP(a, b, c, d, e, SHA1_F2, K2, SHA1_W(20));
    SHA1_STEP(e, a, b, c, d, SHA1_F2, K2, SHA1_W(21));
    SHA1_STEP(d, e, a, b, c, SHA1_F2, K2, SHA1_W(22));
    SHA1_STEP(c, d, e, a, b, SHA1_F2, K2, SHA1_W(23));
    SHA1_STEP(b, c, d, e, a, SHA1_F2, K2, SHA1_W(24));
    SHA1_STEP(a, b, c, d, e, SHA1_F2, K2, SHA1_W(25));
    SHA1_STEP(e, a, b, c, d, SHA1_F2, K2, SHA1_W(26));
    SHA1_STEP(d, e, a, b, c, SHA1_F2, K2, SHA1_W(27));
    SHA1_STEP(c, d, e, a, b, SHA1_F2, K2, SHA1_W(28));
    SHA1_STEP(b, c, d, e, a, SHA1_F2, K2, SHA1_W(29));
    SHA1_STEP(a, b, c, d, e, SHA1_F2, K2, SHA1_W(30));
    SHA1_STEP(e, a, b, c, d, SHA1_F2, K2, SHA1_W(31));
    SHA1_STEP(d, e, a, b, c, SHA1_F2, K2, SHA1_W(32));
    SHA1_STEP(c, d, e, a, b, SHA1_F2, K2, SHA1_W(33));
    SHA1_STEP(b, c, d, e, a, SHA1_F2, K2, SHA1_W(34));
    SHA1_STEP(a, b, c, d, e, SHA1_F2, K2, SHA1_W(35));
    SHA1_STEP(e, a, b, c, d, SHA1_F2, K2, SHA1_W(36));
    SHA1_STEP(d, e, a, b, c, SHA1_F2, K2, SHA1_W(37));
    SHA1_STEP(c, d, e, a, b, SHA1_F2, K2, SHA1_W(38));
    SHA1_STEP(b, c, d, e, a, SHA1_F2, K2, SHA1_W(39));

    SHA1_STEP(a, b, c, d, e, SHA1_F3, K3, SHA1_W(40));
    SHA1_STEP(e, a, b, c, d, SHA1_F3, K3, SHA1_W(41));
    SHA1_STEP(d, e, a, b, c, SHA1_F3, K3, SHA1_W(42));
    SHA1_STEP(c, d, e, a, b, SHA1_F3, K3, SHA1_W(43));
    SHA1_STEP(b, c, d, e, a, SHA1_F3, K3, SHA1_W(44));
    SHA1_STEP(a, b, c, d, e, SHA1_F3, K3, SHA1_W(45));
    SHA1_STEP(e, a, b, c, d, SHA1_F3, K3, SHA1_W(46));
    SHA1_STEP(d, e, a, b, c, SHA1_F3, K3, SHA1_W(47));
    SHA1_STEP(c, d, e, a, b, SHA1_F3, K3, SHA1_W(48));
    SHA1_STEP(b, c, d, e, a, SHA1_F3, K3, SHA1_W(49));
    SHA1_STEP(a, b, c, d, e, SHA1_F3, K3, SHA1_W(50));
    SHA1_STEP(e, a, b, c, d, SHA1_F3, K3, SHA1_W(51));
    SHA1_STEP(d, e, a, b, c, SHA1_F3, K3, SHA1_W(52));
    SHA1_STEP(c, d, e, a, b, SHA1_F3, K3, SHA1_W(53));
    SHA1_STEP(b, c, d, e, a, SHA1_F3, K3, SHA1_W(54));
    SHA1_STEP(a, b, c, d, e, SHA1_F3, K3, SHA1_W(55));
    SHA1_STEP(e, a, b, c, d, SHA1_F3, K3, SHA1_W(56));
    SHA1_STEP(d, e, a, b, c, SHA1_F3, K3, SHA1_W(57));
    SHA1_STEP(c, d, e, a, b, SHA1_F3, K3, SHA1_W(58));
    SHA1_STEP(b, c, d, e, a, SHA1_F3, K3, SHA1_W(59));

    SHA1_STEP(a, b, c, d, e, SHA1_F4, K4, SHA1_W(60));
    SHA1_STEP(e, a, b, c, d, SHA1_F4, K4, SHA1_W(61));
    SHA1_STEP(d, e, a, b, c, SHA1_F4, K4, SHA1_W(62));
    SHA1_STEP(c, d, e, a, b, SHA1_F4, K4, SHA1_W(63));
    SHA1_STEP(b, c, d, e, a, SHA1_F4, K4, SHA1_W(64));
    SHA1_STEP(a, b, c, d, e, SHA1_F4, K4, SHA1_W(65));
    SHA1_STEP(e, a, b, c, d, SHA1_F4, K4, SHA1_W(66));
    SHA1_STEP(d, e, a, b, c, SHA1_F4, K4, SHA1_W(67));
    SHA1_STEP(c, d, e, a, b, SHA1_F4, K4, SHA1_W(68));
    SHA1_STEP(b, c, d, e, a, SHA1_F4, K4, SHA1_W(69));
    SHA1_STEP(a, b, c, d, e, SHA1_F4, K4, SHA1_W(70));
    SHA1_STEP(e, a, b, c, d, SHA1_F4, K4, SHA1_W(71));
    SHA1_STEP(d, e, a, b, c, SHA1_F4, K4, SHA1_W(72));
    SHA1_STEP(c, d, e, a, b, SHA1_F4, K4, SHA1_W(73));
    SHA1_STEP(b, c, d, e, a, SHA1_F4, K4, SHA1_W(74));
    SHA1_STEP(a, b, c, d, e, SHA1_F4, K4, SHA1_W(75));
    SHA1_STEP(e, a, b, c, d, SHA1_F4, K4, SHA1_W(76));
    SHA1_STEP(d, e, a, b, c, SHA1_F4, K4, SHA1_W(77));
    SHA1_STEP(c, d, e, a, b, SHA1_F4, K4, SHA1_W(78));
    SHA1_STEP(b, c, d, e, a, SHA1_F4, K4, SHA1_W(79));

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

} // namespace

void Sha1Initialize(Sha1Context* context) {
    if (context == nullptr) {
        return;
    }
    context->state[0] = 0x67452301;
    context->state[1] = 0xEFCDAB89;
    context->state[2] = 0x98BADCFE;
    context->state[3] = 0x10325476;
    context->state[4] = 0xC3D2E1F0;
    context->bit_count[0] = 0;
    context->bit_count[1] = 0;
}

void Sha1Update(Sha1Context* context, const uint8_t* data, uint32_t length) {
    if (context == nullptr) {
        return;
    }
    uint32_t j = (context->bit_count[0] >> 3) & 63;
    const uint32_t addBits = length << 3;
    context->bit_count[0] += addBits;
    if (context->bit_count[0] < addBits) {
        ++context->bit_count[1];
    }
    context->bit_count[1] += length >> 29;

    uint32_t i = 0;
    if (j + length >= 64) {
        i = 64 - j;
        std::memcpy(context->block + j, data, i);
        compress(context->state, context->schedule, context->block);
        for (; i + 63 < length; i += 64) {
            compress(context->state, context->schedule, data + i);
        }
        j = 0;
    }
    if (length > i) {
        std::memcpy(context->block + j, data + i, length - i);
    }
}

void Sha1Finalize(Sha1Context* context) {
    if (context == nullptr) {
        return;
    }
    uint8_t lengthField[8];
    store_be32(lengthField, context->bit_count[1]);
    store_be32(lengthField + 4, context->bit_count[0]);

    const uint8_t marker = 0x80;
    const uint8_t zero = 0x00;
    Sha1Update(context, &marker, 1);
    while ((context->bit_count[0] & 504) != 448) {
        Sha1Update(context, &zero, 1);
    }
    Sha1Update(context, lengthField, 8);

    for (int i = 0; i < 5; ++i) {
        store_be32(context->digest + 4 * i, context->state[i]);
    }

    // Leave nothing of the message behind: the context ends up holding the compression of an
    // all-zero block into an all-zero chaining value.
    wipe(context->block, sizeof context->block);
    wipe(context->state, sizeof context->state);
    wipe(context->bit_count, sizeof context->bit_count);
    Sha1Transform(context, context->state, context->block);
}

void Sha1GetDigest(Sha1Context* context, uint8_t* digest) {
    if (context == nullptr) {
        return;
    }
    std::memcpy(digest, context->digest, sizeof context->digest);
}

void Sha1Transform(Sha1Context* context, uint32_t state[5], const uint8_t block[64]) {
    if (context == nullptr) {
        return;
    }
    // The block is read once into the schedule, so the caller's bytes are never changed.
    compress(state, context->schedule, block);
}

void HmacSha1(Sha1Context* context, const uint8_t* key, uint32_t keyLength, const uint8_t* data,
              uint32_t dataLength, uint8_t* output) {
    if (context == nullptr || key == nullptr || data == nullptr || output == nullptr) {
        return;
    }
    uint8_t innerPad[64] = {};
    uint8_t outerPad[64] = {};
    if (keyLength <= 64) {
        std::memcpy(innerPad, key, keyLength);
        std::memcpy(outerPad, key, keyLength);
    } else {
        Sha1Initialize(context);
        Sha1Update(context, key, keyLength);
        Sha1Finalize(context);
        std::memcpy(innerPad, context->digest, 20);
        std::memcpy(outerPad, context->digest, 20);
    }
    for (int i = 0; i < 64; ++i) {
        innerPad[i] ^= 0x36;
        outerPad[i] ^= 0x5C;
    }

    uint8_t innerDigest[20];
    Sha1Initialize(context);
    Sha1Update(context, innerPad, 64);
    Sha1Update(context, data, dataLength);
    Sha1Finalize(context);
    std::memcpy(innerDigest, context->digest, 20);

    Sha1Initialize(context);
    Sha1Update(context, outerPad, 64);
    Sha1Update(context, innerDigest, 20);
    Sha1Finalize(context);
    std::memcpy(output, context->digest, 20);

    wipe(innerPad, sizeof innerPad);
    wipe(outerPad, sizeof outerPad);
    wipe(innerDigest, sizeof innerDigest);
    Sha1Initialize(context);
}
