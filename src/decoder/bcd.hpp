// Decoding of packed and unpacked (zoned) BCD raw values.
#pragma once

#include <cstdint>

#include "common/error.hpp"

namespace bitloom {

[[nodiscard]] Result<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed);
[[nodiscard]] Result<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed);

}  // namespace bitloom
