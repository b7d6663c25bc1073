#include "io/kernels/pack_kernel.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <type_traits>

#include "args.hpp"
#include "codecs/codec_table.hpp"
#include "io/glue/layout_object.hpp"

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
    if (!raw) return std::unexpected(raw.error());
    return Encoded{false, *raw, {}};
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
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts only
    place_encoded(target.packet(row), *f.start, value, f.bits, f.reverse, f.little);
}

void place_in_every_packet(const PackTarget& target, const FieldSpec& f, const Encoded& value) {
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts only
    const std::uint32_t start = *f.start;
    if (target.slack && !value.is_bytes && f.bits >= 1 && start % 8 + f.bits <= 64 && start / 8 <= target.length) {
        for (std::size_t row = 0; row < target.count; ++row) {
            place_in_word(target.data + row * target.length, start, value.raw, f.bits, f.reverse, f.little);
        }
        return;
    }
    for (std::size_t row = 0; row < target.count; ++row) place_in_packet(target, row, f, value);
}

// NOLINTNEXTLINE(readability-function-cognitive-complexity): a flat dtype decision table
bool numeric_column_kind(const FieldSpec& f, PyObject* column, Ref& array, NumericInput& kind) {
    kind = NumericInput::none;
    if (f.binary || !f.pack_codec || f.value_class == ValueClass::text) return true;
    Ref as_array = Ref::steal(PyObject_CallMethod(numpy_module(), "ascontiguousarray", "O", column));
    if (!as_array) return false;
    Ref dtype = Ref::steal(PyObject_GetAttrString(as_array.get(), "dtype"));
    Ref kind_text = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "kind")) : Ref();
    Ref size = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "itemsize")) : Ref();
    Ref native = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "isnative")) : Ref();
    if (!kind_text || !size || !native) return false;
    const char* k = PyUnicode_AsUTF8(kind_text.get());
    if (k == nullptr) return false;
    const long width = PyLong_AsLong(size.get());
    const bool ieee = f.value_class == ValueClass::ieee;
    if (native.get() != Py_True) return true;
    if (k[0] == 'i') {
        kind = width == 1   ? NumericInput::i8
               : width == 2 ? NumericInput::i16
               : width == 4 ? NumericInput::i32
                            : NumericInput::i64;
    } else if (k[0] == 'u') {
        kind = width == 1   ? NumericInput::u8
               : width == 2 ? NumericInput::u16
               : width == 4 ? NumericInput::u32
                            : NumericInput::u64;
    } else if (ieee && k[0] == 'f' && (width == 4 || width == 8)) {
        kind = width == 4 ? NumericInput::f32 : NumericInput::f64;
    } else if (ieee && k[0] == 'f') {
        kind = NumericInput::f64;
        array = as_contiguous(as_array.get(), "float64");
        return static_cast<bool>(array);
    } else {
        return true;
    }
    if ((k[0] == 'i' || k[0] == 'u') && width != 1 && width != 2 && width != 4 && width != 8) {
        kind = NumericInput::none;
        return true;
    }
    array = std::move(as_array);
    return true;
}

namespace {

// Converts one element to the field's native number as the value conversion
// would: integers that do not fit the native type are refused (false).
template <class In>
bool to_number(NativeType type, In v, Number& out) {
    if constexpr (std::is_floating_point_v<In>) {
        out.f64 = static_cast<double>(v);
        return type == NativeType::f64;
    } else {
        switch (type) {
            case NativeType::f64: out.f64 = static_cast<double>(v); return true;
            case NativeType::u64:
                if constexpr (std::is_signed_v<In>) {
                    if (v < 0) return false;
                }
                // NOLINTNEXTLINE(bugprone-signed-char-misuse): v >= 0 here
                out.u64 = static_cast<std::uint64_t>(v);
                return true;
            default:
                if constexpr (std::is_same_v<In, std::uint64_t>) {
                    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
                }
                // NOLINTNEXTLINE(bugprone-signed-char-misuse): int8 sign extension intended
                out.i64 = static_cast<std::int64_t>(v);
                return true;
        }
    }
}

template <class In>
std::size_t pack_typed(const PackTarget& target, const FieldSpec& f, const In* in, bool slack) {
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): numeric_column_kind checked it
    const CodecRow& codec = codec_row(*f.pack_codec);
    const NativeType type = native_type(codec.kind);
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts only
    const std::uint32_t start = *f.start;
    const bool word = slack && f.bits >= 1 && start % 8 + f.bits <= 64 && start / 8 <= target.length;
    for (std::size_t row = 0; row < target.count; ++row) {
        Number number{};
        if (!to_number(type, in[row], number)) return row;
        const auto raw = encode_number(codec, number, f.bits);
        if (!raw) return row;
        if (word) {
            place_in_word(target.data + row * target.length, start, *raw, f.bits, f.reverse, f.little);
        } else {
            place_raw_value(target.packet(row), start, *raw, f.bits, f.reverse, f.little);
        }
    }
    return target.count;
}

}  // namespace

std::size_t pack_numeric_column(const PackTarget& target, const FieldSpec& f, const NumericColumn& column) {
    switch (column.kind) {
        case NumericInput::i8: return pack_typed(target, f, static_cast<const std::int8_t*>(column.data), column.slack);
        case NumericInput::i16:
            return pack_typed(target, f, static_cast<const std::int16_t*>(column.data), column.slack);
        case NumericInput::i32:
            return pack_typed(target, f, static_cast<const std::int32_t*>(column.data), column.slack);
        case NumericInput::i64:
            return pack_typed(target, f, static_cast<const std::int64_t*>(column.data), column.slack);
        case NumericInput::u8:
            return pack_typed(target, f, static_cast<const std::uint8_t*>(column.data), column.slack);
        case NumericInput::u16:
            return pack_typed(target, f, static_cast<const std::uint16_t*>(column.data), column.slack);
        case NumericInput::u32:
            return pack_typed(target, f, static_cast<const std::uint32_t*>(column.data), column.slack);
        case NumericInput::u64:
            return pack_typed(target, f, static_cast<const std::uint64_t*>(column.data), column.slack);
        case NumericInput::f32: return pack_typed(target, f, static_cast<const float*>(column.data), column.slack);
        case NumericInput::f64: return pack_typed(target, f, static_cast<const double*>(column.data), column.slack);
        case NumericInput::none: break;
    }
    return 0;
}

}  // namespace bitloom::io
