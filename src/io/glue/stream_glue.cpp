// Python glue of the CCSDS splitter: `ccsds_scan(buffer, prefix_bytes,
// release)` scans a buffer without the GIL and hands its columns to Python as
// blocks that numpy wraps without copying (numpy.frombuffer).
#include "io/glue/parts.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "io/splitter/stream.hpp"
#include "python.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define BITLOOM_IO_HAVE_MADVISE 1
#endif

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

// Reads a buffer of exactly `bytes` bytes (None: no buffer) into `into`.
bool read_table(PyObject* obj, std::size_t bytes, const char* what, void* into, bool& given) {
    given = false;
    if (obj == Py_None) return true;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return false;
    const bool right = static_cast<std::size_t>(view.len) == bytes;
    if (right) std::memcpy(into, view.buf, bytes);
    PyBuffer_Release(&view);
    if (!right) {
        PyErr_Format(PyExc_ValueError, "%s must be a buffer of %zu bytes", what, bytes);
        return false;
    }
    given = true;
    return true;
}

PyObject* ccsds_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 3 || nargs > 9) {
        PyErr_SetString(PyExc_TypeError,
                        "ccsds_scan(buffer, prefix_bytes, release, start=0, stop=-1, versions=255, "
                        "seen_versions=0, known=None, fixed=None) takes 3 to 9 arguments");
        return nullptr;
    }
    const Py_ssize_t prefix = PyLong_AsSsize_t(args[1]);
    if (prefix == -1 && PyErr_Occurred()) return nullptr;
    if (prefix < 0) {
        PyErr_SetString(PyExc_ValueError, "prefix_bytes must not be negative");
        return nullptr;
    }
    const int release = PyObject_IsTrue(args[2]);
    if (release < 0) return nullptr;
    Py_ssize_t numbers[4] = {0, -1, 0xFF, 0};  // start, stop, versions, seen_versions
    for (Py_ssize_t i = 3; i < nargs && i < 7; ++i) {
        numbers[i - 3] = PyLong_AsSsize_t(args[i]);
        if (numbers[i - 3] == -1 && PyErr_Occurred()) return nullptr;
    }
    if (numbers[0] < 0 || numbers[2] < 0 || numbers[2] > 0xFF || numbers[3] < 0 || numbers[3] > 0xFF) {
        PyErr_SetString(PyExc_ValueError, "start, versions or seen_versions out of range");
        return nullptr;
    }
    // Both tables are read before any scanning, so nothing Python runs
    // can change them under the scan.
    auto out = std::make_unique<ScanOutput>();
    std::uint8_t known[kApids];
    bool known_given = false;
    if (nargs > 7 && !read_table(args[7], sizeof known, "known", known, known_given)) return nullptr;
    if (known_given) {
        for (std::size_t a = 0; a < kApids; ++a) {
            if (known[a] != 0) out->declare(static_cast<std::uint16_t>(a));
        }
    }
    auto fixed = std::make_unique<std::uint32_t[]>(kApids);
    bool fixed_given = false;
    if (nargs > 8 && !read_table(args[8], kApids * sizeof(std::uint32_t), "fixed", fixed.get(), fixed_given)) {
        return nullptr;
    }
    out->seen_versions = static_cast<std::uint8_t>(numbers[3]);

    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    ScanOptions options;
    options.prefix_bytes = static_cast<std::size_t>(prefix);
    options.versions = static_cast<std::uint8_t>(numbers[2]);
    options.fixed_lengths = fixed_given ? fixed.get() : nullptr;
    const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(view.buf),
                                             static_cast<std::size_t>(view.len));
    const std::size_t begin = std::min(static_cast<std::size_t>(numbers[0]), data.size());
    const std::size_t end =
        numbers[1] < 0 ? data.size() : std::min(static_cast<std::size_t>(numbers[1]), data.size());
    bool ok = true;
    std::size_t p = begin;
    Py_BEGIN_ALLOW_THREADS;
    [[maybe_unused]] std::size_t given_back = begin;
    while (p < end) {
        const std::size_t stop = end - p > kWindow ? p + kWindow : end;
        p = scan_ccsds(data, options, p, stop, *out);
        if (p == SIZE_MAX) {
            ok = false;
            break;
        }
#ifdef BITLOOM_IO_HAVE_MADVISE
        if (release != 0 && p < data.size()) {
            // Whole pages only, counted from the page the buffer starts in.
            const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
            const std::size_t lead = reinterpret_cast<std::uintptr_t>(data.data()) % page;
            const std::size_t from = (given_back + lead + page - 1) / page * page - lead;
            const std::size_t to = (p + lead) / page * page - lead;
            if (to > from) {
                auto* start =
                    const_cast<std::uint8_t*>(data.data()) + from;  // NOLINT(cppcoreguidelines-pro-type-const-cast)
                madvise(start, to - from, MADV_DONTNEED);
                given_back = to;
            }
        }
#endif
    }
    Py_END_ALLOW_THREADS;
    PyBuffer_Release(&view);
    if (!ok) return PyErr_NoMemory();
    ScanOutput& scanned = *out;
    const std::size_t n = scanned.count;
    Ref items[] = {
        Ref::steal(hand_over(scanned.offsets, n)),
        Ref::steal(hand_over(scanned.lengths, n)),
        Ref::steal(hand_over(scanned.version, n)),
        Ref::steal(hand_over(scanned.type, n)),
        Ref::steal(hand_over(scanned.secondary_flag, n)),
        Ref::steal(hand_over(scanned.apid, n)),
        Ref::steal(hand_over(scanned.sequence_flags, n)),
        Ref::steal(hand_over(scanned.sequence_count, n)),
        Ref::steal(hand_over(scanned.data_length, n)),
        Ref::steal(hand_over(scanned.problems, scanned.problem_count)),
        Ref::steal(hand_over(scanned.events, scanned.event_count)),
        Ref::steal(copy_block(static_cast<const void*>(scanned.apid_stats), sizeof scanned.apid_stats)),
        Ref::steal(PyLong_FromSize_t(p)),
        Ref::steal(PyLong_FromLong(scanned.seen_versions)),
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
    {"ccsds_scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ccsds_scan)), METH_FASTCALL,
     "ccsds_scan($module, buffer, prefix_bytes, release, start=0, stop=-1, versions=255, seen_versions=0, "
     "known=None, fixed=None, /)\n--\n\n"
     "-> (count, offsets, lengths, version, type, secondary_flag, "
     "apid, sequence_flags, sequence_count, data_length, problems, sequence_events, apid_stats, end, "
     "seen_versions): the records of a CCSDS stream that start in [start, stop) as blocks of native-endian "
     "integers (problems: kind u1, offset i8, length i8, declared i8; sequence_events: kind u1, apid u2, "
     "count u4, missing u8, offset i8, last i8; apid_stats, 2048 of: packets u8, first i4, last i4; all "
     "aligned). versions and seen_versions are bit sets of version numbers; known is 2048 bytes, nonzero for "
     "an APID known beforehand; fixed is 2048 native u4, the packet size each APID must have (0: any)."},
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
