// The function table, from one source: each row names a published function,
// its parameters, the body its wrapper runs and its docstring; the wrapper,
// the argument description and the documentation ("name(params)\n--\n\n"
// and the docstring) are built from the row at compile time. A wrapper
// matches and converts the arguments, calls one native routine (through its
// codec's row) and converts its result.
#include "functions.hpp"

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "codecs/codec_table.hpp"
#include "decoder/ieee754.hpp"
#include "packet/recipe_item.hpp"
#include "text_direct.hpp"

namespace bitloom {

namespace {

// ---------------------------------------------------------------------------
// Parameters: how one matched argument becomes a native value. `read`
// converts under the parameter's name (an exact TypeError is rewrapped as
// "argument '<name>': ...").

template <class T, bool (*Convert)(PyObject*, T&)>
struct Param {
    using type = T;
    static bool read(PyObject* obj, const char* name, T& out) { return convert_argument<T, Convert>(obj, name, out); }
};

using U64 = Param<std::uint64_t, convert_u64>;
using U32 = Param<std::uint32_t, convert_u32>;
using I64 = Param<std::int64_t, convert_i64>;
using U128Param = Param<U128, convert_u128>;
using Double = Param<double, convert_double>;
using Bytes = Param<ByteSpan, convert_bytes>;
using Text = Param<std::string_view, convert_str>;
using Recipe = Param<RecipeItems, convert_sequence>;

// `signed`, the only parameter with a default: omitted means false.
struct SignedFlag {
    using type = bool;
    static bool read(PyObject* obj, const char* name, bool& out) {
        if (obj == nullptr) {
            out = false;
            return true;
        }
        return convert_argument<bool, convert_bool>(obj, name, out);
    }
};

// The argument object itself; the body converts it.
struct Object {
    using type = PyObject*;
    static bool read(PyObject* obj, const char*, PyObject*& out) {
        out = obj;
        return true;
    }
};

// ---------------------------------------------------------------------------
// Results.

template <std::unsigned_integral T>
PyObject* to_python(T v) {
    return checked_result(PyLong_FromUnsignedLongLong(v));
}
template <std::signed_integral T>
PyObject* to_python(T v) {
    return checked_result(PyLong_FromLongLong(v));
}
inline PyObject* to_python(double v) { return checked_result(PyFloat_FromDouble(v)); }
template <class T>
PyObject* to_python(const Result<T>& r) {
    return r ? to_python(*r) : raise_error(r.error());
}
inline PyObject* bytes_result(std::string_view b) {
    return checked_result(PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size())));
}
inline PyObject* text_result(std::string_view utf8) {
    return checked_result(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

// ---------------------------------------------------------------------------
// Rows: a function's name, its parameters (each a name, a conversion and,
// for an optional one, the default its signature line shows) and its body.

// A string literal as a template argument.
template <std::size_t N>
struct Literal {
    char text[N];
    consteval Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
    [[nodiscard]] static constexpr std::size_t size() noexcept { return N - 1; }
    [[nodiscard]] constexpr std::string_view view() const noexcept { return {text, N - 1}; }
};

template <Literal Name, class Conversion, Literal Default = "">
struct Arg : Conversion {
    static constexpr Literal name = Name;
    static constexpr Literal default_text = Default;
    static constexpr bool optional = Default.size() > 0;
};

// "name(p0, p1, p2=default)\n--\n\n", then the docstring Body, and a
// terminating zero. CPython takes the part before "--" as the function's
// __text_signature__ and the rest as its __doc__.
template <Literal Name, Literal Body, class... Args>
consteval auto documentation() {
    constexpr std::size_t params =
        ((Args::name.size() + (Args::optional ? 1 + Args::default_text.size() : 0)) + ... + 0);
    constexpr std::size_t separators = sizeof...(Args) > 0 ? 2 * (sizeof...(Args) - 1) : 0;
    std::array<char, Name.size() + 1 + params + separators + 6 + Body.size() + 1> line{};
    std::size_t at = 0;
    auto append = [&](std::string_view text) {
        for (const char c : text) line[at++] = c;
    };
    append(Name.view());
    append("(");
    bool first = true;
    auto parameter = [&](std::string_view name, bool optional, std::string_view default_text) {
        if (!first) append(", ");
        first = false;
        append(name);
        if (optional) {
            append("=");
            append(default_text);
        }
    };
    (parameter(Args::name.view(), Args::optional, Args::default_text.view()), ...);
    append(")\n--\n\n");
    append(Body.view());
    line[at] = '\0';
    return line;
}

template <class... Args, std::size_t... Is>
bool read_parameters(PyObject* const* a, std::tuple<typename Args::type...>& values, std::index_sequence<Is...>) {
    return (Args::read(a[Is], Args::name.text, std::get<Is>(values)) && ...);
}

// One published function: match the arguments, convert them in parameter
// order (the first failure ends the call), then run Body on the values.
template <Literal Name, auto Body, class... Args>
struct Function {
    static_assert(sizeof...(Args) <= 3);
    static constexpr auto signature_line = documentation<Name, "", Args...>();
    static constexpr Signature signature{
        Name.text,
        signature_line.data(),
        {Args::name.text...},
        static_cast<std::uint8_t>(sizeof...(Args)),
        static_cast<std::uint8_t>((!Args::optional + ... + 0)),
    };

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return call_boundary([&]() -> PyObject* {
            std::array<PyObject*, sizeof...(Args)> slots;
            PyObject* const* a = match_arguments(signature, args, nargs, kwnames, slots);
            if (a == nullptr) return nullptr;
            std::tuple<typename Args::type...> values;
            if (!read_parameters<Args...>(a, values, std::index_sequence_for<Args...>{})) return nullptr;
            return std::apply(Body, values);
        });
    }

    // The method record, documented by the signature line and then Doc:
    // what the function does and what it raises.
    template <Literal Doc>
    static PyMethodDef method() noexcept {
        static constexpr auto text = documentation<Name, Doc, Args...>();
        return {Name.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
                METH_FASTCALL | METH_KEYWORDS, text.data()};
    }
};

// Bodies: each calls through its codec's row.

PyObject* number_result(NativeType type, const Result<Number>& r) {
    if (!r) return raise_error(r.error());
    switch (type) {
        case NativeType::u64: return to_python(r->u64);
        case NativeType::i64: return to_python(r->i64);
        case NativeType::f64: return to_python(r->f64);
        case NativeType::text: break;
    }
    panic("a text codec has no number");
}

// raw, bits -> the decoded number (integer rows).
template <Codec C>
constexpr auto decodes = [](std::uint64_t raw, std::uint32_t bits) -> PyObject* {
    const CodecRow& row = codec_row(C);
    return number_result(native_type(row.kind), decode_number(row, raw, bits));
};
// raw, bits, signed -> the decoded number (decimal rows; `signed` picks the row).
template <Codec Plain, Codec Signed>
constexpr auto decodes_decimal = [](std::uint64_t raw, std::uint32_t bits, bool is_signed) -> PyObject* {
    const CodecRow& row = codec_row(is_signed ? Signed : Plain);
    return number_result(native_type(row.kind), decode_number(row, raw, bits));
};
// raw -> the decoded number (floating-point rows read the raw value only).
template <Codec C>
constexpr auto decodes_pattern = [](std::uint64_t raw) -> PyObject* {
    const CodecRow& row = codec_row(C);
    return number_result(native_type(row.kind), decode_number(row, raw, 0));
};

inline PyObject* raw_result(const Result<std::uint64_t>& r) { return r ? to_python(*r) : raise_error(r.error()); }

template <Codec C>
constexpr auto encodes = [](std::int64_t value, std::uint32_t bits) -> PyObject* {
    return raw_result(encode_number(codec_row(C), Number{.i64 = value}, bits));
};
template <Codec Plain, Codec Signed>
constexpr auto encodes_decimal = [](std::int64_t value, std::uint32_t bits, bool is_signed) -> PyObject* {
    return raw_result(encode_number(codec_row(is_signed ? Signed : Plain), Number{.i64 = value}, bits));
};
// value -> the format's pattern (floating-point rows ignore the width).
template <Codec C>
constexpr auto encodes_float =
    [](double value) -> PyObject* { return raw_result(encode_number(codec_row(C), Number{.f64 = value}, 0)); };

// decode_ieee754_f128 reads 128 bits, more than a row's raw value holds.
constexpr auto binary128 = [](U128 value) -> PyObject* { return to_python(decode_ieee754_f128(value)); };

// bytes -> str. The direct path builds the str without a UTF-8 form in
// between; where it declines, the row decodes and reports the failure.
template <Codec C, PyObject* (*Direct)(ByteSpan)>
constexpr auto decodes_text = [](ByteSpan bytes) -> PyObject* {
    if (PyObject* direct = Direct(bytes)) return direct;
    const auto text = decode_text(codec_row(C), bytes);
    return text ? text_result(*text) : raise_error(text.error());
};

// str -> bytes. The direct path encodes a str from its own storage; where it
// declines (a surrogate, a character the charset lacks), the text takes the
// UTF-8 path: the conversion raises the interpreter's error for a surrogate,
// the row reports any other failure.
template <Codec C, PyObject* (*Direct)(PyObject*)>
constexpr auto encodes_text = [](PyObject* obj) -> PyObject* {
    if (BITLOOM_LIKELY(PyUnicode_Check(obj))) {
        if (PyObject* direct = Direct(obj)) return direct;
    }
    std::string_view text;
    if (!convert_argument<std::string_view, convert_str>(obj, "text", text)) return nullptr;
    const auto bytes = encode_text(codec_row(C), text);
    return bytes ? bytes_result(*bytes) : raise_error(bytes.error());
};

// encode_utf8: the text's own UTF-8 form, copied.
constexpr auto utf8_bytes = [](std::string_view text) -> PyObject* { return bytes_result(text); };

// decode_iso_8859_1: every byte is the code point of the same value.
constexpr auto latin1_text = [](ByteSpan bytes) -> PyObject* {
    return checked_result(PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<Py_ssize_t>(bytes.size()), nullptr));
};

