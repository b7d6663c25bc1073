// Text encoders: UTF-8 text in (as the interpreter exports it: well-formed,
// no surrogates), encoded bytes out.
#pragma once

#include <string>
#include <string_view>

#include "../error.hpp"

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

}  // namespace bitloom
