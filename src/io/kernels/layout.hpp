// A compiled layout: a recipe read, checked and resolved once.
//
// Everything a packet needs is copied out of the recipe's dicts when the
// layout is built (names, encodings resolved to codecs, widths, positions,
// byte orders), so later changes to those dicts do not reach it. This is the
// layout's native part: it holds no Python object (the glue keeps the
// recipe's own objects beside it), so the kernels that read it run without
// the interpreter. A layout never changes after it is built, so any number
// of threads may use one at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/codec_names.hpp"
#include "common/error.hpp"

namespace bitloom::io {

// What a column holds, by the values its field can decode to.
enum class ColumnKind : std::uint8_t { u8, u16, u32, u64, i8, i16, i32, i64, f16, f32, f64, text, binary };

[[nodiscard]] constexpr std::size_t column_item_size(ColumnKind kind) noexcept {
    switch (kind) {
        case ColumnKind::u8:
        case ColumnKind::i8: return 1;
        case ColumnKind::u16:
        case ColumnKind::i16:
        case ColumnKind::f16: return 2;
        case ColumnKind::u32:
        case ColumnKind::i32:
        case ColumnKind::f32: return 4;
        case ColumnKind::u64:
        case ColumnKind::i64:
        case ColumnKind::f64: return 8;
        default: return 0;
    }
}

// How a field's value is decoded, grouped for the batch kernels.
enum class ValueClass : std::uint8_t {
    unsigned_int,  // the raw value
    signed_int,    // sign-magnitude, ones' or two's complement
    decimal,       // BCD: may fail
    ieee,          // binary16/32/64 patterns
    failing,       // a format the decoder refuses for every packet
    text,
    binary,
};

// A width taken from an earlier field of the same packet:
// bits = value(field) * slope + intercept.
struct DynamicWidth {
    std::size_t field;
    std::int64_t slope;
    std::int64_t intercept;
};

enum class ReadKind : std::uint8_t { zero, window_be, window_le, exact, wide };

// How one field of a static layout is read from a packet's start.
struct ReadPlan {
    ReadKind kind = ReadKind::zero;
    std::uint64_t at = 0;    // byte to load 8 bytes from
    unsigned shift = 0;      // window_be: right shift; exact: the little-endian form's shift
    unsigned skip = 0;       // exact: bits to skip in the first byte
    bool nine = false;       // exact: the field reaches a ninth byte
    std::uint64_t mask = 0;  // window_le: the assembled bytes
    std::uint32_t bits = 0;
    std::uint32_t start = 0;
    bool little = false;
    bool reverse = false;
};

struct FieldSpec {
    std::size_t index = 0;
    std::string name_utf8;
    std::string encoding_utf8;        // as the recipe gives it
    bool binary = false;              // the layout-only encoding "binary"
    Codec codec{};                    // the decoder's codec (unless binary)
    std::optional<Codec> pack_codec;  // none: packing refuses the encoding
    ValueClass value_class{};
    std::uint32_t bits = 0;  // the static width (unused when dynamic)
    std::optional<DynamicWidth> dynamic;
    bool little = false;
    bool reverse = false;
    std::optional<std::uint32_t> offset_bits;
    // Start relative to the unpacking offset argument (and for packing, from
    // bit 0); none when it depends on a dynamic width.
    std::optional<std::uint32_t> start;
    ColumnKind column{};
    std::size_t column_index = 0;
    bool stores = false;      // the last field of its name, whose value the column holds
    bool first_name = false;  // the first field of its name
    bool referenced = false;  // a later field takes its width from this one
    bool fast_pack = false;   // numeric, placed within one 64-bit word of a short packet
};

struct Layout {
    std::vector<FieldSpec> fields;
    std::vector<std::size_t> column_fields;  // per column, the storing field
    bool exact = false;
    bool dynamic = false;      // some width is dynamic
    bool overlapping = false;  // some fields share packet bits (static layouts)
    // Static layouts: bytes a packet must have to be read from offset 0, and
    // bytes from a packet's start that the batch reader may load.
    std::uint64_t need_bytes = 0;
    std::uint64_t load_bytes = 0;
    // Static layouts: how each field is read when reading starts at bit 0.
    std::vector<ReadPlan> plans;
    // Packing: the packet length of a static layout.
    std::uint32_t pack_bytes = 0;
    std::size_t distinct_names = 0;
};

// An error of one field, its index kept so that the glue can name it.
struct FieldError {
    Error error;
    std::size_t field;  // SIZE_MAX when it concerns no single field
};

template <class T>
using FieldResult = std::expected<T, FieldError>;

// What a codec's values are, for the batch kernels.
[[nodiscard]] ValueClass value_class_of(Codec codec);

// Completes a layout whose fields are read (names, codecs, widths, byte
// orders, offsets): positions, columns, and the plans of static layouts.
// Needs no interpreter.
void finish_layout(Layout& layout);

// A short description of a field for messages and notes:
// "item 3 'temp' (twos_complement, 16 bits)".
[[nodiscard]] std::string describe_field(const Layout& layout, const FieldSpec& field);

}  // namespace bitloom::io
