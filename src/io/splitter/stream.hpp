// Splitting a byte stream of CCSDS space packets by their length fields.
//
// Each record of the stream is `prefix_bytes` bytes the splitter skips (a
// record header, a sync marker) followed by a packet: a 6-byte primary header
// and 1 to 65,536 bytes of data, the data length field holding that count
// minus one. The scan reads only the headers, so it runs at memory speed.
//
// Nothing in the stream is passed over without being reported. The records
// found and the problem regions tile the scanned bytes exactly, in order.
// No single length field is trusted on its own word:
//
// - A header is whole when its record ends inside the data, its version is
//   one the caller accepts (any, unless told otherwise) and its length is the
//   one the caller fixed for its APID, if any. A version is familiar once a
//   record of it has been accepted (0 always is); a header of an unfamiliar
//   version is only taken when the records from it chain by length, eight of
//   that version in a row or all the way to the exact end of the data.
// - A whole header at p is accepted at once when what follows its record
//   continues the stream: the end of the data, a tail too short for a
//   header, or a header of a familiar version (or p's), of the fixed length,
//   of an APID already known (seen, declared by the caller, or the record's
//   own) whose sequence count is at most 32 past that APID's latest; or a
//   header of a new version whose records chain to the end of the data,
//   taking turns with familiar versions. Otherwise the record's own bytes
//   are searched for a record that a lying length field would have
//   swallowed: confirmed (below), of an APID already met, carrying its next
//   sequence count, and itself continued by what follows it. One found at q
//   makes [p, q) a problem region, `implausible_length`. The same search
//   runs when what follows continues the stream past a gap in its counts
//   (a length that lies long can land on a later packet), taking a record
//   inside whose chain reaches q exactly, or one of an APID with a few
//   packets already. None found, the record stands (a stream's first
//   packet of an APID, an intact packet followed by junk), and the scan
//   goes on warily: the record after it is taken only when confirmed as a
//   resynchronisation would confirm it, or carrying one of the next counts
//   of an APID met before, or followed by its APID's next count, and not
//   when it is a header of zeros of an APID not met before (runs of zero
//   bytes read as packets of APID 0). Otherwise that record's bytes start a
//   problem region as below.
// - When the bytes at p are not an accepted record, the splitter
//   resynchronises: it looks for the first q > p where a record is confirmed
//   by the records that follow it (the next two are whole and of familiar
//   versions as well, or the chain ends exactly at the end of the data), each
//   of these records of an APID already known: one of an earlier record, a
//   declared one, or the APID of a familiar-version header at p (any APID
//   while none is known), or a chain through new APIDs that vouches for
//   itself (see `anchored` in stream.cpp). Packet data often holds bytes
//   that look like headers (runs of zeros do), which this keeps from being
//   taken for packets. The bytes [p, q) are one problem region: `overrun` when p held a
//   familiar-version header whose length ran past the end of the data,
//   `implausible_length` when that header's record fitted but had not the
//   fixed length of its APID, `junk` otherwise (adjacent junk is one region).
// - Zero bytes read as packets of APID 0 repeating count 0. Where the scan
//   meets two such records in a row (at a record it would take, or while
//   resynchronising), the run of zero bytes is one problem region,
//   `zero_fill` (files padded to a block size, blank stretches of a
//   recording), ending at the first byte that is not zero, or a few bytes
//   before it when a confirmed record starts there (a header whose first
//   bytes are zero). The record before fill is taken as one followed by
//   junk is (a header in the data that a lying length lands on is often
//   followed by zeros), and so is the record after it. A single all-zero
//   record between others stays a record.
// - When no such q exists, the rest of the data is one region: `truncated`
//   when it starts with a familiar-version header that runs past the end (the
//   final packet cut short, or a header cut short), `implausible_length`
//   when that header's record fits, `junk` otherwise.
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
// step - 1 packets. Consecutive packets of an APID with steps of the same
// kind are one event (`count` of them, `missing` packets in all), so that a
// stream of identical headers costs one event, not one per packet. `offset`
// is that of the packet after the first step, `last` after the last.
enum class SequenceEventKind : std::uint8_t { gap = 0, repeat = 1 };
struct SequenceEvent {
    SequenceEventKind kind;
    std::uint16_t apid;
    std::uint32_t count;
    std::uint64_t missing;
    std::int64_t offset;
    std::int64_t last;
};

// `zero_fill`: a run of zero bytes that would read as two or more all-zero
// packets in a row (APID 0, one count repeated): padding, not data.
enum class ProblemKind : std::uint8_t { junk = 0, overrun = 1, truncated = 2, implausible_length = 3, zero_fill = 4 };

