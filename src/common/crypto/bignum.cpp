// Fixed-capacity signed multi-precision arithmetic.
//
// A value is the two's-complement number formed by its first `count` words; `bits` is its
// signed bit length (0 for zero, the bit length for a positive value, -1 - bitlen(~x) for a
// negative one) and is kept consistent with the words by every operation. Nothing allocates:
// every temporary is a local of fixed size.
//
// Multiplication is Karatsuba all the way down to a one-word factor, division is bit-by-bit
// long division (with a word-by-word path for divisors of one word), and exponentiation is
// right-to-left binary. For an odd modulus of 2 to 33 words (the group prime among them) the
// exponentiation reduces its products by Montgomery's method, word by word, instead of dividing;
// other moduli keep the division. The remainder of a division is shifted in place one bit at a
// time, compared on its bit length first, and reduced in place over its used words only;
// Karatsuba works on word ranges so that its halves and partial products are never copied as
// whole values.
#include "common/crypto/bignum.h"

#include "platform/win32.h"

#include <bit>
#include <cstring>
#include <exception>

const uint32_t oakley_group2_prime[OAKLEY_GROUP2_PRIME_WORDS] = {
    0xFFFFFFFF, 0xFFFFFFFF, 0xECE65381, 0x49286651, 0x7C4B1FE6, 0xAE9F2411, 0x5A899FA5,
    0xEE386BFB, 0xF406B7ED, 0x0BFF5CB6, 0xA637ED6B, 0xF44C42E9, 0x625E7EC6, 0xE485B576,
    0x6D51C245, 0x4FE1356D, 0xF25F1437, 0x302B0A6D, 0xCD3A431B, 0xEF9519B3, 0x8E3404DD,
    0x514A0879, 0x3B139B22, 0x020BBEA6, 0x8A67CC74, 0x29024E08, 0x80DC1CD1, 0xC4C6628B,
    0x2168C234, 0xC90FDAA2, 0xFFFFFFFF, 0xFFFFFFFF, 0x00000000,
};

