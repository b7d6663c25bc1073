// The text decoders against the reference models: same text or same message
// for every input, and a decoded text encodes back to the very same bytes
// wherever the format is a bijection.
#include <cstddef>
#include <cstdint>
#include <string>

#include "decoder/text.hpp"
#include "encoder/text.hpp"
#include "common.hpp"
#include "text_model.hpp"

namespace {

using bitloom::Result;
using fuzz::Outcome;

void expect_same(const Result<std::string>& got, const Outcome& want) {
    FUZZ_CHECK(got.has_value() == want.ok);
    if (got) {
        FUZZ_CHECK(*got == want.text);
        FUZZ_CHECK(fuzz::is_valid_utf8(fuzz::as_bytes(*got)));
    } else {
        FUZZ_CHECK(got.error().kind == bitloom::ErrorKind::value_error);
        FUZZ_CHECK(got.error().message == want.text);
    }
}

// Encoding the decoded text again must give back `bytes` after `prefix`.
void expect_reencodes(const Result<std::string>& encoded, std::span<const std::uint8_t> bytes, std::size_t prefix) {
    FUZZ_CHECK(encoded.has_value());
    const auto tail = bytes.subspan(prefix);
    FUZZ_CHECK(encoded->size() == tail.size());
    FUZZ_CHECK(std::equal(tail.begin(), tail.end(), reinterpret_cast<const std::uint8_t*>(encoded->data())));
}

bool starts_with(std::span<const std::uint8_t> s, std::initializer_list<std::uint8_t> p) {
    return s.size() >= p.size() && std::equal(p.begin(), p.end(), s.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t which = in.byte();
    const auto bytes = in.rest();

    switch (which % 10) {
        case 0: {
            const auto got = bitloom::decode_utf8(bytes);
            expect_same(got, fuzz::model_utf8(bytes));
            if (got) expect_reencodes(*got, bytes, 0);  // UTF-8 out is the input itself
            break;
        }
        case 1:
        case 2: {
            const bool little = which % 10 == 1;
            const auto got = bitloom::decode_utf16_with_endianness(bytes, little);
            expect_same(got, fuzz::model_utf16_endian(bytes, little));
            if (got) expect_reencodes(little ? bitloom::encode_utf16le(*got) : bitloom::encode_utf16be(*got), bytes, 0);
            break;
        }
        case 3: {
            const auto got = bitloom::decode_utf16(bytes);
            expect_same(got, fuzz::model_utf16(bytes));
            if (!got) break;
            if (starts_with(bytes, {0xFF, 0xFE})) {
                expect_reencodes(bitloom::encode_utf16le(*got), bytes, 2);
            } else if (starts_with(bytes, {0xFE, 0xFF})) {
                expect_reencodes(bitloom::encode_utf16(*got), bytes, 0);
            } else {
                expect_reencodes(bitloom::encode_utf16be(*got), bytes, 0);
            }
            break;
        }
        case 4:
        case 5: {
            const bool little = which % 10 == 4;
            const auto got = bitloom::decode_utf32_with_endianness(bytes, little);
            expect_same(got, fuzz::model_utf32_endian(bytes, little));
            if (got) expect_reencodes(little ? bitloom::encode_utf32le(*got) : bitloom::encode_utf32be(*got), bytes, 0);
            break;
        }
        case 6: {
            const auto got = bitloom::decode_utf32(bytes);
            expect_same(got, fuzz::model_utf32(bytes));
            if (!got) break;
            if (starts_with(bytes, {0xFF, 0xFE, 0x00, 0x00})) {
                expect_reencodes(bitloom::encode_utf32le(*got), bytes, 4);
            } else if (starts_with(bytes, {0x00, 0x00, 0xFE, 0xFF})) {
                expect_reencodes(bitloom::encode_utf32(*got), bytes, 0);
            } else {
                expect_reencodes(bitloom::encode_utf32be(*got), bytes, 0);
            }
            break;
        }
        case 7: {
            const auto got = bitloom::decode_us_ascii(bytes);
            expect_same(got, fuzz::model_us_ascii(bytes));
            if (got) expect_reencodes(bitloom::encode_us_ascii(*got), bytes, 0);
            break;
        }
        case 8: {
            const std::string got = bitloom::decode_iso_8859_1(bytes);
            FUZZ_CHECK(got == fuzz::model_iso_8859_1(bytes));
            expect_reencodes(bitloom::encode_iso_8859_1(got), bytes, 0);
            break;
        }
        default: {
            const auto got = bitloom::decode_windows_1252(bytes);
            expect_same(got, fuzz::model_windows_1252(bytes));
            if (!got) break;
            if (starts_with(bytes, {0xEF, 0xBB, 0xBF})) {
                expect_reencodes(Result<std::string>(*got), bytes, 3);
            } else if (starts_with(bytes, {0xFF, 0xFE})) {
                expect_reencodes(bitloom::encode_utf16le(*got), bytes, 2);
            } else if (starts_with(bytes, {0xFE, 0xFF})) {
                expect_reencodes(bitloom::encode_utf16be(*got), bytes, 2);
            } else {
                // Every byte has its own code point in windows-1252, and each
                // of them encodes back to that byte.
                expect_reencodes(bitloom::encode_windows_1252(*got), bytes, 0);
            }
            break;
        }
    }
    return 0;
}
