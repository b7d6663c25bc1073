// Reading a field's bits out of a packet, in the two ways a layout can:
//
// - through its byte window, as the packet decoder does: the (bits + 7) / 8
//   bytes from the byte holding the field's first bit, of which the low-order
//   `bits` bits are the field (positions that are not byte multiples are not
//   honoured);
// - at its exact bits: the `bits` bits from the field's first bit, right-
//   aligned in (bits + 7) / 8 bytes, the form packing writes them from.
//
// Either way the bytes then go through the same steps: "little" reverses
// them, the first (up to) 8 form the assembled value, and mirroring or the
// low-order mask gives the raw value (decoder/field_window.hpp).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "../common/field_window.hpp"

namespace bitloom::io {

[[nodiscard]] inline std::uint64_t load_be64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
    return v;
}

[[nodiscard]] inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

[[nodiscard]] constexpr std::uint64_t low_mask(std::uint32_t bits) noexcept {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1U;
}

// The `bits` (1 to 64) bits from packet bit `position`, right-aligned. The
// caller has checked that they lie inside `packet`.
[[nodiscard]] inline std::uint64_t extract_bits(std::span<const std::uint8_t> packet, std::uint64_t position,
                                                std::uint32_t bits) noexcept {
    const std::uint64_t first = position >> 3;
    const unsigned skip = static_cast<unsigned>(position & 7U);
    const std::uint64_t last = (position + bits - 1) >> 3;  // inclusive
    std::uint64_t acc = 0;
    if (first + 8 <= packet.size()) {
        acc = load_be64(packet.data() + first) << skip;
        if (skip + bits > 64) acc |= static_cast<std::uint64_t>(packet[first + 8]) >> (8 - skip);
    } else {
        const std::uint64_t stop = last < first + 7 ? last : first + 7;
        unsigned shift = 56;
        for (std::uint64_t b = first; b <= stop; ++b, shift -= 8) {
            acc |= static_cast<std::uint64_t>(packet[b]) << shift;
        }
        acc <<= skip;
        if (skip + bits > 64) acc |= static_cast<std::uint64_t>(packet[first + 8]) >> (8 - skip);
    }
    return acc >> (64 - bits);
}

// The field's exact bits as the right-aligned byte form of (bits + 7) / 8
// bytes (any width), written to `out` (which has that many bytes).
inline void exact_form(std::span<const std::uint8_t> packet, std::uint64_t position, std::uint64_t bits,
                       std::uint8_t* out) noexcept {
    const std::uint64_t m = (bits + 7) / 8;
    const std::uint64_t pad = 8 * m - bits;  // leading zero bits of the form
    for (std::uint64_t k = 0; k < m; ++k) {
        // Form bit 8k + j is field bit 8k + j - pad.
        unsigned byte = 0;
        for (unsigned j = 0; j < 8; ++j) {
            const std::uint64_t fb = 8 * k + j;
            unsigned bit = 0;
            if (fb >= pad) {
                const std::uint64_t p = position + fb - pad;
                bit = (packet[p >> 3] >> (7U - (p & 7U))) & 1U;
            }
            byte = (byte << 1) | bit;
        }
        out[k] = static_cast<std::uint8_t>(byte);
    }
}

// The assembled value of a field read at its exact bits, for 1 to 64 bits:
// the form's value, byte-reversed within its bytes for "little".
[[nodiscard]] inline std::uint64_t exact_assembled(std::uint64_t field, std::uint32_t bits, bool little) noexcept {
    if (!little) return field;
    const unsigned m = (bits + 7U) / 8U;
    return std::byteswap(field) >> (64U - 8U * m);
}

}  // namespace bitloom::io