namespace {

// Growing past the capacity is a contract violation: no accepted input reaches it. The
// exception is non-continuable; should a handler still return, the process must not run on
// past the storage, so it ends here.
[[noreturn]] void raise_overflow() {
    RaiseException(EXCEPTION_INT_OVERFLOW, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    std::terminate();
}

inline uint32_t sign_fill(const bignum& x) {
    return x.bits < 0 ? 0xFFFFFFFFu : 0u;
}

inline uint32_t bit_length(uint32_t w) {
    return 32u - uint32_t(std::countl_zero(w));
}

inline void set_zero(bignum& x) {
    x.count = 1;
    x.bits = 0;
    x.words[0] = 0;
}

inline void set_one(bignum& x) {
    x.count = 1;
    x.bits = 1;
    x.words[0] = 1;
}

// Minimal signed word count for a non-negative bit length.
inline uint32_t words_for_bits(uint32_t bitLength) {
    return bitLength == 0 ? 0 : bitLength / 32 + 1;
}

// Significant words of an unsigned magnitude (no zero words on top); 0 for zero.
inline uint32_t trim(const uint32_t* w, uint32_t n) {
    while (n > 0 && w[n - 1] == 0) {
        --n;
    }
    return n;
}

// Minimal signed word count of an unsigned magnitude of n significant words: one more word
// when the top bit is set, so that the value reads as positive.
inline uint32_t signed_words(const uint32_t* w, uint32_t n) {
    return n == 0 ? 0 : n + (w[n - 1] >> 31);
}

// Stores a non-negative magnitude of n words (any zero words on top allowed) as a value.
void set_magnitude(bignum& x, const uint32_t* w, uint32_t n) {
    n = trim(w, n);
    if (n == 0) {
        set_zero(x);
        return;
    }
    const uint32_t bitLength = 32 * (n - 1) + bit_length(w[n - 1]);
    const uint32_t count = words_for_bits(bitLength);
    if (count > BIGNUM_MAX_WORDS) {
        raise_overflow();
    }
    if (x.words != w) {
        std::memmove(x.words, w, n * sizeof(uint32_t));
    }
    if (count > n) {
        x.words[n] = 0;
    }
    x.count = count;
    x.bits = int32_t(bitLength);
}

// ---- Unsigned word-range arithmetic used by the multiplication --------------------------------

// x[0..nx) += y[0..ny), ny <= nx; returns the carry out of x's top word.
uint32_t add_words(uint32_t* x, uint32_t nx, const uint32_t* y, uint32_t ny) {
    uint64_t carry = 0;
    uint32_t i = 0;
    for (; i < ny; ++i) {
        const uint64_t t = uint64_t(x[i]) + y[i] + carry;
        x[i] = uint32_t(t);
        carry = t >> 32;
    }
    for (; carry != 0 && i < nx; ++i) {
        x[i] += 1;
        carry = x[i] == 0;
    }
    return uint32_t(carry);
}

// x[0..nx) -= y[0..ny), where ny <= nx and x >= y.
void sub_words(uint32_t* x, uint32_t nx, const uint32_t* y, uint32_t ny) {
    uint32_t borrow = 0;
    uint32_t i = 0;
    for (; i < ny; ++i) {
        const uint64_t t = uint64_t(x[i]) - y[i] - borrow;
        x[i] = uint32_t(t);
        borrow = uint32_t(t >> 63);
    }
    for (; borrow != 0 && i < nx; ++i) {
        borrow = x[i] == 0;
        x[i] -= 1;
    }
}

// s = x + y for magnitudes; returns the significant words of s (s has room for max + 1).
uint32_t sum_words(uint32_t* s, const uint32_t* x, uint32_t nx, const uint32_t* y, uint32_t ny) {
    if (nx < ny) {
        const uint32_t* t = x;
        x = y;
        y = t;
        const uint32_t n = nx;
        nx = ny;
        ny = n;
    }
    if (nx > 0) {
        std::memcpy(s, x, nx * sizeof(uint32_t));
    }
    s[nx] = add_words(s, nx, y, ny);
    return trim(s, nx + 1);
}

// Karatsuba capacities: a factor has at most 67 significant words, so a half-sum has at most
// 35 words and the middle product at most 70.
constexpr uint32_t HALF_SUM_WORDS = 36;
constexpr uint32_t MIDDLE_WORDS = 72;

// r[0 .. na + nb) = a[0..na) * b[0..nb) for magnitudes given by their significant words. r must
// not overlap a or b. Karatsuba, recursing down to a factor of at most 32 significant bits.
void mul_words(uint32_t* r, const uint32_t* a, uint32_t na, const uint32_t* b, uint32_t nb) {
    if (na == 0 || nb == 0) {
        std::memset(r, 0, (na + nb) * sizeof(uint32_t));
        return;
    }
    if (na == 1 || nb == 1) {
        // One factor fits in a word: a single pass over the other with a running carry.
        const uint32_t s = na == 1 ? a[0] : b[0];
        const uint32_t* l = na == 1 ? b : a;
        const uint32_t nl = na == 1 ? nb : na;
        uint64_t carry = 0;
        for (uint32_t i = 0; i < nl; ++i) {
            const uint64_t t = uint64_t(l[i]) * s + carry;
            r[i] = uint32_t(t);
            carry = t >> 32;
        }
        r[nl] = uint32_t(carry);
        return;
    }

    // X is the factor with the larger minimal signed word count (b when equal). The split point
    // h is taken from that count, so both halves of X are non-empty.
    const uint32_t* x = b;
    uint32_t nx = nb;
    const uint32_t* y = a;
    uint32_t ny = na;
    if (signed_words(a, na) > signed_words(b, nb)) {
        x = a;
        nx = na;
        y = b;
        ny = nb;
    }
    const uint32_t n = signed_words(x, nx);
    const uint32_t m = signed_words(y, ny);
    const uint32_t h = n / 2;

    const uint32_t* xLo = x;
    const uint32_t nxLo = trim(x, h);
    const uint32_t* xHi = x + h;
    const uint32_t nxHi = nx - h;
    const uint32_t* yLo = y;
    uint32_t nyLo = ny;
    const uint32_t* yHi = y;
    uint32_t nyHi = 0;
    if (m >= h) {
        nyLo = trim(y, h < ny ? h : ny);
        yHi = y + h;
        nyHi = ny > h ? ny - h : 0;
    }

    // T2 = X_lo * Y_lo lands in r[0 .. 2h), T1 = X_hi * Y_hi in r[2h ..); they do not overlap.
    const uint32_t total = na + nb;
    const uint32_t nT2 = nxLo + nyLo;
    mul_words(r, xLo, nxLo, yLo, nyLo);
    std::memset(r + nT2, 0, (2 * h - nT2) * sizeof(uint32_t));
    const uint32_t nT1 = nyHi == 0 ? 0 : nxHi + nyHi;
    if (nT1 > 0) {
        mul_words(r + 2 * h, xHi, nxHi, yHi, nyHi);
    }
    std::memset(r + 2 * h + nT1, 0, (total - 2 * h - nT1) * sizeof(uint32_t));

    // T3 = (X_hi + X_lo) * (Y_hi + Y_lo) - T1 - T2, added in at word h.
    uint32_t sx[HALF_SUM_WORDS];
    uint32_t sy[HALF_SUM_WORDS];
    uint32_t t3[MIDDLE_WORDS];
    const uint32_t nsx = sum_words(sx, xHi, nxHi, xLo, nxLo);
    const uint32_t nsy = sum_words(sy, yHi, nyHi, yLo, nyLo);
    const uint32_t nt3 = nsx + nsy;
    mul_words(t3, sx, nsx, sy, nsy);
    sub_words(t3, nt3, r + 2 * h, trim(r + 2 * h, nT1));
    sub_words(t3, nt3, r, trim(r, nT2));
    add_words(r + h, total - h, t3, trim(t3, nt3));
}

// ---- Long division on the words -------------------------------------------------------------
//
// The remainder and the divisor are held as 64-bit limbs while a division runs, so that each
// one-bit step moves half as many units.

constexpr uint32_t DIVISION_LIMBS = (BIGNUM_MAX_WORDS + 3) / 2;

inline uint32_t dividend_bit(const uint32_t* w, int32_t k) {
    return (w[k >> 5] >> (k & 31)) & 1u;
}

// Shifts the non-negative remainder (bit length rbits) left by one bit in place and brings in
// one bit at the bottom. Only the limbs in use are touched.
inline void shift_in(uint64_t* r, int32_t& rbits, uint64_t bit) {
    if (rbits == 0) {
        r[0] = bit;
        rbits = int32_t(bit);
        return;
    }
    ++rbits;
    for (int32_t i = (rbits - 1) >> 6; i > 0; --i) {
        r[i] = (r[i] << 1) | (r[i - 1] >> 63);
    }
    r[0] = (r[0] << 1) | bit;
}

// Compares non-negative r and d, deciding on the bit lengths first.
inline bool at_least(const uint64_t* r, int32_t rbits, const uint64_t* d, int32_t dbits) {
    if (rbits != dbits) {
        return rbits > dbits;
    }
    for (int32_t i = (dbits - 1) >> 6; i >= 0; --i) {
        if (r[i] != d[i]) {
            return r[i] > d[i];
        }
    }
    return true;
}

// r -= d in place, for d <= r < 2d; returns the new bit length of r.
inline int32_t subtract_divisor(uint64_t* r, int32_t rbits, const uint64_t* d, int32_t dbits) {
    const int32_t dTop = (dbits - 1) >> 6;
    uint64_t borrow = 0;
#if defined(__SIZEOF_INT128__)
    // A 128-bit difference lets the compiler chain the borrows through the carry flag.
    __extension__ typedef unsigned __int128 wide;
    for (int32_t i = 0; i <= dTop; ++i) {
        const wide t = wide(r[i]) - d[i] - borrow;
        r[i] = uint64_t(t);
        borrow = uint64_t(t >> 64) & 1;
    }
#else
    for (int32_t i = 0; i <= dTop; ++i) {
        const uint64_t x = r[i];
        const uint64_t t = x - d[i];
        const uint64_t out = uint64_t(x < d[i]) | uint64_t(t < borrow);
        r[i] = t - borrow;
        borrow = out;
    }
#endif
    if (((rbits - 1) >> 6) > dTop) {
        r[dTop + 1] -= borrow; // the limb above d's top: 1 before, 0 after
    }
    int32_t i = dTop;
    while (i > 0 && r[i] == 0) {
        --i;
    }
    return r[i] == 0 ? 0 : 64 * i + 64 - std::countl_zero(r[i]);
}

// Binary long division of non-negative a by d, where a >= d and d has more than 32 significant
// bits. q may be null when only the remainder is wanted. q and r must be distinct from a, d
// and each other.
void long_divide(const bignum& a, const bignum& d, bignum* q, bignum& r) {
    const uint32_t* aw = a.words;
    const int32_t dbits = d.bits;
    const int32_t dTop = (dbits - 1) >> 6;
    const int32_t dTopWord = (dbits - 1) >> 5;
    uint64_t dl[DIVISION_LIMBS];
    for (int32_t i = 0; i <= dTop; ++i) {
        const uint64_t hi = 2 * i + 1 <= dTopWord ? d.words[2 * i + 1] : 0;
        dl[i] = (hi << 32) | d.words[2 * i];
    }

    if (q != nullptr) {
        q->count = bignum_used_words(a);
        std::memset(q->words, 0, q->count * sizeof(uint32_t));
    }
    // The remainder stays below 2d: one limb more than d is enough.
    uint64_t rl[DIVISION_LIMBS];
    std::memset(rl, 0, static_cast<size_t>(dTop + 2) * sizeof(uint64_t));
    int32_t rbits = 0;

    // Fill: take dividend bits from the top until the remainder reaches the divisor.
    int32_t k = a.bits - 1;
    while (!at_least(rl, rbits, dl, dbits)) {
        shift_in(rl, rbits, dividend_bit(aw, k));
        --k;
    }
    ++k;

    for (;;) {
        if (at_least(rl, rbits, dl, dbits)) {
            rbits = subtract_divisor(rl, rbits, dl, dbits);
            if (q != nullptr) {
                q->words[k >> 5] |= 1u << (k & 31);
            }
        } else {
            if (k == 0) {
                break;
            }
            --k;
            shift_in(rl, rbits, dividend_bit(aw, k));
        }
    }

    if (q != nullptr) {
        bignum_normalize(*q);
        if (q->bits == 0) {
            set_zero(*q);
        }
    }
    if (rbits == 0) {
        set_zero(r);
        return;
    }
    const uint32_t dWords = bignum_used_words(d);
    for (uint32_t j = 0; j < dWords; ++j) {
        r.words[j] = uint32_t(rl[j >> 1] >> (32 * (j & 1)));
    }
    r.count = dWords;
    r.bits = rbits;
}

// Word-by-word division of non-negative a by a divisor of one word; returns the remainder.
uint32_t short_divide(const bignum& a, uint32_t divisor, bignum* q) {
    if (a.count > BIGNUM_MAX_WORDS) {
        std::terminate();
    }
    uint64_t rem = 0;
    for (uint32_t i = a.count; i-- > 0;) {
        const uint64_t cur = (rem << 32) | a.words[i];
        if (q != nullptr) {
            q->words[i] = uint32_t(cur / divisor);
        }
        rem = cur % divisor;
    }
    if (q != nullptr) {
        q->count = a.count;
        bignum_normalize(*q);
        if (q->bits == 0) {
            set_zero(*q);
        }
    }
    return uint32_t(rem);
}

// Division of non-negative a by positive d. q may be null. q and r are distinct from a, d and
// each other.
void divide_nonnegative(const bignum& a, const bignum& d, bignum* q, bignum& r) {
    if (a.bits == 0) {
        if (q != nullptr) {
            set_zero(*q);
        }
        set_zero(r);
        return;
    }
    if (bignum_compare(d, a) > 0) {
        if (q != nullptr) {
            set_zero(*q);
        }
        bignum_copy(r, a);
        return;
    }
    if (d.bits <= 32) {
        const uint32_t rem = short_divide(a, d.words[0], q);
        set_magnitude(r, &rem, 1);
        return;
    }
    long_divide(a, d, q, r);
}

// ---- Montgomery reduction for the exponentiation ---------------------------------------------
//
// Each handshake runs two exponentiations modulo the 1024-bit group prime, and reducing every
// product by a bit-by-bit division was most of a program run's time. Montgomery's method
// reduces by R = 2^(32n) instead of by the modulus (n its words): for each low word it adds the
// multiple of the modulus that makes the word zero and drops it, so a reduction costs about as
// much as one more product. It needs an odd modulus; the group prime is odd.

// The widest modulus on this path: a residue times R, formed once to enter the Montgomery form,
// must still fit a value (34 + 33 words).
constexpr uint32_t MONT_MAX_WORDS = 33;

struct Montgomery {
    uint32_t m[MONT_MAX_WORDS]; // the modulus, n significant words
    uint32_t n;
    uint32_t inv; // -m^-1 mod 2^32
};

// -x^-1 mod 2^32 for odd x, by Newton's iteration: x * x = 1 mod 8 for any odd x, and each step
// doubles the correct low bits (3, 6, 12, 24, 48).
uint32_t negated_inverse(uint32_t x) {
    uint32_t inv = x;
    for (int i = 0; i < 4; ++i) {
        inv *= 2 - x * inv;
    }
    return 0u - inv;
}

// a >= b for magnitudes of n words.
bool at_least_words(const uint32_t* a, const uint32_t* b, uint32_t n) {
    for (uint32_t j = n; j-- > 0;) {
        if (a[j] != b[j]) {
            return a[j] > b[j];
        }
    }
    return true;
}

// r = a * b / R mod m, for a and b below m (n words each). r may be a or b.
void mont_mul(uint32_t* r, const uint32_t* a, const uint32_t* b, const Montgomery& mont) {
    const uint32_t n = mont.n;
    const uint32_t* m = mont.m;
    uint32_t t[MONT_MAX_WORDS + 2] = {};
    for (uint32_t i = 0; i < n; ++i) {
        // t += a * b[i]; a word times a word plus two words fits 64 bits.
        uint64_t carry = 0;
        for (uint32_t j = 0; j < n; ++j) {
            const uint64_t s = uint64_t(a[j]) * b[i] + t[j] + carry;
            t[j] = uint32_t(s);
            carry = s >> 32;
        }
        uint64_t top = uint64_t(t[n]) + carry;
        t[n] = uint32_t(top);
        t[n + 1] = uint32_t(top >> 32);
        // t = (t + u * m) / 2^32, with u chosen so that the low word of the sum is zero.
        const uint32_t u = t[0] * mont.inv;
        carry = (uint64_t(u) * m[0] + t[0]) >> 32;
        for (uint32_t j = 1; j < n; ++j) {
            const uint64_t s = uint64_t(u) * m[j] + t[j] + carry;
            t[j - 1] = uint32_t(s);
            carry = s >> 32;
        }
        top = uint64_t(t[n]) + carry;
        t[n - 1] = uint32_t(top);
        t[n] = t[n + 1] + uint32_t(top >> 32);
    }
    // Now t < 2m: one subtraction at most brings it below m.
    if (t[n] != 0 || at_least_words(t, m, n)) {
        sub_words(t, n + 1, m, n);
    }
    std::memcpy(r, t, n * sizeof(uint32_t));
}

// result = power^exponent mod m, for 0 <= power < m, positive exponent and m odd with 2 to
// MONT_MAX_WORDS significant words. Only the power is held in Montgomery form (times R): the
// running result stays an ordinary residue, since x * (p * R) / R = x * p, so it starts at 1 and
// needs no conversion at the end.
void powmod_montgomery(const bignum& power, const bignum& exponent, const bignum& m,
                       bignum& result) {
    Montgomery mont;
    mont.n = trim(m.words, bignum_used_words(m));
    std::memcpy(mont.m, m.words, mont.n * sizeof(uint32_t));
    mont.inv = negated_inverse(m.words[0]);

    // The power enters the form by the run's one division, of power * R by m.
    bignum shifted;
    bignum_copy(shifted, power);
    bignum_shl_words(shifted, mont.n);
    bignum entered;
    divide_nonnegative(shifted, m, nullptr, entered);
    uint32_t p[MONT_MAX_WORDS] = {};
    for (uint32_t j = 0; j < mont.n && j < entered.count; ++j) {
        p[j] = entered.words[j];
    }

    uint32_t acc[MONT_MAX_WORDS] = {1};
    const int32_t exponentBits = exponent.bits;
    for (int32_t i = 0; i < exponentBits; ++i) {
        if (dividend_bit(exponent.words, i) != 0) {
            mont_mul(acc, acc, p, mont);
        }
        if (i + 1 < exponentBits) {
            mont_mul(p, p, p, mont);
        }
    }
    set_magnitude(result, acc, mont.n);
}

} // namespace

// ---- Representation ---------------------------------------------------------------------------

void bignum_from_words(bignum& result, const uint32_t* words, uint32_t n) {
    if (n == 0 || words == nullptr) {
        set_zero(result);
        return;
    }
    if (n > BIGNUM_MAX_WORDS) {
        raise_overflow();
    }
    std::memmove(result.words, words, n * sizeof(uint32_t));
    result.count = n;
    bignum_normalize(result);
}

void bignum_copy(bignum& destination, const bignum& source) {
    if (&destination == &source) {
        return;
    }
    destination.count = source.count;
    destination.bits = source.bits;
    std::memcpy(destination.words, source.words, source.count * sizeof(uint32_t));
}

void bignum_resize(bignum& number, uint32_t n) {
    if (n == 0) {
        n = 1;
    }
    if (n > BIGNUM_MAX_WORDS) {
        raise_overflow();
    }
    const uint32_t fill = sign_fill(number);
    for (uint32_t i = number.count; i < n; ++i) {
        number.words[i] = fill;
    }
    number.count = n;
}

void bignum_normalize(bignum& number) {
    const uint32_t* w = number.words;
    uint32_t i = number.count - 1;
    if ((w[i] >> 31) == 0) {
        while (w[i] == 0 && i > 0) {
            --i;
        }
        number.bits = w[i] == 0 ? 0 : int32_t(32 * i + bit_length(w[i]));
    } else {
        while (w[i] == 0xFFFFFFFFu && i > 0) {
            --i;
        }
        if (w[i] == 0xFFFFFFFFu) {
            number.bits = -1;
        } else {
            const int32_t leadingOnes = std::countl_one(w[i]);
            number.bits = -33 - 32 * int32_t(i) + leadingOnes;
        }
    }
}

uint32_t bignum_used_words(const bignum& number) {
    if (number.bits == 0) {
        return 0;
    }
    const int32_t length = number.bits > 0 ? number.bits : -1 - number.bits;
    return uint32_t(length) / 32 + 1;
}

void bignum_negate(bignum& number) {
    if (number.bits == 0) {
        return;
    }
    // The most negative value of a width has no positive counterpart in that width.
    bool mostNegative = number.words[number.count - 1] == 0x80000000u;
    for (uint32_t i = 0; mostNegative && i + 1 < number.count; ++i) {
        mostNegative = number.words[i] == 0;
    }
    if (mostNegative) {
        bignum_resize(number, number.count + 1);
    }
    uint32_t carry = 1;
    for (uint32_t i = 0; i < number.count; ++i) {
        number.words[i] = ~number.words[i] + carry;
        carry = carry != 0 && number.words[i] == 0;
    }
    bignum_normalize(number);
}

void bignum_shl1(bignum& number) {
    if (number.bits == 0) {
        return;
    }
    const uint32_t fill = sign_fill(number);
    const int32_t newBits = number.bits > 0 ? number.bits + 1 : number.bits - 1;
    const uint32_t needed = uint32_t(newBits > 0 ? newBits : -1 - newBits) / 32 + 1;
    const uint32_t count = number.count;
    const uint32_t out = number.words[count - 1] >> 31;
    for (uint32_t i = count - 1; i > 0; --i) {
        number.words[i] = (number.words[i] << 1) | (number.words[i - 1] >> 31);
    }
    number.words[0] <<= 1;
    // Grow when the value no longer fits with its sign bit: otherwise a positive value whose
    // bit 30 of the top word was set would read as negative.
    if (needed > count) {
        if (count + 1 > BIGNUM_MAX_WORDS) {
            raise_overflow();
        }
        number.words[count] = fill != 0 ? fill : out;
        number.count = count + 1;
    }
    number.bits = newBits;
}

void bignum_shl_words(bignum& number, uint32_t n) {
    if (n == 0 || number.bits == 0) {
        return;
    }
    if (n > BIGNUM_MAX_WORDS) {
        raise_overflow();
    }
    const uint32_t needed = bignum_used_words(number) + n;
    if (number.count < needed) {
        bignum_resize(number, needed);
    }
    std::memmove(number.words + n, number.words, (number.count - n) * sizeof(uint32_t));
    std::memset(number.words, 0, n * sizeof(uint32_t));
    number.bits += number.bits > 0 ? int32_t(32 * n) : -int32_t(32 * n);
}

int bignum_compare(const bignum& a, const bignum& b) {
    if (a.bits != b.bits) {
        return a.bits - b.bits;
    }
    const int32_t length = a.bits >= 0 ? a.bits : -1 - a.bits;
    if (length == 0) {
        return 0;
    }
    for (int32_t i = (length - 1) / 32; i >= 0; --i) {
        if (a.words[i] != b.words[i]) {
            return a.words[i] < b.words[i] ? -1 : 1;
        }
    }
    return 0;
}

// ---- Arithmetic -------------------------------------------------------------------------------

void bignum_add(const bignum& a, const bignum& b, bignum& sum) {
    const uint32_t ua = bignum_used_words(a);
    const uint32_t ub = bignum_used_words(b);
    const uint32_t n = (ua > ub ? ua : ub) + 1;
    if (n > BIGNUM_MAX_WORDS) {
        raise_overflow();
    }
    // Every one of the n words is formed from both operands sign-extended, and the carry out of
    // the top word is dropped: two's-complement addition in a width where the sum always fits,
    // whatever the signs.
    const uint32_t fa = sign_fill(a);
    const uint32_t fb = sign_fill(b);
    const uint32_t ca = a.count;
    const uint32_t cb = b.count;
    uint64_t carry = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t t =
            uint64_t(i < ca ? a.words[i] : fa) + uint64_t(i < cb ? b.words[i] : fb) + carry;
        sum.words[i] = uint32_t(t);
        carry = t >> 32;
    }
    sum.count = n;
    bignum_normalize(sum);
    if (sum.bits == 0) {
        set_zero(sum);
    }
}

