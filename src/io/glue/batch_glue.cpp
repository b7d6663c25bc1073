// Layout.unpack_many and Layout.pack_many: arguments, numpy arrays, and the
// kernels run with the interpreter lock released.
//
// Every container the kernels or the loops here walk is held by one strong
// reference or copied into a snapshot before any Python code (a value's
// __index__, a packet's __buffer__, a column's tolist) can run, so that such
// code cannot free or resize what is being walked.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "common/ascii_run.hpp"
#include "common/platform.hpp"
#include "io/glue/encode_value.hpp"
#include "io/glue/layout_object.hpp"
#include "io/glue/numpy_api.hpp"
#include "io/glue/time_glue.hpp"
#include "io/kernels/batch.hpp"
#include "io/kernels/field_value.hpp"
#include "io/kernels/pack_kernel.hpp"
#include "io/kernels/parallel.hpp"
#include "io/kernels/time_codes.hpp"

namespace bitloom::io {

namespace {

// Runs `work` with the interpreter lock released; an exception thrown by it
// is rethrown once the lock is held again.
template <class Work>
void without_gil(Work&& work) {
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS try { work(); } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (error) std::rethrow_exception(error);
}

// --- unpack_many: arguments --------------------------------------------------

struct UnpackArguments {
    PyObject* buffer = nullptr;
    PyObject* stride = nullptr;  // null when not given (or None)
    PyObject* offsets = nullptr;
    PyObject* lengths = nullptr;
    bool mask = false;
    bool by_packet = false;
    unsigned threads = 1;
    PyObject* times = nullptr;  // null when not given (or None)
    // Arrays the numeric columns are written into, from row `into_row`: a
    // list with an array or None per column (null when not given).
    PyObject* into = nullptr;
    std::size_t into_row = 0;
};

// --- threads -------------------------------------------------------------------

// How many threads a batch may use when the call does not say: 0 until set
// or first needed, then os.process_cpu_count() (the CPUs this process may
// run on), or what set_threads gave.
std::atomic<unsigned> default_threads{0};

// Beyond this, more threads only add start-up cost for the batches seen.
constexpr unsigned kMaxThreads = 256;

bool read_thread_count(PyObject* value, unsigned& out) {
    const long long n = PyLong_Check(value) && !PyBool_Check(value) ? PyLong_AsLongLong(value) : -1;
    if (n < 1) {
        if (n == -1 && PyErr_Occurred()) PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "threads must be a positive int or None, not %R", value);
        return false;
    }
    out = static_cast<unsigned>(std::min<long long>(n, kMaxThreads));
    return true;
}

bool usual_thread_count(unsigned& out) {
    out = default_threads.load(std::memory_order_relaxed);
    if (out != 0) return true;
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return false;
    Ref count = Ref::steal(PyObject_CallMethod(os.get(), "process_cpu_count", nullptr));
    if (!count) return false;
    out = count.get() == Py_None
              ? 1
              : static_cast<unsigned>(std::clamp<long long>(PyLong_AsLongLong(count.get()), 1, kMaxThreads));
    if (PyErr_Occurred()) return false;
    default_threads.store(out, std::memory_order_relaxed);
    return true;
}

PyObject* none_as_null(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

bool parse_unpack_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, UnpackArguments& out) {
    static constexpr Signature sig{
        "unpack_many",
        "",
        {"buffer", "stride", "offsets", "lengths", "errors", "_by_packet", "threads", "_times", "_into"},
        9,
        1,
        8};
    std::array<PyObject*, 9> slots{};
    if (!match_arguments_slow(sig, args, nargs, kwnames, slots.data())) return false;
    out.buffer = slots[0];
    out.stride = none_as_null(slots[1]);
    out.offsets = none_as_null(slots[2]);
    out.lengths = none_as_null(slots[3]);
    if (PyObject* errors = slots[4]) {
        const char* mode = PyUnicode_Check(errors) ? PyUnicode_AsUTF8(errors) : nullptr;
        if (mode != nullptr && std::strcmp(mode, "mask") == 0) {
            out.mask = true;
        } else if (mode == nullptr || std::strcmp(mode, "raise") != 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'mask', not %R", errors);
            return false;
        }
    }
    if (slots[5] != nullptr) {
        const int by_packet = PyObject_IsTrue(slots[5]);
        if (by_packet < 0) return false;
        out.by_packet = by_packet == 1;
    }
    out.times = slots[7] == nullptr ? nullptr : none_as_null(slots[7]);
    if (PyObject* into = slots[8] == nullptr ? nullptr : none_as_null(slots[8])) {
        // (arrays, row): the private path of a decode that fills columns made once.
        const bool pair = PyTuple_Check(into) && PyTuple_GET_SIZE(into) == 2 && PyList_Check(PyTuple_GET_ITEM(into, 0));
        const Py_ssize_t row = pair ? PyLong_AsSsize_t(PyTuple_GET_ITEM(into, 1)) : -1;
        if (row < 0) {
            if (PyErr_Occurred()) PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "_into must be (a list of arrays or None, a row >= 0)");
            return false;
        }
        out.into = PyTuple_GET_ITEM(into, 0);
        out.into_row = static_cast<std::size_t>(row);
    }
    PyObject* threads = slots[6] == nullptr ? nullptr : none_as_null(slots[6]);
    return threads != nullptr ? read_thread_count(threads, out.threads) : usual_thread_count(out.threads);
}

// The buffer argument: a buffer-protocol object, or a list (or tuple) of
// bytes-like packets joined into one buffer with their offsets and lengths.
struct BatchInput {
    Ref joined;
    BufferView view;
    std::vector<std::int64_t> offsets;
    std::vector<std::int64_t> lengths;
    bool packets = false;
};

// A list of packets is copied into a tuple of its own first, and each
// packet's buffer is asked for once and held until its bytes are copied:
// a packet's __buffer__ may change the list, or give another size on
// another call.
bool join_packets(PyObject* list, BatchInput& in) {
    Ref items = Ref::steal(PySequence_Tuple(list));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    std::vector<BufferView> views(static_cast<std::size_t>(n));
    std::int64_t offset = 0;
    in.offsets.reserve(views.size());
    in.lengths.reserve(views.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
        BufferView& view = views[static_cast<std::size_t>(i)];
        if (!view.acquire(PyTuple_GET_ITEM(items.get(), i), PyBUF_SIMPLE)) return false;
        in.offsets.push_back(offset);
        in.lengths.push_back(static_cast<std::int64_t>(view.size()));
        offset += static_cast<std::int64_t>(view.size());
    }
    in.joined = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(offset)));
    if (!in.joined) return false;
    char* out = PyBytes_AS_STRING(in.joined.get());
    for (std::size_t i = 0; i < views.size(); ++i) {
        if (views[i].size() > 0) std::memcpy(out + in.offsets[i], views[i].data(), views[i].size());
    }
    return in.view.acquire(in.joined.get(), PyBUF_SIMPLE);
}

