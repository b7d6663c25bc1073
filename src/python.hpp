// The one place that includes the interpreter's headers, plus the tiny owning
// reference wrapper used by the glue.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace bitloom {

#if defined(__GNUC__)
#define BITLOOM_LIKELY(x) __builtin_expect(static_cast<bool>(x), 1)
#define BITLOOM_UNLIKELY(x) __builtin_expect(static_cast<bool>(x), 0)
#else
#define BITLOOM_LIKELY(x) (x)
#define BITLOOM_UNLIKELY(x) (x)
#endif

// An owned (strong) reference. Null is allowed and means "nothing held".
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

}  // namespace bitloom
