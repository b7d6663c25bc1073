// The batch kernels: many packets into columns and columns into packets.
// They run without the interpreter: native memory in, native memory out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/kernels/layout.hpp"

namespace bitloom::io {

// Where the packets of a batch are: at multiples of `stride`, or at the
// byte offsets given (with the lengths given, or `stride` bytes, or up to the
// next offset or the buffer's end).
struct PacketGeometry {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t count = 0;
    std::uint64_t stride = 0;  // 0: none
    const std::int64_t* offsets = nullptr;
    const std::int64_t* lengths = nullptr;

    struct Packet {
        std::uint64_t offset;
        std::uint64_t length;  // as declared
        bool inside;           // the declared bytes all lie in the buffer
    };
    [[nodiscard]] Packet packet(std::size_t i) const noexcept {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        if (offsets == nullptr) {
            offset = i * stride;
            length = stride;
            // The last packet of a strided buffer may be cut short.
            if (offset < size && size - offset < stride) length = size - offset;
        } else {
            offset = static_cast<std::uint64_t>(offsets[i]);
            if (lengths != nullptr) {
                length = static_cast<std::uint64_t>(lengths[i]);
            } else if (stride != 0) {
                length = stride;
            } else if (i + 1 < count && static_cast<std::uint64_t>(offsets[i + 1]) >= offset) {
                length = static_cast<std::uint64_t>(offsets[i + 1]) - offset;
            } else {
                length = offset <= size ? size - offset : 0;
            }
        }
        return {offset, length, offset <= size && length <= size - offset};
    }
};

// A text column's result array, written in place value by value (numpy's
// strings, behind an interface so that the kernels need no numpy).
class TextSink {
public:
    TextSink() = default;
    TextSink(const TextSink&) = delete;
    TextSink& operator=(const TextSink&) = delete;
    virtual ~TextSink() = default;
    // Sets the value of packet i of the batch (not of the chunk); false when
    // it could not be stored (out of memory).
    [[nodiscard]] virtual bool set(std::size_t i, std::string_view utf8) noexcept = 0;
    // Sets the values of packets first to first + count - 1 to the `size`
    // bytes (UTF-8) at texts[j], leaving those whose pointer is null as they
    // are.
    [[nodiscard]] virtual bool set_many(std::size_t first, const char* const* texts, std::size_t size,
                                        std::size_t count) noexcept {
        bool stored = true;
        for (std::size_t j = 0; j < count; ++j) {
            if (texts[j] != nullptr) stored = set(first + j, std::string_view(texts[j], size)) && stored;
        }
        return stored;
    }
};

// A text or binary column's values for the packets of one chunk: written
// straight into the result (`sink`), or fixed-width ASCII slots (text of a
// static width, which numpy casts to its string type in C, without a Python
// object per value), or every value's bytes (UTF-8 for text) in one arena.
struct BytesColumn {
    // The result array itself (null: slots or the arena). A value it could
    // not store sets `sink_failed`.
    TextSink* sink = nullptr;
    bool sink_failed = false;
    // ASCII slots, `width` bytes each (null: use the arena). A value that is
    // not ASCII, or that ends in U+0000 (which fixed-width numpy strings
    // drop), sets `overflow`, and the chunk is redone value by value.
    char* ascii = nullptr;
    std::size_t width = 0;
    bool overflow = false;
    std::string arena;
    std::vector<std::uint64_t> begin;  // per packet of the chunk, into the arena
    std::vector<std::uint64_t> size;
};

struct UnpackJob {
    const Layout* layout = nullptr;
    PacketGeometry geometry;
    std::size_t first = 0;  // the chunk: packets [first, first + count)
    std::size_t count = 0;
    std::vector<void*> numeric;       // per column, its whole array's memory (null for bytes columns)
    std::vector<BytesColumn*> bytes;  // per column, the chunk's values (null for numeric columns)
    std::uint8_t* failed = nullptr;   // per packet, the whole array
    bool by_packet = false;           // the packet-at-a-time reader even for static layouts
};

// Fills the columns and the failure flags of the chunk; returns the number
// of its failed packets. Needs no interpreter.
std::size_t run_unpack(const UnpackJob& job);

}  // namespace bitloom::io
