// The arguments of a time-code conversion as Python gives them, shared by
// convert_time_codes and Layout.unpack_many (which converts as it reads).
#pragma once

#include <array>

#include "io/kernels/time_codes.hpp"
#include "python.hpp"

namespace bitloom::io {

// The five numbers of a conversion: kind (0 CUC, 1 CDS, 2 CUC over int64
// counters, 3 int64 counts of nanoseconds), bits (the CUC fraction's, or CDS's below the millisecond),
// epoch_ns, leap_allowed, pfield_value. False with an exception set.
[[nodiscard]] bool read_time_spec(PyObject* const* numbers, TimeCodeSpec& form, bool& signed_value);

// (edges, delta, flag) arrays, or None (leaves `steps` empty); the views
// hold the arrays while `steps` points into them.
[[nodiscard]] bool read_time_steps(PyObject* obj, TimeSteps& steps, std::array<BufferView, 3>& views);

}  // namespace bitloom::io
