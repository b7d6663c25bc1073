// Decoding of sign-magnitude, ones' and two's complement raw values. The
// decoders never fail: every width is given a meaning (the sign bit is bit
// (bits - 1) mod 64, and widths of 64 or more read all 64 bits).
#pragma once

#include <cstdint>

#include "common/numbers.hpp"

namespace bitloom {

[[nodiscard]] constexpr std::int64_t decode_sign_magnitude(std::uint64_t value, std::uint32_t bits) noexcept {
    const std::uint32_t s = sign_bit_index(bits);
    const std::uint64_t magnitude = value & ((std::uint64_t{1} << s) - 1U);
    const bool negative = (value >> s) & 1U;
    return negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

[[nodiscard]] constexpr std::int64_t decode_ones_complement(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits >= 64) {
        // All ones is minus zero; adding one (wrapping) folds it onto 0.
        return static_cast<std::int64_t>(value >> 63 ? value + 1U : value);
    }
    const std::uint32_t s = sign_bit_index(bits);
    if (((value >> s) & 1U) == 0) return static_cast<std::int64_t>(value);
    // value - 2^bits + 1, modulo 2^64: bits above the width are kept.
    return static_cast<std::int64_t>(value - (std::uint64_t{1} << bits) + 1U);
}

[[nodiscard]] constexpr std::int64_t decode_twos_complement(std::uint64_t value, std::uint32_t bits) noexcept {
    // The width tests are the same for every value of a field; the sign is
    // not, so nothing below branches on it.
    if (bits >= 64) return static_cast<std::int64_t>(value);
    // A width of 0 reads bit 63 as its sign, and a set sign gives 0.
    if (bits == 0) return static_cast<std::int64_t>(value & ((value >> 63) - 1U));
    // The low `bits` bits sign-extended, -((2^64 - value) mod 2^bits) when
    // the sign is set, with the bits above the width put back: a set sign
    // has made them all ones already, and a clear sign keeps the value as it
    // stands.
    const std::uint32_t up = 64U - bits;
    const auto extended = static_cast<std::uint64_t>(static_cast<std::int64_t>(value << up) >> up);
    return static_cast<std::int64_t>(extended | (value >> bits << bits));
}

}  // namespace bitloom
