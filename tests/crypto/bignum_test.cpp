// Multi-precision arithmetic: known answers from data/bignum.vec, the representation rules
// (signed bit length, minimal word counts, zero), aliasing of results with operands, the word
// array entry points as the handshake calls them, and the contract violations that end the
// process.
#include "common/crypto/bignum.h"

#include "bignum_util.h"
#include "vec_file.h"

#include <gtest/gtest.h>

#include <cstring>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace {

using bn::from_hex;
using bn::to_hex;

bignum from_u32(std::initializer_list<uint32_t> words) {
    bignum x;
    bignum_from_words(x, words.begin(), uint32_t(words.size()));
    return x;
}

TEST(Bignum, KnownAnswers) {
    const auto records = vec::load("bignum.vec");
    ASSERT_GT(records.size(), 1000u);
    for (const auto& r : records) {
        const std::string op = r.at("Op");
        bignum out;
        if (op == "add" || op == "sub" || op == "mul") {
            const bignum a = from_hex(r.at("A"));
            const bignum b = from_hex(r.at("B"));
            if (op == "add") {
                bignum_add(a, b, out);
            } else if (op == "sub") {
                bignum_sub(a, b, out);
            } else {
                bignum_mul(a, b, out);
            }
            ASSERT_EQ(to_hex(out), r.at("Result")) << r.at("A") << " " << op << " " << r.at("B");
            ASSERT_EQ(bn::check_invariants(out), "") << r.at("A") << " " << op << " " << r.at("B");
        } else if (op == "divmod") {
            const bignum a = from_hex(r.at("A"));
            const bignum d = from_hex(r.at("B"));
            bignum q;
            bignum_divmod(a, d, q, out);
            ASSERT_EQ(to_hex(q), r.at("Quotient")) << r.at("A") << " / " << r.at("B");
            ASSERT_EQ(to_hex(out), r.at("Remainder")) << r.at("A") << " % " << r.at("B");
            ASSERT_EQ(bn::check_invariants(q), "");
            ASSERT_EQ(bn::check_invariants(out), "");
        } else if (op == "powmod") {
            const bignum b = from_hex(r.at("Base"));
            const bignum e = from_hex(r.at("Exponent"));
            const bignum m = from_hex(r.at("Modulus"));
            bignum_powmod(b, e, m, out);
            ASSERT_EQ(to_hex(out), r.at("Result"))
                << r.at("Base") << " ^ " << r.at("Exponent") << " mod " << r.at("Modulus");
            ASSERT_EQ(bn::check_invariants(out), "");
        } else {
            FAIL() << "unknown Op " << op;
        }
    }
}

TEST(Bignum, SignedBitLength) {
    EXPECT_EQ(from_hex("0").bits, 0);
    EXPECT_EQ(from_hex("1").bits, 1);
    EXPECT_EQ(from_hex("-1").bits, -1);
    EXPECT_EQ(from_hex("-2").bits, -2);
    EXPECT_EQ(from_hex("-3").bits, -3);
    EXPECT_EQ(from_hex("-4").bits, -3);
    EXPECT_EQ(from_hex("-5").bits, -4);
    EXPECT_EQ(from_hex("80000000").bits, 32);
    EXPECT_EQ(from_hex("-80000000").bits, -32);
    EXPECT_EQ(from_hex("-80000001").bits, -33);
    // Sign words above the significant part do not change the value.
    EXPECT_EQ(from_u32({0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFF}).bits, -2);
    EXPECT_EQ(from_u32({5, 0, 0, 0}).bits, 3);
    EXPECT_EQ(from_u32({0x7FFFFFFF, 0xFFFFFFFF}).bits, -33);

    EXPECT_EQ(bignum_used_words(from_hex("0")), 0u);
    EXPECT_EQ(bignum_used_words(from_hex("7fffffff")), 1u);
    EXPECT_EQ(bignum_used_words(from_hex("80000000")), 2u);
    EXPECT_EQ(bignum_used_words(from_hex("-80000000")), 1u);
    EXPECT_EQ(bignum_used_words(from_hex("-80000001")), 2u);
}

