#include "process_recipe.hpp"

#include <algorithm>
#include <string>

#include "../common/codec_table.hpp"
#include "recipe_item.hpp"

namespace bitloom {

namespace {

PyObject* number_object(NativeType type, Number value) {
    switch (type) {
        case NativeType::u64: return checked_result(PyLong_FromUnsignedLongLong(value.u64));
        case NativeType::i64: return checked_result(PyLong_FromLongLong(value.i64));
        case NativeType::f64: return checked_result(PyFloat_FromDouble(value.f64));
        case NativeType::text: break;
    }
    panic("a text codec has no number");
}

// Decodes one field. `window` is the field's bytes as they stand in the
// packet; `raw` the field's bits right-aligned (byte order and mirroring
// already applied).
Result<Ref> decode_field(const CodecRow& row, ByteSpan window, bool little, std::uint64_t raw, std::uint32_t bits) {
    const NativeType type = native_type(row.kind);
    if (type != NativeType::text) {
        const auto number = decode_number(row, raw, bits);
        if (!number) return std::unexpected(std::move(number.error()));
        return Ref::steal(number_object(type, *number));
    }
    // Text: the field's bytes are the window, reversed for "little".
    std::string reversed;
    ByteSpan span = window;
    if (little) {
        reversed.assign(window.rbegin(), window.rend());
        span = ByteSpan(reinterpret_cast<const std::uint8_t*>(reversed.data()), reversed.size());
    }
    const auto text = decode_text(row, span);
    if (!text) return std::unexpected(std::move(text.error()));
    return Ref::steal(checked_result(PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()))));
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
        const FieldWindow w = field_window(position, view.bits, packet.size());
        if (!w.fits) {
            return value_error(Message() << "Field '" << view.name.utf8 << "' needs " << w.count << " bytes from byte "
                                         << w.start << " but the packet has " << packet.size() << " bytes");
        }
        const auto window = packet.subspan(w.start, w.count);

        auto order = parse_byte_order(view.byte_order, order_memo);
        if (!order) return std::unexpected(std::move(order.error()));
        const bool little = *order == ByteOrder::little;

        const auto codec = resolve_encoding(unpack_codec_names, view.encoding, codec_memo);
        if (!codec) return std::unexpected(std::move(codec.error()));

        const std::uint64_t raw = raw_field_value(assemble_value(window, little), view.bits, view.reverse_bits);
        auto value = decode_field(codec_row(*codec), window, little, raw, view.bits);
        if (!value) return std::unexpected(std::move(value.error()));

        auto key = result_key(view.name);
        if (!key) return std::unexpected(std::move(key.error()));
        if (PyDict_SetItem(result.get(), key->get(), value->get()) < 0) return python_error();
        position += view.bits;
    }
    return result;
}

}  // namespace bitloom
