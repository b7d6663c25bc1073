#include "pack_kernel.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "../args.hpp"
#include "../encoder/bcd.hpp"
#include "../encoder/bit_placement.hpp"
#include "../encoder/ieee754.hpp"
#include "../encoder/integer.hpp"
#include "../encoder/text.hpp"
#include "layout_object.hpp"

namespace bitloom::io {

namespace {

Result<Encoded> numeric(Result<std::uint64_t> raw) {
    if (!raw) return std::unexpected(std::move(raw.error()));
    return Encoded{false, *raw, {}};
}

Result<Encoded> text(Result<std::string> bytes) {
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    return Encoded{true, 0, std::move(*bytes)};
}

Result<Encoded> encode_binary(const FieldSpec& f, PyObject* value, std::uint32_t bits) {
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return python_error();
    Encoded e{true, 0, std::string(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len))};
    PyBuffer_Release(&view);
    if (e.bytes.size() * 8 != bits) {
        return value_error(Message() << "Field '" << f.name_utf8 << "' holds " << bits / 8
                                     << " bytes, but the value has " << e.bytes.size());
    }
    return e;
}

Result<Encoded> encode_value(Codec codec, PyObject* value, std::uint32_t bits) {
    std::int64_t signed_value;
    double double_value;
    float single_value;
    std::string_view text_value;
    switch (codec) {
        case Codec::unsigned_int: {
            std::uint64_t v;
            if (!convert_u64(value, v)) return python_error();
            if (bits < 64 && (v >> bits) != 0) {
                return value_error(Message() << "Value " << v << " is too large for " << bits << " bits");
            }
            return Encoded{false, v, {}};
        }
        case Codec::sign_magnitude:
        case Codec::ones_complement:
        case Codec::twos_complement:
        case Codec::unpacked_bcd:
        case Codec::unpacked_bcd_signed:
        case Codec::packed_bcd:
        case Codec::packed_bcd_signed:
            if (!convert_i64(value, signed_value)) return python_error();
            switch (codec) {
                case Codec::sign_magnitude: return numeric(encode_sign_magnitude(signed_value, bits));
                case Codec::ones_complement: return numeric(encode_ones_complement(signed_value, bits));
                case Codec::twos_complement: return numeric(encode_twos_complement(signed_value, bits));
                case Codec::unpacked_bcd: return numeric(encode_unpacked_bcd(signed_value, bits, false));
                case Codec::unpacked_bcd_signed: return numeric(encode_unpacked_bcd(signed_value, bits, true));
                case Codec::packed_bcd: return numeric(encode_packed_bcd(signed_value, bits, false));
                default: return numeric(encode_packed_bcd(signed_value, bits, true));
            }
        case Codec::ieee754_f16:
            if (!convert_float32(value, single_value)) return python_error();
            return Encoded{false, encode_ieee754_f16(single_value), {}};
        case Codec::ieee754_f32:
            if (!convert_float32(value, single_value)) return python_error();
            return Encoded{false, encode_ieee754_f32(single_value), {}};
        case Codec::ieee754_f64:
            if (!convert_double(value, double_value)) return python_error();
            return Encoded{false, encode_ieee754_f64(double_value), {}};
        default: break;
    }
    if (!convert_str(value, text_value)) return python_error();
    switch (codec) {
        case Codec::utf8: return Encoded{true, 0, std::string(text_value)};
        case Codec::utf16: return text(encode_utf16(text_value));
        case Codec::utf16le: return text(encode_utf16le(text_value));
        case Codec::utf16be: return text(encode_utf16be(text_value));
        case Codec::utf32: return text(encode_utf32(text_value));
        case Codec::utf32le: return text(encode_utf32le(text_value));
        case Codec::utf32be: return text(encode_utf32be(text_value));
        case Codec::us_ascii: return text(encode_us_ascii(text_value));
        case Codec::iso_8859_1: return text(encode_iso_8859_1(text_value));
        default: return text(encode_windows_1252(text_value));
    }
}

std::span<const std::uint8_t> as_bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

Result<std::uint64_t> encode_number(Codec codec, std::int64_t value, std::uint32_t bits) {
    switch (codec) {
        case Codec::sign_magnitude: return encode_sign_magnitude(value, bits);
        case Codec::ones_complement: return encode_ones_complement(value, bits);
        case Codec::twos_complement: return encode_twos_complement(value, bits);
        case Codec::unpacked_bcd: return encode_unpacked_bcd(value, bits, false);
        case Codec::unpacked_bcd_signed: return encode_unpacked_bcd(value, bits, true);
        case Codec::packed_bcd: return encode_packed_bcd(value, bits, false);
        default: return encode_packed_bcd(value, bits, true);
    }
}

// One value of a native column encoded for the field; false when the field
// refuses it (the row is then reported through Layout.pack).
bool encode_native(Codec codec, std::uint32_t bits, const NumericColumn& column, std::size_t row,
                   std::uint64_t& raw) {
    switch (codec) {
        case Codec::unsigned_int: {
            std::uint64_t u;
            if (column.kind == NumericInput::i64) {
                const std::int64_t s = static_cast<const std::int64_t*>(column.data)[row];
                if (s < 0) return false;
                u = static_cast<std::uint64_t>(s);
            } else {
                u = static_cast<const std::uint64_t*>(column.data)[row];
            }
            if (bits < 64 && (u >> bits) != 0) return false;
            raw = u;
            return true;
        }
        case Codec::ieee754_f16:
        case Codec::ieee754_f32:
        case Codec::ieee754_f64: {
            const double d = static_cast<const double*>(column.data)[row];
            raw = codec == Codec::ieee754_f16   ? encode_ieee754_f16(static_cast<float>(d))
                  : codec == Codec::ieee754_f32 ? encode_ieee754_f32(static_cast<float>(d))
                                                : encode_ieee754_f64(d);
            return true;
        }
        default: {
            std::int64_t s;
            if (column.kind == NumericInput::u64) {
                const std::uint64_t u = static_cast<const std::uint64_t*>(column.data)[row];
                if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
                s = static_cast<std::int64_t>(u);
            } else {
                s = static_cast<const std::int64_t*>(column.data)[row];
            }
            auto r = encode_number(codec, s, bits);
            if (!r) return false;
            raw = *r;
            return true;
        }
    }
}

// The dtype kind character of an array ('i', 'u', 'f', ...).
int dtype_kind(PyObject* array) {
    Ref dtype = Ref::steal(PyObject_GetAttrString(array, "dtype"));
    Ref kind = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "kind")) : Ref();
    if (!kind) return -1;
    const char* text = PyUnicode_AsUTF8(kind.get());
    return text == nullptr ? -1 : text[0];
}

