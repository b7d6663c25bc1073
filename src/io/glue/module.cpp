// The bitloom_io._native module: its entry point and the table of its parts.
//
// Each part of the module (layouts, and whatever later parts bring) adds its
// own types and functions through one function listed in `parts` below, so
// a new part is a new source file and one more line here.
#include <atomic>
#include <cstdint>

#include "args.hpp"
#include "boundary.hpp"
#include "io/glue/parts.hpp"

namespace bitloom::io {

namespace {

constexpr ModulePart parts[] = {
    {"layout", add_layout_part},
    {"stream", add_stream_part},
    {"time", add_time_part},
    {"xml", add_xml_part},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "bitloom_io._native",
    "Native part of bitloom_io: compiled layouts and their batch kernels.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* cached_module = nullptr;

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "bitloom_io._native does not support sub-interpreters: it can only be imported in the "
                        "interpreter that first imported it");
        return nullptr;
    }
    if (cached_module != nullptr) return Py_NewRef(cached_module);
    Ref module = Ref::steal(PyModule_Create(&module_definition));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
    for (const ModulePart& part : parts) {
        if (!part.add(module.get())) return nullptr;
    }
    cached_module = module.release();
    return Py_NewRef(cached_module);
}

}  // namespace

}  // namespace bitloom::io

// The interpreter looks the entry up by this name.
PyMODINIT_FUNC PyInit__native(void) {  // NOLINT(bugprone-reserved-identifier)
    return bitloom::call_boundary([] { return bitloom::io::initialise(); });
}
