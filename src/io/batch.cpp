#include "batch.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "../decoder/bcd.hpp"
#include "../decoder/integer.hpp"
#include "bits.hpp"
#include "field_value.hpp"

namespace bitloom::io {

namespace {

// Packets are read a block at a time, field by field within the block: the
// block's bytes stay in cache while every field is read from them, and each
// field's loop is a tight loop over one kind of read and one decoding.
constexpr std::size_t block = 256;

void read_wide(const ReadPlan& p, const std::uint8_t* const* base, const std::uint64_t* lengths, std::size_t m,
               std::uint64_t* out) {
    std::vector<std::uint8_t> form((std::uint64_t{p.bits} + 7) / 8);
    for (std::size_t j = 0; j < m; ++j) {
        if (std::uint64_t{p.start} + p.bits > 8 * lengths[j]) {
            out[j] = 0;
            continue;
        }
        exact_form(std::span<const std::uint8_t>(base[j], lengths[j]), p.start, p.bits, form.data());
        out[j] = raw_field_value(assemble_value(form, p.little), p.bits, p.reverse);
    }
}

void read_block(const ReadPlan& p, const std::uint8_t* const* base, const std::uint64_t* lengths, std::size_t m,
                std::uint64_t* out) {
    switch (p.kind) {
        case ReadKind::zero: std::fill_n(out, m, std::uint64_t{0}); break;
        case ReadKind::window_be: read_raw<ReadKind::window_be>(p, base, m, out); break;
        case ReadKind::window_le: read_raw<ReadKind::window_le>(p, base, m, out); break;
        case ReadKind::exact: read_raw<ReadKind::exact>(p, base, m, out); break;
        case ReadKind::wide: read_wide(p, base, lengths, m, out); break;
    }
}

template <class T>
void store_each(const std::uint64_t* raw, std::size_t m, void* column, std::size_t first, auto decode) {
    T* out = static_cast<T*>(column) + first;
    for (std::size_t j = 0; j < m; ++j) out[j] = static_cast<T>(decode(raw[j]));
}

template <class Decode>
void store_integer(ColumnKind kind, const std::uint64_t* raw, std::size_t m, void* column, std::size_t first,
                   Decode decode) {
    switch (kind) {
        case ColumnKind::u8: store_each<std::uint8_t>(raw, m, column, first, decode); break;
        case ColumnKind::u16:
        case ColumnKind::f16: store_each<std::uint16_t>(raw, m, column, first, decode); break;
        case ColumnKind::u32:
        case ColumnKind::f32: store_each<std::uint32_t>(raw, m, column, first, decode); break;
        case ColumnKind::u64:
        case ColumnKind::f64: store_each<std::uint64_t>(raw, m, column, first, decode); break;
        case ColumnKind::i8: store_each<std::int8_t>(raw, m, column, first, decode); break;
        case ColumnKind::i16: store_each<std::int16_t>(raw, m, column, first, decode); break;
        case ColumnKind::i32: store_each<std::int32_t>(raw, m, column, first, decode); break;
        case ColumnKind::i64: store_each<std::int64_t>(raw, m, column, first, decode); break;
        default: break;
    }
}

void store_value(ColumnKind kind, void* column, std::size_t i, std::uint64_t bits_or_unsigned, std::int64_t integer,
                 bool is_signed) {
    const std::uint64_t v = is_signed ? static_cast<std::uint64_t>(integer) : bits_or_unsigned;
    switch (column_item_size(kind)) {
        case 1: static_cast<std::uint8_t*>(column)[i] = static_cast<std::uint8_t>(v); break;
        case 2: static_cast<std::uint16_t*>(column)[i] = static_cast<std::uint16_t>(v); break;
        case 4: static_cast<std::uint32_t*>(column)[i] = static_cast<std::uint32_t>(v); break;
        case 8: static_cast<std::uint64_t*>(column)[i] = v; break;
        default: break;
    }
}

// Decodes a block of raw values of field `f` into its column (when it holds
// the column) and flags the packets whose decoding fails.
void decode_block(const FieldSpec& f, const std::uint64_t* raw, std::size_t m, void* column, std::size_t first,
                  std::uint8_t* failed) {
    const std::uint32_t bits = f.bits;
    switch (f.value_class) {
        case ValueClass::unsigned_int:
        case ValueClass::ieee:
            if (f.stores) store_integer(f.column, raw, m, column, first, [](std::uint64_t v) { return v; });
            return;
        case ValueClass::signed_int:
            if (!f.stores) return;
            switch (f.codec) {
                case Codec::sign_magnitude:
                    store_integer(f.column, raw, m, column, first,
                                  [bits](std::uint64_t v) { return decode_sign_magnitude(v, bits); });
                    return;
                case Codec::ones_complement:
                    store_integer(f.column, raw, m, column, first,
                                  [bits](std::uint64_t v) { return decode_ones_complement(v, bits); });
                    return;
                default:
                    store_integer(f.column, raw, m, column, first,
                                  [bits](std::uint64_t v) { return decode_twos_complement(v, bits); });
                    return;
            }
        case ValueClass::decimal: {
            const bool packed = f.codec == Codec::packed_bcd || f.codec == Codec::packed_bcd_signed;
            const bool is_signed = f.codec == Codec::packed_bcd_signed || f.codec == Codec::unpacked_bcd_signed;
            for (std::size_t j = 0; j < m; ++j) {
                auto r =
                    packed ? decode_packed_bcd(raw[j], bits, is_signed) : decode_unpacked_bcd(raw[j], bits, is_signed);
                if (!r) {
                    failed[first + j] = 1;
                } else if (f.stores) {
                    store_value(f.column, column, first + j, 0, *r, true);
                }
            }
            return;
        }
        case ValueClass::failing:
            for (std::size_t j = 0; j < m; ++j) failed[first + j] = 1;
            return;
        default: return;
    }
}

// Stores a value of packet i (counted within the chunk).
void store_bytes(BytesColumn& column, std::size_t i, const std::string& bytes) {
    if (column.ascii == nullptr) {
        column.begin[i] = column.arena.size();
        column.size[i] = bytes.size();
        column.arena.append(bytes);
        return;
    }
    char* out = column.ascii + i * column.width;
    bool plain = bytes.size() <= column.width && (bytes.empty() || bytes.back() != '\0');
    for (const char c : bytes) plain = plain && static_cast<unsigned char>(c) < 0x80;
    if (!plain) {
        column.overflow = true;
        return;
    }
    std::ranges::copy(bytes, out);
    std::memset(out + bytes.size(), 0, column.width - bytes.size());
}

// Field by field within blocks of packets: static layouts.
// NOLINTNEXTLINE(readability-function-cognitive-complexity): the hot per-field loop, kept whole
void unpack_by_field(const UnpackJob& job) {
    const Layout& layout = *job.layout;
    const PacketGeometry& g = job.geometry;
    const std::uint64_t load = std::max<std::uint64_t>(layout.load_bytes, 16);
    const std::vector<ReadPlan>& plans = layout.plans;

    // Packets too close to the buffer's end for whole-word loads, and failed
    // packets, are read from zero-padded copies.
    std::vector<std::uint8_t> zeros(load, 0);
    std::vector<std::uint8_t> padded(block * load);
    std::array<const std::uint8_t*, block> base;
    std::array<std::uint64_t, block> lengths;
    std::array<std::uint64_t, block> raw;
    NativeValue value;
    const std::size_t end = job.first + job.count;
    for (std::size_t first = job.first; first < end; first += block) {
        const std::size_t m = std::min(block, end - first);
        for (std::size_t j = 0; j < m; ++j) {
            const auto p = g.packet(first + j);
            if (!p.inside || p.length < layout.need_bytes) {
                job.failed[first + j] = 1;
                base[j] = zeros.data();
                lengths[j] = 0;
            } else if (p.offset + load <= g.size) {
                base[j] = g.data + p.offset;
                lengths[j] = p.length;
            } else {
                std::uint8_t* copy = padded.data() + j * load;
                const std::uint64_t n = std::min<std::uint64_t>(p.length, load);
                if (n > 0) std::memcpy(copy, g.data + p.offset, n);
                std::memset(copy + n, 0, load - n);
                base[j] = copy;
                lengths[j] = n;
            }
        }
        for (std::size_t k = 0; k < layout.fields.size(); ++k) {
            const FieldSpec& f = layout.fields[k];
            if (f.value_class == ValueClass::text || f.value_class == ValueClass::binary) {
                BytesColumn* column = f.stores ? job.bytes[f.column_index] : nullptr;
                for (std::size_t j = 0; j < m; ++j) {
                    if (job.failed[first + j]) continue;
                    const std::span<const std::uint8_t> packet(base[j], lengths[j]);
                    if (!read_field(layout, f, packet, plans[k].start, f.bits, value)) {
                        job.failed[first + j] = 1;
                    } else if (column != nullptr) {
                        store_bytes(*column, first + j - job.first, value.bytes);
                    }
                }
                continue;
            }
            const bool can_fail = f.value_class == ValueClass::decimal || f.value_class == ValueClass::failing;
            if (!f.stores && !can_fail) continue;
            read_block(plans[k], base.data(), lengths.data(), m, raw.data());
            decode_block(f, raw.data(), m, f.stores ? job.numeric[f.column_index] : nullptr, first, job.failed);
        }
    }
}

// Packet by packet, each field placed after the one before: any layout,
// dynamic widths included.
void unpack_by_packet(const UnpackJob& job) {
    const Layout& layout = *job.layout;
    const PacketGeometry& g = job.geometry;
    std::vector<__int128> references(layout.fields.size());
    NativeValue value;
    for (std::size_t i = job.first; i < job.first + job.count; ++i) {
        const auto p = g.packet(i);
        if (!p.inside) {
            job.failed[i] = 1;
            continue;
        }
        const std::span<const std::uint8_t> packet(g.data + p.offset, p.length);
        std::uint32_t position = 0;
        for (const FieldSpec& f : layout.fields) {
            if (f.offset_bits) position = *f.offset_bits;
            std::uint32_t bits = f.bits;
            if (f.dynamic) {
                auto width = dynamic_bits(layout, f, references[f.dynamic->field]);
                if (!width) {
                    job.failed[i] = 1;
                    break;
                }
                bits = *width;
            }
            if (!read_field(layout, f, packet, position, bits, value)) {
                job.failed[i] = 1;
                break;
            }
            if (f.referenced) references[f.index] = integer_of(f, value);
            if (f.stores) {
                if (f.value_class == ValueClass::text || f.value_class == ValueClass::binary) {
                    store_bytes(*job.bytes[f.column_index], i - job.first, value.bytes);
                } else {
                    store_value(f.column, job.numeric[f.column_index], i, value.raw, value.integer,
                                f.value_class == ValueClass::signed_int || f.value_class == ValueClass::decimal);
                }
            }
            position += bits;
        }
    }
}

}  // namespace

std::size_t run_unpack(const UnpackJob& job) {
    const Layout& layout = *job.layout;
    for (BytesColumn* column : job.bytes) {
        if (column == nullptr) continue;
        column->overflow = false;
        if (column->ascii != nullptr) {
            std::memset(column->ascii, 0, job.count * column->width);
        } else {
            column->arena.clear();
            column->begin.assign(job.count, 0);
            column->size.assign(job.count, 0);
        }
    }
    if (layout.dynamic || job.by_packet) {
        unpack_by_packet(job);
    } else {
        unpack_by_field(job);
    }
    // A failed packet's entries are zero (and its text empty).
    std::size_t failures = 0;
    for (std::size_t i = job.first; i < job.first + job.count; ++i) {
        if (!job.failed[i]) continue;
        ++failures;
        for (std::size_t c = 0; c < layout.column_fields.size(); ++c) {
            const FieldSpec& f = layout.fields[layout.column_fields[c]];
            if (void* column = job.numeric[c]) {
                const std::size_t size = column_item_size(f.column);
                std::memset(static_cast<std::uint8_t*>(column) + i * size, 0, size);
            } else if (BytesColumn* bytes = job.bytes[c]) {
                if (bytes->ascii != nullptr) {
                    std::memset(bytes->ascii + (i - job.first) * bytes->width, 0, bytes->width);
                } else {
                    bytes->size[i - job.first] = 0;
                }
            }
        }
    }
    return failures;
}

}  // namespace bitloom::io
