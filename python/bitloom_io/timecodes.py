"""CCSDS time codes (CUC, CDS, CCS, ASCII A and B) in both directions,
vectorised over numpy columns.

Each code reads into a ``datetime64[ns]`` column. Nothing is rounded
silently: a code finer than a nanosecond (CDS with picoseconds, CCS or
ASCII with more than nine decimals) keeps the picoseconds below the
nanosecond in a second column ``<name>_ps``; a UTC column that can hold an
inserted leap second has a boolean column ``<name>_leap``, True inside
23:59:60, which ``datetime64`` cannot show (those values read as a second
23:59:59). Encoding takes the same columns back and gives the same bits.

CUC counts seconds from an epoch: ``"tai"`` (1958-01-01 TAI, the CCSDS
level-1 epoch), ``"gps"`` (1980-01-06 UTC, 19 s behind TAI), ``"j2000"``
(2000-01-01T12:00:00 TT) and any ISO date-time without a zone count TAI
seconds, so ``scale="utc"`` converts them through the leap-second table;
an ISO date-time ending in ``Z`` is a UTC instant from which TAI seconds
are counted; ``"unix"`` counts seconds as POSIX does (UTC, no leap
seconds). CDS, CCS and the ASCII codes are calendar codes: their ``scale``
says which calendar they are on, and they are read on it.

The layout items (``bitloom_io.Layout`` only)::

    {"name": "t", "encoding": "cuc", "coarse": 4, "fine": 2, "epoch": "tai",
     "pfield": False, "scale": "utc"}
    {"name": "t", "encoding": "cds", "days": 16, "submilliseconds": 16, "epoch": "1958-01-01"}
    {"name": "t", "encoding": "ccs", "calendar": "month_day" | "day_of_year", "decimals": 0..12}
    {"name": "t", "encoding": "ascii_a" | "ascii_b", "decimals": 0..12, "z": True}
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _native
from ._leapseconds import NS, LeapSecondTable, _check_expiry, leap_seconds, tai_to_utc, utc_to_tai

__all__ = ["TimeCode", "CUC", "CDS", "CCS", "ASCIITime", "time_code", "ENCODINGS", "leap_seconds", "stamp"]

ENCODINGS = ("cuc", "cds", "ccs", "ascii_a", "ascii_b")
_DAY_NS = 86_400 * NS
# Values converted at a time: the temporaries of a block stay in the cache.
_BLOCK = 1 << 15
_NS_DTYPE = np.dtype("M8[ns]")

# Seconds from 1970-01-01 on the TAI calendar of each named epoch that
# counts TAI seconds.
_TAI_EPOCHS = {
    "tai": np.datetime64("1958-01-01", "ns").astype(np.int64),
    "gps": np.datetime64("1980-01-06T00:00:19", "ns").astype(np.int64),
    "j2000": np.datetime64("2000-01-01T11:59:27.816", "ns").astype(np.int64),
}
_CALENDAR_EPOCHS = {"tai": "1958-01-01", "gps": "1980-01-06", "unix": "1970-01-01", "j2000": "2000-01-01T12:00:00"}


def time_dtype(scale: str) -> np.dtype:
    """``datetime64[ns]`` carrying its time scale in ``dtype.metadata``."""
    return np.dtype("M8[ns]", metadata={"scale": scale})


def _iso_ns(text: str, what: str) -> int:
    try:
        return int(np.datetime64(text, "ns").astype(np.int64))
    except ValueError:
        raise ValueError(f"{what}: {text!r} is not an ISO date-time nor one of tai, gps, j2000, unix") from None


def _epoch(value: Any, what: str) -> tuple[int, str]:
    """(epoch in int64 ns, how the code counts from it: "tai" or "posix")."""
    text = str(value).strip()
    key = text.lower()
    if key in _TAI_EPOCHS:
        return int(_TAI_EPOCHS[key]), "tai"
    if key == "unix":
        return 0, "posix"
    if text.endswith(("Z", "z")):
        utc = _iso_ns(text[:-1], what)
        return int(utc_to_tai(np.array([utc]))[0]), "tai"
    return _iso_ns(text, what), "tai"


def _calendar_epoch(value: Any, what: str) -> int:
    text = str(value).strip()
    return _iso_ns(_CALENDAR_EPOCHS.get(text.lower(), text.rstrip("Zz")), what)


def _as_ns(values: Any, name: str) -> np.ndarray:
    array = np.asarray(values)
    if array.dtype.kind == "M":
        if np.isnat(array).any():
            raise ValueError(f"{name}: NaT has no time code")
        return array.astype("M8[ns]").astype(np.int64)
    if array.dtype.kind in "iu":
        return array.astype(np.int64)
    try:
        converted = array.astype("M8[ns]")
    except (TypeError, ValueError):
        raise TypeError(f"{name}: times are datetime64 values or ISO strings, not {array.dtype}") from None
    return _as_ns(converted, name)


def _leap_flags(values: Mapping[str, Any], name: str, n: int) -> np.ndarray | None:
    leap = values.get(f"{name}_leap")
    if leap is None:
        return None
    flags = np.asarray(leap, dtype=bool)
    if flags.shape != (n,):
        raise ValueError(f"{name}_leap: {len(flags)} values for {n} times")
    return flags


def _unsigned(bits: int, name: str, offset: Any = None) -> dict[str, Any]:
    item: dict[str, Any] = {
        "name": name,
        "encoding": "unsigned",
        "bits": bits,
        "byte_order": "big",
        "reverse_bits": False,
    }
    if offset is not None:
        item["offset_bits"] = offset
    return item


def _int(item: Mapping[str, Any], key: str, default: int, allowed: range | tuple[int, ...], name: str) -> int:
    value = item.get(key, default)
    if isinstance(value, bool) or not isinstance(value, int) or value not in allowed:
        raise ValueError(f"time code {name!r}: {key} must be one of {list(allowed)}, not {value!r}")
    return value


def _scale(item: Mapping[str, Any], name: str) -> str:
    scale = str(item.get("scale", "utc")).lower()
    if scale not in ("utc", "tai"):
        raise ValueError(f"time code {name!r}: scale is 'utc' or 'tai', not {item.get('scale')!r}")
    return scale


def _subnames(name: str, *parts: str) -> list[str]:
    return [f"{name}\x1f{p}" for p in parts]


@dataclass(frozen=True)
class TimeCode:
    """A time code: how many bits it takes, the native items it is read
    through and the conversions between those and time columns."""

    name: str
    scale: str

    bits: int = 0
    kind: str = ""

    # -- what every code gives ------------------------------------------

    def items(self, offset: Any = None) -> list[dict[str, Any]]:  # pragma: no cover - abstract
        raise NotImplementedError

    def columns(self) -> list[str]:
        """The columns the code reads into: the time, then any extras."""
        return [self.name]

    def meta(self) -> dict[str, str]:
        return {"scale": self.scale, "time_code": self.describe()}

    def describe(self) -> str:  # pragma: no cover - abstract
        raise NotImplementedError

    def decode(
        self, raw: Mapping[str, np.ndarray], reuse: bool = False
    ) -> dict[str, np.ndarray]:  # pragma: no cover - abstract
        raise NotImplementedError

    def encode(self, values: Mapping[str, Any]) -> dict[str, np.ndarray]:  # pragma: no cover - abstract
        raise NotImplementedError

    # -- calendar codes share the leap-second handling ---------------------

    def _calendar_out(self, ns: np.ndarray, leap: np.ndarray) -> dict[str, np.ndarray]:
        out = {self.name: ns.astype(np.int64).view(time_dtype(self.scale))}
        if self.scale == "utc":
            out[f"{self.name}_leap"] = leap
        elif leap.any():
            raise ValueError(f"{self.name}: second 60 on the TAI calendar ({int(leap.sum())} values)")
        return out

    def _calendar_in(self, values: Mapping[str, Any]) -> tuple[np.ndarray, np.ndarray]:
        ns = _as_ns(values[self.name], self.name)
        leap = _leap_flags(values, self.name, len(ns)) if self.scale == "utc" else None
        if leap is None:
            leap = np.zeros(len(ns), dtype=bool)
        elif (leap & (ns % 60_000_000_000 < 59 * NS)).any():
            raise ValueError(f"{self.name}_leap: a leap second is shown as second 59 of its minute")
        return ns, leap


def _writable(array: np.ndarray) -> bool:
    return bool(array.flags.writeable and array.flags.c_contiguous and array.dtype == np.uint64)


def _pfield_check(code: TimeCode, raw: np.ndarray, expected: int) -> None:
    bad = raw != expected
    if bad.any():
        first = int(raw[np.flatnonzero(bad)[0]])
        raise ValueError(
            f"time code {code.name!r}: P-field 0x{first:02X} in {int(bad.sum())} packets, "
            f"the layout's {code.describe()} has 0x{expected:02X}"
        )


def _counters(values: Any) -> tuple[np.ndarray, bool]:
    """A counter column as the native conversion reads it: contiguous
    unsigned integers of 1, 2, 4 or 8 bytes, or int64 (True) for any other
    column, whose negative values are then counted as such."""
    array = np.asarray(values)
    if array.dtype.kind == "u" and array.dtype.isnative and array.itemsize in (1, 2, 4, 8):
        return np.ascontiguousarray(array), False
    return np.ascontiguousarray(array.astype(np.int64)), True


def _ns_out(value: np.ndarray, original: Any, reuse: bool) -> np.ndarray:
    """Where the nanoseconds go: over the counters when they are 8 bytes
    each and this call's own, else a new array."""
    if value.itemsize == 8 and value.flags.writeable and (reuse or value is not original):
        if value is not original or _writable(value):
            return value.view(np.int64)
    return np.empty(len(value), dtype=np.int64)


