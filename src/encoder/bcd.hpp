// Packed BCD (a digit per nibble) and unpacked, zoned BCD (a digit per byte).
#pragma once

#include <cstdint>

#include "common/error.hpp"

namespace bitloom {

// Both return the raw value: the field's bits right-aligned in 64 bits.
[[nodiscard]] Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);
[[nodiscard]] Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);

}  // namespace bitloom
