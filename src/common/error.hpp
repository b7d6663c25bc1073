// Deferred errors: what every native routine returns instead of raising.
//
// Codec and packet routines never touch the interpreter's error state. They
// return std::expected<T, Error>; the module glue turns an Error into a Python
// exception only when it is raised.
#pragma once

#include <charconv>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace bitloom {

enum class ErrorKind : std::uint8_t {
    value_error,
    key_error,
    type_error,
    overflow_error,
    not_implemented_error,
    // The interpreter already holds the exception (a failed conversion or
    // lookup inside the recipe access); the glue fetches it as it is.
    python_pending,
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

[[nodiscard]] inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
    return std::unexpected<Error>(Error{kind, std::move(message)});
}

[[nodiscard]] inline std::unexpected<Error> value_error(std::string message) {
    return fail(ErrorKind::value_error, std::move(message));
}

[[nodiscard]] inline std::unexpected<Error> not_implemented(std::string message) {
    return fail(ErrorKind::not_implemented_error, std::move(message));
}

// The interpreter's current exception is the error.
[[nodiscard]] inline std::unexpected<Error> python_error() { return fail(ErrorKind::python_pending, {}); }

// Message building. The toolchain has no <format>, and messages only need
// decimal and fixed-width upper-case hexadecimal numbers, so a tiny builder
// does the job.
class Message {
public:
    Message& operator<<(std::string_view text) {
        text_.append(text);
        return *this;
    }
    Message& operator<<(char c) {
        text_.push_back(c);
        return *this;
    }
    template <class Int>
        requires std::is_integral_v<Int>
    Message& operator<<(Int n) {
        char buf[24] = {};
        auto* end = std::to_chars(buf, buf + sizeof buf, n).ptr;
        // By pointer and count: GCC 12 misreads the iterator pair's path
        // through replace() as an overlapping copy (-Wrestrict).
        text_.append(buf, static_cast<std::size_t>(end - buf));
        return *this;
    }
    // Upper-case hexadecimal, zero-padded to at least `width` digits.
    Message& hex(std::uint64_t n, int width) {
        char buf[24] = {};
        auto* end = std::to_chars(buf, buf + sizeof buf, n, 16).ptr;
        for (auto* p = buf; p != end; ++p) {
            if (*p >= 'a' && *p <= 'f') *p = static_cast<char>(*p - 'a' + 'A');
        }
        for (auto digits = end - buf; digits < width; ++digits) text_.push_back('0');
        text_.append(buf, end);
        return *this;
    }
    // A Message is a one-shot builder: converting it hands its text over.
    [[nodiscard]] std::string str() { return std::move(text_); }
    operator std::string() { return std::move(text_); }

private:
    std::string text_;
};

}  // namespace bitloom