// The parameters and shapes of the table below.
using Value = Arg<"value", U64>;
using SignedValue = Arg<"value", I64>;
using Bits = Arg<"bits", U32>;
using IsSigned = Arg<"signed", SignedFlag, "False">;

template <Literal Name, Codec C>
using integer_decoder = Function<Name, decodes<C>, Value, Bits>;
template <Literal Name, Codec C>
using integer_encoder = Function<Name, encodes<C>, SignedValue, Bits>;
template <Literal Name, Codec Plain, Codec Signed>
using decimal_decoder = Function<Name, decodes_decimal<Plain, Signed>, Value, Bits, IsSigned>;
template <Literal Name, Codec Plain, Codec Signed>
using decimal_encoder = Function<Name, encodes_decimal<Plain, Signed>, SignedValue, Bits, IsSigned>;
template <Literal Name, Codec C>
using float_decoder = Function<Name, decodes_pattern<C>, Value>;
template <Literal Name, Codec C>
using float_encoder = Function<Name, encodes_float<C>, Arg<"value", Double>>;
// Formats known by name only: the argument converts, then the row refuses.
template <Literal Name, Codec C>
using unimplemented_decoder = Function<Name, decodes_pattern<C>, Arg<"_value", U64>>;
template <Literal Name, Codec C>
using unimplemented_encoder = Function<Name, encodes_float<C>, Arg<"_value", Double>>;
template <Literal Name, Codec C, auto Direct>
using text_decoder = Function<Name, decodes_text<C, Direct>, Arg<"bytes", Bytes>>;
template <Literal Name, Codec C, auto Direct>
using text_encoder = Function<Name, encodes_text<C, Direct>, Arg<"text", Object>>;

