// The text encoders against the reference models, and back: any text made of
// scalar values encodes as the model says (or fails with the model's
// message), and decoding the UTF forms gives the text again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    } else {
        FUZZ_CHECK(got.error().kind == bitloom::ErrorKind::value_error);
        FUZZ_CHECK(got.error().message == want.text);
    }
}

void expect_decodes_to(const Result<std::string>& decoded, const std::string& utf8) {
    FUZZ_CHECK(decoded.has_value());
    FUZZ_CHECK(*decoded == utf8);
}

// Scalar values from the input: mostly ASCII and Latin-1, with the
// windows-1252 punctuation, other BMP characters and astral ones mixed in.
std::vector<char32_t> scalar_values(fuzz::Reader& in, std::size_t count) {
    std::vector<char32_t> text;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t kind = in.byte();
        const std::uint32_t raw = in.integer<std::uint32_t>();
        char32_t cp;
        switch (kind % 5) {
            case 0: cp = raw % 0x80; break;
            case 1: cp = raw % 0x100; break;
            case 2: cp = fuzz::kWindows1252High[raw % 32]; break;
            case 3: cp = raw % 0x10000; break;
            default: cp = raw % 0x110000; break;
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
        text.push_back(cp);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const auto text = scalar_values(in, size / 5);
    std::string utf8;
    for (const char32_t cp : text) fuzz::append_utf8(utf8, cp);

    const auto be16 = bitloom::encode_utf16be(utf8);
    expect_same(be16, Outcome::success(fuzz::model_encode_utf16(text, false)));
    expect_decodes_to(bitloom::decode_utf16_with_endianness(fuzz::as_bytes(*be16), false), utf8);
    const auto le16 = bitloom::encode_utf16le(utf8);
    expect_same(le16, Outcome::success(fuzz::model_encode_utf16(text, true)));
    expect_decodes_to(bitloom::decode_utf16_with_endianness(fuzz::as_bytes(*le16), true), utf8);
    const auto bom16 = bitloom::encode_utf16(utf8);
    expect_same(bom16, Outcome::success("\xFE\xFF" + fuzz::model_encode_utf16(text, false)));
    expect_decodes_to(bitloom::decode_utf16(fuzz::as_bytes(*bom16)), utf8);

    const auto be32 = bitloom::encode_utf32be(utf8);
    expect_same(be32, Outcome::success(fuzz::model_encode_utf32(text, false)));
    expect_decodes_to(bitloom::decode_utf32_with_endianness(fuzz::as_bytes(*be32), false), utf8);
    const auto le32 = bitloom::encode_utf32le(utf8);
    expect_same(le32, Outcome::success(fuzz::model_encode_utf32(text, true)));
    expect_decodes_to(bitloom::decode_utf32_with_endianness(fuzz::as_bytes(*le32), true), utf8);
    const auto bom32 = bitloom::encode_utf32(utf8);
    expect_same(bom32, Outcome::success(std::string("\0\0\xFE\xFF", 4) + fuzz::model_encode_utf32(text, false)));
    expect_decodes_to(bitloom::decode_utf32(fuzz::as_bytes(*bom32)), utf8);

    expect_decodes_to(bitloom::decode_utf8(fuzz::as_bytes(utf8)), utf8);

    const auto ascii = bitloom::encode_us_ascii(utf8);
    expect_same(ascii, fuzz::model_encode_single_byte(text, 0x7F, "US-ASCII"));
    if (ascii) expect_decodes_to(bitloom::decode_us_ascii(fuzz::as_bytes(*ascii)), utf8);
    const auto latin1 = bitloom::encode_iso_8859_1(utf8);
    expect_same(latin1, fuzz::model_encode_single_byte(text, 0xFF, "ISO-8859-1"));
    if (latin1) FUZZ_CHECK(bitloom::decode_iso_8859_1(fuzz::as_bytes(*latin1)) == utf8);
    const auto cp1252 = bitloom::encode_windows_1252(utf8);
    expect_same(cp1252, fuzz::model_encode_windows_1252(text));
    // A leading byte-order mark turns decoding into UTF-8 or UTF-16 on
    // purpose, so the way back is only checked without one.
    if (cp1252 && !(cp1252->starts_with("\xEF\xBB\xBF") || cp1252->starts_with("\xFF\xFE") ||
                    cp1252->starts_with("\xFE\xFF"))) {
        expect_decodes_to(bitloom::decode_windows_1252(fuzz::as_bytes(*cp1252)), utf8);
    }
    return 0;
}
