// Reading recipe items, for both packet directions.
//
// Reading an item is a handful of lookups by exact str key. When every key
// of the dict is an exact str, one pass over the dict (a snapshot) finds all
// the fields at once, which is what a lookup by key would find, since such a
// dict holds at most one key equal to each name and comparing exact strs
// runs no Python code. The snapshot borrows the dict's values, so it can be
// used only while no Python code has run since it was taken.
//
// Python code can run in two places only: converting an object that is not
// of a plain built-in type (an integer field's __index__, a float's
// __float__, a numpy-like boolean's truth slot, a str subclass), and looking
// a key up in a dict whose keys are not all exact strs (their __eq__ and
// __hash__). Every conversion and lookup of a recipe value goes through the
// RecipeReader, which reports such a step in one place
// (RecipeReader::python_may_run): it counts them, a snapshot remembers the
// count it was taken at, and a snapshot whose count is behind is never read.
// Fields an item still needs after such a step are held as references.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "common/codec_names.hpp"
#include "packet/recipe_item.hpp"

namespace bitloom {

// The fields of one item, borrowed from its dict, null where absent.
using ItemFieldValues = std::array<PyObject*, field_count>;

// The fields of one item found by one pass over its dict, borrowed from it.
// Trivial, so that arrays of them cost nothing until written.
struct Snapshot {
    ItemFieldValues values;
    std::uint64_t taken_at;  // the reader's count of possible Python code when taken
    bool complete;           // every key was an exact str
};

// An item's fields as the packet routines use them. Trivial: reading an item
// writes every field it reports as read. The text views are borrowed from
// the dict (read from a current snapshot) or from the reader's held fields.
struct Item {
    TextView name;
    TextView encoding;
    TextView byte_order;
    std::uint32_t bits;
    std::uint32_t offset_bits;
    bool has_offset;
    bool reverse_bits;
    PyObject* value;  // null when absent; only packing reads it
};

// An item in the usual shape, read at once from a current snapshot: every
// field present in its common shape (as read_usual takes it), and the
// encoding and byte order the interned names, so resolved by address (and
// the encoding known to the direction). Trivial. The name and value are
// borrowed from the dict and valid only while the snapshot is current.
struct PlannedItem {
    PyObject* name;      // an exact ASCII str
    PyObject* encoding;  // an interned table name
    PyObject* value;     // packing only
    std::uint32_t bits;
    std::uint32_t offset_bits;
    Codec codec;
    bool has_offset;
    bool reverse_bits;
    bool little;
};

enum class Direction : std::uint8_t { pack, unpack };

// A usual item as an Item, for an error note.
[[nodiscard]] inline Item planned_as_item(const PlannedItem& plan) noexcept {
    auto ascii = [](PyObject* s) {
        return TextView{s, std::string_view(static_cast<const char*>(PyUnicode_DATA(s)),
                                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)))};
    };
    return Item{.name = ascii(plan.name),
                .encoding = ascii(plan.encoding),
                .byte_order = TextView{nullptr, plan.little ? "little" : "big"},
                .bits = plan.bits,
                .offset_bits = plan.offset_bits,
                .has_offset = plan.has_offset,
                .reverse_bits = plan.reverse_bits,
                .value = plan.value};
}

// Which recipe field an exact str key names, if any, when it is not the
// interned key itself.
[[nodiscard]] std::optional<Field> classify_key(const RecipeKeys& keys, PyObject* key) noexcept;

// One pass over an item's dict: the value of each recipe field into
// `values`. False when a key is not an exact str (it may compare equal to a
// field name in ways of its own); `values` is then incomplete. Inline, as
// the packet loops' innermost step.
[[nodiscard]] inline bool scan_fields(PyObject* item, const RecipeKeys& keys, ItemFieldValues& values) noexcept {
    values = {};
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    // Items usually list their keys in the same order as the fields, so the
    // field after the last one found is tried first, then the rest.
    std::size_t next = 0;
    // Nothing changes the dict during the pass, so its size is the number
    // of entries to visit; stopping there saves the call that would only
    // report the end.
    for (Py_ssize_t left = PyDict_GET_SIZE(item); left > 0 && PyDict_Next(item, &pos, &key, &value); --left) {
        std::size_t f = next;
        if (BITLOOM_UNLIKELY(f >= field_count || keys.objects[f] != key)) {
            f = 0;
            while (f < field_count && keys.objects[f] != key) ++f;
            if (f == field_count) {
                if (!PyUnicode_CheckExact(key)) return false;
                if (const auto field = classify_key(keys, key)) values[static_cast<std::size_t>(*field)] = value;
                continue;
            }
        }
        values[f] = value;
        next = f + 1;
    }
    return true;
}

