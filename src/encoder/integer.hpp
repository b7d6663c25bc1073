// Signed-integer representations (sign-magnitude, ones' and two's
// complement) and the byte form of a numeric field.
#pragma once

#include <cstdint>

#include <string>

#include "../common/error.hpp"
#include "../common/numbers.hpp"

namespace bitloom {

// Each returns the raw value: the field's bits right-aligned in 64 bits.
// Plain binary: the value must fit the width (any value fits 64 bits or more).
[[nodiscard]] Result<std::uint64_t> encode_unsigned(std::uint64_t value, std::uint32_t bits);
[[nodiscard]] Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits);
[[nodiscard]] Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits);
[[nodiscard]] Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits);

// The field's byte form: ceil(bits / 8) bytes, most significant first, with
// the (optionally mirrored) value right-aligned. Bytes beyond the value's 64
// bits are zero; for a mirrored field wider than 64 bits the value's bit i
// lands at field bit bits-1-i and everything below is zero.
[[nodiscard]] std::string encode_integer_to_bytes(std::uint64_t value, std::uint32_t bits, bool reverse_bits);

}  // namespace bitloom
