// The text writers that work on the interpreter's code units (1, 2 or 4
// bytes a character, lone surrogates possible) against the reference
// encoders, each writing into a buffer of exactly the announced size; and
// the windows-1252 decoding into 16-bit units against the index.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoder/text.hpp"
#include "encoder/text.hpp"
#include "common.hpp"
#include "text_model.hpp"

namespace {

bool is_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

// Runs `write` into a heap block of exactly `size` bytes (the sanitizer sees
// any write past it) and returns what it wrote, or nothing when it refused.
// The interpreter never hands over a null buffer, even an empty one, and
// neither does this.
template <class Write>
std::optional<std::string> written(std::size_t size, Write&& write) {
    const std::unique_ptr<char[]> out(new char[size]);
    if (!write(out.get())) return std::nullopt;
    return std::string(out.get(), size);
}

template <class Unit>
void check_writers(const std::vector<char32_t>& text) {
    const std::unique_ptr<Unit[]> units(new Unit[text.size()]);
    std::copy(text.begin(), text.end(), units.get());
    const std::span<const Unit> view(units.get(), text.size());
    bool has_surrogate = false;
    for (const char32_t cp : text) has_surrogate = has_surrogate || is_surrogate(cp);

    std::size_t utf16 = 0;
    for (const char32_t cp : text) utf16 += cp > 0xFFFF ? 4 : 2;
    FUZZ_CHECK(bitloom::utf16_size(view) == utf16);

    for (const bool little : {false, true}) {
        const auto u16 = written(utf16, [&](char* out) { return bitloom::write_utf16(view, little, out); });
        const auto u32 = written(4 * text.size(), [&](char* out) { return bitloom::write_utf32(view, little, out); });
        FUZZ_CHECK(u16.has_value() == !has_surrogate);
        FUZZ_CHECK(u32.has_value() == !has_surrogate);
        if (!has_surrogate) {
            FUZZ_CHECK(*u16 == fuzz::model_encode_utf16(text, little));
            FUZZ_CHECK(*u32 == fuzz::model_encode_utf32(text, little));
        }
    }
    auto single_byte = [&](auto write, const fuzz::Outcome& model) {
        const auto got = written(text.size(), [&](char* out) { return write(view, out); });
        FUZZ_CHECK(got.has_value() == model.ok);
        if (got) FUZZ_CHECK(*got == model.text);
    };
    // Surrogates are in no single-byte set; the models, built for scalar
    // values, already refuse everything above their range.
    single_byte([](auto v, char* o) { return bitloom::write_us_ascii(v, o); },
                fuzz::model_encode_single_byte(text, 0x7F, "US-ASCII"));
    single_byte([](auto v, char* o) { return bitloom::write_iso_8859_1(v, o); },
                fuzz::model_encode_single_byte(text, 0xFF, "ISO-8859-1"));
    single_byte([](auto v, char* o) { return bitloom::write_windows_1252(v, o); },
                fuzz::model_encode_windows_1252(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t mode = in.byte();
    if (mode % 4 == 3) {
        // windows-1252 bytes to 16-bit units.
        const auto bytes = in.rest();
        const std::unique_ptr<std::uint16_t[]> out(new std::uint16_t[bytes.size()]);
        bitloom::windows_1252_to_ucs2(bytes, out.get());
        bool exceeds = false;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const char32_t cp = fuzz::windows_1252_code_point(bytes[i]);
            FUZZ_CHECK(out[i] == cp);
            exceeds = exceeds || cp > 0xFF;
        }
        FUZZ_CHECK(bitloom::windows_1252_exceeds_latin1(bytes) == exceeds);
        return 0;
    }
    // Code points within what the unit size holds; surrogates included, as
    // a str may hold them.
    const char32_t limit = mode % 4 == 0 ? 0xFF : mode % 4 == 1 ? 0xFFFF : 0x10FFFF;
    std::vector<char32_t> text;
    while (true) {
        const std::uint8_t kind = in.byte();
        if (kind == 0) break;
        const std::uint32_t raw = in.integer<std::uint32_t>();
        char32_t cp;
        switch (kind % 6) {
            case 0: cp = raw % 0x80; break;
            case 1: cp = raw % 0x100; break;
            case 2: cp = fuzz::kWindows1252High[raw % 32]; break;
            case 3: cp = 0xD800 + raw % 0x800; break;
            default: cp = raw; break;
        }
        text.push_back(cp % (limit + 1));
    }
    switch (mode % 4) {
        case 0: check_writers<std::uint8_t>(text); break;
        case 1: check_writers<std::uint16_t>(text); break;
        default: check_writers<std::uint32_t>(text); break;
    }
    return 0;
}
