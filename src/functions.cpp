// The function table, from one source: each row names a published function,
// its parameters and the body its wrapper runs; the wrapper, the argument
// description and the signature line ("name(params)\n--\n\n") are built
// from the row at compile time. A wrapper matches and converts the
// arguments, calls one native routine (through its codec's row) and converts
// its result.
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

// "name(p0, p1, p2=default)\n--\n\n" and its terminating zero.
template <Literal Name, class... Args>
consteval auto signature_line() {
    constexpr std::size_t params =
        ((Args::name.size() + (Args::optional ? 1 + Args::default_text.size() : 0)) + ... + 0);
    constexpr std::size_t separators = sizeof...(Args) > 0 ? 2 * (sizeof...(Args) - 1) : 0;
    std::array<char, Name.size() + 1 + params + separators + 6 + 1> line{};
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
    static constexpr auto doc = signature_line<Name, Args...>();
    static constexpr Signature signature{
        Name.text,
        doc.data(),
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

    static PyMethodDef method() noexcept {
        return {Name.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
                METH_FASTCALL | METH_KEYWORDS, doc.data()};
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
    Function<"unpack_parameters", unpack_parameters, Arg<"packet_bytes", Bytes>, Arg<"offset_bits", U32>,
             Arg<"recipe", Recipe>>::method(),
    Function<"pack_parameters", pack_parameters, Arg<"recipe", Recipe>>::method(),
    integer_decoder<"decode_ones_complement", C::ones_complement>::method(),
    integer_decoder<"decode_twos_complement", C::twos_complement>::method(),
    integer_decoder<"decode_sign_magnitude", C::sign_magnitude>::method(),
    decimal_decoder<"decode_unpacked_bcd", C::unpacked_bcd, C::unpacked_bcd_signed>::method(),
    decimal_decoder<"decode_packed_bcd", C::packed_bcd, C::packed_bcd_signed>::method(),
    float_decoder<"decode_ieee754_f16", C::ieee754_f16>::method(),
    float_decoder<"decode_ieee754_f32", C::ieee754_f32>::method(),
    float_decoder<"decode_ieee754_f64", C::ieee754_f64>::method(),
    Function<"decode_ieee754_f128", binary128, Arg<"value", U128Param>>::method(),
    unimplemented_decoder<"decode_ieee754_1985_f32", C::ieee754_1985_f32>::method(),
    unimplemented_decoder<"decode_ieee754_1985_f64", C::ieee754_1985_f64>::method(),
    unimplemented_decoder<"decode_ieee754_1985_f80", C::ieee754_1985_f80>::method(),
    unimplemented_decoder<"decode_mil_std_1750a_f32", C::mil_std_1750a_f32>::method(),
    unimplemented_decoder<"decode_mil_std_1750a_f48", C::mil_std_1750a_f48>::method(),
    unimplemented_decoder<"decode_dec_f32", C::dec_f32>::method(),
    unimplemented_decoder<"decode_dec_f64", C::dec_f64>::method(),
    unimplemented_decoder<"decode_ibm_f32", C::ibm_f32>::method(),
    unimplemented_decoder<"decode_ibm_f64", C::ibm_f64>::method(),
    unimplemented_decoder<"decode_ti_f32", C::ti_f32>::method(),
    unimplemented_decoder<"decode_ti_f40", C::ti_f40>::method(),
    text_decoder<"decode_us_ascii", C::us_ascii, us_ascii_to_str>::method(),
    Function<"decode_iso_8859_1", latin1_text, Arg<"bytes", Bytes>>::method(),
    text_decoder<"decode_windows_1252", C::windows_1252, windows_1252_to_str>::method(),
    text_decoder<"decode_utf8", C::utf8, utf8_to_str>::method(),
    text_decoder<"decode_utf16", C::utf16, utf16_to_str>::method(),
    text_decoder<"decode_utf16le", C::utf16le, utf16le_to_str>::method(),
    text_decoder<"decode_utf16be", C::utf16be, utf16be_to_str>::method(),
    text_decoder<"decode_utf32", C::utf32, utf32_to_str>::method(),
    text_decoder<"decode_utf32le", C::utf32le, utf32le_to_str>::method(),
    text_decoder<"decode_utf32be", C::utf32be, utf32be_to_str>::method(),
    integer_encoder<"encode_ones_complement", C::ones_complement>::method(),
    integer_encoder<"encode_twos_complement", C::twos_complement>::method(),
    integer_encoder<"encode_sign_magnitude", C::sign_magnitude>::method(),
    decimal_encoder<"encode_unpacked_bcd", C::unpacked_bcd, C::unpacked_bcd_signed>::method(),
    decimal_encoder<"encode_packed_bcd", C::packed_bcd, C::packed_bcd_signed>::method(),
    float_encoder<"encode_ieee754_f16", C::ieee754_f16>::method(),
    float_encoder<"encode_ieee754_f32", C::ieee754_f32>::method(),
    float_encoder<"encode_ieee754_f64", C::ieee754_f64>::method(),
    unimplemented_encoder<"encode_ieee754_f128", C::ieee754_f128>::method(),
    unimplemented_encoder<"encode_ieee754_1985_f32", C::ieee754_1985_f32>::method(),
    unimplemented_encoder<"encode_ieee754_1985_f64", C::ieee754_1985_f64>::method(),
    unimplemented_encoder<"encode_ieee754_1985_f80", C::ieee754_1985_f80>::method(),
    unimplemented_encoder<"encode_mil_std_1750a_f32", C::mil_std_1750a_f32>::method(),
    unimplemented_encoder<"encode_mil_std_1750a_f48", C::mil_std_1750a_f48>::method(),
    unimplemented_encoder<"encode_dec_f32", C::dec_f32>::method(),
    unimplemented_encoder<"encode_dec_f64", C::dec_f64>::method(),
    unimplemented_encoder<"encode_ibm_f32", C::ibm_f32>::method(),
    unimplemented_encoder<"encode_ibm_f64", C::ibm_f64>::method(),
    unimplemented_encoder<"encode_ti_f32", C::ti_f32>::method(),
    unimplemented_encoder<"encode_ti_f40", C::ti_f40>::method(),
    text_encoder<"encode_us_ascii", C::us_ascii, str_to_us_ascii>::method(),
    text_encoder<"encode_iso_8859_1", C::iso_8859_1, str_to_iso_8859_1>::method(),
    text_encoder<"encode_windows_1252", C::windows_1252, str_to_windows_1252>::method(),
    Function<"encode_utf8", utf8_bytes, Arg<"text", Text>>::method(),
    text_encoder<"encode_utf16", C::utf16, str_to_utf16>::method(),
    text_encoder<"encode_utf16le", C::utf16le, str_to_utf16le>::method(),
    text_encoder<"encode_utf16be", C::utf16be, str_to_utf16be>::method(),
    text_encoder<"encode_utf32", C::utf32, str_to_utf32>::method(),
    text_encoder<"encode_utf32le", C::utf32le, str_to_utf32le>::method(),
    text_encoder<"encode_utf32be", C::utf32be, str_to_utf32be>::method(),
};

}  // namespace

std::span<PyMethodDef> published_functions() noexcept { return kMethods; }

}  // namespace bitloom
