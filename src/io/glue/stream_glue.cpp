// Python glue of the CCSDS splitter: `ccsds_scan(buffer, prefix_bytes,
// release)` scans a buffer without the GIL and hands its columns to Python as
// blocks that numpy wraps without copying (numpy.frombuffer).
#include "io/glue/parts.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "args.hpp"
#include "common/platform.hpp"
#include "io/splitter/file_map.hpp"
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
    void* copy = std::malloc(bytes == 0 ? 1 : bytes);
    if (copy == nullptr) return PyErr_NoMemory();
    if (bytes != 0) std::memcpy(copy, data, bytes);
    return new_block(copy, bytes);
}

// A guarded read-only mapping of a file (file_map.hpp), exporting the buffer
// protocol; unmapped by close() when no view of it is left, or with the last
// reference.
struct Mapped {
    PyObject_HEAD FileMap map;
    Py_ssize_t exports;
    PyObject* name;  // what the file is called in messages
};

PyObject* mapped_type = nullptr;

int mapped_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* m = reinterpret_cast<Mapped*>(self);
    if (m->map.data == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the mapping is closed");
        view->obj = nullptr;
        return -1;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): exported read-only
    if (PyBuffer_FillInfo(view, self, const_cast<std::uint8_t*>(m->map.data), static_cast<Py_ssize_t>(m->map.size), 1,
                          flags) < 0) {
        return -1;
    }
    ++m->exports;
    return 0;
}

void mapped_releasebuffer(PyObject* self, Py_buffer*) { --reinterpret_cast<Mapped*>(self)->exports; }

void mapped_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<Mapped*>(self);
    unmap_file(m->map);
    Py_XDECREF(m->name);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// mapping[i] and mapping[a:b], as a file mapping of the standard library
// answers them (an int, bytes).
PyObject* mapped_subscript(PyObject* self, PyObject* key) {
    Ref view = Ref::steal(PyMemoryView_FromObject(self));
    if (!view) return nullptr;
    Ref item = Ref::steal(PyObject_GetItem(view.get(), key));
    if (!item || !PyMemoryView_Check(item.get())) return item.release();
    return PyBytes_FromObject(item.get());
}

Py_ssize_t mapped_length(PyObject* self) { return static_cast<Py_ssize_t>(reinterpret_cast<Mapped*>(self)->map.size); }

PyObject* mapped_close(PyObject* self, PyObject*) {
    auto* m = reinterpret_cast<Mapped*>(self);
    if (m->exports > 0) {
        PyErr_SetString(PyExc_BufferError, "cannot close a mapping while views of it exist");
        return nullptr;
    }
    unmap_file(m->map);
    Py_RETURN_NONE;
}

PyObject* mapped_release_pages(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"release_pages", "", {"start", "length"}, 2, 2};
    std::array<PyObject*, 2> slots{};
    args = match_arguments(sig, args, nargs, kwnames, slots);
    if (args == nullptr) return nullptr;
    const Py_ssize_t start = PyLong_AsSsize_t(args[0]);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t length = PyLong_AsSsize_t(args[1]);
    if (length == -1 && PyErr_Occurred()) return nullptr;
    if (start >= 0 && length > 0) {
        release_mapped_pages(reinterpret_cast<Mapped*>(self)->map, static_cast<std::size_t>(start),
                             static_cast<std::size_t>(length));
    }
    Py_RETURN_NONE;
}

PyObject* mapped_fault(PyObject* self, void*) {
    return PyLong_FromLongLong(fault_offset(reinterpret_cast<Mapped*>(self)->map));
}

PyObject* mapped_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Mapped*>(self)->name); }

PyObject* mapped_closed(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<Mapped*>(self)->map.data == nullptr ? 1 : 0);
}

