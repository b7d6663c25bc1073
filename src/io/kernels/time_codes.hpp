// CCSDS time codes read into nanoseconds: the counters of a CUC or CDS code,
// already read as plain unsigned columns, turned into int64 nanoseconds since
// 1970 in one pass, with the epoch, the scaling of the fine fraction and a
// step table (TAI and UTC) applied on the way. No interpreter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bitloom::io {

// A piecewise-constant correction over sorted edges: a time t with `at`
// edges at or below it becomes t + delta[at] and is flagged flag[at]
// (delta and flag have count + 1 entries). TAI to UTC has two edges per
// leap second (its start and its end), so that the second inside is
// flagged.
struct TimeSteps {
    const std::int64_t* edges = nullptr;
    std::size_t count = 0;
    const std::int64_t* delta = nullptr;
    const std::uint8_t* flag = nullptr;
};

enum class TimeCodeKind : std::uint8_t { cuc, cds };

struct TimeCodeSpec {
    TimeCodeKind kind = TimeCodeKind::cuc;
    unsigned fine_bits = 0;  // CUC: bits of binary fraction
    // CUC: nanoseconds per count (1 for counts that are nanoseconds already).
    std::int64_t unit_ns = 1'000'000'000;
    unsigned sub_bits = 0;      // CDS: 0, 16 (microseconds) or 32 (picoseconds)
    bool leap_allowed = false;  // CDS: a millisecond of day in 86,400,000.. is a leap second
    std::int64_t epoch_ns = 0;
    const TimeSteps* steps = nullptr;      // null: none
    const std::uint8_t* pfield = nullptr;  // per value, the P-field read (null: none)
    std::uint8_t pfield_value = 0;
    // Check a block of CDS codes whole before writing any of it, so that a
    // fault leaves the counters as read; otherwise each block is checked as
    // it is converted (one pass), and a fault is reported at its block's start.
    bool keep_faulty_block = true;
};

// Integer columns of 1, 2, 4 or 8 bytes per value (native byte order).
struct TimeCodeInput {
    const void* value = nullptr;
    unsigned value_size = 8;
    bool signed_value = false;  // CUC: int64 counters, negative ones counted as such
    const void* sub = nullptr;  // CDS below the millisecond (null when sub_bits is 0)
    unsigned sub_size = 0;
};

// `ns` may be the value column itself when that holds 8 bytes per value.
struct TimeCodeOutput {
    std::int64_t* ns = nullptr;
    std::uint8_t* leap = nullptr;  // zeros to begin with; null: not wanted
    std::uint16_t* ps = nullptr;   // CDS picoseconds below the nanosecond; null: not wanted
};

enum class TimeFault : std::uint8_t { none, pfield, sub_range, ms_range, leap_on_tai };

struct TimeCodeReport {
    TimeFault fault = TimeFault::none;
    std::size_t at = 0;       // the first faulty value
    std::int64_t latest = 0;  // the largest time before the step correction (n > 0)
};

// Values are converted a block of `time_block` at a time. Unless the form
// says otherwise, each block is checked whole before any of its output is
// written: on a fault the report names the first faulty value, and the
// outputs of its block and of the blocks after it are not written, so the
// inputs from that block on are as they were even when `ns` is the value
// column itself, and the caller can say what was wrong.
inline constexpr std::size_t time_block = std::size_t{1} << 15;

TimeCodeReport convert_time_codes(const TimeCodeSpec& form, const TimeCodeInput& in, const TimeCodeOutput& out,
                                  std::size_t n) noexcept;

}  // namespace bitloom::io