void bignum_sub(const bignum& a, const bignum& b, bignum& difference) {
    bignum negated;
    bignum_copy(negated, b);
    bignum_negate(negated);
    bignum_add(a, negated, difference);
}

void bignum_mul(const bignum& a, const bignum& b, bignum& product) {
    if (a.bits == 0 || b.bits == 0) {
        set_zero(product);
        return;
    }
    // Work on magnitudes; a negative operand is replaced by a negated copy.
    bignum negA;
    bignum negB;
    const bignum* pa = &a;
    const bignum* pb = &b;
    bool negative = false;
    if (a.bits < 0) {
        bignum_copy(negA, a);
        bignum_negate(negA);
        pa = &negA;
        negative = !negative;
    }
    if (b.bits < 0) {
        bignum_copy(negB, b);
        bignum_negate(negB);
        pb = &negB;
        negative = !negative;
    }
    const uint32_t na = trim(pa->words, bignum_used_words(*pa));
    const uint32_t nb = trim(pb->words, bignum_used_words(*pb));

    // The product is formed apart from the operands, so product may alias either of them.
    uint32_t r[2 * BIGNUM_MAX_WORDS + 2];
    mul_words(r, pa->words, na, pb->words, nb);
    set_magnitude(product, r, na + nb);
    if (negative) {
        bignum_negate(product);
    }
}

