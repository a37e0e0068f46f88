// The session handshake: its exact bytes, recomputed independently with OpenSSL from the
// pinned clock, and every way a driver can make it fail.
#include <cstring>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include "channel_fixture.h"
#include "simbook/driver/cipher.h"

namespace channel_test {
namespace {

using MiscCommon::CMiscCommon;

const uint8_t kAuthKey[16] = {0xf2, 0xae, 0xe4, 0xfc, 0x34, 0xd1, 0xe4, 0x8c,
                              0x54, 0xe0, 0x07, 0x42, 0xb7, 0xde, 0xf7, 0x0e};

Bytes WordsLe(const uint32_t* words, size_t count) {
    Bytes bytes(4 * count);
    for (size_t i = 0; i < count; ++i) {
        PutLe32(bytes, 4 * i, words[i]);
    }
    return bytes;
}

// base^x mod p for the 1024-bit MODP group, all numbers little-endian, 132-byte result.
Bytes ModExp(const Bytes& base, const Bytes& exponent) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* p = BN_get_rfc2409_prime_1024(nullptr);
    BIGNUM* b = BN_lebin2bn(base.data(), static_cast<int>(base.size()), nullptr);
    BIGNUM* e = BN_lebin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
    BIGNUM* r = BN_new();
    Bytes out(132);
    EXPECT_EQ(BN_mod_exp(r, b, e, p, ctx), 1);
    EXPECT_EQ(BN_bn2lebinpad(r, out.data(), static_cast<int>(out.size())), 132);
    BN_free(r);
    BN_free(e);
    BN_free(b);
    BN_free(p);
    BN_CTX_free(ctx);
    return out;
}

Bytes Hmac(const uint8_t* key, size_t keySize, const Bytes& data) {
    Bytes out(20);
    unsigned int size = 0;
    HMAC(EVP_sha1(), key, static_cast<int>(keySize), data.data(), data.size(), out.data(), &size);
    EXPECT_EQ(size, 20u);
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

class HandshakeTest : public ChannelTest {};

TEST_F(HandshakeTest, KnownAnswerForAllThreePhases) {
    UseMachine(MachineWith());
    CMiscCommon channel;
    ASSERT_EQ(channel.Initialize(), 0) << Narrow(channel.ErrorText());
    auto ex = Exchanges(kHandshakeCode);
    ASSERT_EQ(ex.size(), 4u);

    HandshakeRandom r = ReferenceHandshakeRandom(kPinnedCounter, kPinnedTime);
    Bytes x = WordsLe(r.x, 3);
    Bytes yc = ModExp({2}, x);
    Bytes nc = WordsLe(r.nc, 5);
    Bytes phase1 = Concat({Text("Ini1"), yc, nc, Bytes(4, 0)});
    EXPECT_EQ(ToHex(ex[1].in), ToHex(phase1));

    ASSERT_EQ(ex[1].out.size(), 160u);
    Bytes sid(ex[1].out.begin(), ex[1].out.begin() + 4);
    Bytes yd(ex[1].out.begin() + 4, ex[1].out.begin() + 136);
    Bytes nd(ex[1].out.begin() + 136, ex[1].out.end());
    Bytes t0 = Hmac(kAuthKey, sizeof(kAuthKey), Concat({nc, Bytes(4, 0), nd}));
    Bytes pc = Hmac(t0.data(), t0.size(), Concat({yc, yd}));
    EXPECT_EQ(ToHex(ex[2].in), ToHex(Concat({Text("Ini2"), sid, pc})));

    Bytes z = ModExp(yd, x);
    uint8_t digest[20];
    SHA1(z.data(), z.size(), digest);
    Bytes sk = WordsLe(r.sk, 4);
    Bytes wrapped = sk;
    simbook::ChannelBlowfish kek;
    kek.SetKey(digest, 16);
    kek.Encipher(wrapped.data());
    kek.Encipher(wrapped.data() + 8);
    EXPECT_EQ(ToHex(ex[3].in), ToHex(Concat({Text("Ini3"), sid, wrapped})));
    EXPECT_EQ(channel.SessionId(), Le32(sid, 0));
}

TEST_F(HandshakeTest, ProbeAnswers) {
    struct Case {
        json driver;
        DWORD staleError;
        bool session;
    } cases[] = {
        {{{"faults", {{"probe_error", 50}}}}, 0, false}, // no session support: plain mode
        {{{"faults", {{"probe_error", 1}}}}, 0, true},   // any other error: go on
        {json::object(), 0, true},                       // success: go on
        {json::object(), ERROR_NOT_SUPPORTED, true},     // a stale 50 is not the driver's answer
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.driver.dump() + " stale " + std::to_string(c.staleError));
        UseMachine(MachineWith(c.driver));
        CMiscCommon channel;
        SetLastError(c.staleError);
        ASSERT_EQ(channel.Initialize(), 0);
        EXPECT_EQ(channel.HasSession(), c.session);
        EXPECT_EQ(channel.IsEncrypted(), c.session);
        EXPECT_EQ(Exchanges(kHandshakeCode).size(), c.session ? 4u : 1u);
    }
}

TEST_F(HandshakeTest, DriverFailuresAreReportedAndAbandonTheSession) {
    struct Case {
        json driver;
        int code;
        const char* message;
        bool ends;
        int restoredFrom; // handshake exchange whose last-error code is put back, or -1
    } cases[] = {
        {{{"faults", {{"phase1_reply_length", 159}}}}, 2, "DeviceIoControl failed.", false, 1},
        {{{"faults", {{"proof", "flip_last_byte"}}}}, 6, "Driver Authentication Failed.", true, -1},
        {{{"faults", {{"proof", "wrong_order"}}}}, 6, "Driver Authentication Failed.", true, -1},
        {{{"auth_key", "00112233445566778899aabbccddeeff"}},
         2,
         "DeviceIoControl (phase2) failed.",
         true,
         2},
        {{{"faults", {{"phase3_reply", "swapped_halves"}}}},
         2,
         "BlowfishDecipher failed.",
         true,
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.driver.dump());
        UseMachine(MachineWith(c.driver));
        CMiscCommon channel;
        EXPECT_EQ(channel.Initialize(), c.code);
        EXPECT_EQ(Narrow(channel.ErrorText()),
                  std::string("MiscCommon::CMiscCommon::_Initialize: ") + c.message);
        auto ex = Exchanges(kHandshakeCode);
        ASSERT_GE(ex.size(), 2u);
        if (c.restoredFrom >= 0) {
            EXPECT_EQ(GetLastError(), ex.at(c.restoredFrom).lastError);
        }
        auto ends = Exchanges(kEndSessionCode);
        if (c.ends) {
            ASSERT_EQ(ends.size(), 1u);
            EXPECT_EQ(ToHex(ends[0].in), ToHex(ex[1].out.data(), 4));
        } else {
            EXPECT_TRUE(ends.empty());
        }
        EXPECT_TRUE(channel.IsOpen());
        EXPECT_FALSE(channel.HasSession());
        EXPECT_TRUE(channel.IsEncrypted());
        EXPECT_EQ(channel.SessionId(), 0u);

        // Requests are refused without reaching the device.
        BYTE status = 0xEE;
        DWORD value = 0;
        EXPECT_EQ(channel.ReadIndexedSetting(&status, 58, &value), 2);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(status, 0xEE);
        DWORD count = 7;
        BYTE out[8];
        EXPECT_FALSE(channel.EncapsuledDeviceIoControl(kFirmwareCallCode, nullptr, 0, out,
                                                       sizeof(out), &count));
        EXPECT_EQ(Narrow(channel.ErrorText()), "MiscCommon::CMiscCommon::"
                                               "EncapsuledDeviceIoControl: Session Not "
                                               "Initialized.");
        EXPECT_TRUE(Exchanges(kCapsuleCode).empty());

        channel.CloseDriver(); // no session: nothing more to end
        EXPECT_EQ(Exchanges(kEndSessionCode).size(), c.ends ? 1u : 0u);
    }
}

// The driver's public value must lie strictly between 1 and p - 1. Values on the bound or outside
// it end the handshake before phase 3; values just inside it pass the check, and the handshake
// then fails only because the model's key no longer matches its public value.
TEST_F(HandshakeTest, DriverPublicValueMustLieInsideTheGroup) {
    BIGNUM* p = BN_get_rfc2409_prime_1024(nullptr);
    auto le = [&](int delta) {
        BIGNUM* v = BN_dup(p);
        if (delta < 0) {
            BN_sub_word(v, static_cast<BN_ULONG>(-delta));
        } else {
            BN_add_word(v, static_cast<BN_ULONG>(delta));
        }
        Bytes out(132);
        EXPECT_EQ(BN_bn2lebinpad(v, out.data(), static_cast<int>(out.size())), 132);
        BN_free(v);
        return ToHex(out);
    };
    struct Case {
        std::string value; // little-endian hex, as the phase-1 reply carries it
        bool inRange;
    } cases[] = {
        {"00", false},   {"01", false},  {"02", true},   {le(-2), true},
        {le(-1), false}, {le(0), false}, {le(1), false}, {std::string(264, 'f'), false},
    };
    BN_free(p);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        UseMachine(MachineWith({{"faults", {{"public_value", c.value}}}}));
        CMiscCommon channel;
        int code = channel.Initialize();
        auto ex = Exchanges(kHandshakeCode);
        ASSERT_GE(ex.size(), 3u);
        EXPECT_EQ(ToHex(Bytes(ex[1].out.begin() + 4, ex[1].out.begin() + 136)),
                  c.value + std::string(264 - c.value.size(), '0'));
        if (c.inRange) {
            EXPECT_EQ(code, 2);
            EXPECT_EQ(ex.size(), 4u); // phase 3 was sent
        } else {
            EXPECT_EQ(code, 6);
            EXPECT_EQ(Narrow(channel.ErrorText()), "MiscCommon::CMiscCommon::_Initialize: Key "
                                                   "Encryption Key calculation failed.");
            EXPECT_EQ(ex.size(), 3u); // phase 2 only: no key was sent
        }
        EXPECT_FALSE(channel.HasSession());
        EXPECT_EQ(Exchanges(kEndSessionCode).size(), 1u);
    }
}

} // namespace
} // namespace channel_test
