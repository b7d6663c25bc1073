"""Packet layouts: compile a recipe once, read and write whole batches.

``Layout(recipe)`` resolves a ``bitloom`` recipe once and then unpacks and
packs packets exactly as ``bitloom.unpack_parameters`` and
``bitloom.pack_parameters`` do, one packet at a time (``unpack``, ``pack``)
or a whole buffer of packets into numpy columns and back (``unpack_many``,
``pack_many``). ``Layout(recipe, exact=True)`` reads every field at its
exact bits instead of through whole bytes. ``check(recipe)`` lists what a
recipe does that is legal but probably not meant.

numpy is needed here, and only here: ``pip install "bitloom-packets[io]"``
(from a checkout: ``pip install ".[io]"``). The ``bitloom`` module itself
works without it.

Packet files: ``ccsds.split`` cuts a stream of CCSDS space packets by their
length fields; ``decode(source, definition)`` gives one ``Table`` per packet
type and a ``Report`` of what was not decoded, whatever the definition is: a
mapping of APIDs to layouts (or ``Select`` rules), a JSON, CCSDSPy CSV or
XTCE file (``load_definition``), or an ``xtce.Definition``.
"""

try:
    import numpy as _numpy
except ImportError as _error:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        'bitloom_io needs numpy (2.0 or later): pip install "bitloom-packets[io]"'
        ' (from a checkout: pip install ".[io]")',
        name=__name__,
    ) from _error

if int(_numpy.__version__.split(".")[0]) < 2:  # pragma: no cover - numpy 1.x is refused by the extra
    raise ImportError(
        f"bitloom_io needs numpy 2.0 or later, found {_numpy.__version__}:"
        ' pip install "bitloom-packets[io]" (from a checkout: pip install ".[io]")',
        name=__name__,
    )

from bitloom_io._check import Finding, check
from bitloom_io._native import Columns, Field
from bitloom_io._native import Layout as _NativeLayout
from bitloom_io._timed import Layout
from bitloom_io.diagram import render as _render

from . import ccsds as ccsds
from ._decode import DEFAULT, Select, decode
from ._encode import encode, write_packets
from ._layout_files import DefinitionFileError, load_definition, load_layouts, read_ccsdspy_csv, register_loader
from ._report import DecodeWarning, Failure, Report, SizeMismatch
from ._tables import Table, Tables
from . import timecodes as timecodes
from ._formats import describe
from ._leapseconds import LeapSecondWarning, leap_seconds
from .ccsds import SequenceWarning, StreamSummary, StreamWarning


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("bitloom-packets")
    except PackageNotFoundError:  # pragma: no cover - run from sources that were never installed
        return "0+unknown"


#: The installed distribution's version (bitloom-packets).
__version__ = _version()


def _layout_diagram(self: _NativeLayout, bits_per_row: int = 32) -> str:
    """The layout as a bit diagram: a ruler of bit numbers, `bits_per_row`
    bits per row, each field a box holding its name."""
    return _render(self.fields, bits_per_row)


# Drawing is plain Python over Layout.fields, attached to the native type
# (which bitloom_io.Layout and the layouts compiled elsewhere share).
_NativeLayout.diagram = _layout_diagram  # type: ignore[method-assign]

__all__ = [
    "Columns",
    "Field",
    "Finding",
    "Layout",
    "check",
    "decode",
    "encode",
    "write_packets",
    "Select",
    "DEFAULT",
    "Table",
    "Tables",
    "Report",
    "Failure",
    "SizeMismatch",
    "load_definition",
    "load_layouts",
    "read_ccsdspy_csv",
    "register_loader",
    "DefinitionFileError",
    "StreamSummary",
    "StreamWarning",
    "SequenceWarning",
    "DecodeWarning",
    "describe",
    "leap_seconds",
    "LeapSecondWarning",
]
