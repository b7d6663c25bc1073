#include "pack_kernel.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "../args.hpp"
#include "../common/codec_table.hpp"
#include "layout_object.hpp"

namespace bitloom::io {

namespace {

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

}  // namespace

Result<std::uint64_t> encode_numeric(const CodecRow& row, PyObject* value, std::uint32_t bits) {
    Number number{};
    switch (native_type(row.kind)) {
        case NativeType::u64:
            if (!convert_u64(value, number.u64)) return python_error();
            break;
        case NativeType::i64:
            if (!convert_i64(value, number.i64)) return python_error();
            break;
        default:
            if (!convert_double(value, number.f64)) return python_error();
            break;
    }
    return encode_number(row, number, bits);
}

namespace {

// Converts the value to the row's native type and encodes it, as the packet
// builder does.
Result<Encoded> encode_value(const CodecRow& row, PyObject* value, std::uint32_t bits) {
    Number number{};
    switch (native_type(row.kind)) {
        case NativeType::u64:
            if (!convert_u64(value, number.u64)) return python_error();
            break;
        case NativeType::i64:
            if (!convert_i64(value, number.i64)) return python_error();
            break;
        case NativeType::f64:
            if (!convert_double(value, number.f64)) return python_error();
            break;
        case NativeType::text: {
            std::string_view text;
            if (!convert_str(value, text)) return python_error();
            auto bytes = encode_text(row, text);
            if (!bytes) return std::unexpected(std::move(bytes.error()));
            return Encoded{true, 0, std::move(*bytes)};
        }
    }
    const auto raw = encode_number(row, number, bits);
    if (!raw) return std::unexpected(std::move(raw.error()));
    return Encoded{false, *raw, {}};
}

// One value of a native column encoded for the field; false when the field
// refuses it (the row is then reported through Layout.pack).
bool encode_native(const CodecRow& row, std::uint32_t bits, const NumericColumn& column, std::size_t i,
                   std::uint64_t& raw) {
    Number number{};
    switch (native_type(row.kind)) {
        case NativeType::u64:
            if (column.kind == NumericInput::i64) {
                const std::int64_t s = static_cast<const std::int64_t*>(column.data)[i];
                if (s < 0) return false;
                number.u64 = static_cast<std::uint64_t>(s);
            } else {
                number.u64 = static_cast<const std::uint64_t*>(column.data)[i];
            }
            break;
        case NativeType::i64:
            if (column.kind == NumericInput::u64) {
                const std::uint64_t u = static_cast<const std::uint64_t*>(column.data)[i];
                if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
                number.i64 = static_cast<std::int64_t>(u);
            } else {
                number.i64 = static_cast<const std::int64_t*>(column.data)[i];
            }
            break;
        case NativeType::f64: number.f64 = static_cast<const double*>(column.data)[i]; break;
        case NativeType::text: return false;
    }
    auto r = encode_number(row, number, bits);
    if (!r) return false;
    raw = *r;
    return true;
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
    return encode_value(codec_row(*f.pack_codec), value, bits);
}

void place_encoded(std::span<std::uint8_t> packet, std::uint32_t cursor, const Encoded& value, std::uint32_t bits,
                   bool reverse, bool little) {
    if (value.is_bytes) {
        std::string bytes = value.bytes;  // reversed in place for "little"
        place_text_bytes(packet, cursor, bytes, bits, little);
        return;
    }
    place_raw_value(packet, cursor, value.raw, bits, reverse, little);
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
    const CodecRow& codec = codec_row(*f.pack_codec);
    Encoded value;
    for (std::size_t row = 0; row < target.count; ++row) {
        if (!encode_native(codec, f.bits, column, row, value.raw)) return row;
        place_in_packet(target, row, f, value);
    }
    return target.count;
}

}  // namespace bitloom::io
