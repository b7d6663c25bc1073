// Python glue of the CCSDS splitter: `ccsds_scan(buffer, prefix_bytes,
// release)` scans a buffer without the GIL and hands its columns to Python as
// blocks that numpy wraps without copying (numpy.frombuffer).
#include "io/glue/parts.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "args.hpp"
#include "common/platform.hpp"
#include "io/splitter/stream.hpp"
#include "python.hpp"

namespace bitloom::io {

namespace {

// A block of malloc'd memory exporting the buffer protocol (as bytes); freed
// when the last view of it goes.
struct Block {
    PyObject_HEAD void* data;
    Py_ssize_t size;
};

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<Block*>(self);
    return PyBuffer_FillInfo(view, self, b->data, b->size, 0, flags);
}

void block_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<Block*>(self);
    std::free(b->data);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot block_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(block_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_tp_doc, const_cast<char*>("Memory of a column the splitter produced.")},
    {0, nullptr},
};

PyType_Spec block_spec = {
    "bitloom_io._native._Block", sizeof(Block), 0, Py_TPFLAGS_DEFAULT, block_slots,
};

// The block type, created once per process with the module.
PyObject* block_type = nullptr;

// Takes ownership of `data` (freed on failure too).
PyObject* new_block(void* data, std::size_t bytes) {
    auto* b = PyObject_New(Block, reinterpret_cast<PyTypeObject*>(block_type));
    if (b == nullptr) {
        std::free(data);
        return nullptr;
    }
    b->data = data;
    b->size = static_cast<Py_ssize_t>(bytes);
    return reinterpret_cast<PyObject*>(b);
}

template <class T>
PyObject* hand_over(Column<T>& column, std::size_t count) {
    return new_block(column.release(), count * sizeof(T));
}

PyObject* copy_block(const void* data, std::size_t bytes) {
    void* copy = std::malloc(bytes);
    if (copy == nullptr) return PyErr_NoMemory();
    std::memcpy(copy, data, bytes);
    return new_block(copy, bytes);
}

// Scans in windows; between windows the pages already scanned are given back
// when the caller says the buffer is a file mapping of its own (the kernel
// reads them again from the page cache if they are touched later).
constexpr std::size_t kWindow = std::size_t{8} << 20;

PyObject* ccsds_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"ccsds_scan", "", {"buffer", "prefix_bytes", "release"}, 3, 3};
    std::array<PyObject*, 3> slots{};
    args = match_arguments(sig, args, nargs, kwnames, slots);
    if (args == nullptr) return nullptr;
    const Py_ssize_t prefix = PyLong_AsSsize_t(args[1]);
    if (prefix == -1 && PyErr_Occurred()) return nullptr;
    if (prefix < 0) {
        PyErr_SetString(PyExc_ValueError, "prefix_bytes must not be negative");
        return nullptr;
    }
    const int release = PyObject_IsTrue(args[2]);
    if (release < 0) return nullptr;
    BufferView view;
    if (!view.acquire(args[0], PyBUF_SIMPLE)) return nullptr;

    ScanOutput out;
    ScanOptions options;
    options.prefix_bytes = static_cast<std::size_t>(prefix);
    const std::span<const std::uint8_t> data = view.bytes();
    bool ok = true;
    Py_BEGIN_ALLOW_THREADS;
    std::size_t p = 0;
    std::size_t given_back = 0;
    while (p < data.size()) {
        const std::size_t stop = data.size() - p > kWindow ? p + kWindow : data.size();
        p = scan_ccsds(data, options, p, stop, out);
        if (p == SIZE_MAX) {
            ok = false;
            break;
        }
        if (release != 0 && p < data.size()) {
            const std::uint8_t* end = release_pages(data.data() + given_back, p - given_back, false);
            given_back = static_cast<std::size_t>(end - data.data());
        }
    }
    Py_END_ALLOW_THREADS;
    if (!ok) return PyErr_NoMemory();

    const std::size_t n = out.count;
    Ref items[] = {
        Ref::steal(hand_over(out.offsets, n)),
        Ref::steal(hand_over(out.lengths, n)),
        Ref::steal(hand_over(out.version, n)),
        Ref::steal(hand_over(out.type, n)),
        Ref::steal(hand_over(out.secondary_flag, n)),
        Ref::steal(hand_over(out.apid, n)),
        Ref::steal(hand_over(out.sequence_flags, n)),
        Ref::steal(hand_over(out.sequence_count, n)),
        Ref::steal(hand_over(out.data_length, n)),
        Ref::steal(hand_over(out.problems, out.problem_count)),
        Ref::steal(hand_over(out.events, out.event_count)),
        Ref::steal(copy_block(static_cast<const void*>(out.apid_stats), sizeof out.apid_stats)),
    };
    constexpr Py_ssize_t count = sizeof(items) / sizeof(items[0]);
    Ref result = Ref::steal(PyTuple_New(count + 1));
    if (!result) return nullptr;
    PyObject* n_obj = PyLong_FromSize_t(n);
    if (n_obj == nullptr) return nullptr;
    PyTuple_SET_ITEM(result.get(), 0, n_obj);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!items[i]) return nullptr;
        PyTuple_SET_ITEM(result.get(), i + 1, items[i].release());
    }
    return result.release();
}

PyMethodDef stream_methods[] = {
    {"ccsds_scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ccsds_scan)),
     METH_FASTCALL | METH_KEYWORDS,
     "ccsds_scan($module, buffer, prefix_bytes, release, /)\n--\n\n"
     "-> (count, offsets, lengths, version, type, secondary_flag, "
     "apid, sequence_flags, sequence_count, data_length, problems, sequence_events, apid_stats): the records of "
     "a CCSDS stream as blocks of native-endian integers (problems: kind u1, offset i8, length i8, declared "
     "i8; sequence_events: kind u1, apid u2, missing u4, offset i8; apid_stats, 2048 of: packets u8, first "
     "i4, last i4; all aligned)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_stream_part(PyObject* module) {
    if (block_type == nullptr) {
        block_type = PyType_FromSpec(&block_spec);
        if (block_type == nullptr) return false;
    }
    if (PyModule_AddFunctions(module, stream_methods) < 0) return false;
    return PyModule_AddObjectRef(module, "_Block", block_type) == 0;
}

}  // namespace bitloom::io
