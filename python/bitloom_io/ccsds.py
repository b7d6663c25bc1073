"""CCSDS space packets: the primary header and splitting a stream into packets.

A stream is records end to end, each ``prefix_bytes`` bytes (a record header,
a sync marker; skipped) followed by a space packet: a 6-byte primary header
and 1 to 65,536 data bytes, the header's data length field holding that count
minus one. :func:`split` reads only the headers (in C++, files memory-mapped,
nothing copied) and returns the packets' offsets, lengths and header fields
as numpy arrays.

Nothing is dropped silently. Records found and problem regions tile the
stream exactly, in order:

- a record is accepted at a position when the whole header is there, its
  version number is 0 and the packet it declares ends inside the data;
- otherwise the splitter resynchronises at the first later position whose
  record is accepted and confirmed by the records after it (the next two are
  accepted too, or the chain ends exactly at the end of the data), all of
  APIDs already known (seen before, or the APID of a version-0 header at the
  bad position; any APID while none is known), because packet data often
  holds bytes that look like headers (runs of zeros do); the bytes
  skipped are one problem region, ``"overrun"`` when they start with a
  version-0 header whose length runs past the end of the data (a wrong length
  field), ``"junk"`` otherwise;
- when no later position qualifies, the rest is one region,
  ``"truncated"`` when it starts with a version-0 header (the final packet or
  its header cut short), ``"junk"`` otherwise.

Problems are listed in :class:`StreamSummary` (with counts and byte offsets)
and announced with a :class:`StreamWarning`. Sequence counts (14 bits,
wrapping from 16383 to 0) are checked per APID: gaps and repeats are listed
in the summary and announced with a :class:`SequenceWarning`.

Zero bytes between packets read as packets of APID 0 with 7 bytes, which is
what their headers say; they show up in the per-APID counts.
"""

from __future__ import annotations

import os
import warnings
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np

from . import _sources

from ._native import ccsds_scan as _ccsds_scan

__all__ = [
    "PrimaryHeader",
    "read_header",
    "split",
    "Packets",
    "StreamSummary",
    "StreamProblem",
    "SequenceReport",
    "StreamWarning",
    "SequenceWarning",
    "HEADER_COLUMNS",
]

#: Header columns as :func:`bitloom_io.decode` names them, with the
#: :class:`Packets` attribute each comes from.
HEADER_COLUMNS = {
    "CCSDS_VERSION_NUMBER": "version",
    "CCSDS_PACKET_TYPE": "type",
    "CCSDS_SECONDARY_FLAG": "secondary_flag",
    "CCSDS_APID": "apid",
    "CCSDS_SEQUENCE_FLAG": "sequence_flags",
    "CCSDS_SEQUENCE_COUNT": "sequence_count",
    "CCSDS_PACKET_LENGTH": "data_length",
}


class StreamWarning(UserWarning):
    """Bytes of a packet stream that are not whole packets (junk, a length
    field running past the end, a packet cut short)."""


class SequenceWarning(UserWarning):
    """Sequence-count gaps or repeats within an APID."""


class PrimaryHeader(NamedTuple):
    """The six-byte CCSDS primary header."""

    version: int
    type: int
    secondary_flag: int
    apid: int
    sequence_flags: int
    sequence_count: int
    data_length: int

    @property
    def packet_length(self) -> int:
        """Bytes of the whole packet, header included."""
        return self.data_length + 7

    @classmethod
    def from_bytes(cls, data: Any, offset: int = 0) -> PrimaryHeader:
        h = memoryview(data).cast("B")[offset : offset + 6]
        if offset < 0 or len(h) < 6:
            raise ValueError(
                f"a primary header needs 6 bytes at offset {offset}, the data has {max(len(h), 0)}"
            )
        return cls(
            h[0] >> 5,
            (h[0] >> 4) & 1,
            (h[0] >> 3) & 1,
            ((h[0] & 7) << 8) | h[1],
            h[2] >> 6,
            ((h[2] & 0x3F) << 8) | h[3],
            (h[4] << 8) | h[5],
        )


