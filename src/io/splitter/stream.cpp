// The CCSDS stream splitter: see stream.hpp for the rules it follows.
#include "io/splitter/stream.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "common/platform.hpp"

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
    if (p.kind == ProblemKind::junk && problem_count != 0) {
        Problem& last = problems.data()[problem_count - 1];
        if (last.kind == ProblemKind::junk && last.offset + last.length == p.offset) {
            last.length += p.length;
            return true;
        }
    }
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

bool ScanOutput::add_break(std::int64_t index) noexcept {
    if (break_count == break_capacity) {
        const std::size_t next = break_capacity < 16 ? 16 : break_capacity * 2;
        if (!breaks.reserve(next)) return false;
        break_capacity = next;
    }
    breaks.data()[break_count++] = index;
    return true;
}

bool ScanOutput::add_step(std::uint16_t apid, std::uint32_t step, std::int64_t offset) noexcept {
    if (step == 1U) {
        open_event[apid] = 0;
        return true;
    }
    const SequenceEventKind kind = step == 0 ? SequenceEventKind::repeat : SequenceEventKind::gap;
    const std::uint32_t missing = step == 0 ? 0U : step - 1U;
    if (open_event[apid] != 0) {
        SequenceEvent& open = events.data()[open_event[apid] - 1];
        if (open.kind == kind && open.count != UINT32_MAX) {
            ++open.count;
            open.missing += missing;
            open.last = offset;
            return true;
        }
    }
    if (!add_event(SequenceEvent{kind, apid, 1U, missing, offset, offset})) return false;
    open_event[apid] = static_cast<std::uint32_t>(event_count);
    return true;
}

namespace {

inline std::uint16_t apid_at(const std::uint8_t* h) noexcept {
    return static_cast<std::uint16_t>(((h[0] & 7U) << 8) | h[1]);
}

// A header whose APID, flags and count are all zero: what runs of zero bytes
// (fill, blank data) look like.
inline bool zero_header(const std::uint8_t* h) noexcept { return (h[0] | h[1] | h[2] | h[3]) == 0; }

inline bool known(const std::uint64_t* apids, std::uint16_t apid) noexcept {
    return ((apids[apid >> 6] >> (apid & 63U)) & 1U) != 0;
}

// Unfamiliar versions need a chain this long, all of their version, to be
// taken from the middle of a stream (a run of eight random headers of one
// version by chance: about one in two million).
constexpr int kVersionChain = 8;
// and at most this many records walked to reach the end of the data.
constexpr int kEndChain = 4096;
// Records that confirm a position found by resynchronisation.
constexpr int kConfirm = 3;
// A sequence count this far past the last one of its APID continues it.
constexpr std::uint32_t kCloseSteps = 32;

class Scanner {
public:
    Scanner(std::span<const std::uint8_t> stream, const ScanOptions& options, ScanOutput& out) noexcept
        : data_(stream.data()), size_(stream.size()), prefix_(options.prefix_bytes), options_(options), out_(out) {}

    [[nodiscard]] std::size_t run(std::size_t start, std::size_t stop) noexcept;
    [[nodiscard]] std::size_t run_sound(std::size_t p, std::size_t stop) noexcept;

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t prefix_;
    const ScanOptions& options_;
    ScanOutput& out_;

