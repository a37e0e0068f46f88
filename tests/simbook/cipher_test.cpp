// The channel's Blowfish: standard results for keys below 0x80, and the protocol's key
// schedule rules (16-byte cut, sign extension, empty key) where it departs from the standard.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <openssl/blowfish.h>

#include "simbook/driver/cipher.h"

namespace {

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

uint32_t Be(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

std::vector<uint8_t> EncipherZeroBlock(const std::vector<uint8_t>& key, size_t length) {
    simbook::ChannelBlowfish bf;
    bf.SetKey(key.data(), length);
    std::vector<uint8_t> block(8, 0x5A);
    bf.Encipher(block.data());
    return block;
}

} // namespace

TEST(ChannelBlowfish, MatchesPublishedVectorsForKeysBelow0x80) {
    // Eric Young's published Blowfish test set (key, plaintext, ciphertext), all key bytes < 0x80;
    // the byte-oriented vectors are loaded into the halves big-endian.
    const char* vectors[][3] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
        {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    };
    for (auto& v : vectors) {
        auto key = Hex(v[0]);
        auto plain = Hex(v[1]);
        auto cipher = Hex(v[2]);
        simbook::ChannelBlowfish bf;
        bf.SetKey(key.data(), key.size());
        uint32_t l = Be(plain.data()), r = Be(plain.data() + 4);
        bf.EncipherHalves(l, r);
        EXPECT_EQ(l, Be(cipher.data())) << v[0];
        EXPECT_EQ(r, Be(cipher.data() + 4)) << v[0];
        bf.DecipherHalves(l, r);
        EXPECT_EQ(l, Be(plain.data()));
        EXPECT_EQ(r, Be(plain.data() + 4));
    }
}

TEST(ChannelBlowfish, BlockHalvesAreLittleEndian) {
    auto key = Hex("0000000000000000");
    simbook::ChannelBlowfish bf;
    bf.SetKey(key.data(), key.size());
    uint8_t block[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    bf.Encipher(block);
    uint32_t l = 0, r = 0;
    bf.EncipherHalves(l, r);
    EXPECT_EQ(l, 0x4EF99745u);
    EXPECT_EQ(block[0], 0x45); // least significant byte first
    EXPECT_EQ(block[3], 0x4E);
    EXPECT_EQ(block[4], 0x78);
}

TEST(ChannelBlowfish, KeyScheduleRules) {
    // Only 16 bytes count.
    auto long1 = Hex("000102030405060708090a0b0c0d0e0f10");
    auto long2 = Hex("000102030405060708090a0b0c0d0e0f7f");
    EXPECT_EQ(EncipherZeroBlock(long1, 17), EncipherZeroBlock(long2, 17));
    EXPECT_EQ(EncipherZeroBlock(long1, 17), EncipherZeroBlock(long1, 16));
    // A byte of 0x80 or more fills the bytes above it with ones: bytes 0..2 of a group whose
    // byte 3 is high make no difference.
    auto a = Hex("11223380445566778899aabbccddeeff");
    auto b = Hex("00000080445566778899aabbccddeeff");
    EXPECT_EQ(EncipherZeroBlock(a, 16), EncipherZeroBlock(b, 16));
    // ...which the standard schedule does not do.
    BF_KEY standard;
    BF_set_key(&standard, 16, a.data());
    BF_LONG data[2] = {0x5A5A5A5A, 0x5A5A5A5A};
    BF_encrypt(data, &standard);
    auto ours = EncipherZeroBlock(a, 16);
    uint32_t ourLeft = ours[0] | (ours[1] << 8) | (ours[2] << 16) | (uint32_t(ours[3]) << 24);
    EXPECT_NE(ourLeft, static_cast<uint32_t>(data[0]));
    // A length of 0 keys with the first byte alone.
    auto one = Hex("41");
    auto more = Hex("41424344");
    EXPECT_EQ(EncipherZeroBlock(more, 0), EncipherZeroBlock(one, 1));
}

TEST(DriverCrypto, DiffieHellmanAgreesBothWays) {
    auto a = simbook::MakeDhKeyPair();
    auto b = simbook::MakeDhKeyPair();
    EXPECT_TRUE(simbook::DhPublicValueValid(a.publicValue));
    EXPECT_EQ(simbook::DhSharedSecret(a.publicValue, b.secret),
              simbook::DhSharedSecret(b.publicValue, a.secret));
    EXPECT_EQ(a.publicValue[131], 0); // below the 1024-bit prime: the last word is zero
    simbook::DhNumber one{};
    one[0] = 1;
    EXPECT_FALSE(simbook::DhPublicValueValid(one));
    simbook::DhNumber big{};
    std::memset(big.data(), 0xFF, 128);
    EXPECT_FALSE(simbook::DhPublicValueValid(big));
}

TEST(DriverCrypto, HmacSha1KnownAnswer) {
    // RFC 2202, test case 2.
    const std::string key = "Jefe";
    const std::string data = "what do ya want for nothing?";
    auto mac = simbook::HmacSha1(reinterpret_cast<const uint8_t*>(key.data()), key.size(),
                                 reinterpret_cast<const uint8_t*>(data.data()), data.size());
    EXPECT_EQ(std::vector<uint8_t>(mac.begin(), mac.end()),
              Hex("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"));
}