bool read_input(PyObject* buffer, BatchInput& in) {
    if (PyList_Check(buffer) || PyTuple_Check(buffer)) {
        in.packets = true;
        return join_packets(buffer, in);
    }
    if (!in.view.acquire(buffer, PyBUF_SIMPLE)) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_cast_error(buffer, "buffer");
            rewrap_argument_error("buffer");
        }
        return false;
    }
    return true;
}

// An int64 array argument (1-D), checked to hold no negative number.
struct OffsetArray {
    Ref array;
    BufferView view;
    std::size_t count = 0;
    [[nodiscard]] const std::int64_t* values() const noexcept { return static_cast<const std::int64_t*>(view.data()); }
};

bool read_offsets(PyObject* obj, const char* name, OffsetArray& out) {
    out.array = int64_array(obj, name);
    if (!out.array || !out.view.acquire(out.array.get(), PyBUF_SIMPLE)) return false;
    out.count = out.view.size() / sizeof(std::int64_t);
    for (std::size_t i = 0; i < out.count; ++i) {
        if (out.values()[i] < 0) {
            PyErr_Format(PyExc_ValueError, "%s[%zu] is negative (%lld)", name, i,
                         static_cast<long long>(out.values()[i]));
            return false;
        }
    }
    return true;
}

// Where the packets are: the list's own, or stride, offsets and lengths.
bool place_packets(const UnpackArguments& a, const BatchInput& in, OffsetArray& offsets, OffsetArray& lengths,
                   PacketGeometry& g) {
    g.data = static_cast<const std::uint8_t*>(in.view.data());
    g.size = in.view.size();
    if (a.stride != nullptr) {
        std::uint64_t stride = 0;
        if (!convert_argument<std::uint64_t, convert_u64>(a.stride, "stride", stride)) return false;
        if (stride == 0) {
            PyErr_SetString(PyExc_ValueError, "stride must be positive");
            return false;
        }
        g.stride = stride;
    }
    if (in.packets) {
        if (a.stride || a.offsets || a.lengths) {
            PyErr_SetString(PyExc_ValueError,
                            "a list of packets gives its own offsets: stride, offsets and lengths do not apply");
            return false;
        }
        g.offsets = in.offsets.data();
        g.lengths = in.lengths.data();
        g.count = in.offsets.size();
        return true;
    }
    if (a.offsets != nullptr) {
        if (!read_offsets(a.offsets, "offsets", offsets)) return false;
        g.offsets = offsets.values();
        g.count = offsets.count;
        if (a.lengths != nullptr) {
            if (!read_offsets(a.lengths, "lengths", lengths)) return false;
            if (lengths.count != g.count) {
                PyErr_Format(PyExc_ValueError, "offsets has %zu entries but lengths has %zu", g.count, lengths.count);
                return false;
            }
            g.lengths = lengths.values();
        }
        return true;
    }
    if (g.stride != 0) {
        if (a.lengths != nullptr) {
            PyErr_SetString(PyExc_ValueError, "lengths needs offsets");
            return false;
        }
        g.count = static_cast<std::size_t>((g.size + g.stride - 1) / g.stride);
        return true;
    }
    PyErr_SetString(PyExc_ValueError, "unpack_many needs stride= or offsets= (or a list of packets)");
    return false;
}

// --- unpack_many: the result arrays ------------------------------------------

// A StringDType column, just made, as the kernels' text sink.
class StringSink final : public TextSink {
public:
    explicit StringSink(PyObject* array) : array_(array) { array_.expect_fresh_entries(); }
    [[nodiscard]] bool ok() const noexcept { return array_.ok(); }
    [[nodiscard]] StringArray& array() noexcept { return array_; }
    [[nodiscard]] bool set(std::size_t i, std::string_view utf8) noexcept override { return array_.set(i, utf8); }
    [[nodiscard]] bool set_many(std::size_t first, const char* const* texts, std::size_t size,
                                std::size_t count) noexcept override {
        return array_.set_many(first, texts, size, count);
    }

private:
    StringArray array_;
};

// The arrays a call fills: numeric columns and the failure flags in place,
// text columns through their sinks, binary columns (and text columns numpy
// could not open) a chunk at a time from the kernels' arenas.
struct UnpackOutput {
    std::vector<Ref> arrays;
    std::vector<BufferView> views;
    std::vector<BytesColumn> byte_columns;
    std::vector<std::unique_ptr<StringSink>> strings;
    Ref failed;
    BufferView failed_view;
};

// The numeric columns of a batch of moderate size share one block: one
// allocation instead of one per column, which the C library then keeps and
// hands out again on the next call, where columns of their own would be
// given back to the system when freed and faulted in afresh on every call.
// A column keeps the whole block alive, so larger batches give each column
// its own array. Sets `offsets` per column; null when there is no block.
Ref numeric_block(const Layout& layout, std::size_t n, std::vector<std::size_t>& offsets, bool& failed) {
    constexpr std::size_t block_limit = std::size_t{16} << 20;
    constexpr std::size_t block_alignment = 64;
    failed = false;
    offsets.assign(layout.column_fields.size(), 0);
    std::size_t bytes = 0;
    for (std::size_t c = 0; c < layout.column_fields.size(); ++c) {
        const FieldSpec& f = layout.fields[layout.column_fields[c]];
        if (f.column == ColumnKind::text || f.column == ColumnKind::binary) continue;
        offsets[c] = bytes;
        bytes += (n * column_item_size(f.column) + block_alignment - 1) / block_alignment * block_alignment;
    }
    if (bytes == 0 || bytes > block_limit) return {};
    Ref block = byte_array(bytes);
    failed = !block;
    return block;
}

bool make_output(const Layout& layout, std::size_t n, UnpackJob& job, UnpackOutput& out, PyObject* into,
                 std::size_t into_row) {
    const std::size_t ncols = layout.column_fields.size();
    out.arrays.resize(ncols);
    out.views = std::vector<BufferView>(ncols);
    out.byte_columns.resize(ncols);
    out.strings.resize(ncols);
    job.numeric.assign(ncols, nullptr);
    job.bytes.assign(ncols, nullptr);
    if (into != nullptr && PyList_GET_SIZE(into) != static_cast<Py_ssize_t>(ncols)) {
        PyErr_Format(PyExc_ValueError, "_into has %zd arrays for %zu columns", PyList_GET_SIZE(into), ncols);
        return false;
    }
    std::vector<std::size_t> offsets;
    bool failed = false;
    Ref block = into != nullptr ? Ref{} : numeric_block(layout, n, offsets, failed);
    if (failed) return false;
    for (std::size_t c = 0; c < ncols; ++c) {
        const FieldSpec& f = layout.fields[layout.column_fields[c]];
        if (f.column == ColumnKind::text || f.column == ColumnKind::binary) {
            job.bytes[c] = &out.byte_columns[c];
            out.arrays[c] = f.column == ColumnKind::text ? string_array(n) : object_array(n);
            if (!out.arrays[c]) return false;
            if (f.column == ColumnKind::text) {
                auto sink = std::make_unique<StringSink>(out.arrays[c].get());
                if (sink->ok()) {
                    out.byte_columns[c].sink = sink.get();
                    out.strings[c] = std::move(sink);
                }
            }
            continue;
        }
        PyObject* target = into != nullptr ? PyList_GET_ITEM(into, static_cast<Py_ssize_t>(c)) : Py_None;
        if (target != Py_None) {
            out.arrays[c] = rows_of(target, into_row, n, f.column);
        } else {
            out.arrays[c] = block ? block_view(block.get(), offsets[c], n, f.column) : numeric_array(n, f.column);
        }
        if (!out.arrays[c] || !out.views[c].acquire(out.arrays[c].get(), PyBUF_WRITABLE)) return false;
        job.numeric[c] = out.views[c].data();
    }
    out.failed = bool_zeros(n);
    if (!out.failed || !out.failed_view.acquire(out.failed.get(), PyBUF_WRITABLE)) return false;
    job.failed = static_cast<std::uint8_t*>(out.failed_view.data());
    return true;
}

