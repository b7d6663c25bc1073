// The call boundary around every published function and the module's
// initialisation: C++ exceptions never cross into the interpreter.
#pragma once

#include <exception>

#include "python.hpp"

namespace bitloom {

// Raises PanicException for the exception being handled; terminates the
// process ("uncaught panic at ffi boundary") if even that fails.
PyObject* raise_panic_from_current_exception() noexcept;

// Writes "uncaught panic at ffi boundary" and aborts.
[[noreturn]] void abort_uncaught_panic() noexcept;

template <class Body>
[[nodiscard]] inline PyObject* call_boundary(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return raise_panic_from_current_exception();
    }
}

}  // namespace bitloom
