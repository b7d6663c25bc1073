// Text encoders from code units (1, 2 or 4 bytes per character) straight
// into a buffer of the exact size, so no intermediate form of the text is
// built. Where every character is treated alike, the loop widens, narrows or
// byte-swaps each unit with no branch and gathers the test for refused
// characters into one flag checked at the end: the compiler vectorises such
// loops. Characters that need their own handling (a surrogate pair, a table
// lookup) are taken one by one.
#include <bit>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define BITLOOM_HAVE_SSE2 1
#endif

#include "common/ascii_run.hpp"
#include "encoder/text.hpp"
#include "encoder/windows1252_bytes.hpp"

namespace bitloom {

namespace {

// Stores a 16- or 32-bit value in the given byte order. The swap is spelt
// out in shifts, which the compiler vectorises into a few shifts and ORs,
// and drops entirely for the bytes a narrow unit leaves zero (std::byteswap
// gets a long chain of shuffles instead).
template <bool LittleEndian, class Word>
inline void store(char* out, Word value) noexcept {
    if constexpr ((std::endian::native == std::endian::little) == LittleEndian) {
        std::memcpy(out, &value, sizeof value);
    } else if constexpr (sizeof(Word) == 2) {
        const auto swapped = static_cast<std::uint16_t>((value << 8) | (value >> 8));
        std::memcpy(out, &swapped, 2);
    } else {
        // Two swapped halves, high half first: a whole-word swap would be
        // recognised as one byte-swap instruction, which does not vectorise.
        store<LittleEndian>(out, static_cast<std::uint16_t>(value >> 16));
        store<LittleEndian>(out + 2, static_cast<std::uint16_t>(value));
    }
}

// 1 for a surrogate code point (D800 to DFFF), else 0.
template <class Unit>
constexpr unsigned surrogate_flag(Unit unit) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        return 0;
    } else {
        return (std::uint32_t{unit} & 0xFFFFF800U) == 0xD800;
    }
}

// Characters are checked a block at a time where a whole block can be
// handled alike.
constexpr std::size_t block = 8;

// --- UTF-16 ----------------------------------------------------------------

template <bool LittleEndian, class Unit>
bool units_to_utf16(std::span<const Unit> text, char* out) noexcept {
    const Unit* p = text.data();
    const std::size_t n = text.size();
    if constexpr (sizeof(Unit) <= 2) {
        // Every character is one code unit of its own value.
        unsigned surrogates = 0;
        for (std::size_t i = 0; i < n; ++i) {
            surrogates |= surrogate_flag(p[i]);
            store<LittleEndian>(out + 2 * i, static_cast<std::uint16_t>(p[i]));
        }
        return surrogates == 0;
    } else {
        // A plain loop whose first test (below the surrogates) nearly always
        // holds: characters above U+FFFF are rare in most text but lie
        // anywhere, so checking blocks of characters first loses to the
        // mispredicted branch at every block that holds one, and to the cost
        // of narrowing 32-bit units in vectors.
        char* o = out;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t c = p[i];
            if (c < 0xD800) {  // NOLINT(bugprone-branch-clone): the common case is tested first on purpose
                store<LittleEndian>(o, static_cast<std::uint16_t>(c));
                o += 2;
            } else if (c < 0xE000) {
                return false;
            } else if (c < 0x10000) {
                store<LittleEndian>(o, static_cast<std::uint16_t>(c));
                o += 2;
            } else {
                const std::uint32_t offset = c - 0x10000;
                store<LittleEndian>(o, static_cast<std::uint16_t>(0xD800 + (offset >> 10)));
                store<LittleEndian>(o + 2, static_cast<std::uint16_t>(0xDC00 + (offset & 0x3FF)));
                o += 4;
            }
        }
        return true;
    }
}

// --- UTF-32 ----------------------------------------------------------------

#if BITLOOM_HAVE_SSE2
// One-byte units to big-endian words on a little-endian host, 16 at a time;
// returns how many were written. Each byte is brought to the top of its word
// by interleaving it twice after zeros: two shuffles per four words, as in
// the little-endian order. The compiler's own loop shifts every 16-bit half
// on top of that, which makes it about a fifth slower.
std::size_t latin1_to_utf32be_blocks(const std::uint8_t* p, std::size_t n, char* out) noexcept {
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = 0;
    for (; n - i >= 16; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i low = _mm_unpacklo_epi8(zero, bytes);
        const __m128i high = _mm_unpackhi_epi8(zero, bytes);
        char* o = out + 4 * i;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi16(zero, low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), _mm_unpackhi_epi16(zero, low));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 32), _mm_unpacklo_epi16(zero, high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 48), _mm_unpackhi_epi16(zero, high));
    }
    return i;
}
#endif

template <bool LittleEndian, class Unit>
bool units_to_utf32(std::span<const Unit> text, char* out) noexcept {
    const Unit* p = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
#if BITLOOM_HAVE_SSE2
    if constexpr (sizeof(Unit) == 1 && !LittleEndian && std::endian::native == std::endian::little) {
        i = latin1_to_utf32be_blocks(p, n, out);
    }
#endif
    unsigned surrogates = 0;
    for (; i < n; ++i) {
        surrogates |= surrogate_flag(p[i]);
        store<LittleEndian>(out + 4 * i, static_cast<std::uint32_t>(p[i]));
    }
    return surrogates == 0;
}

