#include "io/kernels/batch.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "codecs/codec_table.hpp"
#include "common/ascii_run.hpp"
#include "decoder/bcd.hpp"
#include "decoder/integer.hpp"
#include "io/kernels/bits.hpp"
#include "io/kernels/field_value.hpp"

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

// The packets of a block: base[j] for packet j, which is also base[0] +
// j * stride when `stride` is not 0 (packets at a stride, placed as they
// stand).
struct Packets {
    const std::uint8_t* const* base;
    std::uint64_t stride;
};

// The common fields in one loop each, read, decoded and stored: plain
// values (unsigned integers, IEEE 754 patterns) and two's complement, read
// without bit reversal. Signed values are stored through the unsigned type
// of their size: the same bytes.
enum class Decoding : std::uint8_t { plain, twos_complement };

// A field that fills its column's type exactly, read through its byte
// window: its bytes are the Bits / 8 bytes at the plan's `at`, loaded as
// one word of that size (the plan's 8-byte load, shifted or masked down to
// those bytes, gives the same value).
template <ReadKind K, class T>
[[nodiscard]] inline std::uint64_t whole_bytes(const std::uint8_t* q) noexcept {
    T word;
    std::memcpy(&word, q, sizeof word);
    const bool swap = (K == ReadKind::window_be) == (std::endian::native == std::endian::little);
    if constexpr (sizeof(T) > 1) {
        if (swap) word = std::byteswap(word);
    }
    return word;
}

// Each loop is a function of its own: inlined into the kernel, they would
// exhaust the compiler's growth limit and leave the decoding a call. `Bits`
// is the field's width when it fills the column's type (which lets the
// compiler fold the masks and shifts that depend on it), else 0; `Whole`
// says the field's bytes are read by whole_bytes.
template <ReadKind K, bool Little, Decoding D, class T, std::uint32_t Bits, bool Whole>
[[gnu::noinline]] void read_decode_store(const ReadPlan& plan, const Packets& packets, std::size_t m, T* out) {
    const ReadPlan p = plan;  // a copy: the stores below cannot alias it
    const std::uint32_t bits = Bits != 0 ? Bits : p.bits;
    [[maybe_unused]] const std::uint64_t mask = low_mask(bits);  // whole bytes have no bits to drop
    const auto one = [&](const std::uint8_t* packet) {
        std::uint64_t raw = 0;
        if constexpr (Whole) {
            raw = whole_bytes<K, T>(packet + p.at);
        } else {
            raw = assembled_one<K, Little>(p, packet) & mask;
        }
        if constexpr (D == Decoding::twos_complement) {
            return static_cast<T>(decode_twos_complement(raw, bits));
        } else {
            return static_cast<T>(raw);
        }
    };
    if (packets.stride != 0) {
        const std::uint8_t* packet = packets.base[0];
        for (std::size_t j = 0; j < m; ++j, packet += packets.stride) out[j] = one(packet);
    } else {
        for (std::size_t j = 0; j < m; ++j) out[j] = one(packets.base[j]);
    }
}

template <ReadKind K, bool Little, Decoding D, class T>
void read_decode_store(const ReadPlan& p, const Packets& base, std::size_t m, void* out, std::size_t first) {
    T* column = static_cast<T*>(out) + first;
    constexpr std::uint32_t bits = 8 * sizeof(T);
    if (p.bits != bits) {
        read_decode_store<K, Little, D, T, 0, false>(p, base, m, column);
        return;
    }
    // Whole bytes: a big-endian window whose 8-byte load is shifted down to
    // the field's bytes, or a little-endian one masked down to them.
    const bool whole =
        (K == ReadKind::window_be && p.shift == 64 - bits) || (K == ReadKind::window_le && p.mask == low_mask(bits));
    if (whole) {
        read_decode_store<K, Little, D, T, bits, true>(p, base, m, column);
    } else {
        read_decode_store<K, Little, D, T, bits, false>(p, base, m, column);
    }
}

template <ReadKind K, bool Little, Decoding D>
bool read_decode_store(const ReadPlan& p, ColumnKind column, const Packets& base, std::size_t m, void* out,
                       std::size_t first) {
    switch (column_item_size(column)) {
        case 1: read_decode_store<K, Little, D, std::uint8_t>(p, base, m, out, first); return true;
        case 2: read_decode_store<K, Little, D, std::uint16_t>(p, base, m, out, first); return true;
        case 4: read_decode_store<K, Little, D, std::uint32_t>(p, base, m, out, first); return true;
        case 8: read_decode_store<K, Little, D, std::uint64_t>(p, base, m, out, first); return true;
        default: return false;
    }
}