def _pfield_column(code: Any, raw: Mapping[str, np.ndarray]) -> np.ndarray | None:
    if not code.pfield:
        return None
    p = np.asarray(raw[_subnames(code.name, "p")[0]])
    if p.dtype != np.uint8:
        # A P-field that does not fit an octet cannot match.
        p = np.where((p >= 0) & (p <= 0xFF), p, (code.pfield_value + 1) & 0xFF).astype(np.uint8)
    return np.ascontiguousarray(p)


_STEPS: dict[tuple[int, str], tuple[LeapSecondTable, tuple[np.ndarray, np.ndarray, np.ndarray]]] = {}


def _tai_to_utc_steps(table: LeapSecondTable) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The table as the native conversion's steps from TAI to UTC: each leap
    second is two edges, its start and its end, and a time between them is
    flagged."""
    cached = _STEPS.get((id(table), "utc"))
    if cached is not None and cached[0] is table:
        return cached[1]
    boundary = table.starts + table.offsets * NS
    edges = np.sort(np.concatenate((boundary - NS, boundary)))
    offsets = np.concatenate(([table.offsets[0]], table.offsets))
    at = np.arange(len(edges) + 1)
    steps = (edges, np.ascontiguousarray(-offsets[(at + 1) // 2] * NS), (at % 2 == 1).astype(np.uint8))
    _STEPS[(id(table), "utc")] = (table, steps)
    return steps


def _utc_to_tai_steps(table: LeapSecondTable) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    cached = _STEPS.get((id(table), "tai"))
    if cached is not None and cached[0] is table:
        return cached[1]
    offsets = np.concatenate(([table.offsets[0]], table.offsets))
    steps = (np.ascontiguousarray(table.starts), offsets * NS, np.zeros(len(offsets), np.uint8))
    _STEPS[(id(table), "tai")] = (table, steps)
    return steps


@dataclass(frozen=True)
class CUC(TimeCode):
    """CCSDS unsegmented code: ``coarse`` octets of seconds and ``fine``
    octets of binary fractions of a second since the epoch."""

    coarse: int = 4
    fine: int = 0
    epoch: str = "tai"
    pfield: bool = False
    epoch_ns: int = 0
    counting: str = "tai"

    @classmethod
    def from_item(cls, item: Mapping[str, Any]) -> CUC:
        name = str(item["name"])
        coarse = _int(item, "coarse", 4, range(1, 5), name)
        fine = _int(item, "fine", 0, range(0, 4), name)
        epoch = str(item.get("epoch", "tai"))
        epoch_ns, counting = _epoch(epoch, f"time code {name!r}: epoch")
        pfield = bool(item.get("pfield", False))
        bits = 8 * (coarse + fine + pfield)
        return cls(name, _scale(item, name), bits, "cuc", coarse, fine, epoch, pfield, epoch_ns, counting)

    def describe(self) -> str:
        return f"CUC {self.coarse}+{self.fine} octets{' with P-field' if self.pfield else ''} from {self.epoch}"

    @property
    def pfield_value(self) -> int:
        # Level 1 (the 1958 TAI epoch) or level 2 (an agency epoch).
        level = 0b001 if self.epoch.lower() in ("tai", "1958-01-01", "1958-01-01t00:00:00") else 0b010
        return (level << 4) | ((self.coarse - 1) << 2) | self.fine

    def items(self, offset: Any = None) -> list[dict[str, Any]]:
        value = _unsigned(8 * (self.coarse + self.fine), self.name)
        if not self.pfield:
            if offset is not None:
                value["offset_bits"] = offset
            return [value]
        (p,) = _subnames(self.name, "p")
        return [_unsigned(8, p, offset), value]

    def columns(self) -> list[str]:
        if self.counting == "tai" and self.scale == "utc":
            return [self.name, f"{self.name}_leap"]
        return [self.name]

    def _steps(self) -> tuple[np.ndarray, np.ndarray, np.ndarray] | None:
        if self.counting == "tai" and self.scale == "utc":
            return _tai_to_utc_steps(leap_seconds())
        if self.counting != "tai" and self.scale == "tai":
            return _utc_to_tai_steps(leap_seconds())
        return None

    def native_job(self) -> tuple[Any, ...]:
        """How the layout's reader converts this code as it reads it (see
        ``_native.Layout.unpack_many``'s ``_times``)."""
        p, leap = _subnames(self.name, "p", "leap")
        steps = self._steps()
        wants_leap = self.counting == "tai" and self.scale == "utc"
        return (
            self.name, None, p if self.pfield else None, 0, 8 * self.fine, self.epoch_ns, False, steps,
            self.pfield_value if self.pfield else 0, leap if wants_leap else None, None,
        )  # fmt: skip

    def finish(self, columns: Mapping[str, Any], report: tuple[int, int, int]) -> dict[str, np.ndarray]:
        """The time columns from what the native conversion left in
        ``columns`` (nanoseconds over the counters, flags under the code's
        own sub-names) and its report (fault, where, latest time)."""
        fault, _at, latest = report
        if fault:
            p = _subnames(self.name, "p")[0]
            _pfield_check(self, np.asarray(columns[p]), self.pfield_value)
        ns = columns[self.name]
        if self._steps() is not None and len(ns):
            _check_expiry(latest, leap_seconds())
        out = {self.name: ns.view(time_dtype(self.scale))}
        if self.counting == "tai" and self.scale == "utc":
            out[f"{self.name}_leap"] = columns[_subnames(self.name, "leap")[0]]
        return out

    def decode(self, raw: Mapping[str, np.ndarray], reuse: bool = False) -> dict[str, np.ndarray]:
        original = raw[self.name]
        value, signed = _counters(original)
        job = self.native_job()
        pfield = _pfield_column(self, raw)
        ns = _ns_out(value, original, reuse)
        leap = np.zeros(len(value), dtype=bool) if job[9] is not None else None
        kind = 2 if signed else 0
        report = _native.convert_time_codes(
            kind, job[4], job[5], job[6], job[7], value, None, pfield, job[8], ns, leap, None
        )
        columns = {self.name: ns, _subnames(self.name, "p")[0]: pfield, _subnames(self.name, "leap")[0]: leap}
        return self.finish(columns, report)

    def encode(self, values: Mapping[str, Any]) -> dict[str, np.ndarray]:
        ns = _as_ns(values[self.name], self.name)
        if self.counting == "tai":
            t = utc_to_tai(ns, _checked_leap(values, self.name, ns)) if self.scale == "utc" else ns
        else:
            t = ns if self.scale == "utc" else tai_to_utc(ns)[0]
        counted = t - self.epoch_ns
        coarse = counted // NS
        limit = 1 << (8 * self.coarse)
        if len(counted) and (int(counted.min()) < 0 or int(coarse.max()) >= limit):
            bad = int(np.flatnonzero((counted < 0) | (coarse >= limit))[0])
            raise ValueError(
                f"{self.name}: {np.datetime64(int(ns[bad]), 'ns')} is outside the range of {self.describe()}"
            )
        rest = counted - coarse * NS
        k = 8 * self.fine
        value = coarse.astype(np.uint64) << np.uint64(k)
        if self.fine:
            # The smallest counter whose floored time is the given
            # nanosecond; a time between two steps falls to the step below.
            up = -((-rest << k) // NS)
            fine = np.where((up * NS) >> k == rest, up, (rest << k) // NS)
            value |= fine.astype(np.uint64)
        out = {self.name: value}
        if self.pfield:
            out[_subnames(self.name, "p")[0]] = np.full(len(value), self.pfield_value, dtype=np.uint64)
        return out


def _checked_leap(values: Mapping[str, Any], name: str, ns: np.ndarray) -> np.ndarray | None:
    leap = _leap_flags(values, name, len(ns))
    if leap is None or not leap.any():
        return None
    table = leap_seconds()
    # A flagged value must lie in the last second before a step of the table.
    ends = table.starts[table.starts > table.starts[0]]
    at = np.searchsorted(ends, ns, side="right")
    ok = (at < len(ends)) & (ns >= np.take(ends, np.minimum(at, len(ends) - 1)) - NS)
    if (leap & ~ok).any():
        first = int(ns[np.flatnonzero(leap & ~ok)[0]])
        raise ValueError(f"{name}_leap: {np.datetime64(first, 'ns')} is not in the second before a leap second")
    return leap


@dataclass(frozen=True)
class CDS(TimeCode):
    """CCSDS day segmented code: days since the epoch (16 or 24 bits),
    milliseconds of the day (32) and 0, 16 (microseconds) or 32
    (picoseconds) bits below the millisecond."""

    days: int = 16
    submilliseconds: int = 0
    epoch: str = "1958-01-01"
    pfield: bool = False
    epoch_ns: int = 0

    @classmethod
    def from_item(cls, item: Mapping[str, Any]) -> CDS:
        name = str(item["name"])
        days = _int(item, "days", 16, (16, 24), name)
        sub = _int(item, "submilliseconds", 0, (0, 16, 32), name)
        epoch = str(item.get("epoch", "1958-01-01"))
        epoch_ns = _calendar_epoch(epoch, f"time code {name!r}: epoch")
        pfield = bool(item.get("pfield", False))
        return cls(name, _scale(item, name), days + 32 + sub + 8 * pfield, "cds", days, sub, epoch, pfield, epoch_ns)

    def describe(self) -> str:
        sub = {0: "", 16: " + microseconds", 32: " + picoseconds"}[self.submilliseconds]
        return f"CDS {self.days}-bit day + milliseconds{sub}{' with P-field' if self.pfield else ''} from {self.epoch}"

    @property
    def pfield_value(self) -> int:
        agency = _calendar_epoch(self.epoch, "") != _calendar_epoch("1958-01-01", "")
        return (0b100 << 4) | (agency << 3) | ((self.days == 24) << 2) | {0: 0, 16: 1, 32: 2}[self.submilliseconds]

    def items(self, offset: Any = None) -> list[dict[str, Any]]:
        p, sub = _subnames(self.name, "p", "sub")
        out = [_unsigned(self.days + 32, self.name)]
        if self.submilliseconds:
            out.append(_unsigned(self.submilliseconds, sub))
        if self.pfield:
            out.insert(0, _unsigned(8, p))
        if offset is not None:
            out[0]["offset_bits"] = offset
        return out

    def columns(self) -> list[str]:
        extra = [f"{self.name}_ps"] if self.submilliseconds == 32 else []
        return [self.name] + extra + ([f"{self.name}_leap"] if self.scale == "utc" else [])

    def native_job(self) -> tuple[Any, ...]:
        """How the layout's reader converts this code as it reads it (see
        ``_native.Layout.unpack_many``'s ``_times``)."""
        p, sub, leap, ps = _subnames(self.name, "p", "sub", "leap", "ps")
        return (
            self.name, sub if self.submilliseconds else None, p if self.pfield else None, 1, self.submilliseconds,
            self.epoch_ns, self.scale == "utc", None, self.pfield_value if self.pfield else 0,
            leap if self.scale == "utc" else None, ps if self.submilliseconds == 32 else None,
        )  # fmt: skip

    def finish(self, columns: Mapping[str, Any], report: tuple[int, int, int]) -> dict[str, np.ndarray]:
        """The time columns from what the native conversion left in
        ``columns`` and its report (fault, where, latest time)."""
        p, subname, leap, ps = _subnames(self.name, "p", "sub", "leap", "ps")
        fault, at, _latest = report
        if fault:
            self._fault(
                np.asarray(columns[self.name]).view(np.uint64),
                np.asarray(columns[subname]) if self.submilliseconds else None,
                np.asarray(columns[p]) if self.pfield else None,
                at,
            )
        out = {self.name: columns[self.name].view(time_dtype(self.scale))}
        if self.submilliseconds == 32:
            out[f"{self.name}_ps"] = columns[ps]
        if self.scale == "utc":
            out[f"{self.name}_leap"] = columns[leap]
        return out

    def decode(self, raw: Mapping[str, np.ndarray], reuse: bool = False) -> dict[str, np.ndarray]:
        original = raw[self.name]
        value = np.ascontiguousarray(np.asarray(original).astype(np.uint64, copy=False))
        p, subname, leap, ps = _subnames(self.name, "p", "sub", "leap", "ps")
        columns: dict[str, Any] = {p: _pfield_column(self, raw), subname: None}
        if self.submilliseconds:
            width = np.uint16 if self.submilliseconds == 16 else np.uint32
            columns[subname] = np.ascontiguousarray(np.asarray(raw[subname]).astype(width, copy=False))
        n = len(value)
        columns[self.name] = _ns_out(value, original, reuse)
        columns[leap] = np.zeros(n, dtype=bool) if self.scale == "utc" else None
        columns[ps] = np.empty(n, dtype=np.uint16) if self.submilliseconds == 32 else None
        job = self.native_job()
        report = _native.convert_time_codes(
            1, job[4], job[5], job[6], job[7], value, columns[subname], columns[p], job[8],
            columns[self.name], columns[leap], columns[ps],
        )  # fmt: skip
        if report[0]:
            # The counters, as read, where the conversion stopped.
            columns[self.name] = value
        return self.finish(columns, report)

    def _fault(self, value: np.ndarray, sub: np.ndarray | None, pfield: np.ndarray | None, at: int) -> None:
        """Raises what is wrong with the codes; the native conversion left
        the values from the block of the first fault on as they were read,
        and the blocks before it held no fault."""
        if pfield is not None:
            _pfield_check(self, pfield, self.pfield_value)
        start = at // _BLOCK * _BLOCK
        rest = (value[start:] & np.uint64(0xFFFFFFFF)).astype(np.int64)
        if self.submilliseconds == 32:
            assert sub is not None
            if (rest >= 86_401_000).any():
                raise ValueError(f"{self.name}: millisecond of day {int(rest.max())} is past the end of the day")
            if (sub > 999_999_999).any():
                raise ValueError(f"{self.name}: picoseconds {int(sub.max())} above 999999999")
            raise ValueError(f"{self.name}: second 60 on the TAI calendar ({int((rest >= 86_400_000).sum())} values)")
        if sub is not None and int(sub.max()) > 999:
            raise ValueError(f"{self.name}: microseconds {int(sub.max())} above 999")
        for block in range(0, len(rest), _BLOCK):
            highest = int(rest[block : block + _BLOCK].max())
            if highest >= 86_401_000:
                raise ValueError(f"{self.name}: millisecond of day {highest} is past the end of the day")
            if highest >= 86_400_000:
                raise ValueError(f"{self.name}: second 60 on the TAI calendar")
        raise AssertionError("the time codes were reported faulty but are not")  # pragma: no cover

    def encode(self, values: Mapping[str, Any]) -> dict[str, np.ndarray]:
        ns, leap = self._calendar_in(values)
        counted = ns - self.epoch_ns
        day = counted // _DAY_NS
        rest = counted - day * _DAY_NS + leap * NS
        if len(day) and (int(day.min()) < 0 or int(day.max()) >= 1 << self.days):
            bad = int(np.flatnonzero((day < 0) | (day >= 1 << self.days))[0])
            raise ValueError(
                f"{self.name}: {np.datetime64(int(ns[bad]), 'ns')} is outside the range of {self.describe()}"
            )
        ms = rest // 1_000_000
        below = rest - ms * 1_000_000
        out = {self.name: (day.astype(np.uint64) << np.uint64(32)) | ms.astype(np.uint64)}
        subname = _subnames(self.name, "sub")[0]
        if self.submilliseconds == 16:
            out[subname] = (below // 1000).astype(np.uint64)
        elif self.submilliseconds == 32:
            ps = values.get(f"{self.name}_ps")
            extra = np.zeros(len(ns), np.int64) if ps is None else np.asarray(ps).astype(np.int64)
            if (extra < 0).any() or (extra > 999).any():
                raise ValueError(f"{self.name}_ps: picoseconds below the nanosecond are 0 to 999")
            out[subname] = (below * 1000 + extra).astype(np.uint64)
        if self.pfield:
            out[_subnames(self.name, "p")[0]] = np.full(len(ns), self.pfield_value, dtype=np.uint64)
        return out


def _bcd(octets: np.ndarray, name: str) -> np.ndarray:
    high, low = octets >> 4, octets & 0xF
    if ((high > 9) | (low > 9)).any():
        raise ValueError(f"{name}: an octet is not two BCD digits")
    return (high * 10 + low).astype(np.int64)


def _to_bcd(values: np.ndarray) -> np.ndarray:
    out: np.ndarray = ((values // 10) << 4 | (values % 10)).astype(np.uint64)
    return out


def _civil(ns: np.ndarray) -> dict[str, np.ndarray]:
    """Year, month, day, day of year, hour, minute, second and nanosecond of
    int64 ns since 1970."""
    t = ns.view("M8[ns]")
    d = t.astype("M8[D]")
    y = d.astype("M8[Y]")
    m = d.astype("M8[M]")
    rest = ns - d.astype("M8[ns]").astype(np.int64)
    seconds = rest // NS
    return {
        "year": y.astype(np.int64) + 1970,
        "month": (m - y.astype("M8[M]")).astype(np.int64) + 1,
        "day": (d - m.astype("M8[D]")).astype(np.int64) + 1,
        "doy": (d - y.astype("M8[D]")).astype(np.int64) + 1,
        "hour": seconds // 3600,
        "minute": seconds // 60 % 60,
        "second": seconds % 60,
        "ns": rest % NS,
    }


def _from_civil(
    year: np.ndarray,
    month: np.ndarray | None,
    day: np.ndarray,
    h: np.ndarray,
    mi: np.ndarray,
    s: np.ndarray,
    name: str,
    scale: str,
) -> tuple[np.ndarray, np.ndarray]:
    """int64 ns and the leap flags (second 60) of calendar fields; a second
    60 reads as second 59 with its flag set."""
    years = (year - 1970).astype("m8[Y]") + np.datetime64("1970", "Y")
    if month is None:
        bad = (day < 1) | (day > 366)
        start = years.astype("M8[D]") + (day - 1).astype("m8[D]")
        bad |= start.astype("M8[Y]") != years
    else:
        months = years.astype("M8[M]") + (month - 1).astype("m8[M]")
        start = months.astype("M8[D]") + (day - 1).astype("m8[D]")
        bad = (month < 1) | (month > 12) | (day < 1) | (start.astype("M8[M]") != months)
    bad |= (h > 23) | (mi > 59) | (s > 60) | (year < 1) | (year > 2261)
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        fields = (year[i], month[i] if month is not None else "-", day[i], h[i], mi[i], s[i])
        raise ValueError(f"{name}: no such calendar time {fields} ({int(bad.sum())} values)")
    leap = s == 60
    if (leap & ((h != 23) | (mi != 59))).any():
        raise ValueError(f"{name}: second 60 outside the last minute of a day")
    ns = start.astype("M8[ns]").astype(np.int64) + ((h * 60 + mi) * 60 + s - leap) * NS
    return ns, leap


@dataclass(frozen=True)
class CCS(TimeCode):
    """CCSDS calendar segmented code: BCD year, month and day (or day of
    year), hour, minute, second, then ``decimals`` // 2 octets of two
    decimal digits of the second each."""

    calendar: str = "month_day"
    decimals: int = 0
    pfield: bool = False

    @classmethod
    def from_item(cls, item: Mapping[str, Any]) -> CCS:
        name = str(item["name"])
        calendar = str(item.get("calendar", "month_day")).lower()
        if calendar not in ("month_day", "day_of_year"):
            raise ValueError(f"time code {name!r}: calendar is 'month_day' or 'day_of_year', not {calendar!r}")
        decimals = _int(item, "decimals", 0, (0, 2, 4, 6, 8, 10, 12), name)
        pfield = bool(item.get("pfield", False))
        return cls(name, _scale(item, name), 8 * (7 + decimals // 2 + pfield), "ccs", calendar, decimals, pfield)

    def describe(self) -> str:
        cal = "month/day" if self.calendar == "month_day" else "day of year"
        return f"CCS {cal}, {self.decimals} decimals{' with P-field' if self.pfield else ''}"

    @property
    def pfield_value(self) -> int:
        return (0b101 << 4) | ((self.calendar == "day_of_year") << 3) | (self.decimals // 2)

    def items(self, offset: Any = None) -> list[dict[str, Any]]:
        p, sub = _subnames(self.name, "p", "sub")
        out = [_unsigned(56, self.name)]
        if self.decimals:
            out.append(_unsigned(4 * self.decimals, sub))
        if self.pfield:
            out.insert(0, _unsigned(8, p))
        if offset is not None:
            out[0]["offset_bits"] = offset
        return out

    def columns(self) -> list[str]:
        extra = [f"{self.name}_ps"] if self.decimals > 9 else []
        return [self.name] + extra + ([f"{self.name}_leap"] if self.scale == "utc" else [])

    def decode(self, raw: Mapping[str, np.ndarray], reuse: bool = False) -> dict[str, np.ndarray]:
        p, subname = _subnames(self.name, "p", "sub")
        if self.pfield:
            _pfield_check(self, np.asarray(raw[p]), self.pfield_value)
        value = np.asarray(raw[self.name]).astype(np.uint64, copy=False)
        octets = [((value >> np.uint64(8 * (6 - i))) & np.uint64(0xFF)).astype(np.int64) for i in range(7)]
        year = _bcd(octets[0], self.name) * 100 + _bcd(octets[1], self.name)
        if self.calendar == "month_day":
            month, day = _bcd(octets[2], self.name), _bcd(octets[3], self.name)
        else:
            if (octets[2] >> 4).any():
                raise ValueError(f"{self.name}: the day of year's first four bits are not zero")
            month, day = None, _bcd(octets[2], self.name) * 100 + _bcd(octets[3], self.name)
        ns, leap = _from_civil(
            year,
            month,
            day,
            _bcd(octets[4], self.name),
            _bcd(octets[5], self.name),
            _bcd(octets[6], self.name),
            self.name,
            self.scale,
        )
        ps = None
        if self.decimals:
            sub = np.asarray(raw[subname]).astype(np.uint64, copy=False)
            digits = np.zeros(len(sub), dtype=np.int64)
            for i in range(self.decimals // 2):
                octet = ((sub >> np.uint64(8 * (self.decimals // 2 - 1 - i))) & np.uint64(0xFF)).astype(np.int64)
                digits = digits * 100 + _bcd(octet, self.name)
            if self.decimals <= 9:
                ns += digits * 10 ** (9 - self.decimals)
            else:
                scale = 10 ** (self.decimals - 9)
                ns += digits // scale
                ps = (digits % scale * 10 ** (12 - self.decimals)).astype(np.uint16)
        out = self._calendar_out(ns, leap)
        if ps is not None:
            out[f"{self.name}_ps"] = ps
        return {k: out[k] for k in self.columns()}

    def encode(self, values: Mapping[str, Any]) -> dict[str, np.ndarray]:
        ns, leap = self._calendar_in(values)
        c = _civil(ns)
        second = c["second"] + leap
        second_octets = [c["year"] // 100, c["year"] % 100]
        if self.calendar == "month_day":
            second_octets += [c["month"], c["day"]]
        else:
            second_octets += [c["doy"] // 100, c["doy"] % 100]
        second_octets += [c["hour"], c["minute"], second]
        value = np.zeros(len(ns), dtype=np.uint64)
        for octet in second_octets:
            value = (value << np.uint64(8)) | _to_bcd(octet)
        if len(ns) and (int(c["year"].min()) < 0 or int(c["year"].max()) > 9999):
            raise ValueError(f"{self.name}: a year outside 0000-9999")
        out = {self.name: value}
        if self.decimals:
            if self.decimals <= 9:
                digits = c["ns"] // 10 ** (9 - self.decimals)
            else:
                ps = values.get(f"{self.name}_ps")
                extra = np.zeros(len(ns), np.int64) if ps is None else np.asarray(ps).astype(np.int64)
                digits = c["ns"] * 10 ** (self.decimals - 9) + extra // 10 ** (12 - self.decimals)
            sub = np.zeros(len(ns), dtype=np.uint64)
            for i in range(self.decimals // 2):
                pair = digits // 10 ** (self.decimals - 2 - 2 * i) % 100
                sub = (sub << np.uint64(8)) | _to_bcd(pair)
            out[_subnames(self.name, "sub")[0]] = sub
        if self.pfield:
            out[_subnames(self.name, "p")[0]] = np.full(len(ns), self.pfield_value, dtype=np.uint64)
        return out


_ZERO = ord("0")


@dataclass(frozen=True)
class ASCIITime(TimeCode):
    """CCSDS ASCII time code A (``YYYY-MM-DDThh:mm:ss.d...Z``) or B
    (``YYYY-DDDThh:mm:ss.d...Z``) with ``decimals`` digits of the second
    (0 to 12) and the ``Z`` when ``z`` is true."""

    decimals: int = 3
    z: bool = True

    @classmethod
    def from_item(cls, item: Mapping[str, Any]) -> ASCIITime:
        name = str(item["name"])
        kind = str(item["encoding"]).lower()
        decimals = _int(item, "decimals", 3, range(0, 13), name)
        z = bool(item.get("z", True))
        width = (19 if kind == "ascii_a" else 17) + (decimals + 1 if decimals else 0) + z
        return cls(name, _scale(item, name), 8 * width, kind, decimals, z)

    def describe(self) -> str:
        return f"ASCII time code {self.kind[-1].upper()}, {self.decimals} decimals{', Z' if self.z else ''}"

    @property
    def pattern(self) -> str:
        date = "YYYY-MM-DD" if self.kind == "ascii_a" else "YYYY-DDD"
        return date + "Thh:mm:ss" + ("." + "d" * self.decimals if self.decimals else "") + ("Z" if self.z else "")

    def items(self, offset: Any = None) -> list[dict[str, Any]]:
        item = {
            "name": self.name,
            "encoding": "iso_8859_1",
            "bits": self.bits,
            "byte_order": "big",
            "reverse_bits": False,
        }
        if offset is not None:
            item["offset_bits"] = offset
        return [item]

    def columns(self) -> list[str]:
        extra = [f"{self.name}_ps"] if self.decimals > 9 else []
        return [self.name] + extra + ([f"{self.name}_leap"] if self.scale == "utc" else [])

    def decode(self, raw: Mapping[str, np.ndarray], reuse: bool = False) -> dict[str, np.ndarray]:
        width = self.bits // 8
        text = np.asarray(raw[self.name])
        chars = (
            np.frombuffer(text.astype(f"S{width}").tobytes(), dtype=np.uint8).reshape(len(text), width).astype(np.int64)
        )
        pattern = self.pattern
        digits_at = [i for i, ch in enumerate(pattern) if ch in "YMDhmsd"]
        fixed_at = [i for i, ch in enumerate(pattern) if ch not in "YMDhmsd"]
        digits = chars[:, digits_at] - _ZERO
        bad = ((digits < 0) | (digits > 9)).any(axis=1)
        bad |= (chars[:, fixed_at] != np.array([ord(pattern[i]) for i in fixed_at])).any(axis=1)
        if bad.any():
            first = str(text[np.flatnonzero(bad)[0]])
            raise ValueError(f"{self.name}: {first!r} is not of the form {pattern} ({int(bad.sum())} values)")

        def number(at: int, n: int) -> np.ndarray:
            out = np.zeros(len(chars), dtype=np.int64)
            for i in range(at, at + n):
                out = out * 10 + chars[:, i] - _ZERO
            return out

        year = number(0, 4)
        if self.kind == "ascii_a":
            month, day, at = number(5, 2), number(8, 2), 11
        else:
            month, day, at = None, number(5, 3), 9
        ns, leap = _from_civil(
            year, month, day, number(at, 2), number(at + 3, 2), number(at + 6, 2), self.name, self.scale
        )
        ps = None
        if self.decimals:
            fraction = number(at + 9, self.decimals)
            if self.decimals <= 9:
                ns += fraction * 10 ** (9 - self.decimals)
            else:
                scale = 10 ** (self.decimals - 9)
                ns += fraction // scale
                ps = (fraction % scale * 10 ** (12 - self.decimals)).astype(np.uint16)
        out = self._calendar_out(ns, leap)
        if ps is not None:
            out[f"{self.name}_ps"] = ps
        return {k: out[k] for k in self.columns()}

    def encode(self, values: Mapping[str, Any]) -> dict[str, np.ndarray]:
        ns, leap = self._calendar_in(values)
        c = _civil(ns)
        if len(ns) and (int(c["year"].min()) < 0 or int(c["year"].max()) > 9999):
            raise ValueError(f"{self.name}: a year outside 0000-9999")
        width = self.bits // 8
        chars = np.zeros((len(ns), width), dtype=np.uint8)

        def put(at: int, n: int, value: np.ndarray) -> None:
            for i in range(n):
                chars[:, at + n - 1 - i] = (value // 10**i % 10 + _ZERO).astype(np.uint8)

        put(0, 4, c["year"])
        if self.kind == "ascii_a":
            put(5, 2, c["month"])
            put(8, 2, c["day"])
            at = 11
        else:
            put(5, 3, c["doy"])
            at = 9
        put(at, 2, c["hour"])
        put(at + 3, 2, c["minute"])
        put(at + 6, 2, c["second"] + leap)
        if self.decimals:
            if self.decimals <= 9:
                fraction = c["ns"] // 10 ** (9 - self.decimals)
            else:
                ps = values.get(f"{self.name}_ps")
                extra = np.zeros(len(ns), np.int64) if ps is None else np.asarray(ps).astype(np.int64)
                fraction = c["ns"] * 10 ** (self.decimals - 9) + extra // 10 ** (12 - self.decimals)
            put(at + 9, self.decimals, fraction)
        for i, ch in enumerate(self.pattern):
            if ch not in "YMDhmsd":
                chars[:, i] = ord(ch)
        text = chars.view(f"S{width}").reshape(len(ns)).astype(np.dtypes.StringDType())
        return {self.name: text}


_CODES: dict[str, Any] = {"cuc": CUC, "cds": CDS, "ccs": CCS, "ascii_a": ASCIITime, "ascii_b": ASCIITime}


def time_code(item: Mapping[str, Any]) -> TimeCode | None:
    """The time code of a recipe item, or None when its encoding is not one."""
    encoding = item.get("encoding")
    if not isinstance(encoding, str) or encoding.lower() not in _CODES:
        return None
    if "name" not in item:
        raise KeyError("name")
    code: TimeCode = _CODES[encoding.lower()].from_item({**item, "encoding": encoding.lower()})
    bits = item.get("bits")
    if bits is not None and bits != code.bits:
        raise ValueError(f"time code {code.name!r}: bits is {bits!r}, the code takes {code.bits} ({code.describe()})")
    if str(item.get("byte_order", "big")).lower() != "big" or item.get("reverse_bits", False):
        raise ValueError(f"time code {code.name!r}: time codes are big-endian, not mirrored")
    return code


def decode_column(raw: Any, code: TimeCode | Mapping[str, Any]) -> dict[str, np.ndarray]:
    """Time columns from a column already read as plain integers (a CUC or
    CDS code read as one unsigned field of its width, without P-field)."""
    if not isinstance(code, TimeCode):
        code = _required(code)
    values = np.asarray(raw)
    if getattr(code, "pfield", False) or code.bits > 64 or isinstance(code, ASCIITime):
        raise ValueError(f"{code.describe()} is not read from one integer column")
    if isinstance(code, (CDS, CCS)) and code.bits > 56:
        below = code.bits - 56 if isinstance(code, CCS) else code.submilliseconds
        whole = values.astype(np.uint64)
        return code.decode(
            {code.name: whole >> np.uint64(below), _subnames(code.name, "sub")[0]: whole & np.uint64((1 << below) - 1)}
        )
    return code.decode({code.name: values})


def counted_times(
    raw: Any,
    seconds_per_count: float = 1.0,
    offset: float = 0.0,
    epoch: str | None = None,
    scale: str = "utc",
    name: str = "t",
) -> dict[str, np.ndarray]:
    """Time columns from a count of seconds, ``raw * seconds_per_count +
    offset`` (XTCE's time encodings): from ``epoch`` (a CUC's: ``"tai"``,
    ``"j2000"``, ``"gps"``, ``"unix"`` or an ISO date-time) a
    ``datetime64[ns]`` column on ``scale`` (with ``<name>_leap`` for UTC on a
    TAI count), exactly as a CUC item of the same epoch reads; without an
    epoch a ``timedelta64[ns]`` column. Integer counts of binary fractions of
    a second are read as a CUC is (floored to the nanosecond, exact at any
    size); others are rounded to the nanosecond through float64."""
    values = np.asarray(raw)
    epoch_ns, counting = _epoch(epoch, f"time {name!r}: epoch") if epoch is not None else (0, "posix")
    if scale not in ("utc", "tai"):
        raise ValueError(f"time {name!r}: scale is 'utc' or 'tai', not {scale!r}")
    table = leap_seconds()
    steps, leap = None, None
    if epoch is not None and counting == "tai" and scale == "utc":
        steps, leap = _tai_to_utc_steps(table), np.zeros(len(values), dtype=bool)
    elif epoch is not None and counting != "tai" and scale == "tai":
        steps = _utc_to_tai_steps(table)
    fraction = _binary_fraction(seconds_per_count)
    missing = None
    if fraction is not None and offset == 0 and values.dtype.kind in "ui" and epoch is not None:
        value, signed = _counters(values)
        kind, bits = (2 if signed else 0), fraction
    elif seconds_per_count == 1e-9 and offset == 0 and values.dtype.kind in "ui":
        # Whole nanoseconds, exact at any size.
        value, signed = np.ascontiguousarray(values.astype(np.int64)), True
        kind, bits = 3, 0
    else:
        seconds = values.astype(np.float64) * seconds_per_count + offset
        missing = ~np.isfinite(seconds)
        value, signed = np.round(np.where(missing, 0.0, seconds) * 1e9).astype(np.int64), True
        kind, bits = 3, 0
    ns = _ns_out(value, values, False)
    _fault, _at, latest = _native.convert_time_codes(
        kind, bits, epoch_ns, False, steps, value, None, None, 0, ns, leap, None
    )
    if missing is not None and missing.any():
        # No number, no time.
        ns[missing] = np.iinfo(np.int64).min
        if leap is not None:
            leap[missing] = False
    if epoch is None:
        return {name: ns.view("m8[ns]")}
    if steps is not None and len(ns):
        _check_expiry(latest, table)
    out = {name: ns.view(time_dtype(scale))}
    if leap is not None:
        out[f"{name}_leap"] = leap
    return out


def coarse_fine_times(
    coarse: Any, fine: Any, seconds_per_fine: float, epoch: str = "tai", scale: str = "utc", name: str = "t"
) -> dict[str, np.ndarray]:
    """Time columns from a count of seconds and a count of its fractions
    (``coarse + fine * seconds_per_fine`` from ``epoch``, as
    :func:`counted_times`): exact when a fine count is a binary fraction
    (2**-k s) or a whole number of nanoseconds, else the fraction is
    rounded to the nanosecond."""
    c = np.asarray(coarse).astype(np.int64)
    f = np.asarray(fine).astype(np.int64)
    k = _binary_fraction(seconds_per_fine)
    if k is not None and k < 32:
        return counted_times((c << k) + f, 2.0**-k, 0.0, epoch, scale, name)
    per_fine_ns = seconds_per_fine * 1e9
    if per_fine_ns == round(per_fine_ns) and per_fine_ns >= 1:
        below = f * int(per_fine_ns)
    else:
        # Only the fraction goes through float64: rounded to the nanosecond.
        below = np.round(f * per_fine_ns).astype(np.int64)
    return counted_times(c * NS + below, 1e-9, 0.0, epoch, scale, name)


def _binary_fraction(seconds_per_count: float) -> int | None:
    """k when a count is 2**-k seconds (k from 0 to 32), else None."""
    for k in range(33):
        if seconds_per_count == 2.0**-k:
            return k
    return None


def _required(item: Mapping[str, Any]) -> TimeCode:
    code = time_code(item)
    if code is None:
        raise ValueError(f"not a time code: encoding {item.get('encoding')!r} (one of {', '.join(ENCODINGS)})")
    return code


def stamp(tables: Any, field: str, code: Mapping[str, Any]) -> Any:
    """Gives every table that has the integer column ``field`` a ``time``
    column: ``field`` read as the time code ``code`` (an item without
    ``name``, e.g. ``{"encoding": "cuc", "coarse": 4, "fine": 0, "epoch":
    "j2000"}``). Works on a ``Tables`` or on one ``Table``; returns it."""
    from ._tables import Table

    one = isinstance(tables, Table)
    for table in [tables] if one else tables.values():
        if field not in table.columns:
            continue
        code_item = _required({**code, "name": "time"})
        columns = decode_column(table.columns[field], code_item)
        table.set_time(columns, code_item.meta(), source=field)
    return tables
