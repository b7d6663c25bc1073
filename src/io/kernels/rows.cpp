#include "io/kernels/rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace bitloom::io {

namespace {

// Rows are done in blocks, so that while the columns are read one after
// another, the rows being written stay in the cache: 256 rows of a few
// hundred values fit in the second-level cache, and each column's part of
// the block is read in one sequential run.
constexpr std::size_t kBlockRows = 256;

template <std::size_t W>
void interleave(std::span<const std::byte* const> columns, std::span<const std::int64_t> starts,
                std::byte* out) noexcept {
    const std::size_t rows = starts.size();
    for (std::size_t first = 0; first < rows; first += kBlockRows) {
        const std::size_t last = std::min(rows, first + kBlockRows);
        for (std::size_t j = 0; j < columns.size(); ++j) {
            const std::byte* column = columns[j];
            for (std::size_t i = first; i < last; ++i) {
                std::memcpy(out + (static_cast<std::size_t>(starts[i]) + j) * W, column + i * W, W);
            }
        }
    }
}

template <class T>
void gather(const std::byte* source, std::span<const std::int64_t> starts, std::size_t count, std::size_t stride,
            bool swap, std::span<const std::int64_t> places, std::byte* out) noexcept {
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::byte* from = source + starts[i];
        std::byte* to = out + static_cast<std::size_t>(places[i]) * sizeof(T);
        if (stride == sizeof(T)) {
            if (!swap) {
                std::memcpy(to, from, count * sizeof(T));
                continue;
            }
            // Values next to each other: a loop the compiler can vectorise.
            for (std::size_t j = 0; j < count; ++j) {
                T v;
                std::memcpy(&v, from + j * sizeof(T), sizeof(T));
                if constexpr (sizeof(T) > 1) v = std::byteswap(v);
                std::memcpy(to + j * sizeof(T), &v, sizeof(T));
            }
            continue;
        }
        for (std::size_t j = 0; j < count; ++j, from += stride, to += sizeof(T)) {
            T v;
            std::memcpy(&v, from, sizeof(T));
            if constexpr (sizeof(T) > 1) {
                if (swap) v = std::byteswap(v);
            }
            std::memcpy(to, &v, sizeof(T));
        }
    }
}

}  // namespace

void gather_values(const std::byte* source, std::span<const std::int64_t> starts, std::size_t count, std::size_t stride,
                   std::size_t width, bool swap, std::span<const std::int64_t> places, std::byte* out) noexcept {
    switch (width) {
        case 1: gather<std::uint8_t>(source, starts, count, stride, swap, places, out); break;
        case 2: gather<std::uint16_t>(source, starts, count, stride, swap, places, out); break;
        case 4: gather<std::uint32_t>(source, starts, count, stride, swap, places, out); break;
        case 8: gather<std::uint64_t>(source, starts, count, stride, swap, places, out); break;
        default: break;
    }
}

void interleave_rows(std::span<const std::byte* const> columns, std::size_t width, std::span<const std::int64_t> starts,
                     std::byte* out) noexcept {
    switch (width) {
        case 1: interleave<1>(columns, starts, out); break;
        case 2: interleave<2>(columns, starts, out); break;
        case 4: interleave<4>(columns, starts, out); break;
        case 8: interleave<8>(columns, starts, out); break;
        default: break;
    }
}

}  // namespace bitloom::io