TEST(Bignum, FromWords) {
    bignum x = from_hex("1234");
    bignum_from_words(x, nullptr, 5);
    EXPECT_EQ(x.count, 1u);
    EXPECT_EQ(x.bits, 0);
    EXPECT_EQ(x.words[0], 0u);
    x = from_hex("1234");
    const uint32_t w = 9;
    bignum_from_words(x, &w, 0);
    EXPECT_EQ(x.count, 1u);
    EXPECT_EQ(x.bits, 0);

    // The group prime reads as positive only with its 33rd, zero word.
    bignum p;
    bignum_from_words(p, oakley_group2_prime, 33);
    EXPECT_EQ(p.bits, 1024);
    bignum_from_words(p, oakley_group2_prime, 32);
    EXPECT_LT(p.bits, 0);
}

TEST(Bignum, GroupPrimeBytes) {
    // Least significant byte first: eight FF bytes, then 81 53 E6 EC 51 66 28 49 ...; the top
    // eight bytes are FF again, followed by the zero word.
    uint8_t bytes[132];
    for (int i = 0; i < 33; ++i) {
        for (int j = 0; j < 4; ++j) {
            bytes[4 * i + j] = uint8_t(oakley_group2_prime[i] >> (8 * j));
        }
    }
    EXPECT_EQ(vec::to_hex(bytes, 16), "ffffffffffffffff8153e6ec51662849");
    EXPECT_EQ(vec::to_hex(bytes + 112, 20), "34c26821a2da0fc9ffffffffffffffff00000000");
}

TEST(Bignum, CompareDecidesOnBitsThenWords) {
    const bignum p40 = from_hex("10000000000");
    EXPECT_LT(bignum_compare(p40, from_hex("10000000001")), 0);
    EXPECT_GT(bignum_compare(from_hex("10000000001"), p40), 0);
    EXPECT_GT(bignum_compare(p40, from_hex("8000000000")), 0);
    EXPECT_EQ(bignum_compare(p40, from_u32({0, 0x100, 0, 0})), 0);
    EXPECT_LT(bignum_compare(from_hex("-5"), from_hex("-3")), 0);
    EXPECT_LT(bignum_compare(from_hex("-100000000"), from_hex("-ffffffff")), 0);
    EXPECT_LT(bignum_compare(from_hex("-1"), from_hex("0")), 0);
    EXPECT_EQ(bignum_compare(from_hex("0"), from_u32({0, 0, 0})), 0);
    EXPECT_EQ(bignum_compare(from_hex("-1"), from_u32({0xFFFFFFFF, 0xFFFFFFFF})), 0);
}

TEST(Bignum, NegateAndShifts) {
    bignum x = from_u32({0x80000000});
    bignum_negate(x);
    EXPECT_EQ(to_hex(x), "80000000");
    EXPECT_EQ(x.count, 2u);
    EXPECT_EQ(x.bits, 32);
    bignum_negate(x);
    EXPECT_EQ(to_hex(x), "-80000000");
    bignum z = from_hex("0");
    bignum_negate(z);
    EXPECT_EQ(z.bits, 0);

    // Shifting must not move a value's bit into the sign bit of its top word.
    x = from_u32({0x40000000});
    bignum_shl1(x);
    EXPECT_EQ(to_hex(x), "80000000");
    EXPECT_EQ(bn::check_invariants(x), "");
    x = from_u32({0x80000000}); // -2^31
    bignum_shl1(x);
    EXPECT_EQ(to_hex(x), "-100000000");
    EXPECT_EQ(bn::check_invariants(x), "");
    x = from_hex("-1");
    bignum_shl1(x);
    EXPECT_EQ(to_hex(x), "-2");
    bignum_shl1(z);
    EXPECT_EQ(z.bits, 0);

    x = from_hex("-3");
    bignum_shl_words(x, 2);
    EXPECT_EQ(to_hex(x), "-30000000000000000");
    EXPECT_EQ(bn::check_invariants(x), "");
    x = from_hex("7fffffff");
    bignum_shl_words(x, 1);
    EXPECT_EQ(to_hex(x), "7fffffff00000000");
    EXPECT_EQ(x.bits, 63);
}

