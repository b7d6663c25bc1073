// The windows-1252 index: the code point of byte 0x80 + pointer, for all 128
// pointers. Bytes 00 to 7F are ASCII and need no table.
//
// Both directions use this one table: the decoder maps bytes through it and
// the encoder builds its reverse lookup from it at compile time, so the two
// can never disagree.
#pragma once

#include <array>
#include <cstddef>

namespace bitloom {

inline constexpr std::size_t windows1252_pointer_count = 128;

inline constexpr std::array<char32_t, windows1252_pointer_count> windows1252_index = [] {
    // Bytes 80 to 9F: typographic characters, except the five bytes the
    // index leaves to the C1 controls of the same value (81, 8D, 8F, 90, 9D).
    constexpr char32_t bytes_80_to_9f[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
    };
    std::array<char32_t, windows1252_pointer_count> index{};
    for (std::size_t pointer = 0; pointer < 32; ++pointer) index[pointer] = bytes_80_to_9f[pointer];
    // Bytes A0 to FF are the Latin-1 code points of the same value.
    for (std::size_t pointer = 32; pointer < windows1252_pointer_count; ++pointer) {
        index[pointer] = static_cast<char32_t>(0x80 + pointer);
    }
    return index;
}();

}  // namespace bitloom
