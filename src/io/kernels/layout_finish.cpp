// The parts of building a layout that need no interpreter: what each field
// decodes to, positions, columns, the plans of static layouts, and how a
// field is named in messages.
#include <algorithm>
#include <bit>
#include <string_view>
#include <utility>

#include "codecs/codec_table.hpp"
#include "common/error.hpp"
#include "common/field_window.hpp"
#include "io/kernels/bits.hpp"
#include "io/kernels/layout.hpp"
#include "io/kernels/name_index.hpp"

namespace bitloom::io {

ValueClass value_class_of(Codec codec) {
    const CodecRow& row = codec_row(codec);
    switch (row.kind) {
        case CodecKind::unsigned_integer: return ValueClass::unsigned_int;
        case CodecKind::signed_integer: return ValueClass::signed_int;
        case CodecKind::decimal: return ValueClass::decimal;
        case CodecKind::binary_float: return codec == Codec::ieee754_f128 ? ValueClass::failing : ValueClass::ieee;
        case CodecKind::text: return ValueClass::text;
        case CodecKind::unimplemented: return ValueClass::failing;
    }
    return ValueClass::failing;
}

namespace {

ColumnKind integer_column(std::uint32_t value_bits, bool is_signed) {
    if (value_bits <= 8) return is_signed ? ColumnKind::i8 : ColumnKind::u8;
    if (value_bits <= 16) return is_signed ? ColumnKind::i16 : ColumnKind::u16;
    if (value_bits <= 32) return is_signed ? ColumnKind::i32 : ColumnKind::u32;
    return is_signed ? ColumnKind::i64 : ColumnKind::u64;
}

// The smallest column that holds every value the field can decode to.
ColumnKind column_of(const FieldSpec& f) {
    switch (f.value_class) {
        case ValueClass::unsigned_int: return integer_column(f.bits, false);
        case ValueClass::signed_int: return integer_column(f.bits, true);
        case ValueClass::decimal: {
            std::uint32_t digits = 0;
            switch (f.codec) {
                case Codec::packed_bcd: digits = std::min(f.bits / 4U, 16U); break;
                case Codec::packed_bcd_signed: digits = std::max(std::min(f.bits / 4U, 16U), 1U) - 1U; break;
                default: digits = std::min(f.bits / 8U, 8U); break;
            }
            if (digits <= 2) return ColumnKind::i8;
            if (digits <= 4) return ColumnKind::i16;
            if (digits <= 9) return ColumnKind::i32;
            return ColumnKind::i64;
        }
        case ValueClass::ieee:
            return f.codec == Codec::ieee754_f16   ? ColumnKind::f16
                   : f.codec == Codec::ieee754_f32 ? ColumnKind::f32
                                                   : ColumnKind::f64;
        case ValueClass::failing: return ColumnKind::f64;
        case ValueClass::text: return ColumnKind::text;
        case ValueClass::binary: return ColumnKind::binary;
    }
    return ColumnKind::f64;
}

// Positions, relative to where reading starts; packing's sizing pass.
void assign_starts(Layout& layout) {
    std::uint32_t position = 0;
    std::uint32_t end = 0;
    bool known = true;
    for (FieldSpec& f : layout.fields) {
        if (f.offset_bits) {
            position = *f.offset_bits;
            known = true;
        }
        if (known) f.start = position;
        if (f.dynamic) {
            known = false;
        } else {
            position += f.bits;
            end = std::max<std::uint32_t>(end, f.offset_bits.value_or(end) + f.bits);
        }
    }
    layout.pack_bytes = static_cast<std::uint32_t>(end + 7U) / 8U;
}

}  // namespace

std::string describe_field(const Layout& layout, const FieldSpec& f) {
    Message m;
    m << "item " << f.index << " '" << f.name_utf8 << "' (" << f.encoding_utf8 << ", ";
    if (f.dynamic) {
        m << "bits from '" << layout.fields[f.dynamic->field].name_utf8 << "'";
    } else {
        m << f.bits << " bits";
    }
    m << ")";
    return m.str();
}

void finish_layout(Layout& layout) {
    auto& fields = layout.fields;
    for (FieldSpec& f : fields) {
        if (f.dynamic) {
            layout.dynamic = true;
            fields[f.dynamic->field].referenced = true;
        }
        f.column = column_of(f);
    }

    assign_starts(layout);

    // Columns: one per name, held by the last field of that name.
    NameIndex seen(fields.size());
    const auto name_of = [&](std::size_t field) -> std::string_view { return fields[field].name_utf8; };
    std::size_t columns = 0;
    for (FieldSpec& f : fields) {
        std::uint32_t& first = seen.entry(f.name_utf8, name_of);
        if (first == NameIndex::none) {
            first = static_cast<std::uint32_t>(f.index);
            f.first_name = true;
            f.column_index = columns++;
            layout.column_fields.push_back(f.index);
        } else {
            f.column_index = fields[first].column_index;
            layout.column_fields[f.column_index] = f.index;
        }
    }
    layout.distinct_names = columns;
    for (const std::size_t storing : layout.column_fields) fields[storing].stores = true;

    if (!layout.dynamic) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
        for (const FieldSpec& f : fields) {
            // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts: every field has a start
            const std::uint64_t start = *f.start;
            std::uint64_t need = 0;
            std::uint64_t load = 0;
            if (layout.exact || f.binary) {
                need = (start + f.bits + 7) / 8;
                load = start / 8 + std::max<std::uint64_t>(need - start / 8, 9);
            } else {
                const FieldWindow w = field_window(static_cast<std::uint32_t>(start), f.bits, 0);
                need = w.start + w.count;
                load = w.start + std::max<std::uint64_t>(w.count, 8);
            }
            layout.need_bytes = std::max(layout.need_bytes, need);
            layout.load_bytes = std::max(layout.load_bytes, load);
            if (f.bits > 0) spans.emplace_back(start, start + f.bits);
        }
        for (const FieldSpec& f : fields) layout.plans.push_back(plan_read(layout.exact, f));
        for (FieldSpec& f : fields) {
            // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts: every field has a start
            const std::uint32_t start = *f.start;
            f.fast_pack = f.pack_codec && f.value_class != ValueClass::text && f.bits >= 1 &&
                          start % 8 + f.bits <= 64 && start / 8 <= layout.pack_bytes;
        }
        std::ranges::sort(spans);
        for (std::size_t i = 1; i < spans.size(); ++i) {
            if (spans[i].first < spans[i - 1].second) layout.overlapping = true;
        }
    }
}

}  // namespace bitloom::io
