"""Containers whose content depends on the packet's values: entries under
IncludeConditions, and entries repeated as many times as an earlier field
says. No single layout reads them all.

Packets are sorted into groups by each decision in turn (a condition's
outcome, a repeat count), each decided on the columns read so far for its
group; one compiled layout reads each group, and the columns are put back
in packet order. An entry that a packet does not hold is masked there and
the entries after it move up; a repeated entry gives a ``Ragged`` column
(each packet's values one after another).
"""

from __future__ import annotations

import sys
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from bitloom_io import _native
from bitloom_io._native import Layout
from bitloom_io._ragged import Ragged
from bitloom_io.xtce._errors import XtceError, XtceUnsupportedError
from bitloom_io.xtce._model import FieldSpec, Parameter
from bitloom_io.xtce._placement import Repeat, Slot, dropped_repeats, place, present

Columns = dict[str, np.ndarray]


class _PacketBits:
    """The decision of containers with entries placed from the packet's end: its size in bits."""


#: What decides the layout of a container whose entries are placed from the packet's end.
PACKET_BITS = _PacketBits()


class Scan:
    """What decides the size of a string that its terminator alone ends:
    where the terminator is found in each packet, looked for at code-unit
    boundaries from the field's first byte, within ``limit`` bits (0: up to
    the packet's end). The field takes the terminator too; without one it
    takes the rest (of the packet, or of the limit)."""

    __slots__ = ("terminator", "unit", "limit")

    def __init__(self, terminator: bytes, unit: int, limit: int) -> None:
        self.terminator, self.unit, self.limit = terminator, unit, limit

    def __call__(self, cols: Columns) -> np.ndarray:  # decided from the bytes, not from columns
        raise TypeError("a terminator is looked for in the packets' bytes")

    def bits(self, buffer: Any, offsets: np.ndarray, lengths: np.ndarray, start: int) -> np.ndarray:
        """The field's bits in each packet (it starts at bit ``start``, a whole byte)."""
        data = memoryview(buffer).cast("B")
        first = start // 8
        out = np.zeros(len(offsets), dtype=np.int64)
        term, unit, size = self.terminator, self.unit, len(self.terminator)
        for k, (offset, length) in enumerate(zip(offsets.tolist(), lengths.tolist())):
            end = min(offset + length, len(data))
            if self.limit:
                end = min(end, offset + first + self.limit // 8)
            text = bytes(data[offset + first : end]) if offset + first < end else b""
            at = text.find(term)
            while at >= 0 and at % unit:
                at = text.find(term, at + 1)
            # No room for even the terminator: the read says the packet is too short.
            out[k] = 8 * (at + size if at >= 0 else len(text) if text else size)
        return out


# What decides a group: the object it is known by (an IncludeCondition's
# criteria, a Repeat, the slot of a field whose size a calibrated value
# gives, or PACKET_BITS) and its outcome per packet (bool, count or bits).
Decision = tuple[object, Callable[[Columns], np.ndarray]]


class Unpacked(dict[str, np.ndarray]):
    """Columns by field name, with which packets failed (as a layout's ``unpack_many`` gives them)."""

    failed: np.ndarray
    failures: int


class ConditionalLayout:
    """Reads a container whose content depends on its packets' values, as a
    layout's ``unpack_many`` does."""

    def __init__(
        self,
        slots: list[Slot],
        fields: list[FieldSpec],
        decisions: Sequence[Decision],
        make_layout: Callable[[list[dict[str, Any]]], Any],
    ) -> None:
        self.slots = slots
        self.fields = fields
        self.decisions = list(decisions)
        self.make_layout = make_layout
        self._layouts: dict[tuple[tuple[int, Any], ...], tuple[Any, list[str]]] = {}
        self._recipes: dict[tuple[tuple[int, Any], ...], list[dict[str, Any]]] = {}
        self._gatherings: dict[tuple[tuple[int, Any], ...], _Gathering | None] = {}
        # Fields whose size a decision gives (their slots are the decisions' keys).
        self._sized = frozenset(id(key) for key, _ in self.decisions if type(key) is tuple)
        # Column names of the whole container, by slot (NAME#2 stays NAME#2),
        # and of each repeated field, by the identity of its Parameter.
        self._by_slot: dict[int, str] = {}
        self._ragged: dict[str, str] = {}
        # The repeat of each repeated field's column (by the repeat's identity).
        self._repeat_of: dict[str, int] = {}
        placed_fields = iter(fields)
        for slot in slots:
            if type(slot) is tuple:
                self._by_slot[id(slot)] = next(placed_fields).name
            elif isinstance(slot, Repeat):
                for part in slot.parts:
                    if isinstance(part, Parameter):
                        name = next(placed_fields).name
                        self._ragged[str(id(part))] = name
                        self._repeat_of[name] = id(slot)

    def _layout(self, holds: dict[int, Any]) -> tuple[Any, list[str]]:
        """The layout of what the packets hold when the decisions taken so far are ``holds``."""
        key = tuple(sorted(holds.items()))
        cached = self._layouts.get(key)
        if cached is None:
            kept = present(self.slots, holds, self._sized)
            sizes = {key: int(value) for key, value in holds.items() if key in self._sized}
            placed_fields = place(kept, packet_bits=holds.get(id(PACKET_BITS)), sizes=sizes)
            names = []
            for slot in kept:
                if type(slot) is not tuple:
                    continue
                name = self._by_slot.get(id(slot))
                if name is None:
                    param = slot[0]
                    assert param.array is not None
                    name = f"{self._ragged[param.array[0]]}[{param.array[2]}]"
                names.append(name)
            rename = {placed.name: name for placed, name in zip(placed_fields, names)}
            recipe = []
            for placed in placed_fields:
                item = placed.item()
                item["name"] = rename[placed.name]
                if isinstance(item["bits"], dict):
                    item["bits"]["field"] = rename.get(item["bits"]["field"], item["bits"]["field"])
                recipe.append(item)
            cached = (self.make_layout(recipe), names)
            self._layouts[key] = cached
            self._recipes[key] = recipe
        return cached

    def _start(self, slot: Any, holds: dict[int, Any]) -> int:
        """Where the field of ``slot`` starts in the packets of a group (its
        size not yet decided): a whole byte, the same in every packet."""
        sizes = {key: int(value) for key, value in holds.items() if key in self._sized}
        sizes[id(slot)] = 0
        kept = present(self.slots, {**holds, id(slot): 0}, self._sized)
        placed = place(kept, packet_bits=holds.get(id(PACKET_BITS)), sizes=sizes)
        fields = iter(placed)
        for item in kept:
            if type(item) is not tuple:
                continue
            field = next(fields)
            if item is slot:
                if field.start is None or field.start % 8:
                    raise XtceUnsupportedError(
                        f"{field.name!r} ends where its terminator is found, and "
                        + (
                            "starts where the packet's values say"
                            if field.start is None
                            else "does not start on a byte"
                        ),
                        element="TerminationChar",
                        name=field.name,
                        line=field.line,
                    )
                return field.start
        raise AssertionError("the field is among those placed")

    def _gathering(self, holds: dict[int, Any]) -> _Gathering | None:
        """How the packets of a group are read when their repeated fields
        are gathered straight from the packets (None: they cannot be)."""
        key = tuple(sorted(holds.items()))
        if key not in self._gatherings:
            layout, _ = self._layout(holds)
            self._gatherings[key] = _gathering(self, layout, self._recipes[key])
        return self._gatherings[key]

    def unpack_many(
        self, buffer: Any, /, *, offsets: np.ndarray, lengths: np.ndarray, errors: str = "raise"
    ) -> Unpacked:
        count = len(offsets)
        failed = np.zeros(count, bool)
        groups: list[tuple[np.ndarray, dict[int, Any]]] = [(np.arange(count), {})]
        for key, decide in self.decisions:
            refined: list[tuple[np.ndarray, dict[int, Any]]] = []
            for index, holds in groups:
                if id(key) in holds:
                    refined.append((index, holds))
                    continue
                if key is PACKET_BITS:
                    for value in np.unique(lengths[index]).tolist():
                        refined.append((index[lengths[index] == value], {**holds, id(key): 8 * int(value)}))
                    continue
                if isinstance(decide, Scan):
                    sizes = decide.bits(buffer, offsets[index], lengths[index], self._start(key, holds))
                    for value in np.unique(sizes).tolist():
                        refined.append((index[sizes == value], {**holds, id(key): value}))
                    continue
                cols = self._read(buffer, offsets, lengths, index, holds, errors, failed)
                try:
                    outcome = np.asarray(decide(cols))
                except KeyError:
                    # It reads a value these packets do not hold: the condition
                    # does not hold, the entry is not repeated.
                    outcome = np.zeros(len(index), bool if not isinstance(key, (Repeat, tuple)) else np.int64)
                if isinstance(key, (Repeat, tuple)):
                    outcome = np.maximum(outcome.astype(np.int64), 0)
                for value in np.unique(outcome).tolist():
                    chosen = index[outcome == value]
                    refined.append((chosen, {**holds, id(key): value}))
            groups = refined
        out = Unpacked()
        pieces: dict[str, list[tuple[np.ndarray, np.ndarray]]] = {}
        ragged = [placed.name for placed in self.fields if placed.ragged]
        repeats: dict[str, list[tuple[np.ndarray, list[np.ndarray]]]] = {name: [] for name in ragged}
        source = _bytes_of(buffer) if ragged else None
        absent = {name: np.zeros(count, bool) for name in ragged}
        for index, holds in groups:
            if ragged:
                # Packets where a condition leaves the repeat out: masked, not empty.
                left_out = dropped_repeats(self.slots, holds)
                for name in ragged:
                    if self._repeat_of[name] in left_out:
                        absent[name][index] = True
            gathering = self._gathering(holds) if source is not None and len(index) else None
            if gathering is not None and gathering.fits(source, offsets[index], lengths[index]):
                cols = self._read(buffer, offsets, lengths, index, holds, errors, failed, gathering.rest)
                for name in ragged:
                    gather = gathering.gathers.get(name)
                    repeats[name].append(
                        (index, gather.rows(offsets[index]) if gather is not None else _elements(cols, name))
                    )
            else:
                cols = self._read(buffer, offsets, lengths, index, holds, errors, failed)
                for name in ragged:
                    repeats[name].append((index, _elements(cols, name)))
            for name, column in cols.items():
                pieces.setdefault(name, []).append((index, column))
        for placed in self.fields:
            if placed.ragged:
                column = _ragged(repeats[placed.name], count, source, placed)
                mask = absent[placed.name]
                if mask.any():  # their rows are empty already: nothing was read for them
                    column = Ragged._of(column.values, column.offsets, mask)
                out[placed.name] = column
            else:
                out[placed.name] = _assemble(pieces.get(placed.name, []), count)
        out.failed = failed
        out.failures = int(failed.sum())
        return out

    def _read(
        self,
        buffer: Any,
        offsets: np.ndarray,
        lengths: np.ndarray,
        index: np.ndarray,
        holds: dict[int, Any],
        errors: str,
        failed: np.ndarray,
        layout_names: tuple[Any, list[str]] | None = None,
    ) -> Columns:
        try:
            layout, names = self._layout(holds) if layout_names is None else layout_names
        except XtceError:
            # Packets too short for what their size places from their end.
            if errors == "raise" or not len(index):
                raise
            failed[index] = True
            return {}
        if not names or not len(index):
            return {}
        cols = layout.unpack_many(buffer, offsets=offsets[index], lengths=lengths[index], errors=errors)
        bad = getattr(cols, "failed", None)
        if bad is not None and bad.any():
            failed[index[np.asarray(bad, bool)]] = True
        return {name: np.ma.getdata(cols[name]) for name in names}


def _elements(cols: Columns, name: str) -> list[np.ndarray]:
    """A repeated field's columns in a group where each packet repeats it alike, in order."""
    elements = []
    while f"{name}[{len(elements)}]" in cols:
        elements.append(cols[f"{name}[{len(elements)}]"])
    return elements


class _Gather:
    """A repeated field whose values are whole bytes, evenly spaced, and read
    as they are stored (integers, IEEE floats): copied straight from the
    packets rather than read as one column per repeat."""

    __slots__ = ("count", "first", "stride", "swap", "dtype", "end")

    def __init__(self, count: int, first: int, stride: int, swap: bool, dtype: np.dtype[Any]) -> None:
        self.count, self.first, self.stride, self.swap, self.dtype = count, first, stride, swap, dtype
        self.end = first + (count - 1) * stride + dtype.itemsize  # bytes a packet must have

    def rows(self, offsets: np.ndarray) -> _Rows:
        return _Rows(self, offsets + self.first)


class _Rows:
    """A group's packets' values of a repeated field, still in the packets."""

    __slots__ = ("gather", "starts")

    def __init__(self, gather: _Gather, starts: np.ndarray) -> None:
        self.gather, self.starts = gather, starts

    def __len__(self) -> int:
        return self.gather.count


class _Gathering:
    """A group's layout without its gathered fields (``rest``: layout and
    names) and how each is gathered."""

    __slots__ = ("rest", "gathers", "end")

    def __init__(self, rest: tuple[Any, list[str]], gathers: dict[str, _Gather]) -> None:
        self.rest, self.gathers = rest, gathers
        self.end = max(g.end for g in gathers.values())

    def fits(self, source: memoryview, offsets: np.ndarray, lengths: np.ndarray) -> bool:
        """Whether every packet holds every gathered value (else the group is
        read as a whole, which says which packets fall short)."""
        return bool((lengths >= self.end).all() and (offsets + lengths <= source.nbytes).all())


# What a layout gives the fields whose values are stored as they are read.
_GATHERED_ENCODINGS = frozenset({"unsigned", "twos_complement", "ieee754_f16", "ieee754_f32", "ieee754_f64"})


def _gathering(conditional: ConditionalLayout, layout: Any, recipe: list[dict[str, Any]]) -> _Gathering | None:
    by_name = {f.name: f for f in layout.fields}
    sized_by = {item["bits"]["field"] for item in recipe if isinstance(item["bits"], dict)}
    none = np.zeros(0, dtype=np.int64)
    dtypes: dict[str, Any] | None = None
    gathers: dict[str, _Gather] = {}
    dropped: set[str] = set()
    for name in conditional._ragged.values():
        fields = []
        while f"{name}[{len(fields)}]" in by_name:
            fields.append(by_name[f"{name}[{len(fields)}]"])
        if not fields:
            continue
        head = fields[0]
        if (
            head.encoding not in _GATHERED_ENCODINGS
            or head.bits not in (8, 16, 32, 64)
            or head.byte_order not in ("big", "little")
            or any(
                f.encoding != head.encoding
                or f.bits != head.bits
                or f.byte_order != head.byte_order
                or f.reverse_bits
                or f.start_bit is None
                or f.start_bit % 8
                or f.name in sized_by
                for f in fields
            )
        ):
            continue
        stride = (fields[1].start_bit - head.start_bit) if len(fields) > 1 else head.bits
        if (
            stride < head.bits
            or stride % 8
            or any(b.start_bit - a.start_bit != stride for a, b in zip(fields, fields[1:]))
        ):
            continue
        if dtypes is None:
            dtypes = dict(layout.unpack_many(b"", offsets=none, lengths=none))
        dtype = dtypes[head.name].dtype
        if dtype.itemsize * 8 != head.bits:
            continue
        swap = head.bits > 8 and head.byte_order != sys.byteorder
        gathers[name] = _Gather(len(fields), head.start_bit // 8, stride // 8, swap, dtype)
        dropped.update(f.name for f in fields)
    if not gathers:
        return None
    # The rest of the fields as they were placed: the first one after a
    # gathered field that followed it gets its place written out.
    rest = []
    after_dropped = False
    for item in recipe:
        if item["name"] in dropped:
            after_dropped = True
            continue
        if after_dropped and "offset_bits" not in item:
            start = by_name[item["name"]].start_bit
            if start is None:
                return None
            item = {**item, "offset_bits": start}
        after_dropped = False
        rest.append(item)
    names = [item["name"] for item in rest]
    return _Gathering((conditional.make_layout(rest), names) if rest else (None, []), gathers)


def _bytes_of(buffer: Any) -> memoryview | None:
    """The buffer as bytes, when it is one buffer of bytes (else None: gathering is left out)."""
    try:
        view = memoryview(buffer)
    except TypeError:
        return None
    return view.cast("B") if view.c_contiguous else None


def _ragged(
    groups: list[tuple[np.ndarray, list[np.ndarray] | _Rows]],
    count: int,
    source: memoryview | None,
    field: FieldSpec,
) -> Ragged:
    """A repeated field's values from each group's columns (one per repeat)
    or straight from its packets: each packet's values one after another,
    in packet order."""
    lengths = np.zeros(count, dtype=np.int64)
    filled = [(index, elements) for index, elements in groups if len(elements) and len(index)]
    for index, elements in filled:
        lengths[index] = len(elements)
    offsets = np.zeros(count + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    if not filled:  # no packet repeats it: no values, of the type the field's values have
        return Ragged._of(no_rows(field), offsets)
    dtype = np.result_type(
        *(elements.gather.dtype if isinstance(elements, _Rows) else elements[0] for _, elements in filled)
    )
    values = np.empty(int(offsets[-1]), dtype=dtype)
    native = not dtype.hasobject and dtype.kind != "T" and dtype.itemsize in (1, 2, 4, 8)
    for index, elements in filled:
        starts = offsets[index]
        if isinstance(elements, _Rows):
            gather = elements.gather
            if gather.dtype == dtype:
                _native._gather_values(
                    source, elements.starts, gather.count, gather.stride, gather.swap, values, starts
                )
            else:  # another group's values are of a wider type
                part = np.empty(len(index) * gather.count, dtype=gather.dtype)
                rows = np.arange(len(index), dtype=np.int64) * gather.count
                _native._gather_values(source, elements.starts, gather.count, gather.stride, gather.swap, part, rows)
                values[(starts[:, None] + np.arange(gather.count)).reshape(-1)] = part
        elif native:
            _native._interleave_rows([np.ascontiguousarray(e, dtype=dtype) for e in elements], values, starts)
        else:
            for j, column in enumerate(elements):
                values[starts + j] = column
    return Ragged._of(values, offsets)


def _assemble(parts: list[tuple[np.ndarray, np.ndarray]], count: int) -> np.ndarray:
    """One column in packet order from the groups' pieces; masked where a packet does not hold the field."""
    if not parts:
        return np.ma.masked_all(count, dtype=np.float64)
    first = parts[0][1]
    if first.dtype == object:
        data = np.empty(count, dtype=object)
    else:
        data = np.zeros((count, *first.shape[1:]), dtype=first.dtype)
    mask = np.ones(count, bool)
    for index, column in parts:
        data[index] = column
        mask[index] = False
    if not mask.any():
        return data
    if data.ndim > 1:
        return np.ma.array(data, mask=np.broadcast_to(mask.reshape(-1, *([1] * (data.ndim - 1))), data.shape))
    return np.ma.array(data, mask=mask)


def no_rows(entry: FieldSpec) -> np.ndarray:
    """A column of no rows of the dtype a layout gives the field: its
    dtype follows from the encoding and width alone, so one small layout per
    kind of field tells it, not the container's whole layout."""
    item = entry.item()
    bits = item["bits"] if isinstance(item["bits"], int) else 8  # widths from the packet: text, binary
    kind = (item["encoding"], bits, item["byte_order"], item["reverse_bits"])
    column = _NO_ROWS.get(kind)
    if column is None:
        recipe = [{"name": "x", "encoding": kind[0], "bits": bits, "byte_order": kind[2], "reverse_bits": kind[3]}]
        none = np.zeros(0, dtype=np.int64)
        try:
            column = Layout(recipe, exact=True).unpack_many(b"", offsets=none, lengths=none)["x"]
        except (ValueError, TypeError, NotImplementedError):  # a field no packet could be read with
            column = np.zeros(0, dtype=object)
        _NO_ROWS[kind] = column
    return column


_NO_ROWS: dict[tuple[Any, ...], np.ndarray] = {}
