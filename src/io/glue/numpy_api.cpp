#include "io/glue/numpy_api.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#include <numpy/ndarrayobject.h>

#include "io/kernels/rows.hpp"

namespace bitloom::io {

bool numpy_ready() {
    static bool loaded = false;
    if (loaded) return true;
    // numpy 2's API table holds the string functions; an older numpy is
    // refused (as the package's requirements do).
    if (PyArray_ImportNumPyAPI() < 0) return false;
    if (PyArray_RUNTIME_VERSION < NPY_2_0_API_VERSION) {
        PyErr_SetString(PyExc_ImportError, "bitloom_io needs numpy 2 or later");
        return false;
    }
    loaded = true;
    return true;
}

namespace {

int type_number(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::u8: return NPY_UINT8;
        case ColumnKind::u16: return NPY_UINT16;
        case ColumnKind::u32: return NPY_UINT32;
        case ColumnKind::u64: return NPY_UINT64;
        case ColumnKind::i8: return NPY_INT8;
        case ColumnKind::i16: return NPY_INT16;
        case ColumnKind::i32: return NPY_INT32;
        case ColumnKind::i64: return NPY_INT64;
        case ColumnKind::f16: return NPY_HALF;
        case ColumnKind::f32: return NPY_FLOAT32;
        case ColumnKind::f64: return NPY_FLOAT64;
        case ColumnKind::text: return NPY_VSTRING;
        case ColumnKind::binary: return NPY_OBJECT;
    }
    return NPY_OBJECT;
}

Ref new_array(std::size_t n, int type, bool zeros = false) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    PyArray_Descr* descr = PyArray_DescrFromType(type);  // a new reference, stolen below
    if (descr == nullptr) return {};
    PyObject* array = zeros ? PyArray_Zeros(1, dims, descr, 0) : PyArray_Empty(1, dims, descr, 0);
    return Ref::steal(array);
}

}  // namespace

Ref numeric_array(std::size_t n, ColumnKind kind) { return new_array(n, type_number(kind)); }
Ref byte_array(std::size_t n) { return new_array(n, NPY_UINT8); }
Ref bool_zeros(std::size_t n) { return new_array(n, NPY_BOOL, true); }
// numpy zero-fills the entries of string arrays it makes: all empty strings.
Ref string_array(std::size_t n) { return new_array(n, NPY_VSTRING); }
Ref object_array(std::size_t n) { return new_array(n, NPY_OBJECT); }

Ref block_view(PyObject* block, std::size_t offset, std::size_t n, ColumnKind kind) {
    auto* base = reinterpret_cast<PyArrayObject*>(block);
    PyArray_Descr* descr = PyArray_DescrFromType(type_number(kind));
    if (descr == nullptr) return {};
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    Ref view =
        Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr,
                                        static_cast<char*>(PyArray_DATA(base)) + offset, NPY_ARRAY_CARRAY, nullptr));
    if (!view) return {};
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), Py_NewRef(block)) < 0) return {};
    return view;
}

Ref rows_of(PyObject* target, std::size_t row, std::size_t n, ColumnKind kind) {
    auto* array = PyArray_Check(target) ? reinterpret_cast<PyArrayObject*>(target) : nullptr;
    if (array == nullptr || PyArray_NDIM(array) != 1 || !PyArray_IS_C_CONTIGUOUS(array) ||
        !PyArray_ISWRITEABLE(array) || PyArray_TYPE(array) != type_number(kind) || !PyArray_ISNOTSWAPPED(array) ||
        static_cast<std::size_t>(PyArray_DIM(array, 0)) < row + n) {
        PyErr_Format(PyExc_ValueError, "cannot fill rows %zu to %zu of %R", row, row + n, target);
        return {};
    }
    return block_view(target, row * static_cast<std::size_t>(PyArray_ITEMSIZE(array)), n, kind);
}

Ref array_copy(PyObject* array) {
    return Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(array), NPY_CORDER));
}

