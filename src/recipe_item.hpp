// Reading recipe items: plain dict lookups by interned key, the shared
// conversions, and the missing-field errors. Both packet directions read
// their items through these helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "error.hpp"
#include "python.hpp"

namespace bitloom {

// Interned key strings, created once per process. They hold no state between
// calls; they only spare every lookup the creation of a key object.
struct RecipeKeys {
    PyObject* name;
    PyObject* encoding;
    PyObject* bits;
    PyObject* byte_order;
    PyObject* reverse_bits;
    PyObject* offset_bits;
    PyObject* value;
};
[[nodiscard]] const RecipeKeys& recipe_keys();

// The recipe as converted from the argument: its items in iteration order,
// each held by a strong reference until the call ends.
class RecipeItems {
public:
    RecipeItems() = default;
    RecipeItems(const RecipeItems&) = delete;
    RecipeItems& operator=(const RecipeItems&) = delete;
    ~RecipeItems() {
        for (PyObject* item : items_) Py_DECREF(item);
    }
    void reserve(std::size_t n) { items_.reserve(n); }
    void push_back_owned(PyObject* item) {
        try {
            items_.push_back(item);
        } catch (...) {
            Py_DECREF(item);
            throw;
        }
    }
    [[nodiscard]] std::span<PyObject* const> view() const noexcept { return items_; }

private:
    std::vector<PyObject*> items_;
};

// The sequence conversion of an argument (a str is refused).
[[nodiscard]] bool convert_sequence(PyObject* obj, RecipeItems& out);

// A str value of an item: the object (kept alive) and its UTF-8 form.
struct TextField {
    Ref object;
    std::string_view utf8;
};

[[nodiscard]] std::unexpected<Error> missing_field(std::string_view key);

// The item must be a dict or a dict subclass.
[[nodiscard]] Result<void> require_dict(PyObject* item);

// Looks `key` up with the plain dict lookup (no subclass hooks). Returns the
// value as a strong reference, an empty Ref when absent, or an error.
[[nodiscard]] inline Result<Ref> lookup_field(PyObject* item, PyObject* key) {
    PyObject* value = nullptr;
    if (BITLOOM_UNLIKELY(PyDict_GetItemRef(item, key, &value) < 0)) return python_error();
    return Ref::steal(value);
}

[[nodiscard]] Result<TextField> required_text(PyObject* item, PyObject* key, std::string_view key_name);
[[nodiscard]] Result<std::uint32_t> required_u32(PyObject* item, PyObject* key, std::string_view key_name);
[[nodiscard]] Result<bool> required_bool(PyObject* item, PyObject* key, std::string_view key_name);
[[nodiscard]] Result<std::optional<std::uint32_t>> optional_u32(PyObject* item, PyObject* key);

// An encoding or byte-order name lowercased for table lookup. Table names are
// short ASCII words, so anything that does not fit the buffer cannot match
// and is kept as "no match".
class LoweredName {
public:
    static constexpr std::size_t capacity = 32;
    [[nodiscard]] std::string_view view() const noexcept { return {buffer_, size_}; }
    void assign_ascii_lower(std::string_view text) noexcept;
    void set_unmatchable() noexcept { size_ = capacity; buffer_[0] = '\0'; unmatchable_ = true; }
    [[nodiscard]] bool unmatchable() const noexcept { return unmatchable_; }

private:
    char buffer_[capacity] = {};
    std::size_t size_ = 0;
    bool unmatchable_ = false;
};

// Full Unicode lowercasing (as str.lower) of a recipe name; ASCII names are
// lowercased in place without creating objects.
[[nodiscard]] Result<LoweredName> lowercase_name(const TextField& text);

enum class ByteOrder : std::uint8_t { big, little };

// "big" or "little" after lowercasing; otherwise the invalid-byte-order error
// that echoes the value as given.
[[nodiscard]] Result<ByteOrder> parse_byte_order(const TextField& byte_order);

}  // namespace bitloom