void bignum_divmod(const bignum& a, const bignum& d, bignum& q, bignum& r) {
    if (d.bits == 0) {
        RaiseException(EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, nullptr);
        set_zero(q);
        set_zero(r);
        return;
    }
    if (a.bits == 0) {
        set_zero(q);
        set_zero(r);
        return;
    }

    // Results that alias each other or an operand are formed in temporaries first. When q and
    // r are the same object it receives the quotient.
    const bool same = &q == &r;
    bignum tq;
    bignum tr;
    bignum* pq = (same || &q == &a || &q == &d) ? &tq : &q;
    bignum* pr = (same || &r == &a || &r == &d) ? &tr : &r;

    if (a.bits > 0 && d.bits > 0) {
        divide_nonnegative(a, d, pq, *pr);
    } else {
        // Negative operands are never met in the channel's arithmetic. They get truncating
        // division: the quotient rounds toward zero and the remainder takes the dividend's
        // sign, so that a = q * d + r.
        bignum magA;
        bignum magD;
        bignum_copy(magA, a);
        bignum_copy(magD, d);
        if (a.bits < 0) {
            bignum_negate(magA);
        }
        if (d.bits < 0) {
            bignum_negate(magD);
        }
        divide_nonnegative(magA, magD, pq, *pr);
        if ((a.bits < 0) != (d.bits < 0)) {
            bignum_negate(*pq);
        }
        if (a.bits < 0) {
            bignum_negate(*pr);
        }
    }

    if (pq != &q) {
        bignum_copy(q, *pq);
    }
    if (!same && pr != &r) {
        bignum_copy(r, *pr);
    }
}

