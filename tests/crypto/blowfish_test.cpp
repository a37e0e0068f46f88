// Blowfish: published vectors where the schedule is the standard one, known answers for the
// sign-extending 16-byte schedule, and the key-schedule properties the driver protocol fixes.
#include "common/crypto/blowfish.h"

#include "vec_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

namespace {

uint32_t load_be(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

std::unique_ptr<BlowfishContext> keyed(const uint8_t* key, uint32_t length) {
    auto c = std::make_unique<BlowfishContext>();
    EXPECT_TRUE(BlowfishInitialize(c.get(), key, length));
    return c;
}

bool same_context(const BlowfishContext& a, const BlowfishContext& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Byte-oriented vectors are loaded into the halves big-endian, as published.
void check_vectors(const char* file) {
    const auto records = vec::load(file);
    ASSERT_GE(records.size(), 16u) << file;
    for (const auto& r : records) {
        const auto key = vec::hex(r.at("Key"));
        const uint32_t length =
            r.count("KeyLength") ? uint32_t(std::stoul(r.at("KeyLength"))) : uint32_t(key.size());
        const auto plain = vec::hex(r.at("Plain"));
        const auto cipher = vec::hex(r.at("Cipher"));
        auto c = keyed(key.data(), length);
        uint32_t left = load_be(plain.data());
        uint32_t right = load_be(plain.data() + 4);
        ASSERT_TRUE(BlowfishEncipher(c.get(), &left, &right));
        EXPECT_EQ(left, load_be(cipher.data())) << file << " key " << r.at("Key") << "/" << length;
        EXPECT_EQ(right, load_be(cipher.data() + 4)) << file << " key " << r.at("Key");
        ASSERT_TRUE(BlowfishDecipher(c.get(), &left, &right));
        EXPECT_EQ(left, load_be(plain.data()));
        EXPECT_EQ(right, load_be(plain.data() + 4));
    }
}

TEST(Blowfish, StandardScheduleVectors) {
    check_vectors("blowfish.vec");
}

TEST(Blowfish, SignExtendingScheduleVectors) {
    check_vectors("blowfish_signext.vec");
}

TEST(Blowfish, DecipherUndoesEncipher) {
    std::mt19937 rng(7);
    for (uint32_t length : {1u, 5u, 8u, 16u}) {
        uint8_t key[16];
        for (auto& b : key) {
            b = uint8_t(rng());
        }
        auto c = keyed(key, length);
        for (int i = 0; i < 200; ++i) {
            const uint32_t l0 = rng();
            const uint32_t r0 = rng();
            uint32_t l = l0;
            uint32_t r = r0;
            ASSERT_TRUE(BlowfishEncipher(c.get(), &l, &r));
            EXPECT_FALSE(l == l0 && r == r0);
            ASSERT_TRUE(BlowfishDecipher(c.get(), &l, &r));
            ASSERT_EQ(l, l0);
            ASSERT_EQ(r, r0);
        }
    }
}

TEST(Blowfish, OnlySixteenKeyBytesCount) {
    uint8_t a[24];
    uint8_t b[24];
    for (int i = 0; i < 24; ++i) {
        a[i] = uint8_t(0x31 + 9 * i);
        b[i] = i < 16 ? a[i] : uint8_t(~a[i]);
    }
    auto ref = keyed(a, 16);
    EXPECT_TRUE(same_context(*ref, *keyed(a, 17)));
    EXPECT_TRUE(same_context(*ref, *keyed(b, 24)));
    EXPECT_TRUE(same_context(*ref, *keyed(a, 0xFFFFFFFFu)));
    EXPECT_FALSE(same_context(*ref, *keyed(a, 15)));
}

TEST(Blowfish, HighKeyByteHidesTheBytesBeforeIt) {
    // Key byte 3 of 0x80 or more sign-extends over bytes 0 to 2 of its group, so they no longer
    // matter; below 0x80 they do.
    uint8_t a[16];
    for (int i = 0; i < 16; ++i) {
        a[i] = uint8_t(0x10 + i);
    }
    uint8_t b[16];
    std::memcpy(b, a, 16);
    b[0] = 0x55;
    b[1] = 0xAA;
    b[2] = 0x01;

    a[3] = b[3] = 0x80;
    EXPECT_TRUE(same_context(*keyed(a, 16), *keyed(b, 16)));
    a[3] = b[3] = 0xFE;
    EXPECT_TRUE(same_context(*keyed(a, 16), *keyed(b, 16)));
    a[3] = b[3] = 0x7F;
    EXPECT_FALSE(same_context(*keyed(a, 16), *keyed(b, 16)));
}

TEST(Blowfish, ZeroLengthKeyUsesTheFirstByte) {
    const uint8_t key[4] = {0x9C, 0x01, 0x02, 0x03};
    EXPECT_TRUE(same_context(*keyed(key, 0), *keyed(key, 1)));
    EXPECT_FALSE(same_context(*keyed(key, 0), *keyed(key, 2)));
}

TEST(Blowfish, RekeyingOverwritesTheWholeContext) {
    const uint8_t first[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const uint8_t second[16] = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87};
    auto c = keyed(first, 16);
    ASSERT_TRUE(BlowfishInitialize(c.get(), second, 16));
    EXPECT_TRUE(same_context(*c, *keyed(second, 16)));
}

TEST(Blowfish, NullPointersAreRefusedAndChangeNothing) {
    const uint8_t key[8] = {1};
    EXPECT_FALSE(BlowfishInitialize(nullptr, key, 8));
    auto c = keyed(key, 8);
    uint32_t l = 0x01234567;
    uint32_t r = 0x89ABCDEF;
    EXPECT_FALSE(BlowfishEncipher(nullptr, &l, &r));
    EXPECT_FALSE(BlowfishEncipher(c.get(), nullptr, &r));
    EXPECT_FALSE(BlowfishEncipher(c.get(), &l, nullptr));
    EXPECT_FALSE(BlowfishDecipher(nullptr, &l, &r));
    EXPECT_FALSE(BlowfishDecipher(c.get(), nullptr, &r));
    EXPECT_FALSE(BlowfishDecipher(c.get(), &l, nullptr));
    EXPECT_EQ(l, 0x01234567u);
    EXPECT_EQ(r, 0x89ABCDEFu);
    EXPECT_EQ(BlowfishF(nullptr, 0x12345678), 0u);
}

TEST(Blowfish, RoundFunctionCombinesTheFourSBoxes) {
    // With the S-boxes set by hand, F(x) = ((S1[a] + S2[b]) ^ S3[c]) + S4[d] for the bytes
    // a (top) to d (bottom) of x.
    auto c = std::make_unique<BlowfishContext>();
    for (uint32_t i = 0; i < 256; ++i) {
        c->S[i] = 0x01000000u * i;
        c->S[256 + i] = 0xFFFFFFFFu - i;
        c->S[512 + i] = i << 8;
        c->S[768 + i] = i * 3;
    }
    const uint32_t x = 0x02050907;
    const uint32_t want = ((0x02000000u + (0xFFFFFFFFu - 5)) ^ (9u << 8)) + 21u;
    EXPECT_EQ(BlowfishF(c.get(), x), want);
}

} // namespace
