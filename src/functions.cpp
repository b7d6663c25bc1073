// The function table. Each row of kSpecs describes one published function
// (name, signature line, parameters); kMethods binds the row with the same
// index to a wrapper. A wrapper matches and converts the arguments, calls one
// native routine and converts its result.
#include "functions.hpp"

#include <array>
#include <cstdint>
#include <string>

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

constexpr FunctionSpec spec1(const char* name, const char* doc, const char* p0) {
    return {name, doc, {p0, nullptr, nullptr}, 1, 1};
}
constexpr FunctionSpec spec2(const char* name, const char* doc, const char* p0, const char* p1) {
    return {name, doc, {p0, p1, nullptr}, 2, 2};
}
constexpr FunctionSpec spec3(const char* name, const char* doc, const char* p0, const char* p1, const char* p2,
                             std::uint8_t required = 3) {
    return {name, doc, {p0, p1, p2}, 3, required};
}
// The decimal functions: `signed` has a default (false).
constexpr FunctionSpec spec_bcd(const char* name, const char* doc) {
    return spec3(name, doc, "value", "bits", "signed", 2);
}
constexpr FunctionSpec spec_value(const char* name, const char* doc) { return spec1(name, doc, "value"); }
constexpr FunctionSpec spec_unimplemented(const char* name, const char* doc) { return spec1(name, doc, "_value"); }
constexpr FunctionSpec spec_text(const char* name, const char* doc) { return spec1(name, doc, "text"); }
constexpr FunctionSpec spec_bytes(const char* name, const char* doc) { return spec1(name, doc, "bytes"); }

