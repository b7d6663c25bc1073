// The one place that includes the interpreter's headers, plus the owning
// reference and buffer view wrappers used by the glue.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "common/platform.hpp"

namespace bitloom {

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

// A buffer view, released when it goes out of scope: every buffer the glue
// reads or writes is held through one.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    // False with an exception set when `obj` does not export a buffer.
    [[nodiscard]] bool acquire(PyObject* obj, int flags) {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    [[nodiscard]] void* data() const noexcept { return view_.buf; }
    [[nodiscard]] std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }
    [[nodiscard]] std::size_t itemsize() const noexcept { return static_cast<std::size_t>(view_.itemsize); }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), size()};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace bitloom
