// The function table. Each row of kSignatures describes one published function
// (name, signature line, parameters); kMethods binds the row with the same
// index to a wrapper. A wrapper matches and converts the arguments, calls one
// native routine and converts its result.
#include "functions.hpp"

#include <array>
#include <concepts>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "common/codec_table.hpp"
#include "decoder/ieee754.hpp"
#include "text_direct.hpp"

namespace bitloom {

namespace {

#define BITLOOM_DOC(signature) signature "\n--\n\n"

constexpr Signature sig1(const char* name, const char* doc, const char* p0) {
    return {name, doc, {p0, nullptr, nullptr}, 1, 1};
}
constexpr Signature sig2(const char* name, const char* doc, const char* p0, const char* p1) {
    return {name, doc, {p0, p1, nullptr}, 2, 2};
}
constexpr Signature sig3(const char* name, const char* doc, const char* p0, const char* p1, const char* p2,
                         std::uint8_t required = 3) {
    return {name, doc, {p0, p1, p2}, 3, required};
}
// The decimal functions: `signed` has a default (false).
constexpr Signature sig_bcd(const char* name, const char* doc) { return sig3(name, doc, "value", "bits", "signed", 2); }
constexpr Signature sig_value(const char* name, const char* doc) { return sig1(name, doc, "value"); }
constexpr Signature sig_unimplemented(const char* name, const char* doc) { return sig1(name, doc, "_value"); }
constexpr Signature sig_text(const char* name, const char* doc) { return sig1(name, doc, "text"); }
constexpr Signature sig_bytes(const char* name, const char* doc) { return sig1(name, doc, "bytes"); }

constexpr std::array kSignatures = {
    sig3("unpack_parameters", BITLOOM_DOC("unpack_parameters(packet_bytes, offset_bits, recipe)"), "packet_bytes",
         "offset_bits", "recipe"),
    sig1("pack_parameters", BITLOOM_DOC("pack_parameters(recipe)"), "recipe"),
    sig2("decode_ones_complement", BITLOOM_DOC("decode_ones_complement(value, bits)"), "value", "bits"),
    sig2("decode_twos_complement", BITLOOM_DOC("decode_twos_complement(value, bits)"), "value", "bits"),
    sig2("decode_sign_magnitude", BITLOOM_DOC("decode_sign_magnitude(value, bits)"), "value", "bits"),
    sig_bcd("decode_unpacked_bcd", BITLOOM_DOC("decode_unpacked_bcd(value, bits, signed=False)")),
    sig_bcd("decode_packed_bcd", BITLOOM_DOC("decode_packed_bcd(value, bits, signed=False)")),
    sig_value("decode_ieee754_f16", BITLOOM_DOC("decode_ieee754_f16(value)")),
    sig_value("decode_ieee754_f32", BITLOOM_DOC("decode_ieee754_f32(value)")),
    sig_value("decode_ieee754_f64", BITLOOM_DOC("decode_ieee754_f64(value)")),
    sig_value("decode_ieee754_f128", BITLOOM_DOC("decode_ieee754_f128(value)")),
    sig_unimplemented("decode_ieee754_1985_f32", BITLOOM_DOC("decode_ieee754_1985_f32(_value)")),
    sig_unimplemented("decode_ieee754_1985_f64", BITLOOM_DOC("decode_ieee754_1985_f64(_value)")),
    sig_unimplemented("decode_ieee754_1985_f80", BITLOOM_DOC("decode_ieee754_1985_f80(_value)")),
    sig_unimplemented("decode_mil_std_1750a_f32", BITLOOM_DOC("decode_mil_std_1750a_f32(_value)")),
    sig_unimplemented("decode_mil_std_1750a_f48", BITLOOM_DOC("decode_mil_std_1750a_f48(_value)")),
    sig_unimplemented("decode_dec_f32", BITLOOM_DOC("decode_dec_f32(_value)")),
    sig_unimplemented("decode_dec_f64", BITLOOM_DOC("decode_dec_f64(_value)")),
    sig_unimplemented("decode_ibm_f32", BITLOOM_DOC("decode_ibm_f32(_value)")),
    sig_unimplemented("decode_ibm_f64", BITLOOM_DOC("decode_ibm_f64(_value)")),
    sig_unimplemented("decode_ti_f32", BITLOOM_DOC("decode_ti_f32(_value)")),
    sig_unimplemented("decode_ti_f40", BITLOOM_DOC("decode_ti_f40(_value)")),
    sig_bytes("decode_us_ascii", BITLOOM_DOC("decode_us_ascii(bytes)")),
    sig_bytes("decode_iso_8859_1", BITLOOM_DOC("decode_iso_8859_1(bytes)")),
    sig_bytes("decode_windows_1252", BITLOOM_DOC("decode_windows_1252(bytes)")),
    sig_bytes("decode_utf8", BITLOOM_DOC("decode_utf8(bytes)")),
    sig_bytes("decode_utf16", BITLOOM_DOC("decode_utf16(bytes)")),
    sig_bytes("decode_utf16le", BITLOOM_DOC("decode_utf16le(bytes)")),
    sig_bytes("decode_utf16be", BITLOOM_DOC("decode_utf16be(bytes)")),
    sig_bytes("decode_utf32", BITLOOM_DOC("decode_utf32(bytes)")),
    sig_bytes("decode_utf32le", BITLOOM_DOC("decode_utf32le(bytes)")),
    sig_bytes("decode_utf32be", BITLOOM_DOC("decode_utf32be(bytes)")),
    sig2("encode_ones_complement", BITLOOM_DOC("encode_ones_complement(value, bits)"), "value", "bits"),
    sig2("encode_twos_complement", BITLOOM_DOC("encode_twos_complement(value, bits)"), "value", "bits"),
    sig2("encode_sign_magnitude", BITLOOM_DOC("encode_sign_magnitude(value, bits)"), "value", "bits"),
    sig_bcd("encode_unpacked_bcd", BITLOOM_DOC("encode_unpacked_bcd(value, bits, signed=False)")),
    sig_bcd("encode_packed_bcd", BITLOOM_DOC("encode_packed_bcd(value, bits, signed=False)")),
    sig_value("encode_ieee754_f16", BITLOOM_DOC("encode_ieee754_f16(value)")),
    sig_value("encode_ieee754_f32", BITLOOM_DOC("encode_ieee754_f32(value)")),
    sig_value("encode_ieee754_f64", BITLOOM_DOC("encode_ieee754_f64(value)")),
    sig_unimplemented("encode_ieee754_f128", BITLOOM_DOC("encode_ieee754_f128(_value)")),
    sig_unimplemented("encode_ieee754_1985_f32", BITLOOM_DOC("encode_ieee754_1985_f32(_value)")),
    sig_unimplemented("encode_ieee754_1985_f64", BITLOOM_DOC("encode_ieee754_1985_f64(_value)")),
    sig_unimplemented("encode_ieee754_1985_f80", BITLOOM_DOC("encode_ieee754_1985_f80(_value)")),
    sig_unimplemented("encode_mil_std_1750a_f32", BITLOOM_DOC("encode_mil_std_1750a_f32(_value)")),
    sig_unimplemented("encode_mil_std_1750a_f48", BITLOOM_DOC("encode_mil_std_1750a_f48(_value)")),
    sig_unimplemented("encode_dec_f32", BITLOOM_DOC("encode_dec_f32(_value)")),
    sig_unimplemented("encode_dec_f64", BITLOOM_DOC("encode_dec_f64(_value)")),
    sig_unimplemented("encode_ibm_f32", BITLOOM_DOC("encode_ibm_f32(_value)")),
    sig_unimplemented("encode_ibm_f64", BITLOOM_DOC("encode_ibm_f64(_value)")),
    sig_unimplemented("encode_ti_f32", BITLOOM_DOC("encode_ti_f32(_value)")),
    sig_unimplemented("encode_ti_f40", BITLOOM_DOC("encode_ti_f40(_value)")),
    sig_text("encode_us_ascii", BITLOOM_DOC("encode_us_ascii(text)")),
    sig_text("encode_iso_8859_1", BITLOOM_DOC("encode_iso_8859_1(text)")),
    sig_text("encode_windows_1252", BITLOOM_DOC("encode_windows_1252(text)")),
    sig_text("encode_utf8", BITLOOM_DOC("encode_utf8(text)")),
    sig_text("encode_utf16", BITLOOM_DOC("encode_utf16(text)")),
    sig_text("encode_utf16le", BITLOOM_DOC("encode_utf16le(text)")),
    sig_text("encode_utf16be", BITLOOM_DOC("encode_utf16be(text)")),
    sig_text("encode_utf32", BITLOOM_DOC("encode_utf32(text)")),
    sig_text("encode_utf32le", BITLOOM_DOC("encode_utf32le(text)")),
    sig_text("encode_utf32be", BITLOOM_DOC("encode_utf32be(text)")),
};
static_assert(kSignatures.size() == 62);

#undef BITLOOM_DOC

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
// The wrapper: match the arguments of row I, convert them in parameter
// order (the first failure ends the call), then run Body on the values.

template <class... Params, std::size_t... Is>
bool read_parameters(PyObject* const* a, const Signature& sig, std::tuple<typename Params::type...>& values,
                     std::index_sequence<Is...>) {
    return (Params::read(a[Is], sig.params[Is], std::get<Is>(values)) && ...);
}

template <std::size_t I, auto Body, class... Params>
PyObject* wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const Signature& sig = kSignatures[I];
        static_assert(sig.nparams == sizeof...(Params));
        std::array<PyObject*, sizeof...(Params)> slots;
        PyObject* const* a = match_arguments(sig, args, nargs, kwnames, slots);
        if (a == nullptr) return nullptr;
        std::tuple<typename Params::type...> values;
        if (!read_parameters<Params...>(a, sig, values, std::index_sequence_for<Params...>{})) return nullptr;
        return std::apply(Body, values);
    });
}

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
constexpr auto encodes_float = [](double value) -> PyObject* {
    return raw_result(encode_number(codec_row(C), Number{.f64 = value}, 0));
};

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

