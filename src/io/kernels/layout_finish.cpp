// The parts of building a layout that need no interpreter: what each field
// decodes to, positions, columns, and the plans of static layouts.
#include <algorithm>
#include <bit>
#include <string_view>
#include <utility>

#include "codecs/codec_table.hpp"
#include "common/field_window.hpp"
#include "io/kernels/bits.hpp"
#include "io/kernels/layout.hpp"

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
    std::vector<std::pair<std::string_view, std::size_t>> seen;  // name, column
    for (FieldSpec& f : fields) {
        auto it = std::ranges::find_if(seen, [&](const auto& s) { return s.first == f.name_utf8; });
        if (it == seen.end()) {
            f.first_name = true;
            f.column_index = seen.size();
            seen.emplace_back(f.name_utf8, seen.size());
            layout.column_fields.push_back(f.index);
        } else {
            f.column_index = it->second;
            layout.column_fields[it->second] = f.index;
        }
    }
    layout.distinct_names = seen.size();
    layout.name_slots.assign(std::bit_ceil(2 * seen.size() + 1), NameSlot{});
    for (const FieldSpec& f : fields) {
        if (!f.first_name) continue;
        const std::size_t mask = layout.name_slots.size() - 1;
        std::size_t slot = name_slot(f.name.get()) & mask;
        while (layout.name_slots[slot].name != nullptr) slot = (slot + 1) & mask;
        layout.name_slots[slot] = NameSlot{f.name.get(), f.column_index};
    }
    for (const std::size_t storing : layout.column_fields) fields[storing].stores = true;

    if (!layout.dynamic) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
        for (const FieldSpec& f : fields) {
            const std::uint64_t start = *f.start;
            std::uint64_t need = 0;
            std::uint64_t load = 0;
            if (layout.exact || f.binary) {
                need = (start + f.bits + 7) / 8;
                load = start / 8 + std::max<std::uint64_t>(need - start / 8, 9);
            } else {
                const FieldWindow w = field_window(*f.start, f.bits, 0);
                need = w.start + w.count;
                load = w.start + std::max<std::uint64_t>(w.count, 8);
            }
            layout.need_bytes = std::max(layout.need_bytes, need);
            layout.load_bytes = std::max(layout.load_bytes, load);
            if (f.bits > 0) spans.emplace_back(start, start + f.bits);
        }
        for (const FieldSpec& f : fields) layout.plans.push_back(plan_read(layout.exact, f));
        for (FieldSpec& f : fields) {
            const std::uint32_t skip = *f.start % 8;
            f.fast_pack = f.pack_codec && f.value_class != ValueClass::text && f.bits >= 1 && skip + f.bits <= 64 &&
                          *f.start / 8 <= layout.pack_bytes;
        }
        std::ranges::sort(spans);
        for (std::size_t i = 1; i < spans.size(); ++i) {
            if (spans[i].first < spans[i - 1].second) layout.overlapping = true;
        }
    }
}

}  // namespace bitloom::io