TEST(Bignum, ResizeFillsWithTheSign) {
    bignum x = from_hex("-2");
    bignum_resize(x, 3);
    EXPECT_EQ(x.count, 3u);
    EXPECT_EQ(x.words[2], 0xFFFFFFFFu);
    EXPECT_EQ(to_hex(x), "-2");
    bignum y = from_hex("5");
    bignum_resize(y, 4);
    EXPECT_EQ(y.words[3], 0u);
    bignum_resize(y, 0);
    EXPECT_EQ(y.count, 1u);
}

TEST(Bignum, AddingNegativesGrowsTheWidth) {
    // Sums of two negative numbers can need one word more than either operand.
    bignum s;
    bignum_add(from_hex("-80000000"), from_hex("-80000000"), s);
    EXPECT_EQ(to_hex(s), "-100000000");
    bignum_add(from_hex("-1"), from_hex("-80000000"), s);
    EXPECT_EQ(to_hex(s), "-80000001");
    bignum_sub(from_hex("-ffffffffffffffff"), from_hex("1"), s);
    EXPECT_EQ(to_hex(s), "-10000000000000000");
}

TEST(Bignum, ResultsMayAliasOperands) {
    const bignum a0 = from_hex("123456789abcdef0fedcba9876543210aaaaaaaa55555555");
    const bignum b0 = from_hex("fedcba98765432100123456789");
    bignum want;
    bignum x = a0;
    bignum_mul(a0, a0, want);
    bignum_mul(x, x, x);
    EXPECT_EQ(to_hex(x), to_hex(want));

    x = a0;
    bignum y = b0;
    bignum_add(a0, b0, want);
    bignum_add(x, y, y);
    EXPECT_EQ(to_hex(y), to_hex(want));
    bignum_sub(a0, b0, want);
    x = a0;
    bignum_sub(x, b0, x);
    EXPECT_EQ(to_hex(x), to_hex(want));

    bignum q;
    bignum r;
    bignum_divmod(a0, b0, q, r);
    x = a0;
    y = b0;
    bignum_divmod(x, y, x, y); // quotient over the dividend, remainder over the divisor
    EXPECT_EQ(to_hex(x), to_hex(q));
    EXPECT_EQ(to_hex(y), to_hex(r));
    x = a0;
    bignum_divmod(x, b0, x, x); // one object for both receives the quotient
    EXPECT_EQ(to_hex(x), to_hex(q));

    const bignum m = from_hex("f123456789abcdef01");
    bignum_powmod(a0, b0, m, want);
    x = a0;
    bignum_powmod(x, b0, m, x);
    EXPECT_EQ(to_hex(x), to_hex(want));
    y = m;
    bignum_powmod(a0, b0, y, y);
    EXPECT_EQ(to_hex(y), to_hex(want));
    y = b0;
    bignum_powmod(a0, y, m, y);
    EXPECT_EQ(to_hex(y), to_hex(want));
}

TEST(Bignum, DivisionByItselfAndByALargerNumber) {
    const bignum a = from_hex("fffffffffffffffffffffffff1");
    bignum q;
    bignum r;
    bignum_divmod(a, a, q, r);
    EXPECT_EQ(to_hex(q), "1");
    EXPECT_EQ(to_hex(r), "0");
    bignum_divmod(a, from_hex("1fffffffffffffffffffffffff1"), q, r);
    EXPECT_EQ(to_hex(q), "0");
    EXPECT_EQ(to_hex(r), to_hex(a));
    // One-word divisor with a remainder whose top bit is set: two words, still positive.
    bignum_divmod(from_hex("1fffffffe"), from_hex("ffffffff"), q, r);
    EXPECT_EQ(to_hex(q), "2");
    EXPECT_EQ(to_hex(r), "0");
    bignum_divmod(from_hex("2fffffffc"), from_hex("ffffffff"), q, r);
    EXPECT_EQ(to_hex(r), "fffffffe");
    EXPECT_EQ(r.bits, 32);
}