template <Decoding D>
bool read_decode_store(const ReadPlan& p, ColumnKind column, const Packets& base, std::size_t m, void* out,
                       std::size_t first) {
    switch (p.kind) {
        case ReadKind::window_be:
            return read_decode_store<ReadKind::window_be, false, D>(p, column, base, m, out, first);
        case ReadKind::window_le:
            return read_decode_store<ReadKind::window_le, false, D>(p, column, base, m, out, first);
        case ReadKind::exact:
            return p.little ? read_decode_store<ReadKind::exact, true, D>(p, column, base, m, out, first)
                            : read_decode_store<ReadKind::exact, false, D>(p, column, base, m, out, first);
        default: return false;
    }
}

// Reads, decodes and stores a block of field `f` in one pass when it is one
// of the common fields; false leaves it to read_block and decode_block.
bool fused_block(const FieldSpec& f, const ReadPlan& p, const Packets& base, std::size_t m, void* column,
                 std::size_t first) {
    if (!f.stores || p.reverse) return false;
    switch (f.value_class) {
        case ValueClass::unsigned_int:
        case ValueClass::ieee: return read_decode_store<Decoding::plain>(p, f.column, base, m, column, first);
        case ValueClass::signed_int:
            if (f.codec != Codec::twos_complement) return false;
            return read_decode_store<Decoding::twos_complement>(p, f.column, base, m, column, first);
        default: return false;
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

// Stores a value of packet i (counted within the chunk) of a chunk that
// starts at packet `first`.
void store_bytes(BytesColumn& column, std::size_t first, std::size_t i, std::string_view bytes) {
    if (column.sink != nullptr) {
        if (!column.sink->set(first + i, bytes)) column.sink_failed = true;
        return;
    }
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

// Whether a text field's value may be taken from the packet's bytes as they
// stand when they are all ASCII: whole bytes, in packet order, of a codec
// that decodes ASCII to itself. (Exact reads of whole bytes from a byte
// boundary give the same bytes as the byte window.)
bool ascii_as_is(const FieldSpec& f, const ReadPlan& p) {
    return f.value_class == ValueClass::text && !f.little && f.bits > 0 && f.bits % 8 == 0 && p.start % 8 == 0 &&
           codec_row(f.codec).ascii_is_identity;
}

// A text or binary field of a block: values whose bytes are ASCII straight
// from the packet where the field allows it (handed to the result array a
// block at a time), every other value (and every failure) through
// read_field.
void bytes_block(const Layout& layout, const FieldSpec& f, const ReadPlan& p, const std::uint8_t* const* base,
                 const std::uint64_t* lengths, std::size_t m, const UnpackJob& job, std::size_t first,
                 NativeValue& value) {
    BytesColumn* column = f.stores ? job.bytes[f.column_index] : nullptr;
    TextSink* sink = column != nullptr ? column->sink : nullptr;
    std::uint8_t* const failed = job.failed + first;
    const bool as_is = ascii_as_is(f, p);
    const std::uint64_t at = p.start / 8;
    const std::uint64_t size = f.bits / 8;
    std::array<const char*, block> texts;  // values taken as they stand, for the sink (else null)
    for (std::size_t j = 0; j < m; ++j) {
        texts[j] = nullptr;
        if (failed[j]) continue;
        if (as_is && at + size <= lengths[j]) {
            const std::uint8_t* bytes = base[j] + at;
            if (ascii_unit_count<1>(bytes, size, any_high_bit) == size) {
                const auto* text = reinterpret_cast<const char*>(bytes);
                if (sink != nullptr) {
                    texts[j] = text;
                } else if (column != nullptr) {
                    store_bytes(*column, job.first, first + j - job.first, std::string_view(text, size));
                }
                continue;
            }
        }
        const std::span<const std::uint8_t> packet(base[j], lengths[j]);
        if (!read_field(layout, f, packet, p.start, f.bits, value)) {
            failed[j] = 1;
        } else if (column != nullptr) {
            store_bytes(*column, job.first, first + j - job.first, value.bytes);
        }
    }
    if (sink != nullptr && as_is && !sink->set_many(first, texts.data(), size, m)) column->sink_failed = true;
}

// Points base[j] and lengths[j] at packet first + j of the block, for j < m:
// the packet itself when whole-word loads from it stay inside the buffer,
// else a zero-padded copy in `padded`, or zeros for a packet that fails.
// Returns the stride when every packet is at base[0] + j * stride, else 0.
std::uint64_t place_block(const Layout& layout, const UnpackJob& job, std::size_t first, std::size_t m,
                          std::uint64_t load, const std::uint8_t* zeros, std::vector<std::uint8_t>& padded,
                          const std::uint8_t** base, std::uint64_t* lengths) {
    const PacketGeometry& g = job.geometry;
    // Packets at a stride, all whole and inside: no packet to check.
    if (g.offsets == nullptr && g.stride >= layout.need_bytes && (first + m) * g.stride <= g.size &&
        (first + m - 1) * g.stride + load <= g.size) {
        const std::uint8_t* at = g.data + first * g.stride;
        for (std::size_t j = 0; j < m; ++j) {
            base[j] = at + j * g.stride;
            lengths[j] = g.stride;
        }
        return g.stride;
    }
    for (std::size_t j = 0; j < m; ++j) {
        const auto p = g.packet(first + j);
        if (!p.inside || p.length < layout.need_bytes) {
            job.failed[first + j] = 1;
            base[j] = zeros;
            lengths[j] = 0;
        } else if (p.offset + load <= g.size) {
            base[j] = g.data + p.offset;
            lengths[j] = p.length;
        } else {
            if (padded.empty()) padded.resize(block * load);
            std::uint8_t* copy = padded.data() + j * load;
            const std::uint64_t n = std::min<std::uint64_t>(p.length, load);
            if (n > 0) std::memcpy(copy, g.data + p.offset, n);
            std::memset(copy + n, 0, load - n);
            base[j] = copy;
            lengths[j] = n;
        }
    }
    return 0;
}

// Field by field within blocks of packets: static layouts.
void unpack_by_field(const UnpackJob& job) {
    const Layout& layout = *job.layout;
    const std::uint64_t load = std::max<std::uint64_t>(layout.load_bytes, 16);
    const std::vector<ReadPlan>& plans = layout.plans;

    // Packets too close to the buffer's end for whole-word loads, and failed
    // packets, are read from zero-padded copies (made when first needed).
    const std::vector<std::uint8_t> zeros(load, 0);
    std::vector<std::uint8_t> padded;
    std::array<const std::uint8_t*, block> base;
    std::array<std::uint64_t, block> lengths;
    std::array<std::uint64_t, block> raw;
    NativeValue value;
    const std::size_t end = job.first + job.count;
    for (std::size_t first = job.first; first < end; first += block) {
        const std::size_t m = std::min(block, end - first);
        const Packets packets{
            base.data(), place_block(layout, job, first, m, load, zeros.data(), padded, base.data(), lengths.data())};
        for (std::size_t k = 0; k < layout.fields.size(); ++k) {
            const FieldSpec& f = layout.fields[k];
            if (f.value_class == ValueClass::text || f.value_class == ValueClass::binary) {
                bytes_block(layout, f, plans[k], base.data(), lengths.data(), m, job, first, value);
                continue;
            }
            void* column = f.stores ? job.numeric[f.column_index] : nullptr;
            if (fused_block(f, plans[k], packets, m, column, first)) continue;
            const bool can_fail = f.value_class == ValueClass::decimal || f.value_class == ValueClass::failing;
            if (!f.stores && !can_fail) continue;
            read_block(plans[k], base.data(), lengths.data(), m, raw.data());
            decode_block(f, raw.data(), m, column, first, job.failed);
        }
    }
}

// Packet by packet, each field placed after the one before: any layout,
// dynamic widths included.
void unpack_by_packet(const UnpackJob& job) {
    const Layout& layout = *job.layout;
    const PacketGeometry& g = job.geometry;
    std::vector<Wide> references(layout.fields.size());
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
                    store_bytes(*job.bytes[f.column_index], job.first, i - job.first, value.bytes);
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
        if (column->sink != nullptr) continue;
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
    // A failed packet's entries are zero (and its text empty). Flags are
    // looked at eight at a time: failures are rare.
    std::size_t failures = 0;
    const std::uint8_t* const failed = job.failed;
    const std::size_t end = job.first + job.count;
    for (std::size_t i = job.first; i < end; ++i) {
        if (end - i >= 8 && load8(failed + i) == 0) {
            i += 7;
            continue;
        }
        if (!failed[i]) continue;
        ++failures;
        for (std::size_t c = 0; c < layout.column_fields.size(); ++c) {
            const FieldSpec& f = layout.fields[layout.column_fields[c]];
            if (void* column = job.numeric[c]) {
                const std::size_t size = column_item_size(f.column);
                std::memset(static_cast<std::uint8_t*>(column) + i * size, 0, size);
            } else if (BytesColumn* bytes = job.bytes[c]) {
                if (bytes->sink != nullptr) {
                    if (!bytes->sink->set(i, {})) bytes->sink_failed = true;
                } else if (bytes->ascii != nullptr) {
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