constexpr std::array kSpecs = {
    spec3("unpack_parameters", BITLOOM_DOC("unpack_parameters(packet_bytes, offset_bits, recipe)"), "packet_bytes",
          "offset_bits", "recipe"),
    spec1("pack_parameters", BITLOOM_DOC("pack_parameters(recipe)"), "recipe"),
    spec2("decode_ones_complement", BITLOOM_DOC("decode_ones_complement(value, bits)"), "value", "bits"),
    spec2("decode_twos_complement", BITLOOM_DOC("decode_twos_complement(value, bits)"), "value", "bits"),
    spec2("decode_sign_magnitude", BITLOOM_DOC("decode_sign_magnitude(value, bits)"), "value", "bits"),
    spec_bcd("decode_unpacked_bcd", BITLOOM_DOC("decode_unpacked_bcd(value, bits, signed=False)")),
    spec_bcd("decode_packed_bcd", BITLOOM_DOC("decode_packed_bcd(value, bits, signed=False)")),
    spec_value("decode_ieee754_f16", BITLOOM_DOC("decode_ieee754_f16(value)")),
    spec_value("decode_ieee754_f32", BITLOOM_DOC("decode_ieee754_f32(value)")),
    spec_value("decode_ieee754_f64", BITLOOM_DOC("decode_ieee754_f64(value)")),
    spec_value("decode_ieee754_f128", BITLOOM_DOC("decode_ieee754_f128(value)")),
    spec_unimplemented("decode_ieee754_1985_f32", BITLOOM_DOC("decode_ieee754_1985_f32(_value)")),
    spec_unimplemented("decode_ieee754_1985_f64", BITLOOM_DOC("decode_ieee754_1985_f64(_value)")),
    spec_unimplemented("decode_ieee754_1985_f80", BITLOOM_DOC("decode_ieee754_1985_f80(_value)")),
    spec_unimplemented("decode_mil_std_1750a_f32", BITLOOM_DOC("decode_mil_std_1750a_f32(_value)")),
    spec_unimplemented("decode_mil_std_1750a_f48", BITLOOM_DOC("decode_mil_std_1750a_f48(_value)")),
    spec_unimplemented("decode_dec_f32", BITLOOM_DOC("decode_dec_f32(_value)")),
    spec_unimplemented("decode_dec_f64", BITLOOM_DOC("decode_dec_f64(_value)")),
    spec_unimplemented("decode_ibm_f32", BITLOOM_DOC("decode_ibm_f32(_value)")),
    spec_unimplemented("decode_ibm_f64", BITLOOM_DOC("decode_ibm_f64(_value)")),
    spec_unimplemented("decode_ti_f32", BITLOOM_DOC("decode_ti_f32(_value)")),
    spec_unimplemented("decode_ti_f40", BITLOOM_DOC("decode_ti_f40(_value)")),
    spec_bytes("decode_us_ascii", BITLOOM_DOC("decode_us_ascii(bytes)")),
    spec_bytes("decode_iso_8859_1", BITLOOM_DOC("decode_iso_8859_1(bytes)")),
    spec_bytes("decode_windows_1252", BITLOOM_DOC("decode_windows_1252(bytes)")),
    spec_bytes("decode_utf8", BITLOOM_DOC("decode_utf8(bytes)")),
    spec_bytes("decode_utf16", BITLOOM_DOC("decode_utf16(bytes)")),
    spec_bytes("decode_utf16le", BITLOOM_DOC("decode_utf16le(bytes)")),
    spec_bytes("decode_utf16be", BITLOOM_DOC("decode_utf16be(bytes)")),
    spec_bytes("decode_utf32", BITLOOM_DOC("decode_utf32(bytes)")),
    spec_bytes("decode_utf32le", BITLOOM_DOC("decode_utf32le(bytes)")),
    spec_bytes("decode_utf32be", BITLOOM_DOC("decode_utf32be(bytes)")),
    spec2("encode_ones_complement", BITLOOM_DOC("encode_ones_complement(value, bits)"), "value", "bits"),
    spec2("encode_twos_complement", BITLOOM_DOC("encode_twos_complement(value, bits)"), "value", "bits"),
    spec2("encode_sign_magnitude", BITLOOM_DOC("encode_sign_magnitude(value, bits)"), "value", "bits"),
    spec_bcd("encode_unpacked_bcd", BITLOOM_DOC("encode_unpacked_bcd(value, bits, signed=False)")),
    spec_bcd("encode_packed_bcd", BITLOOM_DOC("encode_packed_bcd(value, bits, signed=False)")),
    spec_value("encode_ieee754_f16", BITLOOM_DOC("encode_ieee754_f16(value)")),
    spec_value("encode_ieee754_f32", BITLOOM_DOC("encode_ieee754_f32(value)")),
    spec_value("encode_ieee754_f64", BITLOOM_DOC("encode_ieee754_f64(value)")),
    spec_unimplemented("encode_ieee754_f128", BITLOOM_DOC("encode_ieee754_f128(_value)")),
    spec_unimplemented("encode_ieee754_1985_f32", BITLOOM_DOC("encode_ieee754_1985_f32(_value)")),
    spec_unimplemented("encode_ieee754_1985_f64", BITLOOM_DOC("encode_ieee754_1985_f64(_value)")),
    spec_unimplemented("encode_ieee754_1985_f80", BITLOOM_DOC("encode_ieee754_1985_f80(_value)")),
    spec_unimplemented("encode_mil_std_1750a_f32", BITLOOM_DOC("encode_mil_std_1750a_f32(_value)")),
    spec_unimplemented("encode_mil_std_1750a_f48", BITLOOM_DOC("encode_mil_std_1750a_f48(_value)")),
    spec_unimplemented("encode_dec_f32", BITLOOM_DOC("encode_dec_f32(_value)")),
    spec_unimplemented("encode_dec_f64", BITLOOM_DOC("encode_dec_f64(_value)")),
    spec_unimplemented("encode_ibm_f32", BITLOOM_DOC("encode_ibm_f32(_value)")),
    spec_unimplemented("encode_ibm_f64", BITLOOM_DOC("encode_ibm_f64(_value)")),
    spec_unimplemented("encode_ti_f32", BITLOOM_DOC("encode_ti_f32(_value)")),
    spec_unimplemented("encode_ti_f40", BITLOOM_DOC("encode_ti_f40(_value)")),
    spec_text("encode_us_ascii", BITLOOM_DOC("encode_us_ascii(text)")),
    spec_text("encode_iso_8859_1", BITLOOM_DOC("encode_iso_8859_1(text)")),
    spec_text("encode_windows_1252", BITLOOM_DOC("encode_windows_1252(text)")),
    spec_text("encode_utf8", BITLOOM_DOC("encode_utf8(text)")),
    spec_text("encode_utf16", BITLOOM_DOC("encode_utf16(text)")),
    spec_text("encode_utf16le", BITLOOM_DOC("encode_utf16le(text)")),
    spec_text("encode_utf16be", BITLOOM_DOC("encode_utf16be(text)")),
    spec_text("encode_utf32", BITLOOM_DOC("encode_utf32(text)")),
    spec_text("encode_utf32le", BITLOOM_DOC("encode_utf32le(text)")),
    spec_text("encode_utf32be", BITLOOM_DOC("encode_utf32be(text)")),
};
static_assert(kSpecs.size() == 62);

