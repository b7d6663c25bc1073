// The Python object behind bitloom_io.Layout, and what the method files
// share.
#pragma once

#include <string>

#include "io/kernels/layout.hpp"

namespace bitloom::io {

struct LayoutObject {
    PyObject_HEAD Layout* layout;  // owned; null only after the collector cleared the object
};

// The layout of `self`, or null with an exception set.
[[nodiscard]] const Layout* layout_of(PyObject* self);

// Raises a layout's field error as the packet functions raise their errors
// (ValueError "<type>: <message>"), with `prefix` before the message when
// given and a note naming the field. Returns nullptr.
PyObject* raise_field_error(const Layout& layout, const FieldError& error, const std::string& prefix = {});

// Adds `note` to the exception being raised.
void add_note(const std::string& note);

// numpy, imported on first need.
[[nodiscard]] PyObject* numpy_module();

// The Columns class (a dict subclass with `failures` and `failed`).
[[nodiscard]] PyObject* columns_class();

PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace bitloom::io
