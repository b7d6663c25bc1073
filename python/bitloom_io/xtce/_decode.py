"""Whole-file decoding: read the root's fields for every packet, select each
child's packets by its restriction criteria on those columns, read the
child's own fields for its packets only, and so on down the tree."""

from __future__ import annotations

import os
import warnings
from typing import TYPE_CHECKING, Any

import numpy as np

from bitloom_io.xtce._errors import XtceWarning
from bitloom_io.xtce._model import ENGINEERING_SUFFIX, Calibrator, FieldSpec, ParameterType

if TYPE_CHECKING:  # pragma: no cover
    from bitloom_io.xtce._definition import Definition, _Node

Columns = dict[str, np.ndarray]

# Warnings point at the caller's line, outside this package.
_HERE = (os.path.dirname(os.path.abspath(__file__)),)


class Decoder:
    def __init__(self, definition: Definition, buffer: Any, offsets: np.ndarray, lengths: np.ndarray, errors: str) -> None:
        self.definition = definition
        self.buffer = buffer
        self.offsets = np.asarray(offsets, dtype=np.int64)
        self.lengths = np.asarray(lengths, dtype=np.int64)
        self.errors = errors
        self.suffix = ENGINEERING_SUFFIX
        self.tables: dict[str, Any] = {}
        self.unidentified: list[np.ndarray] = []
        self.ambiguous: list[np.ndarray] = []
        self.failed: dict[str, np.ndarray] = {}
        self.out_of_range: dict[str, int] = {}

    # -- reading ----------------------------------------------------------

    def _read(self, node: _Node, index: np.ndarray) -> tuple[Columns, np.ndarray]:
        """Own columns of ``node`` for the packets ``index``; returns them and the packets kept."""
        if not node.own or len(index) == 0:
            return {}, index
        layout = self.definition._own_layout(node.container.name)
        mode = "mask" if self.errors == "skip" else "raise"
        try:
            cols = layout.unpack_many(self.buffer, offsets=self.offsets[index], lengths=self.lengths[index], errors=mode)
        except ValueError as error:
            error.add_note(
                f"while reading container {node.container.name!r} ({len(index)} packets selected for it; "
                f"packet k among them is packet index[k] of the file, the first being {index[:5].tolist()})"
            )
            raise
        wanted = [entry.name for entry in node.own]
        failed = getattr(cols, "failed", None)
        if mode == "mask" and failed is not None and failed.any():
            keep = ~np.asarray(failed, bool)
            self.failed[node.container.name] = index[~keep]
            index = index[keep]
            return {name: np.ma.getdata(cols[name])[keep] for name in wanted}, index
        if mode == "mask":
            return {name: np.ma.getdata(cols[name]) for name in wanted}, index
        return {name: cols[name] for name in wanted}, index

    # -- engineering values ---------------------------------------------

    def _engineering(self, entry: FieldSpec, raw: np.ndarray) -> np.ndarray | None:
        ptype = entry.type
        if not ptype.has_engineering:
            return None
        calibrator = ptype.encoding.calibrator
        if calibrator is not None:
            return self._calibrate(entry, calibrator, raw)
        if ptype.kind == "enumerated":
            return self._labels(entry, ptype, raw)
        if ptype.kind == "boolean":
            return np.asarray(raw != 0)
        return raw.astype(np.float64)

    def _calibrate(self, entry: FieldSpec, calibrator: Calibrator, raw: np.ndarray) -> np.ndarray:
        x = raw.astype(np.float64)
        if calibrator.kind == "polynomial":
            result = np.zeros(len(x), dtype=np.float64)
            for exponent, coefficient in sorted(calibrator.coefficients.items()):
                result += coefficient * x**exponent if exponent else coefficient
            return result
        raws = np.array([p[0] for p in calibrator.points])
        cals = np.array([p[1] for p in calibrator.points])
        if calibrator.order == 0:
            # The calibrated value of the last point at or below the raw value.
            at = np.searchsorted(raws, x, side="right") - 1
            result = cals[np.clip(at, 0, len(cals) - 1)]
            outside = np.zeros(len(x), bool) if calibrator.extrapolate else (x < raws[0]) | (x > raws[-1])
        else:
            result = np.interp(x, raws, cals)
            below, above = x < raws[0], x > raws[-1]
            outside = below | above
            if calibrator.extrapolate and outside.any():
                low = (cals[1] - cals[0]) / (raws[1] - raws[0])
                high = (cals[-1] - cals[-2]) / (raws[-1] - raws[-2])
                result = np.where(below, cals[0] + (x - raws[0]) * low, result)
                result = np.where(above, cals[-1] + (x - raws[-1]) * high, result)
                outside = np.zeros(len(x), bool)
        if outside.any():
            result = np.where(outside, np.nan, result)
            self.out_of_range[entry.parameter.name] = self.out_of_range.get(entry.parameter.name, 0) + int(outside.sum())
        return result

    def _labels(self, entry: FieldSpec, ptype: ParameterType, raw: np.ndarray) -> np.ndarray:
        values, inverse = np.unique(raw, return_inverse=True)
        names = []
        missing = 0
        for value in values.tolist():
            label = ""
            for low, high, text in ptype.enumeration:
                if low <= value <= high:
                    label = text
                    break
            else:
                missing += int((raw == value).sum())
            names.append(label)
        if missing:
            self.out_of_range[entry.parameter.name] = self.out_of_range.get(entry.parameter.name, 0) + missing
        table = np.array(names, dtype=np.dtypes.StringDType())
        return table[inverse.reshape(-1)] if len(raw) else np.array([], dtype=np.dtypes.StringDType())

    # -- the tree --------------------------------------------------------

    def _with_engineering(self, node: _Node, cols: Columns) -> Columns:
        out: Columns = {}
        for entry in node.own:
            raw = cols[entry.name]
            out[entry.name] = raw
            eng = self._engineering(entry, raw)
            if eng is not None:
                out[entry.name + self.suffix] = eng
        return out

    def _visit(self, node: _Node, index: np.ndarray, inherited: Columns) -> None:
        own, kept = self._read(node, index)
        if len(kept) != len(index):
            keep = np.isin(index, kept)
            inherited = {k: v[keep] for k, v in inherited.items()}
            index = kept
        columns = dict(inherited)
        columns.update(self._with_engineering(node, own))
        taken = np.zeros(len(index), bool)
        if node.children and len(index):
            matches = []
            for child in node.children:
                if child.predicate is None:
                    mask = np.ones(len(index), bool)
                else:
                    mask = np.asarray(child.predicate(columns), bool)
                matches.append(mask)
            count = np.add.reduce(matches, dtype=np.int32) if len(matches) > 1 else matches[0].astype(np.int32)
            several = count > 1
            if several.any():
                self.ambiguous.append(index[several])
                matches = [mask & ~several for mask in matches]
            for child, mask in zip(node.children, matches):
                if mask.all():
                    self._visit(child, index, columns)
                elif mask.any():
                    self._visit(child, index[mask], {k: v[mask] for k, v in columns.items()})
            taken = count > 0
        if taken.all():
            return
        if not taken.any():
            # Nothing went to a child: the columns are this node's as they are.
            rest_index, rest_columns = index, columns
        else:
            rest = ~taken
            rest_index, rest_columns = index[rest], {k: v[rest] for k, v in columns.items()}
        if node.container.abstract:
            self.unidentified.append(rest_index)
            return
        self._emit(node, rest_index, rest_columns)

    def _emit(self, node: _Node, index: np.ndarray, columns: Columns) -> None:
        from bitloom_io import Table  # type: ignore[attr-defined,unused-ignore]

        ordered: Columns = {}
        for entry in node.fields:
            ordered[entry.name] = columns[entry.name]
            eng = entry.name + self.suffix
            if eng in columns:
                ordered[eng] = columns[eng]
        name = node.container.name
        table = Table(name, ordered)
        self.tables[name] = table
        self.packet_index[name] = index

    def run(self, root: _Node, summary: Any) -> Any:
        from bitloom_io import Tables  # type: ignore[attr-defined,unused-ignore]

        self.packet_index: dict[str, np.ndarray] = {}
        everything = np.arange(len(self.offsets), dtype=np.int64)
        self._visit(root, everything, {})
        tables: Any = Tables()
        for name in self.definition.packet_types(root.container.name):
            if name in self.tables:
                tables[name] = self.tables[name]
        tables.summary = summary
        tables.packet_index = self.packet_index
        tables.unidentified = _joined(self.unidentified)
        tables.ambiguous = _joined(self.ambiguous)
        tables.failed = self.failed
        self._warn(tables)
        return tables

    def _warn(self, tables: Any) -> None:
        where = self.definition.path
        messages = []
        if len(tables.unidentified):
            first = int(tables.unidentified[0])
            messages.append(
                f"{len(tables.unidentified)} packets match no concrete container of {where} "
                f"(first: packet {first} at byte {int(self.offsets[first])}); their indexes are in .unidentified"
            )
        if len(tables.ambiguous):
            first = int(tables.ambiguous[0])
            messages.append(
                f"{len(tables.ambiguous)} packets match the restrictions of more than one container of {where} "
                f"(first: packet {first} at byte {int(self.offsets[first])}); left out, their indexes are in .ambiguous"
            )
        for name, failed in self.failed.items():
            messages.append(
                f"{len(failed)} packets too short for container {name!r} left out (first: packet {int(failed[0])}); "
                "their indexes are in .failed"
            )
        for name, count in self.out_of_range.items():
            messages.append(
                f"{count} raw values of {name!r} have no engineering value (outside the calibration "
                "or the enumeration): NaN or empty label"
            )
        for message in messages:
            warnings.warn(XtceWarning(message), skip_file_prefixes=_HERE)


def _joined(parts: list[np.ndarray]) -> np.ndarray:
    if not parts:
        return np.zeros(0, dtype=np.int64)
    return np.sort(np.concatenate(parts))
