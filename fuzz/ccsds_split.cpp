// The CCSDS stream splitter over raw bytes and over streams built from the
// input (packets with zero, small and maximum lengths, junk between them,
// length fields that lie): every byte belongs to exactly one record or
// problem region, in order; every record is one the rules accept, with the
// header fields of its bytes; each problem region's kind is the one its first
// bytes call for (zero fill all zeros, and no record where fill begins);
// scanning in windows gives the same result as one call, and
// so does scanning pieces cut at records, each from the state the whole scan
// had there. And over clean streams with one length field damaged: every
// intact packet after the damaged one is found.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "io/splitter/stream.hpp"
#include "common.hpp"

namespace {

using bitloom::io::ProblemKind;
using bitloom::io::ScanOptions;
using bitloom::io::ScanOutput;

void put_header(std::vector<std::uint8_t>& s, std::uint16_t apid, std::uint16_t count, std::uint16_t length) {
    s.push_back(static_cast<std::uint8_t>(0x08U | ((apid >> 8) & 7U)));
    s.push_back(static_cast<std::uint8_t>(apid & 0xFFU));
    s.push_back(static_cast<std::uint8_t>(0xC0U | ((count >> 8) & 0x3FU)));
    s.push_back(static_cast<std::uint8_t>(count & 0xFFU));
    s.push_back(static_cast<std::uint8_t>(length >> 8));
    s.push_back(static_cast<std::uint8_t>(length & 0xFFU));
}

// A stream put together from the input's instructions.
std::vector<std::uint8_t> build(fuzz::Reader& in, std::size_t prefix) {
    std::vector<std::uint8_t> s;
    for (int step = 0; step < 24; ++step) {
        const std::uint8_t op = in.byte();
        const std::uint16_t apid = static_cast<std::uint16_t>(in.byte() & 7U);
        std::uint16_t length = 0;
        switch ((op >> 4) % 4) {
            case 0: length = 0; break;
            case 1: length = 0xFFFF; break;
            case 2: length = in.byte(); break;
            default: length = in.integer<std::uint16_t>(); break;
        }
        for (std::size_t k = 0; k < prefix; ++k) s.push_back(0xA5);
        switch (op % 4) {
            case 0:
            case 1:  // a whole packet
                put_header(s, apid, static_cast<std::uint16_t>(step), length);
                s.insert(s.end(), std::size_t{length} + 1U, static_cast<std::uint8_t>(step));
                break;
            case 2: {  // a header whose packet is cut short
                put_header(s, apid, static_cast<std::uint16_t>(step), length);
                const std::size_t present = in.byte();
                s.insert(s.end(), present < std::size_t{length} + 1U ? present : length, 0x00);
                break;
            }
            default: {  // junk
                const auto junk = in.take(in.byte() % 16U);
                s.insert(s.end(), junk.begin(), junk.end());
                break;
            }
        }
    }
    return s;
}

// Pieces cut before records chosen by `cuts`, each scanned alone from the
// state the whole scan had there, find the whole scan's records.
void check_pieces(const std::vector<std::uint8_t>& s, const ScanOptions& options, const ScanOutput& whole,
                  std::span<const std::uint8_t> cuts) {
    if (whole.count == 0) return;
    std::vector<std::size_t> at{0};
    for (const std::uint8_t c : cuts) {
        const std::size_t i = (std::size_t{c} * whole.count) / 256U;
        if (i > at.back()) at.push_back(i);
    }
    std::vector<std::int64_t> found;
    const std::span<const std::uint8_t> data(s);
    for (std::size_t k = 0; k < at.size(); ++k) {
        ScanOutput piece;
        const std::size_t first = at[k];
        std::size_t start = 0;
        if (first != 0) {
            // What the whole scan had met before record `first`.
            for (std::size_t i = 0; i < first; ++i) {
                const std::uint16_t apid = whole.apid.data()[i];
                piece.declare(apid);
                piece.prior_last[apid] = whole.sequence_count.data()[i];
                piece.seen_versions = static_cast<std::uint8_t>(piece.seen_versions | (1U << whole.version.data()[i]));
            }
            for (std::size_t b = 0; b < whole.break_count; ++b) {
                if (whole.breaks.data()[b] == static_cast<std::int64_t>(first) - 1) piece.broken = true;
            }
            start = static_cast<std::size_t>(whole.offsets.data()[first]) - options.prefix_bytes;
        }
        const std::size_t stop = k + 1 < at.size()
                                     ? static_cast<std::size_t>(whole.offsets.data()[at[k + 1]]) - options.prefix_bytes
                                     : s.size();
        std::size_t p = start;
        while (p < stop) p = bitloom::io::scan_ccsds(data, options, p, stop, piece);
        FUZZ_CHECK(p == stop);
        found.insert(found.end(), piece.offsets.data(), piece.offsets.data() + piece.count);
    }
    FUZZ_CHECK(found.size() == whole.count);
    for (std::size_t i = 0; i < whole.count; ++i) FUZZ_CHECK(found[i] == whole.offsets.data()[i]);
}

// A clean stream of packets of a few APIDs, counts going on per APID, data
// of 0xFF bytes; one packet's length field, some packets after one of every
// APID, is then set from the input. Every packet after it must be found, unless
// the lie lands exactly on the start of a later packet (then the packets
// between are taken for its data, as the length says: nothing in the bytes
// tells otherwise).
void check_one_lie(fuzz::Reader& in) {
    std::vector<std::uint8_t> s;
    std::vector<std::size_t> starts;
    std::uint16_t counts[4] = {0, 0, 0, 0};
    const int n = 9 + in.byte() % 40;
    for (int i = 0; i < n; ++i) {
        const std::uint8_t op = static_cast<std::uint8_t>(i < 4 ? (in.byte() & 0xFCU) | i : in.byte());
        const std::uint16_t apid = static_cast<std::uint16_t>(0x123 + (op & 3U));
        const std::uint16_t length = static_cast<std::uint16_t>(in.byte() + ((op & 0x80U) != 0 ? 256U : 0U));
        starts.push_back(s.size());
        put_header(s, apid, counts[op & 3U]++, length);
        s.insert(s.end(), std::size_t{length} + 1U, 0xFF);
    }
    const std::size_t lie = 7 + in.byte() % static_cast<unsigned>(n - 8);
    const std::uint16_t told = in.integer<std::uint16_t>();
    s[starts[lie] + 4] = static_cast<std::uint8_t>(told >> 8);
    s[starts[lie] + 5] = static_cast<std::uint8_t>(told & 0xFFU);
    const std::size_t end = starts[lie] + 7U + told;
    for (const std::size_t start : starts) {
        if (start == end) return;
    }
    s.shrink_to_fit();
    ScanOptions options;
    ScanOutput out;
    const std::span<const std::uint8_t> data(s);
    FUZZ_CHECK(bitloom::io::scan_ccsds(data, options, 0, s.size(), out) == s.size());
    std::size_t r = 0;
    for (std::size_t i = lie + 1; i < starts.size(); ++i) {
        while (r < out.count && static_cast<std::size_t>(out.offsets.data()[r]) < starts[i]) ++r;
        FUZZ_CHECK(r < out.count && static_cast<std::size_t>(out.offsets.data()[r]) == starts[i]);
    }
}

void check(const std::vector<std::uint8_t>& s, std::size_t prefix, std::size_t window,
           std::span<const std::uint8_t> cuts, std::uint8_t versions) {
    ScanOptions options;
    options.prefix_bytes = prefix;
    options.versions = versions;
    ScanOutput out;
    const std::span<const std::uint8_t> data(s);
    const std::size_t end = bitloom::io::scan_ccsds(data, options, 0, s.size(), out);
    FUZZ_CHECK(end == s.size());

    // Records and problems tile the stream.
    const std::size_t zero_records = 2 * (prefix + 7);
    std::size_t p = 0, r = 0, q = 0;
    while (p < s.size()) {
        if (r < out.count && static_cast<std::size_t>(out.offsets.data()[r]) == p + prefix) {
            const std::size_t total = out.lengths.data()[r];
            FUZZ_CHECK(p + prefix + total <= s.size());
            const auto h = bitloom::io::read_primary_header(s.data() + p + prefix);
            FUZZ_CHECK(((options.versions >> h.version) & 1U) != 0);
            FUZZ_CHECK(h.packet_bytes() == total);
            FUZZ_CHECK(out.apid.data()[r] == h.apid && out.sequence_count.data()[r] == h.sequence_count);
            FUZZ_CHECK(out.type.data()[r] == h.type && out.secondary_flag.data()[r] == h.secondary_flag);
            FUZZ_CHECK(out.sequence_flags.data()[r] == h.sequence_flags && out.data_length.data()[r] == h.data_length);
            // Zeros that read as two all-zero records in a row are fill.
            bool zeros = s.size() - p >= zero_records;
            for (std::size_t b = p; zeros && b < p + zero_records; ++b) zeros = s[b] == 0;
            FUZZ_CHECK(!zeros);
            p += prefix + total;
            ++r;
            continue;
        }
        FUZZ_CHECK(q < out.problem_count);
        const auto& problem = out.problems.data()[q];
        FUZZ_CHECK(static_cast<std::size_t>(problem.offset) == p);
        FUZZ_CHECK(problem.length > 0);
        const bool last = p + static_cast<std::size_t>(problem.length) == s.size();
        const auto declared = problem.declared;
        if (problem.kind == ProblemKind::truncated) FUZZ_CHECK(last);
        if (problem.kind == ProblemKind::overrun) {
            FUZZ_CHECK(!last && declared > 0 && static_cast<std::size_t>(declared) > s.size() - p);
        }
        if (problem.kind == ProblemKind::implausible_length) {
            FUZZ_CHECK(declared > 0 && static_cast<std::size_t>(declared) <= s.size() - p);
        }
        if (problem.kind == ProblemKind::junk) FUZZ_CHECK(declared == -1);
        if (problem.kind == ProblemKind::zero_fill) {
            FUZZ_CHECK(declared == -1 && static_cast<std::size_t>(problem.length) >= zero_records);
            for (std::size_t b = p; b < p + static_cast<std::size_t>(problem.length); ++b) FUZZ_CHECK(s[b] == 0);
        }
        if (declared >= 0) {
            const std::size_t header_at = p + prefix;
            FUZZ_CHECK(header_at + 6 <= s.size());
            FUZZ_CHECK(static_cast<std::size_t>(declared) ==
                       prefix + 7U + ((std::size_t{s[header_at + 4]} << 8) | s[header_at + 5]));
        }
        p += static_cast<std::size_t>(problem.length);
        ++q;
    }
    FUZZ_CHECK(p == s.size());
    FUZZ_CHECK(r == out.count);
    FUZZ_CHECK(q == out.problem_count);

    // Sequence counts: a model over the records found. Steps of one kind in
    // a row, per APID, are one event.
    std::vector<std::int64_t> last(bitloom::io::kApids, -1);
    std::vector<std::uint64_t> packets(bitloom::io::kApids, 0);
    std::vector<std::int64_t> open(bitloom::io::kApids, -1);  // the APID's event going on
    std::vector<bitloom::io::SequenceEvent> model;
    for (std::size_t i = 0; i < out.count; ++i) {
        const std::uint16_t apid = out.apid.data()[i];
        const std::int64_t count = out.sequence_count.data()[i];
        const std::int64_t offset = out.offsets.data()[i];
        if (last[apid] >= 0) {
            const std::int64_t step = (count - last[apid] + 16384) % 16384;
            if (step == 1) {
                open[apid] = -1;
            } else {
                const auto kind = step == 0 ? bitloom::io::SequenceEventKind::repeat : bitloom::io::SequenceEventKind::gap;
                const auto missing = static_cast<std::uint64_t>(step == 0 ? 0 : step - 1);
                if (open[apid] >= 0 && model[static_cast<std::size_t>(open[apid])].kind == kind) {
                    auto& ev = model[static_cast<std::size_t>(open[apid])];
                    ++ev.count;
                    ev.missing += missing;
                    ev.last = offset;
                } else {
                    model.push_back({kind, apid, 1U, missing, offset, offset});
                    open[apid] = static_cast<std::int64_t>(model.size()) - 1;
                }
            }
        } else {
            FUZZ_CHECK(out.apid_stats[apid].first == count);
        }
        last[apid] = count;
        ++packets[apid];
    }
    FUZZ_CHECK(model.size() == out.event_count);
    for (std::size_t e = 0; e < model.size(); ++e) {
        const auto& ev = out.events.data()[e];
        FUZZ_CHECK(ev.kind == model[e].kind && ev.apid == model[e].apid && ev.count == model[e].count);
        FUZZ_CHECK(ev.missing == model[e].missing && ev.offset == model[e].offset && ev.last == model[e].last);
    }
    for (std::size_t a = 0; a < bitloom::io::kApids; ++a) {
        FUZZ_CHECK(out.apid_stats[a].packets == packets[a]);
        if (packets[a] != 0) FUZZ_CHECK(out.apid_stats[a].last == last[a]);
    }

    check_pieces(s, options, out, cuts);

    // Windows of any size give the same records and problems.
    if (window == 0) return;
    ScanOutput parts;
    std::size_t at = 0;
    while (at < s.size()) at = bitloom::io::scan_ccsds(data, options, at, at + window, parts);
    FUZZ_CHECK(parts.count == out.count && parts.problem_count == out.problem_count);
    FUZZ_CHECK(parts.event_count == out.event_count);
    for (std::size_t i = 0; i < out.count; ++i) FUZZ_CHECK(parts.offsets.data()[i] == out.offsets.data()[i]);
    for (std::size_t i = 0; i < out.problem_count; ++i) {
        FUZZ_CHECK(parts.problems.data()[i].offset == out.problems.data()[i].offset);
        FUZZ_CHECK(parts.problems.data()[i].kind == out.problems.data()[i].kind);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t mode = in.byte();
    if ((mode & 0xC0U) == 0xC0U) {
        check_one_lie(in);
        return 0;
    }
    const std::size_t prefix = (mode >> 1) % 6U;
    const std::size_t window = in.byte();
    const auto cuts = in.take(in.byte() % 4U);
    // Mostly every version; sometimes version 0 alone.
    const std::uint8_t versions = (mode & 0x20U) != 0 ? 0x01U : 0xFFU;
    // The stream lives in a heap block of its exact size, so any read past
    // its end is caught by the address sanitizer.
    std::vector<std::uint8_t> stream;
    if ((mode & 1U) != 0) {
        stream = build(in, prefix);
    } else {
        const auto raw = in.rest();
        stream.assign(raw.begin(), raw.end());
    }
    stream.shrink_to_fit();
    check(stream, prefix, window, cuts, versions);
    return 0;
}
