// A stand-alone module holding the splitter until it joins bitloom_io._native.
#include "io/stream_glue.hpp"
#include "python.hpp"

namespace {
PyModuleDef stream_module = {
    PyModuleDef_HEAD_INIT, "bitloom_io._stream", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit__stream() {  // NOLINT(bugprone-reserved-identifier)
    PyObject* m = PyModule_Create(&stream_module);
    if (m == nullptr) return nullptr;
    if (bitloom::io::add_stream_functions(m) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
