// The pieces of a recipe: the recipe sequence itself, the interned keys and
// the plain dict lookup, the missing-field errors, and the names an item
// gives (lowercasing, byte orders, encodings resolved once per call).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "common/codec_names.hpp"
#include "common/error.hpp"
#include "common/name_table.hpp"
#include "python.hpp"

namespace bitloom {

// The recipe keys an item can have.
enum class Field : std::uint8_t { name, encoding, bits, byte_order, reverse_bits, offset_bits, value };
inline constexpr std::size_t field_count = 7;

// Interned key strings, created once per process, indexed by Field. They
// hold no state between calls; they spare every lookup the creation of a key
// object, and let a dict scan recognise the usual keys by address. One cache
// line holds them all.
struct alignas(64) RecipeKeys {
    std::array<PyObject*, field_count> objects;

    [[nodiscard]] PyObject* key(Field field) const noexcept { return objects[static_cast<std::size_t>(field)]; }
};
[[nodiscard]] const RecipeKeys& build_recipe_keys();
inline const RecipeKeys* recipe_keys_built = nullptr;
[[nodiscard]] inline const RecipeKeys& recipe_keys() {
    if (BITLOOM_LIKELY(recipe_keys_built != nullptr)) return *recipe_keys_built;
    return build_recipe_keys();
}

// The recipe as converted from the argument: its items in iteration order.
// An exact list or tuple is first only borrowed: its items can be read in
// place as long as no Python code runs, since only Python code can change
// the list. Before anything that may run Python code, the items are owned:
// copied and held by strong references until the call ends, so that a
// callback changing the list cannot take an item away mid-call.
class RecipeItems {
public:
    // User-provided, so that value-initialisation (as an argument tuple
    // does) leaves the inline slots unwritten: only the first size_ are read.
    // NOLINTNEXTLINE(modernize-use-equals-default,cppcoreguidelines-pro-type-member-init,hicpp-member-init)
    RecipeItems() noexcept {}
    RecipeItems(const RecipeItems&) = delete;
    RecipeItems& operator=(const RecipeItems&) = delete;
    ~RecipeItems() {
        for (PyObject* item : owned()) Py_DECREF(item);
    }
    void reserve(std::size_t n) {
        if (n > inline_capacity) heap_.reserve(n);
    }
    void push_back_owned(PyObject* item) {
        if (heap_.empty() && size_ < inline_capacity) {
            inline_[size_++] = item;
            return;
        }
        try {
            if (heap_.empty()) heap_.assign(inline_, inline_ + size_);
            heap_.push_back(item);
            ++size_;
        } catch (...) {
            Py_DECREF(item);
            throw;
        }
    }
    // Borrows the items of an exact list or tuple (kept alive by the caller
    // for the whole call).
    void borrow(PyObject* sequence) noexcept { borrowed_ = sequence; }

    // The items, read in place when borrowed: valid only until Python code
    // may run.
    [[nodiscard]] std::span<PyObject* const> unowned() const noexcept {
        if (borrowed_ != nullptr) {
            return {PySequence_Fast_ITEMS(borrowed_), static_cast<std::size_t>(PySequence_Fast_GET_SIZE(borrowed_))};
        }
        return owned();
    }
    // The items, held by this object from now on: valid to the end of the
    // call, whatever code runs. Taken while no Python code has run since the
    // conversion, they are the items `unowned()` gave.
    [[nodiscard]] std::span<PyObject* const> view() {
        if (borrowed_ != nullptr) {
            PyObject* sequence = borrowed_;
            borrowed_ = nullptr;
            const auto items = std::span<PyObject* const>(PySequence_Fast_ITEMS(sequence),
                                                          static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence)));
            reserve(items.size());
            for (PyObject* item : items) push_back_owned(Py_NewRef(item));
        }
        return owned();
    }

private:
    [[nodiscard]] std::span<PyObject* const> owned() const noexcept {
        return {heap_.empty() ? inline_ : heap_.data(), size_};
    }

    // Short recipes, the usual case, need no allocation.
    static constexpr std::size_t inline_capacity = 32;
    PyObject* inline_[inline_capacity];
    std::vector<PyObject*> heap_;
    std::size_t size_ = 0;
    PyObject* borrowed_ = nullptr;
};

// The sequence conversion of an argument (a str is refused).
[[nodiscard]] bool convert_sequence(PyObject* obj, RecipeItems& out);

// A str value of an item and its UTF-8 form, borrowed. Trivial.
struct TextView {
    PyObject* object;
    std::string_view utf8;
};

// A str value of an item: the object (kept alive) and its UTF-8 form.
struct TextField {
    Ref object;
    std::string_view utf8;

    [[nodiscard]] TextView view() const noexcept { return {object.get(), utf8}; }
};

[[nodiscard]] std::unexpected<Error> missing_field(std::string_view key);

// The item must be a dict or a dict subclass.
[[nodiscard]] Result<void> refuse_non_dict(PyObject* item);
[[nodiscard]] inline Result<void> require_dict(PyObject* item) {
    if (BITLOOM_LIKELY(PyDict_Check(item))) return {};
    return refuse_non_dict(item);
}

// Looks `key` up with the plain dict lookup (no subclass hooks). Returns the
// value as a strong reference, an empty Ref when absent, or an error.
[[nodiscard]] inline Result<Ref> lookup_field(PyObject* item, PyObject* key) {
    PyObject* value = nullptr;
    if (BITLOOM_UNLIKELY(PyDict_GetItemRef(item, key, &value) < 0)) return python_error();
    return Ref::steal(value);
}

[[nodiscard]] std::string_view field_name(Field field) noexcept;

