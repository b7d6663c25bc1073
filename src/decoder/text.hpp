// Text decoders: bytes in, UTF-8 text out (strict: nothing is replaced and
// no partial text is returned).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "../error.hpp"

namespace bitloom {

using ByteSpan = std::span<const std::uint8_t>;

[[nodiscard]] Result<std::string> decode_utf8(ByteSpan bytes);
[[nodiscard]] Result<std::string> decode_utf16(ByteSpan bytes);  // byte-order mark sniffing
[[nodiscard]] Result<std::string> decode_utf16_with_endianness(ByteSpan bytes, bool little_endian);
[[nodiscard]] Result<std::string> decode_utf32(ByteSpan bytes);  // byte-order mark sniffing
[[nodiscard]] Result<std::string> decode_utf32_with_endianness(ByteSpan bytes, bool little_endian);

[[nodiscard]] Result<std::string> decode_us_ascii(ByteSpan bytes);
[[nodiscard]] Result<std::string> decode_windows_1252(ByteSpan bytes);
// Every byte is the code point of the same value; cannot fail.
[[nodiscard]] std::string decode_iso_8859_1(ByteSpan bytes);

}  // namespace bitloom
