// The CCSDS stream splitter: see stream.hpp for the rules it follows.
#include "io/splitter/stream.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace bitloom::io {

bool ScanOutput::grow(std::size_t needed) noexcept {
    if (needed <= capacity) return true;
    const std::size_t next = std::max({needed, capacity + capacity / 2, std::size_t{1024}});
    if (!offsets.reserve(next) || !lengths.reserve(next) || !version.reserve(next) || !type.reserve(next) ||
        !secondary_flag.reserve(next) || !apid.reserve(next) || !sequence_flags.reserve(next) ||
        !sequence_count.reserve(next) || !data_length.reserve(next)) {
        return false;
    }
    capacity = next;
    return true;
}

bool ScanOutput::add_problem(const Problem& p) noexcept {
    if (problem_count == problem_capacity) {
        const std::size_t next = problem_capacity < 16 ? 16 : problem_capacity * 2;
        if (!problems.reserve(next)) return false;
        problem_capacity = next;
    }
    problems.data()[problem_count++] = p;
    return true;
}

bool ScanOutput::add_event(const SequenceEvent& e) noexcept {
    if (event_count == event_capacity) {
        const std::size_t next = event_capacity < 16 ? 16 : event_capacity * 2;
        if (!events.reserve(next)) return false;
        event_capacity = next;
    }
    events.data()[event_count++] = e;
    return true;
}

namespace {

// The size of the record at `p` (prefix included) when one is accepted
// there, or 0.
inline std::size_t accepted_record(const std::uint8_t* data, std::size_t size, std::size_t prefix,
                                   std::size_t p) noexcept {
    if (size - p < prefix + kPrimaryHeaderBytes) return 0;
    const std::uint8_t* h = data + p + prefix;
    if ((h[0] >> 5) != 0) return 0;
    const std::size_t record = prefix + 7U + ((std::size_t{h[4]} << 8) | h[5]);
    return record <= size - p ? record : 0;
}

inline std::uint16_t apid_at(const std::uint8_t* h) noexcept {
    return static_cast<std::uint16_t>(((h[0] & 7U) << 8) | h[1]);
}

inline bool known(const std::uint64_t* apids, std::uint16_t apid) noexcept {
    return ((apids[apid >> 6] >> (apid & 63U)) & 1U) != 0;
}

// A record at q that the records after it confirm (see stream.hpp); with
// `apids`, every record of the chain must be of one of those APIDs.
bool confirmed(const std::uint8_t* data, std::size_t size, std::size_t prefix, std::size_t q,
               const std::uint64_t* apids) noexcept {
    std::size_t r = q;
    for (int k = 0; k < 3; ++k) {
        const std::size_t record = accepted_record(data, size, prefix, r);
        if (record == 0) return false;
        if (apids != nullptr && !known(apids, apid_at(data + r + prefix))) return false;
        r += record;
        if (r == size) return true;
    }
    return true;
}

}  // namespace

// NOLINTNEXTLINE(readability-function-cognitive-complexity): one scan step, read best whole
std::size_t scan_ccsds(std::span<const std::uint8_t> stream, const ScanOptions& options, std::size_t start,
                       std::size_t stop, ScanOutput& out) noexcept {
    const std::uint8_t* data = stream.data();
    const std::size_t size = stream.size();
    const std::size_t prefix = options.prefix_bytes;
    constexpr std::size_t failed = std::numeric_limits<std::size_t>::max();
    stop = std::min(stop, size);
    std::size_t p = start;
    while (p < stop) {
        // The usual case: records end to end, each one accepted.
        const std::size_t record = accepted_record(data, size, prefix, p);
        if (record != 0) [[likely]] {
            if (out.count == out.capacity) {
                // Guess from the bytes left and this record's size.
                const std::size_t guess = out.count + (size - p) / record + 1;
                if (!out.grow(guess)) return failed;
            }
            const std::uint8_t* h = data + p + prefix;
            const PrimaryHeader header = read_primary_header(h);
            const std::size_t i = out.count++;
            out.offsets.data()[i] = static_cast<std::int64_t>(p + prefix);
            out.lengths.data()[i] = header.packet_bytes();
            out.version.data()[i] = header.version;
            out.type.data()[i] = header.type;
            out.secondary_flag.data()[i] = header.secondary_flag;
            out.apid.data()[i] = header.apid;
            out.sequence_flags.data()[i] = header.sequence_flags;
            out.sequence_count.data()[i] = header.sequence_count;
            out.data_length.data()[i] = header.data_length;
            ApidStats& stats = out.apid_stats[header.apid];
            if (stats.packets == 0) [[unlikely]] {
                stats.first = header.sequence_count;
                out.seen_apids[header.apid >> 6] |= std::uint64_t{1} << (header.apid & 63U);
                out.any_seen = true;
            } else {
                const std::uint32_t step =
                    (static_cast<std::uint32_t>(header.sequence_count) - static_cast<std::uint32_t>(stats.last)) &
                    (kSequenceModulus - 1U);
                if (step != 1U) [[unlikely]] {
                    const SequenceEvent event{step == 0 ? SequenceEventKind::repeat : SequenceEventKind::gap,
                                              header.apid, step == 0 ? 0U : step - 1U,
                                              static_cast<std::int64_t>(p + prefix)};
                    if (!out.add_event(event)) return failed;
                }
            }
            stats.last = header.sequence_count;
            ++stats.packets;
            p += record;
            continue;
        }
        // Not a record: a version-0 header whose packet runs past the end,
        // or bytes that are no header (or too few left for one).
        const bool header_there = size - p >= prefix + kPrimaryHeaderBytes;
        // A tail too short for a header counts as a cut record unless the one
        // header byte it has says otherwise.
        const bool version_zero = size - p <= prefix || (data[p + prefix] >> 5) == 0;
        std::int64_t declared = -1;
        if (header_there && version_zero) {
            const std::uint8_t* h = data + p + prefix;
            declared = static_cast<std::int64_t>(prefix + 7U + ((std::size_t{h[4]} << 8) | h[5]));
        }
        std::uint64_t apids[32];
        std::memcpy(apids, out.seen_apids, sizeof apids);
        bool filter = out.any_seen;
        if (declared >= 0) {
            const std::uint16_t apid = apid_at(data + p + prefix);
            apids[apid >> 6] |= std::uint64_t{1} << (apid & 63U);
            filter = true;
        }
        std::size_t q = p + 1;
        while (q < size && !confirmed(data, size, prefix, q, filter ? apids : nullptr)) ++q;
        Problem problem{};
        problem.offset = static_cast<std::int64_t>(p);
        problem.length = static_cast<std::int64_t>(q - p);
        problem.declared = declared;
        if (q < size) {
            problem.kind = (header_there && version_zero) ? ProblemKind::overrun : ProblemKind::junk;
        } else {
            problem.kind = version_zero ? ProblemKind::truncated : ProblemKind::junk;
        }
        if (!out.add_problem(problem)) return failed;
        p = q;
    }
    return p;
}

}  // namespace bitloom::io