    [[nodiscard]] const std::uint8_t* header(std::size_t p) const noexcept {
        return size_ - p >= prefix_ + kPrimaryHeaderBytes ? data_ + p + prefix_ : nullptr;
    }
    [[nodiscard]] bool allowed(unsigned version) const noexcept { return ((options_.versions >> version) & 1U) != 0; }
    [[nodiscard]] bool familiar(unsigned version) const noexcept {
        return ((static_cast<unsigned>(out_.seen_versions | 1U) & options_.versions) >> version & 1U) != 0;
    }
    [[nodiscard]] bool length_fixed_right(const std::uint8_t* h) const noexcept {
        if (options_.fixed_lengths == nullptr) return true;
        const std::uint32_t fixed = options_.fixed_lengths[apid_at(h)];
        return fixed == 0 || fixed == 7U + ((std::uint32_t{h[4]} << 8) | h[5]);
    }
    [[nodiscard]] static std::size_t declared_record(const std::uint8_t* h, std::size_t prefix) noexcept {
        return prefix + 7U + ((std::size_t{h[4]} << 8) | h[5]);
    }
    // The size of the whole record at p (see stream.hpp), or 0.
    [[nodiscard]] std::size_t whole(std::size_t p) const noexcept {
        const std::uint8_t* h = header(p);
        if (h == nullptr || !allowed(h[0] >> 5)) return 0;
        const std::size_t record = declared_record(h, prefix_);
        if (record > size_ - p || !length_fixed_right(h)) return 0;
        return record;
    }
    // `also`: a version to count as familiar (that of the record before q).
    [[nodiscard]] bool version_chain(std::size_t q, bool mixed, unsigned also = 8) const noexcept;
    [[nodiscard]] bool continues(std::size_t p, std::size_t q) const noexcept;
    [[nodiscard]] bool resumes(std::size_t p) const noexcept;
    [[nodiscard]] bool goes_on(std::size_t p, std::size_t q) const noexcept;
    [[nodiscard]] bool tail_after(std::size_t q, const std::uint8_t* own) const noexcept;
    [[nodiscard]] bool steps_on(std::size_t p, std::size_t r) const noexcept;
    [[nodiscard]] bool confirmed(std::size_t q, const std::uint64_t* apids) const noexcept;
    [[nodiscard]] bool anchored(std::size_t q, const std::uint64_t* apids) const noexcept;
    [[nodiscard]] bool next_in_sequence(std::size_t p, std::size_t q) const noexcept;
    [[nodiscard]] std::size_t swallowed(std::size_t p, std::size_t q, bool lands) const noexcept;
    [[nodiscard]] bool chains_to(std::size_t r, std::size_t q) const noexcept;
    [[nodiscard]] bool established(std::size_t p, std::size_t r) const noexcept;
    [[nodiscard]] bool fill_at(std::size_t r) const noexcept;
    [[nodiscard]] std::size_t fill_end(std::size_t p) const noexcept;
    [[nodiscard]] bool followed(std::size_t p, std::size_t q) const noexcept;
    [[nodiscard]] BITLOOM_ALWAYS_INLINE bool take(std::size_t p, std::size_t record) noexcept;
    [[nodiscard]] std::size_t resynchronise(std::size_t p) noexcept;
};

// Records from q, whole, chaining by length: kVersionChain of the version at
// q, or to the exact end of the data in two records or more (one from the
// start of the data). When `mixed` (a record the scan reached, not one a
// resynchronisation tries), the chain to the end may mix versions, familiar
// ones and q's (any from the start of the data; two of q's at least
// elsewhere): a stream whose lengths chain to its last byte is split by them. Returns whether the chain holds.
bool Scanner::version_chain(std::size_t q, bool mixed, unsigned also) const noexcept {
    const std::uint8_t* first = header(q);
    if (first == nullptr) return false;
    const unsigned version = first[0] >> 5;
    unsigned versions = 0;
    int of_version = 0;  // records of q's version in the chain
    std::size_t r = q;
    const int limit = mixed ? kEndChain : kVersionChain;
    for (int k = 1; k <= limit; ++k) {
        const std::size_t record = whole(r);
        if (record == 0) return false;
        const unsigned v = data_[r + prefix_] >> 5;
        versions |= 1U << v;
        of_version += v == version ? 1 : 0;
        const bool same = versions == (1U << version);
        if (!same && !(mixed && (q == 0 || v == version || v == also || familiar(v)))) return false;
        r += record;
        // One header of a new version amid others is a damaged one.
        if (r == size_) return q == 0 || (k >= 2 && of_version >= 2);
        if (same && k >= kVersionChain) return true;
    }
    return false;
}

// What follows a whole record at p, at q, continues the stream: the end, a
// tail too short for a header, or a header of a familiar version (or p's),
// the fixed length, a known APID and a sequence count at most kCloseSteps
// past that APID's latest (p's own for p's APID). A header at a wrong place
// meets all of this by chance about once in a hundred million.
bool Scanner::continues(std::size_t p, std::size_t q) const noexcept {
    const std::uint8_t* h = header(q);
    const std::uint8_t* own = data_ + p + prefix_;
    if (h == nullptr) return tail_after(q, own);
    // Fill continues nothing, and zeros pose as packets of APID 0 repeating
    // one count: only a stream that has such packets may go on with one.
    if (zero_header(h) && (fill_at(q) || !known(out_.seen_apids, 0))) [[unlikely]]
        return false;
    const unsigned v = h[0] >> 5;
    if ((!familiar(v) && v != (own[0] >> 5U)) || !length_fixed_right(h)) return false;
    const std::uint16_t apid = apid_at(h);
    std::uint32_t last = 0;
    if (apid == apid_at(own)) {
        last = ((std::uint32_t{own[2]} & 0x3FU) << 8) | own[3];
    } else if (!known(out_.seen_apids, apid)) {
        return false;
    } else if (out_.apid_stats[apid].packets != 0) {
        last = static_cast<std::uint32_t>(out_.apid_stats[apid].last);
    } else if (out_.prior_last[apid] >= 0) {
        last = static_cast<std::uint32_t>(out_.prior_last[apid]);
    } else {
        return true;  // declared, not met yet: no count to follow
    }
    const std::uint32_t count = ((std::uint32_t{h[2]} & 0x3FU) << 8) | h[3];
    return ((count - last) & (kSequenceModulus - 1U)) <= kCloseSteps;
}

// The header at r, inside the record at p, carries the next sequence count
// of an APID met before (p's own included), 1 to kCloseSteps on. Data
// holding runs of zeros reads as packets of APID 0 repeating one count;
// packets a lying length field swallowed carry counts that go on.
bool Scanner::steps_on(std::size_t p, std::size_t r) const noexcept {
    const std::uint8_t* own = data_ + p + prefix_;
    const std::uint8_t* h = data_ + r + prefix_;
    const std::uint16_t apid = apid_at(h);
    const std::uint32_t count = ((std::uint32_t{h[2]} & 0x3FU) << 8) | h[3];
    // p's own APID: the very next count (the packet right after p's), or
    // one close after the latest accepted (p's own count may be the damage).
    if (apid == apid_at(own) &&
        ((count - (((std::uint32_t{own[2]} & 0x3FU) << 8) | own[3])) & (kSequenceModulus - 1U)) == 1U) {
        return true;
    }
    const ApidStats& stats = out_.apid_stats[apid];
    const std::int32_t last = stats.packets != 0 ? stats.last : out_.prior_last[apid];
    if (last < 0) return false;
    const std::uint32_t step = (count - static_cast<std::uint32_t>(last)) & (kSequenceModulus - 1U);
    return step >= 1U && step <= kCloseSteps;
}

// A record at q that the records after it confirm; with `apids`, every
// record of the chain must be of one of those APIDs.
bool Scanner::confirmed(std::size_t q, const std::uint64_t* apids) const noexcept {
    const std::uint8_t* h = header(q);
    if (h == nullptr) return false;
    // A new version is looked for only while none has been taken: after
    // that, one comes in where the scan reaches it (goes_on), and junk, where
    // seven headers in eight are of other versions, is passed over quickly.
    if (!familiar(h[0] >> 5)) return out_.seen_versions == 0 && version_chain(q, false);
    std::size_t r = q;
    for (int k = 0; k < kConfirm; ++k) {
        const std::size_t record = whole(r);
        if (record == 0) return false;
        const std::uint8_t* rh = data_ + r + prefix_;
        if (!familiar(rh[0] >> 5) || fill_at(r)) return false;
        if (apids != nullptr && !known(apids, apid_at(rh))) return anchored(q, apids);
        r += record;
        if (header(r) == nullptr) return true;  // the end, or a tail of its own
    }
    return true;
}

// The records from q chain by length through packets of APIDs not met
// before (the first packets of an instrument's APIDs, a stream that starts
// with the ones after it) and the chain vouches for itself: three records or
// more of it reaching a record of a known APID that carries that APID's
// very next count, or four or more holding a later record of q's own APID
// that carries q's next count. (Not any two records of one APID, nor a
// count a little past the next: a bogus record whose length happens to land
// on the real packets after a damaged one would pass that, and so do the
// counters in some instruments' data.)
// Random bytes do either by chance about once in 10^10 positions; zeros,
// which chain as packets of APID 0 repeating one count, never do.
bool Scanner::anchored(std::size_t q, const std::uint64_t* apids) const noexcept {
    std::uint16_t first_apid = 0;
    std::uint32_t first_count = 0;
    bool own_steps = false;
    std::size_t r = q;
    for (int k = 0; k < kVersionChain; ++k) {
        const std::size_t record = whole(r);
        if (record == 0) return false;
        const std::uint8_t* rh = data_ + r + prefix_;
        if (!familiar(rh[0] >> 5)) return false;
        const std::uint16_t apid = apid_at(rh);
        const std::uint32_t count = ((std::uint32_t{rh[2]} & 0x3FU) << 8) | rh[3];
        if (known(apids, apid)) {
            if (k >= 2) {
                const ApidStats& stats = out_.apid_stats[apid];
                const std::int32_t last = stats.packets != 0 ? stats.last : out_.prior_last[apid];
                const std::uint32_t step = (count - static_cast<std::uint32_t>(last)) & (kSequenceModulus - 1U);
                if (last >= 0 && step == 1U) return true;
            }
        } else if (zero_header(rh)) {
            return false;
        }
        if (k == 0) {
            first_apid = apid;
            first_count = count;
        } else if (apid == first_apid) {
            const std::uint32_t step = (count - first_count) & (kSequenceModulus - 1U);
            own_steps = own_steps || step == 1U;
        }
        r += record;
        if (k >= 3 && own_steps) return true;
    }
    return false;
}

BITLOOM_ALWAYS_INLINE bool Scanner::take(std::size_t p, std::size_t record) noexcept {
    const std::uint8_t* h = data_ + p + prefix_;
    const PrimaryHeader header = read_primary_header(h);
    if (out_.count_only) {
        ++out_.count;
    } else {
        if (out_.count == out_.capacity) {
            // Guess from the bytes left (up to where the caller stops) and
            // this record's size.
            const std::size_t until = std::max(std::min(size_, out_.horizon), p + record);
            if (!out_.grow(out_.count + (until - p) / record + 1)) return false;
        }
        const std::size_t i = out_.count++;
        // Every column's address first: a store through a byte pointer may
        // alias anything, and would make the compiler load the next one again.
        std::int64_t* const offsets = out_.offsets.data();
        std::uint32_t* const lengths = out_.lengths.data();
        std::uint8_t* const version = out_.version.data();
        std::uint8_t* const type = out_.type.data();
        std::uint8_t* const secondary_flag = out_.secondary_flag.data();
        std::uint16_t* const apid = out_.apid.data();
        std::uint8_t* const sequence_flags = out_.sequence_flags.data();
        std::uint16_t* const sequence_count = out_.sequence_count.data();
        std::uint16_t* const data_length = out_.data_length.data();
        offsets[i] = static_cast<std::int64_t>(p + prefix_);
        lengths[i] = header.packet_bytes();
        apid[i] = header.apid;
        sequence_count[i] = header.sequence_count;
        data_length[i] = header.data_length;
        version[i] = header.version;
        type[i] = header.type;
        secondary_flag[i] = header.secondary_flag;
        sequence_flags[i] = header.sequence_flags;
    }
    out_.seen_versions = static_cast<std::uint8_t>(out_.seen_versions | (1U << header.version));
    ApidStats& stats = out_.apid_stats[header.apid];
    if (stats.packets == 0) [[unlikely]] {
        stats.first = header.sequence_count;
        out_.declare(header.apid);
    } else {
        const std::uint32_t step =
            (static_cast<std::uint32_t>(header.sequence_count) - static_cast<std::uint32_t>(stats.last)) &
            (kSequenceModulus - 1U);
        if (step != 1U || out_.open_event[header.apid] != 0) [[unlikely]] {
            if (!out_.add_step(header.apid, step, static_cast<std::int64_t>(p + prefix_))) return false;
        }
    }
    stats.last = header.sequence_count;
    ++stats.packets;
    return true;
}

// The bytes at p are not an accepted record: one problem region from p to
// the next confirmed record (or the end). Returns where scanning goes on.
std::size_t Scanner::resynchronise(std::size_t p) noexcept {
    const std::uint8_t* h = header(p);
    // A tail too short for a header counts as a cut record unless the one
    // header byte it has says otherwise.
    const bool credible =
        size_ - p <= prefix_ || (familiar(data_[p + prefix_] >> 5) && (h == nullptr || !zero_header(h)));
    std::int64_t declared = -1;
    bool fits = false;
    std::uint64_t apids[kApids / 64];
    std::memcpy(apids, out_.seen_apids, sizeof apids);
    bool filter = out_.any_seen;
    if (h != nullptr && credible) {
        const std::size_t record = declared_record(h, prefix_);
        declared = static_cast<std::int64_t>(record);
        fits = record <= size_ - p;
        const std::uint16_t apid = apid_at(h);
        apids[apid >> 6] |= std::uint64_t{1} << (apid & 63U);
        filter = true;
    }
    // Zeros inside the extent that a header at p declares are its data;
    // past it, a run of them is fill, a region of its own.
    const std::size_t own_data = declared >= 0 ? p + static_cast<std::size_t>(declared) : p;
    std::size_t q = p + 1;
    while (q < size_ && (q < own_data || !fill_at(q)) && !confirmed(q, filter ? apids : nullptr)) ++q;
    Problem problem{};
    problem.offset = static_cast<std::int64_t>(p);
    problem.length = static_cast<std::int64_t>(q - p);
    problem.declared = declared;
    if (declared >= 0 && fits) {
        problem.kind = ProblemKind::implausible_length;
    } else if (q < size_) {
        problem.kind = declared >= 0 ? ProblemKind::overrun : ProblemKind::junk;
    } else {
        problem.kind = credible ? ProblemKind::truncated : ProblemKind::junk;
    }
    if (!out_.add_problem(problem)) return SIZE_MAX;
    return q;
}

// The records of a sound stream, from p: each of an allowed, familiar
// version, not all zero, followed by a header of its version that carries
// the very next count of its APID; taken just as run() takes them, in a loop
// small enough to keep its state in registers. Returns where such records
// stop (the first one it leaves to run()), or max() when memory runs out.
std::size_t Scanner::run_sound(std::size_t p, std::size_t stop) noexcept {
    if (out_.broken || options_.fixed_lengths != nullptr) return p;
    const std::uint8_t* const data = data_;
    const std::size_t size = size_;
    const std::size_t prefix = prefix_;
    const unsigned allowed_versions = options_.versions;
    while (p < stop && size - p >= prefix + kPrimaryHeaderBytes) {
        const std::uint8_t* h = data + p + prefix;
        const unsigned version = h[0] >> 5;
        const unsigned familiar_versions = static_cast<unsigned>(out_.seen_versions | 1U) & allowed_versions;
        if (((familiar_versions >> version) & 1U) == 0 || zero_header(h)) break;
        const std::size_t record = declared_record(h, prefix);
        if (record > size - p) break;
        const std::size_t q = p + record;
        if (size - q < prefix + kPrimaryHeaderBytes) break;
        const std::uint8_t* n = data + q + prefix;
        if (((n[0] ^ h[0]) >> 5) != 0 || zero_header(n)) break;
        const std::uint16_t apid = apid_at(n);
        std::uint32_t last = kSequenceModulus;
        if (apid == apid_at(h)) {
            last = ((std::uint32_t{h[2]} & 0x3FU) << 8) | h[3];
        } else if (out_.apid_stats[apid].packets != 0) {
            last = static_cast<std::uint32_t>(out_.apid_stats[apid].last);
        }
        const std::uint32_t count = ((std::uint32_t{n[2]} & 0x3FU) << 8) | n[3];
        if (last == kSequenceModulus || count != ((last + 1U) & (kSequenceModulus - 1U))) break;
        if (!take(p, record)) return std::numeric_limits<std::size_t>::max();
        p = q;
    }
    return p;
}

// NOLINTNEXTLINE(readability-function-cognitive-complexity): one scan step, read best whole
std::size_t Scanner::run(std::size_t start, std::size_t stop) noexcept {
    constexpr std::size_t failed = std::numeric_limits<std::size_t>::max();
    stop = std::min(stop, size_);
    std::size_t p = start;
    while (p < stop) {
        p = run_sound(p, stop);
        if (p == failed) return failed;
        if (p >= stop) break;
        const std::size_t record = whole(p);
        if (record != 0) [[likely]] {
            const std::uint8_t* h = data_ + p + prefix_;
            if (zero_header(h) && fill_at(p)) [[unlikely]] {
                const std::size_t end = fill_end(p);
                const Problem fill{ProblemKind::zero_fill, static_cast<std::int64_t>(p),
                                   static_cast<std::int64_t>(end - p), -1};
                if (!out_.add_problem(fill)) return failed;
                p = end;
                continue;
            }
            const unsigned version = h[0] >> 5;
            const std::size_t q = p + record;
            // Nearly every record of a sound stream: the next header has the
            // version, and carries the very next count of its APID, which
            // continues() and next_in_sequence() would both find.
            if (const std::uint8_t* n = header(q); n != nullptr && !out_.broken && ((n[0] ^ h[0]) >> 5) == 0 &&
                                                   familiar(version) && options_.fixed_lengths == nullptr) [[likely]] {
                const std::uint16_t apid = apid_at(n);
                const ApidStats& stats = out_.apid_stats[apid];
                const std::uint32_t last = apid == apid_at(h)   ? ((std::uint32_t{h[2]} & 0x3FU) << 8) | h[3]
                                           : stats.packets != 0 ? static_cast<std::uint32_t>(stats.last)
                                                                : kSequenceModulus;
                const std::uint32_t count = ((std::uint32_t{n[2]} & 0x3FU) << 8) | n[3];
                if (last != kSequenceModulus && count == ((last + 1U) & (kSequenceModulus - 1U)) && !zero_header(n)) {
                    if (!take(p, record)) return failed;
                    p = q;
                    continue;
                }
            }
            if (out_.broken && !resumes(p)) [[unlikely]] {
                p = resynchronise(p);
                if (p == failed) return failed;
                continue;
            }
            bool goes = familiar(version) && continues(p, q);
            if (!goes || !next_in_sequence(p, q)) [[unlikely]] {
                if (!goes && !familiar(version) && !version_chain(p, true)) {
                    p = resynchronise(p);
                    if (p == failed) return failed;
                    continue;
                }
                // A length that lies long can land on a later packet of the
                // stream, past a gap in its counts: were there packets inside
                // it, chaining to that one?
                const std::size_t inside = swallowed(p, q, goes);
                goes = goes || goes_on(p, q);
                if (inside < q) {
                    const Problem problem{ProblemKind::implausible_length, static_cast<std::int64_t>(p),
                                          static_cast<std::int64_t>(inside - p), static_cast<std::int64_t>(record)};
                    if (!out_.add_problem(problem)) return failed;
                    p = inside;
                    continue;
                }
            }
            if (!take(p, record)) return failed;
            out_.broken = !goes;
            if (!goes && !out_.add_break(static_cast<std::int64_t>(out_.base + out_.count) - 1)) return failed;
            p = q;
            continue;
        }
        p = resynchronise(p);
        if (p == failed) return failed;
    }
    return p;
}

// The header at q carries the very next count of its APID after the record
// at p (or there is nothing to compare it with): no packet can be missing
// between them.
bool Scanner::next_in_sequence(std::size_t p, std::size_t q) const noexcept {
    const std::uint8_t* h = header(q);
    if (h == nullptr) return true;
    const std::uint8_t* own = data_ + p + prefix_;
    const std::uint16_t apid = apid_at(h);
    std::int32_t last = 0;
    if (apid == apid_at(own)) {
        last = static_cast<std::int32_t>(((std::uint32_t{own[2]} & 0x3FU) << 8) | own[3]);
    } else {
        const ApidStats& stats = out_.apid_stats[apid];
        last = stats.packets != 0 ? stats.last : out_.prior_last[apid];
        if (last < 0) return true;
    }
    const std::uint32_t count = ((std::uint32_t{h[2]} & 0x3FU) << 8) | h[3];
    return ((count - static_cast<std::uint32_t>(last)) & (kSequenceModulus - 1U)) == 1U;
}

// What follows the record at p, at q, continues it, or is a header of an
// APID not met before (which confirmed() has vouched for).
bool Scanner::followed(std::size_t p, std::size_t q) const noexcept {
    if (continues(p, q)) return true;
    const std::uint8_t* h = header(q);
    return h != nullptr && familiar(h[0] >> 5) && !known(out_.seen_apids, apid_at(h));
}

// The first position inside the record at p (which ends at q) where a
// record starts that a lying length field would have swallowed: whole, of
// an APID met before carrying its next count, and either (`lands`: q is a
// plausible header) chaining by length to q, or confirmed by the records
// after it and continued by what follows it (of p's APID or one with a few
// packets already when `lands`: a header in the data that a single bogus
// record taken earlier vouches for is no reason to doubt a length that lands
// well); q when there is none. The cheap tests come first: most positions
// fail them.
std::size_t Scanner::swallowed(std::size_t p, std::size_t q, bool lands) const noexcept {
    const std::uint16_t apid = apid_at(data_ + p + prefix_);
    std::uint64_t apids[kApids / 64];
    std::memcpy(apids, out_.seen_apids, sizeof apids);
    apids[apid >> 6] |= std::uint64_t{1} << (apid & 63U);
    for (std::size_t inside = p + 1; inside < q; ++inside) {
        const std::size_t record = whole(inside);
        if (record == 0 || !steps_on(p, inside)) continue;
        if (lands && chains_to(inside, q)) return inside;
        if ((!lands || established(p, inside)) && confirmed(inside, apids) && followed(inside, inside + record)) {
            return inside;
        }
    }
    return q;
}

bool Scanner::established(std::size_t p, std::size_t r) const noexcept {
    const std::uint16_t apid = apid_at(data_ + r + prefix_);
    return apid == apid_at(data_ + p + prefix_) || out_.apid_stats[apid].packets >= kConfirm;
}

// Two all-zero records from r: the record size of a zero header, twice,
// in zero bytes (a prefix included).
bool Scanner::fill_at(std::size_t r) const noexcept {
    const std::size_t twice = 2 * (prefix_ + kPrimaryHeaderBytes + 1);
    if (size_ - r < twice) return false;
    const std::uint8_t* b = data_ + r;
    if ((b[0] | b[prefix_ + 1] | b[prefix_ + 3] | b[prefix_ + 5]) != 0) return false;  // most data fails here
    for (std::size_t i = 0; i < twice; ++i) {
        if (b[i] != 0) return false;
    }
    return true;
}

// Where the zero fill starting at p ends: at the first byte that is not
// zero, or up to a few bytes before it where a confirmed record starts
// (its header's first bytes zero: APIDs below 256, a prefix of zeros),
// keeping two zero records' worth of fill.
std::size_t Scanner::fill_end(std::size_t p) const noexcept {
    std::size_t e = p;
    // Word at a time: runs of padding are long.
    while (size_ - e >= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, data_ + e, 8);
        if (word != 0) break;
        e += 8;
    }
    while (e < size_ && data_[e] == 0) ++e;
    if (e == size_ || confirmed(e, nullptr)) return e;
    const std::size_t least = p + 2 * (prefix_ + kPrimaryHeaderBytes + 1);
    for (std::size_t back = 1; back <= prefix_ + kPrimaryHeaderBytes - 1 && e - back >= least; ++back) {
        if (confirmed(e - back, nullptr) && !zero_header(data_ + e - back + prefix_)) return e - back;
    }
    return e;
}

