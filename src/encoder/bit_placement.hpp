// Writing a field's bits into the packet buffer. Packet bit n is bit
// 7 - n % 8 of byte n / 8 (most significant bit first). Positions are 32-bit
// and wrap; bits that land at or beyond the end of the buffer are skipped,
// so nothing is ever written outside it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace bitloom {

// Places the low `bits` bits (at most 64) of `field` at packet bit
// `position`, most significant first. Both ones and zeros are written.
void place_field_bits(std::span<std::uint8_t> packet, std::uint32_t position, std::uint64_t field,
                      std::uint32_t bits) noexcept;

// Places `bits` bits of a byte form at packet bit `position`: the last `bits`
// bits of `form` when it holds at least that many, otherwise all of `form`
// followed by zero bits.
void place_form_bits(std::span<std::uint8_t> packet, std::uint32_t position, std::span<const std::uint8_t> form,
                     std::uint32_t bits) noexcept;

// Places an encoded number: the raw value (the field's bits right-aligned)
// is mirrored when `reverse_bits`, turned into its byte form of
// ceil(bits / 8) bytes, reversed for a little-endian field, and the last
// `bits` bits of that are placed at `position`.
void place_raw_value(std::span<std::uint8_t> packet, std::uint32_t position, std::uint64_t raw, std::uint32_t bits,
                     bool reverse_bits, bool little);

// Places encoded text: its bytes (reversed in place for a little-endian
// field) are the byte form.
void place_text_bytes(std::span<std::uint8_t> packet, std::uint32_t position, std::string& bytes, std::uint32_t bits,
                      bool little) noexcept;

}  // namespace bitloom
