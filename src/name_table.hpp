// Compile-time name tables: rows of (lowercased name, value), sorted once at
// compile time and searched by binary search.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace bitloom {

template <class Value>
struct NameRow {
    std::string_view name;
    Value value;
};

template <class Value, std::size_t N>
[[nodiscard]] consteval std::array<NameRow<Value>, N> sorted_names(std::array<NameRow<Value>, N> rows) {
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return rows;
}

template <class Value, std::size_t N>
[[nodiscard]] constexpr std::optional<Value> find_name(const std::array<NameRow<Value>, N>& sorted,
                                                       std::string_view name) noexcept {
    const auto it = std::lower_bound(sorted.begin(), sorted.end(), name,
                                     [](const NameRow<Value>& row, std::string_view n) { return row.name < n; });
    if (it != sorted.end() && it->name == name) return it->value;
    return std::nullopt;
}

}  // namespace bitloom
