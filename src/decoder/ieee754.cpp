#include "ieee754.hpp"

#include <bit>

namespace bitloom {

double decode_ieee754_f16(std::uint64_t) noexcept { return 0.0; }  // not built yet
double decode_ieee754_f32(std::uint64_t value) noexcept {
    return std::bit_cast<float>(static_cast<std::uint32_t>(value));
}
double decode_ieee754_f64(std::uint64_t value) noexcept { return std::bit_cast<double>(value); }
double decode_ieee754_f128(U128) noexcept { return 0.0; }  // not built yet

}  // namespace bitloom
