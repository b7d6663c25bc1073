#include "io/kernels/pack_kernel.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <type_traits>

#include "codecs/codec_table.hpp"

namespace bitloom::io {

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
