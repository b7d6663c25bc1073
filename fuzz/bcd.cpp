// The BCD decoders against a digit-by-digit model of the layouts (result or
// exact message, for every width, including widths far beyond 64 bits), and
// the encoders: a success decodes back to the value, a failure carries one of
// the encoders' messages.
#include <cstddef>
#include <cstdint>
#include <string>

#include "decoder/bcd.hpp"
#include "encoder/bcd.hpp"
#include "common.hpp"
#include "text_model.hpp"

namespace {

using bitloom::Result;

struct Decoded {
    bool ok;
    std::int64_t value;
    std::string message;
};

Decoded fail(std::string m) { return {false, 0, std::move(m)}; }
std::string digit_message(std::uint64_t d) { return "Invalid BCD digit: " + std::to_string(d) + " (must be 0-9)"; }

// Positions past the raw value's 64 bits read as zero, so only the first 16
// nibbles or 8 bytes (plus, for zoned signed fields, the first byte beyond
// them) can decide anything.
Decoded model_packed(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    const std::uint64_t n = bits / 4U;
    if (n == 0) return {true, 0, {}};
    auto nibble = [&](std::uint64_t k) -> std::uint64_t { return k < 16 ? (value >> (4 * k)) & 0xF : 0; };
    bool negative = false;
    std::uint64_t first = 0;
    if (is_signed) {
        const std::uint64_t sign = nibble(0);
        if (sign <= 9) return fail("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
        negative = sign == 0xB || sign == 0xD;
        first = 1;
    }
    const std::uint64_t last = n < 16 ? n : 16;
    for (std::uint64_t k = first; k < last; ++k) {
        if (nibble(k) > 9) return fail(digit_message(nibble(k)));
    }
    std::uint64_t magnitude = 0;
    for (std::uint64_t k = last; k-- > first;) magnitude = magnitude * 10 + nibble(k);
    const auto m = static_cast<std::int64_t>(magnitude);
    return {true, negative ? -m : m, {}};
}

Decoded model_unpacked(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    const std::uint64_t n = bits / 8U;
    if (n == 0) return {true, 0, {}};
    auto byte = [&](std::uint64_t k) -> std::uint32_t {
        return k < 8 ? static_cast<std::uint32_t>((value >> (8 * k)) & 0xFF) : 0U;
    };
    bool negative = false;
    std::uint64_t digits[8];
    const std::uint64_t last = n < 8 ? n : 8;
    if (!is_signed) {
        for (std::uint64_t k = 0; k < last; ++k) {
            if (byte(k) > 9) return fail(digit_message(byte(k)));
            digits[k] = byte(k);
        }
    } else {
        const std::uint32_t s = byte(0), zone = s >> 4;
        if ((s & 0xF) > 9 || !(zone == 0xC || zone == 0xF || zone == 0x3 || zone == 0xD)) {
            return fail("Invalid zoned decimal signed byte: 0x" + fuzz::hex(s, 2) +
                        " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)");
        }
        negative = zone == 0xD;
        digits[0] = s & 0xF;
        for (std::uint64_t k = 1; k < n && k <= 8; ++k) {
            const std::uint32_t b = byte(k), z = b >> 4;
            if ((b & 0xF) > 9 || !(z == 0x3 || z == 0xF)) {
                return fail("Invalid zoned decimal byte: 0x" + fuzz::hex(b, 2) +
                            " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
            }
            if (k < 8) digits[k] = b & 0xF;
        }
    }
    std::uint64_t magnitude = 0;
    for (std::uint64_t k = last; k-- > 0;) magnitude = magnitude * 10 + digits[k];
    const auto m = static_cast<std::int64_t>(magnitude);
    return {true, negative ? -m : m, {}};
}

void expect_same(const Result<std::int64_t>& got, const Decoded& want) {
    FUZZ_CHECK(got.has_value() == want.ok);
    if (got) {
        FUZZ_CHECK(*got == want.value);
    } else {
        FUZZ_CHECK(got.error().kind == bitloom::ErrorKind::value_error);
        FUZZ_CHECK(got.error().message == want.message);
    }
}

// Digits a field of this width holds, as the encoders count them.
std::uint64_t digit_capacity(bool packed, std::uint32_t bits, bool is_signed) {
    if (packed) {
        const std::uint64_t n = bits / 4U < 16 ? bits / 4U : 16;
        return n - (is_signed ? 1 : 0);
    }
    return bits / 8U < 8 ? bits / 8U : 8;
}

void check_encoder(bool packed, std::int64_t value, std::uint32_t bits, bool is_signed) {
    const Result<std::uint64_t> raw = packed ? bitloom::encode_packed_bcd(value, bits, is_signed)
                                             : bitloom::encode_unpacked_bcd(value, bits, is_signed);
    const std::uint32_t min_bits = packed ? 4 : 8;
    if (bits < min_bits) {
        FUZZ_CHECK(!raw);
        FUZZ_CHECK(raw.error().message ==
                   (packed ? "bits must be >= 4 for packed BCD" : "bits must be >= 8 for unpacked BCD"));
        return;
    }
    if (value < 0 && !is_signed) {
        FUZZ_CHECK(!raw);
        FUZZ_CHECK(raw.error().message == "Cannot encode negative value in unsigned BCD");
        return;
    }
    const std::uint64_t digits = digit_capacity(packed, bits, is_signed);
    const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    const std::string text = std::to_string(magnitude);
    const bool fits = magnitude == 0 || text.size() <= digits;
    if (!fits) {
        FUZZ_CHECK(!raw);
        FUZZ_CHECK(raw.error().message == "Value " + std::to_string(value) + " has too many digits for " +
                                              std::to_string(digits) + " BCD digits");
        return;
    }
    FUZZ_CHECK(raw.has_value());
    if (bits < 64) FUZZ_CHECK((*raw >> bits) == 0);  // nothing above the field
    // Zoned signed fields wider than 64 bits read their 0x00 padding as a bad
    // digit byte; every other field decodes back to the value.
    if (!packed && is_signed && bits >= 72) return;
    const auto back = packed ? bitloom::decode_packed_bcd(*raw, bits, is_signed)
                             : bitloom::decode_unpacked_bcd(*raw, bits, is_signed);
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(*back == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t mode = in.byte();
    const bool is_signed = (mode & 2) != 0;
    const bool packed = (mode & 4) != 0;
    const std::uint32_t bits = fuzz::interesting_u32(in);
    const std::uint64_t value = in.integer<std::uint64_t>();
    if (mode & 1) {
        // Smaller magnitudes reach the successful paths more often.
        const auto v = static_cast<std::int64_t>(value);
        const std::uint8_t scale = in.byte() % 20;
        std::int64_t scaled = v;
        if (scale < 19) {
            std::int64_t limit = 1;
            for (std::uint8_t i = 0; i < scale; ++i) limit *= 10;
            scaled = v % limit;
        }
        check_encoder(packed, scaled, bits, is_signed);
    } else if (packed) {
        expect_same(bitloom::decode_packed_bcd(value, bits, is_signed), model_packed(value, bits, is_signed));
    } else {
        expect_same(bitloom::decode_unpacked_bcd(value, bits, is_signed), model_unpacked(value, bits, is_signed));
    }
    return 0;
}