// One region of the stream that is not a whole record. `declared` is the
// record size the header at `offset` declares (prefix included), or -1 when
// there is no readable header of a familiar version there.
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
    // Records handed over before `count` began again from 0 (a scan taken in
    // steps, each step's columns given to the caller): record indexes, as in
    // `breaks`, count from the first record of the whole scan.
    std::size_t base = 0;
    // Records are counted, not stored: the columns stay empty (a first pass
    // that learns how many packets each APID has, and the stream's report).
    bool count_only = false;
    // Where the caller stops this step: the columns grow for the records up
    // to here, not for the whole of the data.
    std::size_t horizon = SIZE_MAX;
    Column<std::int64_t> offsets;   // of the packet (after the prefix)
    Column<std::uint32_t> lengths;  // of the packet, header included
    Column<std::uint8_t> version;
    Column<std::uint8_t> type;
    Column<std::uint8_t> secondary_flag;
    Column<std::uint16_t> apid;
    Column<std::uint8_t> sequence_flags;
    Column<std::uint16_t> sequence_count;
    Column<std::uint16_t> data_length;

    // The APIDs of the records found so far, as a bit set (a caller may seed
    // it: APIDs it declares, or those found before a piece it scans), and the
    // versions accepted so far (bit v for version v).
    std::uint64_t seen_apids[kApids / 64] = {};
    bool any_seen = false;
    std::uint8_t seen_versions = 0;
    // The latest record's successor did not continue the stream, and the
    // indexes of the records after which that was so (a caller scanning a
    // piece of a stream from one of them sets `broken` to begin as the
    // whole scan went on).
    bool broken = false;
    Column<std::int64_t> breaks;
    std::size_t break_count = 0;
    std::size_t break_capacity = 0;
    ApidStats apid_stats[kApids] = {};
    // Per APID, the sequence count of its latest packet before the scan began
    // (a caller scanning a piece of a stream gives those before the piece),
    // -1 for none: what the checks of continuity compare with until the
    // scan meets a packet of the APID itself.
    std::int32_t prior_last[kApids];
    ScanOutput() noexcept {
        for (std::int32_t& last : prior_last) last = -1;
    }
    // Per APID, 1 + the index of the event its latest packet extended or
    // began, 0 when that packet followed its predecessor by a step of 1.
    std::uint32_t open_event[kApids] = {};
    Column<SequenceEvent> events;
    std::size_t event_count = 0;
    std::size_t event_capacity = 0;

    Column<Problem> problems;
    std::size_t problem_count = 0;
    std::size_t problem_capacity = 0;

    // Make room for at least `needed` records; false when memory runs out.
    [[nodiscard]] bool grow(std::size_t needed) noexcept;
    // Gives up the columns' blocks (the caller now owns them) and begins the
    // next step's records at index 0 of new ones.
    void next_step() noexcept {
        base += count;
        count = 0;
        capacity = 0;
    }
    [[nodiscard]] bool add_problem(const Problem& p) noexcept;
    [[nodiscard]] bool add_event(const SequenceEvent& e) noexcept;
    [[nodiscard]] bool add_break(std::int64_t index) noexcept;
    // Records the step of a packet of `apid` at `offset`, merged into the
    // APID's open event when it is of the same kind.
    [[nodiscard]] bool add_step(std::uint16_t apid, std::uint32_t step, std::int64_t offset) noexcept;
    // Marks an APID as known before scanning.
    void declare(std::uint16_t apid) noexcept {
        seen_apids[apid >> 6] |= std::uint64_t{1} << (apid & 63U);
        any_seen = true;
    }
};

struct ScanOptions {
    std::size_t prefix_bytes = 0;
    // Bit v set: records of version v may be accepted.
    std::uint8_t versions = 0xFF;
    // kApids entries, or null: the packet size (header included) an APID's
    // packets must have, 0 for any.
    const std::uint32_t* fixed_lengths = nullptr;
};

// Scans the records of `stream` that start at or after `start` and before
// `stop` (a record that starts before `stop` is read whole, wherever it
// ends), appending them to `out`. Returns the position where the next call
// continues: at or past `stop`, and `stream.size()` once everything is
// scanned. Returns SIZE_MAX when memory for the output runs out.
[[nodiscard]] std::size_t scan_ccsds(std::span<const std::uint8_t> stream, const ScanOptions& options,
                                     std::size_t start, std::size_t stop, ScanOutput& out) noexcept;

}  // namespace bitloom::io
