#include "packet/process_recipe.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "codecs/codec_table.hpp"
#include "common/ascii_run.hpp"
#include "packet/recipe_item.hpp"

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

// A number field decoded as codec C into a new object, or null (with no
// exception set) when C is not a number codec or the field does not decode.
template <Codec C>
PyObject* decode_plain(std::uint64_t raw, std::uint32_t bits) {
    constexpr const CodecRow& row = codec_row(C);
    if constexpr (row.kind == CodecKind::text || row.kind == CodecKind::unimplemented) {
        return nullptr;
    } else {
        constexpr DecodeNumber decode = row.decode;
        const auto number = decode(raw, bits, row.is_signed);
        if (!number) return nullptr;
        return number_object(native_type(row.kind), *number);
    }
}
constexpr auto plain_decoders =
    per_codec<PyObject* (*)(std::uint64_t, std::uint32_t)>([]<Codec C>() { return &decode_plain<C>; });

// Decodes one field. `window` is the field's bytes as they stand in the
// packet; `raw` the field's bits right-aligned (byte order and mirroring
// already applied).
Result<Ref> decode_field(const CodecRow& row, ByteSpan window, bool little, std::uint64_t raw, std::uint32_t bits) {
    const NativeType type = native_type(row.kind);
    if (type != NativeType::text) {
        auto number = decode_number(row, raw, bits);
        if (!number) return std::unexpected(std::move(number.error()));
        return Ref::steal(number_object(type, *number));
    }
    // Text: the field's bytes are the window, reversed for "little". ASCII
    // bytes of a codec that decodes them to themselves are the text.
    if (row.ascii_is_identity && ascii_unit_count<1>(window.data(), window.size(), any_high_bit) == window.size()) {
        PyObject* text = checked_result(PyUnicode_New(static_cast<Py_ssize_t>(window.size()), 0x7F));
        auto* out = static_cast<std::uint8_t*>(PyUnicode_DATA(text));
        if (little) {
            std::ranges::reverse_copy(window, out);
        } else {
            std::ranges::copy(window, out);
        }
        return Ref::steal(text);
    }
    std::string reversed;
    ByteSpan span = window;
    if (little) {
        reversed.assign(window.rbegin(), window.rend());
        span = ByteSpan(reinterpret_cast<const std::uint8_t*>(reversed.data()), reversed.size());
    }
    auto text = decode_text(row, span);
    if (!text) return std::unexpected(std::move(text.error()));
    return Ref::steal(checked_result(PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()))));
}

// Stores the value under the item's name: the name itself when it is an
// exact str, otherwise a plain str with the same text (a subclass could hash
// or compare in ways of its own).
Result<void> store(PyObject* result, const TextView& name, PyObject* value) {
    if (PyUnicode_CheckExact(name.object)) {
        if (PyDict_SetItem(result, name.object, value) < 0) return python_error();
        return {};
    }
    Ref key = Ref::steal(PyUnicode_FromStringAndSize(name.utf8.data(), static_cast<Py_ssize_t>(name.utf8.size())));
    if (!key || PyDict_SetItem(result, key.get(), value) < 0) return python_error();
    return {};
}

// One usual item (see plan_usual), item `index` of the recipe, decoded into
// the result at the position it starts at. Returns false, having stored
// nothing, when its window does not fit or its field does not decode: the
// item is then unpacked in full, which reports the problem.
PacketResult<bool> unpack_planned(std::size_t index, const PlannedItem& plan, ByteSpan packet,
                                  std::uint32_t offset_bits, std::uint32_t& position, PyObject* result) {
    const std::uint32_t start = plan.has_offset ? offset_bits + plan.offset_bits : position;
    const FieldWindow w = field_window(start, plan.bits, packet.size());
    if (!w.fits) return false;
    const std::uint64_t raw = raw_field_value(assemble_field(packet, w, plan.little), plan.bits, plan.reverse_bits);
    Ref value;
    if (codec_kinds[static_cast<std::size_t>(plan.codec)] == CodecKind::text) {
        auto text = decode_field(codec_row(plan.codec), packet.subspan(w.start, w.count), plan.little, raw, plan.bits);
        if (!text) return false;
        value = std::move(*text);
    } else {
        value = Ref::steal(plain_decoders[static_cast<std::size_t>(plan.codec)](raw, plan.bits));
        if (!value) return false;
    }
    if (PyDict_SetItem(result, plan.name, value.get()) < 0) {
        return std::unexpected(
            PacketError{python_error().error(), item_note(index, planned_as_item(plan), ReadProgress::bits)});
    }
    position = start + plan.bits;
    return true;
}