Ref as_contiguous(PyObject* obj, const char* dtype) {
    Ref fn = Ref::steal(PyObject_GetAttrString(numpy_module(), "ascontiguousarray"));
    Ref args = Ref::steal(PyTuple_Pack(1, obj));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:s}", "dtype", dtype));
    if (!fn || !args || !kwargs) return {};
    return Ref::steal(PyObject_Call(fn.get(), args.get(), kwargs.get()));
}

}  // namespace

Result<Encoded> encode_field_value(const FieldSpec& f, PyObject* value, std::uint32_t bits) {
    if (f.binary) return encode_binary(f, value, bits);
    if (!f.pack_codec) return value_error(Message() << "Unsupported encoding type: " << f.encoding_utf8);
    return encode_value(*f.pack_codec, value, bits);
}

void place_encoded(std::span<std::uint8_t> packet, std::uint32_t cursor, const Encoded& value, std::uint32_t bits,
                   bool reverse, bool little) {
    if (value.is_bytes) {
        if (!little) {
            place_form_bits(packet, cursor, as_bytes(value.bytes), bits);
            return;
        }
        std::string reversed(value.bytes.rbegin(), value.bytes.rend());
        place_form_bits(packet, cursor, as_bytes(reversed), bits);
        return;
    }
    if (bits <= 64) {
        const unsigned m = (bits + 7U) / 8U;
        std::uint64_t form = reverse ? mirror_bits(value.raw, bits) : value.raw;
        if (little && m > 1) form = std::byteswap(form) >> (64U - 8U * m);
        place_field_bits(packet, cursor, bits == 64 ? form : form & ((std::uint64_t{1} << bits) - 1U), bits);
        return;
    }
    std::string form = encode_integer_to_bytes(value.raw, bits, reverse);
    if (little) std::reverse(form.begin(), form.end());
    place_form_bits(packet, cursor, as_bytes(form), bits);
}

void place_in_packet(const PackTarget& target, std::size_t row, const FieldSpec& f, const Encoded& value) {
    place_encoded(target.packet(row), *f.start, value, f.bits, f.reverse, f.little);
}

void place_in_every_packet(const PackTarget& target, const FieldSpec& f, const Encoded& value) {
    for (std::size_t row = 0; row < target.count; ++row) place_in_packet(target, row, f, value);
}

bool numeric_column_kind(const FieldSpec& f, PyObject* column, Ref& array, NumericInput& kind) {
    kind = NumericInput::none;
    if (f.binary || !f.pack_codec || f.value_class == ValueClass::text) return true;
    Ref as_array = Ref::steal(PyObject_CallMethod(numpy_module(), "asarray", "O", column));
    if (!as_array) return false;
    const int k = dtype_kind(as_array.get());
    if (k < 0) return false;
    const bool ieee = f.value_class == ValueClass::ieee;
    if (ieee && (k == 'f' || k == 'i' || k == 'u')) {
        kind = NumericInput::f64;
        array = as_contiguous(as_array.get(), "float64");
    } else if (!ieee && k == 'i') {
        kind = NumericInput::i64;
        array = as_contiguous(as_array.get(), "int64");
    } else if (!ieee && k == 'u') {
        kind = NumericInput::u64;
        array = as_contiguous(as_array.get(), "uint64");
    } else {
        return true;
    }
    return static_cast<bool>(array);
}

std::size_t pack_numeric_column(const PackTarget& target, const FieldSpec& f, const NumericColumn& column) {
    const Codec codec = *f.pack_codec;
    Encoded value;
    for (std::size_t row = 0; row < target.count; ++row) {
        if (!encode_native(codec, f.bits, column, row, value.raw)) return row;
        place_in_packet(target, row, f, value);
    }
    return target.count;
}

}  // namespace bitloom::io
