// Shared helpers of the fuzz targets: a byte reader over the fuzzer's input,
// a check that reports and aborts, and a strict UTF-8 model used as the
// reference the decoders are compared with.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void failed(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond)                                          \
    do {                                                          \
        if (!(cond)) ::fuzz::failed(__FILE__, __LINE__, #cond);   \
    } while (0)

// Takes bytes off the front of the input; reads past the end give zeros.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    template <class Int>
    Int integer() {
        Int v = 0;
        for (std::size_t i = 0; i < sizeof(Int); ++i) v = static_cast<Int>((v << 8) | byte());
        return v;
    }
    bool flag() { return (byte() & 1U) != 0; }
    std::span<const std::uint8_t> rest() {
        const auto r = std::span<const std::uint8_t>(data_ + pos_, size_ - pos_);
        pos_ = size_;
        return r;
    }
    std::span<const std::uint8_t> take(std::size_t n) {
        if (n > size_ - pos_) n = size_ - pos_;
        const auto r = std::span<const std::uint8_t>(data_ + pos_, n);
        pos_ += n;
        return r;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A 32-bit quantity that is often small, often near a byte boundary and
// sometimes near 2^32, where positions wrap.
inline std::uint32_t interesting_u32(Reader& in) {
    const std::uint8_t kind = in.byte();
    const std::uint32_t raw = in.integer<std::uint32_t>();
    switch (kind % 4) {
        case 0: return raw % 80U;
        case 1: return raw % 400U;
        case 2: return 0xFFFFFFFFU - raw % 300U;
        default: return raw;
    }
}

inline std::string_view as_text(const std::string& s) { return s; }
inline std::span<const std::uint8_t> as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Strict UTF-8 by the table of well-formed byte sequences, decoded one scalar
// value at a time. Returns the scalar value and its length, or length 0 with
// `bad_length` set to the length of the maximal ill-formed subpart (and
// `incomplete` when the input ends inside a sequence that was fine so far).
struct Utf8Step {
    char32_t value;
    std::size_t length;
    std::size_t bad_length;
    bool incomplete;
};

inline Utf8Step utf8_step(std::span<const std::uint8_t> s, std::size_t i) {
    const std::uint8_t b0 = s[i];
    if (b0 < 0x80) return {b0, 1, 0, false};
    std::size_t need;
    std::uint8_t lo = 0x80, hi = 0xBF;
    char32_t value;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        value = b0 & 0x1FU;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        value = b0 & 0x0FU;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        value = b0 & 0x07U;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return {0, 0, 1, false};
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return {0, 0, k, true};
        const std::uint8_t b = s[i + k];
        const std::uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) return {0, 0, k, false};
        value = (value << 6) | (b & 0x3FU);
    }
    return {value, need + 1, 0, false};
}

inline bool is_valid_utf8(std::span<const std::uint8_t> s) {
    for (std::size_t i = 0; i < s.size();) {
        const Utf8Step st = utf8_step(s, i);
        if (st.length == 0) return false;
        i += st.length;
    }
    return true;
}

inline void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace fuzz
