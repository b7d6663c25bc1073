// Splitting a byte stream of CCSDS space packets by their length fields.
//
// Each record of the stream is `prefix_bytes` bytes the splitter skips (a
// record header, a sync marker) followed by a packet: a 6-byte primary header
// and 1 to 65,536 bytes of data, the data length field holding that count
// minus one. The scan reads only the headers, so it runs at memory speed.
//
// Nothing in the stream is passed over without being reported. The records
// found and the problem regions tile the scanned bytes exactly, in order:
//
// - A record is accepted at position p when the whole header is there, its
//   version number is 0 and the packet it declares ends inside the data.
// - When the bytes at p are not such a record, the splitter resynchronises:
//   it looks for the first q > p where a record is accepted and confirmed by
//   the records that follow it (the next two are accepted as well, or the
//   chain ends exactly at the end of the data), each of these records of an
//   APID already known: one of an earlier record, or the APID of the header
//   at p when it has version 0 (any APID while none is known). Packet data
//   often holds bytes that look like headers (runs of zeros do), which this
//   keeps from being taken for packets. The bytes [p, q) are one
//   problem region: `overrun` when p held a version-0 header whose length
//   ran past the end of the data (a wrong length field), `junk` otherwise.
// - When no such q exists, the rest of the data is one region: `truncated`
//   when it starts with a version-0 header (the final packet cut short, or a
//   header cut short), `junk` otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>

namespace bitloom::io {

inline constexpr std::size_t kPrimaryHeaderBytes = 6;

// The primary header's fields.
struct PrimaryHeader {
    std::uint8_t version;
    std::uint8_t type;
    std::uint8_t secondary_flag;
    std::uint16_t apid;
    std::uint8_t sequence_flags;
    std::uint16_t sequence_count;
    std::uint16_t data_length;
    // Bytes of the whole packet, header included.
    [[nodiscard]] std::uint32_t packet_bytes() const noexcept { return std::uint32_t{data_length} + 7U; }
};

[[nodiscard]] inline PrimaryHeader read_primary_header(const std::uint8_t* h) noexcept {
    return PrimaryHeader{
        static_cast<std::uint8_t>(h[0] >> 5),           static_cast<std::uint8_t>((h[0] >> 4) & 1U),
        static_cast<std::uint8_t>((h[0] >> 3) & 1U),    static_cast<std::uint16_t>(((h[0] & 7U) << 8) | h[1]),
        static_cast<std::uint8_t>(h[2] >> 6),           static_cast<std::uint16_t>(((h[2] & 0x3FU) << 8) | h[3]),
        static_cast<std::uint16_t>((h[4] << 8) | h[5]),
    };
}

// Sequence counts per APID, checked as the records are found.
inline constexpr std::size_t kApids = 2048;
inline constexpr std::uint32_t kSequenceModulus = 1U << 14;

struct ApidStats {
    std::uint64_t packets;
    std::int32_t first;  // sequence count of the first packet
    std::int32_t last;   // and of the latest one
};

// A step of the sequence count other than 1 (modulo 2^14) between two
// consecutive packets of an APID: 0 is a repeat, any other step a gap of
// step - 1 packets. `offset` is that of the later packet.
enum class SequenceEventKind : std::uint8_t { gap = 0, repeat = 1 };
struct SequenceEvent {
    SequenceEventKind kind;
    std::uint16_t apid;
    std::uint32_t missing;
    std::int64_t offset;
};

enum class ProblemKind : std::uint8_t { junk = 0, overrun = 1, truncated = 2 };

// One region of the stream that is not a whole record. `declared` is the
// record size the header at `offset` declares (prefix included), or -1 when
// there is no readable version-0 header there.
struct Problem {
    ProblemKind kind;
    std::int64_t offset;
    std::int64_t length;
    std::int64_t declared;
};

// A growable array in malloc'd memory, so that the glue can hand the block
// over to Python without copying it. Growth goes through realloc, which moves
// large blocks by remapping pages rather than copying them.
template <class T>
class Column {
public:
    Column() = default;
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column() { std::free(data_); }

    [[nodiscard]] bool reserve(std::size_t capacity) noexcept {
        void* grown = std::realloc(data_, capacity * sizeof(T) + (capacity == 0 ? 1 : 0));
        if (grown == nullptr) return false;
        data_ = static_cast<T*>(grown);
        return true;
    }
    [[nodiscard]] T* data() noexcept { return data_; }
    [[nodiscard]] const T* data() const noexcept { return data_; }
    // Gives up the block; the caller frees it with std::free.
    T* release() noexcept {
        T* d = data_;
        data_ = nullptr;
        return d;
    }

private:
    T* data_ = nullptr;
};

// The records found, as columns, plus the problem regions.
struct ScanOutput {
    std::size_t count = 0;
    std::size_t capacity = 0;
    Column<std::int64_t> offsets;   // of the packet (after the prefix)
    Column<std::uint32_t> lengths;  // of the packet, header included
    Column<std::uint8_t> version;
    Column<std::uint8_t> type;
    Column<std::uint8_t> secondary_flag;
    Column<std::uint16_t> apid;
    Column<std::uint8_t> sequence_flags;
    Column<std::uint16_t> sequence_count;
    Column<std::uint16_t> data_length;

    // The APIDs of the records found so far, as a bit set.
    std::uint64_t seen_apids[kApids / 64] = {};
    bool any_seen = false;
    ApidStats apid_stats[kApids] = {};
    Column<SequenceEvent> events;
    std::size_t event_count = 0;
    std::size_t event_capacity = 0;

    Column<Problem> problems;
    std::size_t problem_count = 0;
    std::size_t problem_capacity = 0;

    // Make room for at least `needed` records; false when memory runs out.
    [[nodiscard]] bool grow(std::size_t needed) noexcept;
    [[nodiscard]] bool add_problem(const Problem& p) noexcept;
    [[nodiscard]] bool add_event(const SequenceEvent& e) noexcept;
};

struct ScanOptions {
    std::size_t prefix_bytes = 0;
};

// Scans the records of `stream` that start at or after `start` and before
// `stop` (a record that starts before `stop` is read whole, wherever it
// ends), appending them to `out`. Returns the position where the next call
// continues: at or past `stop`, and `stream.size()` once everything is
// scanned. Returns SIZE_MAX when memory for the output runs out.
[[nodiscard]] std::size_t scan_ccsds(std::span<const std::uint8_t> stream, const ScanOptions& options,
                                     std::size_t start, std::size_t stop, ScanOutput& out) noexcept;

}  // namespace bitloom::io