#undef BITLOOM_DOC

// ---------------------------------------------------------------------------
// Argument readers. Each converts one matched slot under the parameter's name.

inline bool read_u64(PyObject* const* a, std::size_t i, const FunctionSpec& s, std::uint64_t& out) {
    return convert_argument<std::uint64_t, convert_u64>(a[i], s.params[i], out);
}
inline bool read_u32(PyObject* const* a, std::size_t i, const FunctionSpec& s, std::uint32_t& out) {
    return convert_argument<std::uint32_t, convert_u32>(a[i], s.params[i], out);
}
inline bool read_i64(PyObject* const* a, std::size_t i, const FunctionSpec& s, std::int64_t& out) {
    return convert_argument<std::int64_t, convert_i64>(a[i], s.params[i], out);
}
// An omitted `signed` is false.
inline bool read_signed_flag(PyObject* const* a, std::size_t i, const FunctionSpec& s, bool& out) {
    if (a[i] == nullptr) {
        out = false;
        return true;
    }
    return convert_argument<bool, convert_bool>(a[i], s.params[i], out);
}

inline PyObject* int_result(std::uint64_t v) { return checked_result(PyLong_FromUnsignedLongLong(v)); }
inline PyObject* int_result(std::int64_t v) { return checked_result(PyLong_FromLongLong(v)); }
inline PyObject* float_result(double v) { return checked_result(PyFloat_FromDouble(v)); }
inline PyObject* bytes_result(std::string_view b) {
    return checked_result(PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size())));
}
inline PyObject* text_result(std::string_view utf8) {
    return checked_result(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

// ---------------------------------------------------------------------------
// Wrapper shapes. I is the row in kSpecs; the rest names the routine.

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// (value: unsigned 64, bits: unsigned 32) -> signed 64; never fails.
template <std::size_t I, std::int64_t (*Routine)(std::uint64_t, std::uint32_t) noexcept>
PyObject* integer_decoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 2> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        std::uint64_t value;
        std::uint32_t bits;
        if (a == nullptr || !read_u64(a, 0, spec, value) || !read_u32(a, 1, spec, bits)) return nullptr;
        return int_result(Routine(value, bits));
    });
}

// (value: signed 64, bits: unsigned 32) -> raw value.
template <std::size_t I, Result<std::uint64_t> (*Routine)(std::int64_t, std::uint32_t)>
PyObject* integer_encoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 2> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        std::int64_t value;
        std::uint32_t bits;
        if (a == nullptr || !read_i64(a, 0, spec, value) || !read_u32(a, 1, spec, bits)) return nullptr;
        const auto raw = Routine(value, bits);
        return raw ? int_result(*raw) : raise_error(raw.error());
    });
}

