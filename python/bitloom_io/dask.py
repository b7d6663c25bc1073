"""Many packet files at once: one Dask DataFrame per packet type.

    >>> from distributed import Client
    >>> from bitloom_io.dask import read_packets
    >>> client = Client("tcp://scheduler:8786")        # or LocalCluster()
    >>> frames = read_packets("archive/*.dat", {11: hk_layout})
    >>> frames["apid11"].groupby("CCSDS_APID").size().compute()

The definition is anything `bitloom_io.decode` takes: APIDs to layouts or
`Select` rules, a definition file (JSON, CCSDSPy CSV, XTCE) or an
`xtce.Definition`. A partition is a file, or a byte range of a file larger
than `blocksize` cut where a packet starts; each partition is decoded on a
worker by `bitloom_io.decode`, the same code as in one process, so the
frames have the names, columns and dtypes of its tables and hold what it
gives file by file, in the order of `paths`. Works on any
`distributed.Client` (or Dask's local schedulers): workers need the files at
the same paths and bitloom_io installed. Needs the `dask` extra:
`pip install "bitloom-packets[dask]"` (from a checkout: `pip install ".[dask]"`).

Compute the frames together (`dask.compute(*frames.values())`) or persist
them, so that every partition is decoded once for all packet types.
"""

from __future__ import annotations

import glob
import os
import uuid
from collections.abc import Iterable, Mapping
from typing import Any

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
    from dask.delayed import Delayed
except ImportError as _error:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        f"bitloom_io.dask needs dask[dataframe,distributed] ({_error.name} is missing):"
        ' pip install "bitloom-packets[dask]" (from a checkout: pip install ".[dask]")',
        name=__name__,
    ) from _error

import numpy as np

import bitloom_io
from bitloom_io import _chunks
from bitloom_io._decode import DefinitionLike, layouts_by_name, plan
from bitloom_io._formats import arrow_column
from bitloom_io._ragged import Ragged
from bitloom_io._report import Report, merge
from bitloom_io._sources import missing_file

__all__ = ["read_packets", "partitions", "Frames"]

DEFAULT_BLOCKSIZE = 256 << 20


