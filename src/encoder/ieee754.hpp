// IEEE 754 encoders: a number in, the format's bit pattern out.
#pragma once

#include <bit>
#include <cstdint>

namespace bitloom {

// binary32 to binary16, round to nearest with ties to even; NaNs stay quiet
// NaNs, overflow gives infinity.
[[nodiscard]] std::uint16_t encode_ieee754_f16(float value) noexcept;
[[nodiscard]] inline std::uint32_t encode_ieee754_f32(float value) noexcept {
    return std::bit_cast<std::uint32_t>(value);
}
[[nodiscard]] inline std::uint64_t encode_ieee754_f64(double value) noexcept {
    return std::bit_cast<std::uint64_t>(value);
}

}  // namespace bitloom
