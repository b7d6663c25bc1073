// The splitter's functions for the bitloom_io._native module.
#pragma once

#include "python.hpp"

namespace bitloom::io {

// Adds `ccsds_scan` (and the block type it returns) to the module; 0 or -1
// with an exception set.
int add_stream_functions(PyObject* module);

}  // namespace bitloom::io
