#include "decoder/ieee754.hpp"

#include <bit>

namespace bitloom {

namespace {

// Widening binary16 to binary32 is exact: every binary16 value, subnormals
// included, is a normal binary32 number. Built on the bit pattern so that NaN
// payloads are kept as they are.
constexpr std::uint32_t binary16_to_binary32(std::uint16_t h) noexcept {
    if ((h & 0x7FFFU) == 0) return std::uint32_t{h} << 16;  // signed zero

    const std::uint32_t sign = std::uint32_t{h & 0x8000U} << 16;
    const std::uint32_t exponent = h & 0x7C00U;
    const std::uint32_t fraction = h & 0x03FFU;

    if (exponent == 0x7C00U) {
        if (fraction == 0) return sign | 0x7F800000U;
        return sign | 0x7FC00000U | (fraction << 13);  // quiet, payload kept
    }
    if (exponent == 0) {
        // Subnormal: fraction × 2^-24. With its leading one at bit 15 - c the
        // value is 2^(-9-c) × 1.xxx; 0x3B000000 is the exponent field of 2^-9,
        // and shifting by c + 8 moves the leading one onto the hidden bit.
        const auto c = static_cast<std::uint32_t>(std::countl_zero(fraction)) - 16U;
        return ((sign | 0x3B000000U) - (c << 23)) | ((fraction << (c + 8U)) & 0x007FFFFFU);
    }
    // Normal: bias 15 becomes bias 127.
    return (((exponent >> 10) + 0x70U) << 23) | (fraction << 13) | sign;
}

}  // namespace

double decode_ieee754_f16(std::uint64_t value) noexcept {
    return std::bit_cast<float>(binary16_to_binary32(static_cast<std::uint16_t>(value)));
}

// The result is assembled as a binary64 pattern: binary128 values that are
// normal binary64 numbers keep the top 52 fraction bits (the rest is cut off,
// which truncates toward zero); smaller ones flush to a signed zero instead of
// becoming binary64 subnormals, larger ones become infinities.
double decode_ieee754_f128(U128 value) noexcept {
    constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
    constexpr std::uint32_t kMaxExponent = 0x7FFF;
    constexpr std::uint32_t kLowestNormal64 = 16383 - 1022;   // 15361
    constexpr std::uint32_t kHighestNormal64 = 16383 + 1023;  // 17406
    constexpr std::uint64_t kInfinity = 0x7FF0000000000000U;
    constexpr std::uint64_t kQuietNaN = 0x7FF8000000000000U;

    const std::uint64_t sign = value.hi & kSignBit;
    const auto exponent = static_cast<std::uint32_t>((value.hi >> 48) & kMaxExponent);
    const std::uint64_t fraction_hi = value.hi & 0x0000FFFFFFFFFFFFU;  // fraction bits 111 … 64

    std::uint64_t bits;
    if (exponent == kMaxExponent) {
        // NaNs lose both their payload and their sign.
        bits = (fraction_hi | value.lo) == 0 ? sign | kInfinity : kQuietNaN;
    } else if (exponent > kHighestNormal64) {
        bits = sign | kInfinity;
    } else if (exponent < kLowestNormal64) {
        bits = sign;  // zero, binary128 subnormals and everything below 2^-1022
    } else {
        const std::uint64_t fraction = (fraction_hi << 4) | (value.lo >> 60);
        const std::uint64_t biased = exponent - kLowestNormal64 + 1U;  // 1 … 2046
        bits = sign | (biased << 52) | fraction;
    }
    return std::bit_cast<double>(bits);
}

}  // namespace bitloom
