// Python values encoded as the packet builder encodes them.
#pragma once

#include <cstdint>

#include "codecs/codec_table.hpp"
#include "common/error.hpp"
#include "io/kernels/layout.hpp"
#include "io/kernels/pack_kernel.hpp"
#include "python.hpp"

namespace bitloom::io {

// The field's value encoded as the packet builder encodes it (binary: the
// bytes, which must fill the field exactly).
[[nodiscard]] Result<Encoded> encode_field_value(const FieldSpec& f, PyObject* value, std::uint32_t bits);

// A numeric value converted to the row's native type and encoded.
[[nodiscard]] Result<std::uint64_t> encode_numeric(const CodecRow& row, PyObject* value, std::uint32_t bits);

}  // namespace bitloom::io