// (value: unsigned 64, bits: unsigned 32, signed=False) -> signed 64.
template <std::size_t I, Result<std::int64_t> (*Routine)(std::uint64_t, std::uint32_t, bool)>
PyObject* decimal_decoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 3> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        std::uint64_t value;
        std::uint32_t bits;
        bool is_signed;
        if (a == nullptr || !read_u64(a, 0, spec, value) || !read_u32(a, 1, spec, bits) ||
            !read_signed_flag(a, 2, spec, is_signed)) {
            return nullptr;
        }
        const auto result = Routine(value, bits, is_signed);
        return result ? int_result(*result) : raise_error(result.error());
    });
}

// (value: signed 64, bits: unsigned 32, signed=False) -> raw value.
template <std::size_t I, Result<std::uint64_t> (*Routine)(std::int64_t, std::uint32_t, bool)>
PyObject* decimal_encoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 3> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        std::int64_t value;
        std::uint32_t bits;
        bool is_signed;
        if (a == nullptr || !read_i64(a, 0, spec, value) || !read_u32(a, 1, spec, bits) ||
            !read_signed_flag(a, 2, spec, is_signed)) {
            return nullptr;
        }
        const auto raw = Routine(value, bits, is_signed);
        return raw ? int_result(*raw) : raise_error(raw.error());
    });
}

// (value: unsigned 64) -> float.
template <std::size_t I, double (*Routine)(std::uint64_t) noexcept>
PyObject* float_decoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 1> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        std::uint64_t value;
        if (a == nullptr || !read_u64(a, 0, spec, value)) return nullptr;
        return float_result(Routine(value));
    });
}

// (value: unsigned 128) -> float.
template <std::size_t I>
PyObject* binary128_decoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 1> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        U128 value;
        if (a == nullptr || !convert_argument<U128, convert_u128>(a[0], spec.params[0], value)) return nullptr;
        return float_result(decode_ieee754_f128(value));
    });
}

// (value: single or double float) -> bit pattern.
template <std::size_t I, class Native, bool (*Convert)(PyObject*, Native&), auto Routine>
PyObject* float_encoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 1> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        Native value;
        if (a == nullptr || !convert_argument<Native, Convert>(a[0], spec.params[0], value)) return nullptr;
        return int_result(static_cast<std::uint64_t>(Routine(value)));
    });
}

// (_value) -> NotImplementedError once the argument has converted.
template <std::size_t I, class Native, bool (*Convert)(PyObject*, Native&), const char* Text>
PyObject* unimplemented(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 1> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        Native value;
        if (a == nullptr || !convert_argument<Native, Convert>(a[0], spec.params[0], value)) return nullptr;
        PyErr_SetString(PyExc_NotImplementedError, Text);
        return nullptr;
    });
}

// (bytes) -> str. The direct path builds the str without a UTF-8 form in
// between; where it declines, the routine decodes and reports the failure.
template <std::size_t I, Result<std::string> (*Routine)(ByteSpan), PyObject* (*Direct)(ByteSpan)>
PyObject* text_decoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 1> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        ByteSpan bytes;
        if (a == nullptr || !convert_argument<ByteSpan, convert_bytes>(a[0], spec.params[0], bytes)) return nullptr;
        if (PyObject* direct = Direct(bytes)) return direct;
        const auto text = Routine(bytes);
        return text ? text_result(*text) : raise_error(text.error());
    });
}

Result<std::string> decode_utf16be_routine(ByteSpan b) { return decode_utf16_with_endianness(b, false); }
Result<std::string> decode_utf16le_routine(ByteSpan b) { return decode_utf16_with_endianness(b, true); }
Result<std::string> decode_utf32be_routine(ByteSpan b) { return decode_utf32_with_endianness(b, false); }
Result<std::string> decode_utf32le_routine(ByteSpan b) { return decode_utf32_with_endianness(b, true); }

// decode_iso_8859_1: every byte is the code point of the same value.
template <std::size_t I>
PyObject* latin1_decoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 1> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        ByteSpan bytes;
        if (a == nullptr || !convert_argument<ByteSpan, convert_bytes>(a[0], spec.params[0], bytes)) return nullptr;
        return checked_result(PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<Py_ssize_t>(bytes.size()), nullptr));
    });
}

