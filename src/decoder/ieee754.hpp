// IEEE 754 decoders (bit pattern in, binary64 out) and the decoders of the
// floating-point formats that are known by name but not implemented.
#pragma once

#include <cstdint>

#include "../error.hpp"

namespace bitloom {

struct U128 {
    std::uint64_t lo;
    std::uint64_t hi;
};

// Only the low 16 / 32 bits of the argument are used.
[[nodiscard]] double decode_ieee754_f16(std::uint64_t value) noexcept;
[[nodiscard]] double decode_ieee754_f32(std::uint64_t value) noexcept;
[[nodiscard]] double decode_ieee754_f64(std::uint64_t value) noexcept;
// binary128 to binary64: subnormal results flush to zero, the fraction is
// truncated toward zero, NaNs lose their sign.
[[nodiscard]] double decode_ieee754_f128(U128 value) noexcept;

// Messages of the formats that are known by name but not implemented.
namespace unimplemented_format {
inline constexpr char ti_f32[] = "TI f32 format not yet implemented";
inline constexpr char ti_f40[] = "TI f40 format not yet implemented";
inline constexpr char dec_f32[] = "DEC f32 format not yet implemented";
inline constexpr char dec_f64[] = "DEC f64 format not yet implemented";
inline constexpr char ibm_f32[] = "IBM f32 format not yet implemented";
inline constexpr char ibm_f64[] = "IBM f64 format not yet implemented";
inline constexpr char ieee754_1985_f32[] = "IEEE 754-1985 f32 format not yet implemented";
inline constexpr char ieee754_1985_f64[] = "IEEE 754-1985 f64 format not yet implemented";
inline constexpr char ieee754_1985_f80[] = "IEEE 754-1985 f80 format not yet implemented";
inline constexpr char mil_std_1750a_f32[] = "MIL-STD-1750A f32 format not yet implemented";
inline constexpr char mil_std_1750a_f48[] = "MIL-STD-1750A f48 format not yet implemented";
}  // namespace unimplemented_format

// Always the NotImplementedError of their format.
[[nodiscard]] Result<double> decode_ti_f40();
[[nodiscard]] Result<double> decode_dec_f64();
[[nodiscard]] Result<double> decode_ibm_f32();
[[nodiscard]] Result<double> decode_ibm_f64();
[[nodiscard]] Result<double> decode_ieee754_1985_f64();
[[nodiscard]] Result<double> decode_ieee754_1985_f80();
[[nodiscard]] Result<double> decode_mil_std_1750a_f32();
[[nodiscard]] Result<double> decode_mil_std_1750a_f48();

}  // namespace bitloom
