#include "build_packet.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "../recipe_item.hpp"
#include "bcd.hpp"
#include "bit_placement.hpp"
#include "encoding_table.hpp"
#include "ieee754.hpp"
#include "integer.hpp"
#include "text.hpp"

namespace bitloom {

namespace {

// What an item's value encodes to: a raw numeric pattern (placed through its
// byte form) or the bytes of a text.
struct EncodedValue {
    bool is_text = false;
    std::uint64_t raw = 0;
    std::string text;
};

Result<EncodedValue> numeric(Result<std::uint64_t> raw) {
    if (!raw) return std::unexpected(std::move(raw.error()));
    return EncodedValue{false, *raw, {}};
}

Result<EncodedValue> text(Result<std::string> bytes) {
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    return EncodedValue{true, 0, std::move(*bytes)};
}

Result<EncodedValue> encode_value(Codec codec, PyObject* value, std::uint32_t bits) {
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
            return EncodedValue{false, v, {}};
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
            return EncodedValue{false, encode_ieee754_f16(single_value), {}};
        case Codec::ieee754_f32:
            if (!convert_float32(value, single_value)) return python_error();
            return EncodedValue{false, encode_ieee754_f32(single_value), {}};
        case Codec::ieee754_f64:
            if (!convert_double(value, double_value)) return python_error();
            return EncodedValue{false, encode_ieee754_f64(double_value), {}};
        default: break;
    }
    if (!convert_str(value, text_value)) return python_error();
    switch (codec) {
        case Codec::utf8: return EncodedValue{true, 0, std::string(text_value)};
        case Codec::utf16: return text(encode_utf16(text_value));
        case Codec::utf16le: return text(encode_utf16le(text_value));
        case Codec::utf16be: return text(encode_utf16be(text_value));
        case Codec::utf32: return text(encode_utf32(text_value));
        case Codec::utf32le: return text(encode_utf32le(text_value));
        case Codec::utf32be: return text(encode_utf32be(text_value));
        case Codec::us_ascii: return text(encode_us_ascii(text_value));
        case Codec::iso_8859_1: return text(encode_iso_8859_1(text_value));
        default: return text(encode_windows_1252(text_value));  // the only name left in the packing table
    }
}

std::span<const std::uint8_t> as_bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Writes one encoded value: mirror (numeric only), byte form, byte order,
// then the last `bits` bits at the cursor.
void place_value(std::span<std::uint8_t> packet, std::uint32_t cursor, EncodedValue& value, std::uint32_t bits,
                 bool reverse_bits, ByteOrder order) {
    if (value.is_text) {
        if (order == ByteOrder::little) std::reverse(value.text.begin(), value.text.end());
        place_form_bits(packet, cursor, as_bytes(value.text), bits);
        return;
    }
    if (bits <= 64) {
        // The byte form is the (mirrored) pattern's low 8*m bits, m bytes.
        const unsigned m = (bits + 7U) / 8U;
        std::uint64_t form = reverse_bits ? mirror_bits(value.raw, bits) : value.raw;
        if (order == ByteOrder::little && m > 1) form = std::byteswap(form) >> (64U - 8U * m);
        const std::uint64_t field = bits == 64 ? form : form & ((std::uint64_t{1} << bits) - 1U);
        place_field_bits(packet, cursor, field, bits);
        return;
    }
    std::string form = encode_integer_to_bytes(value.raw, bits, reverse_bits);
    if (order == ByteOrder::little) std::reverse(form.begin(), form.end());
    place_form_bits(packet, cursor, as_bytes(form), bits);
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
        auto encoded = encode_value(*codec, value_ref.get(), view.bits);
        if (!encoded) return std::unexpected(std::move(encoded.error()));
        if (!order) return std::unexpected(std::move(order.error()));

        place_value(buffer, cursor, *encoded, view.bits, view.reverse_bits, *order);
        cursor += view.bits;
    }
    return packet;
}

}  // namespace bitloom