// --- unpack_many: time codes converted as they are read --------------------------

// A time code of the layout, read as plain unsigned columns and turned into
// nanoseconds a chunk at a time, while the chunk is still in the cache.
// Described by the caller (bitloom_io's Layout) in `_times`: per code a tuple
// (value, sub, pfield, kind, bits, epoch_ns, leap_allowed, steps,
// pfield_value, leap, ps) of column names (None: none) and the numbers of
// convert_time_codes.
struct TimeColumns {
    TimeCodeSpec form;
    bool signed_value = false;
    TimeSteps steps;
    std::array<BufferView, 3> step_views;
    std::size_t value = 0;
    std::size_t sub = SIZE_MAX;
    std::size_t pfield = SIZE_MAX;
    unsigned value_size = 8;
    unsigned sub_size = 0;
    // The nanoseconds: over the value column when that has 8-byte values,
    // else an array of their own that takes the column's place.
    Ref ns_array;
    BufferView ns_view;
    std::int64_t* ns = nullptr;
    Ref leap_name;
    Ref leap_array;
    BufferView leap_view;
    Ref ps_name;
    Ref ps_array;
    BufferView ps_view;
    TimeCodeReport report;  // a fault's `at` counts from the batch's first packet
    std::int64_t latest = INT64_MIN;
    std::atomic<bool> faulted{false};
    std::mutex lock;
};

using TimeJobs = std::vector<std::unique_ptr<TimeColumns>>;

// The numeric column of that name, or SIZE_MAX with an exception set.
std::size_t numeric_column(const BoundLayout& layout, const UnpackJob& job, PyObject* name) {
    for (std::size_t c = 0; c < layout.native.column_fields.size(); ++c) {
        const FieldSpec& f = layout.native.fields[layout.native.column_fields[c]];
        const int same = PyObject_RichCompareBool(layout.of(f).name.get(), name, Py_EQ);
        if (same < 0) return SIZE_MAX;
        if (same == 1 && job.numeric[c] != nullptr) return c;
    }
    PyErr_Format(PyExc_ValueError, "_times: no numeric column %R", name);
    return SIZE_MAX;
}

bool is_unsigned(ColumnKind kind) {
    return kind == ColumnKind::u8 || kind == ColumnKind::u16 || kind == ColumnKind::u32 || kind == ColumnKind::u64;
}

// NOLINTNEXTLINE(readability-function-cognitive-complexity): one check per part of the description
bool read_time_job(const BoundLayout& layout, const UnpackJob& job, PyObject* given, TimeColumns& t) {
    if (!PyTuple_Check(given) || PyTuple_GET_SIZE(given) != 11) {
        PyErr_SetString(PyExc_TypeError, "_times: a tuple of 11 per time code");
        return false;
    }
    PyObject* const* items = &PyTuple_GET_ITEM(given, 0);
    const std::array<PyObject*, 5> numbers{items[3], items[4], items[5], items[6], items[8]};
    if (!read_time_spec(numbers.data(), t.form, t.signed_value)) return false;
    if (t.signed_value) {
        PyErr_SetString(PyExc_ValueError, "_times: the columns read are unsigned");
        return false;
    }
    if (!read_time_steps(items[7], t.steps, t.step_views)) return false;
    const std::size_t n = job.geometry.count;
    const auto column_kind = [&](std::size_t c) { return layout.native.fields[layout.native.column_fields[c]].column; };
    t.value = numeric_column(layout, job, items[0]);
    if (t.value == SIZE_MAX) return false;
    t.value_size = static_cast<unsigned>(column_item_size(column_kind(t.value)));
    if (!is_unsigned(column_kind(t.value)) || (t.form.kind == TimeCodeKind::cds && t.value_size != 8)) {
        PyErr_Format(PyExc_ValueError, "_times: column %R does not hold a time code's counters", items[0]);
        return false;
    }
    if ((items[1] != Py_None) != (t.form.sub_bits != 0)) {
        PyErr_SetString(PyExc_ValueError, "_times: a column below the millisecond exactly when CDS has one");
        return false;
    }
    if (items[1] != Py_None) {
        t.sub = numeric_column(layout, job, items[1]);
        if (t.sub == SIZE_MAX) return false;
        t.sub_size = t.form.sub_bits / 8;
        if (!is_unsigned(column_kind(t.sub)) || column_item_size(column_kind(t.sub)) != t.sub_size) {
            PyErr_Format(PyExc_ValueError, "_times: column %R is not of %u-byte values", items[1], t.sub_size);
            return false;
        }
    }
    if (items[2] != Py_None) {
        t.pfield = numeric_column(layout, job, items[2]);
        if (t.pfield == SIZE_MAX) return false;
        if (column_kind(t.pfield) != ColumnKind::u8) {
            PyErr_Format(PyExc_ValueError, "_times: column %R is not of octets", items[2]);
            return false;
        }
    }
    if (t.value_size == 8) {
        t.ns = static_cast<std::int64_t*>(job.numeric[t.value]);
    } else {
        t.ns_array = numeric_array(n, ColumnKind::i64);
        if (!t.ns_array || !t.ns_view.acquire(t.ns_array.get(), PyBUF_WRITABLE)) return false;
        t.ns = static_cast<std::int64_t*>(t.ns_view.data());
    }
    if (items[9] != Py_None) {
        t.leap_name = Ref::borrow(items[9]);
        t.leap_array = bool_zeros(n);
        if (!t.leap_array || !t.leap_view.acquire(t.leap_array.get(), PyBUF_WRITABLE)) return false;
    }
    if (items[10] != Py_None) {
        if (t.form.sub_bits != 32) {
            PyErr_SetString(PyExc_ValueError, "_times: picoseconds come from CDS with 32 bits below the millisecond");
            return false;
        }
        t.ps_name = Ref::borrow(items[10]);
        t.ps_array = numeric_array(n, ColumnKind::u16);
        if (!t.ps_array || !t.ps_view.acquire(t.ps_array.get(), PyBUF_WRITABLE)) return false;
    }
    return true;
}