def _expand(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """Files from a path, a directory (its files, sorted), a glob pattern or
    a list of any of these."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    files: list[str] = []
    for entry in paths:
        entry = os.fspath(entry)
        if os.path.isdir(entry):
            files.extend(
                sorted(os.path.join(entry, n) for n in os.listdir(entry) if os.path.isfile(os.path.join(entry, n)))
            )
        elif os.path.exists(entry):
            files.append(entry)
        else:
            matched = sorted(glob.glob(entry))
            if not matched and not any(c in entry for c in "*?["):
                raise missing_file(entry)
            if not matched:
                raise FileNotFoundError(f"no file matches {entry!r}")
            files.extend(matched)
    if not files:
        raise FileNotFoundError("no packet files given")
    return files


def partitions(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    blocksize: int | None = DEFAULT_BLOCKSIZE,
    prefix_bytes: int = 0,
) -> list[tuple[str, int, int]]:
    """The (path, start, stop) byte ranges `read_packets` decodes, one per
    partition: whole files, and files above `blocksize` cut where a packet
    starts (found by splitting that file once, here)."""
    return [(p.path, p.start, p.stop) for p in _plan(paths, blocksize, prefix_bytes)]


def _plan(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    blocksize: int | None,
    prefix_bytes: int,
    map: bool = True,
) -> list[_chunks.Piece]:
    return [p for f in _plan_files(paths, blocksize, prefix_bytes, map) for p in f.pieces]


def _plan_files(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    blocksize: int | None,
    prefix_bytes: int,
    map: bool = True,
) -> list[_chunks.FilePlan]:
    return [_chunks.plan_file(path, blocksize, prefix_bytes, map=map) for path in _expand(paths)]


def _binary_columns(definition: Any) -> dict[str, set[str]]:
    """Per table name, the columns of `binary` fields: the other columns
    that numpy holds as objects are text."""
    layouts = layouts_by_name(definition) if isinstance(definition, Mapping) else definition.layouts()
    return {
        name: {f.name for f in layout.fields if str(f.encoding).lower() == "binary"} for name, layout in layouts.items()
    }


class _XtceFile:
    """An XTCE definition sent to workers as its path (and the file's size
    and time, so a changed file is not taken for it), loaded once per
    worker process."""

    def __init__(self, path: str) -> None:
        self.path = os.path.abspath(path)
        stat = os.stat(self.path)
        self.stamp = (stat.st_size, stat.st_mtime_ns)

    def load(self) -> Any:
        key = (self.path, self.stamp)
        definition = _LOADED.get(key)
        if definition is None:
            stat = os.stat(self.path)
            if (stat.st_size, stat.st_mtime_ns) != self.stamp:
                raise OSError(f"{self.path}: the definition file changed after the frames were planned")
            definition = bitloom_io.load_definition(self.path)
            _LOADED[key] = definition
        return definition


_LOADED: dict[tuple[str, tuple[int, int]], Any] = {}


def _portable(definition: Any) -> Any:
    """What a task carries of the definition: layouts travel as they are,
    an XTCE definition read from a file by its path."""
    if isinstance(definition, Mapping):
        return definition
    path = getattr(definition, "path", None)
    if isinstance(path, str) and os.path.isfile(path):
        return _XtceFile(path)
    return definition


def _resolve(definition: Any) -> Any:
    return definition.load() if isinstance(definition, _XtceFile) else definition


def _frame(table: Any, binary: set[str]) -> Any:
    """A table as a pandas DataFrame with Arrow-backed text and binary
    columns: a dtype of its own for each, so that Dask's conversion of
    object columns to strings never meets raw bytes."""
    import pyarrow as pa

    columns = {}
    for name, values in table.columns.items():
        if isinstance(values, Ragged):
            array = arrow_column(pa, values)  # lists of the values' type, nulls where absent
            columns[name] = pd.array(array, dtype=pd.ArrowDtype(array.type))
        elif values.dtype.kind in "TU" or (values.dtype == object and name not in binary):
            columns[name] = pd.array(values.astype(object), dtype=pd.StringDtype("pyarrow"))
        elif values.dtype == object:
            columns[name] = pd.array(pa.array(values.tolist(), type=pa.binary()), dtype=pd.ArrowDtype(pa.binary()))
        else:
            columns[name] = np.asarray(values)
    return pd.DataFrame(columns, copy=False)


def _decode_range(
    piece: _chunks.Piece, definition: Any, binary: Mapping[str, set[str]], prefix_bytes: int, map: bool
) -> Any:
    """Runs on a worker: the tables of one byte range of one file, its
    packets those the split of the whole file found there."""
    import warnings

    from bitloom_io import _sources

    buffer = _chunks.open_piece(piece, map=map)
    packets = _chunks.split_piece(piece, buffer, prefix_bytes)
    # Problems of the stream are in the tables' summary; a warning per
    # task on a worker would only clutter its log.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tables = bitloom_io.decode(packets, _resolve(definition), prefix_bytes=prefix_bytes)
    # The frames hold new arrays, never views of the map; the map is unmapped
    # when the last view of it goes (closing it here could meet a view that
    # a decoding step still keeps). Types without packets here are the
    # planned empty frames (_pick).
    frames = {name: _frame(table, binary.get(name, set())) for name, table in tables.items() if len(table)}
    _sources.check_mapping(buffer)
    return frames, tables.report


def _pick(decoded: tuple[Mapping[str, Any], Any], name: str, meta: Any) -> Any:
    frame = decoded[0].get(name)
    if frame is None:
        return meta
    return frame.astype(meta.dtypes.to_dict(), copy=False) if not frame.dtypes.equals(meta.dtypes) else frame


def _reports(
    files: list[tuple[str, Any, int | None, int]], added: Mapping[str, int], *decoded: tuple[Any, Report]
) -> dict[str, Report]:
    """Per file, its pieces' reports joined into what a decode of the
    whole file reports."""
    out: dict[str, Report] = {}
    at = 0
    for path, summary, hint, count in files:
        parts = [report for _, report in decoded[at : at + count]]
        at += count
        report = parts[0] if summary is None else merge(summary, parts, hint)
        if added:
            apids = report.stream.apids
            report.decoded = {
                name: n for name, n in report.decoded.items() if n or name not in added or added[name] in apids
            }
        out[path] = report
    return out


class Frames(dict[str, "dd.DataFrame"]):
    """The frames of `read_packets`, by packet type, and `reports`: a
    Dask object that computes to each file's decode report (path -> Report,
    the report `bitloom_io.decode` gives for that file).

    `frames.reports.compute()` alone decodes the files for it;
    `frames.compute()` gives the frames as pandas DataFrames and the reports
    from one computation, each partition decoded once."""

    reports: Delayed

    def compute(self, **kwargs: Any) -> tuple[dict[str, pd.DataFrame], dict[str, Report]]:
        """Every frame (as a pandas DataFrame, by packet type) and every
        file's report, in one computation; `kwargs` go to `dask.compute`."""
        # Partitions as delayed objects: one kind of collection in the
        # graph, so the decoding tasks are shared by frames and reports.
        parts = {name: frame.to_delayed() for name, frame in self.items()}
        reports, *computed = dask.compute(self.reports, *parts.values(), **kwargs)
        frames = {name: pd.concat(pieces) if len(pieces) > 1 else pieces[0] for name, pieces in zip(parts, computed)}
        return frames, reports


