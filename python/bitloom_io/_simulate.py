"""Synthetic packets for testing pipelines: random packets of every packet
type an XTCE definition decodes, with values in range, restriction criteria
met, sizes and lengths consistent and sequence counts running.

Each field gets a random raw value its encoding can hold (a label's value
for enumerations, a point inside a spline calibration, printable text for
strings); the criteria that choose the packet type are then made true, and
every packet is checked by decoding the stream: a packet that would land in
another table (a sibling's criteria also hold, say) is drawn again. The
packets are written by :func:`bitloom_io.encode`, so the header columns are
the ones decoding gives back."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np

__all__ = ["Simulation", "simulate"]

_COUNT_MODULUS = 1 << 14
# (first bit, width) of the primary header's fields.
_VERSION, _TYPE, _APID, _FLAGS, _COUNT, _LENGTH = (0, 3), (3, 1), (5, 11), (16, 2), (18, 14), (32, 16)
_TEXT = np.frombuffer(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", dtype=np.uint8)
_CHAR_BYTES = {"utf16": 2, "utf16le": 2, "utf16be": 2, "utf32": 4, "utf32le": 4, "utf32be": 4}
_MAX_BLOB = 32  # bytes of a field whose size is read from the packet
_ROUNDS = 50


class Simulation(NamedTuple):
    """``packets``: the stream; ``values``: per packet type, the raw value
    of every column (header fields included), rows in stream order, as
    ``decode`` gives them back."""

    packets: bytes
    values: dict[str, dict[str, np.ndarray]]


def simulate(
    definition: Any, n: int, *, seed: Any = None, containers: Sequence[str] | None = None, root: str | None = None
) -> Simulation:
    """``n`` random packets of the packet types of an XTCE ``definition``
    (all that ``decode`` gives, or the ``containers`` named), in random order."""
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 0:
        raise ValueError(f"n is a number of packets (0 or more), not {n!r}")
    rng = np.random.default_rng(seed)
    types = definition.packet_types(root)
    if containers is not None:
        wanted = [containers] if isinstance(containers, str) else list(containers)
        for name in wanted:
            if name not in types:
                raise ValueError(f"{name!r} is not a packet type of {definition.path} (they are: {', '.join(types)})")
        types = wanted
    if not types:
        raise ValueError(f"{definition.path} has no concrete packet type to simulate")
    makers: dict[str, _Maker] = {}
    left_out: list[str] = []
    for name in types:
        try:
            makers[name] = _Maker(definition, name, rng)
        except _TooShort:
            # A type that reads less than a packet's 7 bytes (a root holding
            # only the header) describes no whole packet: nothing to draw.
            if containers is not None:
                raise
        except (ValueError, TypeError, KeyError) as error:
            if containers is not None:
                raise
            left_out.append(f"{name} ({error})")
    if left_out:
        warnings.warn(f"packet types not simulated: {'; '.join(left_out)}", UserWarning, stacklevel=3)
    types = [name for name in types if name in makers]
    if not types:
        raise ValueError(f"no packet type of {definition.path} can be simulated")
    kinds = rng.integers(0, len(types), size=int(n))
    rows = {name: makers[name].draw(int((kinds == k).sum())) for k, name in enumerate(types)}
    positions = {name: np.flatnonzero(kinds == k) for k, name in enumerate(types)}
    if not n:
        return Simulation(b"", {})
    for _ in range(_ROUNDS):
        _number(rows, positions, int(n))
        packets = _encode(definition, rows, positions)
        wrong = _misplaced(definition, packets, rows, positions, root)
        if not any(len(w) for w in wrong.values()):
            _computed_checks(definition, packets, rows, positions)
            return Simulation(packets, {name: _public(rows[name]) for name in types if len(positions[name])})
        for name, bad in wrong.items():
            if len(bad):
                fresh = makers[name].draw(len(bad))
                for column, values in fresh.items():
                    rows[name][column] = _replace(rows[name][column], bad, values)
    raise ValueError(
        "could not draw packets that decode into their own packet type for "
        + ", ".join(f"{name!r}" for name, bad in wrong.items() if len(bad))
        + " (their restriction criteria overlap another type's, or cannot be met)"
    )


def _replace(column: np.ndarray, rows: np.ndarray, values: np.ndarray) -> np.ndarray:
    if column.dtype != values.dtype and column.dtype.kind in "OTU":
        column = column.astype(object)
    out = column.copy()
    out[rows] = values
    return out


def _number(rows: dict[str, dict[str, np.ndarray]], positions: dict[str, np.ndarray], n: int) -> None:
    """Sequence counts running per APID in stream order."""
    apid = np.zeros(n, dtype=np.int64)
    for name, where in positions.items():
        maker_apid = rows[name].get("\0apid")
        if maker_apid is not None:
            apid[where] = rows[name][str(maker_apid[0])] if len(maker_apid) else 0
    counts = np.zeros(n, dtype=np.int64)
    for value in np.unique(apid).tolist():
        at = np.flatnonzero(apid == value)
        counts[at] = np.arange(len(at)) % _COUNT_MODULUS
    for name, where in positions.items():
        column = rows[name].get("\0count")
        if column is not None and len(column):
            target = str(column[0])
            rows[name][target] = counts[where].astype(rows[name][target].dtype)


def _public(columns: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    return {k: v for k, v in columns.items() if not k.startswith("\0")}


def _encode(definition: Any, rows: dict[str, dict[str, np.ndarray]], positions: dict[str, np.ndarray]) -> bytes:
    from ._encode import encode

    tables = {name: _public(columns) for name, columns in rows.items() if len(positions[name])}
    return encode(tables, definition, order={name: positions[name] for name in tables})


def _computed_checks(
    definition: Any, packets: bytes, rows: dict[str, dict[str, np.ndarray]], positions: dict[str, np.ndarray]
) -> None:
    """The values of CRC fields are the ones encode computed, not the ones drawn."""
    from . import ccsds
    from ._encode import checks_of

    data = None
    for name, where in positions.items():
        checks = checks_of(definition, name) if len(where) else []
        if not checks:
            continue
        if data is None:
            stream = ccsds.split(packets, warn=False)
            data, offsets = np.frombuffer(stream.buffer, dtype=np.uint8), np.asarray(stream.offsets, np.int64)
        starts = offsets[where]
        for check in checks:
            field_bytes = data[starts[:, np.newaxis] + check.first_byte + np.arange(check.width())]
            column = rows[name][check.name]
            rows[name][check.name] = check.value_of(field_bytes).astype(column.dtype)


def _misplaced(
    definition: Any,
    packets: bytes,
    rows: dict[str, dict[str, np.ndarray]],
    positions: dict[str, np.ndarray],
    root: str | None,
) -> dict[str, np.ndarray]:
    """Per packet type, the rows whose packet decodes elsewhere (or not at all)."""
    from . import ccsds

    stream = ccsds.split(packets, warn=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tables = definition.decode_packets(stream.buffer, stream.offsets, stream.lengths, root=root, errors="skip")
    index = getattr(tables, "packet_index", {})
    wrong: dict[str, np.ndarray] = {}
    for name, where in positions.items():
        landed = np.asarray(index.get(name, np.zeros(0, np.int64)))
        wrong[name] = np.flatnonzero(~np.isin(where, landed))
    return wrong


class _TooShort(ValueError):
    pass


class _Maker:
    """Draws the rows of one packet type."""

    def __init__(self, definition: Any, name: str, rng: np.random.Generator) -> None:
        self.definition = definition
        self.name = name
        self.rng = rng
        self.layout = definition.layout(name)
        self.placed_fields = {placed.name: placed for placed in definition.fields(name)}
        self.by_position = {
            (f.start_bit, f.bits): f.name
            for f in self.layout.fields
            if isinstance(f.bits, int) and f.start_bit is not None
        }
        self.sized_by = {f.bits["field"]: f.name for f in self.layout.fields if isinstance(f.bits, dict)}
        if not self.sized_by:
            size = (int(self._end({}, 1)[0]) + 7) // 8
            if size < 7:
                raise _TooShort(f"packet type {name!r} reads {size} bytes, less than a CCSDS packet's 7")
        for f in self.layout.fields:
            if (
                f.encoding == "binary"
                and f.name in self.placed_fields
                and self.placed_fields[f.name].type.kind == "string"
            ):
                raise ValueError(
                    f"packet type {name!r}: the string {f.name!r} is found inside its field after reading, which simulate does not write"
                )

    def draw(self, k: int) -> dict[str, np.ndarray]:
        columns: dict[str, np.ndarray] = {}
        for f in self.layout.fields:
            if not isinstance(f.bits, dict):
                columns[f.name] = self._field(f, k)
        self._header(columns, k)
        self._criteria(columns, k)
        self._avoid_children(columns, k)
        widths = self._sizes(columns, k)
        for f in self.layout.fields:
            if isinstance(f.bits, dict):
                columns[f.name] = self._blob(f, widths[f.name])
        self._lengths(columns, widths, k)
        return {f.name: columns[f.name] for f in self.layout.fields} | {
            k_: v for k_, v in columns.items() if k_.startswith("\0")
        }

    # -- one field

    def _field(self, f: Any, k: int) -> np.ndarray:
        placed = self.placed_fields.get(f.name)
        ptype = placed.type if placed is not None else None
        codec, bits = f.encoding, f.bits
        if codec in ("binary",):
            return (
                np.array([self.rng.bytes(bits // 8) for _ in range(k)] if k else [], dtype=object)
                if bits % 8 == 0
                else self._odd_binary(f)
            )
        if codec.startswith("ieee754"):
            width = {"ieee754_f16": np.float16, "ieee754_f32": np.float32}.get(codec, np.float64)
            span = 1000.0 if width is not np.float16 else 100.0
            return self.rng.uniform(-span, span, size=k).astype(width).astype(np.float64)
        if codec in _CHAR_BYTES or codec in ("us_ascii", "iso_8859_1", "windows_1252", "utf8"):
            count = bits // 8 // _CHAR_BYTES.get(codec, 1)
            text = _TEXT[self.rng.integers(0, len(_TEXT), size=(k, count))]
            return np.array([row.tobytes().decode("ascii") for row in text], dtype=np.dtypes.StringDType())
        low, high = _limits(codec, bits)
        if ptype is not None and ptype.kind == "enumerated" and ptype.enumeration:
            choices = np.array([lo for lo, _, _ in ptype.enumeration], dtype=np.int64)
            return choices[self.rng.integers(0, len(choices), size=k)]
        calibrator = ptype.encoding.calibrator if ptype is not None else None
        if calibrator is not None and calibrator.kind == "spline" and not calibrator.extrapolate:
            low = max(low, int(np.ceil(calibrator.points[0][0])))
            high = min(high, int(np.floor(calibrator.points[-1][0])))
        if codec in ("bcd", "packed_bcd"):
            digits = bits // 4
            value = np.zeros(k, dtype=np.int64)
            for _ in range(digits):
                value = value * 10 + self.rng.integers(0, 10, size=k)
            return value
        if high >= 1 << 63:
            return self.rng.integers(0, high, size=k, dtype=np.uint64, endpoint=True)
        return self.rng.integers(low, high, size=k, dtype=np.int64, endpoint=True)

    def _odd_binary(self, f: Any) -> np.ndarray:  # pragma: no cover - binary fields are whole bytes
        raise ValueError(f"packet type {self.name!r}: field {f.name!r} of {f.bits} bits is binary and not whole bytes")

    def _sizes(self, columns: dict[str, np.ndarray], k: int) -> dict[str, np.ndarray]:
        """The widths of the fields whose width another field gives, and that field's values.

        Fields sized from one field share its value. When that field is the
        packet length, the value must also give the packet's own size: with
        the widths' slopes summing to 8 bits a byte any value does (and one is
        drawn), otherwise the one value that does is solved for."""
        groups: dict[str, list[Any]] = {}
        for f in self.layout.fields:
            if isinstance(f.bits, dict):
                groups.setdefault(f.bits["field"], []).append(f)
        widths: dict[str, np.ndarray] = {}
        length = self.by_position.get(_LENGTH)
        for ref, members in groups.items():
            slopes = [int(f.bits.get("slope", 1)) for f in members]
            intercepts = [int(f.bits.get("intercept", 0)) for f in members]
            if any(s <= 0 for s in slopes):
                raise ValueError(
                    f"packet type {self.name!r}: a width read from {ref!r} with a slope below 1 is not simulated"
                )
            least = max(-(i // s) if i < 0 else 0 for s, i in zip(slopes, intercepts))  # every width 0 or more
            total_slope, total_intercept = sum(slopes), sum(intercepts)
            if ref == length and total_slope != 8:
                fixed_end = self._end(
                    dict.fromkeys(
                        (f.name for f in self.layout.fields if isinstance(f.bits, dict)), np.zeros(1, np.int64)
                    ),
                    1,
                )
                top = 8 * 7 - int(fixed_end[0]) - total_intercept
                if top % (total_slope - 8) or top // (total_slope - 8) < least:
                    raise ValueError(
                        f"packet type {self.name!r}: no packet length gives the sizes that the fields read from it ask for"
                    )
                value = np.full(k, top // (total_slope - 8), dtype=np.int64)
            else:
                step = np.lcm.reduce([8 // np.gcd(s, 8) for s in slopes]) if slopes else 1
                value = least + step * self.rng.integers(0, _MAX_BLOB // int(step) + 1, size=k)
                value = self._whole_bytes(value, slopes, intercepts)
            columns[ref] = value.astype(np.int64)
            for f, s, i in zip(members, slopes, intercepts):
                widths[f.name] = value * s + i
                if (widths[f.name] % 8).any():
                    raise ValueError(
                        f"packet type {self.name!r}: the width of {f.name!r} read from {ref!r} is not whole bytes"
                    )
        return widths

    @staticmethod
    def _whole_bytes(value: np.ndarray, slopes: list[int], intercepts: list[int]) -> np.ndarray:
        """Moves each value up to the next one that makes every width whole bytes."""
        out = value.copy()
        for _ in range(8):
            bad = np.zeros(len(out), bool)
            for s, i in zip(slopes, intercepts):
                bad |= (out * s + i) % 8 != 0
            if not bad.any():
                break
            out[bad] += 1
        return out

    def _blob(self, f: Any, bits: np.ndarray) -> np.ndarray:
        placed = self.placed_fields.get(f.name)
        if f.encoding == "binary" or placed is None or placed.type.kind == "binary":
            return np.array([self.rng.bytes(int(b) // 8) for b in bits], dtype=object)
        count = bits // 8 // _CHAR_BYTES.get(f.encoding, 1)
        return np.array(
            [_TEXT[self.rng.integers(0, len(_TEXT), size=int(m))].tobytes().decode("ascii") for m in count],
            dtype=np.dtypes.StringDType(),
        )

    def _end(self, widths: dict[str, np.ndarray], k: int) -> np.ndarray:
        """Per packet, the bit after its last field."""
        end = np.zeros(k, dtype=np.int64)
        position = np.zeros(k, dtype=np.int64)
        for f in self.layout.fields:
            start = np.full(k, f.start_bit, dtype=np.int64) if f.start_bit is not None else position
            width = (
                np.broadcast_to(widths[f.name], (k,))
                if isinstance(f.bits, dict)
                else np.full(k, f.bits, dtype=np.int64)
            )
            position = start + width
            end = np.maximum(end, position)
        return end

    # -- the header, the criteria and the sizes

    def _header(self, columns: dict[str, np.ndarray], k: int) -> None:
        at = self.by_position
        if _VERSION in at:
            columns[at[_VERSION]] = np.zeros(k, dtype=np.int64)
        if _TYPE in at:
            columns[at[_TYPE]] = np.zeros(k, dtype=np.int64)
        if _FLAGS in at:
            columns[at[_FLAGS]] = np.full(k, 3, dtype=np.int64)
        if _APID in at:
            columns["\0apid"] = np.array([at[_APID]] * k, dtype=object)
        if _COUNT in at:
            columns["\0count"] = np.array([at[_COUNT]] * k, dtype=object)

    def _criteria(self, columns: dict[str, np.ndarray], k: int) -> None:
        chain = []
        container = self.definition.containers[self.name]
        while container.base is not None:
            chain.append(container)
            container = self.definition.containers[container.base]
        for owner in reversed(chain):
            if owner.criteria is None:
                continue
            by_param = _by_reference(self.definition.fields(owner.base))
            self._meet(owner, owner.criteria, by_param, columns, k)

    def _meet(self, owner: Any, term: Any, by_param: dict[str, Any], columns: dict[str, np.ndarray], k: int) -> None:
        from bitloom_io.xtce._model import Criteria

        if isinstance(term, Criteria):
            if not term.terms:
                return
            if term.op == "and":
                for sub in term.terms:
                    self._meet(owner, sub, by_param, columns, k)
            else:
                self._meet(owner, term.terms[int(self.rng.integers(0, len(term.terms)))], by_param, columns, k)
            return
        placed = _find(by_param, term.parameter)
        if placed is None or placed.name not in columns:
            return
        if term.other_parameter is not None:
            other = _find(by_param, term.other_parameter)
            if other is not None and other.name in columns and term.operator in ("==", "<=", ">="):
                columns[placed.name] = columns[other.name].copy()
            return
        value = self._raw_value(owner, term, placed)
        if value is None:
            return
        column = columns[placed.name]
        low, high = (
            (0, 0) if column.dtype.kind not in "iu" else _limits(self._codec(placed.name), self._width(placed.name))
        )
        op = term.operator
        if op == "==":
            columns[placed.name] = (
                np.full(k, value, dtype=column.dtype)
                if column.dtype.kind != "T"
                else np.array([value] * k, dtype=column.dtype)
            )
        elif column.dtype.kind in "iu" and isinstance(value, int):
            lo, hi = low, high
            if op == "<":
                hi = value - 1
            elif op == "<=":
                hi = value
            elif op == ">":
                lo = value + 1
            elif op == ">=":
                lo = value
            if op == "!=":
                bad = column == value
                column = column.copy()
                column[bad] = value + 1 if value < high else value - 1
                columns[placed.name] = column
            elif lo <= hi:
                columns[placed.name] = self.rng.integers(lo, hi, size=k, endpoint=True).astype(column.dtype)

    def _codec(self, name: str) -> str:
        return str(next(f.encoding for f in self.layout.fields if f.name == name))

    def _width(self, name: str) -> int:
        return int(next(f.bits for f in self.layout.fields if f.name == name))

    def _raw_value(self, owner: Any, term: Any, placed: Any) -> Any:
        """The raw value a comparison names: a label's value, a boolean's bit, or the number itself."""
        ptype = placed.type
        text = term.value.strip()
        if term.calibrated and ptype.has_engineering:
            if ptype.kind == "enumerated":
                return next((lo for lo, _, label in ptype.enumeration if label == term.value), None)
            if ptype.kind == "boolean":
                return int(text.lower() in ("true", "1", ptype.boolean_labels[1].lower()))
            calibrator = ptype.encoding.calibrator
            if calibrator is None or calibrator.kind != "polynomial":
                return None
            slope = calibrator.coefficients.get(1, 0.0)
            if slope == 0 or max(calibrator.coefficients) > 1:
                return None
            raw = (float(text) - calibrator.coefficients.get(0, 0.0)) / slope
            return int(round(raw)) if ptype.encoding.kind == "integer" else raw
        return self.definition._value(owner, term, placed, False)

    def _lengths(self, columns: dict[str, np.ndarray], widths: dict[str, np.ndarray], k: int) -> None:
        """The packet length field: the packet's size less 7 (a packet has at
        least 7 bytes), unless a field's width is read from it."""
        length = self.by_position.get(_LENGTH)
        if length is None or length in self.sized_by:
            return
        columns[length] = np.maximum((self._end(widths, k) + 7) // 8 - 7, 0)

    def _avoid_children(self, columns: dict[str, np.ndarray], k: int) -> None:
        """A packet of a container that has children must meet none of their
        criteria; for each child, one comparison on an integer field is made false."""
        from bitloom_io.xtce._model import Comparison, Criteria

        children = self.definition.containers[self.name].children
        by_param = _by_reference(self.definition.fields(self.name))
        rules: dict[str, list[tuple[str, int]]] = {}
        for child in children:
            term = self.definition.containers[child].criteria
            while isinstance(term, Criteria) and term.op == "and" and term.terms:
                term = next((t for t in term.terms if isinstance(t, Comparison)), term.terms[0])
            if not isinstance(term, Comparison) or term.other_parameter is not None:
                continue
            placed = _find(by_param, term.parameter)
            if placed is None or placed.name not in columns or columns[placed.name].dtype.kind not in "iu":
                continue
            value = self._raw_value(self.definition.containers[child], term, placed)
            if isinstance(value, int):
                rules.setdefault(placed.name, []).append((term.operator, value))
        for name, tests in rules.items():
            column = columns[name]
            low, high = _limits(self._codec(name), self._width(name))
            candidates = {low, high} | {v + d for _, v in tests for d in (-1, 0, 1)}
            candidates |= set(self.rng.integers(low, high, size=16, endpoint=True).tolist())
            allowed = np.array(
                sorted(c for c in candidates if low <= c <= high and not any(_holds(op, c, v) for op, v in tests)),
                dtype=np.int64,
            )
            if not len(allowed):
                continue
            caught = np.zeros(k, bool)
            for op, v in tests:
                caught |= _holds(op, column, v)
            if caught.any():
                column = column.copy()
                column[caught] = allowed[self.rng.integers(0, len(allowed), size=int(caught.sum()))]
                columns[name] = column


def _by_reference(placed_fields: list[Any]) -> dict[str, Any]:
    """Fields by the names a restriction may use: the parameter's and the
    column's (the last occurrence wins, as in decoding)."""
    found: dict[str, Any] = {}
    for placed in placed_fields:
        found[placed.parameter.name] = placed
        found[placed.name] = placed
    return found


def _find(by_reference: dict[str, Any], ref: str) -> Any:
    """The field a restriction names: by name, as an aggregate member's path
    (``P/member`` is the column ``P.member``), or by its last path part."""
    for key in (ref, ref.replace("/", "."), ref.rpartition("/")[2]):
        if key in by_reference:
            return by_reference[key]
    return None


def _holds(op: str, left: Any, right: Any) -> Any:
    import operator

    return {
        "==": operator.eq,
        "!=": operator.ne,
        "<": operator.lt,
        "<=": operator.le,
        ">": operator.gt,
        ">=": operator.ge,
    }[op](left, right)


def _limits(codec: str, bits: int) -> tuple[int, int]:
    if codec == "unsigned":
        return 0, (1 << bits) - 1
    if codec == "twos_complement":
        return -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    if codec in ("ones_complement", "sign_magnitude"):
        return -((1 << (bits - 1)) - 1), (1 << (bits - 1)) - 1
    if codec in ("bcd", "packed_bcd"):
        return 0, 10 ** (bits // 4) - 1
    return 0, (1 << min(bits, 63)) - 1