bool read_time_jobs(const BoundLayout& layout, const UnpackJob& job, PyObject* given, TimeJobs& out) {
    if (given == nullptr) return true;
    Ref items = Ref::steal(PySequence_Tuple(given));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        auto t = std::make_unique<TimeColumns>();
        if (!read_time_job(layout, job, PyTuple_GET_ITEM(items.get(), i), *t)) return false;
        out.push_back(std::move(t));
    }
    return true;
}

// Converts the chunk the kernels just read (of one thread: pieces of a
// batch may be converted at once, each merging its report under the code's
// lock). A code that met a fault is not converted further: the caller reads
// the batch again without converting, to say what was wrong.
void convert_time_chunk(TimeJobs& times, const UnpackJob& job) noexcept {
    const std::size_t first = job.first;
    for (auto& t : times) {
        if (t->faulted.load(std::memory_order_relaxed) || job.count == 0) continue;
        TimeCodeSpec form = t->form;
        form.steps = t->steps.edges != nullptr ? &t->steps : nullptr;
        // A fault makes the caller read the batch again: one pass will do.
        form.keep_faulty_block = false;
        if (t->pfield != SIZE_MAX) form.pfield = static_cast<const std::uint8_t*>(job.numeric[t->pfield]) + first;
        TimeCodeInput in;
        in.value = static_cast<const std::uint8_t*>(job.numeric[t->value]) + first * t->value_size;
        in.value_size = t->value_size;
        if (t->sub != SIZE_MAX) in.sub = static_cast<const std::uint8_t*>(job.numeric[t->sub]) + first * t->sub_size;
        in.sub_size = t->sub_size;
        TimeCodeOutput out;
        out.ns = t->ns + first;
        if (t->leap_array) out.leap = static_cast<std::uint8_t*>(t->leap_view.data()) + first;
        if (t->ps_array) out.ps = static_cast<std::uint16_t*>(t->ps_view.data()) + first;
        const TimeCodeReport report = convert_time_codes(form, in, out, job.count);
        const std::lock_guard<std::mutex> hold(t->lock);
        if (report.fault != TimeFault::none) {
            if (!t->faulted.load(std::memory_order_relaxed) || first + report.at < t->report.at) {
                t->report = {report.fault, first + report.at, 0};
            }
            t->faulted.store(true, std::memory_order_relaxed);
        } else {
            t->latest = std::max(t->latest, report.latest);
        }
    }
}

// The converted columns into the result: the nanoseconds in the value
// column's place, the leap flags and picoseconds beside them, and per code
// (fault, at, latest) as `_time_reports`.
bool add_time_columns(const BoundLayout& layout, TimeJobs& times, PyObject* columns) {
    if (times.empty()) return true;
    Ref reports = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(times.size())));
    if (!reports) return false;
    for (std::size_t i = 0; i < times.size(); ++i) {
        TimeColumns& t = *times[i];
        if (t.ns_array) {
            const FieldSpec& f = layout.native.fields[layout.native.column_fields[t.value]];
            if (PyDict_SetItem(columns, layout.of(f).name.get(), t.ns_array.get()) < 0) return false;
        }
        if (t.leap_array && PyDict_SetItem(columns, t.leap_name.get(), t.leap_array.get()) < 0) return false;
        if (t.ps_array && PyDict_SetItem(columns, t.ps_name.get(), t.ps_array.get()) < 0) return false;
        PyObject* report = Py_BuildValue("(inL)", static_cast<int>(t.report.fault),
                                         static_cast<Py_ssize_t>(t.report.at), static_cast<long long>(t.latest));
        if (report == nullptr) return false;
        PyTuple_SET_ITEM(reports.get(), static_cast<Py_ssize_t>(i), report);
    }
    return PyObject_SetAttrString(columns, "_time_reports", reports.get()) == 0;
}

// A chunk of a bytes column (binary, or text numpy could not open) as a
// list of Python values, assigned to its rows of the column's array.
bool store_chunk(const FieldSpec& f, const BytesColumn& column, PyObject* array, std::size_t first, std::size_t count) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return false;
    for (std::size_t i = 0; i < count; ++i) {
        const char* data = column.arena.data() + column.begin[i];
        const auto size = static_cast<Py_ssize_t>(column.size[i]);
        PyObject* item = f.value_class == ValueClass::binary ? PyBytes_FromStringAndSize(data, size)
                                                             : PyUnicode_FromStringAndSize(data, size);
        if (item == nullptr) return false;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return PySequence_SetSlice(array, static_cast<Py_ssize_t>(first), static_cast<Py_ssize_t>(first + count),
                               list.get()) == 0;
}

PyObject* raise_packet_failure(const BoundLayout& layout, const PacketGeometry& g, std::size_t i) {
    const auto p = g.packet(i);
    const std::string where = "packet " + std::to_string(i) + " (byte offset " + std::to_string(p.offset) + "): ";
    if (!p.inside) {
        return PyErr_Format(PyExc_ValueError, "%s%llu bytes run past the end of the buffer (%zu bytes)", where.c_str(),
                            static_cast<unsigned long long>(p.length), g.size);
    }
    auto result = unpack_packet(layout, std::span<const std::uint8_t>(g.data + p.offset, p.length), 0);
    if (!result) return raise_field_error(layout.native, result.error(), where);
    return PyErr_Format(PyExc_ValueError, "%sthe packet failed to decode", where.c_str());
}

// What is done with the pages of a memory-mapped file behind each chunk, so
// that decoding a large file holds little more than its columns: a Python
// mmap's are paged out (which never discards a change made through a
// copy-on-write map), the package's own read-only mappings' are dropped
// from the process (they stay in the page cache for another packet type's
// pass over the same file).
enum class Release : std::uint8_t { none, page_out, drop };

// Mappings smaller than this keep their pages: what giving them back
// saves is small, and what it costs is not (each call stops the other
// threads of the batch to flush their view of the pages).
constexpr std::size_t kReleaseFromBytes = std::size_t{64} << 20;

Release release_of(PyObject* buffer, const PacketGeometry& g) {
    if (g.size < kReleaseFromBytes) return Release::none;
    const char* type = Py_TYPE(buffer)->tp_name;
    if (std::strcmp(type, "bitloom_io._native._Mapped") == 0) return Release::drop;
    if (std::strcmp(type, "mmap.mmap") == 0 && g.stride != 0 && g.offsets == nullptr) return Release::page_out;
    return Release::none;
}