TEST(PowMod, HandshakeCalls) {
    uint32_t out[33];
    const uint32_t one[4] = {1, 0, 0, 0};
    std::memset(out, 0xCC, sizeof out);
    ASSERT_TRUE(pow2mod(out, 33, one, 4, oakley_group2_prime, 33));
    EXPECT_EQ(out[0], 2u);
    EXPECT_EQ(out[1], 0xCCCCCCCCu); // only the result's words are written

    const uint32_t zero[4] = {0, 0, 0, 0};
    std::memset(out, 0xCC, sizeof out);
    ASSERT_TRUE(pow2mod(out, 33, zero, 4, oakley_group2_prime, 33));
    EXPECT_EQ(out[0], 1u);
    EXPECT_EQ(out[1], 0xCCCCCCCCu);

    // 2^(p-1) = 1 mod p (Fermat), through a 33-word exponent; and (p-1)^2 = 1.
    uint32_t pm1[33];
    std::memcpy(pm1, oakley_group2_prime, sizeof pm1);
    pm1[0] -= 1;
    std::memset(out, 0, sizeof out);
    ASSERT_TRUE(pow2mod(out, 33, pm1, 33, oakley_group2_prime, 33));
    EXPECT_EQ(out[0], 1u);
    const uint32_t two[1] = {2};
    ASSERT_TRUE(powmod(out, 33, pm1, 33, two, 1, oakley_group2_prime, 33));
    EXPECT_EQ(out[0], 1u);
}

TEST(PowMod, SmallCases) {
    uint32_t out[2] = {};
    const uint32_t zero = 0;
    const uint32_t five = 5;
    const uint32_t seven = 7;
    ASSERT_TRUE(powmod(out, 2, &zero, 1, &zero, 1, &seven, 1));
    EXPECT_EQ(out[0], 1u);
    ASSERT_TRUE(powmod(out, 2, &zero, 1, &five, 1, &seven, 1));
    EXPECT_EQ(out[0], 0u);
    ASSERT_TRUE(powmod(out, 2, &zero, 0, &five, 1, &seven, 1)); // a zero count reads as zero
    EXPECT_EQ(out[0], 0u);
    const uint32_t one = 1;
    ASSERT_TRUE(powmod(out, 2, &five, 1, &five, 1, &one, 1)); // everything is 0 modulo 1
    EXPECT_EQ(out[0], 0u);
    const uint32_t twelve = 12;
    const uint32_t two = 2;
    const uint32_t ten = 10;
    ASSERT_TRUE(powmod(out, 2, &twelve, 1, &two, 1, &ten, 1));
    EXPECT_EQ(out[0], 4u);
    const uint32_t thousand = 1000;
    ASSERT_TRUE(pow2mod(out, 2, &ten, 1, &thousand, 1));
    EXPECT_EQ(out[0], 24u);
}

