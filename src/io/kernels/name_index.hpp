// Field names to field indices in one flat table (open addressing, the
// names themselves kept by the fields), so that building a layout of many
// fields takes time linear in their number and touches little memory.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace bitloom::io {

class NameIndex {
public:
    static constexpr std::uint32_t none = 0xFFFFFFFF;

    NameIndex() = default;
    // For up to `names` distinct names (fewer than 2^32 - 1 fields).
    explicit NameIndex(std::size_t names) : slots_(std::bit_ceil(2 * names + 2)) {}

    [[nodiscard]] bool empty() const noexcept { return slots_.empty(); }

    // The entry of `name`: the field index stored for it, or `none` for a
    // name not seen before, which the caller then sets. `name_of(field)`
    // gives the name of a stored field.
    template <class NameOf>
    [[nodiscard]] std::uint32_t& entry(std::string_view name, NameOf name_of) {
        const std::uint64_t full = std::hash<std::string_view>{}(name);
        const auto hash = static_cast<std::uint32_t>(full >> 32);
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(full) & mask;
        while (slots_[i].field != none) {
            if (slots_[i].hash == hash && name_of(slots_[i].field) == name) return slots_[i].field;
            i = (i + 1) & mask;
        }
        slots_[i].hash = hash;
        return slots_[i].field;
    }

private:
    // Eight bytes a slot: the table of a large layout stays small.
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t field = none;
    };
    std::vector<Slot> slots_;
};

}  // namespace bitloom::io