// Gives back the pages that only packets first .. first + count - 1 lie in.
void release_chunk(const PacketGeometry& g, Release release, std::size_t first, std::size_t count) {
    if (release == Release::none || count == 0) return;
    std::size_t lo = g.size;
    std::size_t hi = 0;
    if (g.offsets == nullptr) {
        lo = std::min<std::size_t>(g.size, first * g.stride);
        hi = std::min<std::size_t>(g.size, (first + count) * g.stride);
    } else {
        for (std::size_t i = first; i < first + count; ++i) {
            const auto p = g.packet(i);
            if (!p.inside) continue;
            lo = std::min<std::size_t>(lo, p.offset);
            hi = std::max<std::size_t>(hi, p.offset + p.length);
        }
    }
    if (hi > lo) release_pages(g.data + lo, hi - lo, release == Release::page_out);
}

// Packets per piece when the pieces of a batch go to several threads:
// large enough that handing them out costs nothing, small enough that the
// threads finish together. Smaller batches stay on one thread: measured on
// 7,200 JPSS packets decoded from a file, two threads in pieces of 2,048
// were no faster than one (their start, and the other processor's copy of
// the mapping to be cleared when it is unmapped, cost what they save).
constexpr std::size_t kThreadPiece = std::size_t{1} << 14;

// The first failing packet of [first, first + count) raised, when a run that
// raises on failures found some there.
bool raise_first_failure(const BoundLayout& layout, const UnpackJob& job, std::size_t first, std::size_t count) {
    const std::uint8_t* begin = job.failed + first;
    const std::uint8_t* at = std::find_if(begin, begin + count, [](std::uint8_t f) { return f != 0; });
    raise_packet_failure(layout, job.geometry, static_cast<std::size_t>(at - job.failed));
    return false;
}

// The chunked run below on several threads at once, for batches whose
// columns are all numeric (each packet's values go to its own rows, so the
// pieces share nothing). The results, failures and the packet an error
// names are those of one thread: the first failing packet is looked up
// once all are done.
bool run_on_threads(const BoundLayout& layout, const UnpackJob& job, TimeJobs& times, bool mask, Release release,
                    unsigned threads, std::size_t& failures) {
    const PacketGeometry& g = job.geometry;
    std::atomic<std::size_t> total{0};
    without_gil([&] {
        for_each_piece(g.count, kThreadPiece, threads, [&](std::size_t first, std::size_t count) {
            UnpackJob piece = job;
            piece.first = first;
            piece.count = count;
            total.fetch_add(run_unpack(piece), std::memory_order_relaxed);
            convert_time_chunk(times, piece);
            release_chunk(g, release, first, count);
        });
    });
    failures = total.load();
    if (failures > 0 && !mask) return raise_first_failure(layout, job, 0, g.count);
    return true;
}

// A piece's share of a StringDType column, on a thread of its own. Values
// numpy keeps inline (short ones, into entries never written) go straight
// into the piece's own entries; every other value waits, in order, for the
// thread that may use numpy's string allocator. A row with a value waiting
// keeps its later values waiting too, so that they land in the same order.
class PieceStrings final : public TextSink {
public:
    void open(StringArray& array, std::size_t first, std::size_t count) {
        array_ = &array;
        array.touch(first, count);
        first_ = first;
        waiting_row_.assign(count, 0);
        arena_.clear();
        waiting_.clear();
    }
    [[nodiscard]] bool set(std::size_t i, std::string_view utf8) noexcept override {
        std::uint8_t& waiting = waiting_row_[i - first_];
        if (!waiting && array_->set_inline(i, utf8)) return true;
        waiting = 1;
        try {
            waiting_.push_back({i, arena_.size(), utf8.size()});
            arena_.append(utf8);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    // The waiting values, stored in order; false when numpy could not allocate.
    [[nodiscard]] bool store() const noexcept {
        bool stored = true;
        for (const Waiting& w : waiting_) {
            stored = array_->set(w.row, std::string_view(arena_.data() + w.begin, w.size)) && stored;
        }
        return stored;
    }

private:
    struct Waiting {
        std::size_t row;
        std::size_t begin;
        std::size_t size;
    };
    StringArray* array_ = nullptr;
    std::size_t first_ = 0;
    std::vector<std::uint8_t> waiting_row_;
    std::string arena_;
    std::vector<Waiting> waiting_;
};

// One piece of a round: its text and bytes values until they are stored.
struct RoundPiece {
    std::vector<BytesColumn> bytes;
    std::unique_ptr<PieceStrings[]> strings;

    explicit RoundPiece(std::size_t ncols) : bytes(ncols), strings(std::make_unique<PieceStrings[]>(ncols)) {}

    // Points the job of the piece (packets piece.first onwards) at the
    // piece's own text and bytes columns.
    void open(UnpackJob& piece, const UnpackJob& job, UnpackOutput& out) {
        for (std::size_t c = 0; c < bytes.size(); ++c) {
            if (job.bytes[c] == nullptr) continue;
            BytesColumn& column = bytes[c];
            column.sink = nullptr;
            column.sink_failed = false;
            if (out.strings[c]) {
                strings[c].open(out.strings[c]->array(), piece.first, piece.count);
                column.sink = &strings[c];
            }
            piece.bytes[c] = &column;
        }
    }

    // Stores what waits in the result, on the calling thread (which holds
    // the interpreter lock); false with an exception set on failure.
    bool store(const BoundLayout& layout, const UnpackJob& job, UnpackOutput& out, std::size_t first,
               std::size_t count) const {
        for (std::size_t c = 0; c < bytes.size(); ++c) {
            if (job.bytes[c] == nullptr) continue;
            bool stored = !bytes[c].sink_failed;
            if (out.strings[c]) {
                without_gil([&] { stored = strings[c].store() && stored; });
            } else if (stored) {
                const FieldSpec& f = layout.native.fields[layout.native.column_fields[c]];
                if (!store_chunk(f, bytes[c], out.arrays[c].get(), first, count)) return false;
            }
            if (!stored) {
                PyErr_NoMemory();
                return false;
            }
        }
        return true;
    }
};

// Batches with text or binary columns on several threads, a round at a
// time: in each round the threads decode pieces, their numeric columns in
// place, their text into the result where numpy allows and into arenas of
// the piece's own where it does not, their bytes into such arenas; then
// this thread stores what waits in packet order (numpy's string allocator
// takes one writer at a time, and bytes objects need the interpreter). The
// results, failures and the packet an error names are those of one thread.
// Rounds of several pieces per thread: each round starts its threads anew.
constexpr unsigned kPiecesPerRound = 16;

bool run_rounds_on_threads(const BoundLayout& layout, const UnpackJob& job, UnpackOutput& out, TimeJobs& times,
                           bool mask, Release release, unsigned threads, std::size_t& failures) {
    const PacketGeometry& g = job.geometry;
    const std::size_t per_round = std::size_t{kPiecesPerRound} * threads;
    const std::size_t round = kThreadPiece * per_round;
    std::vector<RoundPiece> pieces;
    pieces.reserve(per_round);
    for (std::size_t k = 0; k < per_round; ++k) pieces.emplace_back(job.bytes.size());
    failures = 0;
    for (std::size_t start = 0; start < g.count; start += round) {
        const std::size_t size = std::min(round, g.count - start);
        std::atomic<std::size_t> total{0};
        without_gil([&] {
            for_each_piece(size, kThreadPiece, threads, [&](std::size_t first, std::size_t count) {
                UnpackJob piece = job;
                piece.first = start + first;
                piece.count = count;
                pieces[first / kThreadPiece].open(piece, job, out);
                total.fetch_add(run_unpack(piece), std::memory_order_relaxed);
                convert_time_chunk(times, piece);
                release_chunk(g, release, piece.first, count);
            });
        });
        failures += total.load();
        if (failures > 0 && !mask) return raise_first_failure(layout, job, start, size);
        for (std::size_t first = 0; first < size; first += kThreadPiece) {
            const std::size_t count = std::min(kThreadPiece, size - first);
            if (!pieces[first / kThreadPiece].store(layout, job, out, start + first, count)) return false;
        }
    }
    return true;
}

// Runs the kernels a chunk at a time (the interpreter lock released) and
// stores each chunk's bytes columns. Returns false with an exception set on
// the first failing packet (errors='raise') or any other failure.
bool run_chunks(const BoundLayout& layout, UnpackJob& job, UnpackOutput& out, TimeJobs& times, bool mask,
                Release release, unsigned threads, std::size_t& failures) {
    const PacketGeometry& g = job.geometry;
    const std::size_t n = g.count;
    const bool numeric_only = std::ranges::all_of(job.bytes, [](BytesColumn* c) { return !c; });
    if (threads > 1 && n >= 2 * kThreadPiece) {
        if (numeric_only) return run_on_threads(layout, job, times, mask, release, threads, failures);
        return run_rounds_on_threads(layout, job, out, times, mask, release, threads, failures);
    }
    const std::size_t chunk = std::min<std::size_t>(n, std::size_t{1} << 16);
    failures = 0;
    for (std::size_t first = 0; first < n; first += chunk) {
        job.first = first;
        job.count = std::min(chunk, n - first);
        std::size_t chunk_failures = 0;
        without_gil([&] {
            for (const auto& sink : out.strings) {
                if (sink) sink->array().touch(first, job.count);
            }
            chunk_failures = run_unpack(job);
            convert_time_chunk(times, job);
            release_chunk(g, release, first, job.count);
        });
        failures += chunk_failures;
        if (failures > 0 && !mask) return raise_first_failure(layout, job, first, job.count);
        for (std::size_t c = 0; c < out.byte_columns.size(); ++c) {
            const BytesColumn& column = out.byte_columns[c];
            if (column.sink_failed) {
                PyErr_NoMemory();
                return false;
            }
            if (job.bytes[c] == nullptr || out.strings[c]) continue;
            const FieldSpec& f = layout.native.fields[layout.native.column_fields[c]];
            if (!store_chunk(f, column, out.arrays[c].get(), first, job.count)) return false;
        }
    }
    return true;
}

Ref masked(PyObject* data, PyObject* failed) {
    static PyObject* masked_array = nullptr;  // numpy.ma.MaskedArray, a Python class
    if (masked_array == nullptr) {
        Ref ma = Ref::steal(PyImport_ImportModule("numpy.ma"));
        if (!ma) return {};
        masked_array = PyObject_GetAttrString(ma.get(), "MaskedArray");
        if (masked_array == nullptr) return {};
    }
    Ref mask = array_copy(failed);
    if (!mask) return {};
    Ref args = Ref::steal(PyTuple_Pack(1, data));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "mask", mask.get()));
    if (!args || !kwargs) return {};
    return Ref::steal(PyObject_Call(masked_array, args.get(), kwargs.get()));
}

