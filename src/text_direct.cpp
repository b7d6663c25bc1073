#include "text_direct.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "args.hpp"
#include "encoder/text.hpp"

namespace bitloom {

namespace {

// --- Encoding --------------------------------------------------------------

// Calls `encode` with the str's code units, as a span of its storage's unit.
template <class Encode>
PyObject* with_code_units(PyObject* str, Encode&& encode) {
    const void* data = PyUnicode_DATA(str);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: return encode(std::span(static_cast<const std::uint8_t*>(data), length));
        case PyUnicode_2BYTE_KIND: return encode(std::span(static_cast<const std::uint16_t*>(data), length));
        default: return encode(std::span(static_cast<const std::uint32_t*>(data), length));
    }
}

// A new bytes object of `size` bytes, to be filled.
Ref new_bytes(std::size_t size) {
    return Ref::steal(checked_result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
}

using namespace std::string_view_literals;
// Empty, but with a real address: memcpy needs valid pointers even for no
// bytes, and a default string_view has none.
constexpr std::string_view no_mark = ""sv;
constexpr std::string_view utf16_mark = "\xFE\xFF"sv;
constexpr std::string_view utf32_mark = "\x00\x00\xFE\xFF"sv;

// `mark`, then the text in UTF-16.
PyObject* utf16_bytes(PyObject* str, bool little_endian, std::string_view mark) {
    return with_code_units(str, [&](auto units) -> PyObject* {
        Ref out = new_bytes(mark.size() + utf16_size(units));
        char* buffer = PyBytes_AS_STRING(out.get());
        std::memcpy(buffer, mark.data(), mark.size());
        if (!write_utf16(units, little_endian, buffer + mark.size())) return nullptr;
        return out.release();
    });
}

// `mark`, then the text in UTF-32.
PyObject* utf32_bytes(PyObject* str, bool little_endian, std::string_view mark) {
    return with_code_units(str, [&](auto units) -> PyObject* {
        Ref out = new_bytes(mark.size() + 4 * units.size());
        char* buffer = PyBytes_AS_STRING(out.get());
        std::memcpy(buffer, mark.data(), mark.size());
        if (!write_utf32(units, little_endian, buffer + mark.size())) return nullptr;
        return out.release();
    });
}

// One byte per character, written by `write`. ASCII text is its own form in
// all three charsets, so its storage is copied as it is.
template <class Write>
PyObject* single_byte_bytes(PyObject* str, Write&& write) {
    if (PyUnicode_IS_ASCII(str)) {
        return checked_result(
            PyBytes_FromStringAndSize(static_cast<const char*>(PyUnicode_DATA(str)), PyUnicode_GET_LENGTH(str)));
    }
    return with_code_units(str, [&](auto units) -> PyObject* {
        Ref out = new_bytes(units.size());
        if (!write(units, PyBytes_AS_STRING(out.get()))) return nullptr;
        return out.release();
    });
}

// --- Decoding --------------------------------------------------------------

// The str that one of the interpreter's strict decoders returned, or nullptr
// with its refusal cleared: the routine then describes the fault itself.
// Any other failure (out of memory) is an internal failure, as it is for a
// result object the routine's path could not create.
PyObject* decoded_or_declined(PyObject* text) {
    if (BITLOOM_LIKELY(text != nullptr)) return text;
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        return nullptr;
    }
    return checked_result(nullptr);
}

const char* chars(ByteSpan bytes) noexcept { return reinterpret_cast<const char*>(bytes.data()); }
Py_ssize_t ssize(ByteSpan bytes) noexcept { return static_cast<Py_ssize_t>(bytes.size()); }

// The interpreter's decoders read the given byte order and, with it fixed,
// treat no leading bytes as a mark.
PyObject* utf16_with_endianness_to_str(ByteSpan bytes, bool little_endian) {
    if (bytes.size() % 2 != 0) return nullptr;
    int byte_order = little_endian ? -1 : 1;
    return decoded_or_declined(PyUnicode_DecodeUTF16(chars(bytes), ssize(bytes), nullptr, &byte_order));
}

PyObject* utf32_with_endianness_to_str(ByteSpan bytes, bool little_endian) {
    if (bytes.size() % 4 != 0) return nullptr;
    int byte_order = little_endian ? -1 : 1;
    return decoded_or_declined(PyUnicode_DecodeUTF32(chars(bytes), ssize(bytes), nullptr, &byte_order));
}

// Windows-1252 without a mark. Text whose characters all lie below U+0100
// is stored one byte per character, exactly its ISO-8859-1 decoding; other
// text two bytes per character, filled from the table. A str's storage must
// be the narrowest that holds its characters, hence the scan first.
PyObject* windows_1252_bytes_to_str(ByteSpan bytes) {
    if (!windows_1252_exceeds_latin1(bytes)) {
        return checked_result(PyUnicode_DecodeLatin1(chars(bytes), ssize(bytes), nullptr));
    }
    PyObject* text = checked_result(PyUnicode_New(ssize(bytes), 0xFFFF));
    windows_1252_to_ucs2(bytes, PyUnicode_2BYTE_DATA(text));
    return text;
}

}  // namespace

