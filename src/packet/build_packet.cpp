#include "build_packet.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "../common/codec_table.hpp"
#include "recipe_item.hpp"

namespace bitloom {

namespace {

// What an item's value encodes to: a raw numeric pattern or the bytes of a
// text.
struct EncodedValue {
    std::uint64_t raw = 0;
    std::string text;
};

// Converts the value to the row's native type, then encodes it.
Result<EncodedValue> encode_value(const CodecRow& row, PyObject* value, std::uint32_t bits) {
    Number number;
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
            return EncodedValue{0, std::move(*bytes)};
        }
    }
    const auto raw = encode_number(row, number, bits);
    if (!raw) return std::unexpected(std::move(raw.error()));
    return EncodedValue{*raw, {}};
}

void place_value(std::span<std::uint8_t> packet, std::uint32_t cursor, const CodecRow& row, EncodedValue& value,
                 std::uint32_t bits, bool reverse_bits, ByteOrder order) {
    const bool little = order == ByteOrder::little;
    if (row.kind == CodecKind::text) {
        place_text_bytes(packet, cursor, value.text, bits, little);
    } else {
        place_raw_value(packet, cursor, value.raw, bits, reverse_bits, little);
    }
}

}  // namespace

Result<Ref> build_packet(std::span<PyObject* const> items) {
    // Sizing pass: only `bits` and `offset_bits` are read, so their problems
    // are reported before anything else of any item.
    //
    // While no Python code runs (every integer read is a plain int, every
    // value of a plain type), no dict can change between the passes, so the
    // writing pass reuses the fields each item's sizing scan found.
    // Very long recipes rescan instead, to keep the memory bounded.
    constexpr std::size_t max_kept_snapshots = std::size_t{1} << 16;
    std::uint32_t end = 0;
    bool reuse_snapshots = items.size() <= max_kept_snapshots;
    // Short recipes keep their snapshots on the stack. Every slot is written
    // by the sizing pass before the writing pass may read it.
    constexpr std::size_t local_snapshots = 32;
    ItemFields::Snapshot local[local_snapshots];
    std::vector<ItemFields::Snapshot> heap;
    if (reuse_snapshots && items.size() > local_snapshots) heap.resize(items.size());
    ItemFields::Snapshot* snapshots = heap.empty() ? local : heap.data();
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = items[i];
        if (auto ok = require_dict(item); !ok) return std::unexpected(std::move(ok.error()));
        ItemFields fields(item);
        std::uint32_t bits;
        std::optional<std::uint32_t> offset;
        if (!fields.read_usual_size(bits, offset)) {
            auto read_bits = fields.required_u32(Field::bits);
            if (!read_bits) return std::unexpected(std::move(read_bits.error()));
            auto read_offset = fields.optional_u32(Field::offset_bits);
            if (!read_offset) return std::unexpected(std::move(read_offset.error()));
            bits = *read_bits;
            offset = *read_offset;
        }
        reuse_snapshots = reuse_snapshots && !fields.ran_python_code();
        if (reuse_snapshots) snapshots[i] = fields.snapshot();
        end = std::max<std::uint32_t>(end, offset.value_or(end) + bits);
    }
    const std::uint32_t length = static_cast<std::uint32_t>(end + 7U) / 8U;

    Ref packet = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!packet) panic("could not allocate the packet buffer");
    std::span<std::uint8_t> buffer(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get())), length);
    if (length > 0) std::memset(buffer.data(), 0, length);

    NameMemo<Codec> codec_memo;
    NameMemo<ByteOrder> order_memo;
    std::uint32_t cursor = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = items[i];
        if (auto ok = require_dict(item); !ok) return std::unexpected(std::move(ok.error()));
        ItemFields fields = reuse_snapshots ? ItemFields(item, snapshots[i]) : ItemFields(item);
        ItemView view;
        std::optional<HeldFields> held;  // only for items read field by field
        if (!fields.read_usual(view)) {
            if (auto ok = fields.read_in_order(view, held.emplace()); !ok) {
                return std::unexpected(std::move(ok.error()));
            }
            auto value = fields.lookup(Field::value);
            if (!value) return std::unexpected(std::move(value.error()));
            held->value = std::move(*value);
            view.value = held->value.get();
        }
        if (view.offset_bits) cursor = *view.offset_bits;
        if (view.value == nullptr) {
            return fail(ErrorKind::key_error,
                        Message() << "Recipe item '" << view.name.utf8 << "' missing required field: 'value'");
        }

        const auto codec = resolve_encoding(pack_codec_names, view.encoding, codec_memo);
        if (!codec) return std::unexpected(std::move(codec.error()));
        reuse_snapshots = reuse_snapshots && !fields.ran_python_code() && converts_without_python_code(view.value);

        // Converting the value may run Python code that changes the dict, so
        // nothing borrowed from it is used after this point; the byte order is
        // resolved first, but its error is reported only after the value's.
        auto order = parse_byte_order(view.byte_order, order_memo);
        Ref value_ref = Ref::borrow(view.value);
        const CodecRow& row = codec_row(*codec);
        auto encoded = encode_value(row, value_ref.get(), view.bits);
        if (!encoded) return std::unexpected(std::move(encoded.error()));
        if (!order) return std::unexpected(std::move(order.error()));

        place_value(buffer, cursor, row, *encoded, view.bits, view.reverse_bits, *order);
        cursor += view.bits;
    }
    return packet;
}

}  // namespace bitloom
