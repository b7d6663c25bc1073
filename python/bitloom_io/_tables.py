"""Tables of decoded packets: numpy columns, with pandas, Arrow, Parquet and
CSV on top. Every file is written under a temporary name in the directory it
goes to and renamed when complete, so an interrupted write never leaves a
file that looks whole."""

from __future__ import annotations

import contextlib
import csv
import os
import secrets
import socket
from collections.abc import Iterator, KeysView, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:  # pragma: no cover
    # Precise with their stubs (pandas-stubs), Any without them.
    import pandas  # type: ignore[import-untyped,unused-ignore]
    import pyarrow  # type: ignore[import-untyped,unused-ignore]

    from ._report import Report
    from .ccsds import StreamSummary

__all__ = ["Table", "Tables", "atomic_path"]

# Until a release is published, extras install from a checkout.
_TABLES_EXTRA = 'pip install "bitloom-packets[tables]" (from a checkout: pip install ".[tables]")'


def _require(module: str, what: str) -> Any:
    try:
        return __import__(module, fromlist=["_"])
    except ImportError as error:
        raise ImportError(f"{what} needs {module.split('.')[0]}: {_TABLES_EXTRA}", name=module) from error


@contextlib.contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[str]:
    """A temporary path in the target's directory; renamed to ``path`` when
    the block completes, removed when it fails.

    The temporary file is ``.<name>.bitloom-<host>-<pid>-<random>.part``:
    a run that is killed leaves it behind under a name that says whose it
    is, and the next write of the same target on the same host removes
    those whose process is gone."""
    tmp = part_path(path)
    try:
        yield tmp
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def part_path(path: str | os.PathLike[str]) -> str:
    """A new, empty temporary file beside ``path`` named as ``atomic_path``
    names them, after removing the stale ones of the same target."""
    directory, name = os.path.split(os.path.abspath(os.fspath(path)))
    remove_stale_parts(directory, name)
    host = _host()
    # Created with the usual permissions (the umask's), unlike mkstemp's 0600.
    while True:
        tmp = os.path.join(directory, f".{name}.{_PART_MARK}{host}-{os.getpid()}-{secrets.token_hex(6)}.part")
        try:
            open(tmp, "xb").close()
            return tmp
        except FileExistsError:  # pragma: no cover - 48 random bits
            continue


_PART_MARK = "bitloom-"


def _host() -> str:
    return "".join(c if c.isalnum() or c in "._" else "_" for c in socket.gethostname()) or "host"


def remove_stale_parts(directory: str, name: str) -> list[str]:
    """Removes the temporary files of writes of ``name`` in ``directory``
    that a process of this host left when it died; returns their paths.
    Files of live processes, of other hosts (whose processes cannot be
    seen from here) and of other names are left alone."""
    lead, host = f".{name}.{_PART_MARK}", _host()
    removed = []
    try:
        entries = os.listdir(directory)
    except OSError:
        return removed
    for entry in entries:
        if not (entry.startswith(lead) and entry.endswith(".part")):
            continue
        fields = entry[len(lead) : -len(".part")].rsplit("-", 2)
        if len(fields) != 3 or fields[0] != host or not fields[1].isdigit():
            continue
        if _alive(int(fields[1])):
            continue
        with contextlib.suppress(OSError):
            os.unlink(os.path.join(directory, entry))
            removed.append(os.path.join(directory, entry))
    return removed


def _alive(pid: int) -> bool:
    # On Windows os.kill ends the process rather than probing it.
    if pid == os.getpid() or os.name == "nt":
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OSError, OverflowError):
        return True  # someone else's, or cannot tell: leave it
    return True


