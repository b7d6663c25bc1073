// Text encoders. The input is UTF-8 as the interpreter exports a str: well
// formed and free of surrogates, so it is read without validation. Each
// routine makes one pass over it.
//
// The output buffer is sized once for the worst case of the input length
// (resize_and_overwrite leaves it uninitialised) and trimmed to what was
// written, so no encoder grows or reallocates its result while it runs.
#include "encoder/text.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/ascii_run.hpp"
#include "encoder/windows1252_bytes.hpp"

namespace bitloom {

namespace {

// --- Reading the input -----------------------------------------------------

// Reads the scalar value whose UTF-8 form starts at `p` and moves `p` past it.
inline char32_t next_scalar(const unsigned char*& p) noexcept {
    const char32_t lead = *p++;
    if (lead < 0x80) return lead;
    if (lead < 0xE0) {
        const char32_t value = ((lead & 0x1F) << 6) | (p[0] & 0x3F);
        p += 1;
        return value;
    }
    if (lead < 0xF0) {
        const char32_t value = ((lead & 0x0F) << 12) | ((p[0] & 0x3FU) << 6) | (p[1] & 0x3F);
        p += 2;
        return value;
    }
    const char32_t value = ((lead & 0x07) << 18) | ((p[0] & 0x3FU) << 12) | ((p[1] & 0x3FU) << 6) | (p[2] & 0x3F);
    p += 3;
    return value;
}

inline const unsigned char* bytes_of(std::string_view text) noexcept {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The number of ASCII bytes from `p` on.
inline std::size_t ascii_run(const unsigned char* p, const unsigned char* end) noexcept {
    return ascii_unit_count<1>(p, static_cast<std::size_t>(end - p), any_high_bit);
}

// "Character '{c}' (U+{XXXX}) is not valid {charset}" for the character whose
// UTF-8 form starts at `at`. The character goes into the message as it is.
std::string character_not_valid(const unsigned char* at, std::string_view charset) {
    const unsigned char* after = at;
    const char32_t code_point = next_scalar(after);
    Message message;
    message << "Character '" << std::string_view(reinterpret_cast<const char*>(at), after - at) << "' (U+";
    message.hex(code_point, 4) << ") is not valid " << charset;
    return message.str();
}

// --- UTF-16 and UTF-32 -----------------------------------------------------

template <bool LittleEndian>
inline char* put_utf16_unit(char* out, char16_t unit) noexcept {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    out[0] = LittleEndian ? low : high;
    out[1] = LittleEndian ? high : low;
    return out + 2;
}

template <bool LittleEndian>
inline char* put_utf32_value(char* out, char32_t value) noexcept {
    for (int k = 0; k < 4; ++k) {
        const int shift = LittleEndian ? 8 * k : 8 * (3 - k);
        out[k] = static_cast<char>((value >> shift) & 0xFF);
    }
    return out + 4;
}

// `mark` (a byte-order mark, or nothing) followed by the text in UTF-16.
template <bool LittleEndian>
std::string utf8_to_utf16(std::string_view text, std::string_view mark) {
    const unsigned char* p = bytes_of(text);
    const unsigned char* const end = p + text.size();
    std::string out;
    // Each UTF-8 byte gives at most two UTF-16 bytes: 1 -> 2, 2 -> 2, 3 -> 2, 4 -> 4.
    out.resize_and_overwrite(mark.size() + 2 * text.size(), [&](char* buffer, std::size_t) {
        std::ranges::copy(mark, buffer);
        char* o = buffer + mark.size();
        constexpr std::size_t high_at = LittleEndian ? 1 : 0;
        while (p != end) {
            const std::size_t run = ascii_run(p, end);
            for (std::size_t k = 0; k < run; ++k) {
                o[2 * k + high_at] = 0;
                o[2 * k + (1 - high_at)] = static_cast<char>(p[k]);
            }
            o += 2 * run;
            p += run;
            if (p == end) break;
            const char32_t value = next_scalar(p);
            if (value < 0x10000) {
                o = put_utf16_unit<LittleEndian>(o, static_cast<char16_t>(value));
            } else {
                const char32_t offset = value - 0x10000;
                o = put_utf16_unit<LittleEndian>(o, static_cast<char16_t>(0xD800 + (offset >> 10)));
                o = put_utf16_unit<LittleEndian>(o, static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
            }
        }
        return static_cast<std::size_t>(o - buffer);
    });
    return out;
}

// `mark` (a byte-order mark, or nothing) followed by the text in UTF-32.
template <bool LittleEndian>
std::string utf8_to_utf32(std::string_view text, std::string_view mark) {
    const unsigned char* p = bytes_of(text);
    const unsigned char* const end = p + text.size();
    std::string out;
    // At most one scalar value, four bytes, per UTF-8 byte.
    out.resize_and_overwrite(mark.size() + 4 * text.size(), [&](char* buffer, std::size_t) {
        std::ranges::copy(mark, buffer);
        char* o = buffer + mark.size();
        // An ASCII byte becomes a whole 32-bit word in one store: the byte
        // itself in the word's first or last byte in memory.
        constexpr unsigned ascii_shift = (std::endian::native == std::endian::little) == LittleEndian ? 0 : 24;
        while (p != end) {
            const std::size_t run = ascii_run(p, end);
            for (std::size_t k = 0; k < run; ++k) {
                const std::uint32_t word = std::uint32_t{p[k]} << ascii_shift;
                std::memcpy(o + 4 * k, &word, 4);
            }
            o += 4 * run;
            p += run;
            if (p == end) break;
            o = put_utf32_value<LittleEndian>(o, next_scalar(p));
        }
        return static_cast<std::size_t>(o - buffer);
    });
    return out;
}

using namespace std::string_view_literals;
constexpr std::string_view utf16_mark = "\xFE\xFF"sv;
constexpr std::string_view utf32_mark = "\x00\x00\xFE\xFF"sv;

}  // namespace

// --- Routines --------------------------------------------------------------

Result<std::string> encode_utf16be(std::string_view text) { return utf8_to_utf16<false>(text, {}); }
Result<std::string> encode_utf16le(std::string_view text) { return utf8_to_utf16<true>(text, {}); }
Result<std::string> encode_utf16(std::string_view text) { return utf8_to_utf16<false>(text, utf16_mark); }
Result<std::string> encode_utf32be(std::string_view text) { return utf8_to_utf32<false>(text, {}); }
Result<std::string> encode_utf32le(std::string_view text) { return utf8_to_utf32<true>(text, {}); }
Result<std::string> encode_utf32(std::string_view text) { return utf8_to_utf32<false>(text, utf32_mark); }

// ASCII text is its own US-ASCII form, so a successful scan is a plain copy.
Result<std::string> encode_us_ascii(std::string_view text) {
    const unsigned char* const begin = bytes_of(text);
    const unsigned char* const end = begin + text.size();
    const unsigned char* const p = begin + ascii_run(begin, end);
    if (p != end) return value_error(character_not_valid(p, "US-ASCII"));
    return std::string(text);
}

Result<std::string> encode_iso_8859_1(std::string_view text) {
    const unsigned char* p = bytes_of(text);
    const unsigned char* const end = p + text.size();
    const unsigned char* unencodable = nullptr;
    std::string out;
    // One byte per character, never more than the UTF-8 form.
    out.resize_and_overwrite(text.size(), [&](char* buffer, std::size_t) {
        char* o = buffer;
        while (p != end) {
            const std::size_t run = ascii_run(p, end);
            std::memcpy(o, p, run);
            o += run;
            p += run;
            if (p == end) break;
            // U+0080 to U+00FF are exactly the two-byte forms led by C2 or C3.
            const unsigned char lead = *p;
            if (lead <= 0xC3) {
                *o++ = static_cast<char>(((lead & 0x03) << 6) | (p[1] & 0x3F));
                p += 2;
            } else {
                unencodable = p;
                return std::size_t{0};
            }
        }
        return static_cast<std::size_t>(o - buffer);
    });
    if (unencodable != nullptr) return value_error(character_not_valid(unencodable, "ISO-8859-1"));
    return out;
}

Result<std::string> encode_windows_1252(std::string_view text) {
    const unsigned char* p = bytes_of(text);
    const unsigned char* const end = p + text.size();
    bool encodable = true;
    std::string out;
    // One byte per character, never more than the UTF-8 form.
    out.resize_and_overwrite(text.size(), [&](char* buffer, std::size_t) {
        char* o = buffer;
        while (p != end) {
            const std::size_t run = ascii_run(p, end);
            std::memcpy(o, p, run);
            o += run;
            p += run;
            if (p == end) break;
            const auto byte = windows1252_byte(next_scalar(p));
            if (!byte) {
                encodable = false;
                return std::size_t{0};
            }
            *o++ = static_cast<char>(*byte);
        }
        return static_cast<std::size_t>(o - buffer);
    });
    if (!encodable) return value_error("Failed to encode to Windows-1252");
    return out;
}

}  // namespace bitloom