// The wrapper shapes of the table below.
template <std::size_t I, Codec C>
constexpr auto integer_decoder = wrapper<I, decodes<C>, U64, U32>;
template <std::size_t I, Codec C>
constexpr auto integer_encoder = wrapper<I, encodes<C>, I64, U32>;
template <std::size_t I, Codec Plain, Codec Signed>
constexpr auto decimal_decoder = wrapper<I, decodes_decimal<Plain, Signed>, U64, U32, SignedFlag>;
template <std::size_t I, Codec Plain, Codec Signed>
constexpr auto decimal_encoder = wrapper<I, encodes_decimal<Plain, Signed>, I64, U32, SignedFlag>;
template <std::size_t I, Codec C>
constexpr auto float_decoder = wrapper<I, decodes_pattern<C>, U64>;
template <std::size_t I, Codec C>
constexpr auto float_encoder = wrapper<I, encodes_float<C>, Double>;
template <std::size_t I, Codec C, auto Direct>
constexpr auto text_decoder = wrapper<I, decodes_text<C, Direct>, Bytes>;
template <std::size_t I, Codec C, auto Direct>
constexpr auto text_encoder = wrapper<I, encodes_text<C, Direct>, Object>;

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

constexpr std::array<FastFunction, kSignatures.size()> kWrappers = {
    py_unpack_parameters,
    py_pack_parameters,
    integer_decoder<2, Codec::ones_complement>,
    integer_decoder<3, Codec::twos_complement>,
    integer_decoder<4, Codec::sign_magnitude>,
    decimal_decoder<5, Codec::unpacked_bcd, Codec::unpacked_bcd_signed>,
    decimal_decoder<6, Codec::packed_bcd, Codec::packed_bcd_signed>,
    float_decoder<7, Codec::ieee754_f16>,
    float_decoder<8, Codec::ieee754_f32>,
    float_decoder<9, Codec::ieee754_f64>,
    wrapper<10, binary128, U128Param>,
    float_decoder<11, Codec::ieee754_1985_f32>,
    float_decoder<12, Codec::ieee754_1985_f64>,
    float_decoder<13, Codec::ieee754_1985_f80>,
    float_decoder<14, Codec::mil_std_1750a_f32>,
    float_decoder<15, Codec::mil_std_1750a_f48>,
    float_decoder<16, Codec::dec_f32>,
    float_decoder<17, Codec::dec_f64>,
    float_decoder<18, Codec::ibm_f32>,
    float_decoder<19, Codec::ibm_f64>,
    float_decoder<20, Codec::ti_f32>,
    float_decoder<21, Codec::ti_f40>,
    text_decoder<22, Codec::us_ascii, us_ascii_to_str>,
    wrapper<23, latin1_text, Bytes>,
    text_decoder<24, Codec::windows_1252, windows_1252_to_str>,
    text_decoder<25, Codec::utf8, utf8_to_str>,
    text_decoder<26, Codec::utf16, utf16_to_str>,
    text_decoder<27, Codec::utf16le, utf16le_to_str>,
    text_decoder<28, Codec::utf16be, utf16be_to_str>,
    text_decoder<29, Codec::utf32, utf32_to_str>,
    text_decoder<30, Codec::utf32le, utf32le_to_str>,
    text_decoder<31, Codec::utf32be, utf32be_to_str>,
    integer_encoder<32, Codec::ones_complement>,
    integer_encoder<33, Codec::twos_complement>,
    integer_encoder<34, Codec::sign_magnitude>,
    decimal_encoder<35, Codec::unpacked_bcd, Codec::unpacked_bcd_signed>,
    decimal_encoder<36, Codec::packed_bcd, Codec::packed_bcd_signed>,
    float_encoder<37, Codec::ieee754_f16>,
    float_encoder<38, Codec::ieee754_f32>,
    float_encoder<39, Codec::ieee754_f64>,
    float_encoder<40, Codec::ieee754_f128>,
    float_encoder<41, Codec::ieee754_1985_f32>,
    float_encoder<42, Codec::ieee754_1985_f64>,
    float_encoder<43, Codec::ieee754_1985_f80>,
    float_encoder<44, Codec::mil_std_1750a_f32>,
    float_encoder<45, Codec::mil_std_1750a_f48>,
    float_encoder<46, Codec::dec_f32>,
    float_encoder<47, Codec::dec_f64>,
    float_encoder<48, Codec::ibm_f32>,
    float_encoder<49, Codec::ibm_f64>,
    float_encoder<50, Codec::ti_f32>,
    float_encoder<51, Codec::ti_f40>,
    text_encoder<52, Codec::us_ascii, str_to_us_ascii>,
    text_encoder<53, Codec::iso_8859_1, str_to_iso_8859_1>,
    text_encoder<54, Codec::windows_1252, str_to_windows_1252>,
    wrapper<55, utf8_bytes, Text>,
    text_encoder<56, Codec::utf16, str_to_utf16>,
    text_encoder<57, Codec::utf16le, str_to_utf16le>,
    text_encoder<58, Codec::utf16be, str_to_utf16be>,
    text_encoder<59, Codec::utf32, str_to_utf32>,
    text_encoder<60, Codec::utf32le, str_to_utf32le>,
    text_encoder<61, Codec::utf32be, str_to_utf32be>,
};

std::array<PyMethodDef, kSignatures.size()> make_methods() {
    std::array<PyMethodDef, kSignatures.size()> methods{};
    for (std::size_t i = 0; i < kSignatures.size(); ++i) {
        methods[i] =
            PyMethodDef{kSignatures[i].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kWrappers[i])),
                        METH_FASTCALL | METH_KEYWORDS, kSignatures[i].doc};
    }
    return methods;
}

// PyCMethod_New keeps pointers to these records for the life of the functions.
std::array<PyMethodDef, kSignatures.size()> kMethods = make_methods();

}  // namespace

std::span<PyMethodDef> published_functions() noexcept { return kMethods; }

const Signature& packet_signature(bool pack) noexcept { return kSignatures[pack ? 1 : 0]; }

}  // namespace bitloom
