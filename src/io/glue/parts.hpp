// The parts of the bitloom_io._native module. Each adds its types and
// functions to the module object and returns false with an exception set on
// failure.
#pragma once

#include "python.hpp"

namespace bitloom::io {

struct ModulePart {
    const char* name;
    bool (*add)(PyObject* module);
};

// Layout, Field and Columns (layout_type.cpp).
[[nodiscard]] bool add_layout_part(PyObject* module);

// ccsds_scan, the CCSDS stream splitter (stream_glue.cpp).
[[nodiscard]] bool add_stream_part(PyObject* module);

// convert_time_codes, CUC and CDS counters into nanoseconds (time_glue.cpp).
[[nodiscard]] bool add_time_part(PyObject* module);

// read_xml and Element, the tree of a definition file (xml_glue.cpp).
[[nodiscard]] bool add_xml_part(PyObject* module);

}  // namespace bitloom::io
