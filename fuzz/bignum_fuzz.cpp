// Fuzz target: the channel's multi-precision arithmetic against OpenSSL's BIGNUM.
//
// Input: [operation][words of each operand...][operand words, little-endian]; operands of up to
// BIGNUM_MAX_WORDS words, exponents of up to 8. Operations:
//   0  powmod(base, exponent, modulus) == BN_mod_exp, the base taken as a signed value and
//      reduced into [0, |modulus|), the exponent as a non-negative value (x^0 is 1, as the
//      library defines it, even modulo 1);
//   1  pow2mod(exponent, modulus) == BN_mod_exp(2, ...), and pow2mod(e1) * pow2mod(e2) reduced
//      equals pow2mod(e1 + e2);
//   2  bignum_divmod(x, y) == BN_div for signed values (truncating division), and
//      q * y + r == x with |r| < |y| and r of x's sign.
// Operands that break the functions' stated preconditions (a zero modulus or divisor) are
// skipped; everything else they accept must give OpenSSL's answer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <openssl/bn.h>

#include "common/crypto/bignum.h"
#include "platform/win32.h"

// The arithmetic raises an exception where it cannot go on; here that is a finding, which the
// fuzzer keeps, so the process aborts.
extern "C" VOID WINAPI RaiseException(DWORD dwExceptionCode, DWORD, DWORD, const ULONG_PTR*) {
    std::fprintf(stderr, "bignum fuzz: exception 0x%08X raised\n",
                 static_cast<unsigned>(dwExceptionCode));
    std::abort();
}

namespace {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

BN_CTX* Context() {
    static const std::unique_ptr<BN_CTX, CtxFree> context(BN_CTX_new());
    return context.get();
}

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "bignum fuzz: %s\n", what);
        std::abort();
    }
}

Bn NewBn() {
    Bn b(BN_new());
    Check(b != nullptr, "out of memory");
    return b;
}

// The value of `n` words, little-endian; two's complement when `signedWords`.
Bn FromWords(const uint32_t* words, uint32_t n, bool signedWords) {
    std::vector<uint8_t> bytes(4 * static_cast<size_t>(n));
    for (uint32_t i = 0; i < n; ++i) {
        for (int k = 0; k < 4; ++k) {
            bytes[4 * i + static_cast<uint32_t>(k)] = static_cast<uint8_t>(words[i] >> (8 * k));
        }
    }
    Bn value = NewBn();
    Check(BN_lebin2bn(bytes.data(), static_cast<int>(bytes.size()), value.get()) != nullptr,
          "BN_lebin2bn failed");
    if (signedWords && n != 0 && (words[n - 1] >> 31) != 0) {
        // value - 2^(32 n)
        Bn power = NewBn();
        Check(BN_set_bit(power.get(), static_cast<int>(32 * n)) == 1 &&
                  BN_sub(value.get(), value.get(), power.get()) == 1,
              "BN arithmetic failed");
    }
    return value;
}

Bn FromBignum(const bignum& x) {
    return FromWords(x.words, x.count, true);
}

