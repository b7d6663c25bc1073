// IEEE 754 encoders: a number in, the format's bit pattern out.
#pragma once

#include <cstdint>

namespace bitloom {

// binary32 to binary16, round to nearest with ties to even; NaNs stay quiet
// NaNs, overflow gives infinity.
[[nodiscard]] std::uint16_t encode_ieee754_f16(float value) noexcept;
[[nodiscard]] std::uint32_t encode_ieee754_f32(float value) noexcept;
[[nodiscard]] std::uint64_t encode_ieee754_f64(double value) noexcept;

// Messages of the formats that are known by name but cannot be encoded.
namespace unimplemented_encoding {
inline constexpr char ieee754_f128[] = "IEEE 754 f128 encoding not yet implemented";
inline constexpr char ti_f32[] = "TI f32 encoding not yet implemented";
inline constexpr char ti_f40[] = "TI f40 encoding not yet implemented";
inline constexpr char dec_f32[] = "DEC f32 encoding not yet implemented";
inline constexpr char dec_f64[] = "DEC f64 encoding not yet implemented";
inline constexpr char ibm_f32[] = "IBM f32 encoding not yet implemented";
inline constexpr char ibm_f64[] = "IBM f64 encoding not yet implemented";
inline constexpr char ieee754_1985_f32[] = "IEEE 754-1985 f32 encoding not yet implemented";
inline constexpr char ieee754_1985_f64[] = "IEEE 754-1985 f64 encoding not yet implemented";
inline constexpr char ieee754_1985_f80[] = "IEEE 754-1985 f80 encoding not yet implemented";
inline constexpr char mil_std_1750a_f32[] = "MIL-STD-1750A f32 encoding not yet implemented";
inline constexpr char mil_std_1750a_f48[] = "MIL-STD-1750A f48 encoding not yet implemented";
}  // namespace unimplemented_encoding

}  // namespace bitloom
