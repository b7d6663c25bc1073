#include "integer.hpp"

#include <string>

namespace bitloom {

Result<std::uint64_t> encode_unsigned(std::uint64_t value, std::uint32_t bits) {
    if (bits < 64 && (value >> bits) != 0) {
        return value_error(Message() << "Value " << value << " is too large for " << bits << " bits");
    }
    return value;
}

Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) {
    if (bits < 2 || bits > 64) {
        return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
    }
    const std::uint64_t m = magnitude_of(value);
    if (m >= (std::uint64_t{1} << (bits - 1))) {
        return value_error(Message() << "Magnitude of " << value << " is too large for " << bits << " bits");
    }
    return value < 0 ? m | (std::uint64_t{1} << (bits - 1)) : m;
}

Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) return value_error("bits must be <= 64 for ones' complement encoding");
    const std::uint32_t s = (bits - 1U) & 63U;
    const std::uint64_t limit = std::uint64_t{1} << s;
    if (value >= 0) {
        if (bits != 64 && static_cast<std::uint64_t>(value) >= limit) {
            return value_error(Message() << "Value " << value << " is too large for " << bits << " bits");
        }
        return static_cast<std::uint64_t>(value);
    }
    if (magnitude_of(value) >= limit) {
        return value_error(Message() << "Value " << value << " is too large (magnitude) for " << bits << " bits");
    }
    const std::uint64_t mask = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1U;
    return (static_cast<std::uint64_t>(value) + mask) & mask;
}

Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) return value_error("bits must be <= 64 for two's complement encoding");
    if (bits == 64) return static_cast<std::uint64_t>(value);
    const std::uint32_t s = (bits - 1U) & 63U;
    const auto max = static_cast<std::int64_t>((std::uint64_t{1} << s) - 1U);
    const std::int64_t min = -max - 1;
    if (value < min || value > max) {
        return value_error(Message() << "Value " << value << " out of range for " << bits << " bits (range: " << min
                                     << " to " << max << ")");
    }
    return static_cast<std::uint64_t>(value) & ((std::uint64_t{1} << bits) - 1U);
}

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