bool Equal(const BIGNUM* a, const BIGNUM* b) {
    return BN_cmp(a, b) == 0;
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::vector<uint32_t> Words(uint32_t n) {
        std::vector<uint32_t> words(n);
        for (uint32_t& w : words) {
            for (int k = 0; k < 4; ++k) {
                w |= static_cast<uint32_t>(Byte()) << (8 * k);
            }
        }
        return words;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A word count the functions accept: 0 to BIGNUM_MAX_WORDS.
uint32_t Count(Input& in) {
    return in.Byte() % (BIGNUM_MAX_WORDS + 1);
}

// An exponent read as non-negative: a zero word on top when its top bit is set and there is
// room for one.
std::vector<uint32_t> NonNegative(std::vector<uint32_t> words) {
    if (!words.empty() && (words.back() >> 31) != 0) {
        if (words.size() < BIGNUM_MAX_WORDS) {
            words.push_back(0);
        } else {
            words.back() &= 0x7FFFFFFFu;
        }
    }
    return words;
}

bool IsZero(const std::vector<uint32_t>& words) {
    for (uint32_t w : words) {
        if (w != 0) {
            return false;
        }
    }
    return true;
}

// The product's powmod and OpenSSL's answer for the same operands; false when the product
// refused them (then nothing is compared).
bool PowMod(const std::vector<uint32_t>& base, const std::vector<uint32_t>& exponent,
            const std::vector<uint32_t>& modulus, Bn& result, bool two) {
    std::vector<uint32_t> out(BIGNUM_STORAGE_WORDS, 0xA5A5A5A5u);
    const auto outCap = static_cast<uint32_t>(modulus.size() + 1);
    const bool ok =
        two ? pow2mod(out.data(), outCap, exponent.data(), static_cast<uint32_t>(exponent.size()),
                      modulus.data(), static_cast<uint32_t>(modulus.size()))
            : powmod(out.data(), outCap, base.data(), static_cast<uint32_t>(base.size()),
                     exponent.data(), static_cast<uint32_t>(exponent.size()), modulus.data(),
                     static_cast<uint32_t>(modulus.size()));
    if (!ok) {
        return false;
    }
    // The words written are the result's used words (at least one), with its sign bit clear.
    uint32_t used = outCap;
    while (used > 1 && out[used - 1] == 0xA5A5A5A5u) {
        --used;
    }
    result = FromWords(out.data(), used, false);
    return true;
}

Bn Reference(const Bn& base, const std::vector<uint32_t>& exponent, const Bn& modulus) {
    Bn e = FromWords(exponent.data(), static_cast<uint32_t>(exponent.size()), false);
    Bn m = NewBn();
    Check(BN_copy(m.get(), modulus.get()) != nullptr, "BN_copy failed");
    BN_set_negative(m.get(), 0);
    Bn b = NewBn();
    Bn r = NewBn();
    Check(BN_nnmod(b.get(), base.get(), m.get(), Context()) == 1 &&
              BN_mod_exp(r.get(), b.get(), e.get(), m.get(), Context()) == 1,
          "BN_mod_exp failed");
    if (BN_is_zero(e.get())) {
        BN_one(r.get()); // the library's convention: x^0 is 1 whatever the modulus, 1 included
    }
    return r;
}

void CheckPowMod(Input& in, bool two) {
    const uint32_t nb = Count(in);
    // Exponents of up to 8 words (the handshake's has 4) keep a run fast enough to explore.
    const uint32_t ne = in.Byte() % 9u;
    const uint32_t nm = Count(in);
    const std::vector<uint32_t> base = two ? std::vector<uint32_t>{2} : in.Words(nb);
    const std::vector<uint32_t> exponent = NonNegative(in.Words(ne));
    const std::vector<uint32_t> modulus = in.Words(nm);
    if (IsZero(modulus)) {
        return; // division by zero is the caller's fault: the functions raise an exception
    }
    const Bn m = FromWords(modulus.data(), nm, true);
    Bn result;
    if (!PowMod(base, exponent, modulus, result, two)) {
        return;
    }
    const Bn b = FromWords(base.data(), static_cast<uint32_t>(base.size()), true);
    Check(Equal(result.get(), Reference(b, exponent, m).get()), "powmod differs from BN_mod_exp");
    if (!two) {
        return;
    }
    // 2^e1 * 2^e2 = 2^(e1 + e2): the exponent split in two halves of its words.
    const size_t half = exponent.size() / 2;
    std::vector<uint32_t> e1(exponent.begin(), exponent.begin() + static_cast<long>(half));
    if (e1.empty()) {
        e1.push_back(0); // an empty array is refused as a null one
    }
    const std::vector<uint32_t> e2 = NonNegative(
        std::vector<uint32_t>(exponent.begin() + static_cast<long>(half), exponent.end()));
    Bn r1;
    Bn r2;
    if (!PowMod(base, NonNegative(e1), modulus, r1, true) || !PowMod(base, e2, modulus, r2, true)) {
        Check(false, "pow2mod refused a part of an exponent it accepted whole");
    }
    // e = e1 + e2 * 2^(32 half), so 2^e = 2^e1 * (2^e2)^(2^(32 half)).
    Bn abs = NewBn();
    Check(BN_copy(abs.get(), m.get()) != nullptr, "BN_copy failed");
    BN_set_negative(abs.get(), 0);
    Bn shift = NewBn();
    Bn lifted = NewBn();
    Bn product = NewBn();
    Check(BN_set_bit(shift.get(), static_cast<int>(32 * half)) == 1 &&
              BN_mod_exp(lifted.get(), r2.get(), shift.get(), abs.get(), Context()) == 1 &&
              BN_mod_mul(product.get(), r1.get(), lifted.get(), abs.get(), Context()) == 1,
          "BN arithmetic failed");
    Check(Equal(product.get(), result.get()),
          "pow2mod of an exponent differs from the product of its parts");
}

void CheckDivMod(Input& in) {
    const uint32_t nx = Count(in);
    const uint32_t ny = Count(in);
    const std::vector<uint32_t> xw = in.Words(nx);
    const std::vector<uint32_t> yw = in.Words(ny);
    if (IsZero(yw)) {
        return;
    }
    bignum x;
    bignum y;
    bignum q;
    bignum r;
    bignum_from_words(x, xw.data(), nx);
    bignum_from_words(y, yw.data(), ny);
    bignum_divmod(x, y, q, r);

    const Bn bx = FromBignum(x);
    const Bn by = FromBignum(y);
    const Bn bq = FromBignum(q);
    const Bn br = FromBignum(r);
    Check(Equal(bx.get(), FromWords(xw.data(), nx, true).get()), "bignum_from_words lost value");
    Bn eq = NewBn();
    Bn er = NewBn();
    Check(BN_div(eq.get(), er.get(), bx.get(), by.get(), Context()) == 1, "BN_div failed");
    Check(Equal(bq.get(), eq.get()) && Equal(br.get(), er.get()),
          "bignum_divmod differs from BN_div");
    Bn back = NewBn();
    Check(BN_mul(back.get(), bq.get(), by.get(), Context()) == 1 &&
              BN_add(back.get(), back.get(), br.get()) == 1,
          "BN arithmetic failed");
    Check(Equal(back.get(), bx.get()), "q * y + r differs from x");
    Check(BN_ucmp(br.get(), by.get()) < 0, "|r| is not below |y|");
    Check(BN_is_zero(br.get()) || BN_is_negative(br.get()) == BN_is_negative(bx.get()),
          "r does not take x's sign");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    switch (in.Byte() % 3) {
    case 0:
        CheckPowMod(in, false);
        break;
    case 1:
        CheckPowMod(in, true);
        break;
    default:
        CheckDivMod(in);
        break;
    }
    return 0;
}
