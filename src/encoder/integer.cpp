#include "encoder/integer.hpp"

#include <string>

namespace bitloom {

namespace integer_detail {

std::unexpected<Error> too_large(std::uint64_t value, std::uint32_t bits) {
    return value_error(Message() << "Value " << value << " is too large for " << bits << " bits");
}
std::unexpected<Error> sign_magnitude_width() {
    return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
}
std::unexpected<Error> magnitude_too_large(std::int64_t value, std::uint32_t bits) {
    return value_error(Message() << "Magnitude of " << value << " is too large for " << bits << " bits");
}
std::unexpected<Error> ones_complement_width() {
    return value_error("bits must be <= 64 for ones' complement encoding");
}
std::unexpected<Error> magnitude_too_large_ones(std::int64_t value, std::uint32_t bits) {
    return value_error(Message() << "Value " << value << " is too large (magnitude) for " << bits << " bits");
}
std::unexpected<Error> twos_complement_width() {
    return value_error("bits must be <= 64 for two's complement encoding");
}
std::unexpected<Error> out_of_range(std::int64_t value, std::uint32_t bits, std::int64_t min, std::int64_t max) {
    return value_error(Message() << "Value " << value << " out of range for " << bits << " bits (range: " << min
                                 << " to " << max << ")");
}

}  // namespace integer_detail

std::string encode_integer_to_bytes(std::uint64_t value, std::uint32_t bits, bool reverse_bits) {
    const std::size_t n = (static_cast<std::size_t>(bits) + 7U) / 8U;
    std::string out(n, '\0');
    if (n == 0) return out;
    if (bits <= 64) {
        const std::uint64_t v = reverse_bits ? mirror_bits(value, bits) : value;
        for (std::size_t k = 0; k < n; ++k) {
            out[n - 1 - k] = static_cast<char>(v >> (8 * k));
        }
        return out;
    }
    if (!reverse_bits) {
        for (std::size_t k = 0; k < 8; ++k) out[n - 1 - k] = static_cast<char>(value >> (8 * k));
        return out;
    }
    // Mirrored wide field: value bit i sits at field bit bits-1-i, i.e. the
    // value's bits, least significant first, open the field. The field itself
    // starts `pad` bits into the byte form.
    const std::size_t pad = 8 * n - bits;
    for (std::size_t i = 0; i < 64; ++i) {
        if ((value >> i) & 1U) {
            const std::size_t pos = pad + i;
            out[pos / 8] = static_cast<char>(static_cast<unsigned char>(out[pos / 8]) | (0x80U >> (pos % 8)));
        }
    }
    return out;
}

}  // namespace bitloom
