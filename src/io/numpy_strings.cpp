#include "numpy_strings.hpp"

#ifdef BITLOOM_NUMPY_C_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#include <numpy/ndarrayobject.h>
#endif

namespace bitloom::io {

#ifdef BITLOOM_NUMPY_C_API

bool numpy_strings_available() {
    static int state = 0;  // 0 not tried, 1 loaded, -1 not available
    if (state == 0) {
        // numpy 2's API table holds the string functions; an older numpy
        // (refused by the package anyway) or a failed import leaves them out.
        if (PyArray_ImportNumPyAPI() < 0 || PyArray_RUNTIME_VERSION < NPY_2_0_API_VERSION) {
            PyErr_Clear();
            state = -1;
        } else {
            state = 1;
        }
    }
    return state == 1;
}

StringArray::StringArray(PyObject* array) {
    if (!numpy_strings_available() || !PyArray_Check(array)) return;
    auto* arr = reinterpret_cast<PyArrayObject*>(array);
    PyArray_Descr* descr = PyArray_DESCR(arr);
    if (descr->type_num != NPY_VSTRING || PyArray_NDIM(arr) != 1) return;
    data_ = static_cast<char*>(PyArray_DATA(arr));
    stride_ = static_cast<std::size_t>(PyArray_STRIDES(arr)[0]);
    allocator_ = NpyString_acquire_allocator(reinterpret_cast<PyArray_StringDTypeObject*>(descr));
}

StringArray::~StringArray() {
    if (allocator_ != nullptr) NpyString_release_allocator(static_cast<npy_string_allocator*>(allocator_));
}

bool StringArray::set(std::size_t i, std::string_view utf8) noexcept {
    auto* packed = reinterpret_cast<npy_packed_static_string*>(data_ + i * stride_);
    return NpyString_pack(static_cast<npy_string_allocator*>(allocator_), packed, utf8.data(), utf8.size()) == 0;
}

bool StringArray::get(std::size_t i, std::string_view& utf8) noexcept {
    const auto* packed = reinterpret_cast<const npy_packed_static_string*>(data_ + i * stride_);
    npy_static_string s = {0, nullptr};
    if (NpyString_load(static_cast<npy_string_allocator*>(allocator_), packed, &s) != 0) return false;
    utf8 = std::string_view(s.buf == nullptr ? "" : s.buf, s.size);
    return true;
}

#else

bool numpy_strings_available() { return false; }
StringArray::StringArray(PyObject*) {}
StringArray::~StringArray() = default;
bool StringArray::set(std::size_t, std::string_view) noexcept { return false; }
bool StringArray::get(std::size_t, std::string_view&) noexcept { return false; }

#endif

}  // namespace bitloom::io
