"""XTCE packet definitions: read a mission's XTCE file, decode its packets.

    from bitloom_io import xtce
    definition = xtce.load("ctim_xtce_v1.xml")
    tables = definition.decode("ccsds_2021_155_14_39_51")  # one table per packet type
    definition.layouts()                                   # {container name: Layout}

``load`` reads the file with a hardened XML parser (no DTD entities, nothing
fetched), checks everything that decides where a field lies and how it is
read, and refuses what it cannot decode soundly with ``XtceError`` naming the
element, the parameter or container and the line. Each container becomes a
``Layout`` with exact bit positions counted from the packet's first byte.
``Definition.decode`` splits a CCSDS packet file and chooses each packet's
type by evaluating the restriction criteria on whole columns.

Raw columns are named by parameter; an engineering column ``NAME_eng``
stands beside a parameter whose engineering value differs from its raw one
(calibrated, enumerated, boolean, or a float type over an integer encoding).
"""

from bitloom_io.xtce._definition import Definition, load
from bitloom_io.xtce._errors import XtceEncodingNotImplementedError, XtceError, XtceUnsupportedError, XtceWarning
from bitloom_io.xtce._model import (
    ENGINEERING_SUFFIX,
    INTEGER_ENCODINGS,
    STRING_ENCODINGS,
    Calibrator,
    Comparison,
    Container,
    Criteria,
    Encoding,
    FieldSpec,
    Parameter,
    ParameterType,
)

__all__ = [
    "ENGINEERING_SUFFIX",
    "INTEGER_ENCODINGS",
    "STRING_ENCODINGS",
    "Calibrator",
    "Comparison",
    "Container",
    "Criteria",
    "Definition",
    "Encoding",
    "FieldSpec",
    "Parameter",
    "ParameterType",
    "XtceEncodingNotImplementedError",
    "XtceError",
    "XtceUnsupportedError",
    "XtceWarning",
    "load",
]
