"""Whole-file decoding: read the root's fields for every packet, select each
child's packets by its restriction criteria on those columns, read the
child's own fields for its packets only, and so on down the tree."""

from __future__ import annotations

import os
import warnings
import weakref
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Literal, Protocol, cast

import numpy as np

from bitloom_io._decode import first_failure
from bitloom_io._native import Layout
from bitloom_io._ragged import Ragged
from bitloom_io._report import Findings
from bitloom_io._tables import Table, Tables
from bitloom_io.xtce._conditional import ConditionalLayout, no_rows
from bitloom_io.xtce._engineering import evaluate, from_text, times
from bitloom_io.xtce._floats import convert
from bitloom_io.xtce._errors import XtceError, XtceWarning
from bitloom_io.xtce._model import ENGINEERING_SUFFIX, LEAP_SUFFIX, Calibrator, Container, FieldSpec, ParameterType
from bitloom_io.xtce._shapes import combine
from bitloom_io.xtce._text import texts

Columns = dict[str, np.ndarray]
Predicate = Callable[[Columns], np.ndarray]


# Warnings point at the caller's line, outside this package.
_HERE = (os.path.dirname(os.path.abspath(__file__)),)


@dataclass
class _Node:
    """A container in the inheritance tree, with what decoding it needs."""

    container: Container
    fields: list[FieldSpec]  # every field, packet order
    own: list[FieldSpec]  # the fields this container adds to its base
    children: list[_Node] = field(default_factory=list)
    predicate: Predicate | None = None
    alone: bool = False  # the own fields can be read without the base container's
    refused: XtceError | None = None  # why its packets cannot be decoded
    conditional: bool = False  # its entries depend on IncludeConditions: no single layout reads it
    # Its aggregate members' columns with the names from the parameter down (worked out once).
    members: list[tuple[str, list[str]]] | None = None


class Layouts(Protocol):
    """What decoding needs of a definition: where it came from and the
    layouts of its containers."""

    path: str
    refused: dict[str, XtceError]

    def layout(self, container: str) -> Layout: ...

    def own_layout(self, container: str) -> Layout | ConditionalLayout: ...


