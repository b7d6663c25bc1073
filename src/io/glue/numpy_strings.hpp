// numpy's variable-width strings (StringDType) written and read in place,
// through numpy's C API, when the module was built against numpy's headers.
// Without them (or when numpy's API cannot be loaded), every function says
// so and the callers convert through numpy's Python interface instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "python.hpp"

namespace bitloom::io {

// Loads numpy's C API on first use (interpreter lock held). False: not
// available; no exception is left set.
[[nodiscard]] bool numpy_strings_available();

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
