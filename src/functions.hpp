// The published functions: their argument descriptions and method records,
// in registration order (which is also the order of __all__).
#pragma once

#include <span>

#include "args.hpp"
#include "python.hpp"

namespace bitloom {

[[nodiscard]] std::span<PyMethodDef> published_functions() noexcept;

// The argument descriptions of pack_parameters (true) and unpack_parameters.
[[nodiscard]] const Signature& packet_signature(bool pack) noexcept;

// The packet functions, written in packet.cpp.
PyObject* py_pack_parameters(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_unpack_parameters(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace bitloom
