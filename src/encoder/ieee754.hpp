// IEEE 754 encoders: a number in, the format's bit pattern out.
#pragma once

#include <cstdint>

namespace bitloom {

// binary32 to binary16, round to nearest with ties to even; NaNs stay quiet
// NaNs, overflow gives infinity.
[[nodiscard]] std::uint16_t encode_ieee754_f16(float value) noexcept;
[[nodiscard]] std::uint32_t encode_ieee754_f32(float value) noexcept;
[[nodiscard]] std::uint64_t encode_ieee754_f64(double value) noexcept;

}  // namespace bitloom