PyMethodDef mapped_methods[] = {
    {"close", mapped_close, METH_NOARGS, "Unmaps the file (refused while views of it exist)."},
    {"release_pages", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mapped_release_pages)),
     METH_FASTCALL | METH_KEYWORDS,
     "release_pages(start, length): gives the whole pages in the range back to the system."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef mapped_getset[] = {
    {"fault", mapped_fault, nullptr, "Offset of the first page found missing (the file shrank), or -1.", nullptr},
    {"closed", mapped_closed, nullptr, "Whether the mapping is closed.", nullptr},
    {"name", mapped_name, nullptr, "The name of the file mapped.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot mapped_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(mapped_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(mapped_releasebuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mapped_dealloc)},
    {Py_sq_length, reinterpret_cast<void*>(mapped_length)},
    {Py_mp_length, reinterpret_cast<void*>(mapped_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(mapped_subscript)},
    {Py_tp_methods, mapped_methods},
    {Py_tp_getset, mapped_getset},
    {Py_tp_doc, const_cast<char*>("A read-only file mapping whose pages read as zeros, not SIGBUS, once the file "
                                  "shrinks under it; `fault` says where.")},
    {0, nullptr},
};

PyType_Spec mapped_spec = {
    "bitloom_io._native._Mapped", sizeof(Mapped), 0, Py_TPFLAGS_DEFAULT, mapped_slots,
};

// map_file(fd, size, name) -> _Mapped, or None where mappings cannot be
// guarded.
PyObject* map_file_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"map_file", "", {"fd", "size", "name"}, 3, 3};
    std::array<PyObject*, 3> slots{};
    args = match_arguments(sig, args, nargs, kwnames, slots);
    if (args == nullptr) return nullptr;
    const int fd = PyLong_AsInt(args[0]);
    if (fd == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t size = PyLong_AsSsize_t(args[1]);
    if (size == -1 && PyErr_Occurred()) return nullptr;
    if (size <= 0) {
        PyErr_SetString(PyExc_ValueError, "map_file needs a size above 0");
        return nullptr;
    }
    if (!file_maps_guarded()) Py_RETURN_NONE;
    FileMap map;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS;
    error = map_file(fd, static_cast<std::size_t>(size), map);
    Py_END_ALLOW_THREADS;
    if (error == EMFILE) Py_RETURN_NONE;  // the registry is full: an unguarded map serves
    if (error != 0) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    auto* m = PyObject_New(Mapped, reinterpret_cast<PyTypeObject*>(mapped_type));
    if (m == nullptr) {
        unmap_file(map);
        return nullptr;
    }
    m->map = map;
    m->exports = 0;
    m->name = Py_NewRef(args[2]);
    return reinterpret_cast<PyObject*>(m);
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

// Scans the records that start in [begin, end) a window at a time, giving
// the pages behind the scan back when `release`; returns where the next scan
// goes on, or SIZE_MAX when memory ran out. Runs without the GIL.
std::size_t scan_windows(std::span<const std::uint8_t> data, const ScanOptions& options, std::size_t begin,
                         std::size_t end, bool release, ScanOutput& out) noexcept {
    std::size_t p = begin;
    std::size_t given_back = begin;
    while (p < end) {
        const std::size_t stop = end - p > kWindow ? p + kWindow : end;
        p = scan_ccsds(data, options, p, stop, out);
        if (p == SIZE_MAX) return p;
        if (release && p < data.size()) {
            const std::uint8_t* done = release_pages(data.data() + given_back, p - given_back, false);
            given_back = static_cast<std::size_t>(done - data.data());
        }
    }
    return p;
}

// NOLINTNEXTLINE(readability-function-cognitive-complexity): argument checks, then one windowed scan
PyObject* ccsds_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"ccsds_scan",
                                   "",
                                   {"buffer", "prefix_bytes", "release", "start", "stop", "versions", "seen_versions",
                                    "known", "fixed", "prior", "broken"},
                                   11,
                                   3};
    std::array<PyObject*, 11> slots{};
    if (!match_arguments_slow(sig, args, nargs, kwnames, slots.data())) return nullptr;
    args = slots.data();
    const Py_ssize_t prefix = PyLong_AsSsize_t(args[1]);
    if (prefix == -1 && PyErr_Occurred()) return nullptr;
    if (prefix < 0) {
        PyErr_SetString(PyExc_ValueError, "prefix_bytes must not be negative");
        return nullptr;
    }
    const int release = PyObject_IsTrue(args[2]);
    if (release < 0) return nullptr;
    Py_ssize_t numbers[4] = {0, -1, 0xFF, 0};  // start, stop, versions, seen_versions
    for (Py_ssize_t i = 3; i < 7; ++i) {
        if (args[i] == nullptr) continue;
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
    if (args[7] != nullptr && !read_table(args[7], sizeof known, "known", known, known_given)) return nullptr;
    if (known_given) {
        for (std::size_t a = 0; a < kApids; ++a) {
            if (known[a] != 0) out->declare(static_cast<std::uint16_t>(a));
        }
    }
    auto fixed = std::make_unique<std::uint32_t[]>(kApids);
    bool fixed_given = false;
    if (args[8] != nullptr && !read_table(args[8], kApids * sizeof(std::uint32_t), "fixed", fixed.get(), fixed_given)) {
        return nullptr;
    }
    out->seen_versions = static_cast<std::uint8_t>(numbers[3]);
    if (args[10] != nullptr) {
        const int broken = PyObject_IsTrue(args[10]);
        if (broken < 0) return nullptr;
        out->broken = broken != 0;
    }
    bool prior_given = false;
    if (args[9] != nullptr && !read_table(args[9], sizeof out->prior_last, "prior", out->prior_last, prior_given)) {
        return nullptr;
    }

    BufferView view;
    if (!view.acquire(args[0], PyBUF_SIMPLE)) return nullptr;
    ScanOptions options;
    options.prefix_bytes = static_cast<std::size_t>(prefix);
    options.versions = static_cast<std::uint8_t>(numbers[2]);
    options.fixed_lengths = fixed_given ? fixed.get() : nullptr;
    const std::span<const std::uint8_t> data = view.bytes();
    const std::size_t begin = std::min(static_cast<std::size_t>(numbers[0]), data.size());
    const std::size_t end = numbers[1] < 0 ? data.size() : std::min(static_cast<std::size_t>(numbers[1]), data.size());
    std::size_t p = 0;
    Py_BEGIN_ALLOW_THREADS;
    p = scan_windows(data, options, begin, end, release != 0, *out);
    Py_END_ALLOW_THREADS;
    if (p == SIZE_MAX) return PyErr_NoMemory();
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
        Ref::steal(hand_over(scanned.breaks, scanned.break_count)),
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

// --- a scan taken in steps -------------------------------------------------------

// A scan that goes on where its last step stopped, with all it has learned
// (APIDs, versions, sequence counts, where the stream broke), so that its
// steps together find exactly the records of one scan of the whole. Held by
// a capsule; a step runs without the GIL, so a second call while one runs is
// refused rather than let two threads share the state.
struct Scanning {
    BufferView view;
    std::unique_ptr<ScanOutput> out = std::make_unique<ScanOutput>();
    std::unique_ptr<std::uint32_t[]> fixed;
    ScanOptions options;
    std::size_t position = 0;
    bool busy = false;
};

constexpr const char* kScanningName = "bitloom_io._native.scanning";

void scanning_free(PyObject* capsule) { delete static_cast<Scanning*>(PyCapsule_GetPointer(capsule, kScanningName)); }

Scanning* scanning_of(PyObject* obj) {
    auto* s = static_cast<Scanning*>(PyCapsule_GetPointer(obj, kScanningName));
    if (s != nullptr && s->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the scan is taking a step in another thread");
        return nullptr;
    }
    return s;
}

// ccsds_scanner(buffer, prefix_bytes, versions, known, fixed, count_only)
PyObject* ccsds_scanner(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{
        "ccsds_scanner", "", {"buffer", "prefix_bytes", "versions", "known", "fixed", "count_only"}, 6, 6};
    std::array<PyObject*, 6> slots{};
    args = match_arguments(sig, args, nargs, kwnames, slots);
    if (args == nullptr) return nullptr;
    const Py_ssize_t prefix = PyLong_AsSsize_t(args[1]);
    if (prefix == -1 && PyErr_Occurred()) return nullptr;
    const long versions = PyLong_AsLong(args[2]);
    if (versions == -1 && PyErr_Occurred()) return nullptr;
    if (prefix < 0 || versions < 0 || versions > 0xFF) {
        PyErr_SetString(PyExc_ValueError, "prefix_bytes or versions out of range");
        return nullptr;
    }
    const int count_only = PyObject_IsTrue(args[5]);
    if (count_only < 0) return nullptr;
    auto s = std::make_unique<Scanning>();
    std::uint8_t known[kApids];
    bool given = false;
    if (!read_table(args[3], sizeof known, "known", known, given)) return nullptr;
    if (given) {
        for (std::size_t a = 0; a < kApids; ++a) {
            if (known[a] != 0) s->out->declare(static_cast<std::uint16_t>(a));
        }
    }
    s->fixed = std::make_unique<std::uint32_t[]>(kApids);
    if (!read_table(args[4], kApids * sizeof(std::uint32_t), "fixed", s->fixed.get(), given)) return nullptr;
    if (!s->view.acquire(args[0], PyBUF_SIMPLE)) return nullptr;
    s->options.prefix_bytes = static_cast<std::size_t>(prefix);
    s->options.versions = static_cast<std::uint8_t>(versions);
    s->options.fixed_lengths = given ? s->fixed.get() : nullptr;
    s->out->count_only = count_only != 0;
    Scanning* owned = s.release();  // the capsule's from here on
    PyObject* capsule = PyCapsule_New(owned, kScanningName, scanning_free);
    if (capsule == nullptr) delete owned;
    return capsule;
}

// ccsds_scan_step(scanner, stop, release) -> (count, offsets, ..., data_length, end)
PyObject* ccsds_scan_step(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"ccsds_scan_step", "", {"scanner", "stop", "release"}, 3, 3};
    std::array<PyObject*, 3> slots{};
    args = match_arguments(sig, args, nargs, kwnames, slots);
    if (args == nullptr) return nullptr;
    Scanning* s = scanning_of(args[0]);
    if (s == nullptr) return nullptr;
    const Py_ssize_t stop_arg = PyLong_AsSsize_t(args[1]);
    if (stop_arg == -1 && PyErr_Occurred()) return nullptr;
    const int release = PyObject_IsTrue(args[2]);
    if (release < 0) return nullptr;
    const std::span<const std::uint8_t> data = s->view.bytes();
    const std::size_t stop = stop_arg < 0 ? data.size() : std::min(static_cast<std::size_t>(stop_arg), data.size());
    ScanOutput& out = *s->out;
    out.horizon = stop;
    const std::size_t begin = s->position;
    std::size_t p = 0;
    s->busy = true;
    Py_BEGIN_ALLOW_THREADS;
    p = scan_windows(data, s->options, begin, stop, release != 0, out);
    Py_END_ALLOW_THREADS;
    s->busy = false;
    if (p == SIZE_MAX) return PyErr_NoMemory();
    s->position = std::max(p, begin);
    const std::size_t n = out.count;
    const std::size_t kept = out.count_only ? 0 : n;
    Ref items[] = {
        Ref::steal(PyLong_FromSize_t(n)),
        Ref::steal(hand_over(out.offsets, kept)),
        Ref::steal(hand_over(out.lengths, kept)),
        Ref::steal(hand_over(out.version, kept)),
        Ref::steal(hand_over(out.type, kept)),
        Ref::steal(hand_over(out.secondary_flag, kept)),
        Ref::steal(hand_over(out.apid, kept)),
        Ref::steal(hand_over(out.sequence_flags, kept)),
        Ref::steal(hand_over(out.sequence_count, kept)),
        Ref::steal(hand_over(out.data_length, kept)),
        Ref::steal(PyLong_FromSize_t(s->position)),
    };
    out.next_step();
    constexpr Py_ssize_t count = sizeof(items) / sizeof(items[0]);
    Ref result = Ref::steal(PyTuple_New(count));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!items[i]) return nullptr;
        PyTuple_SET_ITEM(result.get(), i, items[i].release());
    }
    return result.release();
}

