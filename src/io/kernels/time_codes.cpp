#include "io/kernels/time_codes.hpp"

#include <algorithm>
#include <cstring>

namespace bitloom::io {

namespace {

constexpr std::int64_t ns_per_second = 1'000'000'000;
constexpr std::int64_t ns_per_day = 86'400 * ns_per_second;
constexpr std::uint64_t ms_per_day = 86'400'000;

// Sums wrap as numpy's int64 arithmetic does, rather than overflow.
constexpr std::int64_t wrap_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
constexpr std::int64_t wrap_mul(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

std::uint64_t load(const void* column, unsigned size, std::size_t i) noexcept {
    switch (size) {
        case 1: return static_cast<const std::uint8_t*>(column)[i];
        case 2: return static_cast<const std::uint16_t*>(column)[i];
        case 4: return static_cast<const std::uint32_t*>(column)[i];
        default: {
            std::uint64_t v = 0;
            std::memcpy(&v, static_cast<const std::uint8_t*>(column) + i * 8, 8);
            return v;
        }
    }
}

// The step a time falls in, remembered between blocks: a file seldom spans
// a step, so a block nearly always lies in the step of the block before.
class StepCursor {
public:
    explicit StepCursor(const TimeSteps& steps) noexcept : steps_(steps) {}

    void find(std::int64_t t) noexcept {
        const std::int64_t* begin = steps_.edges;
        const std::int64_t* end = begin + steps_.count;
        const auto at = static_cast<std::size_t>(std::upper_bound(begin, end, t) - begin);
        lo_ = at == 0 ? INT64_MIN : begin[at - 1];
        hi_ = at == steps_.count ? INT64_MAX : begin[at];
        last_ = at == steps_.count;
        delta_ = steps_.delta[at];
        flag_ = steps_.flag[at];
    }
    [[nodiscard]] bool covers(std::int64_t lo, std::int64_t hi) const noexcept {
        return lo >= lo_ && (hi < hi_ || last_);
    }
    [[nodiscard]] std::int64_t delta() const noexcept { return delta_; }
    [[nodiscard]] std::uint8_t flag() const noexcept { return flag_; }

private:
    const TimeSteps& steps_;
    std::int64_t lo_ = 0;
    std::int64_t hi_ = 0;
    bool last_ = false;
    std::int64_t delta_ = 0;
    std::uint8_t flag_ = 0;
};

// The CUC counter of value i as nanoseconds from the epoch (before it).
template <unsigned Size, bool Signed>
std::int64_t cuc_ns(const void* column, unsigned k, std::uint64_t mask, std::uint64_t unit, std::size_t i) noexcept {
    const std::uint64_t v = load(column, Size, i);
    const std::uint64_t whole = Signed ? static_cast<std::uint64_t>(static_cast<std::int64_t>(v) >> k) : v >> k;
    // Floored to the nanosecond: a step of the code is at least 59.6 ns, so
    // the counter is recovered exactly from the floor.
    return static_cast<std::int64_t>(whole * unit + (((v & mask) * unit) >> k));
}

// Values first to last - 1 from `epoch`, plus `delta`, into ns; the least
// and greatest times from the epoch (before `delta`) widen [lo, hi].
template <unsigned Size, bool Signed>
void cuc_block(const void* column, unsigned k, std::uint64_t unit, std::int64_t epoch, std::int64_t delta,
               std::int64_t* ns, std::size_t first, std::size_t last, std::int64_t& lo, std::int64_t& hi) noexcept {
    const std::uint64_t mask = (std::uint64_t{1} << k) - 1;
    std::int64_t least = lo;
    std::int64_t greatest = hi;
    for (std::size_t i = first; i < last; ++i) {
        const std::int64_t t = wrap_add(cuc_ns<Size, Signed>(column, k, mask, unit, i), epoch);
        least = std::min(least, t);
        greatest = std::max(greatest, t);
        ns[i] = wrap_add(t, delta);
    }
    lo = least;
    hi = greatest;
}

template <unsigned Size, bool Signed>
TimeCodeReport convert_cuc(const TimeCodeSpec& form, const TimeCodeInput& in, const TimeCodeOutput& out,
                           std::size_t n) noexcept {
    TimeCodeReport report;
    std::int64_t latest = INT64_MIN;
    const unsigned k = form.fine_bits;
    const auto unit = static_cast<std::uint64_t>(form.unit_ns);
    const std::int64_t epoch = form.epoch_ns;
    std::int64_t* const ns = out.ns;
    std::uint8_t* const leap = out.leap;
    const std::uint8_t* const pfield = form.pfield;
    const std::uint8_t pfield_value = form.pfield_value;
    const TimeSteps empty;
    StepCursor cursor(form.steps != nullptr ? *form.steps : empty);
    if (form.steps != nullptr && n > 0) {
        cursor.find(wrap_add(cuc_ns<Size, Signed>(in.value, k, (std::uint64_t{1} << k) - 1, unit, 0), epoch));
    }
    for (std::size_t first = 0; first < n; first += time_block) {
        const std::size_t last = std::min(n, first + time_block);
        if (pfield != nullptr) {
            for (std::size_t i = first; i < last; ++i) {
                if (pfield[i] != pfield_value) return {TimeFault::pfield, i, 0};
            }
        }
        // The block is converted with the step of the block before, then
        // value by value should it not lie wholly in that step.
        const std::int64_t delta = cursor.delta();
        std::int64_t lo = INT64_MAX;
        std::int64_t hi = INT64_MIN;
        cuc_block<Size, Signed>(in.value, k, unit, epoch, delta, ns, first, last, lo, hi);
        latest = std::max(latest, hi);
        if (form.steps == nullptr) continue;
        if (cursor.covers(lo, hi)) {
            // The flags start as zeros.
            if (leap != nullptr && cursor.flag() != 0) std::memset(leap + first, cursor.flag(), last - first);
            continue;
        }
        for (std::size_t i = first; i < last; ++i) {
            const std::int64_t t = wrap_add(ns[i], -delta);
            if (!cursor.covers(t, t)) cursor.find(t);
            ns[i] = wrap_add(t, cursor.delta());
            if (leap != nullptr && cursor.flag() != 0) leap[i] = cursor.flag();
        }
    }
    report.latest = latest;
    return report;
}

// The first fault of CDS codes first to last - 1, if any: a P-field
// that differs, a millisecond of day past the day (or inside a leap second
// where there is none), a count below the millisecond past its range.
template <unsigned SubSize>
TimeCodeReport cds_fault(const TimeCodeSpec& form, const TimeCodeInput& in, std::size_t first,
                         std::size_t last) noexcept {
    const std::uint64_t ms_limit = form.leap_allowed ? ms_per_day + 1000 : ms_per_day;
    const std::uint64_t sub_limit = form.sub_bits == 16 ? 1000 : 1'000'000'000;
    bool bad = false;
    for (std::size_t i = first; i < last; ++i) {
        bad |= (load(in.value, 8, i) & 0xFFFF'FFFFU) >= ms_limit;
        if constexpr (SubSize != 0) bad |= load(in.sub, SubSize, i) >= sub_limit;
    }
    if (form.pfield != nullptr) {
        for (std::size_t i = first; i < last; ++i) bad |= form.pfield[i] != form.pfield_value;
    }
    if (!bad) [[likely]] {
        return {};
    }
    for (std::size_t i = first; i < last; ++i) {
        const std::uint64_t ms = load(in.value, 8, i) & 0xFFFF'FFFFU;
        if (form.pfield != nullptr && form.pfield[i] != form.pfield_value) return {TimeFault::pfield, i, 0};
        if (ms >= ms_limit) return {ms < ms_per_day + 1000 ? TimeFault::leap_on_tai : TimeFault::ms_range, i, 0};
        if (SubSize != 0 && load(in.sub, SubSize, i) >= sub_limit) return {TimeFault::sub_range, i, 0};
    }
    return {};
}

// Converts codes first to last - 1; false when one was out of range (then
// what was written of them is of no use). Leap flags are set where true only.
template <unsigned SubSize>
bool convert_cds_block(const TimeCodeSpec& form, const TimeCodeInput& in, const TimeCodeOutput& out, std::size_t first,
                       std::size_t last) noexcept {
    const std::uint64_t ms_limit = form.leap_allowed ? ms_per_day + 1000 : ms_per_day;
    const std::uint64_t sub_limit = form.sub_bits == 16 ? 1000 : 1'000'000'000;
    bool bad = false;
    const std::int64_t epoch = form.epoch_ns;
    const void* const value = in.value;
    const void* const sub = in.sub;
    std::int64_t* const ns = out.ns;
    std::uint8_t* const leap_out = out.leap;
    std::uint16_t* const ps_out = out.ps;
    for (std::size_t i = first; i < last; ++i) {
        const std::uint64_t v = load(value, 8, i);
        const std::uint64_t ms = v & 0xFFFF'FFFFU;
        const bool leap = ms >= ms_per_day;
        bad |= ms >= ms_limit;
        // Inside a leap second: shown as a second 23:59:59, flagged.
        std::int64_t t = wrap_mul(static_cast<std::int64_t>(v >> 32), ns_per_day);
        t = wrap_add(t, (static_cast<std::int64_t>(ms) - (leap ? 1000 : 0)) * 1'000'000);
        if constexpr (SubSize == 2) {
            const std::uint64_t us = load(sub, 2, i);
            bad |= us >= sub_limit;
            t += static_cast<std::int64_t>(us) * 1000;
        } else if constexpr (SubSize == 4) {
            const std::uint64_t ps = load(sub, 4, i);
            bad |= ps >= sub_limit;
            t += static_cast<std::int64_t>(ps / 1000);
            if (ps_out != nullptr) ps_out[i] = static_cast<std::uint16_t>(ps % 1000);
        }
        if (leap && leap_out != nullptr) [[unlikely]] {
            leap_out[i] = 1;
        }
        ns[i] = wrap_add(t, epoch);
    }
    if (form.pfield != nullptr) {
        for (std::size_t i = first; i < last; ++i) bad |= form.pfield[i] != form.pfield_value;
    }
    return !bad;
}

template <unsigned SubSize>
TimeCodeReport convert_cds(const TimeCodeSpec& form, const TimeCodeInput& in, const TimeCodeOutput& out,
                           std::size_t n) noexcept {
    for (std::size_t first = 0; first < n; first += time_block) {
        const std::size_t last = std::min(n, first + time_block);
        if (!form.keep_faulty_block) {
            if (!convert_cds_block<SubSize>(form, in, out, first, last)) return {TimeFault::ms_range, first, 0};
            continue;
        }
        // The whole block is checked before any of it is written.
        const TimeCodeReport fault = cds_fault<SubSize>(form, in, first, last);
        if (fault.fault != TimeFault::none) return fault;
        convert_cds_block<SubSize>(form, in, out, first, last);
    }
    return {};
}

}  // namespace

TimeCodeReport convert_time_codes(const TimeCodeSpec& form, const TimeCodeInput& in, const TimeCodeOutput& out,
                                  std::size_t n) noexcept {
    if (form.kind == TimeCodeKind::cds) {
        if (form.sub_bits == 16) return convert_cds<2>(form, in, out, n);
        if (form.sub_bits == 32) return convert_cds<4>(form, in, out, n);
        return convert_cds<0>(form, in, out, n);
    }
    if (in.signed_value) return convert_cuc<8, true>(form, in, out, n);
    switch (in.value_size) {
        case 1: return convert_cuc<1, false>(form, in, out, n);
        case 2: return convert_cuc<2, false>(form, in, out, n);
        case 4: return convert_cuc<4, false>(form, in, out, n);
        default: return convert_cuc<8, false>(form, in, out, n);
    }
}

}  // namespace bitloom::io
