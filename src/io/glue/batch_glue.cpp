// Layout.unpack_many and Layout.pack_many: arguments, numpy arrays, and the
// kernels run with the interpreter lock released.
#include <sys/mman.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "io/glue/layout_object.hpp"
#include "io/glue/numpy_strings.hpp"
#include "io/kernels/batch.hpp"
#include "io/kernels/field_value.hpp"
#include "io/kernels/pack_kernel.hpp"

namespace bitloom::io {

namespace {

// A buffer view released when it goes out of scope.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    [[nodiscard]] bool acquire(PyObject* obj, int flags) {
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    [[nodiscard]] void* data() const noexcept { return view_.buf; }
    [[nodiscard]] std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

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

const char* dtype_name(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::u8: return "uint8";
        case ColumnKind::u16: return "uint16";
        case ColumnKind::u32: return "uint32";
        case ColumnKind::u64: return "uint64";
        case ColumnKind::i8: return "int8";
        case ColumnKind::i16: return "int16";
        case ColumnKind::i32: return "int32";
        case ColumnKind::i64: return "int64";
        case ColumnKind::f16: return "float16";
        case ColumnKind::f32: return "float32";
        case ColumnKind::f64: return "float64";
        default: return "object";
    }
}

Ref numpy_call(const char* function, PyObject* arg, const char* dtype) {
    PyObject* numpy = numpy_module();
    if (numpy == nullptr) return {};
    Ref fn = Ref::steal(PyObject_GetAttrString(numpy, function));
    if (!fn) return {};
    Ref args = Ref::steal(PyTuple_Pack(1, arg));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:s}", "dtype", dtype));
    if (!args || !kwargs) return {};
    return Ref::steal(PyObject_Call(fn.get(), args.get(), kwargs.get()));
}

Ref new_array(std::size_t n, const char* dtype, const char* function = "empty") {
    Ref size = Ref::steal(PyLong_FromSize_t(n));
    if (!size) return {};
    return numpy_call(function, size.get(), dtype);
}

// A column of `n` values of `kind` in `block` (a uint8 array), from byte
// `offset`: block[offset : offset + n * size].view(dtype).
Ref block_column(PyObject* block, std::size_t offset, std::size_t n, ColumnKind kind) {
    const auto begin = static_cast<Py_ssize_t>(offset);
    const auto end = static_cast<Py_ssize_t>(offset + n * column_item_size(kind));
    Ref start = Ref::steal(PyLong_FromSsize_t(begin));
    Ref stop = Ref::steal(PyLong_FromSsize_t(end));
    if (!start || !stop) return {};
    Ref slice = Ref::steal(PySlice_New(start.get(), stop.get(), nullptr));
    Ref bytes = slice ? Ref::steal(PyObject_GetItem(block, slice.get())) : Ref();
    return bytes ? Ref::steal(PyObject_CallMethod(bytes.get(), "view", "s", dtype_name(kind))) : Ref();
}

// An int64 view of an array-like argument (1-D), checked to hold no negative
// number.
bool int64_argument(PyObject* obj, const char* name, Ref& array, BufferView& view, std::size_t& count) {
    array = numpy_call("ascontiguousarray", obj, "int64");
    if (!array) return false;
    Ref ndim = Ref::steal(PyObject_GetAttrString(array.get(), "ndim"));
    if (!ndim) return false;
    if (PyLong_AsLong(ndim.get()) != 1) {
        PyErr_Format(PyExc_ValueError, "%s must be one-dimensional", name);
        return false;
    }
    if (!view.acquire(array.get(), PyBUF_SIMPLE)) return false;
    count = view.size() / 8;
    const auto* values = static_cast<const std::int64_t*>(view.data());
    for (std::size_t i = 0; i < count; ++i) {
        if (values[i] < 0) {
            PyErr_Format(PyExc_ValueError, "%s[%zu] is negative (%lld)", name, i, static_cast<long long>(values[i]));
            return false;
        }
    }
    return true;
}

