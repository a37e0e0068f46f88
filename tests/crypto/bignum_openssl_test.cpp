// Randomized comparison of the multi-precision arithmetic with OpenSSL's libcrypto (BN_mul,
// BN_div, BN_mod_exp) over many sizes and signs, the handshake's shapes included. The seed is
// printed; set CRYPTO_TEST_SEED to replay a run.
#include "common/crypto/bignum.h"

#include "bignum_util.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

uint64_t seed() {
    static const uint64_t value = [] {
        const char* env = std::getenv("CRYPTO_TEST_SEED");
        const uint64_t s = env != nullptr ? std::strtoull(env, nullptr, 0) : std::random_device{}();
        std::printf("bignum comparison seed: CRYPTO_TEST_SEED=%llu\n", (unsigned long long)s);
        return s;
    }();
    return value;
}

Bn to_openssl(const bignum& x) {
    BIGNUM* b = nullptr;
    const std::string hex = bn::to_hex(x);
    if (BN_hex2bn(&b, hex.c_str()) == 0) {
        ADD_FAILURE() << "BN_hex2bn failed on " << hex;
    }
    return Bn(b);
}

std::string openssl_hex(const BIGNUM* b) {
    char* s = BN_bn2hex(b);
    std::string text(s);
    OPENSSL_free(s);
    // BN_bn2hex writes upper case with leading zeros to a whole byte, and "0" for zero.
    bool negative = !text.empty() && text[0] == '-';
    std::string digits = negative ? text.substr(1) : text;
    for (auto& c : digits) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    const size_t first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? "0" : digits.substr(first);
    return (negative && digits != "0" ? "-" : "") + digits;
}

class Random {
public:
    explicit Random(uint64_t s) : rng_(s) {}

    uint32_t below(uint32_t n) { return uint32_t(rng_() % n); }

    // A non-negative value of exactly `bits` bits (0 for zero), with runs of ones and zeros
    // now and then, where carries and borrows go wrong.
    bignum value(uint32_t bits) {
        if (bits == 0) {
            return bn::from_hex("0");
        }
        std::vector<uint32_t> w(bits / 32 + 1, 0);
        const uint32_t style = below(6);
        for (uint32_t i = 0; i < bits; ++i) {
            bool bit;
            switch (style) {
            case 0:
                bit = true;
                break;
            case 1:
                bit = i + 1 == bits;
                break;
            case 2:
                bit = (i / 32) % 2 == 0 || i + 1 == bits;
                break;
            default:
                bit = (rng_() & 1) != 0;
            }
            if (bit || i + 1 == bits) {
                w[i / 32] |= 1u << (i % 32);
            }
        }
        bignum x;
        bignum_from_words(x, w.data(), uint32_t(w.size()));
        return x;
    }

    bignum signed_value(uint32_t bits) {
        bignum x = value(bits);
        if (below(2) == 0) {
            bignum_negate(x);
        }
        return x;
    }

private:
    std::mt19937_64 rng_;
};

class BignumVsOpenssl : public ::testing::Test {
protected:
    void SetUp() override { ctx_.reset(BN_CTX_new()); }
    BN_CTX* ctx() { return ctx_.get(); }
    Random rnd{seed()};

private:
    std::unique_ptr<BN_CTX, CtxFree> ctx_;
};

TEST_F(BignumVsOpenssl, Multiplication) {
    for (int i = 0; i < 3000; ++i) {
        const uint32_t la = 1 + rnd.below(1100);
        const uint32_t lb = 1 + rnd.below(2140 - la);
        const bignum a = rnd.signed_value(la);
        const bignum b = rnd.signed_value(lb);
        bignum p;
        bignum_mul(a, b, p);
        Bn want(BN_new());
        ASSERT_TRUE(BN_mul(want.get(), to_openssl(a).get(), to_openssl(b).get(), ctx()));
        ASSERT_EQ(bn::to_hex(p), openssl_hex(want.get()))
            << bn::to_hex(a) << " * " << bn::to_hex(b) << " (seed " << seed() << ")";
        ASSERT_EQ(bn::check_invariants(p), "");

        // The same product with the result over one operand.
        bignum x = a;
        bignum_mul(x, b, x);
        ASSERT_EQ(bn::to_hex(x), bn::to_hex(p));
    }
}

TEST_F(BignumVsOpenssl, Division) {
    for (int i = 0; i < 3000; ++i) {
        const uint32_t la = rnd.below(2140);
        const uint32_t ld = 1 + rnd.below(i % 4 == 0 ? 64 : 1100);
        const bignum a = rnd.value(la);
        const bignum d = rnd.value(ld);
        bignum q;
        bignum r;
        bignum_divmod(a, d, q, r);
        Bn wq(BN_new());
        Bn wr(BN_new());
        ASSERT_TRUE(BN_div(wq.get(), wr.get(), to_openssl(a).get(), to_openssl(d).get(), ctx()));
        ASSERT_EQ(bn::to_hex(q), openssl_hex(wq.get()))
            << bn::to_hex(a) << " / " << bn::to_hex(d) << " (seed " << seed() << ")";
        ASSERT_EQ(bn::to_hex(r), openssl_hex(wr.get()))
            << bn::to_hex(a) << " % " << bn::to_hex(d) << " (seed " << seed() << ")";
        ASSERT_EQ(bn::check_invariants(q), "");
        ASSERT_EQ(bn::check_invariants(r), "");

        bignum x = a;
        bignum y = d;
        bignum_divmod(x, y, y, x); // quotient over the divisor, remainder over the dividend
        ASSERT_EQ(bn::to_hex(y), bn::to_hex(q));
        ASSERT_EQ(bn::to_hex(x), bn::to_hex(r));
    }
}

