"""TAI and UTC: the leap-second table and the conversions between the two
scales, on int64 nanoseconds since 1970-01-01 of each scale's calendar.

The table comes from the ``astropy-iers-data`` package when it is installed
(it ships the IERS file of leap seconds and is kept up to date on PyPI);
otherwise from the copy below. Either way its expiry date is known, and
times after it are converted as if no further leap second had been
announced, with a :class:`LeapSecondWarning` saying so.

UTC before 1972 did not step by whole seconds; those times are converted
with the offset of 1972-01-01 (10 s), which is what every table that
starts in 1972 does.
"""

from __future__ import annotations

import datetime as _dt
import functools
import warnings
from dataclasses import dataclass

import numpy as np

__all__ = ["LeapSecondTable", "LeapSecondWarning", "leap_seconds", "tai_to_utc", "utc_to_tai"]

NS = 1_000_000_000
_DAY_NS = 86_400 * NS

# The copy shipped with the package: (first UTC day with the new offset,
# TAI - UTC from that day on), from the IERS Bulletin C series (Bulletin C
# 69, January 2025, announced no leap second for June 2025 and the file
# built from it expires on 2025-12-28; later bulletins through Bulletin C 70
# announced none either).
_SHIPPED = (
    ("1972-01-01", 10),
    ("1972-07-01", 11),
    ("1973-01-01", 12),
    ("1974-01-01", 13),
    ("1975-01-01", 14),
    ("1976-01-01", 15),
    ("1977-01-01", 16),
    ("1978-01-01", 17),
    ("1979-01-01", 18),
    ("1980-01-01", 19),
    ("1981-07-01", 20),
    ("1982-07-01", 21),
    ("1983-07-01", 22),
    ("1985-07-01", 23),
    ("1988-01-01", 24),
    ("1990-01-01", 25),
    ("1991-01-01", 26),
    ("1992-07-01", 27),
    ("1993-07-01", 28),
    ("1994-07-01", 29),
    ("1996-01-01", 30),
    ("1997-07-01", 31),
    ("1999-01-01", 32),
    ("2006-01-01", 33),
    ("2009-01-01", 34),
    ("2012-07-01", 35),
    ("2015-07-01", 36),
    ("2017-01-01", 37),
)
_SHIPPED_EXPIRES = "2026-06-28"
_SHIPPED_SOURCE = "IERS Bulletin C 70 (copy shipped with bitloom_io)"


class LeapSecondWarning(UserWarning):
    """Times after the expiry of the leap-second table were converted as if
    no further leap second had been announced."""


@dataclass(frozen=True, slots=True)
class LeapSecondTable:
    """The leap seconds in use: ``starts`` (int64 ns, UTC) of each step,
    ``offsets`` (TAI - UTC in seconds from that start on), the date the
    table ``expires`` and where it came from (``source``)."""

    starts: np.ndarray
    offsets: np.ndarray
    expires: np.datetime64
    source: str

    def __repr__(self) -> str:
        last = np.datetime64(int(self.starts[-1]), "ns").astype("M8[D]")
        return (
            f"<LeapSecondTable: {len(self.offsets)} steps, TAI-UTC {int(self.offsets[-1])} s since {last}, "
            f"expires {self.expires}, from {self.source}>"
        )

    @property
    def expired(self) -> bool:
        return bool(np.datetime64(_dt.datetime.now(_dt.UTC).date(), "D") > self.expires)


def _from_astropy() -> LeapSecondTable | None:
    try:
        import astropy_iers_data as data  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return None
    path = getattr(data, "IERS_LEAP_SECOND_FILE", None)
    if path is None:  # pragma: no cover - every release so far has it
        return None
    rows: list[tuple[str, int]] = []
    expires = None
    months = {
        m: i
        for i, m in enumerate(
            (
                "january",
                "february",
                "march",
                "april",
                "may",
                "june",
                "july",
                "august",
                "september",
                "october",
                "november",
                "december",
            ),
            1,
        )
    }
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            text = line.strip()
            if text.startswith("#"):
                words = text.lower().replace(",", " ").split()
                if "expires" in words:
                    # "#  File expires on 28 June 2027"
                    try:
                        at = words.index("on")
                        day, month, year = int(words[at + 1]), months[words[at + 2]], int(words[at + 3])
                        expires = np.datetime64(f"{year:04d}-{month:02d}-{day:02d}", "D")
                    except (ValueError, KeyError, IndexError):  # pragma: no cover - a changed header
                        pass
                continue
            parts = text.split()
            if len(parts) >= 5:  # MJD day month year TAI-UTC
                rows.append((f"{int(parts[3]):04d}-{int(parts[2]):02d}-{int(parts[1]):02d}", int(parts[4])))
    if not rows or expires is None:  # pragma: no cover - a changed file
        return None
    version = getattr(data, "__version__", "?")
    return _table(rows, expires, f"astropy-iers-data {version} (IERS Leap_Second.dat)")