// One pass over an item's dict, the snapshot stamped with `taken_at`.
inline void scan_item(PyObject* item, Snapshot& snapshot, std::uint64_t taken_at) noexcept {
    snapshot.taken_at = taken_at;
    snapshot.complete = scan_fields(item, recipe_keys(), snapshot.values);
}

// How far reading an item got: the fields an error note can name.
enum class ReadProgress : std::uint8_t { nothing, name, encoding, bits };

// The usual shapes of fields, read straight from a snapshot.
namespace usual {

// An exact str whose UTF-8 form is its own storage.
[[nodiscard]] inline bool usual_text(PyObject* obj, TextView& out) noexcept {
    if (obj == nullptr || !PyUnicode_CheckExact(obj) || !PyUnicode_IS_COMPACT_ASCII(obj)) return false;
    out = TextView{obj, std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)))};
    return true;
}

// A small exact int that fits 32 bits.
[[nodiscard]] inline bool usual_u32(PyObject* obj, std::uint32_t& out) noexcept {
    if (obj == nullptr || !PyLong_CheckExact(obj) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
        return false;
    }
    const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    if (v < 0 || v > 0xFFFFFFFF) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

// An exact int of up to 64 bits, read without running Python code: as an
// unsigned value (0 to 2^64 - 1) when `Unsigned`, else as a signed one
// (-2^63 to 2^63 - 1), in `out`'s bits. False for any other object or value.
// 32-bit times, counters and checksums are common values, so ints beyond a
// single digit stay on this path too.
template <bool Unsigned>
[[nodiscard]] inline bool usual_int(PyObject* obj, std::uint64_t& out) noexcept {
    if (!PyLong_CheckExact(obj)) return false;
    auto* const v = reinterpret_cast<PyLongObject*>(obj);
    if (BITLOOM_LIKELY(PyUnstable_Long_IsCompact(v))) {
        const Py_ssize_t c = PyUnstable_Long_CompactValue(v);
        if (Unsigned && c < 0) return false;
        out = static_cast<std::uint64_t>(c);
        return true;
    }
    // An exact int never fails these conversions: overflow is reported in
    // `overflow`, not raised.
    int overflow = 0;
    const long long s = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
        if (Unsigned && s < 0) return false;
        out = static_cast<std::uint64_t>(s);
        return true;
    }
    if (!Unsigned || overflow < 0) return false;
    const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        // 2^64 or more: left for the full conversion, which reports it.
        PyErr_Clear();
        return false;
    }
    out = u;
    return true;
}

// An absent offset_bits, or a usual one.
[[nodiscard]] inline bool usual_offset(PyObject* obj, std::uint32_t& offset, bool& present) noexcept {
    present = obj != nullptr;
    offset = 0;
    return !present || usual_u32(obj, offset);
}

}  // namespace usual

// The per-call state of reading a recipe: the count of steps that may have
// run Python code, the strong references behind items read field by field,
// and the names resolved so far in this call. Nothing is kept between calls.
class RecipeReader {
public:
    RecipeReader() = default;
    RecipeReader(const RecipeReader&) = delete;
    RecipeReader& operator=(const RecipeReader&) = delete;
    ~RecipeReader() = default;

    // One pass over an item's dict.
    void scan(PyObject* item, Snapshot& snapshot) const noexcept { scan_item(item, snapshot, python_steps_); }
    [[nodiscard]] Snapshot scan(PyObject* item) const noexcept {
        Snapshot snapshot;
        scan(item, snapshot);
        return snapshot;
    }
    // Whether a snapshot can still be read: complete, and no Python code may
    // have run since it was taken.
    [[nodiscard]] bool current(const Snapshot& snapshot) const noexcept {
        return snapshot.complete && snapshot.taken_at == python_steps_;
    }