Ref int64_array(PyObject* obj, const char* name) {
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_INT64);
    if (descr == nullptr) return {};
    Ref array = Ref::steal(PyArray_FromAny(obj, descr, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
    if (!array) return {};
    auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(arr) == 0) return Ref::steal(PyArray_Ravel(arr, NPY_CORDER));
    if (PyArray_NDIM(arr) != 1) {
        PyErr_Format(PyExc_ValueError, "%s must be one-dimensional", name);
        return {};
    }
    return array;
}

bool numeric_column_kind(const FieldSpec& f, PyObject* column, Ref& array, NumericInput& kind) {
    kind = NumericInput::none;
    if (f.binary || !f.pack_codec || f.value_class == ValueClass::text) return true;
    Ref as_array = Ref::steal(PyArray_FromAny(column, nullptr, 0, 0, NPY_ARRAY_CARRAY_RO, nullptr));
    if (!as_array) return false;
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(as_array.get()));
    if (PyArray_ISBYTESWAPPED(reinterpret_cast<PyArrayObject*>(as_array.get()))) return true;
    const bool ieee = f.value_class == ValueClass::ieee;
    switch (descr->type_num) {
        case NPY_INT8: kind = NumericInput::i8; break;
        case NPY_INT16: kind = NumericInput::i16; break;
        case NPY_INT32: kind = NumericInput::i32; break;
        case NPY_INT64: kind = NumericInput::i64; break;
        case NPY_UINT8: kind = NumericInput::u8; break;
        case NPY_UINT16: kind = NumericInput::u16; break;
        case NPY_UINT32: kind = NumericInput::u32; break;
        case NPY_UINT64: kind = NumericInput::u64; break;
        case NPY_FLOAT32: kind = ieee ? NumericInput::f32 : NumericInput::none; break;
        case NPY_FLOAT64: kind = ieee ? NumericInput::f64 : NumericInput::none; break;
        case NPY_HALF:
        case NPY_LONGDOUBLE: {
            if (!ieee) return true;
            // Other float widths are packed from their float64 values.
            PyArray_Descr* f64 = PyArray_DescrFromType(NPY_FLOAT64);
            if (f64 == nullptr) return false;
            array = Ref::steal(
                PyArray_FromAny(as_array.get(), f64, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
            if (!array) return false;
            kind = NumericInput::f64;
            return true;
        }
        default:
            // C's long and long long of the same width are distinct type
            // numbers; numpy's sized names cover one of them.
            if (PyDataType_ISINTEGER(descr)) {
                const auto size = PyDataType_ELSIZE(descr);
                const bool is_signed = PyDataType_ISSIGNED(descr);
                if (size == 8) kind = is_signed ? NumericInput::i64 : NumericInput::u64;
                if (size == 4) kind = is_signed ? NumericInput::i32 : NumericInput::u32;
            }
            break;
    }
    if (kind != NumericInput::none) array = std::move(as_array);
    return true;
}

StringArray::StringArray(PyObject* array) {
    if (!numpy_ready()) {
        PyErr_Clear();
        return;
    }
    if (!PyArray_Check(array)) return;
    auto* arr = reinterpret_cast<PyArrayObject*>(array);
    PyArray_Descr* descr = PyArray_DESCR(arr);
    if (descr->type_num != NPY_VSTRING || PyArray_NDIM(arr) != 1) return;
    data_ = static_cast<char*>(PyArray_DATA(arr));
    stride_ = static_cast<std::size_t>(PyArray_STRIDES(arr)[0]);
    count_ = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    allocator_ = NpyString_acquire_allocator(reinterpret_cast<PyArray_StringDTypeObject*>(descr));
}

StringArray::~StringArray() {
    if (allocator_ != nullptr) NpyString_release_allocator(static_cast<npy_string_allocator*>(allocator_));
}

// numpy keeps a string of up to 15 bytes inside its 16-byte entry: the
// bytes, zeros after them, and a last byte of flags and size. Packing one
// into a fresh (all-zero) entry through the API first clears a flag bit with
// a one-byte write and then reads the entry's last 8 bytes back, which the
// processor cannot forward from that write: a stall on every value, most of
// the time a column of short strings takes. Writing the 16 bytes directly
// gives the entry the same bytes, once this numpy is seen to use that form.
namespace {

constexpr std::size_t entry_bytes = 16;
constexpr std::size_t short_max = entry_bytes - 1;

bool entry_is_zero(const char* entry) noexcept {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    std::memcpy(&lo, entry, 8);
    std::memcpy(&hi, entry + 8, 8);
    return (lo | hi) == 0;
}

template <class Word>
Word load(const unsigned char* p) noexcept {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The entry's two 8-byte halves built in registers (little-endian hosts):
// built in memory byte by byte and then copied, they would meet the same
// stall as the API does.
inline void write_short(char* entry, std::string_view text, unsigned char flags) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    if (n >= 8) {
        lo = load<std::uint64_t>(p);
        if (n > 8) hi = load<std::uint64_t>(p + n - 8) >> (8 * (16 - n));  // bytes 8 to n - 1
    } else if (n >= 4) {
        lo = load<std::uint32_t>(p) | (std::uint64_t{load<std::uint32_t>(p + n - 4)} << (8 * (n - 4)));
    } else if (n > 0) {
        lo = p[0] | (std::uint64_t{p[n / 2]} << (8 * (n / 2))) | (std::uint64_t{p[n - 1]} << (8 * (n - 1)));
    }
    hi |= std::uint64_t{static_cast<unsigned char>(flags | n)} << 56;
    std::memcpy(entry, &lo, 8);
    std::memcpy(entry + 8, &hi, 8);
}

}  // namespace

void StringArray::expect_fresh_entries() noexcept {
    if constexpr (std::endian::native != std::endian::little) return;
    if (allocator_ == nullptr || stride_ != entry_bytes || count_ == 0 || !entry_is_zero(data_)) return;
    auto* allocator = static_cast<npy_string_allocator*>(allocator_);
    auto* packed = reinterpret_cast<npy_packed_static_string*>(data_);
    // Probes of every size a short string can have, packed by numpy into
    // the fresh entry 0 and compared with what write_short gives, the entry
    // zeroed after each (a short string holds no allocation). The flags are
    // taken from the one of size 1.
    static constexpr std::string_view probe = "Probe-\x01\x7f-text-16";
    static_assert(probe.size() >= short_max);
    unsigned char flags = 0;
    bool same = true;
    for (std::size_t k = 0; k <= short_max; ++k) {
        const std::size_t size = (k + 1) % (short_max + 1);  // 1 to 15, then 0
        const std::string_view text = probe.substr(0, size);
        if (NpyString_pack(allocator, packed, text.data(), text.size()) != 0) {
            same = false;
        } else {
            if (size == 1) flags = static_cast<unsigned char>(static_cast<unsigned char>(data_[short_max]) & 0xF0U);
            std::array<char, entry_bytes> expected{};
            if (size > 0) write_short(expected.data(), text, flags);
            same = same && flags != 0 && std::memcmp(expected.data(), data_, entry_bytes) == 0;
        }
        std::memset(data_, 0, entry_bytes);
    }
    if (same) short_flags_ = flags;
}

bool StringArray::set_inline(std::size_t i, std::string_view utf8) noexcept {
    char* entry = data_ + i * stride_;
    if (short_flags_ == 0 || utf8.size() > short_max || !entry_is_zero(entry)) return false;
    // An empty string leaves a fresh entry as it is, as packing does.
    if (!utf8.empty()) write_short(entry, utf8, short_flags_);
    return true;
}

void StringArray::touch(std::size_t first, std::size_t count) noexcept {
    if (allocator_ == nullptr || first >= count_) return;
    std::memset(data_ + first * stride_, 0, std::min(count, count_ - first) * stride_);
}

bool StringArray::set(std::size_t i, std::string_view utf8) noexcept {
    if (set_inline(i, utf8)) return true;
    auto* packed = reinterpret_cast<npy_packed_static_string*>(data_ + i * stride_);
    return NpyString_pack(static_cast<npy_string_allocator*>(allocator_), packed, utf8.data(), utf8.size()) == 0;
}

bool StringArray::set_many(std::size_t first, const char* const* texts, std::size_t size, std::size_t count) noexcept {
    bool stored = true;
    for (std::size_t j = 0; j < count; ++j) {
        if (texts[j] != nullptr) stored = set(first + j, std::string_view(texts[j], size)) && stored;
    }
    return stored;
}

bool StringArray::get(std::size_t i, std::string_view& utf8) noexcept {
    const auto* packed = reinterpret_cast<const npy_packed_static_string*>(data_ + i * stride_);
    npy_static_string s = {0, nullptr};
    if (NpyString_load(static_cast<npy_string_allocator*>(allocator_), packed, &s) != 0) return false;
    utf8 = std::string_view(s.buf == nullptr ? "" : s.buf, s.size);
    return true;
}

namespace {

// The 1-D, writable, contiguous array of values of 1, 2, 4 or 8 bytes
// (no object references) that `out` must be; null with an exception set.
PyArrayObject* flat_target(PyObject* out) {
    if (!PyArray_Check(out)) {
        PyErr_SetString(PyExc_TypeError, "out must be a numpy array");
        return nullptr;
    }
    auto* target = reinterpret_cast<PyArrayObject*>(out);
    if (PyArray_NDIM(target) != 1 || !PyArray_IS_C_CONTIGUOUS(target) || !PyArray_ISWRITEABLE(target)) {
        PyErr_SetString(PyExc_ValueError, "out must be a writable, contiguous array of one dimension");
        return nullptr;
    }
    PyArray_Descr* dtype = PyArray_DESCR(target);
    const auto width = PyDataType_ELSIZE(dtype);
    if (PyDataType_REFCHK(dtype) || (width != 1 && width != 2 && width != 4 && width != 8)) {
        PyErr_SetString(PyExc_TypeError, "out must hold values of 1, 2, 4 or 8 bytes, without object references");
        return nullptr;
    }
    return target;
}

// True when rows of `count` values starting at places[i] all fit in `size`
// values; else false with an IndexError naming the first that does not.
bool places_fit(const std::int64_t* places, npy_intp rows, std::int64_t count, npy_intp size) {
    for (npy_intp i = 0; i < rows && count > 0; ++i) {
        if (places[i] < 0 || places[i] > size - count) {
            PyErr_Format(PyExc_IndexError, "row %zd starts at %lld: its %lld values do not fit in out (%zd values)",
                         static_cast<Py_ssize_t>(i), static_cast<long long>(places[i]), static_cast<long long>(count),
                         static_cast<Py_ssize_t>(size));
            return false;
        }
    }
    return true;
}

const std::int64_t* int64_data(const Ref& array) {
    return static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

npy_intp int64_size(const Ref& array) { return PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array.get())); }

}  // namespace