def read_header(source: Any, offset: int = 0) -> PrimaryHeader:
    """The primary header at byte ``offset`` of a buffer, a path or a binary
    file object (read from its current position)."""
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            f.seek(offset)
            return PrimaryHeader.from_bytes(f.read(6))
    if hasattr(source, "read"):
        if offset:
            source.seek(offset, os.SEEK_CUR)
        return PrimaryHeader.from_bytes(source.read(6))
    return PrimaryHeader.from_bytes(source, offset)


class StreamProblem(NamedTuple):
    """A region of the stream that is not a whole record.

    ``kind`` is ``"junk"``, ``"overrun"`` or ``"truncated"``; ``offset`` and
    ``length`` are in bytes of the stream; ``declared`` is the record size
    (prefix included) the header at ``offset`` declares, or -1 when there is
    no readable version-0 header there."""

    kind: str
    offset: int
    length: int
    declared: int

    def __str__(self) -> str:
        if self.kind == "junk":
            return f"{self.length} bytes that are not a packet at offset {self.offset}"
        if self.kind == "overrun":
            return (
                f"a header at offset {self.offset} whose length ({self.declared} bytes) runs past "
                f"the end; {self.length} bytes skipped to the next packet"
            )
        if self.declared < 0:
            return f"a header cut short at offset {self.offset} ({self.length} bytes)"
        return (
            f"the final packet cut short at offset {self.offset} "
            f"({self.length} of {self.declared} bytes present)"
        )


@dataclass(frozen=True)
class SequenceReport:
    """Sequence counts of one APID in stream order.

    A step of 1 (modulo 16384) is normal; a step of 0 is a repeat; any other
    step is a gap of ``step - 1`` missing packets. ``gap_offsets`` and
    ``repeat_offsets`` are the byte offsets of the packets right after each
    gap or repeat."""

    apid: int
    packets: int
    first: int
    last: int
    gaps: int
    missing: int
    repeats: int
    gap_offsets: tuple[int, ...]
    repeat_offsets: tuple[int, ...]


_KINDS = {0: "junk", 1: "overrun", 2: "truncated"}
_PROBLEM_DTYPE = np.dtype(
    [("kind", "u1"), ("offset", "=i8"), ("length", "=i8"), ("declared", "=i8")], align=True
)
_EVENT_DTYPE = np.dtype(
    [("kind", "u1"), ("apid", "=u2"), ("missing", "=u4"), ("offset", "=i8")], align=True
)
_STATS_DTYPE = np.dtype([("packets", "=u8"), ("first", "=i4"), ("last", "=i4")], align=True)