// Reads keyword-only arguments by name into `slots`; `names` ends with null.
bool keyword_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const char* const* names, PyObject** slots) {
    if (kwnames == nullptr) return true;
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* text = PyUnicode_AsUTF8(key);
        if (text == nullptr) return false;
        bool matched = false;
        for (std::size_t s = 0; names[s] != nullptr; ++s) {
            if (std::strcmp(text, names[s]) == 0) {
                slots[s] = args[nargs + k];
                matched = true;
            }
        }
        if (!matched) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function, text);
            return false;
        }
    }
    return true;
}

// A chunk of a bytes column as a list of Python values.
Ref bytes_list(const FieldSpec& f, const BytesColumn& column, std::size_t count) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return {};
    for (std::size_t i = 0; i < count; ++i) {
        const char* data = column.arena.data() + column.begin[i];
        const auto size = static_cast<Py_ssize_t>(column.size[i]);
        PyObject* item = f.value_class == ValueClass::binary ? PyBytes_FromStringAndSize(data, size)
                                                             : PyUnicode_FromStringAndSize(data, size);
        if (item == nullptr) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// A text chunk whose fixed-width slots could not hold it, decoded again
// value by value (failed packets give "").
Ref text_list(const Layout& layout, const FieldSpec& f, const PacketGeometry& g, const std::uint8_t* failed,
              std::size_t first, std::size_t count) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return {};
    NativeValue value;
    for (std::size_t i = 0; i < count; ++i) {
        value.bytes.clear();
        if (!failed[first + i]) {
            const auto p = g.packet(first + i);
            // NOLINTNEXTLINE(bugprone-unchecked-optional-access): slots only for fields with a start
            if (!read_field(layout, f, std::span<const std::uint8_t>(g.data + p.offset, p.length), *f.start, f.bits,
                            value)) {
                value.bytes.clear();
            }
        }
        PyObject* item = PyUnicode_FromStringAndSize(value.bytes.data(), static_cast<Py_ssize_t>(value.bytes.size()));
        if (item == nullptr) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

bool assign_slice(PyObject* array, std::size_t first, std::size_t count, PyObject* values) {
    Ref lo = Ref::steal(PyLong_FromSize_t(first));
    Ref hi = Ref::steal(PyLong_FromSize_t(first + count));
    if (!lo || !hi) return false;
    Ref slice = Ref::steal(PySlice_New(lo.get(), hi.get(), nullptr));
    return slice && PyObject_SetItem(array, slice.get(), values) == 0;
}

Ref string_dtype() {
    Ref dtypes = Ref::steal(PyObject_GetAttrString(numpy_module(), "dtypes"));
    return dtypes ? Ref::steal(PyObject_CallMethod(dtypes.get(), "StringDType", nullptr)) : Ref();
}

Ref empty_array(std::size_t n, PyObject* dtype) {
    Ref fn = Ref::steal(PyObject_GetAttrString(numpy_module(), "empty"));
    Ref size = Ref::steal(PyLong_FromSize_t(n));
    if (!fn || !size) return {};
    return Ref::steal(PyObject_CallFunctionObjArgs(fn.get(), size.get(), dtype, nullptr));
}

Ref masked(PyObject* data, PyObject* failed) {
    PyObject* numpy = numpy_module();
    Ref ma = Ref::steal(PyObject_GetAttrString(numpy, "ma"));
    Ref cls = ma ? Ref::steal(PyObject_GetAttrString(ma.get(), "MaskedArray")) : Ref();
    Ref mask = Ref::steal(PyObject_CallMethod(failed, "copy", nullptr));
    if (!cls || !mask) return {};
    Ref args = Ref::steal(PyTuple_Pack(1, data));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "mask", mask.get()));
    if (!args || !kwargs) return {};
    return Ref::steal(PyObject_Call(cls.get(), args.get(), kwargs.get()));
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

bool read_input(PyObject* buffer, BatchInput& in) {
    if (PyList_Check(buffer) || PyTuple_Check(buffer)) {
        in.packets = true;
        Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        if (!empty) return false;
        in.joined = Ref::steal(_PyBytes_Join(empty.get(), buffer));
        if (!in.joined) return false;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(buffer);
        std::int64_t offset = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            BufferView item;
            if (!item.acquire(PySequence_Fast_GET_ITEM(buffer, i), PyBUF_SIMPLE)) return false;
            in.offsets.push_back(offset);
            in.lengths.push_back(static_cast<std::int64_t>(item.size()));
            offset += static_cast<std::int64_t>(item.size());
        }
        return in.view.acquire(in.joined.get(), PyBUF_SIMPLE);
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

// A StringDType column, just made by numpy.empty, as the kernels' text sink.
class StringSink final : public TextSink {
public:
    explicit StringSink(PyObject* array) : array_(array) { array_.expect_fresh_entries(); }
    [[nodiscard]] bool ok() const noexcept { return array_.ok(); }
    [[nodiscard]] bool set(std::size_t i, std::string_view utf8) noexcept override { return array_.set(i, utf8); }
    [[nodiscard]] bool set_many(std::size_t first, const char* const* texts, std::size_t size,
                                std::size_t count) noexcept override {
        return array_.set_many(first, texts, size, count);
    }

private:
    StringArray array_;
};

PyObject* raise_packet_failure(const Layout& layout, const PacketGeometry& g, std::size_t i) {
    const auto p = g.packet(i);
    const std::string where = "packet " + std::to_string(i) + " (byte offset " + std::to_string(p.offset) + "): ";
    if (!p.inside) {
        return PyErr_Format(PyExc_ValueError, "%s%llu bytes run past the end of the buffer (%zu bytes)", where.c_str(),
                            static_cast<unsigned long long>(p.length), g.size);
    }
    auto result = unpack_packet(layout, std::span<const std::uint8_t>(g.data + p.offset, p.length), 0);
    if (!result) return raise_field_error(layout, result.error(), where);
    return PyErr_Format(PyExc_ValueError, "%sthe packet failed to decode", where.c_str());
}

}  // namespace

// NOLINTNEXTLINE(readability-function-cognitive-complexity): one call's parse/chunk/assemble
PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // NOLINTNEXTLINE(readability-function-cognitive-complexity): see above
    return call_boundary([&]() -> PyObject* {
        if (nargs != 1) {
            return PyErr_Format(PyExc_TypeError, "unpack_many() takes 1 positional argument but %zd were given", nargs);
        }
        static const char* const names[] = {"stride", "offsets", "lengths", "errors", "_by_packet", nullptr};
        PyObject* slots[5] = {};
        if (!keyword_arguments("unpack_many", args, nargs, kwnames, names, slots)) return nullptr;
        const Layout* layout = layout_of(self);
        if (layout == nullptr) return nullptr;
        PyObject* stride_arg = slots[0] == Py_None ? nullptr : slots[0];
        PyObject* offsets_arg = slots[1] == Py_None ? nullptr : slots[1];
        PyObject* lengths_arg = slots[2] == Py_None ? nullptr : slots[2];
        bool mask = false;
        if (slots[3] != nullptr) {
            const char* mode = PyUnicode_Check(slots[3]) ? PyUnicode_AsUTF8(slots[3]) : nullptr;
            if (mode != nullptr && std::strcmp(mode, "mask") == 0) {
                mask = true;
            } else if (mode == nullptr || std::strcmp(mode, "raise") != 0) {
                PyErr_Clear();
                return PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'mask', not %R", slots[3]);
            }
        }
        const bool by_packet = slots[4] != nullptr && PyObject_IsTrue(slots[4]) == 1;
        if (numpy_module() == nullptr) return nullptr;

        BatchInput in;
        if (!read_input(args[0], in)) return nullptr;
        PacketGeometry g;
        g.data = static_cast<const std::uint8_t*>(in.view.data());
        g.size = in.view.size();
        Ref offsets_array;
        Ref lengths_array;
        BufferView offsets_view;
        BufferView lengths_view;
        if (stride_arg != nullptr) {
            std::uint64_t stride = 0;
            if (!convert_argument<std::uint64_t, convert_u64>(stride_arg, "stride", stride)) return nullptr;
            if (stride == 0) return PyErr_Format(PyExc_ValueError, "stride must be positive");
            g.stride = stride;
        }
        if (in.packets) {
            if (stride_arg || offsets_arg || lengths_arg) {
                return PyErr_Format(
                    PyExc_ValueError,
                    "a list of packets gives its own offsets: stride, offsets and lengths do not apply");
            }
            g.offsets = in.offsets.data();
            g.lengths = in.lengths.data();
            g.count = in.offsets.size();
        } else if (offsets_arg != nullptr) {
            if (!int64_argument(offsets_arg, "offsets", offsets_array, offsets_view, g.count)) return nullptr;
            g.offsets = static_cast<const std::int64_t*>(offsets_view.data());
            if (lengths_arg != nullptr) {
                std::size_t n = 0;
                if (!int64_argument(lengths_arg, "lengths", lengths_array, lengths_view, n)) return nullptr;
                if (n != g.count) {
                    return PyErr_Format(PyExc_ValueError, "offsets has %zu entries but lengths has %zu", g.count, n);
                }
                g.lengths = static_cast<const std::int64_t*>(lengths_view.data());
            }
        } else if (g.stride != 0) {
            if (lengths_arg != nullptr) return PyErr_Format(PyExc_ValueError, "lengths needs offsets");
            g.count = static_cast<std::size_t>((g.size + g.stride - 1) / g.stride);
        } else {
            return PyErr_Format(PyExc_ValueError, "unpack_many needs stride= or offsets= (or a list of packets)");
        }

        // Output: numeric columns and the failure flags, filled in place;
        // text and binary columns a chunk at a time.
        const std::size_t n = g.count;
        const std::size_t ncols = layout->column_fields.size();
        const std::size_t chunk = std::min<std::size_t>(n, std::size_t{1} << 16);
        std::vector<Ref> arrays(ncols);
        std::vector<BufferView> views(ncols);
        std::vector<BytesColumn> byte_columns(ncols);
        std::vector<Ref> temps(ncols);
        std::vector<BufferView> temp_views(ncols);
        UnpackJob job;
        job.layout = layout;
        job.geometry = g;
        job.by_packet = by_packet;
        job.numeric.assign(ncols, nullptr);
        job.bytes.assign(ncols, nullptr);
        // The numeric columns of a batch of moderate size share one block:
        // one allocation instead of one per column, which the C library then
        // keeps and hands out again on the next call, where columns of their
        // own would be given back to the system when freed and faulted in
        // afresh on every call. A column keeps the whole block alive, so
        // larger batches give each column its own array.
        constexpr std::size_t block_limit = std::size_t{16} << 20;
        constexpr std::size_t block_alignment = 64;
        std::vector<std::size_t> block_offsets(ncols, 0);
        std::size_t block_bytes = 0;
        for (std::size_t c = 0; c < ncols; ++c) {
            const FieldSpec& f = layout->fields[layout->column_fields[c]];
            if (f.column == ColumnKind::text || f.column == ColumnKind::binary) continue;
            block_offsets[c] = block_bytes;
            block_bytes += (n * column_item_size(f.column) + block_alignment - 1) / block_alignment * block_alignment;
        }
        Ref block;
        if (block_bytes > 0 && block_bytes <= block_limit) {
            block = new_array(block_bytes, "uint8");
            if (!block) return nullptr;
        }
        for (std::size_t c = 0; c < ncols; ++c) {
            const FieldSpec& f = layout->fields[layout->column_fields[c]];
            if (f.column == ColumnKind::text || f.column == ColumnKind::binary) {
                job.bytes[c] = &byte_columns[c];
                Ref dtype = f.column == ColumnKind::text ? string_dtype() : Ref::steal(PyUnicode_FromString("object"));
                if (!dtype) return nullptr;
                arrays[c] = empty_array(n, dtype.get());
                if (!arrays[c]) return nullptr;
                const std::size_t width = (std::uint64_t{f.bits} + 7) / 8;
                if (f.column == ColumnKind::text && f.start && width > 0 && width <= 1024 && chunk > 0 &&
                    !numpy_strings_available()) {
                    // Fixed-width slots: ASCII text has one byte per character.
                    char slots[32];
                    std::snprintf(slots, sizeof slots, "S%zu", width);
                    temps[c] = new_array(chunk, slots);
                    if (!temps[c] || !temp_views[c].acquire(temps[c].get(), PyBUF_WRITABLE)) return nullptr;
                    byte_columns[c].ascii = static_cast<char*>(temp_views[c].data());
                    byte_columns[c].width = width;
                }
                continue;
            }
            arrays[c] =
                block ? block_column(block.get(), block_offsets[c], n, f.column) : new_array(n, dtype_name(f.column));
            if (!arrays[c] || !views[c].acquire(arrays[c].get(), PyBUF_WRITABLE)) return nullptr;
            job.numeric[c] = views[c].data();
        }
        Ref failed = new_array(n, "bool", "zeros");
        BufferView failed_view;
        if (!failed || !failed_view.acquire(failed.get(), PyBUF_WRITABLE)) return nullptr;
        job.failed = static_cast<std::uint8_t*>(failed_view.data());

        // The pages of a memory-mapped file are let go once read, so that
        // decoding a large file holds little more than its columns.
        const bool mapped_file =
            std::strcmp(Py_TYPE(args[0])->tp_name, "mmap.mmap") == 0 && g.stride != 0 && g.offsets == nullptr;
        const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));

        // Text columns written in place through numpy's API, when it is there.
        std::vector<std::unique_ptr<StringSink>> strings(ncols);
        for (std::size_t c = 0; c < ncols; ++c) {
            if (job.bytes[c] == nullptr || byte_columns[c].ascii != nullptr) continue;
            if (layout->fields[layout->column_fields[c]].column != ColumnKind::text) continue;
            auto opened = std::make_unique<StringSink>(arrays[c].get());
            if (!opened->ok()) continue;
            strings[c] = std::move(opened);
            byte_columns[c].sink = strings[c].get();
        }

        std::size_t failures = 0;
        for (std::size_t first = 0; first < n; first += chunk) {
            job.first = first;
            job.count = std::min(chunk, n - first);
            std::size_t chunk_failures = 0;
            without_gil([&] {
                chunk_failures = run_unpack(job);
#ifdef MADV_PAGEOUT
                if (mapped_file) {
                    const auto lo = reinterpret_cast<std::uintptr_t>(g.data) + first * g.stride;
                    const auto hi = std::min(reinterpret_cast<std::uintptr_t>(g.data) + g.size,
                                             reinterpret_cast<std::uintptr_t>(g.data) + (first + job.count) * g.stride);
                    const std::uintptr_t a = (lo + page - 1) / page * page;
                    const std::uintptr_t b = hi / page * page;
                    if (b > a) {
                        // NOLINTNEXTLINE(performance-no-int-to-ptr): page-aligned address of the mapping
                        madvise(reinterpret_cast<void*>(a), b - a, MADV_PAGEOUT);
                    }
                }
#endif
            });
            failures += chunk_failures;
            if (failures > 0 && !mask) {
                for (std::size_t i = first; i < first + job.count; ++i) {
                    if (job.failed[i]) return raise_packet_failure(*layout, g, i);
                }
            }
            for (std::size_t c = 0; c < ncols; ++c) {
                if (byte_columns[c].sink_failed) return PyErr_NoMemory();
            }
            for (std::size_t c = 0; c < ncols; ++c) {
                BytesColumn* column = job.bytes[c];
                if (column == nullptr || strings[c]) continue;
                const FieldSpec& f = layout->fields[layout->column_fields[c]];
                Ref values;
                if (column->ascii != nullptr && !column->overflow) {
                    values =
                        job.count == chunk
                            ? Ref::borrow(temps[c].get())
                            : Ref::steal(PySequence_GetSlice(temps[c].get(), 0, static_cast<Py_ssize_t>(job.count)));
                } else if (column->ascii != nullptr) {
                    values = text_list(*layout, f, g, job.failed, first, job.count);
                } else {
                    values = bytes_list(f, *column, job.count);
                }
                if (!values || !assign_slice(arrays[c].get(), first, job.count, values.get())) return nullptr;
            }
        }

        strings.clear();
        Ref columns = Ref::steal(PyObject_CallNoArgs(columns_class()));
        if (!columns) return nullptr;
        for (std::size_t c = 0; c < ncols; ++c) {
            const FieldSpec& f = layout->fields[layout->column_fields[c]];
            Ref array = std::move(arrays[c]);
            if (mask) {
                array = masked(array.get(), failed.get());
                if (!array) return nullptr;
            }
            if (PyDict_SetItem(columns.get(), f.name.get(), array.get()) < 0) return nullptr;
        }
        Ref count = Ref::steal(PyLong_FromSize_t(failures));
        if (!count || PyObject_SetAttrString(columns.get(), "failures", count.get()) < 0 ||
            PyObject_SetAttrString(columns.get(), "failed", failed.get()) < 0) {
            return nullptr;
        }
        return columns.release();
    });
}