PyObject* make_columns(const BoundLayout& layout, UnpackOutput& out, std::size_t failures, bool mask) {
    Ref columns = Ref::steal(PyObject_CallNoArgs(columns_class()));
    if (!columns) return nullptr;
    for (std::size_t c = 0; c < out.arrays.size(); ++c) {
        const FieldSpec& f = layout.native.fields[layout.native.column_fields[c]];
        Ref array = std::move(out.arrays[c]);
        if (mask) {
            array = masked(array.get(), out.failed.get());
            if (!array) return nullptr;
        }
        if (PyDict_SetItem(columns.get(), layout.of(f).name.get(), array.get()) < 0) return nullptr;
    }
    Ref count = Ref::steal(PyLong_FromSize_t(failures));
    if (!count || PyObject_SetAttrString(columns.get(), "failures", count.get()) < 0 ||
        PyObject_SetAttrString(columns.get(), "failed", out.failed.get()) < 0) {
        return nullptr;
    }
    return columns.release();
}

}  // namespace

PyObject* set_threads(PyObject*, PyObject* value) {
    return call_boundary([&]() -> PyObject* {
        unsigned n = 0;  // None: back to the usual count, looked up when next needed
        if (value != Py_None && !read_thread_count(value, n)) return nullptr;
        default_threads.store(n, std::memory_order_relaxed);
        Py_RETURN_NONE;
    });
}

PyObject* get_threads(PyObject*, PyObject*) {
    return call_boundary([&]() -> PyObject* {
        unsigned n = 0;
        if (!usual_thread_count(n)) return nullptr;
        return PyLong_FromUnsignedLong(n);
    });
}

PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        UnpackArguments a;
        if (!parse_unpack_arguments(args, nargs, kwnames, a)) return nullptr;
        const BoundLayout* layout = layout_of(self);
        if (layout == nullptr || !numpy_ready()) return nullptr;
        BatchInput in;
        if (!read_input(a.buffer, in)) return nullptr;
        OffsetArray offsets;
        OffsetArray lengths;
        UnpackJob job;
        if (!place_packets(a, in, offsets, lengths, job.geometry)) return nullptr;
        job.layout = &layout->native;
        job.by_packet = a.by_packet;
        UnpackOutput out;
        if (!make_output(layout->native, job.geometry.count, job, out, a.into, a.into_row)) return nullptr;
        const Release release = release_of(a.buffer, job.geometry);
        TimeJobs times;
        if (a.times != nullptr && a.mask) {
            // Rows that failed hold whatever was there: converting them could fault.
            PyErr_SetString(PyExc_ValueError, "_times needs errors='raise'");
            return nullptr;
        }
        if (!read_time_jobs(*layout, job, a.times, times)) return nullptr;
        std::size_t failures = 0;
        if (!run_chunks(*layout, job, out, times, a.mask, release, a.threads, failures)) return nullptr;
        out.strings.clear();  // numpy's string allocators are given back before the arrays are handed out
        Ref columns = Ref::steal(make_columns(*layout, out, failures, a.mask));
        if (!columns || !add_time_columns(*layout, times, columns.get())) return nullptr;
        return columns.release();
    });
}

// --- pack_many -----------------------------------------------------------------

