// The batch decoder of compiled layouts on random layouts, buffers and packet
// offsets. Nothing is read outside the buffer (it lives in a heap block of
// its exact size), and the two readers agree: field by field over blocks of
// packets (whole-word loads by plan) and packet by packet (the general
// reader), on which packets fail and on every value of the others.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "io/kernels/batch.hpp"
#include "io/kernels/layout.hpp"
#include "common.hpp"

namespace {

using bitloom::Codec;
using namespace bitloom::io;

constexpr Codec codecs[] = {
    Codec::unsigned_int, Codec::sign_magnitude,    Codec::ones_complement, Codec::twos_complement,
    Codec::unpacked_bcd, Codec::unpacked_bcd_signed, Codec::packed_bcd,    Codec::packed_bcd_signed,
    Codec::ieee754_f16,  Codec::ieee754_f32,       Codec::ieee754_f64,     Codec::ieee754_f128,
    Codec::utf8,         Codec::utf16,             Codec::utf32le,         Codec::us_ascii,
    Codec::iso_8859_1,   Codec::windows_1252,      Codec::ti_f32,
};

std::uint32_t field_bits(fuzz::Reader& in) {
    const std::uint8_t kind = in.byte();
    switch (kind % 8) {
        case 0: return in.byte() % 9;
        case 1: return 8 * (in.byte() % 9);
        case 2: return 60 + in.byte() % 10;
        case 3: return 64 + in.byte() % 80;
        default: return 1 + in.byte() % 64;
    }
}

Layout make_layout(fuzz::Reader& in) {
    Layout layout;
    const std::uint8_t head = in.byte();
    layout.exact = (head & 1) != 0;
    const std::size_t count = 1 + head / 2 % 8;
    for (std::size_t i = 0; i < count; ++i) {
        FieldSpec f;
        f.index = i;
        f.name_utf8 = "f" + std::to_string(in.byte() % 6);  // names repeat sometimes
        const std::uint8_t pick = in.byte();
        const std::uint8_t flags = in.byte();
        if (pick % 10 == 0) {
            f.binary = true;
            f.value_class = ValueClass::binary;
        } else {
            f.codec = codecs[pick % std::size(codecs)];
            f.value_class = value_class_of(f.codec);
        }
        f.bits = field_bits(in);
        if (f.binary) f.bits -= f.bits % 8;
        f.little = (flags & 1) != 0;
        f.reverse = (flags & 2) != 0;
        if (flags & 4) f.offset_bits = in.byte() % 96;
        // A width from an earlier unsigned field.
        if ((flags & 8) && (f.binary || f.value_class == ValueClass::text)) {
            for (std::size_t k = 0; k < layout.fields.size(); ++k) {
                if (layout.fields[k].value_class == ValueClass::unsigned_int) {
                    f.dynamic = DynamicWidth{k, static_cast<std::int8_t>(in.byte()), static_cast<std::int8_t>(in.byte())};
                    break;
                }
            }
        }
        layout.fields.push_back(std::move(f));
    }
    finish_layout(layout);
    return layout;
}

struct Output {
    std::vector<std::vector<std::uint8_t>> numeric;
    std::vector<BytesColumn> bytes;
    std::vector<std::uint8_t> failed;
};

void run(const Layout& layout, const PacketGeometry& g, bool by_packet, Output& out) {
    const std::size_t ncols = layout.column_fields.size();
    out.numeric.assign(ncols, {});
    out.bytes.assign(ncols, {});
    out.failed.assign(g.count, 0);
    UnpackJob job;
    job.layout = &layout;
    job.geometry = g;
    job.by_packet = by_packet;
    job.failed = out.failed.data();
    job.numeric.assign(ncols, nullptr);
    job.bytes.assign(ncols, nullptr);
    for (std::size_t c = 0; c < ncols; ++c) {
        const FieldSpec& f = layout.fields[layout.column_fields[c]];
        if (f.column == ColumnKind::text || f.column == ColumnKind::binary) {
            job.bytes[c] = &out.bytes[c];
        } else {
            out.numeric[c].assign(g.count * column_item_size(f.column) + 1, 0);
            job.numeric[c] = out.numeric[c].data();
        }
    }
    // Every packet in one chunk: the arenas then hold the whole batch.
    job.first = 0;
    job.count = g.count;
    run_unpack(job);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const Layout layout = make_layout(in);

    // Geometry: a stride, or offsets and lengths that may run past the end.
    const std::uint8_t mode = in.byte();
    const std::size_t npackets = in.byte() % 24;
    std::vector<std::int64_t> offsets(npackets), lengths(npackets);
    for (std::size_t i = 0; i < npackets; ++i) {
        offsets[i] = in.byte() % 160;
        lengths[i] = in.byte() % 48;
    }
    const std::uint64_t stride = 1 + in.byte() % 40;
    const auto payload = in.rest();
    std::vector<std::uint8_t> buffer(payload.begin(), payload.end());

    PacketGeometry g;
    g.data = buffer.data();
    g.size = buffer.size();
    switch (mode % 3) {
        case 0:
            g.stride = stride;
            g.count = (g.size + stride - 1) / stride;
            break;
        case 1:
            g.offsets = offsets.data();
            g.lengths = lengths.data();
            g.count = npackets;
            break;
        default:
            g.offsets = offsets.data();
            g.count = npackets;
            break;
    }

    Output by_field, by_packet;
    run(layout, g, false, by_field);
    run(layout, g, true, by_packet);
    FUZZ_CHECK(by_field.failed == by_packet.failed);
    for (std::size_t c = 0; c < layout.column_fields.size(); ++c) {
        FUZZ_CHECK(by_field.numeric[c] == by_packet.numeric[c]);
        const BytesColumn& a = by_field.bytes[c];
        const BytesColumn& b = by_packet.bytes[c];
        for (std::size_t i = 0; i < a.size.size(); ++i) {
            FUZZ_CHECK(a.size[i] == b.size[i]);
            FUZZ_CHECK(std::memcmp(a.arena.data() + a.begin[i], b.arena.data() + b.begin[i], a.size[i]) == 0);
        }
    }
    return 0;
}
