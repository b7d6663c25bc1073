// Python glue of the time-code kernel: `convert_time_codes`, which
// bitloom_io.timecodes calls on the columns a layout has just read.
#include <array>
#include <cstdint>

#include "boundary.hpp"
#include "io/glue/parts.hpp"
#include "io/glue/time_glue.hpp"

namespace bitloom::io {

namespace {

// A C-contiguous array of `n` values of `size` bytes (n taken from it when
// `n` is SIZE_MAX); None gives no view.
bool column_view(PyObject* obj, BufferView& view, bool writable, const char* what, std::size_t& n, std::size_t size,
                 bool& given) {
    given = obj != Py_None;
    if (!given) return true;
    if (!view.acquire(obj, PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0))) return false;
    const std::size_t itemsize = view.itemsize();
    if (size != 0 && itemsize != size) {
        PyErr_Format(PyExc_ValueError, "%s: %zu bytes per value, not %zu", what, itemsize, size);
        return false;
    }
    if (itemsize == 0 || view.size() % itemsize != 0) {
        PyErr_Format(PyExc_ValueError, "%s: not an array of fixed-size values", what);
        return false;
    }
    const std::size_t count = view.size() / itemsize;
    if (n == SIZE_MAX) n = count;
    if (count != n) {
        PyErr_Format(PyExc_ValueError, "%s: %zu values for %zu times", what, count, n);
        return false;
    }
    return true;
}

bool read_int64(PyObject* obj, std::int64_t& out) {
    const long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

}  // namespace

bool read_time_spec(PyObject* const* numbers_in, TimeCodeSpec& form, bool& signed_value) {
    std::array<std::int64_t, 5> numbers{};  // kind, bits, epoch_ns, leap_allowed, pfield_value
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (!read_int64(numbers_in[i], numbers[i])) return false;
    }
    if (numbers[0] < 0 || numbers[0] > 3 || numbers[1] < 0 || numbers[1] > 32 || numbers[4] < 0 || numbers[4] > 0xFF) {
        PyErr_SetString(PyExc_ValueError, "convert_time_codes: kind, bits or P-field out of range");
        return false;
    }
    form.kind = numbers[0] == 1 ? TimeCodeKind::cds : TimeCodeKind::cuc;
    signed_value = numbers[0] >= 2;
    if (numbers[0] == 3) {
        // Counts of nanoseconds.
        form.unit_ns = 1;
        if (numbers[1] != 0) {
            PyErr_SetString(PyExc_ValueError, "convert_time_codes: nanosecond counts have no fraction");
            return false;
        }
    }
    if (form.kind == TimeCodeKind::cuc) {
        form.fine_bits = static_cast<unsigned>(numbers[1]);
        if (form.fine_bits > 32) {
            PyErr_SetString(PyExc_ValueError, "convert_time_codes: a fraction has at most 32 bits");
            return false;
        }
    } else {
        form.sub_bits = static_cast<unsigned>(numbers[1]);
        if (form.sub_bits != 0 && form.sub_bits != 16 && form.sub_bits != 32) {
            PyErr_SetString(PyExc_ValueError, "convert_time_codes: CDS has 0, 16 or 32 bits below the ms");
            return false;
        }
    }
    form.epoch_ns = numbers[2];
    form.leap_allowed = numbers[3] != 0;
    form.pfield_value = static_cast<std::uint8_t>(numbers[4]);
    return true;
}

bool read_time_steps(PyObject* obj, TimeSteps& steps, std::array<BufferView, 3>& views) {
    if (obj == Py_None) return true;
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 3) {
        PyErr_SetString(PyExc_TypeError, "convert_time_codes: steps are (edges, delta, flag) or None");
        return false;
    }
    bool given = false;
    std::size_t edges = SIZE_MAX;
    if (!column_view(PyTuple_GET_ITEM(obj, 0), views[0], false, "edges", edges, 8, given)) return false;
    std::size_t entries = edges + 1;
    if (!column_view(PyTuple_GET_ITEM(obj, 1), views[1], false, "delta", entries, 8, given) ||
        !column_view(PyTuple_GET_ITEM(obj, 2), views[2], false, "flag", entries, 1, given)) {
        return false;
    }
    steps.edges = static_cast<const std::int64_t*>(views[0].data());
    steps.count = edges;
    steps.delta = static_cast<const std::int64_t*>(views[1].data());
    steps.flag = static_cast<const std::uint8_t*>(views[2].data());
    return true;
}

