// The builder's bit placement against a bit-by-bit model: every packet bit
// inside the field's (wrapping, 32-bit) run gets the right source bit, every
// other packet bit is left alone, and nothing outside the buffer is touched.
// The byte form of a numeric field is checked against its definition too.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "encoder/bit_placement.hpp"
#include "encoder/integer.hpp"
#include "common.hpp"

namespace {

constexpr std::size_t kGuard = 16;
constexpr std::uint8_t kGuardByte = 0xA5;

unsigned bit_of(std::span<const std::uint8_t> bytes, std::uint64_t n) { return (bytes[n / 8] >> (7 - n % 8)) & 1U; }

// What placing `bits` bits of `form` at `position` must leave in `before`.
std::vector<std::uint8_t> model_place(std::vector<std::uint8_t> packet, std::uint32_t position,
                                      std::span<const std::uint8_t> form, std::uint32_t bits) {
    const std::uint64_t total = 8 * form.size();
    const std::uint64_t source_start = total >= bits ? total - bits : 0;
    for (std::uint64_t t = 0; t < 8 * packet.size(); ++t) {
        const std::uint32_t i = static_cast<std::uint32_t>(t) - position;  // wraps like positions do
        if (i >= bits) continue;
        const std::uint64_t s = source_start + i;
        const unsigned bit = s < total ? bit_of(form, s) : 0U;
        const auto mask = static_cast<std::uint8_t>(0x80U >> (t % 8));
        packet[t / 8] = bit ? static_cast<std::uint8_t>(packet[t / 8] | mask)
                            : static_cast<std::uint8_t>(packet[t / 8] & ~mask);
    }
    return packet;
}

// A packet buffer with guard bytes on both sides.
struct GuardedPacket {
    std::vector<std::uint8_t> storage;
    std::size_t size;
    GuardedPacket(std::span<const std::uint8_t> contents) : storage(contents.size() + 2 * kGuard, kGuardByte), size(contents.size()) {
        std::copy(contents.begin(), contents.end(), storage.begin() + kGuard);
    }
    std::span<std::uint8_t> packet() { return {storage.data() + kGuard, size}; }
    bool guards_intact() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (storage[i] != kGuardByte || storage[kGuard + size + i] != kGuardByte) return false;
        }
        return true;
    }
};

void check_byte_form(std::uint64_t value, std::uint32_t bits, bool reverse) {
    const std::string form = bitloom::encode_integer_to_bytes(value, bits, reverse);
    FUZZ_CHECK(form.size() == (std::uint64_t{bits} + 7) / 8);
    std::uint64_t v = value;
    if (reverse) {
        v = 0;
        for (std::uint32_t i = 0; i < bits; ++i) {
            if ((value >> i) & 1U) v |= std::uint64_t{1} << (bits - 1 - i);
        }
    }
    for (std::size_t k = 0; k < form.size(); ++k) {
        const auto want = static_cast<std::uint8_t>(v >> (8 * (form.size() - 1 - k)));
        FUZZ_CHECK(static_cast<std::uint8_t>(form[k]) == want);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t mode = in.byte();
    const std::uint32_t position = fuzz::interesting_u32(in);
    const std::uint8_t packet_size = in.byte() % 48;
    const auto initial = in.take(packet_size);
    std::vector<std::uint8_t> before(initial.begin(), initial.end());
    before.resize(packet_size, 0x5C);

    GuardedPacket guarded(before);
    if (mode & 1) {
        // A numeric field: the low `bits` bits of a 64-bit pattern.
        const std::uint32_t bits = fuzz::interesting_u32(in) % 65U;
        const std::uint64_t field = in.integer<std::uint64_t>();
        bitloom::place_field_bits(guarded.packet(), position, field, bits);
        std::uint8_t form[8];
        for (int k = 0; k < 8; ++k) form[k] = static_cast<std::uint8_t>(field >> (56 - 8 * k));
        const auto want = model_place(before, position, form, bits);
        FUZZ_CHECK(std::equal(want.begin(), want.end(), guarded.packet().begin()));
        check_byte_form(field, bits, (mode & 2) != 0);
    } else {
        // A byte form of any length, any width (text fields cut or padded).
        const std::uint32_t bits = fuzz::interesting_u32(in);
        const auto form = in.rest();
        bitloom::place_form_bits(guarded.packet(), position, form, bits);
        const auto want = model_place(before, position, form, bits);
        FUZZ_CHECK(std::equal(want.begin(), want.end(), guarded.packet().begin()));
    }
    FUZZ_CHECK(guarded.guards_intact());
    return 0;
}
