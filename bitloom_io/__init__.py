"""bitloom_io: packet files into columns."""

from . import ccsds
from ._decode import DEFAULT, DecodeWarning, Select, decode
from ._layout_files import load_layouts, read_ccsdspy_csv, register_loader
from ._tables import Table, Tables
from .ccsds import SequenceWarning, StreamSummary, StreamWarning

__all__ = [
    "ccsds", "decode", "Select", "DEFAULT", "Table", "Tables", "load_layouts", "read_ccsdspy_csv",
    "register_loader", "StreamSummary", "StreamWarning", "SequenceWarning", "DecodeWarning",
]