void bignum_powmod(const bignum& base, const bignum& exponent, const bignum& modulus,
                   bignum& result) {
    if (exponent.bits == 0) {
        set_one(result);
        return;
    }
    if (exponent.bits < 0 || base.bits == 0) {
        set_zero(result);
        return;
    }

    // The powers and the running result live in locals, so result may alias any operand.
    bignum m;
    bignum_copy(m, modulus);
    if (m.bits < 0) {
        bignum_negate(m); // a negative modulus works as its magnitude
    }
    if (m.bits == 0) {
        RaiseException(EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, nullptr);
        set_zero(result);
        return;
    }

    bignum power; // base^(2^i) mod m
    bignum acc;   // running result
    bignum product;
    if (base.bits > 0) {
        divide_nonnegative(base, m, nullptr, power);
    } else {
        // A negative base is brought into [0, m) first.
        bignum magnitude;
        bignum_copy(magnitude, base);
        bignum_negate(magnitude);
        divide_nonnegative(magnitude, m, nullptr, product);
        if (product.bits != 0) {
            bignum_sub(m, product, power);
        } else {
            set_zero(power);
        }
    }
    // An even modulus, one of a single word (the short division is word-wise already) or one
    // wider than the Montgomery path takes keeps the division below.
    if ((m.words[0] & 1u) != 0 && m.bits > 32 && m.bits <= int32_t(32 * MONT_MAX_WORDS)) {
        powmod_montgomery(power, exponent, m, result);
        return;
    }
    set_one(acc);

    const int32_t exponentBits = exponent.bits;
    for (int32_t i = 0; i < exponentBits; ++i) {
        if (dividend_bit(exponent.words, i) != 0) {
            bignum_mul(acc, power, product);
            divide_nonnegative(product, m, nullptr, acc);
        }
        bignum_mul(power, power, product);
        divide_nonnegative(product, m, nullptr, power);
    }
    bignum_copy(result, acc);
}

