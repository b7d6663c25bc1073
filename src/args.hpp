// Argument matching and conversion for the published functions, and the
// helpers that turn deferred errors into Python exceptions.
//
// Every converter returns true on success and false with a Python exception
// set. The plain converters (convert_*) report the bare conversion error; the
// argument converters (arg_*) rewrap an exact TypeError as
// "argument '<name>': <message>".
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/error.hpp"
#include "common/numbers.hpp"
#include "python.hpp"

namespace bitloom {

// The parameters of a function or method: every function of both modules
// matches its arguments through one of these. The last `nkeyword_only`
// parameters are keyword-only (and optional).
struct Signature {
    const char* name;
    const char* doc;  // the signature line, then "--" and an empty line
    std::array<const char*, 11> params;
    std::uint8_t nparams;
    std::uint8_t nrequired;
    std::uint8_t nkeyword_only = 0;
};

// Slow path of matching: keywords, missing or defaulted parameters. Fills
// `slots` (nullptr for an omitted optional parameter).
[[nodiscard]] bool match_arguments_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames, PyObject** slots);

// Matching for calls that come as a tuple and a dict (type initialisers).
[[nodiscard]] bool match_tuple_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Returns the argument vector to read the parameters from, or nullptr with a
// TypeError set. Plain positional calls use the caller's vector as it is.
template <std::size_t N>
[[nodiscard]] inline PyObject* const* match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames, std::array<PyObject*, N>& slots) {
    if (BITLOOM_LIKELY(kwnames == nullptr && nargs == sig.nparams && sig.nkeyword_only == 0)) return args;
    if (!match_arguments_slow(sig, args, nargs, kwnames, slots.data())) return nullptr;
    return slots.data();
}

// Cast error: TypeError "'<type qualname>' object cannot be cast as '<target>'".
void raise_cast_error(PyObject* obj, const char* target);

// Replaces a pending exact TypeError with "argument '<param>': <str(error)>",
// keeping its cause; any other pending exception is left as it is.
void rewrap_argument_error(const char* param);

// Plain conversions, shared with the recipe readers.
[[nodiscard]] bool convert_u64_slow(PyObject* obj, std::uint64_t& out);
[[nodiscard]] inline bool convert_u64(PyObject* obj, std::uint64_t& out) {
    if (BITLOOM_LIKELY(PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj)))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
        if (BITLOOM_LIKELY(v >= 0)) {
            out = static_cast<std::uint64_t>(v);
            return true;
        }
    }
    return convert_u64_slow(obj, out);
}
[[nodiscard]] bool convert_u32_slow(PyObject* obj, std::uint32_t& out);
[[nodiscard]] inline bool convert_u32(PyObject* obj, std::uint32_t& out) {
    if (BITLOOM_LIKELY(PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj)))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
        if (BITLOOM_LIKELY(v >= 0 && v <= 0xFFFFFFFF)) {
            out = static_cast<std::uint32_t>(v);
            return true;
        }
    }
    return convert_u32_slow(obj, out);
}
[[nodiscard]] bool convert_i64_slow(PyObject* obj, std::int64_t& out);
[[nodiscard]] inline bool convert_i64(PyObject* obj, std::int64_t& out) {
    if (BITLOOM_LIKELY(PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj)))) {
        out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
        return true;
    }
    return convert_i64_slow(obj, out);
}
[[nodiscard]] bool convert_u128(PyObject* obj, U128& out);
[[nodiscard]] bool convert_double(PyObject* obj, double& out);
[[nodiscard]] bool convert_float32(PyObject* obj, float& out);
[[nodiscard]] bool convert_bool_slow(PyObject* obj, bool& out);
[[nodiscard]] inline bool convert_bool(PyObject* obj, bool& out) {
    if (BITLOOM_LIKELY(obj == Py_True || obj == Py_False)) {
        out = obj == Py_True;
        return true;
    }
    return convert_bool_slow(obj, out);
}
// A borrowed UTF-8 view of a str.
[[nodiscard]] bool convert_str_slow(PyObject* obj, std::string_view& out);
[[nodiscard]] inline bool convert_str(PyObject* obj, std::string_view& out) {
    if (BITLOOM_LIKELY(PyUnicode_Check(obj) && PyUnicode_IS_COMPACT_ASCII(obj))) {
        // ASCII text is its own UTF-8 form.
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
        return true;
    }
    return convert_str_slow(obj, out);
}
[[nodiscard]] bool convert_bytes(PyObject* obj, std::span<const std::uint8_t>& out);

// Argument conversions: the plain ones plus the argument-name rewrapping.
template <class T, bool (*Convert)(PyObject*, T&)>
[[nodiscard]] inline bool convert_argument(PyObject* obj, const char* param, T& out) {
    if (BITLOOM_LIKELY(Convert(obj, out))) return true;
    rewrap_argument_error(param);
    return false;
}

// Raises a deferred error as its Python exception and returns nullptr.
PyObject* raise_error(const Error& error);

// The interpreter's pending exception, taken out of the error indicator;
// a SystemError if a call failed without setting one.
[[nodiscard]] Ref take_pending_exception();

// Replaces the pending exception (or `error`, when it is not python_pending)
// with ValueError "<type qualname>: <str(exception)>", as the packet
// functions report every failure of their routine. Returns nullptr.
PyObject* raise_wrapped_packet_error(const Error& error);

// Internal failure: unwinds to the call boundary, which raises PanicException.
[[noreturn]] void panic(const char* message);

// A new result object, or an internal failure when the interpreter could not
// create it.
[[nodiscard]] inline PyObject* checked_result(PyObject* obj) {
    if (BITLOOM_UNLIKELY(obj == nullptr)) panic("could not create the result object");
    return obj;
}

}  // namespace bitloom
