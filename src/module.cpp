// The module's one exported symbol, PyInit_bitloom: single-phase
// initialisation that builds the module once per process and hands the same
// object back on every later initialisation.
#include <atomic>
#include <cstdint>

#include "args.hpp"
#include "boundary.hpp"
#include "functions.hpp"
#include "python.hpp"

namespace bitloom {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "bitloom",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods: added one by one after creation
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

// The interpreter that first initialised the module; -1 until then.
std::atomic<std::int64_t> owning_interpreter{-1};

// The built module, kept for the life of the process.
PyObject* cached_module = nullptr;

// Creates the function object, appends its __name__ to __all__ and sets it
// as a module attribute.
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    Ref function = Ref::steal(PyCMethod_New(def, module, module_name, nullptr));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    PyObject* dict = PyModule_GetDict(module);
    PyObject* all_raw = nullptr;
    if (PyDict_GetItemStringRef(dict, "__all__", &all_raw) < 0) return false;
    Ref all = Ref::steal(all_raw);
    if (!all) {
        all = Ref::steal(PyList_New(0));
        if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), name.get()) < 0) {
        panic("could not append __name__ to __all__");
    }
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* build_module() {
    Ref module = Ref::steal(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
    // The package's version, as the build was given it.
    if (PyModule_AddStringConstant(module.get(), "__version__", BITLOOM_VERSION) < 0) return nullptr;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    for (PyMethodDef& def : published_functions()) {
        if (!add_function(module.get(), module_name.get(), &def)) return nullptr;
    }
    return module.release();
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        PyErr_SetRaisedException(take_pending_exception().release());
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "bitloom does not support sub-interpreters: it can only be imported in the interpreter "
                        "that first imported it");
        return nullptr;
    }
    if (cached_module == nullptr) {
        // The import machinery holds the module's import lock and the
        // interpreter lock here, so only one thread builds it.
        PyObject* module = build_module();
        if (module == nullptr) return nullptr;
        cached_module = module;
    }
    return Py_NewRef(cached_module);
}

}  // namespace

}  // namespace bitloom

PyMODINIT_FUNC PyInit_bitloom(void) {
    return bitloom::call_boundary([] { return bitloom::initialise(); });
}
