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
#include "decoder/bcd.hpp"
#include "decoder/ieee754.hpp"
#include "decoder/integer.hpp"
#include "decoder/text.hpp"
#include "encoder/bcd.hpp"
#include "encoder/ieee754.hpp"
#include "encoder/integer.hpp"
#include "encoder/text.hpp"
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
using Single = Param<float, convert_float32>;
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

// Bodies.

// The routine's result (or error) as a Python object.
template <auto Routine>
constexpr auto returns = [](auto... values) -> PyObject* { return to_python(Routine(values...)); };

// NotImplementedError once the argument has converted.
template <const char* Message>
constexpr auto raises_not_implemented = [](auto) -> PyObject* {
    PyErr_SetString(PyExc_NotImplementedError, Message);
    return nullptr;
};

// bytes -> str. The direct path builds the str without a UTF-8 form in
// between; where it declines, the routine decodes and reports the failure.
template <Result<std::string> (*Routine)(ByteSpan), PyObject* (*Direct)(ByteSpan)>
constexpr auto decodes_text = [](ByteSpan bytes) -> PyObject* {
    if (PyObject* direct = Direct(bytes)) return direct;
    const auto text = Routine(bytes);
    return text ? text_result(*text) : raise_error(text.error());
};

// str -> bytes. The direct path encodes a str from its own storage; where it
// declines (a surrogate, a character the charset lacks), the text takes the
// UTF-8 path: the conversion raises the interpreter's error for a surrogate,
// the routine reports any other failure.
template <Result<std::string> (*Routine)(std::string_view), PyObject* (*Direct)(PyObject*)>
constexpr auto encodes_text = [](PyObject* obj) -> PyObject* {
    if (BITLOOM_LIKELY(PyUnicode_Check(obj))) {
        if (PyObject* direct = Direct(obj)) return direct;
    }
    std::string_view text;
    if (!convert_argument<std::string_view, convert_str>(obj, "text", text)) return nullptr;
    const auto bytes = Routine(text);
    return bytes ? bytes_result(*bytes) : raise_error(bytes.error());
};

// encode_utf8: the text's own UTF-8 form, copied.
constexpr auto utf8_bytes = [](std::string_view text) -> PyObject* { return bytes_result(text); };

// decode_iso_8859_1: every byte is the code point of the same value.
constexpr auto latin1_text = [](ByteSpan bytes) -> PyObject* {
    return checked_result(PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<Py_ssize_t>(bytes.size()), nullptr));
};

Result<std::string> decode_utf16be_routine(ByteSpan b) { return decode_utf16_with_endianness(b, false); }
Result<std::string> decode_utf16le_routine(ByteSpan b) { return decode_utf16_with_endianness(b, true); }
Result<std::string> decode_utf32be_routine(ByteSpan b) { return decode_utf32_with_endianness(b, false); }
Result<std::string> decode_utf32le_routine(ByteSpan b) { return decode_utf32_with_endianness(b, true); }

// The wrapper shapes of the table below.
template <std::size_t I, auto Routine>
constexpr auto integer_decoder = wrapper<I, returns<Routine>, U64, U32>;
template <std::size_t I, auto Routine>
constexpr auto integer_encoder = wrapper<I, returns<Routine>, I64, U32>;
template <std::size_t I, auto Routine>
constexpr auto decimal_decoder = wrapper<I, returns<Routine>, U64, U32, SignedFlag>;
template <std::size_t I, auto Routine>
constexpr auto decimal_encoder = wrapper<I, returns<Routine>, I64, U32, SignedFlag>;
template <std::size_t I, auto Routine>
constexpr auto float_decoder = wrapper<I, returns<Routine>, U64>;
template <std::size_t I, class Input, auto Routine>
constexpr auto float_encoder = wrapper<I, returns<Routine>, Input>;
template <std::size_t I, const char* Message>
constexpr auto unimplemented_decoder = wrapper<I, raises_not_implemented<Message>, U64>;
template <std::size_t I, const char* Message>
constexpr auto unimplemented_encoder32 = wrapper<I, raises_not_implemented<Message>, Single>;
template <std::size_t I, const char* Message>
constexpr auto unimplemented_encoder64 = wrapper<I, raises_not_implemented<Message>, Double>;
template <std::size_t I, auto Routine, auto Direct>
constexpr auto text_decoder = wrapper<I, decodes_text<Routine, Direct>, Bytes>;
template <std::size_t I, auto Routine, auto Direct>
constexpr auto text_encoder = wrapper<I, encodes_text<Routine, Direct>, Object>;

