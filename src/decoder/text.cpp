// Text decoders. Every routine checks the whole input and builds the whole
// UTF-8 result in one pass; on failure nothing but the message comes back.
//
// The output buffer is sized once for the worst case of the input length
// (resize_and_overwrite leaves it uninitialised) and trimmed to what was
// written, so no decoder grows or reallocates its result while it runs.
#include "text.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <string_view>

#include "ascii_run.hpp"
#include "windows1252_index.hpp"

namespace bitloom {

namespace {

// --- Shared pieces ---------------------------------------------------------

// Writes `code_point` (a scalar value) as UTF-8 at `out`; returns the end.
inline char* put_utf8(char* out, char32_t code_point) noexcept {
    if (code_point < 0x80) {
        *out++ = static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        *out++ = static_cast<char>(0xC0 | (code_point >> 6));
        *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (code_point >> 12));
        *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (code_point >> 18));
        *out++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
    }
    return out;
}

inline std::string copy_as_text(ByteSpan bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Index of the first byte above 0x7F, or the size when there is none.
std::size_t first_non_ascii(ByteSpan bytes) noexcept {
    return ascii_unit_count<1>(bytes.data(), bytes.size(), any_high_bit);
}

// --- UTF-8 validation ------------------------------------------------------

// What a byte allows when it starts a sequence: the sequence length (0 when
// it can never start one) and the range of the byte right after it. The
// narrowed second-byte ranges are what exclude overlong forms (E0, F0),
// encoded surrogates (ED) and values above U+10FFFF (F4).
struct Utf8Lead {
    std::uint8_t length;
    std::uint8_t second_min;
    std::uint8_t second_max;
};

constexpr std::array<Utf8Lead, 256> utf8_leads = [] {
    std::array<Utf8Lead, 256> leads{};  // 80-C1 and F5-FF stay {0, 0, 0}
    for (int b = 0x00; b <= 0x7F; ++b) leads[b] = {1, 0, 0};
    for (int b = 0xC2; b <= 0xDF; ++b) leads[b] = {2, 0x80, 0xBF};
    for (int b = 0xE0; b <= 0xEF; ++b) leads[b] = {3, 0x80, 0xBF};
    for (int b = 0xF0; b <= 0xF4; ++b) leads[b] = {4, 0x80, 0xBF};
    leads[0xE0].second_min = 0xA0;
    leads[0xED].second_max = 0x9F;
    leads[0xF0].second_min = 0x90;
    leads[0xF4].second_max = 0x8F;
    return leads;
}();

// The first ill-formed place in a byte string. `length` is the length of the
// maximal ill-formed subpart there, or 0 when the input ends inside a
// sequence whose bytes so far are all allowed.
struct Utf8Fault {
    std::size_t index;
    std::size_t length;
};

std::optional<Utf8Fault> find_utf8_fault(ByteSpan bytes) noexcept {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        i += ascii_unit_count<1>(data + i, size - i, any_high_bit);
        if (i == size) break;
        const Utf8Lead lead = utf8_leads[data[i]];
        if (lead.length == 0) return Utf8Fault{i, 1};
        if (i + 1 == size) return Utf8Fault{i, 0};
        if (data[i + 1] < lead.second_min || data[i + 1] > lead.second_max) return Utf8Fault{i, 1};
        for (std::size_t k = 2; k < lead.length; ++k) {
            if (i + k == size) return Utf8Fault{i, 0};
            if ((data[i + k] & 0xC0) != 0x80) return Utf8Fault{i, k};
        }
        i += lead.length;
    }
    return std::nullopt;
}

// --- UTF-16 ----------------------------------------------------------------

template <bool LittleEndian>
inline char16_t utf16_unit_at(const std::uint8_t* p) noexcept {
    if constexpr (LittleEndian) {
        return static_cast<char16_t>(p[0] | (p[1] << 8));
    } else {
        return static_cast<char16_t>((p[0] << 8) | p[1]);
    }
}

// The bits that are clear in four ASCII code units: the whole high byte and
// the top bit of the low byte.
template <bool LittleEndian>
constexpr std::uint64_t utf16_non_ascii_mask = LittleEndian
    ? memory_order_mask({0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF})
    : memory_order_mask({0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80});