PyObject* str_to_utf16(PyObject* str) { return utf16_bytes(str, false, utf16_mark); }
PyObject* str_to_utf16be(PyObject* str) { return utf16_bytes(str, false, no_mark); }
PyObject* str_to_utf16le(PyObject* str) { return utf16_bytes(str, true, no_mark); }
PyObject* str_to_utf32(PyObject* str) { return utf32_bytes(str, false, utf32_mark); }
PyObject* str_to_utf32be(PyObject* str) { return utf32_bytes(str, false, no_mark); }
PyObject* str_to_utf32le(PyObject* str) { return utf32_bytes(str, true, no_mark); }

PyObject* str_to_us_ascii(PyObject* str) {
    return single_byte_bytes(str, [](auto units, char* out) { return write_us_ascii(units, out); });
}
PyObject* str_to_iso_8859_1(PyObject* str) {
    return single_byte_bytes(str, [](auto units, char* out) { return write_iso_8859_1(units, out); });
}
PyObject* str_to_windows_1252(PyObject* str) {
    return single_byte_bytes(str, [](auto units, char* out) { return write_windows_1252(units, out); });
}

PyObject* utf8_to_str(ByteSpan bytes) {
    return decoded_or_declined(PyUnicode_DecodeUTF8(chars(bytes), ssize(bytes), nullptr));
}

PyObject* utf16_to_str(ByteSpan bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) return nullptr;
    const ByteOrderChoice choice = utf16_byte_order(bytes);
    return utf16_with_endianness_to_str(choice.rest, choice.little_endian);
}
PyObject* utf16be_to_str(ByteSpan bytes) { return utf16_with_endianness_to_str(bytes, false); }
PyObject* utf16le_to_str(ByteSpan bytes) { return utf16_with_endianness_to_str(bytes, true); }

PyObject* utf32_to_str(ByteSpan bytes) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0) return nullptr;
    const ByteOrderChoice choice = utf32_byte_order(bytes);
    return utf32_with_endianness_to_str(choice.rest, choice.little_endian);
}
PyObject* utf32be_to_str(ByteSpan bytes) { return utf32_with_endianness_to_str(bytes, false); }
PyObject* utf32le_to_str(ByteSpan bytes) { return utf32_with_endianness_to_str(bytes, true); }

PyObject* us_ascii_to_str(ByteSpan bytes) {
    return decoded_or_declined(PyUnicode_DecodeASCII(chars(bytes), ssize(bytes), nullptr));
}

PyObject* windows_1252_to_str(ByteSpan bytes) {
    const SniffedInput input = sniff_byte_order_mark(bytes);
    switch (input.encoding) {
        case SniffedEncoding::utf8: return utf8_to_str(input.rest);
        case SniffedEncoding::utf16le: return utf16_with_endianness_to_str(input.rest, true);
        case SniffedEncoding::utf16be: return utf16_with_endianness_to_str(input.rest, false);
        case SniffedEncoding::windows_1252: break;
    }
    return windows_1252_bytes_to_str(input.rest);
}

}  // namespace bitloom
