#include "io/kernels/pack_kernel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <type_traits>

#include "codecs/codec_table.hpp"
#include "encoder/ieee754.hpp"

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

// Rows [begin, end) of one numeric column, for a codec known only at run
// time; returns the first refused row, or end.
template <class In>
std::size_t pack_rows_generic(const PackTarget& target, const FieldSpec& f, const In* in, std::size_t begin,
                              std::size_t end) {
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): numeric_column_kind checked it
    const CodecRow& codec = codec_row(*f.pack_codec);
    const NativeType type = native_type(codec.kind);
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts only
    const std::uint32_t start = *f.start;
    const bool word = target.slack && f.bits >= 1 && start % 8 + f.bits <= 64 && start / 8 <= target.length;
    for (std::size_t row = begin; row < end; ++row) {
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
    return end;
}

// The raw value of one element for the codecs the batch paths know, as
// to_number and the codec's routine give it (false: refused), written out
// so that the check is a compare in the loop rather than a call.
template <Codec C, class In>
[[gnu::always_inline]] inline bool encode_inline(In v, std::uint32_t bits, std::uint64_t& raw) noexcept {
    if constexpr (C == Codec::ieee754_f32) {
        if constexpr (std::is_same_v<In, float>) {
            // As through a Python float (what pack takes): a signalling NaN
            // comes out quiet, which the compiler's folding of float ->
            // double -> float would not do.
            auto b = std::bit_cast<std::uint32_t>(v);
            if ((b & 0x7F800000U) == 0x7F800000U && (b & 0x007FFFFFU) != 0) b |= 0x00400000U;
            raw = encode_ieee754_f32(std::bit_cast<float>(b));
        } else {
            raw = encode_ieee754_f32(static_cast<float>(static_cast<double>(v)));
        }
        return true;
    } else if constexpr (C == Codec::ieee754_f64) {
        raw = encode_ieee754_f64(static_cast<double>(v));
        return true;
    } else if constexpr (std::is_floating_point_v<In>) {
        return false;  // integer codecs take integers only
    } else if constexpr (C == Codec::unsigned_int) {
        if constexpr (std::is_signed_v<In>) {
            if (v < 0) return false;
        }
        // NOLINTNEXTLINE(bugprone-signed-char-misuse): v >= 0 here
        const auto u = static_cast<std::uint64_t>(v);
        if (bits < 64 && (u >> bits) != 0) return false;
        raw = u;
        return true;
    } else {
        static_assert(C == Codec::twos_complement);
        if constexpr (std::is_same_v<In, std::uint64_t>) {
            if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
        }
        // NOLINTNEXTLINE(bugprone-signed-char-misuse): int8 sign extension intended
        const auto i = static_cast<std::int64_t>(v);
        if (bits >= 64) {
            raw = static_cast<std::uint64_t>(i);
            return bits == 64;
        }
        const auto max = static_cast<std::int64_t>((std::uint64_t{1} << (bits - 1U)) - 1U);
        if (i < -max - 1 || i > max) return false;
        raw = static_cast<std::uint64_t>(i) & ((std::uint64_t{1} << bits) - 1U);
        return true;
    }
}

// A field of 8, 16, 32 or 64 bits on a byte boundary: its byte form is the
// raw value's `Word`, stored whole in the field's byte order.
template <Codec C, class In, class Word, bool Swap>
std::size_t store_rows(const PackTarget& target, const FieldSpec& f, const In* in, std::size_t begin, std::size_t end) {
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts only
    std::uint8_t* at = target.data + *f.start / 8U;
    const std::uint32_t bits = f.bits;
    const std::size_t length = target.length;
    for (std::size_t row = begin; row < end; ++row) {
        std::uint64_t raw = 0;
        if (!encode_inline<C>(in[row], bits, raw)) return row;
        auto value = static_cast<Word>(raw);
        if constexpr (Swap) value = std::byteswap(value);
        std::memcpy(at + row * length, &value, sizeof value);
    }
    return end;
}

// Rows [begin, end) with the codec's routines inlined; whole-byte fields are
// stored as words, the rest placed bit by bit.
template <Codec C, class In>
std::size_t pack_rows(const PackTarget& target, const FieldSpec& f, const In* in, std::size_t begin, std::size_t end) {
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts only
    const std::uint32_t start = *f.start;
    if (!f.reverse && start % 8 == 0 && start / 8 + f.bits / 8 <= target.length) {
        if (f.little == (std::endian::native == std::endian::little)) {
            switch (f.bits) {
                case 8: return store_rows<C, In, std::uint8_t, false>(target, f, in, begin, end);
                case 16: return store_rows<C, In, std::uint16_t, false>(target, f, in, begin, end);
                case 32: return store_rows<C, In, std::uint32_t, false>(target, f, in, begin, end);
                case 64: return store_rows<C, In, std::uint64_t, false>(target, f, in, begin, end);
                default: break;
            }
        } else {
            switch (f.bits) {
                case 8: return store_rows<C, In, std::uint8_t, false>(target, f, in, begin, end);
                case 16: return store_rows<C, In, std::uint16_t, true>(target, f, in, begin, end);
                case 32: return store_rows<C, In, std::uint32_t, true>(target, f, in, begin, end);
                case 64: return store_rows<C, In, std::uint64_t, true>(target, f, in, begin, end);
                default: break;
            }
        }
    }
    return pack_rows_generic(target, f, in, begin, end);
}