class Decoder:
    def __init__(
        self,
        definition: Layouts,
        buffer: Any,
        offsets: np.ndarray,
        lengths: np.ndarray,
        errors: str,
        findings: Findings | None = None,
    ) -> None:
        self.definition = definition
        self.buffer = buffer
        self.offsets = np.asarray(offsets, dtype=np.int64)
        self.lengths = np.asarray(lengths, dtype=np.int64)
        self.errors = errors
        self.findings = findings
        self.suffix = ENGINEERING_SUFFIX
        self.tables: dict[str, Table] = {}
        self.unidentified: list[np.ndarray] = []
        self.ambiguous: list[np.ndarray] = []
        self.failed: dict[str, np.ndarray] = {}
        self.out_of_range: dict[str, int] = {}
        # Per time field just made engineering values of, its leap-second
        # flags, for the caller to place beside them as NAME_eng_leap.
        self.leaps: dict[str, np.ndarray] = {}
        # Per "packet type/CRC field": packets whose field is not the CRC of their bytes.
        self.bad_checks: dict[str, int] = {}
        self.refused: dict[str, np.ndarray] = {}
        self.packet_index: dict[str, np.ndarray] = {}

    # -- reading ----------------------------------------------------------

    def _read(self, node: _Node, index: np.ndarray) -> tuple[Columns, np.ndarray]:
        """Own columns of ``node`` for the packets ``index``; returns them and the packets kept."""
        if not node.own or len(index) == 0:
            return {}, index
        layout = self.definition.own_layout(node.container.name)
        mode: Literal["mask", "raise"] = "raise"
        offsets, lengths = self.offsets[index], self.lengths[index]
        try:
            try:
                cols = layout.unpack_many(self.buffer, offsets=offsets, lengths=lengths)
            except ValueError:
                if self.errors != "skip":
                    raise
                # Only when some packet fails: masks cost more than the reading.
                mode = "mask"
                cols = layout.unpack_many(self.buffer, offsets=offsets, lengths=lengths, errors=mode)
        except ValueError as error:
            error.add_note(
                f"while reading container {node.container.name!r} ({len(index)} packets selected for it; "
                f"packet k among them is packet index[k] of the file, the first being {index[:5].tolist()})"
            )
            raise
        wanted = [entry.name for entry in node.own]
        for entry in node.own:
            encoding = entry.type.encoding
            column = cols[entry.name]
            if encoding.text_in_buffer:
                if isinstance(column, Ragged):
                    cols[entry.name] = column.map(lambda flat: texts(encoding, flat, entry.name))
                else:
                    cols[entry.name] = texts(encoding, column, entry.name)
            elif encoding.float_format:
                if isinstance(column, Ragged):
                    cols[entry.name] = column.map(lambda flat: convert(encoding.float_format, flat))
                else:
                    cols[entry.name] = convert(encoding.float_format, np.ma.getdata(column))
        failed = getattr(cols, "failed", None)
        if mode == "mask" and failed is not None and failed.any():
            keep = ~np.asarray(failed, bool)
            name = node.container.name
            self.failed[name] = index[~keep]
            if self.findings is not None:
                row = int(np.argmax(~keep))
                at = int(index[row])
                start, length = int(self.offsets[at]), int(self.lengths[at])
                packet = memoryview(self.buffer).cast("B")[start : start + length]
                if isinstance(layout, ConditionalLayout):
                    where, reason = None, "the packet ends before the entries its values include"
                else:
                    where, reason = first_failure(layout, packet)
                self.findings.failed(name, index[~keep], where, reason)
                if not node.container.abstract and not node.children and not node.conditional:
                    # Packets of this type that end before its last field.
                    expected = self._expected(node)
                    if expected is not None:
                        self.findings.sizes(name, index[~keep], expected)
            index = index[keep]
            return {name: _data(cols[name])[keep] for name in wanted}, index
        if mode == "mask":
            return {name: _data(cols[name]) for name in wanted}, index
        return {name: cols[name] for name in wanted}, index

    # -- engineering values ---------------------------------------------

    def _engineering(self, entry: FieldSpec, raw: np.ndarray, context: Columns | None = None) -> np.ndarray | None:
        ptype = entry.type
        if not ptype.has_engineering:
            return None
        calibrator = ptype.encoding.calibrator
        if ptype.encoding.kind == "string":
            values, missing = from_text(ptype, raw)
            if missing:
                name = entry.parameter.name
                self.out_of_range[name] = self.out_of_range.get(name, 0) + missing
            return values
        if ptype.kind in ("absolute_time", "relative_time"):
            column, leap = times(ptype, raw if calibrator is None else self._calibrate(entry, calibrator, raw, context))
            if leap is not None:
                self.leaps[entry.name] = leap
            return column
        if calibrator is not None:
            return self._calibrate(entry, calibrator, raw, context)
        if ptype.kind == "enumerated":
            return self._labels(entry, ptype, raw)
        if ptype.kind == "boolean":
            return np.asarray(raw != 0)
        return raw.astype(np.float64)

    def _in_context(self, entry: FieldSpec, raw: np.ndarray, default: np.ndarray, context: Columns) -> np.ndarray:
        """Where a context's match holds (the first that does), its calibrator's value; elsewhere ``default``."""
        result = np.array(default, dtype=np.float64)
        decided = np.zeros(len(raw), bool)
        for match, calibrator in entry.contexts:
            chosen = np.asarray(match(context), bool) & ~decided
            if chosen.any():
                columns = entry.operands.get(id(calibrator), ())
                part = {name: np.ma.getdata(context[name])[chosen] for name in columns}
                result[chosen] = self._calibrate(entry, calibrator, raw[chosen], part)
                decided |= chosen
        return result

    def _calibrate(
        self, entry: FieldSpec, calibrator: Calibrator, raw: np.ndarray, context: Columns | None = None
    ) -> np.ndarray:
        x = raw.astype(np.float64)
        if calibrator.kind == "math":
            operands = []
            for column in entry.operands.get(id(calibrator), ()):
                if context is not None and column in context:
                    operands.append(np.ma.getdata(context[column]).astype(np.float64))
                elif not len(x):
                    operands.append(np.zeros(0))
                else:
                    raise KeyError(column)
            return evaluate(calibrator, x, operands)
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
            self.out_of_range[entry.parameter.name] = self.out_of_range.get(entry.parameter.name, 0) + int(
                outside.sum()
            )
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

    def _with_engineering(self, node: _Node, cols: Columns, known: Columns | None = None) -> Columns:
        out: Columns = {}
        for entry in node.own:
            # What a ContextCalibrator's match or a math calibrator's operands
            # read: the columns before the field (gathered only for those).
            context: Columns | None = {**(known or {}), **out} if entry.contexts or entry.operands else None
            raw = cols[entry.name]
            out[entry.name] = raw
            # Where a packet does not hold the field (IncludeCondition), its engineering value is masked too.
            if entry.ragged:
                if not entry.type.has_engineering:
                    continue
                eng = raw.map(lambda flat, entry=entry: self._engineering(entry, flat))
                self.leaps.pop(entry.name, None)  # a list of times per packet: no flags column
                if eng is not None:
                    out[entry.name + self.suffix] = eng
                continue
            absent = np.ma.getmask(raw) if np.ma.isMaskedArray(raw) else np.ma.nomask
            eng = self._engineering(entry, np.ma.getdata(raw) if absent is not np.ma.nomask else raw, context)
            if entry.contexts and eng is not None:
                assert context is not None
                eng = self._in_context(entry, np.ma.getdata(raw), eng, context)
            if eng is not None:
                out[entry.name + self.suffix] = eng if absent is np.ma.nomask else np.ma.array(eng, mask=absent)
            leap = self.leaps.pop(entry.name, None)
            if leap is not None:
                out[entry.name + self.suffix + LEAP_SUFFIX] = (
                    leap if absent is np.ma.nomask else np.ma.array(leap, mask=absent)
                )
        return out

    def _visit(self, node: _Node, index: np.ndarray, inherited: Columns) -> None:
        if len(index) == 0:
            return
        if node.refused is not None:
            name = node.container.name
            self.refused[name] = np.concatenate([self.refused[name], index]) if name in self.refused else index
            return
        own, kept = self._read(node, index)
        if len(kept) != len(index):
            keep = np.isin(index, kept)
            inherited = {k: v[keep] for k, v in inherited.items()}
            index = kept
        columns = dict(inherited)
        columns.update(self._with_engineering(node, own, columns))
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
        name = node.container.name
        if self.findings is not None and len(index) and not node.conditional:
            expected = self._expected(node)
            if expected is not None:
                self.findings.sizes(name, index, expected)
        ordered: Columns = {}
        for entry in node.fields:
            ordered[entry.name] = columns[entry.name]
            eng = entry.name + self.suffix
            if eng in columns:
                ordered[eng] = columns[eng]
                if eng + LEAP_SUFFIX in columns:
                    ordered[eng + LEAP_SUFFIX] = columns[eng + LEAP_SUFFIX]
        ordered = combine(node.fields, ordered, self.suffix)
        if len(index) and not node.conditional:
            self._check(name, index)
        table = Table(name, ordered)
        _members(table, node, self.suffix)
        self.tables[name] = table
        self.packet_index[name] = index

    def _check(self, name: str, index: np.ndarray) -> None:
        """Counts the packets whose CRC fields do not hold the CRC of their bytes."""
        from bitloom_io._encode import checks_of

        try:
            checks = checks_of(self.definition, name)
        except ValueError:
            return  # a CRC field that packets are not made with is not checked either
        if not checks:
            return
        data = np.frombuffer(self.buffer, dtype=np.uint8)
        offsets, lengths = self.offsets[index], self.lengths[index]
        for check in checks:
            end = check.first_byte + check.width()
            whole = lengths >= end
            window = data[offsets[whole][:, np.newaxis] + np.arange(end)]
            bad = int((check.compute(window) != check.read(window)).sum())
            if bad:
                key = f"{name}\0{check.name}"
                self.bad_checks[key] = self.bad_checks.get(key, 0) + bad

    def _expected(self, node: _Node) -> int | None:
        """The bytes a container reads, when every field has a fixed place
        and width (worked out once per definition)."""
        known = _SIZES.setdefault(self.definition, {})
        name = node.container.name
        if name not in known:
            end = 0
            for entry in node.fields:
                bits = entry.type.encoding.bits
                if entry.start is None or not isinstance(bits, int):
                    end = 0
                    break
                end = max(end, entry.start + bits)
            known[name] = (end + 7) // 8 if end else None
        return known[name]

    def _empty(self, node: _Node) -> Table:
        """The table of a packet type no packet is of, with the columns'
        types a decode gives them (made once per definition: arrays of no
        rows can be shared)."""
        name = node.container.name
        known = _EMPTY.setdefault(self.definition, {})
        columns = known.get(name)
        if columns is None:
            columns = {}
            for entry in node.fields:
                raw = no_rows(entry)
                if entry.ragged:
                    raw = Ragged._of(raw, np.zeros(1, dtype=np.int64))
                columns[entry.name] = raw
                eng = (
                    raw.map(lambda flat, entry=entry: self._engineering(entry, flat))
                    if isinstance(raw, Ragged)
                    else self._engineering(entry, raw)
                )
                if eng is not None:
                    columns[entry.name + self.suffix] = eng
                leap = self.leaps.pop(entry.name, None)
                if leap is not None and not entry.ragged:
                    columns[entry.name + self.suffix + LEAP_SUFFIX] = leap
            columns = combine(node.fields, columns, self.suffix)
            known[name] = columns
        table = Table._checked(name, columns)
        _members(table, node, self.suffix)
        return table

    def run(self, root: _Node, *, every_type: bool = False) -> XtceTables:
        """The tables of the packets, ``every_type``: with an empty table
        for each packet type no packet is of."""
        everything = np.arange(len(self.offsets), dtype=np.int64)
        self._visit(root, everything, {})
        tables = XtceTables()
        for node in _concrete(root):
            name = node.container.name
            if name in self.tables:
                tables[name] = self.tables[name]
            elif every_type:
                tables[name] = self._empty(node)
                self.packet_index[name] = np.zeros(0, dtype=np.int64)
        tables.packet_index = self.packet_index
        tables.unidentified = _joined(self.unidentified)
        tables.ambiguous = _joined(self.ambiguous)
        tables.failed = self.failed
        tables.refused = self.refused
        if self.findings is not None:
            for name, index in self.refused.items():
                self.findings.failed(
                    name, index, None, f"the container cannot be decoded: {self.definition.refused[name]}"
                )
            self.findings.unclaimed(tables.unidentified)
            self.findings.ambiguous(tables.ambiguous)
            for name, count in self.out_of_range.items():
                self.findings.count(_out_of_range, name, count)
            for key, count in self.bad_checks.items():
                self.findings.count(_bad_check, key, count)
        return tables

    def warn(self, tables: XtceTables) -> None:
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
        for name, index in self.refused.items():
            messages.append(
                f"{len(index)} packets of container {name!r} left out (first: packet {int(index[0])}): it cannot be "
                f"decoded: {self.definition.refused[name]}; their indexes are in .refused"
            )
        for name, count in self.out_of_range.items():
            messages.append(_out_of_range(name, count))
        for key, count in self.bad_checks.items():
            messages.append(_bad_check(key, count))
        for message in messages:
            warnings.warn(XtceWarning(message), skip_file_prefixes=_HERE)