// Full Unicode lowercasing (as str.lower) of a recipe name; ASCII names are
// lowercased in place without creating objects.
[[nodiscard]] Result<void> lowercase_name(const TextView& text, NameKey& out);

// Remembers the name objects resolved during one call. Recipes usually hold
// the very same str objects ("big", "unsigned") in item after item, so most
// items skip lowercasing and the table lookup. A few slots, picked by the
// object's address, cover recipes that alternate between encodings. The
// objects are kept alive, so their addresses cannot be reused by other
// strings during the call.
template <class Value>
class NameMemo {
public:
    [[nodiscard]] std::optional<Value> recall(PyObject* name) const noexcept {
        const std::size_t set = set_index(name);
        for (std::size_t way = 0; way < ways; ++way) {
            const Slot& slot = slots_[set * ways + way];
            if (name == slot.name.get()) return slot.value;
        }
        return std::nullopt;
    }
    // The newest name takes the set's first way; the one it displaces moves
    // to the second.
    void remember(PyObject* name, Value value) noexcept {
        Slot* set = &slots_[set_index(name) * ways];
        set[1] = std::move(set[0]);
        set[0].name = Ref::borrow(name);
        set[0].value = value;
    }

private:
    struct Slot {
        Ref name;
        Value value{};
    };
    static constexpr std::size_t sets = 4;
    static constexpr std::size_t ways = 2;
    static std::size_t set_index(PyObject* name) noexcept {
        const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name));
        return static_cast<std::size_t>(((address >> 4) * 0x9E3779B97F4A7C15ULL) >> 62);  // 4 sets
    }
    std::array<Slot, sets * ways> slots_{};
};

enum class ByteOrder : std::uint8_t { big, little };

// The names of the name tables as interned strs, created once per process
// like the recipe keys. A recipe written with literals ("unsigned", "big")
// holds these very objects, which then resolve by address, with no
// lowercasing and no table lookup. They hold nothing of any call.
class InternedNames {
public:
    // The codec of an interned table name, if `name` is one (and, when
    // `packing`, one the packing table has). `name` must not be null.
    [[nodiscard]] bool find_codec(PyObject* name, bool packing, Codec& out) const noexcept {
        for (std::size_t slot = slot_of(name);; slot = (slot + 1) % slot_count) {
            const Entry& entry = entries_[slot];
            if (entry.name == name) {
                out = entry.codec;
                return !packing || entry.packs;
            }
            if (entry.name == nullptr) return false;
        }
    }
    [[nodiscard]] bool find_byte_order(PyObject* name, bool& little) const noexcept {
        little = name == little_;
        return little || name == big_;
    }
    [[nodiscard]] std::optional<ByteOrder> byte_order(PyObject* name) const noexcept {
        bool little;
        if (!find_byte_order(name, little)) return std::nullopt;
        return little ? ByteOrder::little : ByteOrder::big;
    }

private:
    friend const InternedNames& build_interned_names();
    static constexpr std::size_t slot_count = 256;
    static std::size_t slot_of(PyObject* name) noexcept {
        const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name));
        return static_cast<std::size_t>(((address >> 4) * 0x9E3779B97F4A7C15ULL) >> 56);
    }
    void add(PyObject* name, Codec codec, bool packs) noexcept;

    // A name with its codec in one place, so that a lookup reads one cache
    // line.
    struct Entry {
        PyObject* name;
        Codec codec;
        bool packs;
    };
    std::array<Entry, slot_count> entries_{};
    PyObject* big_ = nullptr;
    PyObject* little_ = nullptr;
};
[[nodiscard]] const InternedNames& build_interned_names();
inline const InternedNames* interned_names_built = nullptr;
[[nodiscard]] inline const InternedNames& interned_names() {
    if (BITLOOM_LIKELY(interned_names_built != nullptr)) return *interned_names_built;
    return build_interned_names();
}

// "big" or "little" after lowercasing; otherwise the invalid-byte-order error
// that echoes the value as given.
[[nodiscard]] Result<ByteOrder> parse_new_byte_order(const TextView& byte_order, NameMemo<ByteOrder>& memo);
[[nodiscard]] inline Result<ByteOrder> parse_byte_order(const TextView& byte_order, NameMemo<ByteOrder>& memo) {
    if (auto known = interned_names().byte_order(byte_order.object)) [[likely]]
        return *known;
    if (auto known = memo.recall(byte_order.object)) [[likely]]
        return *known;
    return parse_new_byte_order(byte_order, memo);
}

// Resolves an encoding name in `table`, or the unsupported-encoding error
// that echoes the name as given.
template <class Table>
[[gnu::noinline]] Result<typename Table::value_type> resolve_new_encoding(const Table& table, const TextView& encoding,
                                                                          NameMemo<typename Table::value_type>& memo) {
    NameKey lowered;
    if (auto ok = lowercase_name(encoding, lowered); !ok) return std::unexpected(std::move(ok.error()));
    const auto codec = table.find(lowered);
    if (!codec) return value_error(Message() << "Unsupported encoding type: " << encoding.utf8);
    memo.remember(encoding.object, *codec);
    return *codec;
}

template <class Table>
[[nodiscard]] inline Result<Codec> resolve_encoding(const Table& table, const TextView& encoding,
                                                    NameMemo<Codec>& memo) {
    constexpr bool packing = std::is_same_v<Table, std::remove_cvref_t<decltype(pack_codec_names)>>;
    if (Codec known; interned_names().find_codec(encoding.object, packing, known)) [[likely]]
        return known;
    if (auto known = memo.recall(encoding.object)) [[likely]]
        return *known;
    return resolve_new_encoding(table, encoding, memo);
}

}  // namespace bitloom
