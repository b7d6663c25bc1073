#include "args.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace bitloom {

namespace {

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

const char* was_or_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

// Index of the parameter called `name`, or -1. Names are compared byte for
// byte in UTF-8; a name that has no UTF-8 form matches nothing.
int parameter_index(const Signature& sig, PyObject* name) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view wanted(utf8, static_cast<std::size_t>(size));
    for (int i = 0; i < sig.nparams; ++i) {
        if (wanted == sig.params[static_cast<std::size_t>(i)]) return i;
    }
    return -1;
}

}  // namespace

bool match_arguments_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** slots) {
    const int nparams = sig.nparams;
    const int npositional = nparams - sig.nkeyword_only;
    if (nargs > npositional) {
        Message m;
        m << sig.name << "() takes ";
        if (sig.nrequired == npositional) {
            m << npositional;
        } else {
            m << "from " << static_cast<int>(sig.nrequired) << " to " << npositional;
        }
        m << " positional argument" << (npositional == 1 && sig.nkeyword_only > 0 ? "" : "s") << " but " << nargs << ' '
          << was_or_were(nargs) << " given";
        raise_type_error(m.str());
        return false;
    }
    for (int i = 0; i < nparams; ++i) slots[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const int index = parameter_index(sig, name);
        if (index < 0) {
            Ref text = Ref::steal(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", sig.name, name));
            if (text) PyErr_SetObject(PyExc_TypeError, text.get());
            return false;
        }
        if (slots[index] != nullptr) {
            raise_type_error(Message() << sig.name << "() got multiple values for argument '" << sig.params[index]
                                       << "'");
            return false;
        }
        slots[index] = args[nargs + k];
    }

    int missing[std::tuple_size_v<decltype(sig.params)>];
    int nmissing = 0;
    for (int i = 0; i < sig.nrequired; ++i) {
        if (slots[i] == nullptr) missing[nmissing++] = i;
    }
    if (nmissing > 0) {
        Message m;
        m << sig.name << "() missing " << nmissing << " required positional "
          << (nmissing == 1 ? "argument" : "arguments") << ": ";
        for (int j = 0; j < nmissing; ++j) {
            if (j > 0) {
                if (nmissing > 2) m << ',';
                m << (j == nmissing - 1 ? " and " : " ");
            }
            m << '\'' << sig.params[static_cast<std::size_t>(missing[j])] << '\'';
        }
        raise_type_error(m.str());
        return false;
    }
    return true;
}

bool match_tuple_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    // The vectorcall form: positional arguments, then keyword values, with
    // their names in a tuple.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    std::vector<PyObject*> vector(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) vector[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Ref names;
    if (nkw > 0) {
        names = Ref::steal(PyTuple_New(nkw));
        if (!names) return false;
        Py_ssize_t pos = 0;
        Py_ssize_t k = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // The dict is the call's own, made for it: no Python code can change
        // it while it is walked, and its values live as long as the call.
        while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
            vector[static_cast<std::size_t>(nargs + k)] = value;
            ++k;
        }
    }
    return match_arguments_slow(sig, vector.data(), nargs, names.get(), slots);
}

void raise_cast_error(PyObject* obj, const char* target) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (qualname && PyUnicode_Check(qualname.get())) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname.get(), target);
        return;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be cast as '%s'", target);
}

void rewrap_argument_error(const char* param) {
    Ref error = take_pending_exception();
    if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(error.release());
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", param, error.get()));
    if (!message) return;
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(error.get()));
    PyErr_SetRaisedException(replacement.release());
}