def engineering(entry: FieldSpec, raw: np.ndarray) -> np.ndarray | None:
    """A field's engineering values from its raw column alone (what decides
    a group of packets: a condition, a count, a size)."""
    none = np.zeros(0, dtype=np.int64)
    return Decoder(cast(Layouts, None), b"", none, none, "skip")._engineering(entry, raw)


def _members(table: Table, node: _Node, suffix: str) -> None:
    """Marks each column of an aggregate's member with the names from the
    parameter down to it (``meta["member"]``), which ``to_arrow(structs=True)`` nests by."""
    if node.members is None:
        node.members = []
        for entry in node.fields:
            path = entry.parameter.member
            column = entry.group or entry.name
            # A column renamed to stay unique keeps its own place.
            if path is not None and column == ".".join(path):
                node.members.append((column, list(path)))
                node.members.append((column + suffix, [*path[:-1], path[-1] + suffix]))
    for column, path in node.members:
        if column in table.columns:
            table.meta.setdefault(column, {})["member"] = path


def _data(column: Any) -> Any:
    """A column's values without its mask (a ragged column as it is)."""
    return column if isinstance(column, Ragged) else np.ma.getdata(column)


def _joined(parts: list[np.ndarray]) -> np.ndarray:
    if not parts:
        return np.zeros(0, dtype=np.int64)
    return np.sort(np.concatenate(parts))


