// The Python object behind bitloom_io.Layout, and what the method files
// share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/kernels/layout.hpp"
#include "python.hpp"

namespace bitloom::io {

// The recipe's own objects of one field, kept beside its native description.
struct FieldObjects {
    Ref name;          // an exact str
    Ref encoding;      // as the recipe gives it
    Ref value;         // the default value for packing, or null
    Ref dynamic_spec;  // a plain dict copy of a dynamic width's description
};

// The layout's name objects by address (for values keyed by those objects).
struct NameSlot {
    PyObject* name = nullptr;  // borrowed from the field that holds it
    std::size_t column = 0;
};

[[nodiscard]] inline std::size_t name_slot(PyObject* name) noexcept {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(name) >> 4) * 0x9E3779B97F4A7C15ULL >> 32);
}

// A compiled layout as the Python side holds it: the native layout the
// kernels read, and the objects that Python callers see again.
struct BoundLayout {
    Layout native;
    std::vector<FieldObjects> objects;  // by field index
    std::vector<NameSlot> name_slots;   // open addressing, a power of two
    Ref recipe;                         // a deep copy of the items, as given

    [[nodiscard]] const FieldObjects& of(const FieldSpec& f) const noexcept { return objects[f.index]; }
};

struct LayoutObject {
    PyObject_HEAD BoundLayout* layout;  // owned; null only after the collector cleared the object
};

// Reads, checks and resolves the recipe (already converted to its items).
// The error is what the packet functions would report for the recipe in
// both directions, with the item it concerns.
[[nodiscard]] FieldResult<BoundLayout*> compile_layout(std::span<PyObject* const> items, bool exact);

// unpack_parameters(packet, offset_bits, recipe) with the compiled recipe.
[[nodiscard]] FieldResult<Ref> unpack_packet(const BoundLayout& bound, std::span<const std::uint8_t> packet,
                                             std::uint32_t offset_bits);

// pack_parameters with each item's value replaced by values[name] where
// `values` (a mapping, or null) has that name.
[[nodiscard]] FieldResult<Ref> pack_packet(const BoundLayout& bound, PyObject* values);

// The layout of `self`, or null with an exception set.
[[nodiscard]] const BoundLayout* layout_of(PyObject* self);

// Raises a layout's field error as the packet functions raise their errors
// (ValueError "<type>: <message>"), with `prefix` before the message when
// given and a note naming the field. Returns nullptr.
PyObject* raise_field_error(const Layout& layout, const FieldError& error, const std::string& prefix = {});

// Adds `note` to the exception being raised.
void add_note(const std::string& note);

// The Columns class (a dict subclass with `failures` and `failed`).
[[nodiscard]] PyObject* columns_class();

PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// set_threads(n) and get_threads(): how many threads a batch uses when its
// call does not say (batch_glue.cpp).
PyObject* set_threads(PyObject* module, PyObject* value);
PyObject* get_threads(PyObject* module, PyObject* unused);

}  // namespace bitloom::io
