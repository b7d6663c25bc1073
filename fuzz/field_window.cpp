// The decoder's byte window and bit assembly against a bit-by-bit model:
// the window never reaches outside the packet, and the raw value is exactly
// what the byte-order and mirroring rules make of the window's bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/field_window.hpp"
#include "common.hpp"

namespace {

// The assembled value: the first (up to) 8 bytes of the span, big-endian,
// where the span is the window, reversed for a little-endian field.
std::uint64_t model_assemble(std::span<const std::uint8_t> window, bool little) {
    std::vector<std::uint8_t> span(window.begin(), window.end());
    if (little) std::reverse(span.begin(), span.end());
    std::uint64_t a = 0;
    for (std::size_t i = 0; i < span.size() && i < 8; ++i) a = (a << 8) | span[i];
    return a;
}

// Mirroring sets bit (bits-1-i) mod 64 wherever bit i mod 64 is set, for i
// below `bits`; those pairs repeat every 64 steps, so 64 steps say it all.
std::uint64_t model_raw(std::uint64_t a, std::uint32_t bits, bool reverse) {
    if (reverse) {
        std::uint64_t v = 0;
        const std::uint64_t steps = bits < 64 ? bits : 64;
        for (std::uint64_t i = 0; i < steps; ++i) {
            if ((a >> (i % 64)) & 1U) v |= std::uint64_t{1} << ((std::uint64_t{bits} - 1 - i) % 64);
        }
        return v;
    }
    std::uint64_t v = 0;
    for (std::uint32_t i = 0; i < 64 && i < bits; ++i) v |= a & (std::uint64_t{1} << i);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint32_t position = fuzz::interesting_u32(in);
    const std::uint32_t bits = fuzz::interesting_u32(in);
    const std::uint8_t flags = in.byte();
    const bool little = (flags & 1) != 0, reverse = (flags & 2) != 0;
    // The packet lives in a heap block of its exact size, so any read past
    // its end is caught by the address sanitizer.
    const auto payload = in.rest();
    std::vector<std::uint8_t> packet(payload.begin(), payload.end());

    const bitloom::FieldWindow w = bitloom::field_window(position, bits, packet.size());
    FUZZ_CHECK(w.start == position / 8U);
    FUZZ_CHECK(w.count == static_cast<std::uint32_t>(bits + 7U) / 8U);
    FUZZ_CHECK(w.fits == (w.start + w.count <= packet.size()));
    if (!w.fits) return 0;

    const auto window = std::span<const std::uint8_t>(packet).subspan(w.start, w.count);
    const std::uint64_t a = bitloom::assemble_value(window, little);
    FUZZ_CHECK(a == model_assemble(window, little));
    // The packet paths read the window through the packet, in one load
    // where the packet allows it.
    FUZZ_CHECK(bitloom::assemble_field(packet, w, little) == a);
    FUZZ_CHECK(bitloom::raw_field_value(a, bits, reverse) == model_raw(a, bits, reverse));
    // Mirroring a field of up to 64 bits twice gives its bits back.
    if (reverse && bits <= 64 && bits > 0) {
        const std::uint64_t once = bitloom::raw_field_value(a, bits, true);
        FUZZ_CHECK(bitloom::raw_field_value(once, bits, true) == bitloom::raw_field_value(a, bits, false));
    }
    return 0;
}