// ccsds_scan_summary(scanner) -> (count, problems, sequence_events, apid_stats, seen_versions, breaks)
PyObject* ccsds_scan_summary(PyObject*, PyObject* scanner) {
    Scanning* s = scanning_of(scanner);
    if (s == nullptr) return nullptr;
    const ScanOutput& out = *s->out;
    return Py_BuildValue("(NNNNlN)", PyLong_FromSize_t(out.base + out.count),
                         copy_block(out.problems.data(), out.problem_count * sizeof(Problem)),
                         copy_block(out.events.data(), out.event_count * sizeof(SequenceEvent)),
                         copy_block(static_cast<const void*>(out.apid_stats), sizeof out.apid_stats),
                         static_cast<long>(out.seen_versions),
                         copy_block(out.breaks.data(), out.break_count * sizeof(std::int64_t)));
}

PyMethodDef stream_methods[] = {
    {"ccsds_scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ccsds_scan)),
     METH_FASTCALL | METH_KEYWORDS,
     "ccsds_scan($module, buffer, prefix_bytes, release, start=0, stop=-1, versions=255, seen_versions=0, "
     "known=None, fixed=None, prior=None, broken=False, /)\n--\n\n"
     "-> (count, offsets, lengths, version, type, secondary_flag, "
     "apid, sequence_flags, sequence_count, data_length, problems, sequence_events, apid_stats, end, "
     "seen_versions, breaks): the records of a CCSDS stream that start in [start, stop) as blocks of native-endian "
     "integers (problems: kind u1, offset i8, length i8, declared i8; sequence_events: kind u1, apid u2, "
     "count u4, missing u8, offset i8, last i8; apid_stats, 2048 of: packets u8, first i4, last i4; all "
     "aligned). versions and seen_versions are bit sets of version numbers; known is 2048 bytes, nonzero for "
     "an APID known beforehand; fixed is 2048 native u4, the packet size each APID must have (0: any); prior is "
     "2048 native i4, each APID's latest sequence count before start (-1: none); broken: the record before start "
     "was not continued by what followed it. breaks: i8 indexes of the records after which that was so."},
    {"ccsds_scanner", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ccsds_scanner)),
     METH_FASTCALL | METH_KEYWORDS,
     "ccsds_scanner($module, buffer, prefix_bytes, versions, known, fixed, count_only, /)\n--\n\n"
     "A scan of buffer taken in steps by ccsds_scan_step (arguments as ccsds_scan's; count_only: records "
     "are counted, their columns left empty)."},
    {"ccsds_scan_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ccsds_scan_step)),
     METH_FASTCALL | METH_KEYWORDS,
     "ccsds_scan_step($module, scanner, stop, release, /)\n--\n\n"
     "-> (count, offsets, lengths, version, type, secondary_flag, apid, sequence_flags, sequence_count, "
     "data_length, end): the records that start from where the last step ended up to stop (-1: the end), "
     "as ccsds_scan gives them; release gives the pages scanned back behind the scan."},
    {"ccsds_scan_summary", ccsds_scan_summary, METH_O,
     "ccsds_scan_summary($module, scanner, /)\n--\n\n"
     "-> (count, problems, sequence_events, apid_stats, seen_versions, breaks) of the steps taken so far, "
     "as ccsds_scan gives them (count: records in all steps)."},
    {"map_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_file_py)),
     METH_FASTCALL | METH_KEYWORDS,
     "map_file($module, fd, size, name, /)\n--\n\n"
     "A read-only mapping of the open file fd whose pages read as zeros, not SIGBUS, should the file shrink "
     "(its `fault` then gives the offset); None where that cannot be done."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_stream_part(PyObject* module) {
    if (block_type == nullptr) {
        block_type = PyType_FromSpec(&block_spec);
        if (block_type == nullptr) return false;
    }
    if (mapped_type == nullptr) {
        mapped_type = PyType_FromSpec(&mapped_spec);
        if (mapped_type == nullptr) return false;
    }
    if (PyModule_AddFunctions(module, stream_methods) < 0) return false;
    return PyModule_AddObjectRef(module, "_Block", block_type) == 0 &&
           PyModule_AddObjectRef(module, "_Mapped", mapped_type) == 0;
}

}  // namespace bitloom::io
