// The driver model's cryptography, all on OpenSSL's libcrypto: the channel's Blowfish (the
// standard cipher with the protocol's key schedule and little-endian block halves), SHA-1,
// HMAC-SHA1 and the 1024-bit MODP group (RFC 2409, Group 2) with generator 2.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <openssl/blowfish.h>

#include "simbook/machine.h"
#include "simbook/protocol.h"

namespace simbook {

// Blowfish as the channel uses it: keys are cut to 16 bytes and each key byte is sign-extended
// while the 18 subkey words are assembled; a block's halves are read little-endian from its
// 8 bytes (L from bytes 0..3, R from bytes 4..7).
class ChannelBlowfish {
public:
    ChannelBlowfish() = default;
    ~ChannelBlowfish();
    ChannelBlowfish(const ChannelBlowfish&) = delete;
    ChannelBlowfish& operator=(const ChannelBlowfish&) = delete;

    void SetKey(const uint8_t* key, size_t length);
    void Encipher(uint8_t* block) const; // 8 bytes, in place
    void Decipher(uint8_t* block) const;
    void EncipherHalves(uint32_t& left, uint32_t& right) const;
    void DecipherHalves(uint32_t& left, uint32_t& right) const;

private:
    BF_KEY key_{};
};

std::array<uint8_t, 20> Sha1(const uint8_t* data, size_t size);
std::array<uint8_t, 20> HmacSha1(const uint8_t* key, size_t keySize, const uint8_t* data,
                                 size_t size);

// Numbers travel as 33 little-endian 32-bit words (132 bytes).
constexpr size_t kDhBytes = protocol::kPublicValueSize;
static_assert(kDhBytes == kPublicValueBytes, "the machine file's public value has the wire's size");
using DhNumber = std::array<uint8_t, kDhBytes>;

// A key pair of the driver: a random exponent and 2^exponent mod p.
struct DhKeyPair {
    std::vector<uint8_t> secret; // little-endian exponent
    DhNumber publicValue{};
};
DhKeyPair MakeDhKeyPair();
// True when `value` is a usable peer public value: 1 < value < p - 1.
bool DhPublicValueValid(const DhNumber& value);
// peer^secret mod p.
DhNumber DhSharedSecret(const DhNumber& peer, const std::vector<uint8_t>& secret);
// 2^exponent mod p, exponent little-endian (for test clients).
DhNumber DhPow2(const std::vector<uint8_t>& exponent);

// Cryptographically random bytes.
void RandomBytes(uint8_t* out, size_t size);

} // namespace simbook
