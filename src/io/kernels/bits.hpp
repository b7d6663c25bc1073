// Reading a field's bits out of a packet, in the two ways a layout can:
//
// - through its byte window, as the packet decoder does: the (bits + 7) / 8
//   bytes from the byte holding the field's first bit, of which the low-order
//   `bits` bits are the field (positions that are not byte multiples are not
//   honoured);
// - at its exact bits: the `bits` bits from the field's first bit, right-
//   aligned in (bits + 7) / 8 bytes, the form packing writes them from.
//
// Either way the bytes then go through the same steps: "little" reverses
// them, the first (up to) 8 form the assembled value, and mirroring or the
// low-order mask gives the raw value (decoder/field_window.hpp).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "io/kernels/layout.hpp"

#include "common/field_window.hpp"

namespace bitloom::io {

[[nodiscard]] inline std::uint64_t load_be64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
    return v;
}

[[nodiscard]] inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
    return v;
}

[[nodiscard]] constexpr std::uint64_t low_mask(std::uint32_t bits) noexcept {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1U;
}

// The `bits` (1 to 64) bits from packet bit `position`, right-aligned. The
// caller has checked that they lie inside `packet`.
[[nodiscard]] inline std::uint64_t extract_bits(std::span<const std::uint8_t> packet, std::uint64_t position,
                                                std::uint32_t bits) noexcept {
    const std::uint64_t first = position >> 3;
    const auto skip = static_cast<unsigned>(position & 7U);
    const std::uint64_t last = (position + bits - 1) >> 3;  // inclusive
    std::uint64_t acc = 0;
    if (first + 8 <= packet.size()) {
        acc = load_be64(packet.data() + first) << skip;
        if (skip + bits > 64) acc |= static_cast<std::uint64_t>(packet[first + 8]) >> (8 - skip);
    } else {
        const std::uint64_t stop = last < first + 7 ? last : first + 7;
        unsigned shift = 56;
        for (std::uint64_t b = first; b <= stop; ++b, shift -= 8) {
            acc |= static_cast<std::uint64_t>(packet[b]) << shift;
        }
        acc <<= skip;
        if (skip + bits > 64) acc |= static_cast<std::uint64_t>(packet[first + 8]) >> (8 - skip);
    }
    return acc >> (64 - bits);
}

// The field's exact bits as the right-aligned byte form of (bits + 7) / 8
// bytes (any width), written to `out` (which has that many bytes).
inline void exact_form(std::span<const std::uint8_t> packet, std::uint64_t position, std::uint64_t bits,
                       std::uint8_t* out) noexcept {
    const std::uint64_t m = (bits + 7) / 8;
    const std::uint64_t pad = 8 * m - bits;  // leading zero bits of the form
    for (std::uint64_t k = 0; k < m; ++k) {
        // Form bit 8k + j is field bit 8k + j - pad.
        unsigned byte = 0;
        for (unsigned j = 0; j < 8; ++j) {
            const std::uint64_t fb = 8 * k + j;
            unsigned bit = 0;
            if (fb >= pad) {
                const std::uint64_t p = position + fb - pad;
                bit = (packet[p >> 3] >> (7U - (p & 7U))) & 1U;
            }
            byte = (byte << 1) | bit;
        }
        out[k] = static_cast<std::uint8_t>(byte);
    }
}

// The assembled value of a field read at its exact bits, for 1 to 64 bits:
// the form's value, byte-reversed within its bytes for "little".
[[nodiscard]] inline std::uint64_t exact_assembled(std::uint64_t field, std::uint32_t bits, bool little) noexcept {
    if (!little) return field;
    const unsigned m = (bits + 7U) / 8U;
    return std::byteswap(field) >> (64U - 8U * m);
}

// --- Fields of a static layout, read by a plan made once ---------------------

inline ReadPlan plan_read(bool exact, const FieldSpec& f) {
    ReadPlan p;
    p.bits = f.bits;
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): plans only for static layouts
    p.start = *f.start;
    p.little = f.little;
    p.reverse = f.reverse;
    if (exact) {
        if (f.bits == 0) return p;
        if (f.bits > 64) {
            p.kind = ReadKind::wide;
            return p;
        }
        p.kind = ReadKind::exact;
        p.at = p.start / 8;
        p.skip = p.start % 8;
        p.nine = p.skip + f.bits > 64;
        p.shift = 64 - 8 * ((f.bits + 7) / 8);
        return p;
    }
    const FieldWindow w = field_window(p.start, f.bits, 0);
    if (w.count == 0) return p;
    const std::uint64_t used = std::min<std::uint64_t>(w.count, 8);
    if (!f.little) {
        p.kind = ReadKind::window_be;
        p.at = w.start;
        p.shift = static_cast<unsigned>(64 - 8 * used);
    } else {
        p.kind = ReadKind::window_le;
        p.at = w.count > 8 ? w.start + w.count - 8 : w.start;
        p.mask = low_mask(static_cast<std::uint32_t>(8 * used));
    }
    return p;
}

// The assembled value of a field read by plan (not `wide`) from the packet
// at `base`, which holds at least the layout's load_bytes bytes; `Little`
// must be the plan's byte order for `exact` reads (the others ignore it).
template <ReadKind K, bool Little>
[[nodiscard]] inline std::uint64_t assembled_one(const ReadPlan& p, const std::uint8_t* base) noexcept {
    const std::uint8_t* q = base + p.at;
    std::uint64_t a = 0;
    if constexpr (K == ReadKind::window_be) {
        a = load_be64(q) >> p.shift;
    } else if constexpr (K == ReadKind::window_le) {
        a = load_le64(q) & p.mask;
    } else if constexpr (K == ReadKind::exact) {
        std::uint64_t w = load_be64(q) << p.skip;
        if (p.nine) w |= static_cast<std::uint64_t>(q[8]) >> (8 - p.skip);
        const std::uint64_t v = w >> (64 - p.bits);
        a = Little ? std::byteswap(v) >> p.shift : v;
    }
    return a;
}

// The raw value of a field read by plan (not `wide`), as assembled_one.
template <ReadKind K>
[[nodiscard]] inline std::uint64_t read_one(const ReadPlan& p, const std::uint8_t* base) noexcept {
    const std::uint64_t a =
        K == ReadKind::exact && p.little ? assembled_one<K, true>(p, base) : assembled_one<K, false>(p, base);
    return p.reverse ? raw_field_value(a, p.bits, true) : a & low_mask(p.bits);
}

[[nodiscard]] inline std::uint64_t read_one(const ReadPlan& p, const std::uint8_t* base) noexcept {
    switch (p.kind) {
        case ReadKind::window_be: return read_one<ReadKind::window_be>(p, base);
        case ReadKind::window_le: return read_one<ReadKind::window_le>(p, base);
        case ReadKind::exact: return read_one<ReadKind::exact>(p, base);
        default: return 0;
    }
}

template <ReadKind K>
void read_raw(const ReadPlan& p, const std::uint8_t* const* base, std::size_t m, std::uint64_t* out) {
    for (std::size_t j = 0; j < m; ++j) out[j] = read_one<K>(p, base[j]);
}

}  // namespace bitloom::io
