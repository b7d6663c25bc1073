// Numeric helpers shared by the encoders and the decoders: the 128-bit
// pattern, magnitudes, what a 64-bit raw value holds, and bit mirroring.
#pragma once

#include <cstdint>
#include <span>

namespace bitloom {

using ByteSpan = std::span<const std::uint8_t>;

// A 128-bit pattern as two 64-bit halves.
struct U128 {
    std::uint64_t lo;
    std::uint64_t hi;
};

// |value| as an unsigned number; |INT64_MIN| is 2^63.
[[nodiscard]] constexpr std::uint64_t magnitude_of(std::int64_t value) noexcept {
    const auto u = static_cast<std::uint64_t>(value);
    return value < 0 ? 0U - u : u;
}

// How many BCD positions a 64-bit raw value holds: 16 nibbles, 8 bytes.
inline constexpr std::uint32_t nibbles_in_raw = 16;
inline constexpr std::uint32_t bytes_in_raw = 8;

// The sign bit of a signed representation `bits` wide: bit (bits - 1) mod 64.
[[nodiscard]] constexpr std::uint32_t sign_bit_index(std::uint32_t bits) noexcept { return (bits - 1U) & 63U; }

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

}  // namespace bitloom
