"""From a packet stream to tables: the one decode pipeline.

``decode(source, definition)`` splits the stream, hands the packets to the
definition (a mapping of APIDs to layouts or ``Select`` rules, a definition
file, or an ``xtce.Definition``), and returns one table per packet type
with one :class:`~bitloom_io.Report` of what was not decoded and why. The
command line, ``xtce.Definition.decode`` and the Dask reader all call it,
so every route gives the same tables.

Tables of a mapping are named here (:func:`table_name`); an XTCE
definition names its tables by container.
"""

from __future__ import annotations

import contextlib
import os
import queue
import re
import threading
import weakref
from collections.abc import Callable, Generator, Iterator, Mapping
from typing import TYPE_CHECKING, Any, Literal, Protocol, TypeAlias, Union

import numpy as np

from . import _sources, ccsds
from ._chunks import concat_columns
from ._native import Layout, get_threads
from ._report import DecodeWarning, Findings, Report, prefix_hint
from ._tables import Table, Tables

if TYPE_CHECKING:  # pragma: no cover
    from .xtce import Definition as XtceDefinition

__all__ = ["decode", "Select", "DecodeWarning", "DEFAULT", "Report", "table_name", "layouts_by_name"]


class _DefaultKey(str):
    """The string ``"*"``, as a named constant of this package."""

    __slots__ = ()


#: The key of ``layouts`` that covers every APID without a layout of its own
#: (equal to the string ``"*"``).
DEFAULT = _DefaultKey("*")


def _single_field_layout(item: Mapping[str, Any]) -> Layout:
    return Layout([dict(item)], exact=True)