// Decodes an even number of bytes. Returns false, with nothing meaningful
// in `out`, at the first unpaired surrogate.
template <bool LittleEndian>
bool utf16_to_utf8(ByteSpan bytes, std::string& out) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    constexpr std::size_t low_byte = LittleEndian ? 0 : 1;
    bool paired = true;
    // A unit gives at most 3 UTF-8 bytes; a surrogate pair (two units) 4.
    out.resize_and_overwrite(size / 2 * 3, [&](char* buffer, std::size_t) {
        char* o = buffer;
        std::size_t i = 0;
        while (i < size) {
            const std::size_t run = ascii_unit_count<2>(data + i, size - i, utf16_non_ascii_mask<LittleEndian>);
            for (std::size_t k = 0; k < run; ++k) o[k] = static_cast<char>(data[i + 2 * k + low_byte]);
            o += run;
            i += 2 * run;
            if (i == size) break;
            const char16_t unit = utf16_unit_at<LittleEndian>(data + i);
            i += 2;
            if (unit < 0xD800 || unit > 0xDFFF) {
                o = put_utf8(o, unit);
                continue;
            }
            if (unit > 0xDBFF || i == size) {
                paired = false;
                return std::size_t{0};
            }
            const char16_t low = utf16_unit_at<LittleEndian>(data + i);
            if (low < 0xDC00 || low > 0xDFFF) {
                paired = false;
                return std::size_t{0};
            }
            i += 2;
            o = put_utf8(o, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{low} - 0xDC00));
        }
        return static_cast<std::size_t>(o - buffer);
    });
    return paired;
}

// --- UTF-32 ----------------------------------------------------------------

template <bool LittleEndian>
inline char32_t utf32_value_at(const std::uint8_t* p) noexcept {
    if constexpr (LittleEndian) {
        return char32_t{p[0]} | (char32_t{p[1]} << 8) | (char32_t{p[2]} << 16) | (char32_t{p[3]} << 24);
    } else {
        return (char32_t{p[0]} << 24) | (char32_t{p[1]} << 16) | (char32_t{p[2]} << 8) | char32_t{p[3]};
    }
}

// The bits that are clear in two ASCII values: all but the low 7.
template <bool LittleEndian>
constexpr std::uint64_t utf32_non_ascii_mask = LittleEndian
    ? memory_order_mask({0x80, 0xFF, 0xFF, 0xFF, 0x80, 0xFF, 0xFF, 0xFF})
    : memory_order_mask({0xFF, 0xFF, 0xFF, 0x80, 0xFF, 0xFF, 0xFF, 0x80});

// Decodes a multiple of 4 bytes. Returns the first value that is not a
// scalar value (a surrogate or above U+10FFFF), if any.
template <bool LittleEndian>
std::optional<char32_t> utf32_to_utf8(ByteSpan bytes, std::string& out) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::optional<char32_t> invalid;
    // Four input bytes never give more than four UTF-8 bytes.
    out.resize_and_overwrite(size, [&](char* buffer, std::size_t) {
        constexpr std::size_t low_byte = LittleEndian ? 0 : 3;
        char* o = buffer;
        std::size_t i = 0;
        while (i < size) {
            const std::size_t run = ascii_unit_count<4>(data + i, size - i, utf32_non_ascii_mask<LittleEndian>);
            for (std::size_t k = 0; k < run; ++k) o[k] = static_cast<char>(data[i + 4 * k + low_byte]);
            o += run;
            i += 4 * run;
            if (i == size) break;
            const char32_t value = utf32_value_at<LittleEndian>(data + i);
            if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
                invalid = value;
                return std::size_t{0};
            }
            o = put_utf8(o, value);
            i += 4;
        }
        return static_cast<std::size_t>(o - buffer);
    });
    return invalid;
}

// --- Windows-1252 ----------------------------------------------------------

// The UTF-8 form of each index entry, so that decoding a byte above 0x7F is
// one table copy instead of an encoding step.
struct Utf8Form {
    std::uint8_t length;
    std::array<char, 3> bytes;  // every index entry is below U+10000
};

constexpr std::array<Utf8Form, windows1252_pointer_count> windows1252_utf8 = [] {
    std::array<Utf8Form, windows1252_pointer_count> forms{};
    for (std::size_t pointer = 0; pointer < windows1252_pointer_count; ++pointer) {
        const char32_t cp = windows1252_index[pointer];
        Utf8Form& form = forms[pointer];
        if (cp < 0x800) {
            form.length = 2;
            form.bytes = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F)), 0};
        } else {
            form.length = 3;
            form.bytes = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (cp & 0x3F))};
        }
    }
    return forms;
}();

std::string windows1252_to_utf8(ByteSpan bytes) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::string out;
    out.resize_and_overwrite(size * 3, [&](char* buffer, std::size_t) {
        char* o = buffer;
        std::size_t i = 0;
        while (i < size) {
            const std::size_t run = ascii_unit_count<1>(data + i, size - i, any_high_bit);
            std::memcpy(o, data + i, run);
            o += run;
            i += run;
            if (i == size) break;
            const Utf8Form& form = windows1252_utf8[data[i++] - 0x80];
            std::memcpy(o, form.bytes.data(), 3);  // the buffer has room for 3 per byte
            o += form.length;
        }
        return static_cast<std::size_t>(o - buffer);
    });
    return out;
}