bool convert_u64_slow(PyObject* obj, std::uint64_t& out) {
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) return false;
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert_u32_slow(PyObject* obj, std::uint32_t& out) {
    std::uint64_t v;
    if (!convert_u64(obj, v)) return false;
    if (BITLOOM_UNLIKELY(v > 0xFFFFFFFFU)) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool convert_i64_slow(PyObject* obj, std::int64_t& out) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert_u128(PyObject* obj, U128& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    unsigned char buffer[16];
    const Py_ssize_t needed = PyLong_AsNativeBytes(
        index.get(), buffer, sizeof buffer,
        Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER | Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (needed < 0) return false;
    if (needed > static_cast<Py_ssize_t>(sizeof buffer)) {
        PyErr_SetString(PyExc_OverflowError, "Python int larger than 128 bits");
        return false;
    }
    std::uint64_t halves[2];
    std::memcpy(halves, buffer, sizeof buffer);
    if constexpr (std::endian::native == std::endian::little) {
        out = U128{halves[0], halves[1]};
    } else {
        out = U128{halves[1], halves[0]};
    }
    return true;
}

bool convert_double(PyObject* obj, double& out) {
    if (BITLOOM_LIKELY(PyFloat_CheckExact(obj))) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert_float32(PyObject* obj, float& out) {
    double v;
    if (!convert_double(obj, v)) return false;
    out = static_cast<float>(v);
    return true;
}

namespace {

// numpy's boolean scalar types (numpy.bool_ in numpy 1, numpy.bool in
// numpy 2) are accepted wherever a bool is.
bool is_numpy_bool_type(PyTypeObject* type) {
    Ref module = Ref::steal(PyType_GetModuleName(type));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(name.get()) && (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                                           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

bool convert_bool_slow(PyObject* obj, bool& out) {
    if (BITLOOM_LIKELY(obj == Py_True)) {
        out = true;
        return true;
    }
    if (BITLOOM_LIKELY(obj == Py_False)) {
        out = false;
        return true;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (is_numpy_bool_type(type)) {
        const auto truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
        if (truth == nullptr) {
            PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                         reinterpret_cast<PyObject*>(type));
            return false;
        }
        const int v = truth(obj);
        if (v < 0) return false;
        out = v != 0;
        return true;
    }
    raise_cast_error(obj, "bool");
    return false;
}

bool convert_str_slow(PyObject* obj, std::string_view& out) {
    if (BITLOOM_UNLIKELY(!PyUnicode_Check(obj))) {
        raise_cast_error(obj, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_bytes(PyObject* obj, std::span<const std::uint8_t>& out) {
    if (BITLOOM_UNLIKELY(!PyBytes_Check(obj))) {
        raise_cast_error(obj, "bytes");
        return false;
    }
    out = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                                        static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
}

Ref take_pending_exception() {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc != nullptr) return Ref::steal(exc);
    Ref message = Ref::steal(PyUnicode_FromString("attempted to fetch exception but none was set"));
    if (!message) return Ref::steal(PyErr_GetRaisedException());
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_SystemError, message.get()));
    if (!error) return Ref::steal(PyErr_GetRaisedException());
    return error;
}

namespace {

PyObject* exception_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::value_error: return PyExc_ValueError;
        case ErrorKind::key_error: return PyExc_KeyError;
        case ErrorKind::type_error: return PyExc_TypeError;
        case ErrorKind::overflow_error: return PyExc_OverflowError;
        case ErrorKind::not_implemented_error: return PyExc_NotImplementedError;
        case ErrorKind::python_pending: break;
    }
    return nullptr;
}

}  // namespace

PyObject* raise_error(const Error& error) {
    if (error.kind == ErrorKind::python_pending) {
        if (!PyErr_Occurred()) PyErr_SetRaisedException(take_pending_exception().release());
        return nullptr;
    }
    Ref message =
        Ref::steal(PyUnicode_FromStringAndSize(error.message.data(), static_cast<Py_ssize_t>(error.message.size())));
    if (!message) return nullptr;
    // KeyError's str() is the repr of its argument, so it must be given the
    // message as its single argument, not a formatted string.
    PyErr_SetObject(exception_type(error.kind), message.get());
    return nullptr;
}

PyObject* raise_wrapped_packet_error(const Error& error) {
    raise_error(error);
    Ref inner = take_pending_exception();
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(inner.get())));
    if (!type_name) return nullptr;
    Ref text = Ref::steal(PyObject_Str(inner.get()));
    Ref message;
    if (text) {
        message = Ref::steal(PyUnicode_FromFormat("%U: %U", type_name.get(), text.get()));
    } else {
        PyErr_Clear();
        message = Ref::steal(PyUnicode_FromFormat("%U: <exception str() failed>", type_name.get()));
    }
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

void panic(const char* message) { throw std::runtime_error(message); }

}  // namespace bitloom
