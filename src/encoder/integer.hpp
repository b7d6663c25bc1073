// Signed-integer representations (sign-magnitude, ones' and two's
// complement) and the byte form of a numeric field.
#pragma once

#include <cstdint>

#include "../error.hpp"

namespace bitloom {

// Each returns the raw value: the field's bits right-aligned in 64 bits.
[[nodiscard]] Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits);
[[nodiscard]] Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits);
[[nodiscard]] Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits);

// Mirrors the low `bits` bits of `value` (bit i moves to bit bits-1-i) and
// drops everything above them. Widths of 64 or more mirror all 64 bits into
// the top of a `bits`-wide field, so only widths up to 64 are meaningful here.
[[nodiscard]] constexpr std::uint64_t mirror_bits(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    std::uint64_t r = value;
    r = ((r >> 1) & 0x5555555555555555ULL) | ((r & 0x5555555555555555ULL) << 1);
    r = ((r >> 2) & 0x3333333333333333ULL) | ((r & 0x3333333333333333ULL) << 2);
    r = ((r >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((r & 0x0F0F0F0F0F0F0F0FULL) << 4);
    r = ((r >> 8) & 0x00FF00FF00FF00FFULL) | ((r & 0x00FF00FF00FF00FFULL) << 8);
    r = ((r >> 16) & 0x0000FFFF0000FFFFULL) | ((r & 0x0000FFFF0000FFFFULL) << 16);
    r = (r >> 32) | (r << 32);
    return bits >= 64 ? r : r >> (64 - bits);
}

// The field's byte form: ceil(bits / 8) bytes, most significant first, with
// the (optionally mirrored) value right-aligned. Bytes beyond the value's 64
// bits are zero; for a mirrored field wider than 64 bits the value's bit i
// lands at field bit bits-1-i and everything below is zero.
[[nodiscard]] std::string encode_integer_to_bytes(std::uint64_t value, std::uint32_t bits, bool reverse_bits);

}  // namespace bitloom
