"""Containers whose content depends on the packet's values: entries under
IncludeConditions, and entries repeated as many times as an earlier field
says. No single layout reads them all.

Packets are sorted into groups by each decision in turn (a condition's
outcome, a repeat count), each decided on the columns read so far for its
group; one compiled layout reads each group, and the columns are put back
in packet order. An entry that a packet does not hold is masked there and
the entries after it move up; a repeated entry gives one array per packet.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from bitloom_io.xtce._errors import XtceError
from bitloom_io.xtce._model import FieldSpec, Parameter
from bitloom_io.xtce._placement import Repeat, Slot, place, present

Columns = dict[str, np.ndarray]


class _PacketBits:
    """The decision of containers with entries placed from the packet's end: its size in bits."""


#: What decides the layout of a container whose entries are placed from the packet's end.
PACKET_BITS = _PacketBits()

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
        # Fields whose size a decision gives (their slots are the decisions' keys).
        self._sized = frozenset(id(key) for key, _ in self.decisions if type(key) is tuple)
        # Column names of the whole container, by slot (NAME#2 stays NAME#2),
        # and of each repeated field, by the identity of its Parameter.
        self._by_slot: dict[int, str] = {}
        self._ragged: dict[str, str] = {}
        placed_fields = iter(fields)
        for slot in slots:
            if type(slot) is tuple:
                self._by_slot[id(slot)] = next(placed_fields).name
            elif isinstance(slot, Repeat):
                for part in slot.parts:
                    if isinstance(part, Parameter):
                        self._ragged[str(id(part))] = next(placed_fields).name

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
        return cached

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
        ragged = {placed.name for placed in self.fields if placed.ragged}
        for index, holds in groups:
            cols = self._read(buffer, offsets, lengths, index, holds, errors, failed)
            for name, column in cols.items():
                pieces.setdefault(name, []).append((index, column))
            for name in ragged:
                pieces.setdefault(name, []).append((index, _rows(cols, name, len(index))))
        for placed in self.fields:
            out[placed.name] = _assemble(pieces.get(placed.name, []), count, placed.ragged)
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
    ) -> Columns:
        try:
            layout, names = self._layout(holds)
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


def _rows(cols: Columns, name: str, count: int) -> np.ndarray:
    """A repeated field's values in a group where each packet repeats it alike: one row per packet."""
    elements = []
    while f"{name}[{len(elements)}]" in cols:
        elements.append(cols[f"{name}[{len(elements)}]"])
    block = np.stack(elements, axis=0).T if elements else np.zeros((count, 0))
    rows = np.empty(count, dtype=object)
    rows[:] = list(block)
    return rows


def _assemble(parts: list[tuple[np.ndarray, np.ndarray]], count: int, ragged: bool = False) -> np.ndarray:
    """One column in packet order from the groups' pieces; masked where a packet does not hold the field."""
    if not parts:
        return np.ma.masked_all(count, dtype=object if ragged else np.float64)
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
    if ragged:
        for k in np.flatnonzero(mask).tolist():
            data[k] = np.zeros(0, dtype=first[0].dtype if len(first) else np.float64)
    if data.ndim > 1:
        return np.ma.array(data, mask=np.broadcast_to(mask.reshape(-1, *([1] * (data.ndim - 1))), data.shape))
    return np.ma.array(data, mask=mask)
