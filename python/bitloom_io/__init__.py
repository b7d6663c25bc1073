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

from __future__ import annotations

from importlib import import_module as _import_module
from importlib.util import find_spec as _find_spec
from typing import TYPE_CHECKING as _TYPE_CHECKING
from typing import Any as _Any

# The names below are imported on first use, so that a command line run
# (`bitloom-io --help`) and a program that needs one corner of the package
# do not pay for numpy and every module at start-up; numpy's presence is
# checked here, its version on first use.
try:
    _numpy: object = _find_spec("numpy")
    _missing: ImportError = ModuleNotFoundError("No module named 'numpy'", name="numpy")
except (ImportError, ValueError) as _error:  # pragma: no cover - exercised in a subprocess
    _numpy, _missing = None, _error if isinstance(_error, ImportError) else ModuleNotFoundError(str(_error))
if _numpy is None:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        'bitloom_io needs numpy (2.0 or later): pip install "bitloom-packets[io]"'
        ' (from a checkout: pip install ".[io]")',
        name=__name__,
    ) from _missing

if _TYPE_CHECKING:
    from bitloom_io._check import Finding, check
    from bitloom_io._native import Columns, Field, get_threads, set_threads
    from bitloom_io._timed import Layout

    from . import ccsds as ccsds
    from . import timecodes as timecodes
    from ._decode import DEFAULT, Select, decode
    from ._encode import encode, write_packets
    from ._formats import describe
    from ._layout_files import DefinitionFileError, load_definition, load_layouts, read_ccsdspy_csv, register_loader
    from ._leapseconds import LeapSecondWarning, leap_seconds
    from ._ragged import Ragged
    from ._report import DecodeWarning, Failure, Report, SizeMismatch
    from ._tables import Table, Tables
    from .ccsds import SequenceWarning, StreamSummary, StreamWarning

    __version__: str

# Public name -> the module that defines it ("" for a module of its own).
_HOMES = {
    "Finding": "_check",
    "check": "_check",
    "Columns": "_native",
    "Field": "_native",
    "get_threads": "_native",
    "set_threads": "_native",
    "Layout": "_timed",
    "ccsds": "",
    "timecodes": "",
    "DEFAULT": "_decode",
    "Select": "_decode",
    "decode": "_decode",
    "encode": "_encode",
    "write_packets": "_encode",
    "describe": "_formats",
    "DefinitionFileError": "_layout_files",
    "load_definition": "_layout_files",
    "load_layouts": "_layout_files",
    "read_ccsdspy_csv": "_layout_files",
    "register_loader": "_layout_files",
    "LeapSecondWarning": "_leapseconds",
    "leap_seconds": "_leapseconds",
    "Ragged": "_ragged",
    "DecodeWarning": "_report",
    "Failure": "_report",
    "Report": "_report",
    "SizeMismatch": "_report",
    "Table": "_tables",
    "Tables": "_tables",
    "SequenceWarning": "ccsds",
    "StreamSummary": "ccsds",
    "StreamWarning": "ccsds",
}


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("bitloom-packets")
    except PackageNotFoundError:  # pragma: no cover - run from sources that were never installed
        return "0+unknown"


def _check_numpy() -> None:
    import numpy

    if int(numpy.__version__.split(".")[0]) < 2:  # pragma: no cover - numpy 1.x is refused by the extra
        raise ImportError(
            f"bitloom_io needs numpy 2.0 or later, found {numpy.__version__}:"
            ' pip install "bitloom-packets[io]" (from a checkout: pip install ".[io]")',
            name=__name__,
        )


def __getattr__(name: str) -> _Any:
    if name == "__version__":
        #: The installed distribution's version (bitloom-packets).
        value: _Any = _version()
    elif name in _HOMES:
        _check_numpy()
        home = _HOMES[name]
        value = _import_module(f"{__name__}.{home or name}")
        if home:
            value = getattr(value, name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES, "__version__"})


del annotations  # the future import's name is not part of the package


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
    "Ragged",
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
    "get_threads",
    "set_threads",
]