// powmod through the word-array entry point, as the handshake calls it.
std::string words_powmod(const bignum& b, const bignum& e, const bignum& m) {
    uint32_t out[67] = {};
    EXPECT_TRUE(powmod(out, 67, b.words, b.count, e.words, e.count, m.words, m.count));
    bignum r;
    bignum_from_words(r, out, 67);
    return bn::to_hex(r);
}

TEST_F(BignumVsOpenssl, ModularExponentiation) {
    for (int i = 0; i < 300; ++i) {
        const uint32_t lm = 1 + rnd.below(i % 3 == 0 ? 40 : 1060);
        const bignum m = rnd.value(lm);
        const bignum b = rnd.value(rnd.below(lm + 64));
        const bignum e = rnd.value(rnd.below(i % 5 == 0 ? 200 : 40));
        Bn want(BN_new());
        ASSERT_TRUE(BN_mod_exp(want.get(), to_openssl(b).get(), to_openssl(e).get(),
                               to_openssl(m).get(), ctx()));
        std::string expected = openssl_hex(want.get());
        if (e.bits == 0) {
            expected = "1"; // an exponent of zero gives one whatever the modulus
        }
        ASSERT_EQ(words_powmod(b, e, m), expected)
            << bn::to_hex(b) << " ^ " << bn::to_hex(e) << " mod " << bn::to_hex(m) << " (seed "
            << seed() << ")";
    }
}

// The exponentiation's reduction at its edges: odd moduli (reduced word by word) and even ones
// of 33 to 65 bits, of exactly 1024 bits with the top bit set (33 words with the zero word), at
// 1056 bits (the widest reduced word by word) and at 1057; bases of the modulus less one, the
// modulus itself and more; exponents with every bit set. Each result must fit an out array of
// exactly its minimal word count, and one word less is refused without a write.
TEST_F(BignumVsOpenssl, ExponentiationEdges) {
    for (const uint32_t lm : {33u, 63u, 64u, 65u, 1024u, 1056u, 1057u}) {
        for (int i = 0; i < 16; ++i) {
            bignum m = rnd.value(lm);
            m.words[0] = i % 2 == 0 ? m.words[0] | 1u : m.words[0] & ~1u;
            bignum b;
            switch (i / 2 % 4) {
            case 0:
                bignum_sub(m, bn::from_hex("1"), b);
                break;
            case 1:
                b = m;
                break;
            case 2:
                bignum_add(m, rnd.value(1 + rnd.below(lm)), b);
                break;
            default:
                b = rnd.value(1 + rnd.below(lm));
            }
            const bignum e = bn::from_hex(std::string(i < 8 ? 24 : 1 + rnd.below(64), 'f'));
            Bn want(BN_new());
            ASSERT_TRUE(BN_mod_exp(want.get(), to_openssl(b).get(), to_openssl(e).get(),
                                   to_openssl(m).get(), ctx()));
            const bignum expected = bn::from_hex(openssl_hex(want.get()));
            const uint32_t n = std::max(bignum_used_words(expected), 1u);
            uint32_t out[35];
            std::memset(out, 0xCC, sizeof out);
            ASSERT_FALSE(powmod(out, n - 1, b.words, b.count, e.words, e.count, m.words, m.count));
            ASSERT_EQ(out[0], 0xCCCCCCCCu);
            ASSERT_TRUE(powmod(out, n, b.words, b.count, e.words, e.count, m.words, m.count));
            ASSERT_EQ(out[n], 0xCCCCCCCCu);
            bignum got;
            bignum_from_words(got, out, n);
            ASSERT_EQ(bn::to_hex(got), openssl_hex(want.get()))
                << bn::to_hex(b) << " ^ " << bn::to_hex(e) << " mod " << bn::to_hex(m) << " (seed "
                << seed() << ")";
        }
    }
}

TEST_F(BignumVsOpenssl, HandshakeShapes) {
    bignum p;
    bignum_from_words(p, oakley_group2_prime, 33);
    const Bn prime = to_openssl(p);
    for (int i = 0; i < 12; ++i) {
        // A 96-bit private exponent held as four words, the fourth zero.
        uint32_t exponent[4] = {};
        const bignum e = rnd.value(96);
        std::memcpy(exponent, e.words, 3 * sizeof(uint32_t));
        uint32_t publicValue[33] = {};
        ASSERT_TRUE(pow2mod(publicValue, 33, exponent, 4, oakley_group2_prime, 33));

        Bn two(BN_new());
        BN_set_word(two.get(), 2);
        Bn wantPublic(BN_new());
        ASSERT_TRUE(
            BN_mod_exp(wantPublic.get(), two.get(), to_openssl(e).get(), prime.get(), ctx()));
        bignum got;
        bignum_from_words(got, publicValue, 33);
        ASSERT_EQ(bn::to_hex(got), openssl_hex(wantPublic.get())) << "seed " << seed();

        // The peer's value: any 33-word number below the prime, often with its top bit set.
        bignum peer = rnd.value(1 + rnd.below(1024));
        if (bignum_compare(peer, p) >= 0) {
            bignum_sub(peer, p, peer);
        }
        bignum_resize(peer, 33);
        uint32_t secret[33] = {};
        ASSERT_TRUE(powmod(secret, 33, peer.words, 33, exponent, 4, oakley_group2_prime, 33));
        Bn wantSecret(BN_new());
        ASSERT_TRUE(BN_mod_exp(wantSecret.get(), to_openssl(peer).get(), to_openssl(e).get(),
                               prime.get(), ctx()));
        bignum_from_words(got, secret, 33);
        ASSERT_EQ(bn::to_hex(got), openssl_hex(wantSecret.get())) << "seed " << seed();
    }
}

} // namespace
