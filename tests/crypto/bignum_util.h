// Test helpers: bignum values from and to signed hexadecimal text ("-1f", "0", "ffffffff").
#pragma once

#include "common/crypto/bignum.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bn {

// Magnitude words of a hexadecimal text, least significant first, with one zero word on top
// so that the words read as a positive value.
inline std::vector<uint32_t> magnitude_words(const std::string& digits) {
    std::vector<uint32_t> words;
    for (size_t end = digits.size(); end > 0;) {
        const size_t begin = end >= 8 ? end - 8 : 0;
        words.push_back(uint32_t(std::stoul(digits.substr(begin, end - begin), nullptr, 16)));
        end = begin;
    }
    words.push_back(0);
    return words;
}

inline bignum from_hex(const std::string& text) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::vector<uint32_t> words = magnitude_words(negative ? text.substr(1) : text);
    bignum x;
    bignum_from_words(x, words.data(), uint32_t(words.size()));
    if (negative) {
        bignum_negate(x);
    }
    return x;
}

inline std::string to_hex(const bignum& value) {
    bignum x;
    bignum_copy(x, value);
    std::string sign;
    if (x.bits < 0) {
        sign = "-";
        bignum_negate(x);
    }
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint32_t i = x.count; i-- > 0;) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            s += digits[(x.words[i] >> shift) & 15];
        }
    }
    const size_t first = s.find_first_not_of('0');
    return first == std::string::npos ? "0" : sign + s.substr(first);
}

// The representation rules every operation must leave behind: count within 1..67, bits equal to
// what the words give, zero held as one zero word.
inline std::string check_invariants(const bignum& x) {
    if (x.count < 1 || x.count > BIGNUM_MAX_WORDS) {
        return "count out of range: " + std::to_string(x.count);
    }
    bignum y;
    bignum_copy(y, x);
    bignum_normalize(y);
    if (y.bits != x.bits) {
        return "bits " + std::to_string(x.bits) + " but the words give " + std::to_string(y.bits);
    }
    if (x.bits == 0 && (x.count != 1 || x.words[0] != 0)) {
        return "zero not held as one zero word";
    }
    if (bignum_used_words(x) > x.count) {
        return "count below the minimal word count";
    }
    return "";
}

} // namespace bn
