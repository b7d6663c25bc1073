#include "encoder/bit_placement.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "encoder/integer.hpp"

namespace bitloom {

namespace {

constexpr std::uint64_t position_space = std::uint64_t{1} << 32;

// The 8 bits of `src` starting at bit `src_bit`; bits past its end read 0.
inline std::uint8_t read8(std::span<const std::uint8_t> src, std::uint64_t src_bit) noexcept {
    const std::uint64_t q = src_bit >> 3;
    const auto r = static_cast<unsigned>(src_bit & 7U);
    const unsigned hi = q < src.size() ? src[q] : 0U;
    if (r == 0) return static_cast<std::uint8_t>(hi);
    const unsigned lo = q + 1 < src.size() ? src[q + 1] : 0U;
    return static_cast<std::uint8_t>((hi << r) | (lo >> (8 - r)));
}

inline unsigned read_bit(std::span<const std::uint8_t> src, std::uint64_t src_bit) noexcept {
    const std::uint64_t q = src_bit >> 3;
    return q < src.size() ? (src[q] >> (7U - (src_bit & 7U))) & 1U : 0U;
}

inline void write_bit(std::uint8_t* dst, std::uint64_t dst_bit, unsigned bit) noexcept {
    const auto mask = static_cast<std::uint8_t>(0x80U >> (dst_bit & 7U));
    std::uint8_t& byte = dst[dst_bit >> 3];
    byte = bit ? static_cast<std::uint8_t>(byte | mask) : static_cast<std::uint8_t>(byte & ~mask);
}

// Copies n bits; the destination range is known to lie inside the buffer.
void copy_bits(std::uint8_t* dst, std::uint64_t dst_bit, std::span<const std::uint8_t> src, std::uint64_t src_bit,
               std::uint64_t n) noexcept {
    while (n > 0 && (dst_bit & 7U) != 0) {
        write_bit(dst, dst_bit++, read_bit(src, src_bit++));
        --n;
    }
    if ((src_bit & 7U) == 0) {
        // Byte-aligned on both sides: copy what the source has, zero the rest.
        const std::uint64_t whole = n >> 3;
        const std::uint64_t q = src_bit >> 3;
        const std::uint64_t available = q < src.size() ? std::min<std::uint64_t>(whole, src.size() - q) : 0;
        if (available > 0) std::memcpy(dst + (dst_bit >> 3), src.data() + q, available);
        if (whole > available) std::memset(dst + (dst_bit >> 3) + available, 0, whole - available);
        dst_bit += whole * 8;
        src_bit += whole * 8;
        n -= whole * 8;
    } else {
        for (; n >= 8; n -= 8, dst_bit += 8, src_bit += 8) dst[dst_bit >> 3] = read8(src, src_bit);
    }
    while (n > 0) {
        write_bit(dst, dst_bit++, read_bit(src, src_bit++));
        --n;
    }
}

}  // namespace

void place_form_bits(std::span<std::uint8_t> packet, std::uint32_t position, std::span<const std::uint8_t> form,
                     std::uint32_t bits) noexcept {
    const std::uint64_t total = std::uint64_t{8} * form.size();
    const std::uint64_t source_start = total >= bits ? total - bits : 0;
    const std::uint64_t limit = std::uint64_t{8} * packet.size();
    // The run [position, position + bits) wraps at 2^32 at most once.
    auto segment = [&](std::uint64_t target, std::uint64_t source, std::uint64_t n) {
        if (target >= limit) return;
        copy_bits(packet.data(), target, form, source, std::min(n, limit - target));
    };
    const std::uint64_t before_wrap = std::min<std::uint64_t>(bits, position_space - position);
    segment(position, source_start, before_wrap);
    if (before_wrap < bits) segment(0, source_start + before_wrap, bits - before_wrap);
}

void place_field_bits_bytewise(std::span<std::uint8_t> packet, std::uint32_t position, std::uint64_t field,
                               std::uint32_t bits) noexcept {
    const std::uint64_t start = position;
    const std::uint64_t end = start + bits;
    if (bits == 0) return;
    if (end > std::uint64_t{8} * packet.size()) {
        // Runs off the end or wraps: rare, so take the general path.
        std::uint8_t form[8];
        for (int k = 0; k < 8; ++k) form[k] = static_cast<std::uint8_t>(field >> (56 - 8 * k));
        place_form_bits(packet, position, form, bits);
        return;
    }
    for (std::uint64_t byte = start >> 3; byte <= (end - 1) >> 3; ++byte) {
        const std::uint64_t byte_start = byte * 8;
        const std::uint64_t lo = std::max(start, byte_start);
        const std::uint64_t hi = std::min(end, byte_start + 8);
        const auto n = static_cast<unsigned>(hi - lo);
        const auto shift = static_cast<unsigned>(byte_start + 8 - hi);
        const unsigned mask = ((1U << n) - 1U) << shift;
        const unsigned chunk = static_cast<unsigned>((field >> (end - hi)) & ((1U << n) - 1U)) << shift;
        packet[byte] = static_cast<std::uint8_t>((packet[byte] & ~mask) | chunk);
    }
}

namespace {

std::span<const std::uint8_t> as_bytes(const std::string& s) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

void place_wide_value(std::span<std::uint8_t> packet, std::uint32_t position, std::uint64_t raw, std::uint32_t bits,
                      bool reverse_bits, bool little) {
    std::string form = encode_integer_to_bytes(raw, bits, reverse_bits);
    if (little) std::ranges::reverse(form);
    place_form_bits(packet, position, as_bytes(form), bits);
}

void place_text_bytes(std::span<std::uint8_t> packet, std::uint32_t position, std::string& bytes, std::uint32_t bits,
                      bool little) noexcept {
    if (little) std::ranges::reverse(bytes);
    place_form_bits(packet, position, as_bytes(bytes), bits);
}

}  // namespace bitloom
