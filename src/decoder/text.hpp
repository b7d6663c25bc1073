// Text decoders: bytes in, UTF-8 text out (strict: nothing is replaced and
// no partial text is returned).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.hpp"
#include "common/numbers.hpp"

namespace bitloom {

[[nodiscard]] Result<std::string> decode_utf8(ByteSpan bytes);
[[nodiscard]] Result<std::string> decode_utf16(ByteSpan bytes);  // byte-order mark sniffing
[[nodiscard]] Result<std::string> decode_utf16_with_endianness(ByteSpan bytes, bool little_endian);
[[nodiscard]] Result<std::string> decode_utf32(ByteSpan bytes);  // byte-order mark sniffing
[[nodiscard]] Result<std::string> decode_utf32_with_endianness(ByteSpan bytes, bool little_endian);

[[nodiscard]] Result<std::string> decode_us_ascii(ByteSpan bytes);
[[nodiscard]] Result<std::string> decode_windows_1252(ByteSpan bytes);
// Every byte is the code point of the same value; cannot fail.
[[nodiscard]] std::string decode_iso_8859_1(ByteSpan bytes);

// --- The choices the routines make, for decoding into other forms ---------

// The input that decode_utf16 or decode_utf32 decodes after its length
// check, with the byte-order mark it drops (if any) removed, and the byte
// order it reads that input in.
struct ByteOrderChoice {
    ByteSpan rest;
    bool little_endian;
};
// For input that passed the routine's length check.
[[nodiscard]] ByteOrderChoice utf16_byte_order(ByteSpan bytes) noexcept;
[[nodiscard]] ByteOrderChoice utf32_byte_order(ByteSpan bytes) noexcept;

// What decode_windows_1252 reads its input as: the encoding that a leading
// byte-order mark selects, the mark removed, or else windows-1252.
enum class SniffedEncoding : std::uint8_t { windows_1252, utf8, utf16le, utf16be };
struct SniffedInput {
    SniffedEncoding encoding;
    ByteSpan rest;
};
[[nodiscard]] SniffedInput sniff_byte_order_mark(ByteSpan bytes) noexcept;

// Whether any byte decodes from windows-1252 to a character above U+00FF.
// Without one, the decoded text is the ISO-8859-1 decoding of the bytes.
[[nodiscard]] bool windows_1252_exceeds_latin1(ByteSpan bytes) noexcept;
// The windows-1252 decoding of `bytes` (no mark sniffing): one 16-bit code
// unit per byte, written to `out`.
void windows_1252_to_ucs2(ByteSpan bytes, std::uint16_t* out) noexcept;

}  // namespace bitloom