@dataclass
class StreamSummary:
    """What a split found: sizes, packets per APID, problem regions and
    sequence-count checks."""

    bytes: int
    prefix_bytes: int
    packets: int
    packet_bytes: int
    apids: dict[int, int]
    problems: tuple[StreamProblem, ...]
    sequence: dict[int, SequenceReport]
    source: str | None = None
    # Filled in by bitloom_io.decode: packets no layout covered, per APID,
    # and packets a layout could not decode (byte offsets).
    undecoded: dict[int, int] = field(default_factory=dict)
    failed_offsets: tuple[int, ...] = ()

    def _count(self, kind: str) -> int:
        return sum(1 for p in self.problems if p.kind == kind)

    @property
    def junk(self) -> int:
        """Regions of bytes that are not packets."""
        return self._count("junk")

    @property
    def overruns(self) -> int:
        """Headers whose length ran past the end with packets after them."""
        return self._count("overrun")

    @property
    def truncated(self) -> int:
        """Final packets (or headers) cut short: 0 or 1."""
        return self._count("truncated")

    @property
    def lost_bytes(self) -> int:
        """Bytes of the stream in no accepted record."""
        return sum(p.length for p in self.problems)

    @property
    def gaps(self) -> int:
        return sum(r.gaps for r in self.sequence.values())

    @property
    def missing(self) -> int:
        return sum(r.missing for r in self.sequence.values())

    @property
    def repeats(self) -> int:
        return sum(r.repeats for r in self.sequence.values())

    @property
    def ok(self) -> bool:
        """No problem regions, no sequence gaps or repeats, nothing failed."""
        return not self.problems and not self.gaps and not self.repeats and not self.failed_offsets

    def stream_message(self) -> str:
        where = f"{self.source}: " if self.source else ""
        parts = [str(p) for p in self.problems[:5]]
        if len(self.problems) > 5:
            parts.append(f"... {len(self.problems) - 5} more")
        regions = f"{len(self.problems)} region{'s' if len(self.problems) != 1 else ''}"
        return f"{where}{self.lost_bytes} of {self.bytes} bytes are not whole packets ({regions}): " + "; ".join(parts)

    def sequence_message(self) -> str:
        where = f"{self.source}: " if self.source else ""
        parts = []
        for r in self.sequence.values():
            if r.gaps or r.repeats:
                parts.append(
                    f"APID {r.apid}: {r.gaps} gap{'s' * (r.gaps != 1)} ({r.missing} "
                    f"packet{'s' * (r.missing != 1)} missing), {r.repeats} repeat{'s' * (r.repeats != 1)}"
                )
        return f"{where}sequence counts: " + "; ".join(parts)

    def __str__(self) -> str:
        lines = [
            f"{self.packets} packets ({self.packet_bytes} bytes) in {self.bytes} bytes"
            + (f", {self.prefix_bytes} prefix bytes per record" if self.prefix_bytes else ""),
        ]
        for apid, n in sorted(self.apids.items()):
            r = self.sequence.get(apid)
            seq = f", {r.gaps} gaps ({r.missing} missing), {r.repeats} repeats" if r else ""
            lines.append(f"  APID {apid}: {n} packets{seq}")
        for p in self.problems:
            lines.append(f"  {p.kind}: {p}")
        if self.undecoded:
            lines.append(
                "  no layout: "
                + ", ".join(f"APID {a}: {n} packets" for a, n in sorted(self.undecoded.items()))
            )
        if self.failed_offsets:
            lines.append(f"  {len(self.failed_offsets)} packets failed to decode")
        return "\n".join(lines)


def sequence_reports(events: np.ndarray, stats: np.ndarray, present: list[int]) -> dict[int, SequenceReport]:
    """Sequence-count reports per APID from the scan's events and counts."""
    reports: dict[int, SequenceReport] = {}
    by_apid: dict[int, list[tuple[int, int, int]]] = {}
    for kind, apid, missing, offset in events.tolist():
        by_apid.setdefault(apid, []).append((kind, missing, offset))
    for apid in present:
        ev = by_apid.get(apid, [])
        packets, first, last = stats[apid].tolist()
        reports[apid] = SequenceReport(
            apid=apid,
            packets=packets,
            first=first,
            last=last,
            gaps=sum(1 for k, _, _ in ev if k == 0),
            missing=sum(m for k, m, _ in ev if k == 0),
            repeats=sum(1 for k, _, _ in ev if k == 1),
            gap_offsets=tuple(o for k, _, o in ev if k == 0),
            repeat_offsets=tuple(o for k, _, o in ev if k == 1),
        )
    return reports


class Packets:
    """The packets of a stream: numpy arrays of byte ``offsets`` (of the
    packet, after any prefix), ``lengths`` (header included) and the header
    fields, plus ``summary`` and ``buffer`` (the memory the offsets index)."""

    offsets: np.ndarray
    lengths: np.ndarray
    version: np.ndarray
    type: np.ndarray
    secondary_flag: np.ndarray
    apid: np.ndarray
    sequence_flags: np.ndarray
    sequence_count: np.ndarray
    data_length: np.ndarray
    summary: StreamSummary
    buffer: Any
    # True when `buffer` is a file mapping of our own, whose pages may be
    # given back once read.
    mapped: bool = False

    def __len__(self) -> int:
        return len(self.offsets)

    def __repr__(self) -> str:
        return f"<Packets: {len(self)} packets, {len(self.summary.problems)} problems>"

    def packet(self, index: int) -> memoryview:
        """The bytes of one packet (header included)."""
        o = int(self.offsets[index])
        return memoryview(self.buffer)[o : o + int(self.lengths[index])]

    def header(self, index: int) -> PrimaryHeader:
        return PrimaryHeader(
            *(int(getattr(self, name)[index]) for name in PrimaryHeader._fields)
        )

    def header_columns(self, index: np.ndarray | None = None) -> dict[str, np.ndarray]:
        """The header fields under the table column names, for the packets
        at ``index`` (all when None)."""
        if index is None or len(index) == len(self.offsets):
            # Every packet, in order: the arrays themselves, not copies.
            return {col: getattr(self, attr) for col, attr in HEADER_COLUMNS.items()}
        return {col: getattr(self, attr)[index] for col, attr in HEADER_COLUMNS.items()}


