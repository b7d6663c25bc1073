// Text encoders: UTF-8 text in (as the interpreter exports it: well-formed,
// no surrogates), encoded bytes out.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace bitloom {

// The UTF encoders never fail; they share the result shape of the others.
[[nodiscard]] Result<std::string> encode_utf16be(std::string_view text);
[[nodiscard]] Result<std::string> encode_utf16le(std::string_view text);
[[nodiscard]] Result<std::string> encode_utf16(std::string_view text);  // FE FF, then big-endian
[[nodiscard]] Result<std::string> encode_utf32be(std::string_view text);
[[nodiscard]] Result<std::string> encode_utf32le(std::string_view text);
[[nodiscard]] Result<std::string> encode_utf32(std::string_view text);  // 00 00 FE FF, then big-endian

[[nodiscard]] Result<std::string> encode_us_ascii(std::string_view text);
[[nodiscard]] Result<std::string> encode_iso_8859_1(std::string_view text);
[[nodiscard]] Result<std::string> encode_windows_1252(std::string_view text);

// --- The same encodings from code units ------------------------------------
//
// A text held as one code unit per character, of 1, 2 or 4 bytes (the
// interpreter's own storage of a str). Units of 2 and 4 bytes may hold
// surrogate code points, which are not scalar values and which no encoding
// here accepts. Each writer fills exactly the size its encoding needs and
// returns false, with `out` partly written, when the text holds a character
// the encoding refuses; the caller then has the text's whole failure
// described by the routines above.
template <class Unit>
concept TextUnit =
    std::same_as<Unit, std::uint8_t> || std::same_as<Unit, std::uint16_t> || std::same_as<Unit, std::uint32_t>;

// Bytes of the UTF-16 form: 2 per character, 4 for one above U+FFFF.
template <TextUnit Unit>
[[nodiscard]] std::size_t utf16_size(std::span<const Unit> text) noexcept;
// utf16_size(text) bytes, in the given byte order, without a mark.
template <TextUnit Unit>
[[nodiscard]] bool write_utf16(std::span<const Unit> text, bool little_endian, char* out) noexcept;
// 4 bytes per character, in the given byte order, without a mark.
template <TextUnit Unit>
[[nodiscard]] bool write_utf32(std::span<const Unit> text, bool little_endian, char* out) noexcept;
// One byte per character.
template <TextUnit Unit>
[[nodiscard]] bool write_us_ascii(std::span<const Unit> text, char* out) noexcept;
template <TextUnit Unit>
[[nodiscard]] bool write_iso_8859_1(std::span<const Unit> text, char* out) noexcept;
template <TextUnit Unit>
[[nodiscard]] bool write_windows_1252(std::span<const Unit> text, char* out) noexcept;

}  // namespace bitloom
