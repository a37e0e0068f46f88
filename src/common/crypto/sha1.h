// SHA-1 (FIPS 180-1) and HMAC-SHA1 (RFC 2104). Every operation ignores a null context.
#pragma once

#include <cstdint>

struct Sha1Context {
    uint32_t state[5];     // chaining value H0..H4
    uint32_t bit_count[2]; // bits hashed so far: low word, then high word
    uint8_t block[64];     // bytes not yet compressed
    uint8_t digest[20];    // result of the last Sha1Finalize
    uint32_t schedule[16]; // compression scratch
};

void Sha1Initialize(Sha1Context* context);
void Sha1Update(Sha1Context* context, const uint8_t* data, uint32_t length);
void Sha1Finalize(Sha1Context* context);
void Sha1GetDigest(Sha1Context* context, uint8_t* digest);
void Sha1Transform(Sha1Context* context, uint32_t state[5], const uint8_t block[64]);
void HmacSha1(Sha1Context* context, const uint8_t* key, uint32_t keyLength, const uint8_t* data,
              uint32_t dataLength, uint8_t* output);
