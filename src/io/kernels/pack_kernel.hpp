// Packing values into packets: placing encoded values (the packet builder's
// placement) and encoding and placing whole numeric columns. Needs no
// interpreter.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "codecs/codec_table.hpp"
#include "common/error.hpp"
#include "io/kernels/layout.hpp"

namespace bitloom::io {

// What a value encodes to: a raw numeric pattern, or bytes (text, binary).
struct Encoded {
    bool is_bytes = false;
    std::uint64_t raw = 0;
    std::string bytes;
};

// Places a raw value as place_raw_value does, for a field of 1 to 64 bits
// that lies within the 8 bytes from byte position / 8, all of which
// `buffer` has.
inline void place_in_word(std::uint8_t* buffer, std::uint32_t position, std::uint64_t raw, std::uint32_t bits,
                          bool reverse, bool little) noexcept {
    const unsigned m = (bits + 7U) / 8U;
    std::uint64_t form = reverse ? mirror_bits(raw, bits) : raw;
    if (little && m > 1) form = std::byteswap(form) >> (64U - 8U * m);
    const std::uint64_t keep = bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1U;
    const unsigned shift = 64U - position % 8U - bits;
    std::uint8_t* at = buffer + position / 8U;
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    word = (word & ~(keep << shift)) | ((form & keep) << shift);
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    std::memcpy(at, &word, 8);
}

// Places an encoded value as the packet builder does: mirroring (numeric
// only), byte form, byte order, then the last `bits` bits at `cursor`.
void place_encoded(std::span<std::uint8_t> packet, std::uint32_t cursor, const Encoded& value, std::uint32_t bits,
                   bool reverse, bool little);

// Packets end to end, each `length` bytes.
struct PackTarget {
    std::uint8_t* data;
    std::size_t length;
    std::size_t count;
    bool slack = false;  // 8 writable bytes after the last packet
    [[nodiscard]] std::span<std::uint8_t> packet(std::size_t i) const noexcept { return {data + i * length, length}; }
};

void place_in_packet(const PackTarget& target, std::size_t row, const FieldSpec& f, const Encoded& value);

// The element type of a numeric column as it is in memory.
enum class NumericInput : std::uint8_t { none, i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };

struct NumericColumn {
    NumericInput kind = NumericInput::none;
    const void* data = nullptr;
    // The output has 8 bytes of slack after its last packet, so fields that
    // fit one 64-bit word are placed with one read-modify-write.
    bool slack = false;
};

// Rows [begin, end) of a field that the caller places itself (a column of
// text, say); returns the first refused row, or end.
using PlaceRows = std::size_t (*)(void* context, const PackTarget& target, std::size_t begin, std::size_t end);

// One field's values for pack_columns: a numeric column, `constant` in
// every packet, or rows that `place_rows` places.
struct ColumnJob {
    const FieldSpec* field = nullptr;
    NumericColumn column;
    const Encoded* constant = nullptr;
    PlaceRows place_rows = nullptr;
    void* context = nullptr;
};

// Encodes and places the jobs' values a block of packets at a time, each
// block's fields in job order (so a later field's bits overwrite an earlier
// one's, as placing them field by field would), so that the block's bytes
// stay in cache while every field is written; `zero` clears each block
// first (the packets are then written in one pass). Returns the first row
// whose value a field refuses, or target.count. Needs no interpreter.
[[nodiscard]] std::size_t pack_columns(const PackTarget& target, std::span<const ColumnJob> jobs, bool zero);

}  // namespace bitloom::io
