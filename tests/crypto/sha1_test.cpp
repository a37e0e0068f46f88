// SHA-1 and HMAC-SHA1: known answers from data/ and the buffering, finalisation and context
// rules the handshake and the random generator rely on.
#include "common/crypto/sha1.h"

#include "vec_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string sha1_hex(const uint8_t* data, uint32_t n) {
    Sha1Context c;
    Sha1Initialize(&c);
    Sha1Update(&c, data, n);
    Sha1Finalize(&c);
    uint8_t d[20];
    Sha1GetDigest(&c, d);
    return vec::to_hex(d, 20);
}

std::string sha1_hex(const std::string& s) {
    return sha1_hex(reinterpret_cast<const uint8_t*>(s.data()), uint32_t(s.size()));
}

// Hashes the message in chunks of the given size (the last one shorter).
std::string sha1_chunked(const std::vector<uint8_t>& m, size_t chunk) {
    Sha1Context c;
    Sha1Initialize(&c);
    for (size_t i = 0; i < m.size(); i += chunk) {
        const size_t n = std::min(chunk, m.size() - i);
        Sha1Update(&c, m.data() + i, uint32_t(n));
    }
    Sha1Finalize(&c);
    uint8_t d[20];
    Sha1GetDigest(&c, d);
    return vec::to_hex(d, 20);
}

TEST(Sha1, KnownAnswers) {
    const auto records = vec::load("sha1.vec");
    ASSERT_GE(records.size(), 15u);
    for (const auto& r : records) {
        const auto msg = vec::hex(r.at("Msg"));
        const long repeat = r.count("Repeat") ? std::stol(r.at("Repeat")) : 1;
        Sha1Context c;
        Sha1Initialize(&c);
        for (long i = 0; i < repeat; ++i) {
            Sha1Update(&c, msg.data(), uint32_t(msg.size()));
        }
        Sha1Finalize(&c);
        uint8_t d[20];
        Sha1GetDigest(&c, d);
        EXPECT_EQ(vec::to_hex(d, 20), r.at("Digest"))
            << "message of " << msg.size() << " bytes x " << repeat;
    }
}

TEST(Sha1, SplitsGiveTheOneShotDigest) {
    for (const auto& r : vec::load("sha1.vec")) {
        if (r.count("Repeat")) {
            continue;
        }
        const auto msg = vec::hex(r.at("Msg"));
        const std::string want = r.at("Digest");
        for (size_t chunk : {1, 63, 64, 65}) {
            EXPECT_EQ(sha1_chunked(msg, chunk), want)
                << msg.size() << " bytes, chunks of " << chunk;
        }
        // Two pieces, split at every offset.
        for (size_t cut = 0; cut <= msg.size() && msg.size() <= 200; ++cut) {
            Sha1Context c;
            Sha1Initialize(&c);
            Sha1Update(&c, msg.data(), uint32_t(cut));
            Sha1Update(&c, msg.data() + cut, uint32_t(msg.size() - cut));
            Sha1Finalize(&c);
            uint8_t d[20];
            Sha1GetDigest(&c, d);
            ASSERT_EQ(vec::to_hex(d, 20), want) << msg.size() << " bytes cut at " << cut;
        }
    }
}

TEST(Sha1, ZeroLengthUpdateChangesNothing) {
    Sha1Context c;
    Sha1Initialize(&c);
    const uint8_t some[70] = {1, 2, 3};
    Sha1Update(&c, some, 70);
    Sha1Context before;
    std::memcpy(&before, &c, sizeof c);
    Sha1Update(&c, some, 0);
    EXPECT_EQ(std::memcmp(&before, &c, sizeof c), 0);
}

TEST(Sha1, BitCountCarriesIntoHighWord) {
    // 2^29 bytes are 2^32 bits: the low word wraps and the high word takes the carry, without
    // hashing half a gigabyte.
    Sha1Context c{};
    Sha1Initialize(&c);
    c.bit_count[0] = 0xFFFFFFF8u; // one byte short of the wrap
    const uint8_t b = 0;
    Sha1Update(&c, &b, 1);
    EXPECT_EQ(c.bit_count[0], 0u);
    EXPECT_EQ(c.bit_count[1], 1u);
}