class Select:
    """Picks a layout per packet by the value of one field after the header.

    ``field`` is a recipe item (a dict, its ``offset_bits`` counted from the
    first bit of the packet, primary header included), read at its exact
    bits; ``layouts`` maps each value to a ``Layout`` (or another
    ``Select``). Tables are named ``<parent>_<value>`` unless ``names``
    gives a name for the value. Packets whose value has no layout are
    reported as claimed by no packet type.

    >>> Select({"name": "ID", "encoding": "unsigned", "bits": 8,
    ...         "byte_order": "big", "reverse_bits": False, "offset_bits": 48},
    ...        {1: hk_layout, 2: event_layout}, names={1: "hk", 2: "events"})
    """

    __slots__ = ("field", "layouts", "names", "_reader")

    def __init__(
        self,
        field: Mapping[str, Any],
        layouts: Mapping[Any, Layout | Select],
        *,
        names: Mapping[Any, str] | None = None,
    ) -> None:
        self.field = dict(field)
        self.layouts = dict(layouts)
        self.names = dict(names or {})
        self._reader = _single_field_layout(self.field)

    def __repr__(self) -> str:
        return f"Select({self.field.get('name')!r}, {sorted(self.layouts, key=repr)!r})"

    def name_for(self, parent: str, value: Any) -> str:
        """The table name of the packets whose field holds ``value``."""
        return str(self.names.get(value, f"{parent}_{value}"))

    def values(self, buffer: Any, offsets: np.ndarray, lengths: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The field's value per packet and a mask of the packets where it
        could not be read."""
        cols = self._reader.unpack_many(buffer, offsets=offsets, lengths=lengths, errors="mask")
        (values,) = cols.values()
        return np.ma.getdata(values), np.asarray(cols.failed, dtype=bool)


LayoutOrRule: TypeAlias = Layout | Select
#: What ``decode`` takes as a definition.
DefinitionLike: TypeAlias = Union[Mapping[int | str, LayoutOrRule], str, "os.PathLike[str]", "XtceDefinition"]


def table_name(apid: int | str) -> str:
    """The name of the table of an APID's packets in a mapping:
    ``apid11``; the key ``"*"`` (in listings of layouts) stays ``"*"``."""
    return DEFAULT if apid == DEFAULT else f"apid{int(apid)}"


def apid_key(key: object) -> int | str:
    """A mapping's key as an APID (an int, or a string of decimal digits,
    0-2047), or ``DEFAULT``."""
    if key == DEFAULT:
        return DEFAULT
    apid: int | None = None
    if isinstance(key, (int, np.integer)) and not isinstance(key, bool):
        apid = int(key)
    elif isinstance(key, str) and key.strip().isdecimal():
        apid = int(key)
    if apid is None or not 0 <= apid <= 0x7FF:
        raise ValueError(
            f"layouts keys are APIDs (integers 0-2047, or their digits as text) or {DEFAULT!r}, not {key!r}"
        )
    return apid


def routes_of(layouts: Mapping[Any, Any]) -> dict[int | str, LayoutOrRule]:
    """A mapping's keys as APIDs, refusing two keys for one APID
    (``{11: a, "11": b}``) and values that are not layouts or rules."""
    routes: dict[int | str, LayoutOrRule] = {}
    for key, target in layouts.items():
        apid = apid_key(key)
        if apid in routes:
            raise ValueError(f"layouts has two keys for APID {apid}: {key!r} and another")
        _check_target(target, table_name(apid))
        routes[apid] = target
    return routes


def _check_target(target: object, name: str) -> None:
    if isinstance(target, Select):
        for value, sub in target.layouts.items():
            _check_target(sub, target.name_for(name, value))
    elif not isinstance(target, Layout):
        raise TypeError(f"layouts values are Layout or Select, not {type(target).__name__} (for {name!r})")


def layouts_by_name(layouts: Mapping[Any, Any]) -> dict[str, Layout]:
    """{table name: Layout} for a mapping as ``decode`` takes it, rules
    (``Select``) opened into the layouts they choose from; the key ``"*"``
    keeps its name."""
    out: dict[str, Layout] = {}

    def add(name: str, target: Any) -> None:
        if isinstance(target, Select):
            for value, sub in target.layouts.items():
                add(target.name_for(name, value), sub)
        else:
            out[name] = target

    for key, target in routes_of(layouts).items():
        add(table_name(key), target)
    return out


def expected_bytes(layout: Layout) -> int | None:
    """The bytes a layout reads from a packet's first byte when every field
    has a fixed place and width, else None."""
    try:
        return _expected_bytes[layout]
    except (KeyError, TypeError):
        pass
    end: int | None = 0
    for f in layout.fields:
        if f.start_bit is None or not isinstance(f.bits, int):
            end = None
            break
        end = max(end, f.start_bit + f.bits)  # type: ignore[type-var]
    expected = (end + 7) // 8 if end else None
    with contextlib.suppress(TypeError):  # a layout that cannot be weakly referenced is measured each time
        _expected_bytes[layout] = expected
    return expected


# Layouts do not change once made: what each reads is worked out once.
_expected_bytes: weakref.WeakKeyDictionary[Any, int | None] = weakref.WeakKeyDictionary()


def first_failure(layout: Layout, packet: memoryview) -> tuple[str | None, str]:
    """The field a failed packet fails at and why, from reading that packet
    alone (the error's note names the field)."""
    try:
        layout.unpack(packet)
    except Exception as error:  # the reason of any failure, whatever its type
        field = None
        for note in getattr(error, "__notes__", ()):
            found = re.match(r"in (?:layout field|recipe) item (\d+)", note)
            if found and int(found.group(1)) < len(layout.fields):
                field = layout.fields[int(found.group(1))].name
        text = str(error)
        prefix = f"{type(error).__name__}: "
        return field, (text[len(prefix) :] if text.startswith(prefix) else text) or type(error).__name__
    return None, ""


class _Plan(Protocol):
    """How a kind of definition decodes split packets into its tables."""

    def run(self, packets: ccsds.Packets, findings: Findings, errors: str) -> Tables: ...

    def empty(self) -> Tables: ...

    @property
    def definition(self) -> Any: ...


class _MappingPlan:
    """APIDs to layouts and rules: tables ``apid<N>`` (rules name their
    own), each the primary-header columns and then the layout's fields."""

    def __init__(self, layouts: Mapping[Any, Any]) -> None:
        self.routes = routes_of(layouts)

    def run(self, packets: ccsds.Packets, findings: Findings, errors: str, into: Into | None = None) -> Tables:
        run = _Run(packets, findings, errors, into)
        routes = self.routes
        apid = packets.apid
        present = set(packets.summary.apids)
        wanted = [a for a in routes if a != DEFAULT]
        if DEFAULT in routes:
            wanted += [a for a in present if a not in routes]
        for a in sorted(wanted, key=int):
            index: np.ndarray | None
            if a not in present:
                index = np.zeros(0, dtype=np.intp)
            elif len(present) == 1:
                index = None
            else:
                index = np.flatnonzero(apid == a)
            run.route(table_name(a), routes[a] if a in routes else routes[DEFAULT], index)
        if present - set(wanted):
            findings.unclaimed(np.flatnonzero(~np.isin(apid, np.asarray(wanted, dtype=np.int64))))
        run.tables.packet_index = run.indexes
        return run.tables

    @property
    def definition(self) -> Any:
        return self.routes

    def empty(self) -> Tables:
        none = ccsds.split(b"", warn=False)
        return self.run(none, Findings(none), "skip")


# Where a table's layout columns may be written in place: (an array or None
# per column of the layout, the first row), or None.
Into: TypeAlias = "Callable[[str, Layout, int], tuple[list[Any], int] | None]"


class _Run:
    def __init__(self, packets: ccsds.Packets, findings: Findings, errors: str, into: Into | None = None) -> None:
        self.packets = packets
        self.findings = findings
        self.errors = errors
        self.into = into
        self.tables = Tables()
        self.indexes: dict[str, np.ndarray] = {}

    def route(self, name: str, target: LayoutOrRule, index: np.ndarray | None) -> None:
        """Decodes the packets at ``index`` (all of them when None) into the
        table ``name``."""
        p = self.packets
        if index is None:  # every packet, in order: no copies
            offsets, lengths = p.offsets, p.lengths
        else:
            offsets, lengths = p.offsets[index], p.lengths[index]
        if isinstance(target, Select):
            if index is None:
                index = np.arange(len(p))
            values, unread = target.values(p.buffer, offsets, lengths)
            if unread.any():
                where = np.flatnonzero(unread)
                packet = p.packet(int(index[where[0]]))
                _, reason = first_failure(target._reader, packet)
                self.findings.failed(name, index[unread], str(target.field.get("name")), reason)
            matched = np.zeros(len(index), dtype=bool)
            for value, sub in target.layouts.items():
                chosen = (values == value) & ~unread
                matched |= chosen
                self.route(target.name_for(name, value), sub, index[chosen])
            self.findings.unclaimed(index[~matched & ~unread])
            return
        expected = expected_bytes(target)
        if expected is not None and len(lengths):
            self.findings.sizes(name, index, expected)
        into = self.into(name, target, len(offsets)) if self.into is not None else None
        fields, failed = _unpack(target, p, offsets, lengths, self.errors, name, into)
        if failed is not None:
            where = np.arange(len(p)) if index is None else index
            row = int(np.argmax(failed))
            field, reason = first_failure(target, p.packet(int(where[row])))
            self.findings.failed(name, where[failed], field, reason)
            keep = ~failed
            fields = {k: np.ma.getdata(v)[keep] for k, v in fields.items()}
            index = where[keep]
        columns = p.header_columns(index)
        columns.update(fields)
        if name in self.tables:
            raise ValueError(f"two packet types are named {name!r}")
        self.tables[name] = Table(name, columns, getattr(target, "column_meta", None))
        self.indexes[name] = np.arange(len(p)) if index is None else np.asarray(index, dtype=np.int64)


def _unpack_part(
    layout: Layout, buffer: Any, offsets: np.ndarray, lengths: np.ndarray, more: dict[str, Any] | None = None
) -> tuple[dict[str, np.ndarray], np.ndarray | None]:
    # The common case, every packet decoding, needs no masks.
    more = more or {}
    try:
        return dict(layout.unpack_many(buffer, offsets=offsets, lengths=lengths, **more)), None
    except ValueError:
        cols = layout.unpack_many(buffer, offsets=offsets, lengths=lengths, errors="mask", **more)
        return dict(cols), np.asarray(cols.failed, dtype=bool)


def _unpack(
    layout: Layout,
    packets: ccsds.Packets,
    offsets: np.ndarray,
    lengths: np.ndarray,
    errors: str,
    name: str,
    into: tuple[list[Any], int] | None = None,
) -> tuple[dict[str, np.ndarray], np.ndarray | None]:
    """The layout's columns for the packets at ``offsets`` (masked arrays
    when some failed), and a mask of the packets that failed (None when
    none did). With ``into``, numeric columns are written into those arrays'
    rows and returned as views of them."""
    more = {} if into is None else {"_into": into}
    if errors == "raise":
        try:
            return dict(layout.unpack_many(packets.buffer, offsets=offsets, lengths=lengths, **more)), None
        except ValueError as error:
            error.add_note(f"while decoding the packets of {name!r}")
            raise
    # One call over the whole mapping: the columns are made once, at their
    # final size. Measured against decoding in 8 MiB steps that gave their
    # pages back and were joined afterwards: half the CPU time and a quarter
    # of the anonymous memory beyond the columns; the file's pages stay in
    # the page cache, where the kernel reclaims them as it needs.
    return _unpack_part(layout, packets.buffer, offsets, lengths, more)


class _XtcePlan:
    def __init__(self, definition: XtceDefinition, root: str | None) -> None:
        self.definition = definition
        self.root = root

    def run(self, packets: ccsds.Packets, findings: Findings, errors: str) -> Tables:
        return self.definition._run(packets, findings, root=self.root, errors=errors)

    def empty(self) -> Tables:
        empty = ccsds.split(b"", warn=False)
        return self.definition._run(empty, Findings(empty), root=self.root, errors="skip")


def plan(definition: Any, *, root: str | None = None) -> _Plan:
    """The plan of a definition ``decode`` takes (a path is loaded here)."""
    if isinstance(definition, (str, os.PathLike)):
        from ._layout_files import load_definition

        definition = load_definition(definition)
    if isinstance(definition, Mapping):
        if root is not None:
            raise ValueError("root= chooses the container packets start from in an XTCE definition, not in layouts")
        return _MappingPlan(definition)
    if callable(getattr(definition, "_run", None)) and callable(getattr(definition, "packet_types", None)):
        return _XtcePlan(definition, root)
    raise TypeError(
        "the definition is a mapping of APIDs to Layout or Select, a layout file (JSON, CCSDSPy CSV, XTCE) "
        f"or an xtce.Definition, not {type(definition).__name__}"
    )


def decode(
    source: Any,
    definition: DefinitionLike,
    *,
    prefix_bytes: int = 0,
    root: str | None = None,
    errors: Literal["skip", "raise"] = "skip",
    map: bool = True,
    keep_unmapped: bool = False,
    segments: Literal["keep", "join"] = "keep",
    segment_header_bytes: int = 0,
) -> Tables:
    """Splits a stream of CCSDS space packets and decodes each packet with
    its packet type, one table per packet type.

    ``source`` is a path, a binary file object or a buffer (see
    :func:`bitloom_io.ccsds.split`; files are memory-mapped unless ``map`` is
    false, and one that shrinks meanwhile raises ``OSError``), or the
    ``Packets`` a split returned. ``definition`` is one of:

    - a mapping of APIDs (ints, or strings of digits) to a ``Layout`` or a
      :class:`Select`; the key ``"*"`` covers every APID without its own
      entry. Layout positions count from the first byte of the packet
      (primary header included). Tables are named ``apid<N>`` (``Select``
      names its own), each the primary-header columns
      (``CCSDS_VERSION_NUMBER`` ... ``CCSDS_PACKET_LENGTH``) and then the
      layout's fields;
    - an ``xtce.Definition`` (``root``: the container packets start from,
      when the definition does not make it plain): tables by container
      name, the raw columns by parameter and ``NAME_eng`` beside each
      parameter with an engineering value;
    - the path of a definition file, read by
      :func:`bitloom_io.load_definition` (JSON, CCSDSPy CSV, XTCE).

    Every packet type of the definition has a table, empty when no packet
    is of that type. ``tables.report`` (a :class:`Report`) says what was
    not decoded and why: problems of the stream and sequence gaps (also
    warned as ``StreamWarning``, ``SequenceWarning``), packets no packet
    type claims, packets that failed (``errors="skip"``, the default, leaves
    them out; ``"raise"`` raises at the first), packets longer or shorter
    than their packet type (warned as ``DecodeWarning``).

    ``keep_unmapped=True`` keeps what an exact round trip through
    :func:`bitloom_io.encode` needs beyond the fields: each table gains
    ``_packet`` (each packet's index in the stream, which ``encode`` orders
    by) and ``_unmapped`` (per packet, the XOR of its bytes and the bytes
    its values encode to: the bits no field describes, padding and the
    like; empty where there is none).

    ``segments="join"`` joins segmented packets per APID first (a first
    segment, its continuations and its last, with consecutive sequence
    counts, become one packet: the first whole, then each later segment's
    data after its primary header and ``segment_header_bytes`` more, its
    secondary header); segments that complete no such run are left out and
    named in the report's notes. The report's byte offsets are then those
    of the joined packets.
    """
    tables = decode_quietly(
        source,
        definition,
        prefix_bytes=prefix_bytes,
        root=root,
        errors=errors,
        map=map,
        keep_unmapped=keep_unmapped,
        segments=segments,
        segment_header_bytes=segment_header_bytes,
    )
    ccsds.warn_summary(tables.report.stream, stacklevel=2)
    tables.report.warn(stacklevel=2)
    return tables


def decode_quietly(
    source: Any,
    definition: DefinitionLike,
    *,
    prefix_bytes: int = 0,
    root: str | None = None,
    errors: Literal["skip", "raise"] = "skip",
    map: bool = True,
    keep_unmapped: bool = False,
    segments: Literal["keep", "join"] = "keep",
    segment_header_bytes: int = 0,
) -> Tables:
    """``decode`` without its warnings (its callers warn at their own caller)."""
    if errors not in ("skip", "raise"):
        raise ValueError(f"errors must be 'skip' or 'raise', not {errors!r}")
    if segments not in ("keep", "join"):
        raise ValueError(f"segments must be 'keep' or 'join', not {segments!r}")
    how = plan(definition, root=root)
    if not isinstance(source, ccsds.Packets) and _counted(how, segments, keep_unmapped):
        options = ccsds.ScanOptions.of(prefix_bytes)
        buffer, mapped, name = _sources.open_source(source, map=map)
        with memoryview(buffer) as view:
            size = view.nbytes
        if size >= COUNTED_BYTES:
            tables = decode_counted(buffer, mapped, name, options, how, errors)  # type: ignore[arg-type]
            _sources.check_mapping(buffer)
            return tables
        packets = ccsds._scan(buffer, options, mapped, name)
    else:
        packets = ccsds.split(source, prefix_bytes=prefix_bytes, warn=False, map=map)
    split = packets
    if segments == "join":
        from ._segments import join

        packets, notes = join(packets, segment_header_bytes)
        findings = Findings(packets)
        for note in notes:
            findings.note(note)
        tables = _finish(how.run(packets, findings, errors), findings, packets, len(packets))
    else:
        tables = run(how, packets, errors)
    if keep_unmapped:
        _keep_unmapped(tables, how, packets)
    # A file that shrank while its packets were decoded read as zeros there.
    _sources.check_mapping(split.buffer)
    return tables


# Inputs of this many bytes and more are decoded in steps into columns made
# once at their final size, after a first pass that counts each APID's
# packets; smaller ones are split whole and decoded in one go. Splitting
# whole keeps 23 bytes per packet until the decode ends, several times the
# stream's own size at small packets; in steps, one step's worth is held.
COUNTED_BYTES = 16 << 20
STEP_BYTES = 8 << 20


def _counted(how: _Plan, segments: str, keep_unmapped: bool) -> bool:
    """Whether ``decode_counted`` can take the decode: layouts by APID (a
    ``Select`` makes tables whose size no count gives)."""
    return (
        segments == "keep"
        and not keep_unmapped
        and isinstance(how, _MappingPlan)
        and all(isinstance(t, Layout) for t in how.routes.values())
    )


class _Filling:
    """A table's columns, made at the rows its APID's packets could fill and
    filled a step at a time. Steps whose columns do not fit that mould
    (masked or ragged columns, a column the first step lacked) are joined
    at the end instead."""

    def __init__(self, rows: int) -> None:
        self.rows = rows
        self.filled = 0
        self.columns: dict[str, np.ndarray] | None = None
        self.meta: Any = None
        self.parts: list[Table] | None = None
        self._numeric: list[str | None] | None = None  # the layout's columns, by name where numeric

    def into(self, layout: Layout, n: int) -> tuple[list[Any], int] | None:
        """Where the layout's numeric columns of the next ``n`` rows may be
        decoded in place: these columns, from the row filled next. None
        until the first step has made them, or when they cannot take them."""
        cols = self.columns
        if cols is None or self.parts is not None or type(layout) is not Layout or self.filled + n > self.rows:
            return None
        if self._numeric is None:
            none = np.zeros(0, dtype=np.int64)
            empty = layout.unpack_many(b"", offsets=none, lengths=none)
            self._numeric = [
                k if k in cols and v.dtype.kind in "biuf" and cols[k].ndim == 1 and cols[k].dtype == v.dtype else None
                for k, v in empty.items()
            ]
        return [None if k is None else cols[k] for k in self._numeric], self.filled

    def _fits(self, table: Table) -> bool:
        cols = self.columns
        assert cols is not None
        return (
            self.filled + len(table) <= self.rows
            and cols.keys() == table.columns.keys()
            and all(
                type(v) is np.ndarray and v.dtype == cols[k].dtype and v.shape[1:] == cols[k].shape[1:]
                for k, v in table.columns.items()
            )
        )

    def add(self, table: Table) -> None:
        if self.parts is None and self.columns is None:
            self.meta = table.meta
            if all(type(v) is np.ndarray for v in table.columns.values()):
                self.columns = {k: np.empty((self.rows, *v.shape[1:]), dtype=v.dtype) for k, v in table.columns.items()}
            else:
                self.parts = []
        if self.parts is None and not self._fits(table):
            self.parts = [self.table("")]
            self.columns = None
        if self.parts is not None:
            self.parts.append(table)
            return
        assert self.columns is not None
        stop = self.filled + len(table)
        for k, v in table.columns.items():
            target = self.columns[k]
            if v.base is target and v.ctypes.data == target.ctypes.data + self.filled * target.itemsize:
                continue  # decoded in place
            target[self.filled : stop] = v
        self.filled = stop

    def table(self, name: str) -> Table:
        if self.parts is not None:
            first = self.parts[0]
            columns = {k: concat_columns([t.columns[k] for t in self.parts]) for k in first.columns}
            return Table(name, columns, self.meta)
        assert self.columns is not None
        # Rows of packets that failed were never filled: the columns end
        # before them (views; the few rows beyond stay with them).
        cut = self.filled < self.rows
        return Table(name, {k: v[: self.filled] if cut else v for k, v in self.columns.items()}, self.meta)


_DONE = object()


def split_ahead(steps: Iterator[Any]) -> Generator[Any]:
    """The items of ``steps``, each made on a thread of its own while the one
    before it is used: the next step of a stream is split while this one is
    decoded (the splitter lets go of the interpreter). One step ahead at
    most, in order; an error of the splitting thread is raised where its
    step would have come. With ``get_threads()`` 1, ``steps`` as they are."""
    if get_threads() <= 1:
        yield from steps
        return
    slot: queue.Queue[tuple[Any, BaseException | None]] = queue.Queue(maxsize=1)
    stop = threading.Event()

    def offer(item: Any, error: BaseException | None = None) -> bool:
        while not stop.is_set():
            try:
                slot.put((item, error), timeout=0.05)
                return True
            except queue.Full:
                continue
        return False

    def split() -> None:
        try:
            for step in steps:
                if not offer(step):
                    return
        except BaseException as error:  # handed to the decoding thread, which raises it
            offer(_DONE, error)
            return
        offer(_DONE)

    thread = threading.Thread(target=split, name="bitloom-io split", daemon=True)
    thread.start()
    try:
        while True:
            item, error = slot.get()
            if item is _DONE:
                if error is not None:
                    raise error
                return
            yield item
    finally:
        stop.set()  # a decode that stopped early stops the splitting too
        thread.join()


def decode_counted(
    buffer: Any,
    mapped: bool,
    name: str | None,
    options: ccsds.ScanOptions,
    how: _MappingPlan,
    errors: str,
    step_bytes: int | None = None,
) -> Tables:
    """``run(how, ccsds.split(...), errors)`` in steps: the packets are
    counted per APID first, each table's columns are made once at that
    size, and each step of about ``step_bytes`` is split and decoded into
    their next rows. The tables and report are those of the whole decode
    (tables carry no ``packet_index``); a mapped file's pages are given
    back behind each step."""
    scan = ccsds.StepScan(buffer, options, mapped, name)
    present = scan.summary.apids
    routes = how.routes
    wanted = [a for a in routes if a != DEFAULT]
    if DEFAULT in routes:
        wanted += [a for a in present if a not in routes]
    fills = {table_name(a): _Filling(present.get(a, 0)) for a in sorted(wanted, key=int)}
    findings = Findings(scan)  # type: ignore[arg-type]  # what the report reads of a split, counted
    # A table whose packets all failed is a step's empty table, with the
    # columns its layout gives, as in the whole decode.
    unfilled: dict[str, Table] = {}

    def into(name: str, layout: Layout, n: int) -> tuple[list[Any], int] | None:
        return fills[name].into(layout, n) if name in fills else None

    done = 0
    steps = split_ahead(scan.steps(STEP_BYTES if step_bytes is None else step_bytes))
    with contextlib.closing(steps):  # an error stops the splitting thread at once
        for piece in steps:
            findings.packets = piece
            for table_key, table in how.run(piece, findings, errors, into).items():
                if len(table):
                    fills[table_key].add(table)
                elif table.columns:
                    unfilled.setdefault(table_key, table)
            end = int(piece.offsets[-1]) + int(piece.lengths[-1])
            scan.release_pages(done, end)
            done = end
    findings.packets = scan  # type: ignore[assignment]
    tables = Tables()
    empty: Tables | None = None
    for table_key, fill in fills.items():
        if fill.columns is None and fill.parts is None:  # no packet of its APID decoded
            empty = how.empty() if empty is None else empty
            if table_key in unfilled:
                tables[table_key] = unfilled[table_key]
            else:
                tables[table_key] = empty[table_key] if table_key in empty else _empty_like(Table(table_key, {}))
        else:
            tables[table_key] = fill.table(table_key)
    return _finish(tables, findings, scan, len(scan))  # type: ignore[arg-type]


def _keep_unmapped(tables: Tables, how: _Plan, packets: ccsds.Packets) -> None:
    from ._encode import PACKET_COLUMN, UNMAPPED_COLUMN, differences

    indexes: dict[str, np.ndarray] = getattr(tables, "packet_index", {})
    original = np.frombuffer(packets.buffer, dtype=np.uint8)
    for name, table in list(tables.items()):
        index = np.asarray(indexes.get(name, np.zeros(0, dtype=np.int64)), dtype=np.int64)
        columns = dict(table.columns)
        try:
            columns[UNMAPPED_COLUMN] = differences(
                name, table, how.definition, original, packets.offsets[index], packets.lengths[index]
            )
        except ValueError as error:
            raise ValueError(f"keep_unmapped: {error}") from None
        columns[PACKET_COLUMN] = index
        tables[name] = Table(name, columns, table.meta)


def run(how: _Plan, packets: ccsds.Packets, errors: str = "skip") -> Tables:
    """The tables and report of split packets (no warnings)."""
    findings = Findings(packets)
    tables = how.run(packets, findings, errors)
    return _finish(tables, findings, packets, len(packets))


def _finish(
    tables: Tables, findings: Findings, packets: ccsds.Packets, count: int, decoded: dict[str, int] | None = None
) -> Tables:
    report = findings.report({name: len(t) for name, t in tables.items()} if decoded is None else decoded, count)
    report.prefix_hint = prefix_hint(packets)
    tables.report = report
    tables.summary = packets.summary
    return tables


def _empty_like(table: Table) -> Table:
    """The table with no rows: its columns, dtypes and metadata."""
    return Table(table.name, {k: v[:0] for k, v in table.columns.items()}, table.meta)


def _piece(packets: ccsds.Packets, start: int, stop: int) -> ccsds.Packets:
    """Packets ``start:stop`` of a split, over the same buffer."""
    piece = ccsds.Packets()
    for name in ("offsets", "lengths", *ccsds.HEADER_COLUMNS.values()):
        setattr(piece, name, getattr(packets, name)[start:stop])
    piece.summary = packets.summary
    piece.buffer = packets.buffer
    piece.mapped = packets.mapped
    return piece


def _pieces(packets: ccsds.Packets, step_bytes: int) -> Any:
    """A split's packets in pieces of about ``step_bytes`` (one, empty, when
    there are none)."""
    n = len(packets)
    cuts = np.searchsorted(packets.offsets, np.arange(step_bytes, max(packets.summary.bytes, 1), step_bytes))
    bounds = [0, *sorted(set(cuts.tolist()) - {0, n}), n] if n else [0, 0]
    for start, stop in zip(bounds[:-1], bounds[1:]):
        yield _piece(packets, start, stop)


def _no_packets(scan: ccsds.StepScan) -> ccsds.Packets:
    """An empty split with the scan's summary (a stream without packets)."""
    none = ccsds.split(b"", warn=False)
    none.summary, none.buffer = scan.summary, scan.buffer
    return none


def decode_in_steps(
    source: Any,
    definition: DefinitionLike,
    *,
    prefix_bytes: int = 0,
    step_bytes: int = 16 << 20,
    progress: Callable[..., None] | None = None,
    root: str | None = None,
    errors: Literal["skip", "raise"] = "skip",
    map: bool = True,
    sink: Callable[[Tables], None] | None = None,
) -> Tables:
    """``decode`` in steps of about ``step_bytes`` of packets, calling
    ``progress(done_bytes, rows)`` after each and once more with
    ``final=True``. The stream is split once, so the tables and the report
    are those of ``decode``; nothing is warned. With ``sink``, each step's
    tables go to ``sink(tables)`` and are not kept: the tables returned are
    empty, their report that of the whole stream."""
    how = plan(definition, root=root)
    packets: Any
    pieces: Any
    if isinstance(source, ccsds.Packets):
        packets = source
        pieces = _pieces(packets, step_bytes)
    else:
        options = ccsds.ScanOptions.of(prefix_bytes)
        buffer, mapped, name = _sources.open_source(source, map=map)
        with memoryview(buffer) as view:
            size = view.nbytes
        if size >= COUNTED_BYTES:
            # Split in steps too: nothing is held per packet of the whole.
            packets = ccsds.StepScan(buffer, options, mapped, name)
            pieces = (
                split_ahead(packets.steps(step_bytes, packets.summary))
                if len(packets)
                else _pieces(_no_packets(packets), 1)
            )
        else:
            packets = ccsds._scan(buffer, options, mapped, name)
            pieces = _pieces(packets, step_bytes)
    n = len(packets)
    findings = Findings(packets)
    parts: list[Tables] = []
    counts: dict[str, int] = {}
    rows = 0
    # A mapped file's pages are given back behind each step, so that only
    # the step being decoded is resident.
    release = getattr(packets.buffer, "release_pages", None) if packets.mapped else None
    released = 0
    with contextlib.closing(pieces):  # an error stops a splitting thread at once
        for piece in pieces:
            findings.packets = piece
            tables = how.run(piece, findings, errors)
            for name, table in tables.items():
                counts[name] = counts.get(name, 0) + len(table)
            rows += sum(len(t) for t in tables.values())
            end = int(piece.offsets[-1]) + int(piece.lengths[-1]) if len(piece) else released
            if release is not None and end > released:
                release(released, end - released)
                released = end
            if sink is not None:
                sink(tables)
                if not parts:  # the first step's tables, emptied, carry the types, columns and dtypes
                    parts.append(Tables({name: _empty_like(t) for name, t in tables.items()}))
            else:
                parts.append(tables)
            if progress is not None and len(piece):
                progress(end, rows)
    findings.packets = packets
    joined = parts[0]
    for name, table in joined.items():
        more = [p[name] for p in parts[1:] if len(p[name])]
        if more:
            columns = {c: concat_columns([table.columns[c], *(t.columns[c] for t in more)]) for c in table.columns}
            joined[name] = Table(name, columns, table.meta)
    _sources.check_mapping(packets.buffer)
    if progress is not None:
        progress(packets.summary.bytes, rows, final=True)
    return _finish(joined, findings, packets, n, counts)