// The records from r chain by length to exactly q, each of a familiar
// version.
bool Scanner::chains_to(std::size_t r, std::size_t q) const noexcept {
    while (r < q) {
        const std::size_t record = whole(r);
        if (record == 0 || !familiar(data_[r + prefix_] >> 5)) return false;
        r += record;
    }
    return r == q;
}

// The bytes from q to the end, too few for a header, may be a header cut
// short after the record whose header is `own`: none, or a first byte of a
// familiar version (or own's) and, when there, an APID already known.
bool Scanner::tail_after(std::size_t q, const std::uint8_t* own) const noexcept {
    if (size_ - q <= prefix_) return true;
    const std::uint8_t* h = data_ + q + prefix_;
    const unsigned v = h[0] >> 5;
    if (!familiar(v) && v != (own[0] >> 5U)) return false;
    if (size_ - q - prefix_ < 2) return true;
    const std::uint16_t apid = apid_at(h);
    return apid == apid_at(own) || known(out_.seen_apids, apid);
}

// What follows the record at p, at q, continues the stream, or is a header
// of a version not met before whose records chain from there (a stream
// whose records take turns between versions).
bool Scanner::goes_on(std::size_t p, std::size_t q) const noexcept {
    if (continues(p, q)) return true;
    const std::uint8_t* h = header(q);
    return h != nullptr && !familiar(h[0] >> 5) && version_chain(q, true, data_[p + prefix_] >> 5U);
}

