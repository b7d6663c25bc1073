#include "process_recipe.hpp"

#include <algorithm>
#include <string>

#include "../recipe_item.hpp"
#include "bcd.hpp"
#include "encoding_table.hpp"
#include "field_window.hpp"
#include "ieee754.hpp"
#include "integer.hpp"
#include "text.hpp"

namespace bitloom {

namespace {

PyObject* new_int(std::int64_t v) { return checked_result(PyLong_FromLongLong(v)); }
PyObject* new_float(double v) { return checked_result(PyFloat_FromDouble(v)); }

Result<Ref> from_decimal(Result<std::int64_t> r) {
    if (!r) return std::unexpected(std::move(r.error()));
    return Ref::steal(new_int(*r));
}

Result<Ref> from_text(Result<std::string> r) {
    if (!r) return std::unexpected(std::move(r.error()));
    return Ref::steal(checked_result(PyUnicode_FromStringAndSize(r->data(), static_cast<Py_ssize_t>(r->size()))));
}

Result<Ref> from_unimplemented(Result<double> r) { return std::unexpected(std::move(r.error())); }

// Decodes one field. `window` is the field's bytes as they stand in the
// packet; `raw` the field's bits right-aligned (byte order and mirroring
// already applied).
Result<Ref> decode_field(Codec codec, std::span<const std::uint8_t> window, bool little, std::uint64_t raw,
                         std::uint32_t bits) {
    switch (codec) {
        case Codec::unsigned_int: return Ref::steal(checked_result(PyLong_FromUnsignedLongLong(raw)));
        case Codec::sign_magnitude: return Ref::steal(new_int(decode_sign_magnitude(raw, bits)));
        case Codec::ones_complement: return Ref::steal(new_int(decode_ones_complement(raw, bits)));
        case Codec::twos_complement: return Ref::steal(new_int(decode_twos_complement(raw, bits)));
        case Codec::unpacked_bcd: return from_decimal(decode_unpacked_bcd(raw, bits, false));
        case Codec::unpacked_bcd_signed: return from_decimal(decode_unpacked_bcd(raw, bits, true));
        case Codec::packed_bcd: return from_decimal(decode_packed_bcd(raw, bits, false));
        case Codec::packed_bcd_signed: return from_decimal(decode_packed_bcd(raw, bits, true));
        case Codec::ieee754_f16: return Ref::steal(new_float(decode_ieee754_f16(raw)));
        case Codec::ieee754_f32: return Ref::steal(new_float(decode_ieee754_f32(raw)));
        case Codec::ieee754_f64: return Ref::steal(new_float(decode_ieee754_f64(raw)));
        case Codec::ieee754_f128:
            if (bits > 64) {
                return value_error(
                    "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
            }
            // A binary128 value cannot be read from 64 bits or fewer; answering
            // 0.0 would report a failure as a value.
            return value_error(Message() << "IEEE 754 f128 field needs 128 bits, but bits is " << bits);
        case Codec::ti_f32: return not_implemented(unimplemented_format::ti_f32);
        case Codec::dec_f32: return not_implemented(unimplemented_format::dec_f32);
        case Codec::ieee754_1985_f32: return not_implemented(unimplemented_format::ieee754_1985_f32);
        case Codec::ti_f40: return from_unimplemented(decode_ti_f40());
        case Codec::dec_f64: return from_unimplemented(decode_dec_f64());
        case Codec::ibm_f32: return from_unimplemented(decode_ibm_f32());
        case Codec::ibm_f64: return from_unimplemented(decode_ibm_f64());
        case Codec::ieee754_1985_f64: return from_unimplemented(decode_ieee754_1985_f64());
        case Codec::ieee754_1985_f80: return from_unimplemented(decode_ieee754_1985_f80());
        case Codec::mil_std_1750a_f32: return from_unimplemented(decode_mil_std_1750a_f32());
        case Codec::mil_std_1750a_f48: return from_unimplemented(decode_mil_std_1750a_f48());
        default: break;
    }

    // Text: the field span is the window, reversed for "little".
    std::string reversed;
    ByteSpan span = window;
    if (little) {
        reversed.assign(window.rbegin(), window.rend());
        span = ByteSpan(reinterpret_cast<const std::uint8_t*>(reversed.data()), reversed.size());
    }
    switch (codec) {
        case Codec::utf8: return from_text(decode_utf8(span));
        case Codec::utf16: return from_text(decode_utf16(span));
        case Codec::utf16le: return from_text(decode_utf16_with_endianness(span, true));
        case Codec::utf16be: return from_text(decode_utf16_with_endianness(span, false));
        case Codec::utf32: return from_text(decode_utf32(span));
        case Codec::utf32le: return from_text(decode_utf32_with_endianness(span, true));
        case Codec::utf32be: return from_text(decode_utf32_with_endianness(span, false));
        case Codec::us_ascii: return from_text(decode_us_ascii(span));
        case Codec::windows_1252: return from_text(decode_windows_1252(span));
        default:
            return Ref::steal(checked_result(PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(span.data()),
                                                                    static_cast<Py_ssize_t>(span.size()), nullptr)));
    }
}

// The result dict's key for an item: the name itself when it is an exact
// str, otherwise a plain str with the same text (a subclass could hash or
// compare in ways of its own).
Result<Ref> result_key(const TextView& name) {
    if (PyUnicode_CheckExact(name.object)) return Ref::borrow(name.object);
    Ref key = Ref::steal(PyUnicode_FromStringAndSize(name.utf8.data(), static_cast<Py_ssize_t>(name.utf8.size())));
    if (!key) return python_error();
    return key;
}

}  // namespace

Result<Ref> process_recipe(std::span<const std::uint8_t> packet, std::uint32_t offset_bits,
                           std::span<PyObject* const> items) {
    Ref result = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(items.size())));
    if (!result) panic("could not create the result dict");

    NameMemo<Codec> codec_memo;
    NameMemo<ByteOrder> order_memo;
    std::uint32_t position = offset_bits;
    for (PyObject* item : items) {
        if (auto ok = require_dict(item); !ok) return std::unexpected(std::move(ok.error()));
        ItemFields fields(item);
        ItemView view;
        std::optional<HeldFields> held;  // only for items read field by field
        if (!fields.read_usual(view)) {
            if (auto ok = fields.read_in_order(view, held.emplace()); !ok) {
                return std::unexpected(std::move(ok.error()));
            }
        }
        if (view.offset_bits) position = offset_bits + *view.offset_bits;

        // The window is checked before anything else about the field, and no
        // byte outside the packet is ever read.
        const std::uint64_t start = position / 8U;
        const std::uint64_t count = static_cast<std::uint32_t>(view.bits + 7U) / 8U;
        if (start + count > packet.size()) {
            return value_error(Message() << "Field '" << view.name.utf8 << "' needs " << count << " bytes from byte "
                                         << start << " but the packet has " << packet.size() << " bytes");
        }
        const auto window = packet.subspan(start, count);

        auto order = parse_byte_order(view.byte_order, order_memo);
        if (!order) return std::unexpected(std::move(order.error()));
        const bool little = *order == ByteOrder::little;

        const auto codec = resolve_encoding(unpack_codec_names, view.encoding, codec_memo);
        if (!codec) return std::unexpected(std::move(codec.error()));

        const std::uint64_t raw = raw_field_value(assemble_value(window, little), view.bits, view.reverse_bits);
        auto value = decode_field(*codec, window, little, raw, view.bits);
        if (!value) return std::unexpected(std::move(value.error()));

        auto key = result_key(view.name);
        if (!key) return std::unexpected(std::move(key.error()));
        if (PyDict_SetItem(result.get(), key->get(), value->get()) < 0) return python_error();
        position += view.bits;
    }
    return result;
}

}  // namespace bitloom
