"""What a decode did not decode, and why, in one place.

Every route into the decode pipeline (``bitloom_io.decode``,
``xtce.Definition.decode``, the command line, the Dask reader) returns its
tables with one :class:`Report`: the stream's problem regions and sequence
gaps (the split's :class:`~bitloom_io.ccsds.StreamSummary`, not changed
here), packets no packet type claims, packets that failed, packets whose
length is not their packet type's, and a ``--prefix-bytes`` that fits
better when the stream looks like packets behind a fixed-size prefix.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import ccsds
from .ccsds import StreamSummary

__all__ = ["Report", "Failure", "SizeMismatch", "DecodeWarning"]

#: How many byte offsets a report keeps per kind of problem.
FIRST = 10


class DecodeWarning(UserWarning):
    """Packets that were not decoded (no packet type claims them, or their
    packet type could not read them) or whose length is not their packet
    type's; the decode's :class:`Report` has the counts and offsets."""


def plural(count: int, word: str, words: str | None = None) -> str:
    """``"1 packet"``, ``"2 packets"``, with thousands separators."""
    return f"{count:,} {word if count == 1 else (words or word + 's')}"


def _offsets(offsets: Iterable[int], count: int) -> str:
    shown = list(offsets)[:5]
    more = ", ..." if count > len(shown) else ""
    return f"{'byte' if count == 1 else 'bytes'} {', '.join(str(o) for o in shown)}{more}"


@dataclass(frozen=True)
class Failure:
    """Packets of one packet type that its layout could not read: how many,
    the byte offsets of the first ones, the field the first failed at and
    why."""

    packet_type: str
    count: int
    offsets: tuple[int, ...]
    field: str | None
    reason: str

    def __str__(self) -> str:
        first = "the packet" if self.count == 1 else "the first"
        where = f" at field {self.field!r}" if self.field else ""
        why = f": {self.reason}" if self.reason else ""
        return (
            f"{plural(self.count, 'packet')} of {self.packet_type!r} failed "
            f"({first}{where}{why}; {_offsets(self.offsets, self.count)})"
        )


@dataclass(frozen=True)
class SizeMismatch:
    """Packets of one packet type whose length differs from the
    ``expected`` bytes its definition reads: ``longer`` ones leave bytes
    unread, ``shorter`` ones end before the last field."""

    packet_type: str
    expected: int
    longer: int = 0
    longer_offsets: tuple[int, ...] = ()
    shorter: int = 0
    shorter_offsets: tuple[int, ...] = ()

    def __str__(self) -> str:
        parts = []
        if self.longer:
            parts.append(f"{plural(self.longer, 'packet')} longer ({_offsets(self.longer_offsets, self.longer)})")
        if self.shorter:
            parts.append(f"{plural(self.shorter, 'packet')} shorter ({_offsets(self.shorter_offsets, self.shorter)})")
        return f"{self.packet_type!r} reads {plural(self.expected, 'byte')}: " + "; ".join(parts)


@dataclass
class Report:
    """What a decode left out and why.

    ``stream``: the split's summary (problem regions, sequence gaps and
    repeats, packets per APID). ``packets``: whole packets found.
    ``decoded``: rows per packet type. ``unclaimed``: packets no packet type
    claims, per APID (``unclaimed_offsets``: the first of them).
    ``ambiguous``: packets more than one packet type claims (left out).
    ``failed``: per packet type, packets its layout could not read.
    ``sizes``: per packet type, packets longer or shorter than it reads.
    ``notes``: other things worth knowing (values without an engineering
    value). ``prefix_hint``: a ``prefix_bytes`` under which the stream
    splits into packets far better, when the one used leaves most of it
    unsplit.
    """

    stream: StreamSummary
    packets: int = 0
    decoded: dict[str, int] = field(default_factory=dict)
    unclaimed: dict[int, int] = field(default_factory=dict)
    unclaimed_offsets: tuple[int, ...] = ()
    ambiguous: int = 0
    ambiguous_offsets: tuple[int, ...] = ()
    failed: tuple[Failure, ...] = ()
    sizes: tuple[SizeMismatch, ...] = ()
    notes: tuple[str, ...] = ()
    prefix_hint: int | None = None
    # The notes that carry a count, as (render, name) -> count, so that the
    # reports of a file's pieces add up to the file's (merge).
    counts: dict[tuple[Callable[[str, int], str], str], int] = field(default_factory=dict, repr=False, compare=False)

    @property
    def source(self) -> str | None:
        return self.stream.source

    @property
    def undecoded(self) -> int:
        """Whole packets that are in no table."""
        return sum(self.unclaimed.values()) + self.ambiguous + sum(f.count for f in self.failed)

    @property
    def rows(self) -> int:
        return sum(self.decoded.values())

    @property
    def ok(self) -> bool:
        """Every byte in a packet, every packet in a table at its length, no
        sequence gap or repeat."""
        s = self.stream
        return not (s.problems or s.gaps or s.repeats or self.undecoded or self.sizes)

    def lines(self, command_line: bool = False) -> list[str]:
        """The report as lines of text, the stream's problems first; empty
        when there is nothing to say. ``command_line``: advice in the
        command line's words (``--prefix-bytes``) rather than Python's."""
        out: list[str] = []
        s = self.stream
        if s.problems:
            lost = s.lost_bytes
            what = "are not whole packets" if lost != 1 else "is not in a whole packet"
            out.append(f"{plural(lost, 'byte')} of {s.bytes:,} {what} ({plural(len(s.problems), 'region')}):")
            out.extend(f"  {p.kind}: {p}" for p in s.problems[:5])
            if len(s.problems) > 5:
                out.append(f"  ... {plural(len(s.problems) - 5, 'more region')}")
        if self.prefix_hint is not None:
            option = f"--prefix-bytes {self.prefix_hint}" if command_line else f"prefix_bytes={self.prefix_hint}"
            out.append(f"the stream looks like packets behind a {self.prefix_hint}-byte prefix: try {option}")
        for r in s.sequence.values():
            if r.gaps or r.repeats:
                out.append(
                    f"APID {r.apid}: sequence count {plural(r.gaps, 'gap')} "
                    f"({plural(r.missing, 'packet')} missing), {plural(r.repeats, 'repeat')}"
                )
        if self.unclaimed:
            total = sum(self.unclaimed.values())
            per = ", ".join(f"APID {a}: {n:,}" for a, n in sorted(self.unclaimed.items()))
            out.append(f"{plural(total, 'packet')} no packet type claims ({per})")
        if self.ambiguous:
            out.append(
                f"{plural(self.ambiguous, 'packet')} claimed by more than one packet type, left out "
                f"({_offsets(self.ambiguous_offsets, self.ambiguous)})"
            )
        out.extend(str(f) for f in self.failed)
        out.extend(str(m) for m in self.sizes)
        out.extend(self.notes)
        return out

    def __str__(self) -> str:
        head = (
            f"{plural(self.packets, 'packet')}, {plural(self.rows, 'row')} decoded, "
            f"{plural(self.undecoded, 'packet')} not decoded"
        )
        return "\n".join([head, *("  " + line for line in self.lines())])

    def warn(self, stacklevel: int = 2, skip_file_prefixes: tuple[str, ...] = ()) -> None:
        """Announces what the report holds beyond the stream's own problems
        (those are the split's StreamWarning and SequenceWarning)."""
        parts: list[str] = []
        if self.unclaimed:
            total = sum(self.unclaimed.values())
            per = ", ".join(f"APID {a}: {n:,}" for a, n in sorted(self.unclaimed.items()))
            parts.append(f"{plural(total, 'packet')} no packet type claims ({per})")
        if self.ambiguous:
            parts.append(f"{plural(self.ambiguous, 'packet')} claimed by more than one packet type")
        parts.extend(str(f) for f in self.failed)
        parts.extend(str(m) for m in self.sizes)
        parts.extend(self.notes)
        if self.prefix_hint is not None:
            parts.append(
                f"the stream looks like packets behind a {self.prefix_hint}-byte prefix (prefix_bytes={self.prefix_hint})"
            )
        if not parts:
            return
        where = f"{self.source}: " if self.source else ""
        message = where + "; ".join(parts)
        if skip_file_prefixes:
            warnings.warn(DecodeWarning(message), skip_file_prefixes=skip_file_prefixes)
        else:
            warnings.warn(DecodeWarning(message), stacklevel=stacklevel + 1)


class Findings:
    """What the packet types of one decode found, gathered into a
    :class:`Report` at the end. Indexes are of ``packets``, which may be
    switched to the next piece of the same split between steps."""

    def __init__(self, packets: ccsds.Packets) -> None:
        self.packets = packets
        self._unclaimed_apids: list[np.ndarray] = []
        self._unclaimed_offsets: list[np.ndarray] = []
        self._ambiguous: list[np.ndarray] = []
        # Per packet type: [count, first offsets, field, reason].
        self._failed: dict[str, list[Any]] = {}
        # Per packet type: [expected, longer, longer offsets, shorter, shorter offsets].
        self._sizes: dict[str, list[Any]] = {}
        self._notes: dict[str, None] = {}
        self._counted: dict[tuple[Callable[[str, int], str], str], int] = {}

    def unclaimed(self, index: np.ndarray) -> None:
        if len(index):
            self._unclaimed_apids.append(self.packets.apid[index])
            self._unclaimed_offsets.append(self.packets.offsets[index])

    def ambiguous(self, index: np.ndarray) -> None:
        if len(index):
            self._ambiguous.append(self.packets.offsets[index])

    def failed(self, packet_type: str, index: np.ndarray, field: str | None, reason: str) -> None:
        if not len(index):
            return
        offsets = self.packets.offsets[np.sort(index)[:FIRST]].tolist()
        entry = self._failed.setdefault(packet_type, [0, [], field, reason])
        entry[0] += len(index)
        entry[1] = (entry[1] + offsets)[:FIRST]

    def sizes(self, packet_type: str, index: np.ndarray | None, expected: int) -> None:
        """Compares the packets at ``index`` (all when None) with the
        ``expected`` bytes."""
        lengths = self.packets.lengths if index is None else self.packets.lengths[index]
        if not len(lengths) or lengths.min() == lengths.max() == expected:
            return
        longer = lengths > expected
        shorter = lengths < expected
        offsets = self.packets.offsets if index is None else self.packets.offsets[index]
        entry = self._sizes.setdefault(packet_type, [expected, 0, [], 0, []])
        entry[1] += int(longer.sum())
        entry[2] = (entry[2] + offsets[longer][:FIRST].tolist())[:FIRST]
        entry[3] += int(shorter.sum())
        entry[4] = (entry[4] + offsets[shorter][:FIRST].tolist())[:FIRST]

    def note(self, text: str) -> None:
        self._notes[text] = None

    def count(self, render: Callable[[str, int], str], name: str, count: int) -> None:
        """A note with a count that adds up over pieces: ``render(name,
        count)`` gives its text."""
        self._counted[render, name] = self._counted.get((render, name), 0) + count

    def report(self, decoded: dict[str, int], packets: int | None = None) -> Report:
        unclaimed: dict[int, int] = {}
        first: tuple[int, ...] = ()
        if self._unclaimed_apids:
            offsets = np.concatenate(self._unclaimed_offsets)
            apids, counts = np.unique(np.concatenate(self._unclaimed_apids), return_counts=True)
            unclaimed = dict(zip(apids.tolist(), counts.tolist()))
            first = tuple(np.sort(offsets)[:FIRST].tolist())
        ambiguous = np.sort(np.concatenate(self._ambiguous)) if self._ambiguous else np.zeros(0, np.int64)
        notes = [render(name, count) for (render, name), count in self._counted.items()]
        return Report(
            stream=self.packets.summary,
            packets=len(self.packets) if packets is None else packets,
            decoded=decoded,
            unclaimed=unclaimed,
            unclaimed_offsets=first,
            ambiguous=len(ambiguous),
            ambiguous_offsets=tuple(ambiguous[:FIRST].tolist()),
            # In stream order, however the packets were taken in steps.
            failed=tuple(
                sorted(
                    (Failure(name, n, tuple(sorted(o)), f, r) for name, (n, o, f, r) in self._failed.items()),
                    key=lambda failure: failure.offsets,
                )
            ),
            sizes=tuple(
                sorted(
                    (
                        SizeMismatch(name, e, lo, tuple(sorted(lof)), sh, tuple(sorted(shf)))
                        for name, (e, lo, lof, sh, shf) in self._sizes.items()
                    ),
                    key=lambda size: min(size.longer_offsets + size.shorter_offsets),
                )
            ),
            notes=(*self._notes, *notes),
            counts=dict(self._counted),
        )


def merge(stream: StreamSummary, parts: Iterable[Report], hint: int | None = None) -> Report:
    """One report from the reports of consecutive pieces of one stream,
    ``stream`` being the split of the whole stream: what a decode of the
    whole stream in one go reports."""
    decoded: dict[str, int] = {}
    unclaimed: dict[int, int] = {}
    unclaimed_offsets: list[int] = []
    ambiguous = 0
    ambiguous_offsets: list[int] = []
    failed: dict[str, list[Any]] = {}
    sizes: dict[str, list[Any]] = {}
    plain: dict[str, None] = {}
    counts: dict[tuple[Callable[[str, int], str], str], int] = {}
    for part in parts:
        for name, rows in part.decoded.items():
            decoded[name] = decoded.get(name, 0) + rows
        for apid, n in part.unclaimed.items():
            unclaimed[apid] = unclaimed.get(apid, 0) + n
        unclaimed_offsets += part.unclaimed_offsets
        ambiguous += part.ambiguous
        ambiguous_offsets += part.ambiguous_offsets
        for f in part.failed:
            entry = failed.setdefault(f.packet_type, [0, [], f.field, f.reason])
            entry[0] += f.count
            entry[1] += f.offsets
        for m in part.sizes:
            entry = sizes.setdefault(m.packet_type, [m.expected, 0, [], 0, []])
            entry[1] += m.longer
            entry[2] += m.longer_offsets
            entry[3] += m.shorter
            entry[4] += m.shorter_offsets
        rendered = {render(name, n) for (render, name), n in part.counts.items()}
        plain.update(dict.fromkeys(n for n in part.notes if n not in rendered))
        for key, n in part.counts.items():
            counts[key] = counts.get(key, 0) + n
    return Report(
        stream=stream,
        packets=stream.packets,
        decoded=decoded,
        unclaimed=dict(sorted(unclaimed.items())),
        unclaimed_offsets=tuple(sorted(unclaimed_offsets)[:FIRST]),
        ambiguous=ambiguous,
        ambiguous_offsets=tuple(sorted(ambiguous_offsets)[:FIRST]),
        failed=tuple(
            sorted(
                (Failure(name, n, tuple(sorted(o)[:FIRST]), f, r) for name, (n, o, f, r) in failed.items()),
                key=lambda failure: failure.offsets,
            )
        ),
        sizes=tuple(
            sorted(
                (
                    SizeMismatch(name, e, lo, tuple(sorted(lof)[:FIRST]), sh, tuple(sorted(shf)[:FIRST]))
                    for name, (e, lo, lof, sh, shf) in sizes.items()
                ),
                key=lambda size: min(size.longer_offsets + size.shorter_offsets),
            )
        ),
        notes=(*plain, *(render(name, n) for (render, name), n in counts.items())),
        prefix_hint=hint,
        counts=counts,
    )


# Prefixes tried when most of a stream does not split into packets, and
# how much of the stream's start they are tried on.
_PREFIXES = range(1, 65)
_SAMPLE_BYTES = 1 << 16


def prefix_hint(packets: ccsds.Packets) -> int | None:
    """A ``prefix_bytes`` under which the start of the stream splits into
    packets with (almost) nothing left over, when the one used leaves more
    than half of it unsplit; None otherwise."""
    summary = packets.summary
    if summary.bytes < 64 or summary.lost_bytes * 2 <= summary.bytes:
        return None
    sample: Any = memoryview(packets.buffer).cast("B")[:_SAMPLE_BYTES]
    best, best_lost = None, len(sample)
    for prefix in _PREFIXES:
        if prefix == summary.prefix_bytes:
            continue
        found = ccsds.split(sample, prefix_bytes=prefix, warn=False).summary
        # A cut-off final packet of the sample does not count against it.
        lost = sum(p.length for p in found.problems if p.kind != "truncated")
        if found.packets >= 2 and lost < best_lost:
            best, best_lost = prefix, lost
    if best is not None and best_lost * 20 <= len(sample):
        return best
    return None