// After a record whose successor did not continue the stream, the record at
// p is taken only when something beyond its own header vouches for it: the
// records after it confirm it as a resynchronisation would, or it carries
// one of the next counts of an APID met before, or the header after it is
// of its APID and carries its next count (any weaker tie to what follows is
// met by a bogus 7-byte record in damaged bytes that ends right before a
// real header); and it is not a run of zeros posing as a new APID.
bool Scanner::resumes(std::size_t p) const noexcept {
    const std::uint8_t* h = data_ + p + prefix_;
    const std::uint16_t apid = apid_at(h);
    if (!known(out_.seen_apids, apid) && zero_header(h)) return false;
    if (confirmed(p, nullptr)) return true;
    if (!familiar(h[0] >> 5)) return false;
    const ApidStats& stats = out_.apid_stats[apid];
    const std::int32_t last = stats.packets != 0 ? stats.last : out_.prior_last[apid];
    const std::uint32_t count = ((std::uint32_t{h[2]} & 0x3FU) << 8) | h[3];
    const std::uint32_t step = (count - static_cast<std::uint32_t>(last)) & (kSequenceModulus - 1U);
    if (last >= 0 && step >= 1U && step <= kCloseSteps) return true;
    const std::uint8_t* n = header(p + whole(p));
    return n != nullptr && apid_at(n) == apid && ((n[0] ^ h[0]) >> 5) == 0 && !zero_header(n) &&
           (((((std::uint32_t{n[2]} & 0x3FU) << 8) | n[3]) - count) & (kSequenceModulus - 1U)) == 1U;
}

}  // namespace

std::size_t scan_ccsds(std::span<const std::uint8_t> stream, const ScanOptions& options, std::size_t start,
                       std::size_t stop, ScanOutput& out) noexcept {
    return Scanner(stream, options, out).run(start, stop);
}

}  // namespace bitloom::io
