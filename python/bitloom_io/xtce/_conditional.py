"""Containers with IncludeConditions: which entries a packet holds depends on
its earlier values, so no single layout reads them all.

Packets are sorted into groups by the outcome of each condition in turn
(each one decided on the columns read so far for its group), one compiled
layout reads each group, and the columns are put back in packet order:
an entry that a packet does not hold is masked there, and the entries after
it move up.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from bitloom_io.xtce._model import Criteria, FieldSpec
from bitloom_io.xtce._placement import Slot, place, present

Columns = dict[str, np.ndarray]
Predicate = Callable[[Columns], np.ndarray]


class Unpacked(dict[str, np.ndarray]):
    """Columns by field name, with which packets failed (as a layout's ``unpack_many`` gives them)."""

    failed: np.ndarray
    failures: int


class ConditionalLayout:
    """Reads a container whose entries depend on IncludeConditions, as a
    layout's ``unpack_many`` does."""

    def __init__(
        self,
        slots: list[Slot],
        fields: list[FieldSpec],
        conditions: Sequence[tuple[Criteria, Predicate]],
        make_layout: Callable[[list[dict[str, Any]]], Any],
    ) -> None:
        self.slots = slots
        self.fields = fields
        self.conditions = list(conditions)
        self.make_layout = make_layout
        self._layouts: dict[tuple[tuple[int, bool], ...], tuple[Any, list[str]]] = {}

    def _layout(self, holds: dict[int, bool]) -> tuple[Any, list[str]]:
        """The layout of what the packets hold when the conditions decided so far are ``holds``."""
        key = tuple(sorted(holds.items()))
        cached = self._layouts.get(key)
        if cached is None:
            kept = present(self.slots, holds)
            specs = place(kept)
            # Column names stay those of the whole container (NAME#2 stays NAME#2).
            names = self._names(kept)
            rename = {spec.name: name for spec, name in zip(specs, names)}
            recipe = []
            for spec in specs:
                item = spec.item()
                item["name"] = rename[spec.name]
                if isinstance(item["bits"], dict):
                    item["bits"]["field"] = rename.get(item["bits"]["field"], item["bits"]["field"])
                recipe.append(item)
            cached = (self.make_layout(recipe), names)
            self._layouts[key] = cached
        return cached

    def _names(self, kept: list[Slot]) -> list[str]:
        by_slot = {id(slot): spec.name for slot, spec in zip((s for s in self.slots if type(s) is tuple), self.fields)}
        return [by_slot[id(slot)] for slot in kept if type(slot) is tuple]

    def unpack_many(
        self, buffer: Any, /, *, offsets: np.ndarray, lengths: np.ndarray, errors: str = "raise"
    ) -> Unpacked:
        count = len(offsets)
        failed = np.zeros(count, bool)
        groups: list[tuple[np.ndarray, dict[int, bool]]] = [(np.arange(count), {})]
        for condition, predicate in self.conditions:
            refined: list[tuple[np.ndarray, dict[int, bool]]] = []
            for index, holds in groups:
                if id(condition) in holds:
                    refined.append((index, holds))
                    continue
                cols = self._read(buffer, offsets, lengths, index, holds, errors, failed)
                try:
                    mask = np.asarray(predicate(cols), bool)
                except KeyError:
                    # It compares a value these packets do not hold: it does not hold.
                    mask = np.zeros(len(index), bool)
                for outcome in (True, False):
                    chosen = index[mask == outcome]
                    if len(chosen):
                        refined.append((chosen, {**holds, id(condition): outcome}))
            groups = refined
        out = Unpacked()
        pieces: dict[str, list[tuple[np.ndarray, np.ndarray]]] = {spec.name: [] for spec in self.fields}
        for index, holds in groups:
            cols = self._read(buffer, offsets, lengths, index, holds, errors, failed)
            for name, column in cols.items():
                pieces[name].append((index, column))
        for name, parts in pieces.items():
            out[name] = _assemble(parts, count)
        out.failed = failed
        out.failures = int(failed.sum())
        return out

    def _read(
        self,
        buffer: Any,
        offsets: np.ndarray,
        lengths: np.ndarray,
        index: np.ndarray,
        holds: dict[int, bool],
        errors: str,
        failed: np.ndarray,
    ) -> Columns:
        layout, names = self._layout(holds)
        if not names:
            return {}
        cols = layout.unpack_many(buffer, offsets=offsets[index], lengths=lengths[index], errors=errors)
        bad = getattr(cols, "failed", None)
        if bad is not None and bad.any():
            failed[index[np.asarray(bad, bool)]] = True
        return {name: np.ma.getdata(cols[name]) for name in names}


def _assemble(parts: list[tuple[np.ndarray, np.ndarray]], count: int) -> np.ndarray:
    """One column in packet order from the groups' pieces; masked where a packet does not hold the field."""
    if not parts:
        return np.ma.masked_all(count, dtype=np.float64)
    first = parts[0][1]
    data = (
        np.zeros((count, *first.shape[1:]), dtype=first.dtype)
        if first.dtype != object
        else np.full(count, None, dtype=object)
    )
    mask = np.ones(count, bool)
    for index, column in parts:
        data[index] = column
        mask[index] = False
    if not mask.any():
        return data
    return np.ma.array(
        data, mask=mask if data.ndim == 1 else np.broadcast_to(mask.reshape(-1, *([1] * (data.ndim - 1))), data.shape)
    )
