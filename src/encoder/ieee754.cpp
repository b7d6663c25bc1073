#include "ieee754.hpp"

#include <bit>

namespace bitloom {

std::uint16_t encode_ieee754_f16(float) noexcept { return 0; }  // not built yet
std::uint32_t encode_ieee754_f32(float value) noexcept { return std::bit_cast<std::uint32_t>(value); }
std::uint64_t encode_ieee754_f64(double value) noexcept { return std::bit_cast<std::uint64_t>(value); }

}  // namespace bitloom