def _table(
    rows: tuple[tuple[str, int], ...] | list[tuple[str, int]], expires: np.datetime64 | str, source: str
) -> LeapSecondTable:
    starts = np.array([np.datetime64(d, "ns").astype(np.int64) for d, _ in rows], dtype=np.int64)
    offsets = np.array([n for _, n in rows], dtype=np.int64)
    return LeapSecondTable(starts, offsets, np.datetime64(expires, "D"), source)


@functools.cache
def leap_seconds() -> LeapSecondTable:
    """The leap-second table in use (from ``astropy-iers-data`` when
    installed, else the shipped copy), with its source and expiry date."""
    table = _from_astropy()
    shipped = _table(_SHIPPED, _SHIPPED_EXPIRES, _SHIPPED_SOURCE)
    if table is None or table.expires < shipped.expires:
        return shipped
    return table


def _check_expiry(latest: int, table: LeapSecondTable) -> None:
    limit = int(table.expires.astype("M8[ns]").astype(np.int64))
    if latest > limit:
        warnings.warn(
            LeapSecondWarning(
                f"the leap-second table ({table.source}) expires on {table.expires}; times up to "
                f"{np.datetime64(latest, 'ns')} were converted as if no leap second followed it "
                "(pip install --upgrade astropy-iers-data for a newer table)"
            ),
            stacklevel=4,
        )


def _steps(values: np.ndarray, edges: np.ndarray) -> tuple[np.ndarray | int, int]:
    """For each value, how many of the sorted ``edges`` lie at or below it,
    and the largest value; one number when every value has the same count
    (a file seldom spans a step: this spares the search per value)."""
    if len(values) == 0:
        return np.zeros(0, np.intp), 0
    lo, hi = int(values.min()), int(values.max())
    first, last = np.searchsorted(edges, [lo, hi], side="right").tolist()
    if first == last:
        return first, hi
    return np.searchsorted(edges, values, side="right"), hi


def tai_to_utc(tai: np.ndarray, *, copy: bool = True) -> tuple[np.ndarray, np.ndarray]:
    """UTC (int64 ns, a leap second shown as a second 23:59:59) and a flag
    per value that is True inside an inserted leap second (23:59:60).
    ``copy=False`` converts an int64 array in place."""
    table = leap_seconds()
    tai = np.asarray(tai, dtype=np.int64)
    # The TAI instant at which each step takes effect, and the second before
    # it, which is the inserted 23:59:60: both are edges.
    boundary = table.starts + table.offsets * NS
    edges = np.sort(np.concatenate((boundary - NS, boundary)))
    at, latest = _steps(tai, edges)
    _check_expiry(latest, table)
    # Between edges 2i-1 and 2i the value is inside leap second i; the
    # offset that applies is that of the latest step whose second before has
    # begun.
    offsets = np.concatenate(([table.offsets[0]], table.offsets))
    utc = tai if not copy else tai.copy()
    if isinstance(at, int):
        utc -= int(offsets[(at + 1) // 2]) * NS
        return utc, np.full(len(tai), at % 2 == 1)
    utc -= offsets[(at + 1) // 2] * NS
    return utc, (at % 2) == 1


def utc_to_tai(utc: np.ndarray, leap: np.ndarray | None = None) -> np.ndarray:
    """TAI (int64 ns) from UTC; ``leap`` marks values inside an inserted
    leap second, shown as a second 23:59:59."""
    table = leap_seconds()
    utc = np.asarray(utc, dtype=np.int64)
    at, latest = _steps(utc, table.starts)
    _check_expiry(latest, table)
    offsets = np.concatenate(([table.offsets[0]], table.offsets))
    tai = utc + (int(offsets[at]) if isinstance(at, int) else offsets[at]) * NS
    if leap is not None:
        tai += np.asarray(leap, dtype=bool) * NS
    return tai
