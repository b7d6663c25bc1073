// IEEE 754 decoders: bit pattern in, binary64 out.
#pragma once

#include <bit>
#include <cstdint>

#include "common/numbers.hpp"

namespace bitloom {

// Only the low 16 / 32 bits of the argument are used.
[[nodiscard]] double decode_ieee754_f16(std::uint64_t value) noexcept;
[[nodiscard]] inline double decode_ieee754_f32(std::uint64_t value) noexcept {
    return std::bit_cast<float>(static_cast<std::uint32_t>(value));
}
[[nodiscard]] inline double decode_ieee754_f64(std::uint64_t value) noexcept { return std::bit_cast<double>(value); }
// binary128 to binary64: subnormal results flush to zero, the fraction is
// truncated toward zero, NaNs lose their sign.
[[nodiscard]] double decode_ieee754_f128(U128 value) noexcept;

}  // namespace bitloom