def _scan(buffer: Any, prefix_bytes: int, release: bool, name: str | None) -> Packets:
    if not isinstance(prefix_bytes, int) or isinstance(prefix_bytes, bool) or prefix_bytes < 0:
        raise ValueError(f"prefix_bytes must be a non-negative int, not {prefix_bytes!r}")
    (n, offsets, lengths, version, type_, sec, apid, seqf, seqc, dlen, problems, events, stats) = (
        _ccsds_scan(buffer, prefix_bytes, release)
    )
    p = Packets()
    p.offsets = np.frombuffer(offsets, dtype=np.int64)
    p.lengths = np.frombuffer(lengths, dtype=np.uint32)
    p.version = np.frombuffer(version, dtype=np.uint8)
    p.type = np.frombuffer(type_, dtype=np.uint8)
    p.secondary_flag = np.frombuffer(sec, dtype=np.uint8)
    p.apid = np.frombuffer(apid, dtype=np.uint16)
    p.sequence_flags = np.frombuffer(seqf, dtype=np.uint8)
    p.sequence_count = np.frombuffer(seqc, dtype=np.uint16)
    p.data_length = np.frombuffer(dlen, dtype=np.uint16)
    probs = np.frombuffer(problems, dtype=_PROBLEM_DTYPE)
    size = len(buffer)
    per_apid = np.frombuffer(stats, dtype=_STATS_DTYPE)
    counts = per_apid["packets"]
    present = np.flatnonzero(counts).tolist()
    p.summary = StreamSummary(
        bytes=size,
        prefix_bytes=prefix_bytes,
        packets=n,
        # Records and problem regions tile the stream.
        packet_bytes=size - int(probs["length"].sum()) - n * prefix_bytes,
        apids={a: int(counts[a]) for a in present},
        problems=tuple(
            StreamProblem(_KINDS[int(k)], int(o), int(ln), int(d))
            for k, o, ln, d in probs.tolist()
        ),
        sequence=sequence_reports(np.frombuffer(events, dtype=_EVENT_DTYPE), per_apid, present),
        source=name,
    )
    p.buffer = buffer
    p.mapped = release
    return p


def warn_summary(summary: StreamSummary, stacklevel: int) -> None:
    if summary.problems:
        warnings.warn(StreamWarning(summary.stream_message()), stacklevel=stacklevel + 1)
    if any(r.gaps or r.repeats for r in summary.sequence.values()):
        warnings.warn(SequenceWarning(summary.sequence_message()), stacklevel=stacklevel + 1)


def split(source: Any, *, prefix_bytes: int = 0, warn: bool = True) -> Packets:
    """Splits a stream of CCSDS space packets by their length fields.

    ``source`` is a path, a binary file object (read from its current
    position) or any buffer (bytes, bytearray, memoryview, mmap, numpy uint8
    array; not copied). Files are memory-mapped. ``prefix_bytes`` bytes before
    each packet are skipped. Problems in the stream (see the module's
    documentation) are listed in ``.summary`` and, unless ``warn`` is false,
    announced with :class:`StreamWarning` and :class:`SequenceWarning`.
    """
    buffer, release, name = _sources.open_source(source)
    packets = _scan(buffer, prefix_bytes, release, name)
    if warn:
        warn_summary(packets.summary, stacklevel=2)
    return packets