template <class In>
std::size_t pack_typed(const PackTarget& target, const FieldSpec& f, const void* data, std::size_t begin,
                       std::size_t end) {
    const auto* in = static_cast<const In*>(data);
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): numeric_column_kind checked it
    switch (*f.pack_codec) {
        case Codec::unsigned_int: return pack_rows<Codec::unsigned_int>(target, f, in, begin, end);
        case Codec::twos_complement: return pack_rows<Codec::twos_complement>(target, f, in, begin, end);
        case Codec::ieee754_f32: return pack_rows<Codec::ieee754_f32>(target, f, in, begin, end);
        case Codec::ieee754_f64: return pack_rows<Codec::ieee754_f64>(target, f, in, begin, end);
        default: return pack_rows_generic(target, f, in, begin, end);
    }
}

std::size_t pack_numeric_rows(const PackTarget& target, const FieldSpec& f, const NumericColumn& column,
                              std::size_t begin, std::size_t end) {
    switch (column.kind) {
        case NumericInput::i8: return pack_typed<std::int8_t>(target, f, column.data, begin, end);
        case NumericInput::i16: return pack_typed<std::int16_t>(target, f, column.data, begin, end);
        case NumericInput::i32: return pack_typed<std::int32_t>(target, f, column.data, begin, end);
        case NumericInput::i64: return pack_typed<std::int64_t>(target, f, column.data, begin, end);
        case NumericInput::u8: return pack_typed<std::uint8_t>(target, f, column.data, begin, end);
        case NumericInput::u16: return pack_typed<std::uint16_t>(target, f, column.data, begin, end);
        case NumericInput::u32: return pack_typed<std::uint32_t>(target, f, column.data, begin, end);
        case NumericInput::u64: return pack_typed<std::uint64_t>(target, f, column.data, begin, end);
        case NumericInput::f32: return pack_typed<float>(target, f, column.data, begin, end);
        case NumericInput::f64: return pack_typed<double>(target, f, column.data, begin, end);
        case NumericInput::none: break;
    }
    return begin;
}

void place_constant_rows(const PackTarget& target, const FieldSpec& f, const Encoded& value, std::size_t begin,
                         std::size_t end) {
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts only
    const std::uint32_t start = *f.start;
    if (!value.is_bytes && !f.reverse && start % 8 == 0 && f.bits % 8 == 0 && f.bits >= 8 && f.bits <= 64 &&
        start / 8 + f.bits / 8 <= target.length) {
        // A whole-byte field: its bytes made once, then copied into each packet.
        std::array<std::uint8_t, 8> form{};
        place_raw_value(form, 0, value.raw, f.bits, false, f.little);
        const std::size_t bytes = f.bits / 8;
        std::uint8_t* at = target.data + start / 8;
        for (std::size_t row = begin; row < end; ++row) std::memcpy(at + row * target.length, form.data(), bytes);
        return;
    }
    if (target.slack && !value.is_bytes && f.bits >= 1 && start % 8 + f.bits <= 64 && start / 8 <= target.length) {
        for (std::size_t row = begin; row < end; ++row) {
            place_in_word(target.data + row * target.length, start, value.raw, f.bits, f.reverse, f.little);
        }
        return;
    }
    for (std::size_t row = begin; row < end; ++row) place_in_packet(target, row, f, value);
}

// Packets per block: about 512 KiB of them. The level-2 cache holds a block
// and the blocks of its columns; shorter blocks make each column's reads
// runs too short for the processor to fetch ahead (64 KiB blocks packed the
// benchmark's 16-column packets at two thirds the speed).
constexpr std::size_t block_bytes = std::size_t{512} << 10U;

}  // namespace

std::size_t pack_columns(const PackTarget& target, std::span<const ColumnJob> jobs, bool zero) {
    const std::size_t rows = std::max<std::size_t>(16, block_bytes / std::max<std::size_t>(1, target.length));
    for (std::size_t begin = 0; begin < target.count; begin += rows) {
        const std::size_t end = std::min(target.count, begin + rows);
        if (zero) std::memset(target.data + begin * target.length, 0, (end - begin) * target.length);
        std::size_t failure = end;
        for (const ColumnJob& job : jobs) {
            if (job.constant != nullptr) {
                place_constant_rows(target, *job.field, *job.constant, begin, end);
            } else if (job.place_rows != nullptr) {
                failure = std::min(failure, job.place_rows(job.context, target, begin, end));
            } else {
                failure = std::min(failure, pack_numeric_rows(target, *job.field, job.column, begin, end));
            }
        }
        // The earliest refusal is in the first block that has one.
        if (failure < end) return failure;
    }
    return target.count;
}

}  // namespace bitloom::io
