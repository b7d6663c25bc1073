// BCD decoders. Positions are checked from the lowest upward and the first
// bad one is reported. A width below one position decodes as 0 without any
// check. Positions beyond the raw value's 64 bits read as zero: harmless
// leading zero digits, except in signed zoned fields, where a 0x00 byte is
// not a valid digit byte.
#include "decoder/bcd.hpp"

#include <algorithm>

#include "common/numbers.hpp"

namespace bitloom {

namespace {

// At most 16 digits, so every magnitude stays below 10^16 and negating it
// cannot overflow.
constexpr std::int64_t apply_sign(std::uint64_t magnitude, bool negative) noexcept {
    const auto m = static_cast<std::int64_t>(magnitude);
    return negative ? -m : m;
}

std::unexpected<Error> invalid_digit(std::uint64_t digit) {
    return value_error(Message() << "Invalid BCD digit: " << digit << " (must be 0-9)");
}

constexpr bool is_zoned_digit(std::uint32_t byte) noexcept {
    const std::uint32_t zone = byte >> 4;
    return (byte & 0xFU) <= 9U && (zone == 0x3U || zone == 0xFU);
}

}  // namespace

Result<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    const std::uint32_t nibbles = bits / 4U;
    if (nibbles == 0) return 0;

    bool negative = false;
    std::uint32_t first_digit = 0;
    if (is_signed) {
        switch (value & 0xFU) {
            case 0xA:
            case 0xC:
            case 0xE:
            case 0xF: break;
            case 0xB:
            case 0xD: negative = true; break;
            default: return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
        }
        first_digit = 1;
    }

    std::uint64_t magnitude = 0;
    std::uint64_t place = 1;
    const std::uint32_t stored = std::min(nibbles, nibbles_in_raw);
    for (std::uint32_t k = first_digit; k < stored; ++k, place *= 10U) {
        const std::uint64_t digit = (value >> (4U * k)) & 0xFU;
        if (digit > 9U) return invalid_digit(digit);
        magnitude += digit * place;
    }
    return apply_sign(magnitude, negative);
}

Result<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    const std::uint32_t bytes = bits / 8U;
    if (bytes == 0) return 0;
    const std::uint32_t stored = std::min(bytes, bytes_in_raw);

    std::uint64_t magnitude = 0;
    std::uint64_t place = 1;
    if (!is_signed) {
        for (std::uint32_t k = 0; k < stored; ++k, place *= 10U) {
            const std::uint64_t byte = (value >> (8U * k)) & 0xFFU;
            if (byte > 9U) return invalid_digit(byte);
            magnitude += byte * place;
        }
        return apply_sign(magnitude, false);
    }

    // The units byte's zone doubles as the sign: 0xD is negative; 0xC, the
    // plain zone 0xF and the ASCII zone 0x3 are positive.
    const auto sign_byte = static_cast<std::uint32_t>(value & 0xFFU);
    const std::uint32_t sign_zone = sign_byte >> 4;
    const bool negative = sign_zone == 0xDU;
    const bool positive = sign_zone == 0xCU || sign_zone == 0xFU || sign_zone == 0x3U;
    if ((sign_byte & 0xFU) > 9U || !(negative || positive)) {
        return value_error((Message() << "Invalid zoned decimal signed byte: 0x").hex(sign_byte, 2)
                           << " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)");
    }
    magnitude = sign_byte & 0xFU;
    place = 10;
    // Bytes past the raw value read as 0x00, which is no digit byte.
    for (std::uint32_t k = 1; k < bytes; ++k, place *= 10U) {
        const auto byte = k < stored ? static_cast<std::uint32_t>((value >> (8U * k)) & 0xFFU) : 0U;
        if (!is_zoned_digit(byte)) {
            return value_error((Message() << "Invalid zoned decimal byte: 0x").hex(byte, 2)
                               << " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
        }
        magnitude += (byte & 0xFU) * place;
    }
    return apply_sign(magnitude, negative);
}

}  // namespace bitloom
