// Blowfish (16 rounds, 64-bit blocks) with the channel's key schedule: keys are cut to 16 bytes
// and key bytes are sign-extended. A block is two native 32-bit halves.
#pragma once

#include <cstdint>

struct BlowfishContext {
    uint32_t P[18];
    uint32_t S[4 * 256]; // the four S-boxes, one after the other
};
static_assert(sizeof(BlowfishContext) == 4168, "the channel allocates 4168-byte contexts");

bool BlowfishInitialize(BlowfishContext* context, const uint8_t* key, uint32_t keyLength);
bool BlowfishEncipher(const BlowfishContext* context, uint32_t* left, uint32_t* right);
bool BlowfishDecipher(const BlowfishContext* context, uint32_t* left, uint32_t* right);
uint32_t BlowfishF(const BlowfishContext* context, uint32_t x);