// --- pack_many -----------------------------------------------------------------

namespace {

// The value of row `row` of a column (an array-like).
Ref row_value(PyObject* column, std::size_t row) {
    return Ref::steal(PySequence_GetItem(column, static_cast<Py_ssize_t>(row)));
}

// The dict of one row's values, for reporting that row's failure exactly as
// Layout.pack would.
PyObject* raise_row_failure(const Layout& layout, const std::vector<PyObject*>& columns, std::size_t row) {
    Ref values = Ref::steal(PyDict_New());
    if (!values) return nullptr;
    for (const FieldSpec& f : layout.fields) {
        if (!f.first_name || columns[f.index] == nullptr) continue;
        Ref v = row_value(columns[f.index], row);
        if (!v || PyDict_SetItem(values.get(), f.name.get(), v.get()) < 0) return nullptr;
    }
    auto result = pack_packet(layout, values.get());
    if (!result) return raise_field_error(layout, result.error(), "packet " + std::to_string(row) + ": ");
    return PyErr_Format(PyExc_ValueError, "packet %zu failed to pack", row);
}

}  // namespace

// NOLINTNEXTLINE(readability-function-cognitive-complexity): one call's parse/gather/pack
PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // NOLINTNEXTLINE(readability-function-cognitive-complexity): see above
    return call_boundary([&]() -> PyObject* {
        if (nargs != 1 || kwnames != nullptr) {
            return PyErr_Format(PyExc_TypeError, "pack_many() takes exactly 1 positional argument (columns)");
        }
        PyObject* given = args[0];
        if (!PyMapping_Check(given)) {
            raise_cast_error(given, "Mapping");
            rewrap_argument_error("columns");
            return nullptr;
        }
        const Layout* layout = layout_of(self);
        if (layout == nullptr) return nullptr;
        if (numpy_module() == nullptr) return nullptr;

        // Each field's column (borrowed from `held`), by field index; every
        // key must name a field, and every column must be as long as the rest.
        std::vector<Ref> held;
        std::vector<PyObject*> columns(layout->fields.size(), nullptr);
        Ref keys = Ref::steal(PyMapping_Keys(given));
        if (!keys) return nullptr;
        std::size_t n = 0;
        bool have_rows = false;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.get()); ++k) {
            PyObject* key = PyList_GET_ITEM(keys.get(), k);
            Ref column = Ref::steal(PyObject_GetItem(given, key));
            if (!column) return nullptr;
            bool known = false;
            for (const FieldSpec& f : layout->fields) {
                const int eq = PyObject_RichCompareBool(key, f.name.get(), Py_EQ);
                if (eq < 0) return nullptr;
                if (eq) {
                    columns[f.index] = column.get();
                    known = true;
                }
            }
            if (!known) return PyErr_Format(PyExc_KeyError, "the layout has no field named %R", key);
            const Py_ssize_t length = PyObject_Length(column.get());
            if (length < 0) return nullptr;
            if (have_rows && static_cast<std::size_t>(length) != n) {
                return PyErr_Format(PyExc_ValueError, "column %R has %zd rows, but an earlier column has %zu", key,
                                    length, n);
            }
            n = static_cast<std::size_t>(length);
            have_rows = true;
            held.push_back(std::move(column));
        }
        if (!have_rows) return PyErr_Format(PyExc_ValueError, "pack_many needs at least one column");

        if (layout->dynamic) {
            // Packets of varying length: one at a time.
            std::string out;
            for (std::size_t row = 0; row < n; ++row) {
                Ref values = Ref::steal(PyDict_New());
                if (!values) return nullptr;
                for (const FieldSpec& f : layout->fields) {
                    if (!f.first_name || columns[f.index] == nullptr) continue;
                    Ref v = row_value(columns[f.index], row);
                    if (!v || PyDict_SetItem(values.get(), f.name.get(), v.get()) < 0) return nullptr;
                }
                auto packet = pack_packet(*layout, values.get());
                if (!packet) {
                    return raise_field_error(*layout, packet.error(), "packet " + std::to_string(row) + ": ");
                }
                out.append(PyBytes_AS_STRING(packet->get()), static_cast<std::size_t>(PyBytes_GET_SIZE(packet->get())));
            }
            return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
        }

        // 8 bytes of slack after the last packet, cut off at the end.
        const std::size_t length = layout->pack_bytes;
        Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * length + 8)));
        if (!out) return nullptr;
        auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
        std::memset(data, 0, n * length + 8);
        PackTarget target{data, length, n, true};
        std::size_t first_failure = n;  // the earliest failing row of any field

        for (const FieldSpec& f : layout->fields) {
            PyObject* column = columns[f.index];
            if (column == nullptr) {
                // The recipe's value in every packet.
                if (!f.value) {
                    first_failure = 0;
                    break;
                }
                auto encoded = encode_field_value(f, f.value.get(), f.bits);
                if (!encoded) {
                    first_failure = 0;
                    break;
                }
                without_gil([&] { place_in_every_packet(target, f, *encoded); });
                continue;
            }
            NumericColumn numeric;
            Ref array;
            BufferView view;
            if (numeric_column_kind(f, column, array, numeric.kind) && numeric.kind != NumericInput::none) {
                if (!view.acquire(array.get(), PyBUF_SIMPLE)) return nullptr;
                numeric.data = view.data();
                numeric.slack = true;
                std::size_t failure = n;
                without_gil([&] { failure = pack_numeric_column(target, f, numeric); });
                first_failure = std::min(first_failure, failure);
                continue;
            }
            if (PyErr_Occurred()) return nullptr;
            if (f.value_class == ValueClass::text && f.pack_codec) {
                StringArray strings(column);
                if (strings.ok()) {
                    const CodecRow& codec = codec_row(*f.pack_codec);
                    std::size_t failure = n;
                    without_gil([&] {
                        Encoded encoded;
                        encoded.is_bytes = true;
                        for (std::size_t row = 0; row < n; ++row) {
                            std::string_view text;
                            if (!strings.get(row, text)) {
                                failure = row;
                                break;
                            }
                            auto bytes = encode_text(codec, text);
                            if (!bytes) {
                                failure = row;
                                break;
                            }
                            encoded.bytes = std::move(*bytes);
                            place_in_packet(target, row, f, encoded);
                        }
                    });
                    first_failure = std::min(first_failure, failure);
                    continue;
                }
            }
            // Value by value, from a list of the column's values (numpy
            // arrays give theirs as Python objects in one call).
            Ref items;
            if (PyObject_HasAttrString(column, "tolist")) {
                items = Ref::steal(PyObject_CallMethod(column, "tolist", nullptr));
            } else {
                items = Ref::steal(PySequence_List(column));
            }
            if (!items) return nullptr;
            if (!PyList_Check(items.get()) || static_cast<std::size_t>(PyList_GET_SIZE(items.get())) != n) {
                items = Ref::steal(PySequence_List(column));
                if (!items) return nullptr;
            }
            for (std::size_t row = 0; row < std::min(n, first_failure); ++row) {
                Ref v = Ref::borrow(PyList_GET_ITEM(items.get(), static_cast<Py_ssize_t>(row)));
                auto encoded = encode_field_value(f, v.get(), f.bits);
                if (!encoded) {
                    if (encoded.error().kind == ErrorKind::python_pending) PyErr_Clear();
                    first_failure = std::min(first_failure, row);
                    break;
                }
                place_in_packet(target, row, f, *encoded);
            }
        }
        if (first_failure < n) return raise_row_failure(*layout, columns, first_failure);
        PyObject* packed = out.release();
        if (_PyBytes_Resize(&packed, static_cast<Py_ssize_t>(n * length)) < 0) return nullptr;
        return packed;
    });
}

}  // namespace bitloom::io