def _apids_of(piece: _chunks.Piece, prefix_bytes: int, map: bool) -> set[int]:
    """Runs on a worker: the APIDs of the packets in one byte range."""
    from bitloom_io import _sources

    buffer = _chunks.open_piece(piece, map=map)
    packets = _chunks.split_piece(piece, buffer, prefix_bytes)
    _sources.check_mapping(buffer)
    return {int(a) for a in np.unique(packets.apid).tolist()}


def read_packets(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    definition: DefinitionLike,
    *,
    prefix_bytes: int = 0,
    blocksize: int | None = DEFAULT_BLOCKSIZE,
    map: bool = True,
) -> Frames:
    """One `dask.dataframe.DataFrame` per packet type, named, with the
    columns and dtypes, as `bitloom_io.decode` gives its tables, and
    `.reports`: what `decode` reports for each file, computed on demand.

    `paths`: a file, a directory (all its files), a glob pattern or a list
    of these. `definition`: as for `bitloom_io.decode` (APID -> Layout or
    Select, `"*"` for every other APID; a definition file; an
    `xtce.Definition`). `blocksize`: files larger than this many bytes are
    cut into partitions of about this size at packet boundaries (None: one
    partition per file).

    A partition with no packets of a type is an empty frame with the type's
    columns, so every frame has one partition per byte range. With the
    `"*"` key, the APIDs present are found first (a quick pass over the
    headers, on the workers).

    Each partition holds exactly the packets a split of its whole file finds
    in its byte range, so the frames equal a decode of each file whatever
    the block size. A file whose size or modification time changed between
    this call and a worker reading it is refused (OSError naming it).
    `map=False` reads the files instead of memory-mapping them.
    """
    if isinstance(definition, (str, os.PathLike)):
        definition = bitloom_io.load_definition(definition)
    files = _plan_files(paths, blocksize, prefix_bytes, map)
    parts = [p for f in files for p in f.pieces]
    # Packet types made for APIDs that only the "*" entry covers, by name:
    # a file without that APID does not report them.
    added: dict[str, int] = {}
    if isinstance(definition, Mapping):
        routes: dict[Any, Any] = dict(definition)
        if any(k == bitloom_io.DEFAULT for k in routes):
            found = dask.compute(*[dask.delayed(_apids_of)(p, prefix_bytes, map) for p in parts])
            default = routes.pop(bitloom_io.DEFAULT)
            explicit = {int(k) for k in routes}
            for apid in sorted(set().union(*found) - explicit):
                routes[apid] = default
                for name in layouts_by_name({apid: default}):
                    added[name] = apid
        definition = routes
    # The types and their columns, from decoding nothing: every type comes
    # out as an empty table with its final dtypes.
    binary = _binary_columns(definition)
    metas = {name: _frame(table, binary.get(name, set())) for name, table in plan(definition).empty().items()}
    carried = _portable(definition)
    # Keys of their own per call: layouts are not tokenised (native objects),
    # and two calls over the same files with other layouts must not collide.
    token = uuid.uuid4().hex
    decoded = [
        dask.delayed(_decode_range, pure=False)(
            p, carried, binary, prefix_bytes, map, dask_key_name=f"bitloom-decode-{token}-{i}"
        )
        for i, p in enumerate(parts)
    ]
    frames = Frames()
    for name, meta in metas.items():
        pieces = [
            dask.delayed(_pick, pure=False)(d, name, meta, dask_key_name=f"bitloom-{name}-{token}-{i}")
            for i, d in enumerate(decoded)
        ]
        frames[name] = dd.from_delayed(pieces, meta=meta, verify_meta=False)
    plans = [(f.pieces[0].path, f.summary, f.prefix_hint, len(f.pieces)) for f in files]
    frames.reports = dask.delayed(_reports, pure=False)(
        plans, added, *decoded, dask_key_name=f"bitloom-reports-{token}"
    )
    return frames
