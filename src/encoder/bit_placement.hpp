// Writing a field's bits into the packet buffer. Packet bit n is bit
// 7 - n % 8 of byte n / 8 (most significant bit first). Positions are 32-bit
// and wrap; bits that land at or beyond the end of the buffer are skipped,
// so nothing is ever written outside it.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "common/numbers.hpp"

namespace bitloom {

// Places the low `bits` bits (at most 64) of `field` at packet bit
// `position`, most significant first. Both ones and zeros are written.
void place_field_bits_bytewise(std::span<std::uint8_t> packet, std::uint32_t position, std::uint64_t field,
                               std::uint32_t bits) noexcept;
inline void place_field_bits(std::span<std::uint8_t> packet, std::uint32_t position, std::uint64_t field,
                             std::uint32_t bits) noexcept {
    const std::uint64_t first_byte = position >> 3;
    const unsigned lead = position & 7U;
    if (bits == 0 || lead + bits > 64 || first_byte + 8 > packet.size()) {
        place_field_bits_bytewise(packet, position, field, bits);
        return;
    }
    // The field and its neighbours in one big-endian 64-bit word.
    const unsigned shift = 64U - lead - bits;
    const std::uint64_t mask = (bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1U) << shift;
    std::uint64_t word;
    std::memcpy(&word, packet.data() + first_byte, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    word = (word & ~mask) | ((field << shift) & mask);
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    std::memcpy(packet.data() + first_byte, &word, sizeof word);
}

// Places `bits` bits of a byte form at packet bit `position`: the last `bits`
// bits of `form` when it holds at least that many, otherwise all of `form`
// followed by zero bits.
void place_form_bits(std::span<std::uint8_t> packet, std::uint32_t position, std::span<const std::uint8_t> form,
                     std::uint32_t bits) noexcept;

// Places an encoded number: the raw value (the field's bits right-aligned)
// is mirrored when `reverse_bits`, turned into its byte form of
// ceil(bits / 8) bytes, reversed for a little-endian field, and the last
// `bits` bits of that are placed at `position`.
void place_wide_value(std::span<std::uint8_t> packet, std::uint32_t position, std::uint64_t raw, std::uint32_t bits,
                      bool reverse_bits, bool little);
inline void place_raw_value(std::span<std::uint8_t> packet, std::uint32_t position, std::uint64_t raw,
                            std::uint32_t bits, bool reverse_bits, bool little) {
    if (bits > 64) {
        place_wide_value(packet, position, raw, bits, reverse_bits, little);
        return;
    }
    // The byte form is the (mirrored) pattern's low 8*m bits, m bytes.
    const unsigned m = (bits + 7U) / 8U;
    std::uint64_t form = reverse_bits ? mirror_bits(raw, bits) : raw;
    if (little && m > 1) form = std::byteswap(form) >> (64U - 8U * m);
    const std::uint64_t field = bits == 64 ? form : form & ((std::uint64_t{1} << bits) - 1U);
    place_field_bits(packet, position, field, bits);
}

// Places encoded text: its bytes (reversed in place for a little-endian
// field) are the byte form.
void place_text_bytes(std::span<std::uint8_t> packet, std::uint32_t position, std::string& bytes, std::uint32_t bits,
                      bool little) noexcept;

}  // namespace bitloom
