// What differs between compilers and systems, in one place, each with a
// portable fallback: branch hints, a signed 128-bit product for widths
// computed from 64-bit values, and giving pages of a file mapping back to
// the system. Nothing else in src/ uses compiler-specific types or system
// headers, so the Python-free core compiles for any target with a C++23
// compiler.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/numbers.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define BITLOOM_HAVE_MADVISE 1
#endif

#if defined(__GNUC__)
#define BITLOOM_LIKELY(x) __builtin_expect(static_cast<bool>(x), 1)
#define BITLOOM_UNLIKELY(x) __builtin_expect(static_cast<bool>(x), 0)
// For the one step of a loop run per packet that the compiler would keep
// out of line.
#define BITLOOM_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define BITLOOM_LIKELY(x) (x)
#define BITLOOM_UNLIKELY(x) (x)
#define BITLOOM_ALWAYS_INLINE __forceinline
#else
#define BITLOOM_LIKELY(x) (x)
#define BITLOOM_UNLIKELY(x) (x)
#define BITLOOM_ALWAYS_INLINE inline
#endif

namespace bitloom {

// A signed integer of up to 128 bits as a sign and a magnitude: enough for
// value * factor + offset with a 64-bit value (signed or not) and 64-bit
// signed factor and offset, which is all the layouts compute with it.
// Written with 64-bit halves so that it means the same on every compiler.
class Wide {
public:
    constexpr Wide() noexcept = default;
    [[nodiscard]] static constexpr Wide of_unsigned(std::uint64_t v) noexcept { return Wide(false, {v, 0}); }
    [[nodiscard]] static constexpr Wide of_signed(std::int64_t v) noexcept { return Wide(v < 0, {magnitude_of(v), 0}); }

    // this * factor + offset; |this| < 2^64 (the product then fits).
    [[nodiscard]] constexpr Wide times_plus(std::int64_t factor, std::int64_t offset) const noexcept {
        const U128 product = multiply(magnitude_.lo, magnitude_of(factor));
        Wide scaled(product.lo == 0 && product.hi == 0 ? false : negative_ != (factor < 0), product);
        return scaled.plus(of_signed(offset));
    }

    [[nodiscard]] constexpr bool negative() const noexcept { return negative_; }
    // Whether the value lies in [0, limit].
    [[nodiscard]] constexpr bool within(std::uint64_t limit) const noexcept {
        return !negative_ && magnitude_.hi == 0 && magnitude_.lo <= limit;
    }
    // The low 64 bits of the magnitude.
    [[nodiscard]] constexpr std::uint64_t low() const noexcept { return magnitude_.lo; }

    [[nodiscard]] std::string decimal() const {
        std::string digits;
        U128 m = magnitude_;
        do {
            // Long division by 10 over 32-bit pieces of the magnitude.
            std::uint64_t rest = 0;
            std::uint64_t parts[4] = {m.hi >> 32, m.hi & 0xFFFFFFFFU, m.lo >> 32, m.lo & 0xFFFFFFFFU};
            for (std::uint64_t& part : parts) {
                const std::uint64_t current = (rest << 32) | part;
                part = current / 10;
                rest = current % 10;
            }
            m = {(parts[2] << 32) | parts[3], (parts[0] << 32) | parts[1]};
            digits.push_back(static_cast<char>('0' + rest));
        } while (m.lo != 0 || m.hi != 0);
        if (negative_) digits.push_back('-');
        std::ranges::reverse(digits);
        return digits;
    }

private:
    constexpr Wide(bool negative, U128 magnitude) noexcept : negative_(negative), magnitude_(magnitude) {}

    [[nodiscard]] static constexpr U128 multiply(std::uint64_t a, std::uint64_t b) noexcept {
        const std::uint64_t a_lo = a & 0xFFFFFFFFU;
        const std::uint64_t a_hi = a >> 32;
        const std::uint64_t b_lo = b & 0xFFFFFFFFU;
        const std::uint64_t b_hi = b >> 32;
        const std::uint64_t low = a_lo * b_lo;
        const std::uint64_t cross1 = a_hi * b_lo;
        const std::uint64_t cross2 = a_lo * b_hi;
        const std::uint64_t middle = (low >> 32) + (cross1 & 0xFFFFFFFFU) + (cross2 & 0xFFFFFFFFU);
        return {(middle << 32) | (low & 0xFFFFFFFFU), a_hi * b_hi + (cross1 >> 32) + (cross2 >> 32) + (middle >> 32)};
    }
    [[nodiscard]] static constexpr bool less(U128 a, U128 b) noexcept {
        return a.hi < b.hi || (a.hi == b.hi && a.lo < b.lo);
    }
    [[nodiscard]] static constexpr U128 add(U128 a, U128 b) noexcept {
        const std::uint64_t lo = a.lo + b.lo;
        return {lo, a.hi + b.hi + (lo < a.lo ? 1U : 0U)};
    }
    [[nodiscard]] static constexpr U128 subtract(U128 a, U128 b) noexcept {  // a >= b
        return {a.lo - b.lo, a.hi - b.hi - (a.lo < b.lo ? 1U : 0U)};
    }
    [[nodiscard]] constexpr Wide plus(Wide other) const noexcept {
        if (negative_ == other.negative_) return {negative_, add(magnitude_, other.magnitude_)};
        if (less(magnitude_, other.magnitude_)) return {other.negative_, subtract(other.magnitude_, magnitude_)};
        const U128 rest = subtract(magnitude_, other.magnitude_);
        return {rest.lo == 0 && rest.hi == 0 ? false : negative_, rest};
    }

    bool negative_ = false;
    U128 magnitude_{0, 0};
};

// The size of a page of memory (4096 where the system cannot say).
inline std::size_t page_bytes() noexcept {
#ifdef BITLOOM_HAVE_MADVISE
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#else
    return 4096;
#endif
}

// Tells the system that the whole pages within [data, data + size) of a
// read-only file mapping will not be read again soon, so that it may drop
// them (they are read again from the file if touched); `page_out` asks for
// them to be written out of memory at once (where the system can, else
// nothing is done). Returns the end of the last page given back (`data`
// when none was). A no-op where the system has no such call.
inline const std::uint8_t* release_pages(const std::uint8_t* data, std::size_t size, bool page_out) noexcept {
#ifdef BITLOOM_HAVE_MADVISE
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto lo = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t from = (lo + page - 1) / page * page;
    const std::uintptr_t to = (lo + size) / page * page;
    if (to <= from) return data;
    int advice = MADV_DONTNEED;
    if (page_out) {
#ifdef MADV_PAGEOUT
        advice = MADV_PAGEOUT;
#else
        return data;
#endif
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): page-aligned addresses of the mapping
    madvise(reinterpret_cast<void*>(from), to - from, advice);
    return data + (to - lo);
#else
    (void)size;
    (void)page_out;
    return data;
#endif
}

}  // namespace bitloom
