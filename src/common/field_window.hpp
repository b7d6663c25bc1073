// Reading a field out of a packet: the decoder works on whole bytes. A field
// occupies the bytes from the one holding its first bit, (bits + 7) / 8 of
// them, and its value is the low-order `bits` bits of those bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "common/numbers.hpp"

namespace bitloom {

// The bytes a field is read from: start byte position / 8 and (bits + 7) / 8
// bytes, both in 32-bit arithmetic as positions are. `fits` says whether they
// all lie inside the packet; only then may the window be read.
struct FieldWindow {
    std::uint64_t start;
    std::uint64_t count;
    bool fits;
};

[[nodiscard]] constexpr FieldWindow field_window(std::uint32_t position, std::uint32_t bits,
                                                 std::size_t packet_size) noexcept {
    const std::uint64_t start = position / 8U;
    const std::uint64_t count = static_cast<std::uint32_t>(bits + 7U) / 8U;
    return {start, count, start + count <= packet_size};
}

// The big-endian value of the first (up to) 8 bytes of the field's span. For
// a little-endian field the span is the window reversed, so this reads the
// window's last 8 bytes, least significant first.
[[nodiscard]] inline std::uint64_t assemble_value(std::span<const std::uint8_t> window, bool little) noexcept {
    const std::size_t n = window.size();
    const std::size_t used = n < 8 ? n : 8;
    std::uint64_t a = 0;
    if (!little) {
        for (std::size_t i = 0; i < used; ++i) a = (a << 8) | window[i];
    } else {
        for (std::size_t i = 0; i < used; ++i) a = (a << 8) | window[n - 1 - i];
    }
    return a;
}

// assemble_value for a window that fits inside `packet`: the same value,
// read with one 8-byte load where the packet has 8 bytes from the window's
// start (the bytes past the window are shifted out).
[[nodiscard]] inline std::uint64_t assemble_field(std::span<const std::uint8_t> packet, const FieldWindow& w,
                                                  bool little) noexcept {
    const std::size_t n = w.count;
    if (n == 0 || n > 8 || w.start + 8 > packet.size()) return assemble_value(packet.subspan(w.start, n), little);
    std::uint64_t word;
    std::memcpy(&word, packet.data() + w.start, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    // `word` holds the 8 bytes little-endian: byte i of the window at bits 8i.
    const unsigned unused = 64U - 8U * static_cast<unsigned>(n);
    if (little) return (word << unused) >> unused;
    return std::byteswap(word) >> unused;
}

// The field's raw value from the assembled value. Mirroring maps bit i to bit
// bits-1-i with both indices taken modulo 64, so for widths of 64 or more
// every bit r lands at (bits - 1 - r) mod 64: a 64-bit mirror rotated left by
// bits mod 64.
[[nodiscard]] inline std::uint64_t raw_field_value(std::uint64_t assembled, std::uint32_t bits,
                                                   bool reverse_bits) noexcept {
    if (reverse_bits) {
        if (bits == 0) return 0;
        if (bits < 64) return mirror_bits(assembled, bits);
        return std::rotl(mirror_bits(assembled, 64), static_cast<int>(bits % 64U));
    }
    return bits < 64 ? assembled & ((std::uint64_t{1} << bits) - 1U) : assembled;
}

}  // namespace bitloom
