// The codec table: the public face of the native core.
//
// Every codec a recipe can name has one row here, indexed by its id (the
// `Codec` enum). A row says what kind of value the codec carries and holds
// the plain routines that encode and decode it; no Python object is
// involved, so any module that links the static library `bitloom_core` can
// use it (add `target_link_libraries(<target> PRIVATE bitloom_core)` in
// CMake and include "codecs/codec_table.hpp"):
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

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "common/codec_names.hpp"
#include "common/error.hpp"
#include "common/field_window.hpp"
#include "common/numbers.hpp"
#include "decoder/bcd.hpp"
#include "decoder/ieee754.hpp"
#include "decoder/integer.hpp"
#include "decoder/text.hpp"
#include "encoder/bcd.hpp"
#include "encoder/bit_placement.hpp"
#include "encoder/ieee754.hpp"
#include "encoder/integer.hpp"
#include "encoder/text.hpp"

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
    // Text rows that decode bytes which are all ASCII (each below 0x80, NUL
    // included) to those same bytes, unchanged, and encode ASCII text to its
    // own bytes: a reader may then take such bytes as the decoded text
    // without calling decode_text, and a writer such text as its bytes
    // without calling encode_text.
    bool ascii_is_identity;
};

// The routines in the row shape, and the rows.

namespace codec_detail {

// --- Number routines in the row shape ----------------------------------------

inline Result<std::uint64_t> encode_plain(Number value, std::uint32_t bits, bool) {
    return encode_unsigned(value.u64, bits);
}
inline Result<Number> decode_plain(std::uint64_t raw, std::uint32_t, bool) { return Number{.u64 = raw}; }

template <Result<std::uint64_t> (*Encode)(std::int64_t, std::uint32_t)>
inline Result<std::uint64_t> encode_signed(Number value, std::uint32_t bits, bool) {
    return Encode(value.i64, bits);
}
template <std::int64_t (*Decode)(std::uint64_t, std::uint32_t)>
inline Result<Number> decode_signed(std::uint64_t raw, std::uint32_t bits, bool) {
    return Number{.i64 = Decode(raw, bits)};
}

template <Result<std::uint64_t> (*Encode)(std::int64_t, std::uint32_t, bool)>
inline Result<std::uint64_t> encode_decimal(Number value, std::uint32_t bits, bool is_signed) {
    return Encode(value.i64, bits, is_signed);
}
template <Result<std::int64_t> (*Decode)(std::uint64_t, std::uint32_t, bool)>
inline Result<Number> decode_decimal(std::uint64_t raw, std::uint32_t bits, bool is_signed) {
    const auto value = Decode(raw, bits, is_signed);
    if (!value) return std::unexpected(value.error());
    return Number{.i64 = *value};
}

// binary16 and binary32 take the value narrowed to binary32 first.
template <class Float, auto Encode>
inline Result<std::uint64_t> encode_float(Number value, std::uint32_t, bool) {
    return Encode(static_cast<Float>(value.f64));
}
template <double (*Decode)(std::uint64_t)>
inline Result<Number> decode_float(std::uint64_t raw, std::uint32_t, bool) {
    return Number{.f64 = Decode(raw)};
}

// A binary128 field cannot be read from the 64-bit raw value; answering 0.0
// would report a failure as a value.
inline Result<Number> decode_binary128_field(std::uint64_t, std::uint32_t bits, bool) {
    if (bits > 64) {
        return value_error(
            "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
    }
    return value_error(Message() << "IEEE 754 f128 field needs 128 bits, but bits is " << bits);
}

template <const char* Text>
inline Result<std::uint64_t> refuse_encode(Number, std::uint32_t, bool) {
    return not_implemented(Text);
}
template <const char* Text>
inline Result<Number> refuse_decode(std::uint64_t, std::uint32_t, bool) {
    return not_implemented(Text);
}

// --- Text routines in the row shape ------------------------------------------

inline Result<std::string> encode_utf8_copy(std::string_view utf8) { return std::string(utf8); }
template <bool Little>
inline Result<std::string> decode_utf16_fixed(ByteSpan bytes) {
    return decode_utf16_with_endianness(bytes, Little);
}
template <bool Little>
inline Result<std::string> decode_utf32_fixed(ByteSpan bytes) {
    return decode_utf32_with_endianness(bytes, Little);
}
inline Result<std::string> decode_latin1(ByteSpan bytes) { return decode_iso_8859_1(bytes); }

// --- Not-implemented texts ---------------------------------------------------

namespace refused {
inline constexpr char f128_encode[] = "IEEE 754 f128 encoding not yet implemented";
inline constexpr char ti_f32_encode[] = "TI f32 encoding not yet implemented";
inline constexpr char ti_f32_decode[] = "TI f32 format not yet implemented";
inline constexpr char ti_f40_encode[] = "TI f40 encoding not yet implemented";
inline constexpr char ti_f40_decode[] = "TI f40 format not yet implemented";
inline constexpr char dec_f32_encode[] = "DEC f32 encoding not yet implemented";
inline constexpr char dec_f32_decode[] = "DEC f32 format not yet implemented";
inline constexpr char dec_f64_encode[] = "DEC f64 encoding not yet implemented";
inline constexpr char dec_f64_decode[] = "DEC f64 format not yet implemented";
inline constexpr char ibm_f32_encode[] = "IBM f32 encoding not yet implemented";
inline constexpr char ibm_f32_decode[] = "IBM f32 format not yet implemented";
inline constexpr char ibm_f64_encode[] = "IBM f64 encoding not yet implemented";
inline constexpr char ibm_f64_decode[] = "IBM f64 format not yet implemented";
inline constexpr char ieee754_1985_f32_encode[] = "IEEE 754-1985 f32 encoding not yet implemented";
inline constexpr char ieee754_1985_f32_decode[] = "IEEE 754-1985 f32 format not yet implemented";
inline constexpr char ieee754_1985_f64_encode[] = "IEEE 754-1985 f64 encoding not yet implemented";
inline constexpr char ieee754_1985_f64_decode[] = "IEEE 754-1985 f64 format not yet implemented";
inline constexpr char ieee754_1985_f80_encode[] = "IEEE 754-1985 f80 encoding not yet implemented";
inline constexpr char ieee754_1985_f80_decode[] = "IEEE 754-1985 f80 format not yet implemented";
inline constexpr char mil_std_1750a_f32_encode[] = "MIL-STD-1750A f32 encoding not yet implemented";
inline constexpr char mil_std_1750a_f32_decode[] = "MIL-STD-1750A f32 format not yet implemented";
inline constexpr char mil_std_1750a_f48_encode[] = "MIL-STD-1750A f48 encoding not yet implemented";
inline constexpr char mil_std_1750a_f48_decode[] = "MIL-STD-1750A f48 format not yet implemented";
}  // namespace refused

// --- Row builders ------------------------------------------------------------

constexpr CodecRow number_row(Codec id, std::string_view name, CodecKind kind, bool is_signed, WidthLimits widths,
                              EncodeNumber encode, DecodeNumber decode) {
    return {id, name, kind, is_signed, widths, encode, decode, nullptr, nullptr, {}, {}, false};
}

constexpr CodecRow text_row(Codec id, std::string_view name, EncodeText encode, DecodeText decode,
                            bool ascii_is_identity = false) {
    return {id, name, CodecKind::text, false, any_width, nullptr, nullptr, encode, decode, {}, {}, ascii_is_identity};
}

template <const char* Encode, const char* Decode>
constexpr CodecRow unimplemented_row(Codec id, std::string_view name) {
    return {id,
            name,
            CodecKind::unimplemented,
            true,
            any_width,
            refuse_encode<Encode>,
            refuse_decode<Decode>,
            nullptr,
            nullptr,
            Encode,
            Decode,
            false};
}

using K = CodecKind;
using C = Codec;
inline constexpr WidthLimits up_to_64{0, 64};

inline constexpr std::array<CodecRow, codec_count> rows = {{
    number_row(C::unsigned_int, "unsigned", K::unsigned_integer, false, any_width, encode_plain, decode_plain),
    number_row(C::sign_magnitude, "sign_magnitude", K::signed_integer, true, {2, 64},
               encode_signed<encode_sign_magnitude>, decode_signed<decode_sign_magnitude>),
    number_row(C::ones_complement, "ones_complement", K::signed_integer, true, up_to_64,
               encode_signed<encode_ones_complement>, decode_signed<decode_ones_complement>),
    number_row(C::twos_complement, "twos_complement", K::signed_integer, true, up_to_64,
               encode_signed<encode_twos_complement>, decode_signed<decode_twos_complement>),
    number_row(C::unpacked_bcd, "bcd", K::decimal, false, {8, any_width.max}, encode_decimal<encode_unpacked_bcd>,
               decode_decimal<decode_unpacked_bcd>),
    number_row(C::unpacked_bcd_signed, "bcd_signed", K::decimal, true, {8, any_width.max},
               encode_decimal<encode_unpacked_bcd>, decode_decimal<decode_unpacked_bcd>),
    number_row(C::packed_bcd, "packed_bcd", K::decimal, false, {4, any_width.max}, encode_decimal<encode_packed_bcd>,
               decode_decimal<decode_packed_bcd>),
    number_row(C::packed_bcd_signed, "packed_bcd_signed", K::decimal, true, {4, any_width.max},
               encode_decimal<encode_packed_bcd>, decode_decimal<decode_packed_bcd>),
    number_row(C::ieee754_f16, "ieee754_f16", K::binary_float, true, any_width, encode_float<float, encode_ieee754_f16>,
               decode_float<decode_ieee754_f16>),
    number_row(C::ieee754_f32, "ieee754_f32", K::binary_float, true, any_width, encode_float<float, encode_ieee754_f32>,
               decode_float<decode_ieee754_f32>),
    number_row(C::ieee754_f64, "ieee754_f64", K::binary_float, true, any_width,
               encode_float<double, encode_ieee754_f64>, decode_float<decode_ieee754_f64>),
    // binary128 decodes from 128 bits, which only decode_ieee754_f128 reads;
    // in a packet field it is refused.
    number_row(C::ieee754_f128, "ieee754_f128", K::binary_float, true, any_width, refuse_encode<refused::f128_encode>,
               decode_binary128_field),
    text_row(C::utf8, "utf8", encode_utf8_copy, decode_utf8, true),
    text_row(C::utf16, "utf16", encode_utf16, decode_utf16),
    text_row(C::utf16le, "utf16le", encode_utf16le, decode_utf16_fixed<true>),
    text_row(C::utf16be, "utf16be", encode_utf16be, decode_utf16_fixed<false>),
    text_row(C::utf32, "utf32", encode_utf32, decode_utf32),
    text_row(C::utf32le, "utf32le", encode_utf32le, decode_utf32_fixed<true>),
    text_row(C::utf32be, "utf32be", encode_utf32be, decode_utf32_fixed<false>),
    text_row(C::us_ascii, "us_ascii", encode_us_ascii, decode_us_ascii, true),
    text_row(C::iso_8859_1, "iso_8859_1", encode_iso_8859_1, decode_latin1, true),
    text_row(C::windows_1252, "windows_1252", encode_windows_1252, decode_windows_1252, true),
    unimplemented_row<refused::ti_f32_encode, refused::ti_f32_decode>(C::ti_f32, "ti_f32"),
    unimplemented_row<refused::ti_f40_encode, refused::ti_f40_decode>(C::ti_f40, "ti_f40"),
    unimplemented_row<refused::dec_f32_encode, refused::dec_f32_decode>(C::dec_f32, "dec_f32"),
    unimplemented_row<refused::dec_f64_encode, refused::dec_f64_decode>(C::dec_f64, "dec_f64"),
    unimplemented_row<refused::ibm_f32_encode, refused::ibm_f32_decode>(C::ibm_f32, "ibm_f32"),
    unimplemented_row<refused::ibm_f64_encode, refused::ibm_f64_decode>(C::ibm_f64, "ibm_f64"),
    unimplemented_row<refused::ieee754_1985_f32_encode, refused::ieee754_1985_f32_decode>(C::ieee754_1985_f32,
                                                                                          "ieee754_1985_f32"),
    unimplemented_row<refused::ieee754_1985_f64_encode, refused::ieee754_1985_f64_decode>(C::ieee754_1985_f64,
                                                                                          "ieee754_1985_f64"),
    unimplemented_row<refused::ieee754_1985_f80_encode, refused::ieee754_1985_f80_decode>(C::ieee754_1985_f80,
                                                                                          "ieee754_1985_f80"),
    unimplemented_row<refused::mil_std_1750a_f32_encode, refused::mil_std_1750a_f32_decode>(C::mil_std_1750a_f32,
                                                                                            "mil_std_1750a_f32"),
    unimplemented_row<refused::mil_std_1750a_f48_encode, refused::mil_std_1750a_f48_decode>(C::mil_std_1750a_f48,
                                                                                            "mil_std_1750a_f48"),
}};

// Row i is codec i, and its name resolves to it.
static_assert([]() consteval {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const CodecRow& row = rows[i];
        if (static_cast<std::size_t>(row.id) != i) return false;
        if (unpack_codec_names.find(name_key(row.name)) != row.id) return false;
    }
    return true;
}());
// Every row is complete for its kind. (Sanitizer builds instrument the
// pointer comparisons, which then no longer fold at compile time; the
// ordinary builds check.)
#ifndef __SANITIZE_ADDRESS__
static_assert(std::ranges::all_of(rows, [](const CodecRow& row) {
    const bool text = row.kind == CodecKind::text;
    return text == (row.encode == nullptr) && text == (row.decode == nullptr) && text == (row.encode_text != nullptr) &&
           text == (row.decode_text != nullptr);
}));
#endif

}  // namespace codec_detail

// One row per codec, indexed by the codec's id.
inline constexpr const std::array<CodecRow, codec_count>& codec_rows = codec_detail::rows;

[[nodiscard]] constexpr const CodecRow& codec_row(Codec codec) noexcept {
    return codec_rows[static_cast<std::size_t>(codec)];
}

// One value per codec, indexed by the codec's id: `make` is a generic lambda
// whose `operator()<C>()` gives codec C's value. Typically the value is the
// address of a template instantiated with C: such a function takes
// codec_row(C) as a constant expression, so the row's routines are direct
// calls that the compiler can inline, and a caller reaches code specialised
// for its codec with one indirect call.
template <class Value, class Make>
[[nodiscard]] consteval std::array<Value, codec_count> per_codec(Make make) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<Value, codec_count> { make.template operator()<static_cast<Codec>(I)>()... };
    }(std::make_index_sequence<codec_count>{});
}

// Each codec's kind, in a table of its own: a loop that only needs the kind
// reads one cache line rather than a row each.
inline constexpr std::array<CodecKind, codec_count> codec_kinds =
    per_codec<CodecKind>([]<Codec C>() { return codec_row(C).kind; });

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
