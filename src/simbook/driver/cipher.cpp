// OpenSSL-backed cryptography of the driver model.
//
// The channel's key schedule differs from the standard one only in how the 18 words XORed into
// P are built (16-byte key limit, sign-extended bytes). The standard schedule with a 72-byte key
// XORs the key's 18 big-endian words into P, so handing BF_set_key those 18 words as a 72-byte
// key gives exactly the channel's schedule; the rest (the 521 encipherments) is the same.
#include "simbook/driver/cipher.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include "simbook/bytes.h"

namespace simbook {

ChannelBlowfish::~ChannelBlowfish() {
    OPENSSL_cleanse(&key_, sizeof key_);
}

void ChannelBlowfish::SetKey(const uint8_t* key, size_t length) {
    if (length > 16) {
        length = 16;
    }
    uint8_t words[72];
    size_t j = 0;
    for (int i = 0; i < 18; ++i) {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            // The protocol's key schedule sign-extends each key byte on purpose.
            // NOLINTNEXTLINE(bugprone-signed-char-misuse)
            int32_t b = static_cast<int8_t>(key[j]);
            v = (v << 8) | static_cast<uint32_t>(b);
            ++j;
            if (j >= length) {
                j = 0;
            }
        }
        StoreBe32(words + 4 * i, v);
    }
    BF_set_key(&key_, 72, words);
    OPENSSL_cleanse(words, sizeof words);
}

void ChannelBlowfish::EncipherHalves(uint32_t& left, uint32_t& right) const {
    BF_LONG data[2] = {left, right};
    BF_encrypt(data, &key_);
    left = static_cast<uint32_t>(data[0]);
    right = static_cast<uint32_t>(data[1]);
}

void ChannelBlowfish::DecipherHalves(uint32_t& left, uint32_t& right) const {
    BF_LONG data[2] = {left, right};
    BF_decrypt(data, &key_);
    left = static_cast<uint32_t>(data[0]);
    right = static_cast<uint32_t>(data[1]);
}

void ChannelBlowfish::Encipher(uint8_t* block) const {
    uint32_t l = LoadLe32(block);
    uint32_t r = LoadLe32(block + 4);
    EncipherHalves(l, r);
    StoreLe32(block, l);
    StoreLe32(block + 4, r);
}

void ChannelBlowfish::Decipher(uint8_t* block) const {
    uint32_t l = LoadLe32(block);
    uint32_t r = LoadLe32(block + 4);
    DecipherHalves(l, r);
    StoreLe32(block, l);
    StoreLe32(block + 4, r);
}

std::array<uint8_t, 20> Sha1(const uint8_t* data, size_t size) {
    std::array<uint8_t, 20> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha1(), nullptr) != 1) {
        throw std::runtime_error("SHA-1 failed");
    }
    return digest;
}

std::array<uint8_t, 20> HmacSha1(const uint8_t* key, size_t keySize, const uint8_t* data,
                                 size_t size) {
    std::array<uint8_t, 20> mac{};
    unsigned int length = 0;
    if (HMAC(EVP_sha1(), key, static_cast<int>(keySize), data, size, mac.data(), &length) ==
        nullptr) {
        throw std::runtime_error("HMAC-SHA1 failed");
    }
    return mac;
}

namespace {

struct BnDeleter {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct CtxDeleter {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;
using Ctx = std::unique_ptr<BN_CTX, CtxDeleter>;

Bn Check(BIGNUM* b) {
    if (b == nullptr) {
        throw std::runtime_error("BIGNUM allocation failed");
    }
    return Bn(b);
}

const BIGNUM* Prime() {
    static const BIGNUM* prime = BN_get_rfc2409_prime_1024(nullptr);
    if (prime == nullptr) {
        throw std::runtime_error("no MODP group");
    }
    return prime;
}

DhNumber ToNumber(const BIGNUM* b) {
    DhNumber out{};
    if (BN_bn2lebinpad(b, out.data(), static_cast<int>(out.size())) < 0) {
        throw std::runtime_error("number too large");
    }
    return out;
}

Bn ModExp(const BIGNUM* base, const std::vector<uint8_t>& exponent) {
    Ctx ctx(BN_CTX_new());
    Bn e = Check(BN_lebin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    Bn r = Check(BN_new());
    if (!ctx || BN_mod_exp(r.get(), base, e.get(), Prime(), ctx.get()) != 1) {
        throw std::runtime_error("modular exponentiation failed");
    }
    return r;
}

} // namespace

DhNumber DhPow2(const std::vector<uint8_t>& exponent) {
    Bn two = Check(BN_new());
    BN_set_word(two.get(), 2);
    return ToNumber(ModExp(two.get(), exponent).get());
}

DhKeyPair MakeDhKeyPair() {
    DhKeyPair pair;
    pair.secret.resize(32); // a 256-bit exponent
    RandomBytes(pair.secret.data(), pair.secret.size());
    pair.publicValue = DhPow2(pair.secret);
    return pair;
}

bool DhPublicValueValid(const DhNumber& value) {
    Bn v = Check(BN_lebin2bn(value.data(), static_cast<int>(value.size()), nullptr));
    Bn pMinus1 = Check(BN_dup(Prime()));
    BN_sub_word(pMinus1.get(), 1);
    return BN_cmp(v.get(), BN_value_one()) > 0 && BN_cmp(v.get(), pMinus1.get()) < 0;
}

DhNumber DhSharedSecret(const DhNumber& peer, const std::vector<uint8_t>& secret) {
    Bn base = Check(BN_lebin2bn(peer.data(), static_cast<int>(peer.size()), nullptr));
    return ToNumber(ModExp(base.get(), secret).get());
}

void RandomBytes(uint8_t* out, size_t size) {
    if (RAND_bytes(out, static_cast<int>(size)) != 1) {
        throw std::runtime_error("no random bytes");
    }
}

} // namespace simbook
