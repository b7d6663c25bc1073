// BCD encoders. Both write every digit position of the field, so unused high
// digits come out as leading zeros (0x0 nibbles, 0x00 or 0xF0 bytes).
//
// Fields wider than 64 bits: the raw value holds only the low 16 nibbles or
// 8 bytes, so the positions above them are treated as leading zeros that stay
// 0 bits. The digit limit, and the digit count that the error message names,
// is therefore what the low 64 bits hold (16 packed digits, 15 with a sign
// nibble, 8 zoned digits). The packet builder pads the rest of the field with
// zero bytes. For signed zoned fields those 0x00 bytes are not valid leading
// zeros (those would be 0xF0), so the decoder refuses such a field; zoned
// signed fields wider than 64 bits cannot carry a value either way.
#include "encoder/bcd.hpp"

#include <algorithm>
#include <array>

#include "common/numbers.hpp"

namespace bitloom {

namespace {

// 10^0 … 10^19; 10^20 no longer fits in 64 bits.
constexpr auto kPowersOfTen = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t p = 1;
    for (auto& slot : powers) {
        slot = p;
        p *= 10U;
    }
    return powers;
}();

// Whether m has at most `digits` decimal digits (0 has none). Any 64-bit
// number has at most 20 digits, so from 20 digits on everything fits.
constexpr bool fits_in_digits(std::uint64_t m, std::uint32_t digits) noexcept {
    return digits >= kPowersOfTen.size() || m < kPowersOfTen[digits];
}

std::unexpected<Error> too_many_digits(std::int64_t value, std::uint32_t digits) {
    return value_error(Message() << "Value " << value << " has too many digits for " << digits << " BCD digits");
}

constexpr char kNegativeUnsigned[] = "Cannot encode negative value in unsigned BCD";

}  // namespace

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    const std::uint32_t nibbles = bits / 4U;
    if (nibbles == 0) return value_error("bits must be >= 4 for packed BCD");
    if (value < 0 && !is_signed) return value_error(kNegativeUnsigned);

    // The signed form gives nibble 0 to the sign; the digits start above it.
    const std::uint32_t digits = std::min(nibbles, nibbles_in_raw) - (is_signed ? 1U : 0U);
    std::uint64_t m = magnitude_of(value);
    if (!fits_in_digits(m, digits)) return too_many_digits(value, digits);

    std::uint64_t raw = 0;
    std::uint32_t shift = 0;
    if (is_signed) {
        raw = value < 0 ? 0xDU : 0xCU;
        shift = 4;
    }
    // m has at most `digits` digits, so the highest shift is 60. Leading
    // zero nibbles are already 0.
    for (; m != 0; m /= 10U, shift += 4) raw |= (m % 10U) << shift;
    return raw;
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    const std::uint32_t bytes = bits / 8U;
    if (bytes == 0) return value_error("bits must be >= 8 for unpacked BCD");
    // The unsigned form has no place for a sign; writing the magnitude would
    // silently turn -42 into 42.
    if (value < 0 && !is_signed) return value_error(kNegativeUnsigned);

    const std::uint32_t digits = std::min(bytes, bytes_in_raw);
    std::uint64_t m = magnitude_of(value);
    if (!fits_in_digits(m, digits)) return too_many_digits(value, digits);

    // Signed: the units byte carries the sign zone (0xC positive, 0xD
    // negative), every other byte the plain zone 0xF, leading zeros included.
    // Unsigned bytes are bare digits.
    const std::uint64_t units_zone = !is_signed ? 0x00U : value < 0 ? 0xD0U : 0xC0U;
    const std::uint64_t digit_zone = is_signed ? 0xF0U : 0x00U;
    std::uint64_t raw = units_zone | (m % 10U);
    m /= 10U;
    for (std::uint32_t i = 1; i < digits; ++i, m /= 10U) raw |= (digit_zone | (m % 10U)) << (8U * i);
    return raw;
}

}  // namespace bitloom