// One item: read it, check its window, decode its field into the result.
// Nothing here runs Python code once the item is read, so its borrowed
// fields stay valid to the end.
Result<void> unpack_item(RecipeReader& reader, PyObject* dict, const Snapshot& snapshot, ByteSpan packet,
                         std::uint32_t offset_bits, std::uint32_t& position, PyObject* result, Item& item) {
    if (auto ok = reader.read_item(dict, snapshot, false, item); !ok) return ok;
    if (item.has_offset) position = offset_bits + item.offset_bits;

    // The window is checked before anything else about the field, and no
    // byte outside the packet is ever read.
    const FieldWindow w = field_window(position, item.bits, packet.size());
    if (!w.fits) {
        return value_error(Message() << "Field '" << item.name.utf8 << "' needs " << w.count << " bytes from byte "
                                     << w.start << " but the packet has " << packet.size() << " bytes");
    }
    const ByteSpan window = packet.subspan(w.start, w.count);

    auto order = parse_byte_order(item.byte_order, reader.byte_orders);
    if (!order) return std::unexpected(std::move(order.error()));
    const bool little = *order == ByteOrder::little;
    auto codec = resolve_encoding(unpack_codec_names, item.encoding, reader.codecs);
    if (!codec) return std::unexpected(std::move(codec.error()));

    const std::uint64_t raw = raw_field_value(assemble_field(packet, w, little), item.bits, item.reverse_bits);
    auto value = decode_field(codec_row(*codec), window, little, raw, item.bits);
    if (!value) return std::unexpected(std::move(value.error()));
    if (auto ok = store(result, item.name, value->get()); !ok) return ok;
    position += item.bits;
    return {};
}

// Item `index`, if it is usual (see plan_usual), unpacked from a current
// snapshot: true when done, false when it is to be read in full (not usual,
// or its window or decoding fails, which the full read reports).
PacketResult<bool> unpack_if_usual(std::size_t index, const Snapshot& snapshot, ByteSpan packet,
                                   std::uint32_t offset_bits, std::uint32_t& position, PyObject* result) {
    PlannedItem plan;
    if (!RecipeReader::plan_usual(snapshot, Direction::unpack, plan)) return false;
    return unpack_planned(index, plan, packet, offset_bits, position, result);
}

// The leading run of usual items, unpacked from the recipe's items read in
// place: nothing here runs Python code. Returns the index of the first item
// that is not unpacked that way, or the error of a usual item. Items are
// planned a batch at a time, then decoded: two short loops keep their state
// in registers where one long loop would not.
PacketResult<std::size_t> unpack_usual_run(std::span<PyObject* const> items, ByteSpan packet, std::uint32_t offset_bits,
                                           std::uint32_t& position, PyObject* result) {
    constexpr std::size_t batch = 64;
    const RecipeKeys& keys = recipe_keys();
    const InternedNames& interned = interned_names();
    std::array<PlannedItem, batch> plans;
    for (std::size_t first = 0; first < items.size(); first += batch) {
        const std::size_t count = std::min(batch, items.size() - first);
        std::size_t planned = 0;
        for (; planned < count; ++planned) {
            PyObject* item = items[first + planned];
            ItemFieldValues values;
            if (!PyDict_Check(item) || !scan_fields(item, keys, values) ||
                !RecipeReader::plan_usual(values, interned, Direction::unpack, plans[planned])) {
                break;
            }
        }
        for (std::size_t k = 0; k < planned; ++k) {
            auto done = unpack_planned(first + k, plans[k], packet, offset_bits, position, result);
            if (!done) return std::unexpected(std::move(done.error()));
            if (!*done) return first + k;
        }
        if (planned < count) return first + planned;
    }
    return items.size();
}

}  // namespace

PacketResult<Ref> process_recipe(ByteSpan packet, std::uint32_t offset_bits, RecipeItems& recipe) {
    Ref result = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(recipe.unowned().size())));
    if (!result) panic("could not create the result dict");
    std::uint32_t position = offset_bits;
    const auto usual_end = unpack_usual_run(recipe.unowned(), packet, offset_bits, position, result.get());
    if (!usual_end) return std::unexpected(usual_end.error());
    if (*usual_end == recipe.unowned().size()) return result;

    // The rest, from the first item that is not usual: reading an item in
    // full may run Python code, so the items are owned from here on; later
    // usual items still take the shortcut while their snapshot is current.
    const std::span<PyObject* const> items = recipe.view();
    RecipeReader reader;
    Item item;
    Snapshot snapshot;
    for (std::size_t i = *usual_end; i < items.size(); ++i) {
        reader.start_item();
        auto ok = require_dict(items[i]);
        if (ok) {
            reader.scan(items[i], snapshot);
            // Nothing has run Python code since the scan, so it is current.
            auto done = unpack_if_usual(i, snapshot, packet, offset_bits, position, result.get());
            if (!done) return std::unexpected(std::move(done.error()));
            if (*done) continue;
            ok = unpack_item(reader, items[i], snapshot, packet, offset_bits, position, result.get(), item);
        }
        if (!ok) return std::unexpected(PacketError{std::move(ok.error()), item_note(i, item, reader.progress())});
    }
    return result;
}

}  // namespace bitloom
