// The CCSDS stream splitter over raw bytes and over streams built from the
// input (packets with zero, small and maximum lengths, junk between them,
// length fields that lie): every byte belongs to exactly one record or
// problem region, in order; every record is one the rules accept, with the
// header fields of its bytes; each problem region's kind is the one its first
// bytes call for; and scanning in windows gives the same result as one call.
#include <cstddef>
#include <cstdint>
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

void check(const std::vector<std::uint8_t>& s, std::size_t prefix, std::size_t window) {
    ScanOptions options;
    options.prefix_bytes = prefix;
    ScanOutput out;
    const std::span<const std::uint8_t> data(s);
    const std::size_t end = bitloom::io::scan_ccsds(data, options, 0, s.size(), out);
    FUZZ_CHECK(end == s.size());

    // Records and problems tile the stream.
    std::size_t p = 0, r = 0, q = 0;
    while (p < s.size()) {
        if (r < out.count && static_cast<std::size_t>(out.offsets.data()[r]) == p + prefix) {
            const std::size_t total = out.lengths.data()[r];
            FUZZ_CHECK(p + prefix + total <= s.size());
            const auto h = bitloom::io::read_primary_header(s.data() + p + prefix);
            FUZZ_CHECK(h.version == 0);
            FUZZ_CHECK(h.packet_bytes() == total);
            FUZZ_CHECK(out.apid.data()[r] == h.apid && out.sequence_count.data()[r] == h.sequence_count);
            FUZZ_CHECK(out.type.data()[r] == h.type && out.secondary_flag.data()[r] == h.secondary_flag);
            FUZZ_CHECK(out.sequence_flags.data()[r] == h.sequence_flags && out.data_length.data()[r] == h.data_length);
            p += prefix + total;
            ++r;
            continue;
        }
        FUZZ_CHECK(q < out.problem_count);
        const auto& problem = out.problems.data()[q];
        FUZZ_CHECK(static_cast<std::size_t>(problem.offset) == p);
        FUZZ_CHECK(problem.length > 0);
        const bool last = p + static_cast<std::size_t>(problem.length) == s.size();
        const bool version_zero = s.size() - p <= prefix || (s[p + prefix] >> 5) == 0;
        if (problem.kind == ProblemKind::truncated) FUZZ_CHECK(last && version_zero);
        if (problem.kind == ProblemKind::overrun) FUZZ_CHECK(!last && version_zero && problem.declared > 0);
        if (problem.kind == ProblemKind::junk && last) FUZZ_CHECK(!version_zero);
        if (problem.declared >= 0) FUZZ_CHECK(static_cast<std::size_t>(problem.declared) > s.size() - p);
        p += static_cast<std::size_t>(problem.length);
        ++q;
    }
    FUZZ_CHECK(p == s.size());
    FUZZ_CHECK(r == out.count);
    FUZZ_CHECK(q == out.problem_count);

    // Sequence counts: a model over the records found.
    std::vector<std::int64_t> last(bitloom::io::kApids, -1);
    std::vector<std::uint64_t> packets(bitloom::io::kApids, 0);
    std::size_t e = 0;
    for (std::size_t i = 0; i < out.count; ++i) {
        const std::uint16_t apid = out.apid.data()[i];
        const std::int64_t count = out.sequence_count.data()[i];
        if (last[apid] >= 0) {
            const std::int64_t step = (count - last[apid] + 16384) % 16384;
            if (step != 1) {
                FUZZ_CHECK(e < out.event_count);
                const auto& ev = out.events.data()[e++];
                FUZZ_CHECK(ev.apid == apid && ev.offset == out.offsets.data()[i]);
                FUZZ_CHECK((ev.kind == bitloom::io::SequenceEventKind::repeat) == (step == 0));
                FUZZ_CHECK(ev.missing == (step == 0 ? 0 : step - 1));
            }
        } else {
            FUZZ_CHECK(out.apid_stats[apid].first == count);
        }
        last[apid] = count;
        ++packets[apid];
    }
    FUZZ_CHECK(e == out.event_count);
    for (std::size_t a = 0; a < bitloom::io::kApids; ++a) {
        FUZZ_CHECK(out.apid_stats[a].packets == packets[a]);
        if (packets[a] != 0) FUZZ_CHECK(out.apid_stats[a].last == last[a]);
    }

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
    const std::size_t prefix = (mode >> 1) % 6U;
    const std::size_t window = in.byte();
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
    check(stream, prefix, window);
    return 0;
}