// --- Single-byte character sets --------------------------------------------

// One byte per character, the character's own value; false when a character
// is above `Limit`. All characters are at most Limit exactly when the OR of
// all of them is, for a Limit of the form 2^k - 1.
template <std::uint32_t Limit, class Unit>
bool narrow_units(std::span<const Unit> text, char* out) noexcept {
    static_assert(std::has_single_bit(Limit + 1));
    const Unit* p = text.data();
    const std::size_t n = text.size();
    if constexpr (Limit >= 0xFF && sizeof(Unit) == 1) {
        std::memcpy(out, p, n);
        return true;
    } else {
        Unit all = 0;
        for (std::size_t i = 0; i < n; ++i) {
            all |= p[i];
            out[i] = static_cast<char>(p[i]);
        }
        return all <= Limit;
    }
}

// Latin-1 characters are their own windows-1252 bytes, except the C1
// controls that the index does not hold.
bool latin1_to_windows_1252(std::span<const std::uint8_t> text, char* out) noexcept {
    const std::uint8_t* p = text.data();
    const std::size_t n = text.size();
    std::memcpy(out, p, n);
    const auto encodable = [](std::uint8_t c) { return c < 0x80 || windows1252_byte_of_latin[c] != 0; };
    std::size_t i = 0;
    // Only bytes 80 to 9F can be refused; a word without any is skipped.
    for (; n - i >= 8; i += 8) {
        if (bytes_80_to_9f(load8(p + i)) == 0) continue;
        for (std::size_t k = 0; k < 8; ++k) {
            if (!encodable(p[i + k])) return false;
        }
    }
    for (; i < n; ++i) {
        if (!encodable(p[i])) return false;
    }
    return true;
}

template <class Unit>
bool wide_units_to_windows_1252(std::span<const Unit> text, char* out) noexcept {
    const Unit* p = text.data();
    const std::size_t n = text.size();
    // One character; false when windows-1252 has no byte for it.
    const auto put = [](Unit c, char* at) -> bool {
        if (c < 0x80) {
            *at = static_cast<char>(c);
            return true;
        }
        const auto byte = windows1252_byte(c);
        if (!byte) return false;
        *at = static_cast<char>(*byte);
        return true;
    };
    std::size_t i = 0;
    // An all-ASCII block is narrowed as it is.
    for (; n - i >= block; i += block) {
        Unit all = 0;
        for (std::size_t k = 0; k < block; ++k) all |= p[i + k];
        if (all < 0x80) {
            for (std::size_t k = 0; k < block; ++k) out[i + k] = static_cast<char>(p[i + k]);
            continue;
        }
        for (std::size_t k = 0; k < block; ++k) {
            if (!put(p[i + k], out + i + k)) return false;
        }
    }
    for (; i < n; ++i) {
        if (!put(p[i], out + i)) return false;
    }
    return true;
}

}  // namespace

template <TextUnit Unit>
std::size_t utf16_size(std::span<const Unit> text) noexcept {
    std::size_t size = 2 * text.size();
    if constexpr (sizeof(Unit) == 4) {
        std::size_t above_bmp = 0;
        for (const Unit c : text) above_bmp += c > 0xFFFF;
        size += 2 * above_bmp;
    }
    return size;
}

template <TextUnit Unit>
bool write_utf16(std::span<const Unit> text, bool little_endian, char* out) noexcept {
    return little_endian ? units_to_utf16<true>(text, out) : units_to_utf16<false>(text, out);
}

template <TextUnit Unit>
bool write_utf32(std::span<const Unit> text, bool little_endian, char* out) noexcept {
    return little_endian ? units_to_utf32<true>(text, out) : units_to_utf32<false>(text, out);
}

template <TextUnit Unit>
bool write_us_ascii(std::span<const Unit> text, char* out) noexcept {
    return narrow_units<0x7F>(text, out);
}

template <TextUnit Unit>
bool write_iso_8859_1(std::span<const Unit> text, char* out) noexcept {
    return narrow_units<0xFF>(text, out);
}

template <TextUnit Unit>
bool write_windows_1252(std::span<const Unit> text, char* out) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        return latin1_to_windows_1252(text, out);
    } else {
        return wide_units_to_windows_1252(text, out);
    }
}

#define BITLOOM_TEXT_UNIT_WRITERS(Unit)                                     \
    template std::size_t utf16_size(std::span<const Unit>) noexcept;        \
    template bool write_utf16(std::span<const Unit>, bool, char*) noexcept; \
    template bool write_utf32(std::span<const Unit>, bool, char*) noexcept; \
    template bool write_us_ascii(std::span<const Unit>, char*) noexcept;    \
    template bool write_iso_8859_1(std::span<const Unit>, char*) noexcept;  \
    template bool write_windows_1252(std::span<const Unit>, char*) noexcept;

BITLOOM_TEXT_UNIT_WRITERS(std::uint8_t)
BITLOOM_TEXT_UNIT_WRITERS(std::uint16_t)
BITLOOM_TEXT_UNIT_WRITERS(std::uint32_t)

#undef BITLOOM_TEXT_UNIT_WRITERS

}  // namespace bitloom