using C = Codec;

// The published functions in registration order (also the order of
// __all__). PyCMethod_New keeps pointers to these records for the life of
// the functions.
std::array<PyMethodDef, 62> kMethods = {
    Function<
        "unpack_parameters", unpack_parameters, Arg<"packet_bytes", Bytes>, Arg<"offset_bits", U32>,
        Arg<"recipe", Recipe>>::method<"Unpacks the fields a recipe describes from a packet and returns a dict\n"
                                       "from each item's name to its decoded value.\n"
                                       "\n"
                                       "recipe is a sequence of dicts, one per field, with the keys name,\n"
                                       "encoding, bits, byte_order and reverse_bits, and optionally offset_bits\n"
                                       "(counted from the offset_bits argument; without it the field follows the\n"
                                       "previous one). Each field is read from the byte holding its first bit.\n"
                                       "\n"
                                       "Raises ValueError for any problem with an item, its text the inner\n"
                                       "error's type name, a colon and its message (for example \"KeyError:\" for\n"
                                       "a missing field, or \"ValueError: Field 'x' needs 2 bytes from byte 3 but\n"
                                       "the packet has 4 bytes\"); TypeError when packet_bytes is not bytes or\n"
                                       "recipe is a str or not a sequence; OverflowError when offset_bits is not\n"
                                       "an unsigned 32-bit integer.">(),
    Function<"pack_parameters", pack_parameters, Arg<"recipe", Recipe>>::method<
        "Packs the values of a recipe into a packet and returns it as bytes.\n"
        "\n"
        "recipe is a sequence of dicts, one per field, with the keys name,\n"
        "encoding, bits, byte_order, reverse_bits and value, and optionally\n"
        "offset_bits (the field's absolute bit position; without it the field\n"
        "follows the previous one). Fields are written most significant bit\n"
        "first; the packet is as long as the furthest field end needs, in whole\n"
        "bytes.\n"
        "\n"
        "Raises ValueError for any problem with an item, its text the inner\n"
        "error's type name, a colon and its message (for example \"KeyError:\" for\n"
        "a missing field, \"ValueError: Unsupported encoding type: utf-7\", or\n"
        "\"ValueError: Value 256 is too large for 8 bits\"); TypeError when recipe\n"
        "is a str or not a sequence.">(),
    integer_decoder<"decode_ones_complement", C::ones_complement>::method<
        "Decodes value as a ones' complement pattern of bits bits, its sign in\n"
        "bit bits - 1, and returns the signed integer it holds.\n"
        "\n"
        "Raises TypeError when an argument is not an integer and OverflowError\n"
        "when value is negative or 2**64 or more, or bits is not an unsigned\n"
        "32-bit integer. The pattern itself never fails to decode.">(),
    integer_decoder<"decode_twos_complement", C::twos_complement>::method<
        "Decodes value as a two's complement pattern of bits bits, its sign in\n"
        "bit bits - 1, and returns the signed integer it holds.\n"
        "\n"
        "Raises TypeError when an argument is not an integer and OverflowError\n"
        "when value is negative or 2**64 or more, or bits is not an unsigned\n"
        "32-bit integer. The pattern itself never fails to decode.">(),
    integer_decoder<"decode_sign_magnitude", C::sign_magnitude>::method<
        "Decodes value as a sign-magnitude pattern of bits bits, its sign in bit\n"
        "bits - 1, and returns the signed integer it holds.\n"
        "\n"
        "Raises TypeError when an argument is not an integer and OverflowError\n"
        "when value is negative or 2**64 or more, or bits is not an unsigned\n"
        "32-bit integer. The pattern itself never fails to decode.">(),
    decimal_decoder<"decode_unpacked_bcd", C::unpacked_bcd, C::unpacked_bcd_signed>::method<
        "Decodes an unpacked (zoned) BCD pattern of bits bits, one digit per\n"
        "byte, and returns its integer value. With signed=True the digits are\n"
        "ASCII or EBCDIC zoned bytes and the units digit's zone carries the sign.\n"
        "\n"
        "Raises ValueError \"Invalid BCD digit: {} (must be 0-9)\" or, when signed,\n"
        "\"Invalid zoned decimal byte: ...\" or \"Invalid zoned decimal signed byte:\n"
        "...\"; TypeError or OverflowError when an argument does not convert\n"
        "(value an unsigned 64-bit integer, bits an unsigned 32-bit one, signed a\n"
        "bool).">(),
    decimal_decoder<"decode_packed_bcd", C::packed_bcd, C::packed_bcd_signed>::method<
        "Decodes a packed BCD pattern of bits bits, one digit per nibble, and\n"
        "returns its integer value. With signed=True the lowest nibble is the\n"
        "sign (0xB and 0xD negative, other values from 0xA up positive).\n"
        "\n"
        "Raises ValueError \"Invalid BCD digit: {} (must be 0-9)\" or \"Invalid BCD\n"
        "sign nibble: expected 0xA-0xF for signed packed BCD\"; TypeError or\n"
        "OverflowError when an argument does not convert (value an unsigned\n"
        "64-bit integer, bits an unsigned 32-bit one, signed a bool).">(),
    float_decoder<"decode_ieee754_f16",
                  C::ieee754_f16>::method<"Decodes the low 16 bits of value as an IEEE 754 binary16 pattern and\n"
                                          "returns the float it holds (NaN payloads and signed zeros kept where a\n"
                                          "float can).\n"
                                          "\n"
                                          "Raises TypeError when value is not an integer and OverflowError when it\n"
                                          "is negative or 2**64 or more.">(),
    float_decoder<"decode_ieee754_f32",
                  C::ieee754_f32>::method<"Decodes the low 32 bits of value as an IEEE 754 binary32 pattern and\n"
                                          "returns the float it holds (NaN payloads and signed zeros kept where a\n"
                                          "float can).\n"
                                          "\n"
                                          "Raises TypeError when value is not an integer and OverflowError when it\n"
                                          "is negative or 2**64 or more.">(),
    float_decoder<"decode_ieee754_f64",
                  C::ieee754_f64>::method<"Decodes value as an IEEE 754 binary64 pattern and returns the float it\n"
                                          "holds (NaN payloads and signed zeros kept where a float can).\n"
                                          "\n"
                                          "Raises TypeError when value is not an integer and OverflowError when it\n"
                                          "is negative or 2**64 or more.">(),
    Function<"decode_ieee754_f128", binary128,
             Arg<"value", U128Param>>::method<"Decodes value as an IEEE 754 binary128 pattern and returns the nearest\n"
                                              "float.\n"
                                              "\n"
                                              "Raises TypeError when value is not an integer, ValueError when it is\n"
                                              "negative, and OverflowError \"Python int larger than 128 bits\".">(),
    unimplemented_decoder<"decode_ieee754_1985_f32", C::ieee754_1985_f32>::method<
        "Not implemented: the IEEE 754-1985 f32 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"IEEE 754-1985 f32 format not yet\n"
        "implemented\" once _value has converted as an unsigned 64-bit integer\n"
        "(TypeError or OverflowError when it does not).">(),
    unimplemented_decoder<"decode_ieee754_1985_f64", C::ieee754_1985_f64>::method<
        "Not implemented: the IEEE 754-1985 f64 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"IEEE 754-1985 f64 format not yet\n"
        "implemented\" once _value has converted as an unsigned 64-bit integer\n"
        "(TypeError or OverflowError when it does not).">(),
    unimplemented_decoder<"decode_ieee754_1985_f80", C::ieee754_1985_f80>::method<
        "Not implemented: the IEEE 754-1985 f80 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"IEEE 754-1985 f80 format not yet\n"
        "implemented\" once _value has converted as an unsigned 64-bit integer\n"
        "(TypeError or OverflowError when it does not).">(),
    unimplemented_decoder<"decode_mil_std_1750a_f32", C::mil_std_1750a_f32>::method<
        "Not implemented: the MIL-STD-1750A f32 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"MIL-STD-1750A f32 format not yet\n"
        "implemented\" once _value has converted as an unsigned 64-bit integer\n"
        "(TypeError or OverflowError when it does not).">(),
    unimplemented_decoder<"decode_mil_std_1750a_f48", C::mil_std_1750a_f48>::method<
        "Not implemented: the MIL-STD-1750A f48 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"MIL-STD-1750A f48 format not yet\n"
        "implemented\" once _value has converted as an unsigned 64-bit integer\n"
        "(TypeError or OverflowError when it does not).">(),
    unimplemented_decoder<"decode_dec_f32",
                          C::dec_f32>::method<"Not implemented: the DEC f32 format is known by name only.\n"
                                              "\n"
                                              "Raises NotImplementedError \"DEC f32 format not yet implemented\" once\n"
                                              "_value has converted as an unsigned 64-bit integer (TypeError or\n"
                                              "OverflowError when it does not).">(),
    unimplemented_decoder<"decode_dec_f64",
                          C::dec_f64>::method<"Not implemented: the DEC f64 format is known by name only.\n"
                                              "\n"
                                              "Raises NotImplementedError \"DEC f64 format not yet implemented\" once\n"
                                              "_value has converted as an unsigned 64-bit integer (TypeError or\n"
                                              "OverflowError when it does not).">(),
    unimplemented_decoder<"decode_ibm_f32",
                          C::ibm_f32>::method<"Not implemented: the IBM f32 format is known by name only.\n"
                                              "\n"
                                              "Raises NotImplementedError \"IBM f32 format not yet implemented\" once\n"
                                              "_value has converted as an unsigned 64-bit integer (TypeError or\n"
                                              "OverflowError when it does not).">(),
    unimplemented_decoder<"decode_ibm_f64",
                          C::ibm_f64>::method<"Not implemented: the IBM f64 format is known by name only.\n"
                                              "\n"
                                              "Raises NotImplementedError \"IBM f64 format not yet implemented\" once\n"
                                              "_value has converted as an unsigned 64-bit integer (TypeError or\n"
                                              "OverflowError when it does not).">(),
    unimplemented_decoder<"decode_ti_f32",
                          C::ti_f32>::method<"Not implemented: the TI f32 format is known by name only.\n"
                                             "\n"
                                             "Raises NotImplementedError \"TI f32 format not yet implemented\" once\n"
                                             "_value has converted as an unsigned 64-bit integer (TypeError or\n"
                                             "OverflowError when it does not).">(),
    unimplemented_decoder<"decode_ti_f40",
                          C::ti_f40>::method<"Not implemented: the TI f40 format is known by name only.\n"
                                             "\n"
                                             "Raises NotImplementedError \"TI f40 format not yet implemented\" once\n"
                                             "_value has converted as an unsigned 64-bit integer (TypeError or\n"
                                             "OverflowError when it does not).">(),
    text_decoder<"decode_us_ascii", C::us_ascii,
                 us_ascii_to_str>::method<"Decodes US-ASCII bytes and returns the text.\n"
                                          "\n"
                                          "Raises ValueError \"Invalid US-ASCII byte: 0x{:02X} (must be <= 0x7F)\"\n"
                                          "for the first byte above 0x7F; TypeError when bytes is not a bytes\n"
                                          "object.">(),
    Function<"decode_iso_8859_1", latin1_text,
             Arg<"bytes", Bytes>>::method<"Decodes ISO-8859-1 bytes (each byte the code point of the same value)\n"
                                          "and returns the text.\n"
                                          "\n"
                                          "Raises TypeError when bytes is not a bytes object; every byte decodes.">(),
    text_decoder<"decode_windows_1252", C::windows_1252, windows_1252_to_str>::method<
        "Decodes Windows-1252 bytes and returns the text. A leading byte-order\n"
        "mark (EF BB BF, FF FE or FE FF) selects UTF-8 or UTF-16 for the rest and\n"
        "is dropped.\n"
        "\n"
        "Raises ValueError \"Failed to decode Windows-1252 bytes\" when the text\n"
        "after such a mark is ill-formed; TypeError when bytes is not a bytes\n"
        "object.">(),
    text_decoder<"decode_utf8", C::utf8,
                 utf8_to_str>::method<"Decodes UTF-8 bytes strictly and returns the text (a leading byte-order\n"
                                      "mark is kept as U+FEFF).\n"
                                      "\n"
                                      "Raises ValueError \"Invalid UTF-8 bytes: ...\" naming the first ill-formed\n"
                                      "or incomplete sequence; TypeError when bytes is not a bytes object.">(),
    text_decoder<"decode_utf16", C::utf16,
                 utf16_to_str>::method<"Decodes UTF-16 bytes and returns the text. A leading byte-order mark (FE\n"
                                       "FF or FF FE) chooses the byte order and is dropped; without one the\n"
                                       "bytes are read big-endian.\n"
                                       "\n"
                                       "Raises ValueError \"UTF-16 requires an even number of bytes with at least\n"
                                       "2 bytes\", or \"Invalid UTF-16 sequence: invalid utf-16: lone surrogate\n"
                                       "found\"; TypeError when bytes is not a bytes object.">(),
    text_decoder<"decode_utf16le", C::utf16le,
                 utf16le_to_str>::method<"Decodes little-endian UTF-16 bytes and returns the text. No byte-order\n"
                                         "mark is recognised: one at the start becomes a character of the text.\n"
                                         "\n"
                                         "Raises ValueError \"UTF-16 requires an even number of bytes\", or \"Invalid\n"
                                         "UTF-16 sequence: invalid utf-16: lone surrogate found\"; TypeError when\n"
                                         "bytes is not a bytes object.">(),
    text_decoder<"decode_utf16be", C::utf16be,
                 utf16be_to_str>::method<"Decodes big-endian UTF-16 bytes and returns the text. No byte-order mark\n"
                                         "is recognised: one at the start becomes a character of the text.\n"
                                         "\n"
                                         "Raises ValueError \"UTF-16 requires an even number of bytes\", or \"Invalid\n"
                                         "UTF-16 sequence: invalid utf-16: lone surrogate found\"; TypeError when\n"
                                         "bytes is not a bytes object.">(),
    text_decoder<"decode_utf32", C::utf32,
                 utf32_to_str>::method<"Decodes UTF-32 bytes and returns the text. A leading byte-order mark (00\n"
                                       "00 FE FF or FF FE 00 00) chooses the byte order and is dropped; without\n"
                                       "one the bytes are read big-endian.\n"
                                       "\n"
                                       "Raises ValueError \"UTF-32 requires a multiple of 4 bytes with at least 4\n"
                                       "bytes\", or \"Invalid UTF-32 codepoint: 0x{:08X}\"; TypeError when bytes is\n"
                                       "not a bytes object.">(),
    text_decoder<"decode_utf32le", C::utf32le,
                 utf32le_to_str>::method<"Decodes little-endian UTF-32 bytes and returns the text. No byte-order\n"
                                         "mark is recognised: one at the start becomes a character of the text.\n"
                                         "\n"
                                         "Raises ValueError \"UTF-32 requires a multiple of 4 bytes\", or \"Invalid\n"
                                         "UTF-32 codepoint: 0x{:08X}\"; TypeError when bytes is not a bytes object.">(),
    text_decoder<"decode_utf32be", C::utf32be,
                 utf32be_to_str>::method<"Decodes big-endian UTF-32 bytes and returns the text. No byte-order mark\n"
                                         "is recognised: one at the start becomes a character of the text.\n"
                                         "\n"
                                         "Raises ValueError \"UTF-32 requires a multiple of 4 bytes\", or \"Invalid\n"
                                         "UTF-32 codepoint: 0x{:08X}\"; TypeError when bytes is not a bytes object.">(),
    integer_encoder<"encode_ones_complement", C::ones_complement>::method<
        "Encodes value as a ones' complement pattern of bits bits and returns the\n"
        "pattern as a non-negative int.\n"
        "\n"
        "Raises ValueError \"bits must be <= 64 for ones' complement encoding\", or\n"
        "\"Value {} is too large for {} bits\" (or \"... too large (magnitude) ...\"\n"
        "for a negative value) when value does not fit; TypeError or\n"
        "OverflowError when an argument does not convert (value must fit a signed\n"
        "64-bit integer, bits an unsigned 32-bit one).">(),
    integer_encoder<"encode_twos_complement", C::twos_complement>::method<
        "Encodes value as a two's complement pattern of bits bits and returns the\n"
        "pattern as a non-negative int.\n"
        "\n"
        "Raises ValueError \"bits must be <= 64 for two's complement encoding\", or\n"
        "\"Value {} out of range for {} bits (range: {} to {})\" when value does\n"
        "not fit; TypeError or OverflowError when an argument does not convert\n"
        "(value must fit a signed 64-bit integer, bits an unsigned 32-bit one).">(),
    integer_encoder<"encode_sign_magnitude", C::sign_magnitude>::method<
        "Encodes value as a sign-magnitude pattern of bits bits (the top bit the\n"
        "sign, the rest the magnitude) and returns the pattern as an int.\n"
        "\n"
        "Raises ValueError \"bits must be between 2 and 64 for sign-magnitude\n"
        "encoding\", or \"Magnitude of {} is too large for {} bits\"; TypeError or\n"
        "OverflowError when an argument does not convert (value must fit a signed\n"
        "64-bit integer, bits an unsigned 32-bit one).">(),
    decimal_encoder<"encode_unpacked_bcd", C::unpacked_bcd, C::unpacked_bcd_signed>::method<
        "Encodes value as unpacked (zoned) BCD in bits bits, one digit per byte,\n"
        "and returns the pattern as an int. With signed=True the digits are zoned\n"
        "and the units digit's zone carries the sign.\n"
        "\n"
        "Raises ValueError \"bits must be >= 8 for unpacked BCD\" or \"Value {} has\n"
        "too many digits for {} BCD digits\"; TypeError or OverflowError when an\n"
        "argument does not convert (value a signed 64-bit integer, bits an\n"
        "unsigned 32-bit one, signed a bool).">(),
    decimal_encoder<"encode_packed_bcd", C::packed_bcd, C::packed_bcd_signed>::method<
        "Encodes value as packed BCD in bits bits, one digit per nibble, and\n"
        "returns the pattern as an int. With signed=True a sign nibble follows\n"
        "the digits (0xC for zero and above, 0xD below zero).\n"
        "\n"
        "Raises ValueError \"bits must be >= 4 for packed BCD\", \"Cannot encode\n"
        "negative value in unsigned BCD\" or \"Value {} has too many digits for {}\n"
        "BCD digits\"; TypeError or OverflowError when an argument does not\n"
        "convert (value a signed 64-bit integer, bits an unsigned 32-bit one,\n"
        "signed a bool).">(),
    float_encoder<"encode_ieee754_f16",
                  C::ieee754_f16>::method<"Encodes value, rounded to the nearest IEEE 754 binary16 value (through\n"
                                          "the nearest binary32 value), and returns its bit pattern as an int.\n"
                                          "Values beyond the format's range become infinities.\n"
                                          "\n"
                                          "Raises TypeError (or the number's own error) when value does not convert\n"
                                          "to float.">(),
    float_encoder<"encode_ieee754_f32",
                  C::ieee754_f32>::method<"Encodes value, rounded to the nearest IEEE 754 binary32 value (through\n"
                                          "the nearest binary32 value), and returns its bit pattern as an int.\n"
                                          "Values beyond the format's range become infinities.\n"
                                          "\n"
                                          "Raises TypeError (or the number's own error) when value does not convert\n"
                                          "to float.">(),
    float_encoder<"encode_ieee754_f64",
                  C::ieee754_f64>::method<"Encodes value, rounded to the nearest IEEE 754 binary64 value, and\n"
                                          "returns its bit pattern as an int. Values beyond the format's range\n"
                                          "become infinities.\n"
                                          "\n"
                                          "Raises TypeError (or the number's own error) when value does not convert\n"
                                          "to float.">(),
    unimplemented_encoder<"encode_ieee754_f128", C::ieee754_f128>::method<
        "Not implemented: binary128 encoding is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"IEEE 754 f128 encoding not yet implemented\"\n"
        "once _value has converted to float (TypeError when it does not).">(),
    unimplemented_encoder<"encode_ieee754_1985_f32", C::ieee754_1985_f32>::method<
        "Not implemented: the IEEE 754-1985 f32 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"IEEE 754-1985 f32 encoding not yet\n"
        "implemented\" once _value has converted to float (TypeError when it does\n"
        "not).">(),
    unimplemented_encoder<"encode_ieee754_1985_f64", C::ieee754_1985_f64>::method<
        "Not implemented: the IEEE 754-1985 f64 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"IEEE 754-1985 f64 encoding not yet\n"
        "implemented\" once _value has converted to float (TypeError when it does\n"
        "not).">(),
    unimplemented_encoder<"encode_ieee754_1985_f80", C::ieee754_1985_f80>::method<
        "Not implemented: the IEEE 754-1985 f80 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"IEEE 754-1985 f80 encoding not yet\n"
        "implemented\" once _value has converted to float (TypeError when it does\n"
        "not).">(),
    unimplemented_encoder<"encode_mil_std_1750a_f32", C::mil_std_1750a_f32>::method<
        "Not implemented: the MIL-STD-1750A f32 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"MIL-STD-1750A f32 encoding not yet\n"
        "implemented\" once _value has converted to float (TypeError when it does\n"
        "not).">(),
    unimplemented_encoder<"encode_mil_std_1750a_f48", C::mil_std_1750a_f48>::method<
        "Not implemented: the MIL-STD-1750A f48 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"MIL-STD-1750A f48 encoding not yet\n"
        "implemented\" once _value has converted to float (TypeError when it does\n"
        "not).">(),
    unimplemented_encoder<"encode_dec_f32", C::dec_f32>::method<
        "Not implemented: the DEC f32 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"DEC f32 encoding not yet implemented\" once\n"
        "_value has converted to float (TypeError when it does not).">(),
    unimplemented_encoder<"encode_dec_f64", C::dec_f64>::method<
        "Not implemented: the DEC f64 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"DEC f64 encoding not yet implemented\" once\n"
        "_value has converted to float (TypeError when it does not).">(),
    unimplemented_encoder<"encode_ibm_f32", C::ibm_f32>::method<
        "Not implemented: the IBM f32 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"IBM f32 encoding not yet implemented\" once\n"
        "_value has converted to float (TypeError when it does not).">(),
    unimplemented_encoder<"encode_ibm_f64", C::ibm_f64>::method<
        "Not implemented: the IBM f64 format is known by name only.\n"
        "\n"
        "Raises NotImplementedError \"IBM f64 encoding not yet implemented\" once\n"
        "_value has converted to float (TypeError when it does not).">(),
    unimplemented_encoder<"encode_ti_f32",
                          C::ti_f32>::method<"Not implemented: the TI f32 format is known by name only.\n"
                                             "\n"
                                             "Raises NotImplementedError \"TI f32 encoding not yet implemented\" once\n"
                                             "_value has converted to float (TypeError when it does not).">(),
    unimplemented_encoder<"encode_ti_f40",
                          C::ti_f40>::method<"Not implemented: the TI f40 format is known by name only.\n"
                                             "\n"
                                             "Raises NotImplementedError \"TI f40 encoding not yet implemented\" once\n"
                                             "_value has converted to float (TypeError when it does not).">(),
    text_encoder<"encode_us_ascii", C::us_ascii,
                 str_to_us_ascii>::method<"Encodes text as US-ASCII and returns the bytes.\n"
                                          "\n"
                                          "Raises ValueError \"Character '{}' (U+{:04X}) is not valid US-ASCII\" for\n"
                                          "the first character above U+007F; TypeError when text is not a str, and\n"
                                          "the interpreter's UnicodeEncodeError when it holds a lone surrogate.">(),
    text_encoder<"encode_iso_8859_1", C::iso_8859_1, str_to_iso_8859_1>::method<
        "Encodes text as ISO-8859-1 and returns the bytes.\n"
        "\n"
        "Raises ValueError \"Character '{}' (U+{:04X}) is not valid ISO-8859-1\"\n"
        "for the first character above U+00FF; TypeError when text is not a str,\n"
        "and the interpreter's UnicodeEncodeError when it holds a lone surrogate.">(),
    text_encoder<"encode_windows_1252", C::windows_1252, str_to_windows_1252>::method<
        "Encodes text as Windows-1252 and returns the bytes.\n"
        "\n"
        "Raises ValueError \"Failed to encode to Windows-1252\" when a character\n"
        "has no byte in that charset; TypeError when text is not a str, and the\n"
        "interpreter's UnicodeEncodeError when it holds a lone surrogate.">(),
    Function<"encode_utf8", utf8_bytes,
             Arg<"text", Text>>::method<"Encodes text as UTF-8 and returns the bytes, with no byte-order mark.\n"
                                        "\n"
                                        "Raises TypeError when text is not a str, and the interpreter's\n"
                                        "UnicodeEncodeError when it holds a lone surrogate.">(),
    text_encoder<"encode_utf16", C::utf16,
                 str_to_utf16>::method<"Encodes text as big-endian UTF-16 after the byte-order mark FE FF\n"
                                       "(written for empty text too) and returns the bytes.\n"
                                       "\n"
                                       "Raises TypeError when text is not a str, and the interpreter's\n"
                                       "UnicodeEncodeError when it holds a lone surrogate.">(),
    text_encoder<"encode_utf16le", C::utf16le,
                 str_to_utf16le>::method<"Encodes text as little-endian UTF-16 and returns the bytes, with no\n"
                                         "byte-order mark.\n"
                                         "\n"
                                         "Raises TypeError when text is not a str, and the interpreter's\n"
                                         "UnicodeEncodeError when it holds a lone surrogate.">(),
    text_encoder<"encode_utf16be", C::utf16be,
                 str_to_utf16be>::method<"Encodes text as big-endian UTF-16 and returns the bytes, with no\n"
                                         "byte-order mark.\n"
                                         "\n"
                                         "Raises TypeError when text is not a str, and the interpreter's\n"
                                         "UnicodeEncodeError when it holds a lone surrogate.">(),
    text_encoder<"encode_utf32", C::utf32,
                 str_to_utf32>::method<"Encodes text as big-endian UTF-32 after the byte-order mark 00 00 FE FF\n"
                                       "(written for empty text too) and returns the bytes.\n"
                                       "\n"
                                       "Raises TypeError when text is not a str, and the interpreter's\n"
                                       "UnicodeEncodeError when it holds a lone surrogate.">(),
    text_encoder<"encode_utf32le", C::utf32le,
                 str_to_utf32le>::method<"Encodes text as little-endian UTF-32 and returns the bytes, with no\n"
                                         "byte-order mark.\n"
                                         "\n"
                                         "Raises TypeError when text is not a str, and the interpreter's\n"
                                         "UnicodeEncodeError when it holds a lone surrogate.">(),
    text_encoder<"encode_utf32be", C::utf32be,
                 str_to_utf32be>::method<"Encodes text as big-endian UTF-32 and returns the bytes, with no\n"
                                         "byte-order mark.\n"
                                         "\n"
                                         "Raises TypeError when text is not a str, and the interpreter's\n"
                                         "UnicodeEncodeError when it holds a lone surrogate.">(),
};

}  // namespace

std::span<PyMethodDef> published_functions() noexcept { return kMethods; }

}  // namespace bitloom