TEST(Sha1, DigestStaysAfterFinalizeAndContextIsNoLongerAHash) {
    Sha1Context c;
    Sha1Initialize(&c);
    Sha1Update(&c, reinterpret_cast<const uint8_t*>("abc"), 3);
    Sha1Finalize(&c);
    uint8_t first[20];
    uint8_t second[20];
    Sha1GetDigest(&c, first);
    Sha1GetDigest(&c, second);
    EXPECT_EQ(vec::to_hex(first, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(std::memcmp(first, second, 20), 0);

    // The working state is wiped: no message bytes remain and the count is zero.
    const uint8_t zeros[64] = {};
    EXPECT_EQ(std::memcmp(c.block, zeros, 64), 0);
    EXPECT_EQ(c.bit_count[0], 0u);
    EXPECT_EQ(c.bit_count[1], 0u);

    // Going on without Sha1Initialize does not produce SHA-1 of the new data.
    Sha1Update(&c, reinterpret_cast<const uint8_t*>("abc"), 3);
    Sha1Finalize(&c);
    Sha1GetDigest(&c, second);
    EXPECT_NE(vec::to_hex(second, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");

    // And a new Sha1Initialize makes it a valid hash again.
    EXPECT_EQ(sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, TransformIsOneCompressionAndLeavesTheBlockAlone) {
    // "abc" padded to one block: one compression of the initial chaining value gives the digest.
    uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[63] = 24;
    uint8_t copy[64];
    std::memcpy(copy, block, 64);
    uint32_t state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    Sha1Context c;
    Sha1Transform(&c, state, block);
    EXPECT_EQ(state[0], 0xA9993E36u);
    EXPECT_EQ(state[4], 0x9CD0D89Du);
    EXPECT_EQ(std::memcmp(block, copy, 64), 0);
}

TEST(Sha1, NullContextIsIgnored) {
    uint8_t out[20] = {7};
    uint32_t state[5] = {1, 2, 3, 4, 5};
    const uint8_t block[64] = {};
    Sha1Initialize(nullptr);
    Sha1Update(nullptr, block, 64);
    Sha1Finalize(nullptr);
    Sha1GetDigest(nullptr, out);
    Sha1Transform(nullptr, state, block);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(state[0], 1u);
}

TEST(HmacSha1, KnownAnswers) {
    const auto records = vec::load("hmac_sha1.vec");
    ASSERT_GE(records.size(), 7u);
    for (const auto& r : records) {
        const auto key = vec::hex(r.at("Key"));
        const auto data = vec::hex(r.at("Data"));
        Sha1Context c;
        uint8_t mac[20];
        const uint8_t dummy = 0; // valid pointers for empty keys and data
        HmacSha1(&c, key.empty() ? &dummy : key.data(), uint32_t(key.size()),
                 data.empty() ? &dummy : data.data(), uint32_t(data.size()), mac);
        EXPECT_EQ(vec::to_hex(mac, 20), r.at("Mac")) << "key of " << key.size() << " bytes";
    }
}

TEST(HmacSha1, KeyOverOneBlockIsReplacedByItsDigest) {
    std::vector<uint8_t> key(65);
    for (size_t i = 0; i < key.size(); ++i) {
        key[i] = uint8_t(i * 3 + 1);
    }
    uint8_t keyDigest[20];
    Sha1Context c;
    Sha1Initialize(&c);
    Sha1Update(&c, key.data(), 65);
    Sha1Finalize(&c);
    Sha1GetDigest(&c, keyDigest);

    const uint8_t data[5] = {'h', 'e', 'l', 'l', 'o'};
    uint8_t macLong[20];
    uint8_t macDigest[20];
    uint8_t mac64[20];
    HmacSha1(&c, key.data(), 65, data, 5, macLong);
    HmacSha1(&c, keyDigest, 20, data, 5, macDigest);
    HmacSha1(&c, key.data(), 64, data, 5, mac64);
    EXPECT_EQ(std::memcmp(macLong, macDigest, 20), 0);
    EXPECT_NE(std::memcmp(mac64, macDigest, 20), 0);
}

TEST(HmacSha1, LeavesTheContextFreshlyInitialised) {
    Sha1Context c;
    uint8_t mac[20];
    const uint8_t key[16] = {1};
    HmacSha1(&c, key, 16, reinterpret_cast<const uint8_t*>("data"), 4, mac);
    Sha1Update(&c, reinterpret_cast<const uint8_t*>("abc"), 3);
    Sha1Finalize(&c);
    uint8_t d[20];
    Sha1GetDigest(&c, d);
    EXPECT_EQ(vec::to_hex(d, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(HmacSha1, NullPointersLeaveTheOutputAlone) {
    Sha1Context c;
    const uint8_t key[4] = {1, 2, 3, 4};
    const uint8_t data[4] = {5, 6, 7, 8};
    uint8_t out[20];
    std::memset(out, 0xAB, sizeof out);
    HmacSha1(nullptr, key, 4, data, 4, out);
    HmacSha1(&c, nullptr, 4, data, 4, out);
    HmacSha1(&c, key, 4, nullptr, 4, out);
    HmacSha1(&c, key, 4, data, 4, nullptr);
    for (uint8_t b : out) {
        ASSERT_EQ(b, 0xAB);
    }
}

} // namespace
