// The codec table: the public face of the native core.
//
// Every codec a recipe can name has one row here, indexed by its id (the
// `Codec` enum). A row says what kind of value the codec carries and holds
// the plain routines that encode and decode it; no Python object is
// involved, so any module that links the static library `bitloom_core` can
// use it (add `target_link_libraries(<target> PRIVATE bitloom_core)` in
// CMake and include "common/codec_table.hpp"):
//
//   - Resolve a name: find_codec(pack_codec_names, "twos_complement") or
//     find_codec(unpack_codec_names, ...) gives the id (ASCII names; see
//     codec_names.hpp), codec_row(id) the row.
//   - Unpack a field: field_window() says which bytes of the packet hold it
//     (and whether they all lie inside), assemble_value() and
//     raw_field_value() turn them into the right-aligned raw value, and
//     decode_number(row, raw, bits) gives the value as the row's
//     native_type(): an int64, a uint64 or a double (or an Error to raise).
//     Text rows decode the field's bytes with decode_text(row, bytes),
//     reversed first for a little-endian field.
//   - Pack a field: encode_number(row, value, bits) gives the raw value and
//     place_raw_value() writes it into a zero-filled buffer; text rows
//     encode with encode_text(row, utf8) and place with place_text_bytes().
//
// Errors are deferred: every routine returns Result<T> (std::expected with
// an Error of a kind and a message), exactly what the packet functions
// report, and the caller decides how to raise it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "../encoder/bit_placement.hpp"
#include "codec_names.hpp"
#include "error.hpp"
#include "field_window.hpp"
#include "numbers.hpp"

namespace bitloom {

// What a codec carries.
enum class CodecKind : std::uint8_t {
    unsigned_integer,  // plain binary
    signed_integer,    // sign-magnitude, ones' or two's complement
    decimal,           // BCD; the row's signed flag picks the form with a sign
    binary_float,      // IEEE 754 binary formats
    text,              // character encodings: the field holds the text's bytes
    unimplemented,     // formats known by name only; both directions refuse them
};

// The native type of a value on the codec's native side, in both directions.
enum class NativeType : std::uint8_t { u64, i64, f64, text };

[[nodiscard]] constexpr NativeType native_type(CodecKind kind) noexcept {
    switch (kind) {
        case CodecKind::unsigned_integer: return NativeType::u64;
        case CodecKind::signed_integer:
        case CodecKind::decimal: return NativeType::i64;
        case CodecKind::binary_float:
        case CodecKind::unimplemented: return NativeType::f64;
        case CodecKind::text: return NativeType::text;
    }
    return NativeType::text;  // not reached: every kind is listed above
}

// A number as the row's native type says (u64, i64 or f64).
union Number {
    std::uint64_t u64;
    std::int64_t i64;
    double f64;
};

// Routines. The raw value is the field's bits right-aligned in 64 bits;
// `is_signed` is the row's own flag.
using EncodeNumber = Result<std::uint64_t> (*)(Number value, std::uint32_t bits, bool is_signed);
using DecodeNumber = Result<Number> (*)(std::uint64_t raw, std::uint32_t bits, bool is_signed);
using EncodeText = Result<std::string> (*)(std::string_view utf8);
using DecodeText = Result<std::string> (*)(ByteSpan bytes);

// Field widths an encoder accepts; it refuses the others with its own
// message. Widths above 64 are placed with the value in the low 64 bits.
struct WidthLimits {
    std::uint32_t min;
    std::uint32_t max;
};
inline constexpr WidthLimits any_width{0, 0xFFFFFFFFU};

struct CodecRow {
    Codec id;
    std::string_view name;  // the canonical (first) name
    CodecKind kind;
    bool is_signed;
    WidthLimits encode_bits;
    // Number kinds fill encode/decode, the text kind encode_text/decode_text;
    // the others are null. Unimplemented formats fill the ones their single-
    // value functions take, with routines that return the texts below.
    EncodeNumber encode;
    DecodeNumber decode;
    EncodeText encode_text;
    DecodeText decode_text;
    // NotImplementedError texts; empty where the direction is implemented.
    std::string_view encode_not_implemented;
    std::string_view decode_not_implemented;
};

extern const std::array<CodecRow, codec_count> codec_rows;

[[nodiscard]] inline const CodecRow& codec_row(Codec codec) noexcept {
    return codec_rows[static_cast<std::size_t>(codec)];
}

[[nodiscard]] inline Result<Number> decode_number(const CodecRow& row, std::uint64_t raw, std::uint32_t bits) {
    return row.decode(raw, bits, row.is_signed);
}
[[nodiscard]] inline Result<std::uint64_t> encode_number(const CodecRow& row, Number value, std::uint32_t bits) {
    return row.encode(value, bits, row.is_signed);
}
[[nodiscard]] inline Result<std::string> decode_text(const CodecRow& row, ByteSpan bytes) {
    return row.decode_text(bytes);
}
[[nodiscard]] inline Result<std::string> encode_text(const CodecRow& row, std::string_view utf8) {
    return row.encode_text(utf8);
}

}  // namespace bitloom