namespace uf = unimplemented_format;
namespace ue = unimplemented_encoding;

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

constexpr std::array<FastFunction, kSignatures.size()> kWrappers = {
    py_unpack_parameters,
    py_pack_parameters,
    integer_decoder<2, decode_ones_complement>,
    integer_decoder<3, decode_twos_complement>,
    integer_decoder<4, decode_sign_magnitude>,
    decimal_decoder<5, decode_unpacked_bcd>,
    decimal_decoder<6, decode_packed_bcd>,
    float_decoder<7, decode_ieee754_f16>,
    float_decoder<8, decode_ieee754_f32>,
    float_decoder<9, decode_ieee754_f64>,
    wrapper<10, returns<decode_ieee754_f128>, U128Param>,
    unimplemented_decoder<11, uf::ieee754_1985_f32>,
    unimplemented_decoder<12, uf::ieee754_1985_f64>,
    unimplemented_decoder<13, uf::ieee754_1985_f80>,
    unimplemented_decoder<14, uf::mil_std_1750a_f32>,
    unimplemented_decoder<15, uf::mil_std_1750a_f48>,
    unimplemented_decoder<16, uf::dec_f32>,
    unimplemented_decoder<17, uf::dec_f64>,
    unimplemented_decoder<18, uf::ibm_f32>,
    unimplemented_decoder<19, uf::ibm_f64>,
    unimplemented_decoder<20, uf::ti_f32>,
    unimplemented_decoder<21, uf::ti_f40>,
    text_decoder<22, decode_us_ascii, us_ascii_to_str>,
    wrapper<23, latin1_text, Bytes>,
    text_decoder<24, decode_windows_1252, windows_1252_to_str>,
    text_decoder<25, decode_utf8, utf8_to_str>,
    text_decoder<26, decode_utf16, utf16_to_str>,
    text_decoder<27, decode_utf16le_routine, utf16le_to_str>,
    text_decoder<28, decode_utf16be_routine, utf16be_to_str>,
    text_decoder<29, decode_utf32, utf32_to_str>,
    text_decoder<30, decode_utf32le_routine, utf32le_to_str>,
    text_decoder<31, decode_utf32be_routine, utf32be_to_str>,
    integer_encoder<32, encode_ones_complement>,
    integer_encoder<33, encode_twos_complement>,
    integer_encoder<34, encode_sign_magnitude>,
    decimal_encoder<35, encode_unpacked_bcd>,
    decimal_encoder<36, encode_packed_bcd>,
    float_encoder<37, Single, encode_ieee754_f16>,
    float_encoder<38, Single, encode_ieee754_f32>,
    float_encoder<39, Double, encode_ieee754_f64>,
    unimplemented_encoder64<40, ue::ieee754_f128>,
    unimplemented_encoder32<41, ue::ieee754_1985_f32>,
    unimplemented_encoder64<42, ue::ieee754_1985_f64>,
    unimplemented_encoder64<43, ue::ieee754_1985_f80>,
    unimplemented_encoder32<44, ue::mil_std_1750a_f32>,
    unimplemented_encoder64<45, ue::mil_std_1750a_f48>,
    unimplemented_encoder32<46, ue::dec_f32>,
    unimplemented_encoder64<47, ue::dec_f64>,
    unimplemented_encoder32<48, ue::ibm_f32>,
    unimplemented_encoder64<49, ue::ibm_f64>,
    unimplemented_encoder32<50, ue::ti_f32>,
    unimplemented_encoder64<51, ue::ti_f40>,
    text_encoder<52, encode_us_ascii, str_to_us_ascii>,
    text_encoder<53, encode_iso_8859_1, str_to_iso_8859_1>,
    text_encoder<54, encode_windows_1252, str_to_windows_1252>,
    wrapper<55, utf8_bytes, Text>,
    text_encoder<56, encode_utf16, str_to_utf16>,
    text_encoder<57, encode_utf16le, str_to_utf16le>,
    text_encoder<58, encode_utf16be, str_to_utf16be>,
    text_encoder<59, encode_utf32, str_to_utf32>,
    text_encoder<60, encode_utf32le, str_to_utf32le>,
    text_encoder<61, encode_utf32be, str_to_utf32be>,
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
