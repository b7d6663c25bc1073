// The windows-1252 index inverted: the byte for a code point from U+0080 up.
//
// Every code point the index holds lies in one of two small ranges, the
// Latin blocks up to U+02FF and General Punctuation up to U+212F, so the
// lookup is one table load in either range, with no search; 0 in a table
// means the code point has no byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/windows1252_index.hpp"

namespace bitloom {

inline constexpr char32_t windows1252_latin_end = 0x300;
inline constexpr char32_t windows1252_punctuation_begin = 0x2000;
inline constexpr char32_t windows1252_punctuation_end = 0x2130;

template <char32_t Begin, char32_t End>
constexpr std::array<std::uint8_t, End - Begin> windows1252_bytes_in_range() {
    std::array<std::uint8_t, End - Begin> bytes{};
    for (std::size_t pointer = 0; pointer < windows1252_pointer_count; ++pointer) {
        const char32_t cp = windows1252_index[pointer];
        if (cp >= Begin && cp < End) bytes[cp - Begin] = static_cast<std::uint8_t>(0x80 + pointer);
    }
    return bytes;
}

// Indexed by the code point itself; entries below U+0080 are unused.
inline constexpr auto windows1252_byte_of_latin = windows1252_bytes_in_range<0, windows1252_latin_end>();
inline constexpr auto windows1252_byte_of_punctuation =
    windows1252_bytes_in_range<windows1252_punctuation_begin, windows1252_punctuation_end>();

// The two ranges hold every non-ASCII code point of the index.
static_assert([] {
    std::size_t found = 0;
    for (std::size_t cp = 0x80; cp < windows1252_latin_end; ++cp) found += windows1252_byte_of_latin[cp] != 0;
    for (const std::uint8_t byte : windows1252_byte_of_punctuation) found += byte != 0;
    return found == windows1252_pointer_count;
}());

// The byte for a code point from U+0080 up, if windows-1252 has one.
[[nodiscard]] inline std::optional<std::uint8_t> windows1252_byte(char32_t code_point) noexcept {
    std::uint8_t byte = 0;
    if (code_point < windows1252_latin_end) {
        byte = windows1252_byte_of_latin[code_point];
    } else if (code_point - windows1252_punctuation_begin <
               windows1252_punctuation_end - windows1252_punctuation_begin) {
        byte = windows1252_byte_of_punctuation[code_point - windows1252_punctuation_begin];
    }
    if (byte == 0) return std::nullopt;
    return byte;
}

}  // namespace bitloom
