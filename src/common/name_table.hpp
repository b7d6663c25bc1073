// Compile-time name tables for encoding names and byte orders.
//
// A name is packed into three 64-bit words (up to 24 bytes, zero padded), so
// lowercasing and comparing it are a few word operations, and the tables are
// open-addressing hash tables built at compile time.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace bitloom {

struct NameKey {
    static constexpr std::size_t max_size = 24;
    static constexpr std::uint8_t unmatchable = 0xFF;

    std::array<std::uint64_t, 3> words{};
    std::uint8_t size = 0;  // bytes used, or `unmatchable`

    // Word by word: a wide vector compare would read across the separate
    // word stores that built the key and stall store forwarding.
    constexpr bool operator==(const NameKey& other) const noexcept {
        return words[0] == other.words[0] && words[1] == other.words[1] && words[2] == other.words[2] &&
               size == other.size;
    }
};

// The key of a name exactly as written (for the tables themselves).
[[nodiscard]] consteval NameKey name_key(std::string_view name) {
    NameKey key;
    if (name.size() > NameKey::max_size) throw "table names must fit a NameKey";
    for (std::size_t i = 0; i < name.size(); ++i) {
        key.words[i / 8] |= std::uint64_t{static_cast<unsigned char>(name[i])} << (8 * (i % 8));
    }
    key.size = static_cast<std::uint8_t>(name.size());
    return key;
}

// Fills `key` with ASCII text, A-Z lowercased. Longer text than a key holds
// cannot match any table name.
inline void lowered_ascii_key(std::string_view ascii, NameKey& key) noexcept {
    if (ascii.size() > NameKey::max_size) {
        key.words = {};
        key.size = NameKey::unmatchable;
        return;
    }
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    const std::size_t size = ascii.size();
    for (std::size_t w = 0; w < 3; ++w) {
        const std::size_t begin = 8 * w;
        std::uint64_t word = 0;
        if (begin + 8 <= size) {
            std::memcpy(&word, ascii.data() + begin, 8);
            if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
        } else {
            for (std::size_t i = begin; i < size; ++i) {
                word |= std::uint64_t{static_cast<unsigned char>(ascii[i])} << (8 * (i - begin));
            }
        }
        // Per byte (all below 0x80): high bit of `at_least_a` is set for
        // bytes >= 'A', of `above_z` for bytes > 'Z'; no carries cross bytes.
        const std::uint64_t at_least_a = word + (0x80 - 'A') * ones;
        const std::uint64_t above_z = word + (0x80 - 'Z' - 1) * ones;
        const std::uint64_t upper = at_least_a & ~above_z & (0x80 * ones);
        key.words[w] = word | (upper >> 2);
    }
    key.size = static_cast<std::uint8_t>(size);
}

[[nodiscard]] constexpr std::uint64_t name_hash(const NameKey& key) noexcept {
    return (key.words[0] * 0x9E3779B97F4A7C15ULL) ^ (key.words[1] * 0xC2B2AE3D27D4EB4FULL) ^
           (key.words[2] * 0x165667B19E3779F9ULL) ^ key.size;
}

template <class Value>
struct NameRow {
    std::string_view name;
    Value value;
};

template <class Value, std::size_t A, std::size_t B>
[[nodiscard]] consteval std::array<NameRow<Value>, A + B> concat_rows(const std::array<NameRow<Value>, A>& a,
                                                                      const std::array<NameRow<Value>, B>& b) {
    std::array<NameRow<Value>, A + B> rows{};
    for (std::size_t i = 0; i < A; ++i) rows[i] = a[i];
    for (std::size_t i = 0; i < B; ++i) rows[A + i] = b[i];
    return rows;
}

template <class Value, std::size_t N>
class NameTable {
public:
    using value_type = Value;
    static constexpr std::size_t slot_count = std::bit_ceil(2 * N);

    consteval explicit NameTable(const std::array<NameRow<Value>, N>& rows) {
        for (std::size_t i = 0; i < N; ++i) {
            keys_[i] = name_key(rows[i].name);
            values_[i] = rows[i].value;
            for (std::size_t j = 0; j < i; ++j) {
                if (keys_[j] == keys_[i]) throw "duplicate name in table";
            }
            std::size_t slot = slot_of(keys_[i]);
            while (slots_[slot] != 0) slot = (slot + 1) % slot_count;
            slots_[slot] = static_cast<std::uint8_t>(i + 1);
        }
    }

    [[nodiscard]] constexpr std::optional<Value> find(const NameKey& key) const noexcept {
        for (std::size_t slot = slot_of(key);; slot = (slot + 1) % slot_count) {
            const std::uint8_t row = slots_[slot];
            if (row == 0) return std::nullopt;
            if (keys_[row - 1] == key) return values_[row - 1];
        }
    }

    [[nodiscard]] static constexpr std::size_t size() noexcept { return N; }

private:
    static constexpr std::size_t slot_of(const NameKey& key) noexcept {
        return static_cast<std::size_t>(name_hash(key) >> 40) % slot_count;
    }

    std::array<NameKey, N> keys_{};
    std::array<Value, N> values_{};
    std::array<std::uint8_t, slot_count> slots_{};
};

}  // namespace bitloom
