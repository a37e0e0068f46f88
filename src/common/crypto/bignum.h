// Fixed-capacity signed multi-precision integers and modular exponentiation for the channel's
// Diffie-Hellman over the RFC 2409 Second Oakley Group prime. Values are held by value in 70
// words of storage, at most 67 of them in use; nothing allocates. Unless stated otherwise a
// result argument may be the same object as an operand.
#pragma once

#include <cstdint>

constexpr uint32_t BIGNUM_MAX_WORDS = 67;
constexpr uint32_t BIGNUM_STORAGE_WORDS = 70;

struct bignum {
    uint32_t count;                       // words in use, 1 to 67
    int32_t bits;                         // signed bit length, kept consistent with the words
    uint32_t words[BIGNUM_STORAGE_WORDS]; // two's complement, least significant word first
};

// The 1024-bit prime of RFC 2409 section 6.2, least significant word first, followed by one
// zero word so that it reads as positive.
constexpr uint32_t OAKLEY_GROUP2_PRIME_WORDS = 33;
extern const uint32_t oakley_group2_prime[OAKLEY_GROUP2_PRIME_WORDS];

void bignum_from_words(bignum& result, const uint32_t* words, uint32_t n);
void bignum_copy(bignum& destination, const bignum& source);
void bignum_resize(bignum& number, uint32_t n);
void bignum_normalize(bignum& number);
uint32_t bignum_used_words(const bignum& number);
void bignum_negate(bignum& number);
void bignum_shl1(bignum& number);
void bignum_shl_words(bignum& number, uint32_t n);
int bignum_compare(const bignum& a, const bignum& b);
void bignum_add(const bignum& a, const bignum& b, bignum& sum);
void bignum_sub(const bignum& a, const bignum& b, bignum& difference);
void bignum_mul(const bignum& a, const bignum& b, bignum& product);
void bignum_divmod(const bignum& a, const bignum& d, bignum& q, bignum& r);
void bignum_powmod(const bignum& base, const bignum& exponent, const bignum& modulus,
                   bignum& result);

// Word-array forms: false (nothing written) for a null array, an array longer than
// BIGNUM_MAX_WORDS, a modulus of more than 1071 bits (the squares of its residues, with their
// sign bit, must fit BIGNUM_MAX_WORDS words) or a result larger than outCap.
bool powmod(uint32_t* out, uint32_t outCap, const uint32_t* base, uint32_t baseCount,
            const uint32_t* exponent, uint32_t exponentCount, const uint32_t* modulus,
            uint32_t modulusCount);
bool pow2mod(uint32_t* out, uint32_t outCap, const uint32_t* exponent, uint32_t exponentCount,
             const uint32_t* modulus, uint32_t modulusCount);
