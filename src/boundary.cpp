#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace bitloom {

namespace {

constexpr const char* generic_panic_message = "native code failed without a message";

constexpr const char* panic_doc =
    "Raised when native code called from Python fails fatally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it normally propagates to the top of the program instead of being\n"
    "caught by a plain 'except Exception'.";

// Created on first need and kept for the life of the process. Every caller
// holds the interpreter lock, which is what makes the check-then-set safe; if
// creating the class ever let another thread in, the loser's class is dropped.
PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        PyObject* created =
            PyErr_NewExceptionWithDoc("bitloom.PanicException", panic_doc, PyExc_BaseException, nullptr);
        if (created == nullptr) return nullptr;
        if (type == nullptr) {
            type = created;
        } else {
            Py_DECREF(created);
        }
    }
    return type;
}

// The message of the exception being handled, or a generic one when it has
// none (an exception of another type, or an empty what()).
const char* message_of_current_exception() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what() != nullptr && e.what()[0] != '\0' ? e.what() : generic_panic_message;
    } catch (...) {
        return generic_panic_message;
    }
}

}  // namespace

void abort_uncaught_panic() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

PyObject* raise_panic_from_current_exception() noexcept {
    try {
        const char* message = message_of_current_exception();
        // Anything half-raised by the failed body is superseded.
        PyErr_Clear();
        PyObject* type = panic_exception_type();
        if (type == nullptr) return nullptr;
        PyErr_SetString(type, message);
        return nullptr;
    } catch (...) {
        abort_uncaught_panic();
    }
}

}  // namespace bitloom