PyObject* gather_values_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 7) {
        PyErr_Format(PyExc_TypeError, "_gather_values() takes 7 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!numpy_ready()) return nullptr;
    PyArrayObject* target = flat_target(args[5]);
    if (target == nullptr) return nullptr;
    const auto width = static_cast<std::int64_t>(PyDataType_ELSIZE(PyArray_DESCR(target)));
    const long long count = PyLong_AsLongLong(args[2]);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    const long long stride = PyLong_AsLongLong(args[3]);
    if (stride == -1 && PyErr_Occurred()) return nullptr;
    const int swap = PyObject_IsTrue(args[4]);
    if (swap < 0) return nullptr;
    if (count < 0 || stride < width || stride > (std::int64_t{1} << 40)) {
        PyErr_SetString(PyExc_ValueError, "count must be 0 or more and stride at least the values' size");
        return nullptr;
    }
    BufferView source;
    if (!source.acquire(args[0], PyBUF_SIMPLE)) return nullptr;
    Ref starts = int64_array(args[1], "starts");
    if (!starts) return nullptr;
    Ref places = int64_array(args[6], "places");
    if (!places) return nullptr;
    const npy_intp rows = int64_size(starts);
    if (int64_size(places) != rows) {
        PyErr_SetString(PyExc_ValueError, "starts and places must have one value per row each");
        return nullptr;
    }
    const std::int64_t* at = int64_data(starts);
    const std::int64_t* to = int64_data(places);
    if (!places_fit(to, rows, count, PyArray_SIZE(target))) return nullptr;
    if (count > 0 && rows > 0) {
        const auto size = static_cast<std::int64_t>(source.size());
        if (count - 1 > (size - width) / stride) {
            PyErr_Format(PyExc_IndexError, "%lld values every %lld bytes do not fit in the buffer (%zd bytes)", count,
                         stride, static_cast<Py_ssize_t>(size));
            return nullptr;
        }
        const std::int64_t span = (count - 1) * stride + width;  // at most size, by the test above
        for (npy_intp i = 0; i < rows; ++i) {
            if (at[i] < 0 || at[i] > size - span) {
                PyErr_Format(PyExc_IndexError, "row %zd: %lld bytes from byte %lld lie outside the buffer (%zd bytes)",
                             static_cast<Py_ssize_t>(i), static_cast<long long>(span), static_cast<long long>(at[i]),
                             static_cast<Py_ssize_t>(size));
                return nullptr;
            }
        }
    }
    if (count > 0 && rows > 0) {
        const auto* from = static_cast<const std::byte*>(source.data());
        auto* data = static_cast<std::byte*>(PyArray_DATA(target));
        const std::span<const std::int64_t> first(at, static_cast<std::size_t>(rows));
        const std::span<const std::int64_t> into(to, static_cast<std::size_t>(rows));
        Py_BEGIN_ALLOW_THREADS gather_values(from, first, static_cast<std::size_t>(count),
                                             static_cast<std::size_t>(stride), static_cast<std::size_t>(width),
                                             swap != 0, into, data);
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

PyObject* interleave_rows_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "_interleave_rows() takes 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!numpy_ready()) return nullptr;
    PyArrayObject* target = flat_target(args[1]);
    if (target == nullptr) return nullptr;
    PyArray_Descr* dtype = PyArray_DESCR(target);
    const auto width = static_cast<std::size_t>(PyDataType_ELSIZE(dtype));
    Ref starts = int64_array(args[2], "starts");
    if (!starts) return nullptr;
    Ref columns = Ref::steal(PySequence_Fast(args[0], "columns must be a sequence of arrays"));
    if (!columns) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(columns.get());
    const npy_intp rows = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(starts.get()));
    std::vector<const std::byte*> pointers;
    pointers.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* item = PySequence_Fast_GET_ITEM(columns.get(), j);
        auto* column = reinterpret_cast<PyArrayObject*>(item);
        if (!PyArray_Check(item) || PyArray_NDIM(column) != 1 || !PyArray_IS_C_CONTIGUOUS(column) ||
            !PyArray_EquivTypes(PyArray_DESCR(column), dtype) || PyArray_SIZE(column) != rows) {
            PyErr_Format(PyExc_ValueError,
                         "column %zd must be a contiguous array of one dimension, of out's dtype, with one value "
                         "per start (%zd)",
                         j, static_cast<Py_ssize_t>(rows));
            return nullptr;
        }
        pointers.push_back(static_cast<const std::byte*>(PyArray_DATA(column)));
    }
    const auto* at = static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(starts.get())));
    if (!places_fit(at, rows, count, PyArray_SIZE(target))) return nullptr;
    if (count > 0 && rows > 0) {
        auto* data = static_cast<std::byte*>(PyArray_DATA(target));
        const std::span<const std::int64_t> places(at, static_cast<std::size_t>(rows));
        Py_BEGIN_ALLOW_THREADS interleave_rows(pointers, width, places, data);
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

}  // namespace bitloom::io
