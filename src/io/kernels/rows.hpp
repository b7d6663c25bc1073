// Columns turned into rows: value i of column j goes to place starts[i] + j
// of one flat array; or each row's values gathered straight from the packets. This is how a field repeated a varying
// number of times per packet, read as one column per repeat, becomes one list of values per packet, stored one packet
// after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace bitloom::io {

// Writes value i of each column j (`rows` values of `width` bytes each;
// `width` is 1, 2, 4 or 8) to element starts[i] + j of `out`. The caller
// has checked that every such element lies inside `out`.
void interleave_rows(std::span<const std::byte* const> columns, std::size_t width, std::span<const std::int64_t> starts,
                     std::byte* out) noexcept;

// Copies `count` values of `width` bytes (1, 2, 4 or 8) of each row from
// `source`, where row i's values lie at starts[i], starts[i] + stride, ...,
// to elements places[i] to places[i] + count - 1 of `out`, reversing each
// value's bytes when `swap`. The caller has checked every place in both.
void gather_values(const std::byte* source, std::span<const std::int64_t> starts, std::size_t count, std::size_t stride,
                   std::size_t width, bool swap, std::span<const std::int64_t> places, std::byte* out) noexcept;

}  // namespace bitloom::io