namespace {

// NOLINTNEXTLINE(readability-function-cognitive-complexity): argument checks, then one call of the kernel
PyObject* convert_time_codes_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return call_boundary([&]() -> PyObject* {
        if (nargs != 12) {
            PyErr_Format(PyExc_TypeError, "convert_time_codes takes 12 arguments (%zd given)", nargs);
            return nullptr;
        }
        TimeCodeSpec form;
        bool signed_value = false;
        const std::array<PyObject*, 5> numbers{args[0], args[1], args[2], args[3], args[8]};
        if (!read_time_spec(numbers.data(), form, signed_value)) return nullptr;
        std::size_t n = SIZE_MAX;
        bool given = false;
        BufferView value;
        if (!column_view(args[5], value, false, "value", n, 0, given)) return nullptr;
        if (!given ||
            (value.itemsize() != 1 && value.itemsize() != 2 && value.itemsize() != 4 && value.itemsize() != 8) ||
            ((signed_value || form.kind == TimeCodeKind::cds) && value.itemsize() != 8)) {
            PyErr_SetString(PyExc_ValueError, "convert_time_codes: value is an array of 1, 2, 4 or 8-byte integers");
            return nullptr;
        }
        TimeCodeInput in;
        in.value = value.data();
        in.value_size = static_cast<unsigned>(value.itemsize());
        in.signed_value = signed_value;
        BufferView sub;
        if (!column_view(args[6], sub, false, "sub", n, form.sub_bits / 8, given)) return nullptr;
        if (given != (form.sub_bits != 0)) {
            PyErr_SetString(PyExc_ValueError,
                            "convert_time_codes: sub is given exactly when CDS has bits below the ms");
            return nullptr;
        }
        in.sub = given ? sub.data() : nullptr;
        in.sub_size = form.sub_bits / 8;
        BufferView pfield;
        if (!column_view(args[7], pfield, false, "pfield", n, 1, given)) return nullptr;
        form.pfield = given ? static_cast<const std::uint8_t*>(pfield.data()) : nullptr;

        TimeSteps steps;
        std::array<BufferView, 3> step_views;
        if (!read_time_steps(args[4], steps, step_views)) return nullptr;
        if (args[4] != Py_None) form.steps = &steps;

        TimeCodeOutput out;
        BufferView ns;
        if (!column_view(args[9], ns, true, "ns", n, 8, given)) return nullptr;
        if (!given) {
            PyErr_SetString(PyExc_ValueError, "convert_time_codes: ns is an int64 array");
            return nullptr;
        }
        out.ns = static_cast<std::int64_t*>(ns.data());
        BufferView leap;
        if (!column_view(args[10], leap, true, "leap", n, 1, given)) return nullptr;
        out.leap = given ? static_cast<std::uint8_t*>(leap.data()) : nullptr;
        BufferView ps;
        if (!column_view(args[11], ps, true, "ps", n, 2, given)) return nullptr;
        out.ps = given ? static_cast<std::uint16_t*>(ps.data()) : nullptr;

        TimeCodeReport report;
        Py_BEGIN_ALLOW_THREADS;
        report = convert_time_codes(form, in, out, n);
        Py_END_ALLOW_THREADS;
        return Py_BuildValue("(inL)", static_cast<int>(report.fault), static_cast<Py_ssize_t>(report.at),
                             static_cast<long long>(report.latest));
    });
}

PyMethodDef time_methods[] = {
    {"convert_time_codes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert_time_codes_py)),
     METH_FASTCALL,
     "convert_time_codes($module, kind, bits, epoch_ns, leap_allowed, steps, value, sub, pfield, pfield_value, ns, "
     "leap, ps, /)\n--\n\n"
     "-> (fault, at, latest): CUC (kind 0, or 2 for int64 counters, 3 for int64 counts of nanoseconds; bits the "
     "fine fraction's) or CDS (kind 1, bits 0, "
     "16 or 32 below the "
     "millisecond) counters, read as unsigned columns, into int64 ns since 1970 (ns may be value itself when that "
     "holds 8-byte values); steps (edges, delta, flag) correct each time by its step and give leap (all False to begin "
     "with) its flag. "
     "fault: 0 none, 1 P-field, 2 below the millisecond, 3 millisecond of day, 4 second 60 on TAI; at: the first "
     "faulty value, whose block of 32768 and every later one are left unwritten; latest: the largest time before "
     "the steps."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_time_part(PyObject* module) { return PyModule_AddFunctions(module, time_methods) == 0; }

}  // namespace bitloom::io