class Table:
    """One packet type's decoded packets: ``columns`` maps a name to a numpy
    array, all of the same length (primary-header columns first)."""

    __slots__ = ("name", "columns", "meta")

    def __init__(
        self, name: str, columns: Mapping[str, np.ndarray], meta: Mapping[str, Mapping[str, Any]] | None = None
    ) -> None:
        self.name = name
        self.columns = dict(columns)
        lengths = {len(c) for c in self.columns.values()}
        if len(lengths) > 1:
            raise ValueError(f"table {name!r}: columns of different lengths {sorted(lengths)}")
        #: Per column, what is known of it beyond its values: ``scale`` of a
        #: time column, ``unit``, ``description`` and ``labels`` from XTCE.
        self.meta: dict[str, dict[str, Any]] = {k: dict(v) for k, v in (meta or {}).items()}
        for k, v in self.columns.items():
            if v.dtype.metadata and k not in self.meta:
                self.meta[k] = dict(v.dtype.metadata)

    def set_time(self, columns: Mapping[str, np.ndarray], meta: Mapping[str, Any], source: str | None = None) -> None:
        """Adds the packet time (``time`` and its extra columns) to the table."""
        for k, v in columns.items():
            if len(v) != len(self):
                raise ValueError(f"table {self.name!r}: {k} has {len(v)} values for {len(self)} rows")
            self.columns[k] = v
        self.meta["time"] = dict(meta) | ({"source": source} if source else {})

    @classmethod
    def _checked(cls, name: str, columns: Mapping[str, np.ndarray]) -> Table:
        """A table of columns already known to be of one length."""
        table = cls.__new__(cls)
        table.name = name
        table.columns = dict(columns)
        table.meta = {k: dict(v.dtype.metadata) for k, v in table.columns.items() if v.dtype.metadata}
        return table

    def __len__(self) -> int:
        for c in self.columns.values():
            return len(c)
        return 0

    def __getitem__(self, column: str) -> np.ndarray:
        return self.columns[column]

    def __contains__(self, column: object) -> bool:
        return column in self.columns

    def __iter__(self) -> Iterator[str]:
        return iter(self.columns)

    def keys(self) -> KeysView[str]:
        return self.columns.keys()

    def __repr__(self) -> str:
        return f"<Table {self.name!r}: {len(self)} rows, {len(self.columns)} columns>"

    def to_pandas(self) -> pandas.DataFrame:
        """A pandas DataFrame (needs pandas), indexed by the packet time when
        the table has a ``time`` column; ``meta`` in ``DataFrame.attrs``."""
        pd = _require("pandas", "Table.to_pandas")
        from ._formats import pandas_frame

        frame: pandas.DataFrame = pandas_frame(self, pd)
        return frame

    def to_arrow(self, *, structs: bool = False) -> pyarrow.Table:
        """A pyarrow Table (needs pyarrow). Text columns become strings,
        binary columns binary; each column's ``meta`` (units, description,
        labels, time scale) is its field's metadata. ``structs=True``: the
        columns of an aggregate's members (``P.a.b``, marked by
        ``meta["member"]``) become one struct column ``P``, nested as the
        aggregate is, where its first member stood."""
        _require("pyarrow", "Table.to_arrow")
        from ._formats import arrow_table

        table: pyarrow.Table = arrow_table(self, structs=structs)
        return table

    def to_polars(self) -> Any:
        """A polars DataFrame (needs polars: ``pip install bitloom-packets[polars]``)."""
        from ._formats import polars_frame

        return polars_frame(self)

    def to_xarray(self) -> Any:
        """An xarray Dataset with a ``packet`` dimension and the packet time
        as coordinate (needs xarray: ``pip install bitloom-packets[xarray]``)."""
        from ._formats import xarray_dataset

        return xarray_dataset(self)

    def plot(self, params: Any = None, *, out: str | os.PathLike[str] | None = None, **options: Any) -> Any:
        """Plots parameters against the packet time (needs matplotlib:
        ``pip install bitloom-packets[plot]``); ``out`` ending in .png,
        .svg or .html writes a file, otherwise the matplotlib Figure is
        returned."""
        from ._plot import plot_table

        return plot_table(self, params, out=out, **options)

    def to_parquet(self, path: str | os.PathLike[str], **options: Any) -> None:
        """Writes a Parquet file (needs pyarrow); ``options`` go to
        ``pyarrow.parquet.write_table``."""
        pq = _require("pyarrow.parquet", "Table.to_parquet")
        table = self.to_arrow()
        with atomic_path(path) as tmp:
            pq.write_table(table, tmp, **options)

    def to_csv(self, path: str | os.PathLike[str]) -> None:
        """Writes a CSV file with a header row; binary values as hex, floats
        as the shortest text that reads back the same value."""
        with atomic_path(path) as tmp, open(tmp, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(list(self.columns))
            write_csv_rows(writer, self)


def write_csv_rows(writer: Any, table: Table) -> None:
    """The table's rows (no header) through a ``csv.writer``: binary values
    as hex, floats as the shortest text that reads back the same value."""
    step = 65536
    for start in range(0, len(table), step):
        parts = []
        for v in table.columns.values():
            chunk = v[start : start + step]
            if chunk.dtype == object:
                parts.append([x.hex() if isinstance(x, (bytes, bytearray)) else x for x in chunk.tolist()])
            else:
                parts.append(chunk.tolist())
        writer.writerows(zip(*parts))


class Tables(dict[str, Table]):
    """Tables by packet-type name, with ``report`` (a
    :class:`~bitloom_io.Report`: what was not decoded and why) and
    ``summary`` (the :class:`~bitloom_io.ccsds.StreamSummary` of the stream
    they came from, also ``report.stream``)."""

    report: Report
    summary: StreamSummary

    def __repr__(self) -> str:
        inner = ", ".join(f"{k!r}: {len(v)} rows" for k, v in self.items())
        return f"<Tables {{{inner}}}>"
