// Finding runs of ASCII, eight bytes at a time. Text is mostly ASCII, and a
// run can be copied, widened or narrowed in a tight loop that the compiler
// vectorises, instead of being decoded one character at a time.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bitloom {

// Eight bytes at once. memcpy keeps the load legal at any alignment and
// compiles to a single move.
[[nodiscard]] inline std::uint64_t load8(const std::uint8_t* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// A word with the given bytes in memory order. Masks built this way test
// words read by load8 the same way on hosts of either byte order.
[[nodiscard]] constexpr std::uint64_t memory_order_mask(std::array<std::uint8_t, 8> bytes) noexcept {
    return std::bit_cast<std::uint64_t>(bytes);
}

// The bits that are clear in every ASCII byte.
inline constexpr std::uint64_t any_high_bit = 0x8080808080808080ULL;

// For eight bytes in a word, the top bit of every byte from 80 to 9F (the
// bytes that windows-1252 and ISO-8859-1 treat differently): top bit set, the
// next two clear. Shifted left by one and by two, the word brings each
// byte's bits 6 and 5 to that byte's top bit.
[[nodiscard]] constexpr std::uint64_t bytes_80_to_9f(std::uint64_t word) noexcept {
    return word & ~(word << 1) & ~(word << 2) & any_high_bit;
}

// How many code units of UnitBytes bytes each, from the start of `data`, are
// ASCII. `non_ascii_bits` holds, for eight bytes in memory order, the bits
// that are clear in every ASCII unit: any_high_bit for single bytes, the
// high byte and the top bit of the low byte for 16-bit units, and so on.
template <std::size_t UnitBytes>
[[nodiscard]] inline std::size_t ascii_unit_count(const std::uint8_t* data, std::size_t size,
                                                  std::uint64_t non_ascii_bits) noexcept {
    static_assert(8 % UnitBytes == 0);
    std::size_t i = 0;
    for (; size - i >= 8; i += 8) {
        const std::uint64_t hits = load8(data + i) & non_ascii_bits;
        if (hits != 0) {
            if constexpr (std::endian::native == std::endian::little) {
                // The lowest set bit lies in the first byte that is not ASCII.
                return (i + static_cast<std::size_t>(std::countr_zero(hits)) / 8) / UnitBytes;
            }
            break;  // other hosts find the unit below
        }
    }
    for (; size - i >= UnitBytes; i += UnitBytes) {
        std::uint64_t unit = 0;
        std::memcpy(&unit, data + i, UnitBytes);  // memory order, like the mask
        if ((unit & non_ascii_bits) != 0) break;
    }
    return i / UnitBytes;
}

}  // namespace bitloom
