#include "encoder/ieee754.hpp"

#include <bit>

namespace bitloom {

// Narrowing works on the binary32 pattern with integer arithmetic only, so the
// result does not depend on the platform's float conversions or rounding mode.
std::uint16_t encode_ieee754_f16(float value) noexcept {
    const auto x = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t exponent = x & 0x7F800000U;  // left in place
    const std::uint32_t fraction = x & 0x007FFFFFU;
    const std::uint32_t sign = (x >> 16) & 0x8000U;

    if (exponent == 0x7F800000U) {
        // Infinity, or a NaN that keeps its top ten fraction bits. The quiet
        // bit is forced so that a NaN whose payload lives only in the dropped
        // low bits does not turn into an infinity.
        const std::uint32_t quiet = fraction != 0 ? 0x0200U : 0U;
        return static_cast<std::uint16_t>(sign | 0x7C00U | (fraction >> 13) | quiet);
    }
    if (exponent > 0x47000000U) {
        // 2^16 or more: beyond anything that can round to a finite binary16.
        return static_cast<std::uint16_t>(sign | 0x7C00U);
    }
    if (exponent >= 0x38800000U) {
        // Normal range (2^-14 and up). Adding 0x4000 modulo 2^16 moves the
        // exponent bias from 127 to 15.
        std::uint32_t h = (((exponent >> 13) + (fraction >> 13) + 0x4000U) & 0xFFFFU) | sign;
        // Round to nearest, ties to even: bit 12 is the first dropped bit,
        // bits 0-11 make it more than half, bit 13 is the lowest kept bit.
        // A carry may run into the exponent, up to the infinity 0x7C00.
        if ((x & 0x1000U) != 0 && (x & 0x2FFFU) != 0) ++h;
        return static_cast<std::uint16_t>(h);
    }
    if (exponent < 0x33000000U) {
        // Below 2^-25: even the smallest subnormal is more than twice as big.
        return static_cast<std::uint16_t>(sign);
    }
    // Subnormal range: shift the significand, hidden bit made explicit, so
    // that 2^-24 lands on bit 0, then round to nearest, ties to even. The
    // mask takes the bits below the round bit plus the lowest kept bit.
    const std::uint32_t biased = exponent >> 23;  // 102 … 112
    const std::uint32_t significand = fraction | 0x00800000U;
    const std::uint32_t shift = 126U - biased;  // 14 … 24
    const std::uint32_t round_bit = shift - 1U;
    std::uint32_t h = significand >> shift;
    if (((significand >> round_bit) & 1U) != 0 && (significand & ((3U << round_bit) - 1U)) != 0) ++h;
    // A carry into bit 10 yields the smallest normal number, as it should.
    return static_cast<std::uint16_t>(sign | h);
}

}  // namespace bitloom
