// One field of one packet: its bounds check, its bits, and its decoded value
// as a native value (no Python object), shared by the single-packet reader
// and the batch reader's general path. Runs without the interpreter.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.hpp"
#include "common/platform.hpp"
#include "io/kernels/layout.hpp"

namespace bitloom::io {

struct NativeValue {
    std::uint64_t raw = 0;     // unsigned value, or the IEEE 754 pattern
    std::int64_t integer = 0;  // signed and decimal values
    double real = 0.0;
    std::string bytes;  // text as UTF-8, or binary bytes
};

// Reads field `f` at bit `position` with width `bits` (the field's own, or
// its dynamic width for this packet) into `out`. Errors in the order the
// packet decoder reports them: the bounds first, then the codec's.
[[nodiscard]] Result<void> read_field(const Layout& layout, const FieldSpec& f, std::span<const std::uint8_t> packet,
                                      std::uint32_t position, std::uint32_t bits, NativeValue& out);

// The integer a field decoded to, for a width taken from it.
[[nodiscard]] inline Wide integer_of(const FieldSpec& f, const NativeValue& v) noexcept {
    return f.value_class == ValueClass::unsigned_int ? Wide::of_unsigned(v.raw) : Wide::of_signed(v.integer);
}

// The width of a dynamic field from its reference's value, or the error that
// fails the packet.
[[nodiscard]] Result<std::uint32_t> dynamic_bits(const Layout& layout, const FieldSpec& f, Wide reference);

}  // namespace bitloom::io