namespace {

// Each field's column by field index (null: the recipe's value), all of
// `rows` rows; the columns are held by `held`.
struct PackColumns {
    std::vector<Ref> held;
    std::vector<PyObject*> by_field;
    std::size_t rows = 0;
};

// Every key must name a field, and every column must be as long as the rest.
// The fields of each name, by the name's text: a column keyed by an exact
// str finds its fields here, so that gathering the columns of a layout of
// many fields is linear in them. Empty when a name has no UTF-8 form (every
// key is then compared with every name).
std::unordered_map<std::string_view, std::vector<std::size_t>> fields_by_name(const BoundLayout& layout) {
    std::unordered_map<std::string_view, std::vector<std::size_t>> out;
    out.reserve(layout.native.fields.size());
    for (const FieldSpec& f : layout.native.fields) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(layout.of(f).name.get(), &size);
        if (text == nullptr) {
            PyErr_Clear();
            return {};
        }
        out[std::string_view(text, static_cast<std::size_t>(size))].push_back(f.index);
    }
    return out;
}

bool gather_columns(const BoundLayout& layout, PyObject* given, PackColumns& out) {
    out.by_field.assign(layout.native.fields.size(), nullptr);
    Ref keys = Ref::steal(PyMapping_Keys(given));
    if (!keys) return false;
    // A snapshot: the keys' __eq__ runs below.
    Ref snapshot = Ref::steal(PySequence_Tuple(keys.get()));
    if (!snapshot) return false;
    const auto by_name = fields_by_name(layout);
    bool have_rows = false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(snapshot.get()); ++k) {
        PyObject* key = PyTuple_GET_ITEM(snapshot.get(), k);
        Ref column = Ref::steal(PyObject_GetItem(given, key));
        if (!column) return false;
        bool known = false;
        Py_ssize_t size = 0;
        const char* text =
            !by_name.empty() && PyUnicode_CheckExact(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        if (text != nullptr) {
            // An exact str equals a name exactly when their texts are equal.
            const auto found = by_name.find(std::string_view(text, static_cast<std::size_t>(size)));
            if (found != by_name.end()) {
                for (const std::size_t index : found->second) out.by_field[index] = column.get();
                known = true;
            }
        } else {
            PyErr_Clear();  // a key with no UTF-8 form is compared as any other object
            for (const FieldSpec& f : layout.native.fields) {
                const int eq = PyObject_RichCompareBool(key, layout.of(f).name.get(), Py_EQ);
                if (eq < 0) return false;
                if (eq) {
                    out.by_field[f.index] = column.get();
                    known = true;
                }
            }
        }
        if (!known) {
            PyErr_Format(PyExc_KeyError, "the layout has no field named %R", key);
            return false;
        }
        const Py_ssize_t length = PyObject_Length(column.get());
        if (length < 0) return false;
        if (have_rows && static_cast<std::size_t>(length) != out.rows) {
            PyErr_Format(PyExc_ValueError, "column %R has %zd rows, but an earlier column has %zu", key, length,
                         out.rows);
            return false;
        }
        out.rows = static_cast<std::size_t>(length);
        have_rows = true;
        out.held.push_back(std::move(column));
    }
    if (!have_rows) {
        PyErr_SetString(PyExc_ValueError, "pack_many needs at least one column");
        return false;
    }
    return true;
}

// One row's values as a dict, for packing that row as Layout.pack would.
Ref row_values(const BoundLayout& layout, const PackColumns& columns, std::size_t row) {
    Ref values = Ref::steal(PyDict_New());
    if (!values) return {};
    for (const FieldSpec& f : layout.native.fields) {
        if (!f.first_name || columns.by_field[f.index] == nullptr) continue;
        Ref v = Ref::steal(PySequence_GetItem(columns.by_field[f.index], static_cast<Py_ssize_t>(row)));
        if (!v || PyDict_SetItem(values.get(), layout.of(f).name.get(), v.get()) < 0) return {};
    }
    return values;
}

PyObject* raise_row_failure(const BoundLayout& layout, const PackColumns& columns, std::size_t row) {
    Ref values = row_values(layout, columns, row);
    if (!values) return nullptr;
    auto result = pack_packet(layout, values.get());
    if (!result) return raise_field_error(layout.native, result.error(), "packet " + std::to_string(row) + ": ");
    return PyErr_Format(PyExc_ValueError, "packet %zu failed to pack", row);
}

