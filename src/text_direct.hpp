// The text functions' direct paths: between Python objects and the
// interpreter's own storage of a str, with no UTF-8 form of the text in
// between. The encoders read a str's code units (1, 2 or 4 bytes each) and
// write straight into the bytes object they return, allocated once at its
// exact size; the decoders build the str with the interpreter's strict
// decoders, or fill its storage directly.
//
// Each returns a new reference, or nullptr with no exception set when it
// declines: the input is one that the routines refuse (a surrogate, a
// character the charset lacks, ill-formed bytes, a wrong length). The caller
// then runs the routine, which reports the failure with its own message.
#pragma once

#include "decoder/text.hpp"
#include "python.hpp"

namespace bitloom {

// str (or subclass instance) -> bytes.
[[nodiscard]] PyObject* str_to_utf16(PyObject* str);  // FE FF, then big-endian
[[nodiscard]] PyObject* str_to_utf16be(PyObject* str);
[[nodiscard]] PyObject* str_to_utf16le(PyObject* str);
[[nodiscard]] PyObject* str_to_utf32(PyObject* str);  // 00 00 FE FF, then big-endian
[[nodiscard]] PyObject* str_to_utf32be(PyObject* str);
[[nodiscard]] PyObject* str_to_utf32le(PyObject* str);
[[nodiscard]] PyObject* str_to_us_ascii(PyObject* str);
[[nodiscard]] PyObject* str_to_iso_8859_1(PyObject* str);
[[nodiscard]] PyObject* str_to_windows_1252(PyObject* str);

// bytes -> str, each as the routine of the same name decodes.
[[nodiscard]] PyObject* utf8_to_str(ByteSpan bytes);
[[nodiscard]] PyObject* utf16_to_str(ByteSpan bytes);
[[nodiscard]] PyObject* utf16be_to_str(ByteSpan bytes);
[[nodiscard]] PyObject* utf16le_to_str(ByteSpan bytes);
[[nodiscard]] PyObject* utf32_to_str(ByteSpan bytes);
[[nodiscard]] PyObject* utf32be_to_str(ByteSpan bytes);
[[nodiscard]] PyObject* utf32le_to_str(ByteSpan bytes);
[[nodiscard]] PyObject* us_ascii_to_str(ByteSpan bytes);
[[nodiscard]] PyObject* windows_1252_to_str(ByteSpan bytes);

}  // namespace bitloom