bool starts_with(ByteSpan bytes, std::string_view prefix) noexcept {
    return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

// --- Routines --------------------------------------------------------------

Result<std::string> decode_utf8(ByteSpan bytes) {
    if (const auto fault = find_utf8_fault(bytes)) {
        if (fault->length == 0) {
            return value_error(
                (Message{} << "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " << fault->index).str());
        }
        return value_error((Message{} << "Invalid UTF-8 bytes: invalid utf-8 sequence of " << fault->length
                                      << " bytes from index " << fault->index)
                               .str());
    }
    return copy_as_text(bytes);
}

Result<std::string> decode_utf16_with_endianness(ByteSpan bytes, bool little_endian) {
    if (bytes.size() % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
    std::string text;
    const bool ok = little_endian ? utf16_to_utf8<true>(bytes, text) : utf16_to_utf8<false>(bytes, text);
    if (!ok) return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
    return text;
}

Result<std::string> decode_utf16(ByteSpan bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
    }
    if (bytes[0] == 0xFE && bytes[1] == 0xFF) return decode_utf16_with_endianness(bytes.subspan(2), false);
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) return decode_utf16_with_endianness(bytes.subspan(2), true);
    return decode_utf16_with_endianness(bytes, false);
}

Result<std::string> decode_utf32_with_endianness(ByteSpan bytes, bool little_endian) {
    if (bytes.size() % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
    std::string text;
    const auto invalid = little_endian ? utf32_to_utf8<true>(bytes, text) : utf32_to_utf8<false>(bytes, text);
    if (invalid) return value_error((Message{} << "Invalid UTF-32 codepoint: 0x").hex(*invalid, 8).str());
    return text;
}

Result<std::string> decode_utf32(ByteSpan bytes) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0) {
        return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    }
    using namespace std::string_view_literals;
    if (starts_with(bytes, "\xFF\xFE\x00\x00"sv)) return decode_utf32_with_endianness(bytes.subspan(4), true);
    if (starts_with(bytes, "\x00\x00\xFE\xFF"sv)) return decode_utf32_with_endianness(bytes.subspan(4), false);
    return decode_utf32_with_endianness(bytes, false);
}

Result<std::string> decode_us_ascii(ByteSpan bytes) {
    const std::size_t bad = first_non_ascii(bytes);
    if (bad != bytes.size()) {
        Message message;
        message << "Invalid US-ASCII byte: 0x";
        message.hex(bytes[bad], 2) << " (must be <= 0x7F)";
        return value_error(message.str());
    }
    return copy_as_text(bytes);
}

std::string decode_iso_8859_1(ByteSpan bytes) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::string out;
    out.resize_and_overwrite(size * 2, [&](char* buffer, std::size_t) {
        char* o = buffer;
        std::size_t i = 0;
        while (i < size) {
            const std::size_t run = ascii_unit_count<1>(data + i, size - i, any_high_bit);
            std::memcpy(o, data + i, run);
            o += run;
            i += run;
            if (i == size) break;
            const std::uint8_t byte = data[i++];
            *o++ = static_cast<char>(0xC0 | (byte >> 6));
            *o++ = static_cast<char>(0x80 | (byte & 0x3F));
        }
        return static_cast<std::size_t>(o - buffer);
    });
    return out;
}

// A leading byte-order mark switches to UTF-8 or UTF-16 for the rest of the
// input; only without one are the bytes windows-1252. Text behind a mark must
// be well formed: a damaged one is refused rather than patched.
Result<std::string> decode_windows_1252(ByteSpan bytes) {
    using namespace std::string_view_literals;
    constexpr std::string_view failure = "Failed to decode Windows-1252 bytes";
    if (starts_with(bytes, "\xEF\xBB\xBF"sv)) {
        const ByteSpan rest = bytes.subspan(3);
        if (find_utf8_fault(rest)) return value_error(std::string(failure));
        return copy_as_text(rest);
    }
    const bool utf16le = starts_with(bytes, "\xFF\xFE"sv);
    if (utf16le || starts_with(bytes, "\xFE\xFF"sv)) {
        auto text = decode_utf16_with_endianness(bytes.subspan(2), utf16le);
        if (!text) return value_error(std::string(failure));
        return text;
    }
    return windows1252_to_utf8(bytes);
}

}  // namespace bitloom
