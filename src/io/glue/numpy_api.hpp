// numpy through its C API: arrays made, viewed and converted, and numpy's
// variable-width strings (StringDType) written and read in place. The one
// translation unit that includes numpy's headers, so that the API table is
// loaded once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "io/kernels/layout.hpp"
#include "io/kernels/pack_kernel.hpp"
#include "python.hpp"

namespace bitloom::io {

// Loads numpy's C API on first use (interpreter lock held). False with an
// ImportError set when numpy 2 cannot be loaded.
[[nodiscard]] bool numpy_ready();

// A new 1-D array of `n` values of a numeric column kind (uninitialised).
[[nodiscard]] Ref numeric_array(std::size_t n, ColumnKind kind);
// A 1-D view of `n` values of `kind` at byte `offset` of `block` (a uint8
// array that the view keeps alive).
[[nodiscard]] Ref block_view(PyObject* block, std::size_t offset, std::size_t n, ColumnKind kind);
// Rows row to row + n - 1 of `target` as a view to be filled: target must be
// a writable, contiguous, one-dimensional array of the kind's dtype (in
// this machine's byte order) with those rows. Null with ValueError if not.
[[nodiscard]] Ref rows_of(PyObject* target, std::size_t row, std::size_t n, ColumnKind kind);
// New 1-D arrays: uint8 (uninitialised), bool (zeros), numpy strings
// (StringDType, all empty) and objects (all None).
[[nodiscard]] Ref byte_array(std::size_t n);
[[nodiscard]] Ref bool_zeros(std::size_t n);
[[nodiscard]] Ref string_array(std::size_t n);
[[nodiscard]] Ref object_array(std::size_t n);
// A C-contiguous copy of an array.
[[nodiscard]] Ref array_copy(PyObject* array);
// `obj` as a C-contiguous int64 array of one dimension (a scalar gives one
// element), cast as numpy.ascontiguousarray(obj, dtype="int64") does;
// `name` names the argument in the error for more dimensions.
[[nodiscard]] Ref int64_array(PyObject* obj, const char* name);

// _native._interleave_rows(columns, out, starts): value i of column j to
// out[starts[i] + j], for columns and `out` of one numeric dtype (values of
// 1, 2, 4 or 8 bytes, no object references), every place checked to lie
// inside `out`. The interpreter lock is released while values move.
PyObject* interleave_rows_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _native._gather_values(buffer, starts, count, stride, swap, out, places):
// each row's `count` values of out's item size, at byte starts[i] of
// `buffer` and every `stride` bytes after, to out[places[i]:places[i] +
// count], bytes reversed when `swap`. Every place is checked in both.
PyObject* gather_values_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// How a column can be packed without the interpreter: an array of numbers
// of a kind the field's conversion accepts (integers for integer and decimal
// fields, integers or floats for IEEE 754 ones). Sets `array` to a
// contiguous array of native byte order (the column itself when it is one)
// and `kind` to its element type (none: pack value by value). Returns false
// with an exception set on failure.
[[nodiscard]] bool numeric_column_kind(const FieldSpec& f, PyObject* column, Ref& array, NumericInput& kind);

// A StringDType array opened for writing or reading its strings, without
// the interpreter lock (numpy's string allocator has a lock of its own).
class StringArray {
public:
    // `array` must be a StringDType array, C-contiguous; null on failure.
    explicit StringArray(PyObject* array);
    StringArray(const StringArray&) = delete;
    StringArray& operator=(const StringArray&) = delete;
    ~StringArray();

    [[nodiscard]] bool ok() const noexcept { return allocator_ != nullptr; }
    // For an array just made by numpy.empty, whose entries are all zero
    // until set: lets set() write short strings into such entries itself
    // when this numpy is found to store them as set() would (checked here,
    // on element 0, which is left as it was).
    void expect_fresh_entries() noexcept;
    // Sets element i to the UTF-8 text; false when numpy could not allocate.
    [[nodiscard]] bool set(std::size_t i, std::string_view utf8) noexcept;
    // Sets element i as set() would when that needs nothing of numpy's
    // allocator (a short or empty text into an entry never written, on an
    // array that expects fresh entries), and says whether it did. Touches
    // element i alone: threads may call it at once for different elements.
    [[nodiscard]] bool set_inline(std::size_t i, std::string_view utf8) noexcept;
    // Writes zeros over elements first to first + count - 1, which must not
    // have been set: their pages are then taken for writing at once. Read
    // first (as set() reads an entry), a fresh page is mapped to the shared
    // zero page and then replaced, which on a batch spread over threads
    // interrupts every processor running one to flush its view of it.
    void touch(std::size_t first, std::size_t count) noexcept;
    // Sets elements first to first + count - 1 to the `size` bytes at
    // texts[j], leaving those whose pointer is null as they are.
    [[nodiscard]] bool set_many(std::size_t first, const char* const* texts, std::size_t size,
                                std::size_t count) noexcept;
    // Element i's UTF-8 text (valid while the array is open); false for a
    // missing value.
    [[nodiscard]] bool get(std::size_t i, std::string_view& utf8) noexcept;

private:
    void* allocator_ = nullptr;
    char* data_ = nullptr;
    std::size_t stride_ = 0;
    std::size_t count_ = 0;
    // Short strings written into fresh entries directly: the flags byte
    // that numpy gives them (0: always through numpy's API).
    unsigned char short_flags_ = 0;
};

}  // namespace bitloom::io