    // Reads name, encoding, bits, byte_order, reverse_bits and offset_bits,
    // in that order (the first problem is the one reported), and `value`
    // when `with_value`. `snapshot` is the item's, current or not.
    [[nodiscard]] Result<void> read_item(PyObject* item, const Snapshot& snapshot, bool with_value, Item& out) {
        if (BITLOOM_LIKELY(read_usual(snapshot, with_value, out))) return {};
        return read_in_order(item, snapshot, with_value, out);
    }
    // Reads bits and offset_bits only (packing's sizing pass).
    [[nodiscard]] Result<void> read_size(PyObject* item, const Snapshot& snapshot, std::uint32_t& bits,
                                         std::optional<std::uint32_t>& offset_bits) {
        if (current(snapshot)) {
            std::uint32_t offset;
            bool present;
            if (usual::usual_u32(snapshot.values[static_cast<std::size_t>(Field::bits)], bits) &&
                usual::usual_offset(snapshot.values[static_cast<std::size_t>(Field::offset_bits)], offset, present)) {
                offset_bits = present ? std::optional<std::uint32_t>(offset) : std::nullopt;
                return {};
            }
        }
        return read_size_in_order(item, snapshot, bits, offset_bits);
    }

    // Reads a usual item from a snapshot that is current (taken since the
    // last step that may have run Python code) in one go, or returns false;
    // nothing is reported then, and the item is read in full.
    [[nodiscard]] static bool plan_usual(const Snapshot& snapshot, Direction direction, PlannedItem& out) noexcept {
        return snapshot.complete && plan_usual(snapshot.values, interned_names(), direction, out);
    }
    // The same from the fields of a complete scan, with the interned names
    // at hand.
    [[nodiscard]] static bool plan_usual(const ItemFieldValues& values, const InternedNames& interned,
                                         Direction direction, PlannedItem& out) noexcept {
        auto at = [&](Field f) { return values[static_cast<std::size_t>(f)]; };
        PyObject* const name = at(Field::name);
        PyObject* const encoding = at(Field::encoding);
        PyObject* const value = at(Field::value);
        PyObject* const reverse_bits = at(Field::reverse_bits);
        Codec codec;
        bool little;
        std::uint32_t bits;
        std::uint32_t offset;
        bool present;
        // A null encoding is refused first: an empty slot of the interned
        // table would match it.
        if (encoding == nullptr || !interned.find_codec(encoding, direction == Direction::pack, codec) ||
            !interned.find_byte_order(at(Field::byte_order), little) ||
            (direction == Direction::pack && value == nullptr) || name == nullptr || !PyUnicode_CheckExact(name) ||
            !PyUnicode_IS_COMPACT_ASCII(name) || (reverse_bits != Py_True && reverse_bits != Py_False) ||
            !usual::usual_u32(at(Field::bits), bits) || !usual::usual_offset(at(Field::offset_bits), offset, present)) {
            return false;
        }
        out = PlannedItem{.name = name,
                          .encoding = encoding,
                          .value = value,
                          .bits = bits,
                          .offset_bits = offset,
                          .codec = codec,
                          .has_offset = present,
                          .reverse_bits = reverse_bits == Py_True,
                          .little = little};
        return true;
    }

    // Converts a recipe value, reporting first whether that may run Python
    // code. Each sets a Python exception when it returns false.
    [[nodiscard]] bool convert_u32(PyObject* obj, std::uint32_t& out);
    [[nodiscard]] bool convert_bool(PyObject* obj, bool& out);
    [[nodiscard]] bool convert_u64(PyObject* obj, std::uint64_t& out);
    [[nodiscard]] bool convert_i64(PyObject* obj, std::int64_t& out);
    [[nodiscard]] bool convert_double(PyObject* obj, double& out);
    [[nodiscard]] bool convert_text(PyObject* obj, std::string_view& out);

    // The one place that records a step that may run Python code.
    void python_may_run() noexcept { ++python_steps_; }

    // How far reading the current item got, for error notes.
    void start_item() noexcept { progress_ = ReadProgress::nothing; }
    [[nodiscard]] ReadProgress progress() const noexcept { return progress_; }
    // What a current snapshot tells of an item that was only sized, for an
    // error note (failure path only).
    [[nodiscard]] ReadProgress describe(const Snapshot& snapshot, Item& out) const noexcept;

    // Holds the item's name, encoding and value by strong references, before
    // a conversion that may run Python code, when they are needed after it.
    void hold(Item& item);

    NameMemo<Codec> codecs;
    NameMemo<ByteOrder> byte_orders;

