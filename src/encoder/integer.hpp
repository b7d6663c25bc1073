// Signed-integer representations (sign-magnitude, ones' and two's
// complement) and the byte form of a numeric field.
#pragma once

#include <cstdint>

#include <string>

#include "common/error.hpp"
#include "common/numbers.hpp"

namespace bitloom {

// Each returns the raw value: the field's bits right-aligned in 64 bits.
// They are inline so that a caller that knows the codec at compile time gets
// the range check in place; the messages are built out of line, only on
// failure.
namespace integer_detail {
[[gnu::cold]] std::unexpected<Error> too_large(std::uint64_t value, std::uint32_t bits);
[[gnu::cold]] std::unexpected<Error> sign_magnitude_width();
[[gnu::cold]] std::unexpected<Error> magnitude_too_large(std::int64_t value, std::uint32_t bits);
[[gnu::cold]] std::unexpected<Error> ones_complement_width();
[[gnu::cold]] std::unexpected<Error> magnitude_too_large_ones(std::int64_t value, std::uint32_t bits);
[[gnu::cold]] std::unexpected<Error> twos_complement_width();
[[gnu::cold]] std::unexpected<Error> out_of_range(std::int64_t value, std::uint32_t bits, std::int64_t min,
                                                  std::int64_t max);
}  // namespace integer_detail

// Plain binary: the value must fit the width (any value fits 64 bits or more).
[[nodiscard]] inline Result<std::uint64_t> encode_unsigned(std::uint64_t value, std::uint32_t bits) {
    if (bits < 64 && (value >> bits) != 0) [[unlikely]]
        return integer_detail::too_large(value, bits);
    return value;
}

[[nodiscard]] inline Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) {
    if (bits < 2 || bits > 64) [[unlikely]]
        return integer_detail::sign_magnitude_width();
    const std::uint64_t m = magnitude_of(value);
    if (m >= (std::uint64_t{1} << (bits - 1))) [[unlikely]]
        return integer_detail::magnitude_too_large(value, bits);
    return value < 0 ? m | (std::uint64_t{1} << (bits - 1)) : m;
}

[[nodiscard]] inline Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) [[unlikely]]
        return integer_detail::ones_complement_width();
    const std::uint32_t s = (bits - 1U) & 63U;
    const std::uint64_t limit = std::uint64_t{1} << s;
    if (value >= 0) {
        if (bits != 64 && static_cast<std::uint64_t>(value) >= limit) [[unlikely]]
            return integer_detail::too_large(static_cast<std::uint64_t>(value), bits);
        return static_cast<std::uint64_t>(value);
    }
    if (magnitude_of(value) >= limit) [[unlikely]]
        return integer_detail::magnitude_too_large_ones(value, bits);
    const std::uint64_t mask = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1U;
    return (static_cast<std::uint64_t>(value) + mask) & mask;
}

[[nodiscard]] inline Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) [[unlikely]]
        return integer_detail::twos_complement_width();
    if (bits == 64) return static_cast<std::uint64_t>(value);
    const std::uint32_t s = (bits - 1U) & 63U;
    const auto max = static_cast<std::int64_t>((std::uint64_t{1} << s) - 1U);
    const std::int64_t min = -max - 1;
    if (value < min || value > max) [[unlikely]]
        return integer_detail::out_of_range(value, bits, min, max);
    return static_cast<std::uint64_t>(value) & ((std::uint64_t{1} << bits) - 1U);
}

// The field's byte form: ceil(bits / 8) bytes, most significant first, with
// the (optionally mirrored) value right-aligned. Bytes beyond the value's 64
// bits are zero; for a mirrored field wider than 64 bits the value's bit i
// lands at field bit bits-1-i and everything below is zero.
[[nodiscard]] std::string encode_integer_to_bytes(std::uint64_t value, std::uint32_t bits, bool reverse_bits);

}  // namespace bitloom
