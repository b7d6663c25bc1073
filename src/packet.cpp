#include "args.hpp"
#include "boundary.hpp"
#include "functions.hpp"

namespace bitloom {

PyObject* py_pack_parameters(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "pack_parameters: not built yet");
    return nullptr;
}

PyObject* py_unpack_parameters(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "unpack_parameters: not built yet");
    return nullptr;
}

}  // namespace bitloom