// Packets of varying length: one at a time, through Layout.pack.
PyObject* pack_dynamic(const BoundLayout& layout, const PackColumns& columns) {
    std::string out;
    for (std::size_t row = 0; row < columns.rows; ++row) {
        Ref values = row_values(layout, columns, row);
        if (!values) return nullptr;
        auto packet = pack_packet(layout, values.get());
        if (!packet) {
            return raise_field_error(layout.native, packet.error(), "packet " + std::to_string(row) + ": ");
        }
        out.append(PyBytes_AS_STRING(packet->get()), static_cast<std::size_t>(PyBytes_GET_SIZE(packet->get())));
    }
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

// How one field's values were placed: every row, or up to a failing row.
enum class Placed : std::uint8_t { done, not_this_way, error };

// A numpy string array for a text field, placed without the interpreter.
struct StringRows {
    const FieldSpec* field = nullptr;
    const CodecRow* codec = nullptr;
    std::optional<StringArray> strings;
    bool direct = false;  // ASCII text is its own byte form: copied in, zeros after

    // Opens the array; false when the field or the column is not for this path.
    bool open(const FieldSpec& f, PyObject* column, const PackTarget& target) {
        if (f.value_class != ValueClass::text || !f.pack_codec) return false;
        strings.emplace(column);
        if (!strings->ok()) {
            strings.reset();
            return false;
        }
        field = &f;
        codec = &codec_row(*f.pack_codec);
        // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts only
        const std::uint32_t start = *f.start;
        direct = codec->ascii_is_identity && !f.little && start % 8 == 0 && f.bits % 8 == 0 &&
                 start / 8 + f.bits / 8 <= target.length;
        return true;
    }

    static std::size_t place(void* context, const PackTarget& target, std::size_t begin, std::size_t end) {
        auto& self = *static_cast<StringRows*>(context);
        const FieldSpec& f = *self.field;
        // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layouts only
        const std::uint32_t start = *f.start;
        const std::size_t width = f.bits / 8;
        // NOLINTNEXTLINE(bugprone-unchecked-optional-access): open() made the job only with the array open
        StringArray& strings = *self.strings;
        Encoded encoded;
        encoded.is_bytes = true;
        for (std::size_t row = begin; row < end; ++row) {
            std::string_view text;
            if (!strings.get(row, text)) return row;
            const auto* units = reinterpret_cast<const std::uint8_t*>(text.data());
            if (self.direct && text.size() <= width &&
                ascii_unit_count<1>(units, text.size(), any_high_bit) == text.size()) {
                std::uint8_t* at = target.data + row * target.length + start / 8;
                std::memcpy(at, units, text.size());
                std::memset(at + text.size(), 0, width - text.size());
                continue;
            }
            auto bytes = encode_text(*self.codec, text);
            if (!bytes) return row;
            encoded.bytes = std::move(*bytes);
            place_in_packet(target, row, f, encoded);
        }
        return end;
    }
};

// What pack_columns needs of one field, and what keeps it valid: the
// recipe's value encoded, or a numeric array and its buffer.
struct HeldJob {
    ColumnJob job;
    Encoded constant;
    Ref array;
    BufferView view;
    StringRows text;
};

enum class Taken : std::uint8_t { yes, no, refused, error };

// The field as a job of pack_columns when it can be one: the recipe's value
// (refused when it has none or it does not encode), a numeric array, or a
// string array (one per run: each holds numpy's string allocator of its
// array, which two columns may share, for as long as the run lasts).
Taken take_job(const BoundLayout& layout, const FieldSpec& f, PyObject* column, const PackTarget& target,
               bool text_taken, HeldJob& held) {
    held.job.field = &f;
    if (column == nullptr) {
        PyObject* value = layout.of(f).value.get();
        if (value == nullptr) return Taken::refused;
        auto encoded = encode_field_value(f, value, f.bits);
        if (!encoded) {
            if (encoded.error().kind == ErrorKind::python_pending) PyErr_Clear();
            return Taken::refused;
        }
        held.constant = std::move(*encoded);
        held.job.constant = &held.constant;
        return Taken::yes;
    }
    NumericColumn& numeric = held.job.column;
    if (!numeric_column_kind(f, column, held.array, numeric.kind)) return Taken::error;
    if (numeric.kind == NumericInput::none) {
        if (text_taken || !held.text.open(f, column, target)) return Taken::no;
        held.job.place_rows = &StringRows::place;
        held.job.context = &held.text;
        return Taken::yes;
    }
    if (!held.view.acquire(held.array.get(), PyBUF_SIMPLE)) return Taken::error;
    numeric.data = held.view.data();
    numeric.slack = true;
    return Taken::yes;
}

// Value by value, from a snapshot of the column's values (numpy arrays give
// theirs as Python objects in one call to tolist). The snapshot is a tuple
// of our own: a list that tolist returns may be held (and emptied) by
// Python code that a value's conversion runs.
Placed place_values(const PackTarget& target, const FieldSpec& f, PyObject* column, std::size_t up_to,
                    std::size_t& failure) {
    Ref items;
    if (PyObject_HasAttrString(column, "tolist")) {
        items = Ref::steal(PyObject_CallMethod(column, "tolist", nullptr));
        if (!items) return Placed::error;
    }
    Ref values;
    if (items && PyList_Check(items.get())) values = Ref::steal(PyList_AsTuple(items.get()));
    if (!values && PyErr_Occurred()) return Placed::error;
    if (!values || static_cast<std::size_t>(PyTuple_GET_SIZE(values.get())) != target.count) {
        values = Ref::steal(PySequence_Tuple(column));
        if (!values) return Placed::error;
        if (static_cast<std::size_t>(PyTuple_GET_SIZE(values.get())) != target.count) {
            PyErr_SetString(PyExc_ValueError, "a column changed its length while it was being packed");
            return Placed::error;
        }
    }
    failure = target.count;
    for (std::size_t row = 0; row < std::min(target.count, up_to); ++row) {
        auto encoded = encode_field_value(f, PyTuple_GET_ITEM(values.get(), static_cast<Py_ssize_t>(row)), f.bits);
        if (!encoded) {
            if (encoded.error().kind == ErrorKind::python_pending) PyErr_Clear();
            failure = row;
            break;
        }
        place_in_packet(target, row, f, *encoded);
    }
    return Placed::done;
}

// Packets of one length: runs of fields that the kernel places (numeric
// columns, recipe values, a column of text) block by block without the
// interpreter, the others value by value, in the layout's order; returns
// the earliest failing row (target.count: none), or false with an
// exception. The packets are cleared block by block by the first run, or
// at once when the first field is placed value by value.
bool pack_static(const BoundLayout& layout, const PackColumns& columns, const PackTarget& target,
                 std::size_t& first_failure) {
    first_failure = target.count;
    const std::vector<FieldSpec>& fields = layout.native.fields;
    std::size_t next = 0;
    bool cleared = false;
    while (next < fields.size() && first_failure > 0) {
        // std::deque: the jobs point into their holders, which must not move.
        std::deque<HeldJob> held;
        std::vector<ColumnJob> jobs;
        bool text_taken = false;
        for (; next < fields.size(); ++next) {
            const FieldSpec& f = fields[next];
            HeldJob& job = held.emplace_back();
            const Taken taken = take_job(layout, f, columns.by_field[f.index], target, text_taken, job);
            if (taken == Taken::error) return false;
            if (taken == Taken::refused) first_failure = 0;
            if (taken != Taken::yes) break;
            text_taken = text_taken || job.job.place_rows != nullptr;
            jobs.push_back(job.job);
        }
        if (first_failure == 0) break;
        std::size_t failure = target.count;
        if (!cleared && jobs.empty()) {
            std::memset(target.data, 0, target.count * target.length);
        } else {
            without_gil([&] { failure = pack_columns(target, jobs, !cleared); });
        }
        cleared = true;
        first_failure = std::min(first_failure, failure);
        // A second column of text starts a run of its own, once the first's is over.
        if (next == fields.size() || first_failure == 0 || text_taken) continue;
        const FieldSpec& f = fields[next++];
        if (place_values(target, f, columns.by_field[f.index], first_failure, failure) == Placed::error) return false;
        first_failure = std::min(first_failure, failure);
    }
    return true;
}

}  // namespace

PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        static constexpr Signature sig{"pack_many", "", {"columns"}, 1, 1};
        std::array<PyObject*, 1> slots{};
        PyObject* const* a = match_arguments(sig, args, nargs, kwnames, slots);
        if (a == nullptr) return nullptr;
        PyObject* given = a[0];
        if (!PyMapping_Check(given)) {
            raise_cast_error(given, "Mapping");
            rewrap_argument_error("columns");
            return nullptr;
        }
        const BoundLayout* layout = layout_of(self);
        if (layout == nullptr || !numpy_ready()) return nullptr;
        PackColumns columns;
        if (!gather_columns(*layout, given, columns)) return nullptr;
        if (layout->native.dynamic) return pack_dynamic(*layout, columns);

        // 8 bytes of slack after the last packet, cut off at the end.
        const std::size_t n = columns.rows;
        const std::size_t length = layout->native.pack_bytes;
        Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * length + 8)));
        if (!out) return nullptr;
        auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
        std::memset(data + n * length, 0, 8);  // the packets are cleared as they are packed
        const PackTarget target{data, length, n, true};
        std::size_t first_failure = n;
        if (!pack_static(*layout, columns, target, first_failure)) return nullptr;
        if (first_failure < n) return raise_row_failure(*layout, columns, first_failure);
        PyObject* packed = out.release();
        if (_PyBytes_Resize(&packed, static_cast<Py_ssize_t>(n * length)) < 0) return nullptr;
        return packed;
    });
}

}  // namespace bitloom::io