def _out_of_range(name: str, count: int) -> str:
    values = f"{count:,} raw value{'s' if count != 1 else ''}"
    return (
        f"{values} of {name!r} {'have' if count != 1 else 'has'} no engineering value (outside the "
        "calibration or the enumeration): NaN or empty label"
    )


def _bad_check(key: str, count: int) -> str:
    packet_type, field = key.split("\0", 1)
    return (
        f"{count:,} packet{'s' if count != 1 else ''} of {packet_type!r} fail{'' if count != 1 else 's'} "
        f"the CRC check of {field!r} (the field is not the CRC of the bytes before it); decoded as they are"
    )


def _concrete(root: _Node) -> list[_Node]:
    """The concrete containers from ``root`` down, in tree order."""
    out: list[_Node] = []
    stack = [root]
    while stack:
        node = stack.pop()
        if node.refused is not None:
            continue  # and nothing below it is decoded
        if not node.container.abstract:
            out.append(node)
        stack.extend(reversed(node.children))
    return out


# The columns of the empty table of each container, per definition.
_EMPTY: weakref.WeakKeyDictionary[Any, dict[str, Columns]] = weakref.WeakKeyDictionary()
# The bytes each container reads, when fixed, per definition.
_SIZES: weakref.WeakKeyDictionary[Any, dict[str, int | None]] = weakref.WeakKeyDictionary()


class XtceTables(Tables):
    """Tables of an XTCE decode, with where each packet went:
    ``packet_index`` (per table, the packets' indexes in the split),
    ``unidentified`` (packets no concrete container takes), ``ambiguous``
    (packets more than one takes), ``failed`` (per container, packets
    too short for it) and ``refused`` (per container left out of the
    definition, its packets)."""

    packet_index: dict[str, np.ndarray]
    unidentified: np.ndarray
    ambiguous: np.ndarray
    failed: dict[str, np.ndarray]
    refused: dict[str, np.ndarray]