// (text) -> bytes. The direct path encodes a str from its own storage;
// where it declines (a surrogate, a character the charset lacks), the text
// takes the UTF-8 path: the conversion raises the interpreter's error for a
// surrogate, the routine reports any other failure.
template <std::size_t I, Result<std::string> (*Routine)(std::string_view), PyObject* (*Direct)(PyObject*)>
PyObject* text_encoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 1> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        if (a == nullptr) return nullptr;
        if (BITLOOM_LIKELY(PyUnicode_Check(a[0]))) {
            if (PyObject* direct = Direct(a[0])) return direct;
        }
        std::string_view text;
        if (!convert_argument<std::string_view, convert_str>(a[0], spec.params[0], text)) {
            return nullptr;
        }
        const auto bytes = Routine(text);
        return bytes ? bytes_result(*bytes) : raise_error(bytes.error());
    });
}

// encode_utf8: the text's own UTF-8 form, copied.
template <std::size_t I>
PyObject* utf8_encoder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        constexpr const FunctionSpec& spec = kSpecs[I];
        std::array<PyObject*, 1> slots;
        PyObject* const* a = match_arguments(spec, args, nargs, kwnames, slots);
        std::string_view text;
        if (a == nullptr || !convert_argument<std::string_view, convert_str>(a[0], spec.params[0], text)) {
            return nullptr;
        }
        return bytes_result(text);
    });
}

std::uint64_t encode_f16_routine(float v) noexcept { return encode_ieee754_f16(v); }
std::uint64_t encode_f32_routine(float v) noexcept { return encode_ieee754_f32(v); }
std::uint64_t encode_f64_routine(double v) noexcept { return encode_ieee754_f64(v); }

template <std::size_t I, const char* Text>
constexpr FastFunction unimplemented_decoder = unimplemented<I, std::uint64_t, convert_u64, Text>;
template <std::size_t I, const char* Text>
constexpr FastFunction unimplemented_encoder32 = unimplemented<I, float, convert_float32, Text>;
template <std::size_t I, const char* Text>
constexpr FastFunction unimplemented_encoder64 = unimplemented<I, double, convert_double, Text>;

namespace uf = unimplemented_format;
namespace ue = unimplemented_encoding;

constexpr std::array<FastFunction, kSpecs.size()> kWrappers = {
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
    binary128_decoder<10>,
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
    latin1_decoder<23>,
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
    float_encoder<37, float, convert_float32, encode_f16_routine>,
    float_encoder<38, float, convert_float32, encode_f32_routine>,
    float_encoder<39, double, convert_double, encode_f64_routine>,
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
    utf8_encoder<55>,
    text_encoder<56, encode_utf16, str_to_utf16>,
    text_encoder<57, encode_utf16le, str_to_utf16le>,
    text_encoder<58, encode_utf16be, str_to_utf16be>,
    text_encoder<59, encode_utf32, str_to_utf32>,
    text_encoder<60, encode_utf32le, str_to_utf32le>,
    text_encoder<61, encode_utf32be, str_to_utf32be>,
};

std::array<PyMethodDef, kSpecs.size()> make_methods() {
    std::array<PyMethodDef, kSpecs.size()> methods{};
    for (std::size_t i = 0; i < kSpecs.size(); ++i) {
        methods[i] =
            PyMethodDef{kSpecs[i].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kWrappers[i])),
                        METH_FASTCALL | METH_KEYWORDS, kSpecs[i].doc};
    }
    return methods;
}

// PyCMethod_New keeps pointers to these records for the life of the functions.
std::array<PyMethodDef, kSpecs.size()> kMethods = make_methods();

}  // namespace

std::span<PyMethodDef> published_functions() noexcept { return kMethods; }

const FunctionSpec& packet_spec(bool pack) noexcept { return kSpecs[pack ? 1 : 0]; }

}  // namespace bitloom
