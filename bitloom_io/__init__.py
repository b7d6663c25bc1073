"""Packet layouts and packet files.

``Layout(recipe)`` compiles a recipe once and reads and writes whole batches
of packets. ``ccsds.split`` cuts a stream of CCSDS space packets by their
length fields, ``decode`` routes every packet to the layout of its APID and
returns one ``Table`` per packet type, and ``load_layouts`` reads layouts from
JSON (or CCSDSPy CSV, or XTCE) files.
"""

from bitloom_io._native import Columns, Field, Layout

from . import ccsds
from ._decode import DEFAULT, DecodeWarning, Select, decode
from ._layout_files import load_layouts, read_ccsdspy_csv, register_loader
from ._tables import Table, Tables
from .ccsds import SequenceWarning, StreamSummary, StreamWarning

__all__ = [
    "Columns", "Field", "Layout",
    "ccsds", "decode", "Select", "DEFAULT", "Table", "Tables", "load_layouts", "read_ccsdspy_csv",
    "register_loader", "StreamSummary", "StreamWarning", "SequenceWarning", "DecodeWarning",
]
