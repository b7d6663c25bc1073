// Reference models of the text codecs, written for clarity rather than
// speed: one scalar value at a time, straight from the format definitions.
// The fuzz targets compare the real routines with them, result and message.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common.hpp"

namespace fuzz {

// Either the UTF-8 text or the failure message.
struct Outcome {
    bool ok;
    std::string text;  // result on success, message on failure

    static Outcome success(std::string t) { return {true, std::move(t)}; }
    static Outcome failure(std::string m) { return {false, std::move(m)}; }
};

inline std::string hex(std::uint32_t v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", width, v);
    return buf;
}

inline Outcome model_utf8(std::span<const std::uint8_t> s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const Utf8Step st = utf8_step(s, i);
        if (st.length == 0) {
            if (st.incomplete) {
                return Outcome::failure("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " +
                                        std::to_string(i));
            }
            return Outcome::failure("Invalid UTF-8 bytes: invalid utf-8 sequence of " +
                                    std::to_string(st.bad_length) + " bytes from index " + std::to_string(i));
        }
        append_utf8(out, st.value);
        i += st.length;
    }
    return Outcome::success(out);
}

inline Outcome model_utf16_endian(std::span<const std::uint8_t> s, bool little) {
    if (s.size() % 2 != 0) return Outcome::failure("UTF-16 requires an even number of bytes");
    std::vector<std::uint16_t> units;
    for (std::size_t i = 0; i < s.size(); i += 2) {
        units.push_back(little ? static_cast<std::uint16_t>(s[i] | (s[i + 1] << 8))
                               : static_cast<std::uint16_t>((s[i] << 8) | s[i + 1]));
    }
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint16_t u = units[i];
        if (u < 0xD800 || u > 0xDFFF) {
            append_utf8(out, u);
        } else if (u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((u - 0xD800U) << 10) + (units[i + 1] - 0xDC00U));
            ++i;
        } else {
            return Outcome::failure("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
        }
    }
    return Outcome::success(out);
}

inline Outcome model_utf16(std::span<const std::uint8_t> s) {
    if (s.size() < 2 || s.size() % 2 != 0) {
        return Outcome::failure("UTF-16 requires an even number of bytes with at least 2 bytes");
    }
    if (s[0] == 0xFE && s[1] == 0xFF) return model_utf16_endian(s.subspan(2), false);
    if (s[0] == 0xFF && s[1] == 0xFE) return model_utf16_endian(s.subspan(2), true);
    return model_utf16_endian(s, false);
}

inline Outcome model_utf32_endian(std::span<const std::uint8_t> s, bool little) {
    if (s.size() % 4 != 0) return Outcome::failure("UTF-32 requires a multiple of 4 bytes");
    std::string out;
    for (std::size_t i = 0; i < s.size(); i += 4) {
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v = (v << 8) | s[i + (little ? 3 - k : k)];
        if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
            return Outcome::failure("Invalid UTF-32 codepoint: 0x" + hex(v, 8));
        }
        append_utf8(out, v);
    }
    return Outcome::success(out);
}

inline Outcome model_utf32(std::span<const std::uint8_t> s) {
    if (s.size() < 4 || s.size() % 4 != 0) {
        return Outcome::failure("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    }
    if (s[0] == 0xFF && s[1] == 0xFE && s[2] == 0 && s[3] == 0) return model_utf32_endian(s.subspan(4), true);
    if (s[0] == 0 && s[1] == 0 && s[2] == 0xFE && s[3] == 0xFF) return model_utf32_endian(s.subspan(4), false);
    return model_utf32_endian(s, false);
}

inline Outcome model_us_ascii(std::span<const std::uint8_t> s) {
    for (const std::uint8_t b : s) {
        if (b > 0x7F) return Outcome::failure("Invalid US-ASCII byte: 0x" + hex(b, 2) + " (must be <= 0x7F)");
    }
    return Outcome::success(std::string(s.begin(), s.end()));
}

inline std::string model_iso_8859_1(std::span<const std::uint8_t> s) {
    std::string out;
    for (const std::uint8_t b : s) append_utf8(out, b);
    return out;
}

// The windows-1252 index for bytes 0x80 to 0x9F; 0xA0 to 0xFF map to the
// code point of the same value.
inline constexpr std::array<char32_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

inline char32_t windows_1252_code_point(std::uint8_t b) {
    return b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : b;
}

inline std::optional<std::uint8_t> windows_1252_byte(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<std::uint8_t>(cp);
    for (std::size_t i = 0; i < kWindows1252High.size(); ++i) {
        if (kWindows1252High[i] == cp) return static_cast<std::uint8_t>(0x80 + i);
    }
    return std::nullopt;
}

inline Outcome model_windows_1252(std::span<const std::uint8_t> s) {
    const char* failed = "Failed to decode Windows-1252 bytes";
    std::optional<Outcome> inner;
    if (s.size() >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
        inner = model_utf8(s.subspan(3));
    } else if (s.size() >= 2 && s[0] == 0xFF && s[1] == 0xFE) {
        inner = model_utf16_endian(s.subspan(2), true);
    } else if (s.size() >= 2 && s[0] == 0xFE && s[1] == 0xFF) {
        inner = model_utf16_endian(s.subspan(2), false);
    }
    if (inner) return inner->ok ? *inner : Outcome::failure(failed);
    std::string out;
    for (const std::uint8_t b : s) append_utf8(out, windows_1252_code_point(b));
    return Outcome::success(out);
}

// Encoders of the single-byte sets, from the text's scalar values.
inline Outcome model_encode_single_byte(const std::vector<char32_t>& text, char32_t limit, const char* set_name) {
    std::string out;
    for (const char32_t cp : text) {
        if (cp > limit) {
            std::string ch;
            append_utf8(ch, cp);
            return Outcome::failure("Character '" + ch + "' (U+" + hex(cp, 4) + ") is not valid " + set_name);
        }
        out.push_back(static_cast<char>(cp));
    }
    return Outcome::success(out);
}

inline Outcome model_encode_windows_1252(const std::vector<char32_t>& text) {
    std::string out;
    for (const char32_t cp : text) {
        const auto b = windows_1252_byte(cp);
        if (!b) return Outcome::failure("Failed to encode to Windows-1252");
        out.push_back(static_cast<char>(*b));
    }
    return Outcome::success(out);
}

inline std::string model_encode_utf16(const std::vector<char32_t>& text, bool little) {
    std::string out;
    auto unit = [&](std::uint32_t u) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        if (little) {
            out.push_back(lo);
            out.push_back(hi);
        } else {
            out.push_back(hi);
            out.push_back(lo);
        }
    };
    for (const char32_t cp : text) {
        if (cp < 0x10000) {
            unit(cp);
        } else {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        }
    }
    return out;
}

inline std::string model_encode_utf32(const std::vector<char32_t>& text, bool little) {
    std::string out;
    for (const char32_t cp : text) {
        for (int k = 0; k < 4; ++k) {
            const int shift = little ? 8 * k : 24 - 8 * k;
            out.push_back(static_cast<char>((cp >> shift) & 0xFF));
        }
    }
    return out;
}

}  // namespace fuzz