    // Single fields, in any order: the value as a strong reference (empty
    // when absent), or converted; a missing required field is the
    // missing-field error.
    [[nodiscard]] Result<Ref> lookup(PyObject* item, const Snapshot& snapshot, Field field);
    [[nodiscard]] Result<Ref> required(PyObject* item, const Snapshot& snapshot, Field field);
    [[nodiscard]] Result<TextView> required_text(PyObject* item, const Snapshot& snapshot, Field field,
                                                 TextField& held);
    [[nodiscard]] Result<std::uint32_t> required_u32(PyObject* item, const Snapshot& snapshot, Field field);
    [[nodiscard]] Result<bool> required_bool(PyObject* item, const Snapshot& snapshot, Field field);
    [[nodiscard]] Result<std::optional<std::uint32_t>> optional_u32(PyObject* item, const Snapshot& snapshot,
                                                                    Field field);

private:
    // The usual item, read at once: every field present and in its common
    // shape (names as exact ASCII strs, integers as small ints, reverse_bits
    // True or False, offset_bits absent or a small int), straight from a
    // current snapshot. Anything else is read field by field, in order,
    // which reports the first problem exactly.
    [[nodiscard]] bool read_usual(const Snapshot& snapshot, bool with_value, Item& out) noexcept {
        if (!current(snapshot)) return false;
        auto at = [&](Field f) { return snapshot.values[static_cast<std::size_t>(f)]; };
        PyObject* reverse_bits = at(Field::reverse_bits);
        if (!usual::usual_text(at(Field::name), out.name) || !usual::usual_text(at(Field::encoding), out.encoding) ||
            !usual::usual_u32(at(Field::bits), out.bits) || !usual::usual_text(at(Field::byte_order), out.byte_order) ||
            (reverse_bits != Py_True && reverse_bits != Py_False) ||
            !usual::usual_offset(at(Field::offset_bits), out.offset_bits, out.has_offset)) {
            return false;
        }
        out.reverse_bits = reverse_bits == Py_True;
        out.value = with_value ? at(Field::value) : nullptr;
        progress_ = ReadProgress::bits;
        return true;
    }
    [[nodiscard]] Result<void> read_in_order(PyObject* item, const Snapshot& snapshot, bool with_value, Item& out);
    [[nodiscard]] Result<void> read_size_in_order(PyObject* item, const Snapshot& snapshot, std::uint32_t& bits,
                                                  std::optional<std::uint32_t>& offset_bits);
    void note_conversion(PyObject* obj) noexcept;

    std::uint64_t python_steps_ = 0;
    ReadProgress progress_ = ReadProgress::nothing;
    // The strings and value of the last item read field by field.
    TextField held_name_;
    TextField held_encoding_;
    TextField held_byte_order_;
    Ref held_value_;
};

// One item read field by field, in any order, with a reader of its own (for
// code that compiles a recipe once rather than per call).
class ItemFields {
public:
    explicit ItemFields(PyObject* item) : item_(item), snapshot_(reader_.scan(item)) {}

    [[nodiscard]] Result<Ref> lookup(Field field) { return reader_.lookup(item_, snapshot_, field); }
    [[nodiscard]] Result<TextField> required_text(Field field) {
        TextField held;
        auto text = reader_.required_text(item_, snapshot_, field, held);
        if (!text) return std::unexpected(std::move(text.error()));
        return held;
    }
    [[nodiscard]] Result<std::uint32_t> required_u32(Field field) {
        return reader_.required_u32(item_, snapshot_, field);
    }
    [[nodiscard]] Result<bool> required_bool(Field field) { return reader_.required_bool(item_, snapshot_, field); }
    [[nodiscard]] Result<std::optional<std::uint32_t>> optional_u32(Field field) {
        return reader_.optional_u32(item_, snapshot_, field);
    }

private:
    RecipeReader reader_;
    PyObject* item_;
    Snapshot snapshot_;
};

// Whether converting `obj` runs no Python code: only the plain built-in
// types convert without calling back into Python.
[[nodiscard]] inline bool converts_without_python_code(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return type == &PyLong_Type || type == &PyFloat_Type || type == &PyUnicode_Type || type == &PyBool_Type;
}

// A packet routine's error, with the note that says which item it concerns.
struct PacketError {
    Error error;
    std::string note;
};
template <class T>
using PacketResult = std::expected<T, PacketError>;

// "in recipe item <index> ('<name>', <encoding>, <bits> bits)", naming only
// what `progress` says was read: the note packet errors carry.
[[nodiscard]] std::string item_note(std::size_t index, const Item& item, ReadProgress progress);

}  // namespace bitloom
