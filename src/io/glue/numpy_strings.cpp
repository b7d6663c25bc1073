#include "io/glue/numpy_strings.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#ifdef BITLOOM_NUMPY_C_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#include <numpy/ndarrayobject.h>
#endif

namespace bitloom::io {

#ifdef BITLOOM_NUMPY_C_API

bool numpy_strings_available() {
    static int state = 0;  // 0 not tried, 1 loaded, -1 not available
    if (state == 0) {
        // numpy 2's API table holds the string functions; an older numpy
        // (refused by the package anyway) or a failed import leaves them out.
        if (PyArray_ImportNumPyAPI() < 0 || PyArray_RUNTIME_VERSION < NPY_2_0_API_VERSION) {
            PyErr_Clear();
            state = -1;
        } else {
            state = 1;
        }
    }
    return state == 1;
}

StringArray::StringArray(PyObject* array) {
    if (!numpy_strings_available() || !PyArray_Check(array)) return;
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

bool StringArray::set(std::size_t i, std::string_view utf8) noexcept {
    char* entry = data_ + i * stride_;
    if (short_flags_ != 0 && utf8.size() <= short_max && entry_is_zero(entry)) {
        // An empty string leaves a fresh entry as it is, as packing does.
        if (!utf8.empty()) write_short(entry, utf8, short_flags_);
        return true;
    }
    auto* packed = reinterpret_cast<npy_packed_static_string*>(entry);
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

#else

bool numpy_strings_available() { return false; }
StringArray::StringArray(PyObject*) {}
StringArray::~StringArray() = default;
void StringArray::expect_fresh_entries() noexcept {}
bool StringArray::set(std::size_t, std::string_view) noexcept { return false; }
bool StringArray::set_many(std::size_t, const char* const*, std::size_t, std::size_t) noexcept { return false; }
bool StringArray::get(std::size_t, std::string_view&) noexcept { return false; }

#endif

}  // namespace bitloom::io