namespace {
// The longest modulus whose residues' products, with their sign bit, fit BIGNUM_MAX_WORDS.
constexpr int32_t kMaxModulusBits = (int32_t(BIGNUM_MAX_WORDS) * 32 - 1) / 2;
} // namespace

bool powmod(uint32_t* out, uint32_t outCap, const uint32_t* base, uint32_t baseCount,
            const uint32_t* exponent, uint32_t exponentCount, const uint32_t* modulus,
            uint32_t modulusCount) {
    if (out == nullptr || base == nullptr || exponent == nullptr || modulus == nullptr) {
        return false;
    }
    // Arrays longer than a value can hold are refused rather than copied past the storage.
    if (baseCount > BIGNUM_MAX_WORDS || exponentCount > BIGNUM_MAX_WORDS ||
        modulusCount > BIGNUM_MAX_WORDS) {
        return false;
    }
    bignum b;
    bignum e;
    bignum m;
    bignum r;
    bignum_from_words(b, base, baseCount);
    bignum_from_words(e, exponent, exponentCount);
    bignum_from_words(m, modulus, modulusCount);
    // Each step squares a residue: a modulus of more bits than half a value holds would make the
    // square outgrow the storage, which ends the process. Such a modulus is refused instead.
    bignum magnitude;
    bignum_copy(magnitude, m);
    if (magnitude.bits < 0) {
        bignum_negate(magnitude);
    }
    if (magnitude.bits > kMaxModulusBits) {
        return false;
    }
    bignum_powmod(b, e, m, r);

    uint32_t n = bignum_used_words(r);
    if (n == 0) {
        n = 1;
    }
    if (n > outCap) {
        return false;
    }
    std::memcpy(out, r.words, n * sizeof(uint32_t));
    return true;
}

bool pow2mod(uint32_t* out, uint32_t outCap, const uint32_t* exponent, uint32_t exponentCount,
             const uint32_t* modulus, uint32_t modulusCount) {
    const uint32_t two = 2;
    return powmod(out, outCap, &two, 1, exponent, exponentCount, modulus, modulusCount);
}