TEST(PowMod, RefusesWithoutWriting) {
    uint32_t out[33];
    std::memset(out, 0xCC, sizeof out);
    const uint32_t e[4] = {0x12345678, 0x9ABCDEF0, 0x0FEDCBA9, 0};
    // The result needs 32 or 33 words; find its size, then offer one word less.
    uint32_t full[33] = {};
    ASSERT_TRUE(pow2mod(full, 33, e, 4, oakley_group2_prime, 33));
    uint32_t n = 33;
    while (n > 1 && full[n - 1] == 0) {
        --n;
    }
    n += full[n - 1] >> 31;
    EXPECT_FALSE(pow2mod(out, n - 1, e, 4, oakley_group2_prime, 33));
    EXPECT_TRUE(pow2mod(out, n, e, 4, oakley_group2_prime, 33));
    std::memset(out, 0xCC, sizeof out);

    EXPECT_FALSE(pow2mod(nullptr, 33, e, 4, oakley_group2_prime, 33));
    EXPECT_FALSE(pow2mod(out, 33, nullptr, 4, oakley_group2_prime, 33));
    EXPECT_FALSE(pow2mod(out, 33, e, 4, nullptr, 33));
    EXPECT_FALSE(powmod(out, 33, nullptr, 1, e, 4, oakley_group2_prime, 33));
    // Arrays longer than a value can hold are refused instead of overrunning it.
    static uint32_t big[100] = {3};
    EXPECT_FALSE(powmod(out, 33, big, 100, e, 4, oakley_group2_prime, 33));
    EXPECT_FALSE(pow2mod(out, 33, big, 68, oakley_group2_prime, 33));
    // A modulus whose residues' squares would outgrow a value (1072 bits, or 1072 once negated)
    // is refused; 1071 bits, the most that fits, works.
    uint32_t modulus[34] = {};
    modulus[33] = 0x8000u; // 2^1071
    EXPECT_FALSE(pow2mod(out, 33, e, 4, modulus, 34));
    modulus[33] = 0xFFFF8000u; // -2^1071
    EXPECT_FALSE(pow2mod(out, 33, e, 4, modulus, 34));
    for (uint32_t w : out) {
        ASSERT_EQ(w, 0xCCCCCCCCu);
    }
    uint32_t wide[35] = {};
    std::memset(modulus, 0xFF, sizeof modulus);
    modulus[33] = 0x7FFFu;                                         // 2^1071 - 1
    ASSERT_TRUE(powmod(wide, 35, modulus, 32, e, 4, modulus, 34)); // (-1)^even
    EXPECT_EQ(wide[0], 1u);
    EXPECT_EQ(wide[1], 0u);
    for (uint32_t w : out) {
        ASSERT_EQ(w, 0xCCCCCCCCu);
    }
}

#if GTEST_HAS_DEATH_TEST && !defined(_WIN32)

// A contract violation raises its exception, which ends the process with a failure status and
// one line naming the code: a crash (a signal) or any other exit is not it.
const auto failed = testing::ExitedWithCode(EXIT_FAILURE);
constexpr const char* kOverflow = "unhandled exception 0xC0000095";
constexpr const char* kDivideByZero = "unhandled exception 0xC0000094";

TEST(BignumDeathTest, GrowingPastCapacityEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bignum x = from_hex("5");
            bignum_resize(x, 68);
            std::exit(0);
        },
        failed, kOverflow);
    EXPECT_EXIT(
        {
            bignum x = from_hex("1");
            bignum_shl_words(x, 66); // 2^2112 needs 67 words: fine
            bignum_shl_words(x, 1);  // 2^2144 needs 68
            std::exit(0);
        },
        failed, kOverflow);
    EXPECT_EXIT(
        {
            bignum x = from_hex("1");
            bignum_shl_words(x, 66);
            for (int i = 0; i < 30; ++i) {
                bignum_shl1(x); // up to 2^2142, the largest power of two in 67 words
            }
            if (x.count != 67) {
                std::exit(0);
            }
            bignum_shl1(x);
            std::exit(0);
        },
        failed, kOverflow);
    EXPECT_EXIT(
        {
            bignum x = from_hex("1");
            bignum_shl_words(x, 66);
            bignum_add(x, x, x); // 67 words + 1
            std::exit(0);
        },
        failed, kOverflow);
    EXPECT_EXIT(
        {
            bignum x = from_hex("1");
            bignum_shl_words(x, 40);
            bignum_mul(x, x, x); // 2^2560
            std::exit(0);
        },
        failed, kOverflow);
    EXPECT_EXIT(
        {
            static uint32_t words[68] = {1};
            bignum x;
            bignum_from_words(x, words, 68);
            std::exit(0);
        },
        failed, kOverflow);
}

TEST(BignumDeathTest, DivisionByZeroEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bignum q;
            bignum r;
            bignum_divmod(from_hex("5"), from_hex("0"), q, r);
            std::exit(0);
        },
        failed, kDivideByZero);
    EXPECT_EXIT(
        {
            uint32_t out[2];
            const uint32_t three = 3;
            const uint32_t zero = 0;
            pow2mod(out, 2, &three, 1, &zero, 1);
            std::exit(0);
        },
        failed, kDivideByZero);
}

#endif

} // namespace
