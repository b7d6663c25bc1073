"""CCSDS space packets: the primary header and splitting a stream into packets.

A stream is records end to end, each ``prefix_bytes`` bytes (a record header,
a sync marker; skipped) followed by a space packet: a 6-byte primary header
and 1 to 65,536 data bytes, the header's data length field holding that count
minus one. :func:`split` reads only the headers (in C++, files memory-mapped,
nothing copied) and returns the packets' offsets, lengths and header fields
as numpy arrays.

Nothing is dropped silently, and no single length field is trusted on its
own word. Records found and problem regions tile the stream exactly, in
order:

- a record is accepted at a position when the whole header is there, the
  packet it declares ends inside the data, its version number is one
  ``versions`` allows (any by default) and its length is the one ``lengths``
  fixes for its APID (if any), and what follows it is the end of the data or
  a plausible header: of a known version, of the fixed length, and of an
  APID already known (seen, given in ``apids``, or its own) with a sequence
  count at most 32 past that APID's latest. A version other than 0 is taken
  once records of it chain by length (eight in a row, or to the exact end
  of the data) and is reported in ``summary.versions`` and with a
  :class:`StreamWarning`;
- a record whose length leads to no plausible header while a confirmed
  record starts inside it (one carrying the next sequence count of its
  APID) is not taken: its bytes up to that record are a problem region,
  ``"implausible_length"``, so that one bad length field cannot swallow the
  intact packets after it. A packet followed by junk, with no packet inside
  it, stands, and what follows it is then taken only when confirmed as
  below;
- otherwise the splitter resynchronises at the first later position whose
  record is accepted and confirmed by the records after it (the next two are
  accepted too, or the chain ends exactly at the end of the data), all of
  APIDs already known (seen before, given, or the APID of the header at the
  bad position; any APID while none is known), because packet data often
  holds bytes that look like headers (runs of zeros do); the bytes skipped
  are one problem region, ``"overrun"`` when they start with a header whose
  length runs past the end of the data (a wrong length field),
  ``"implausible_length"`` when that header's length is not the one fixed
  for its APID, ``"junk"`` otherwise (adjacent junk is one region);
- runs of zero bytes that would read as two or more all-zero packets are
  one region, ``"zero_fill"`` (below);
- when no later position qualifies, the rest is one region,
  ``"truncated"`` when it starts with a header (the final packet or
  its header cut short), ``"junk"`` otherwise.

Problems are listed in :class:`StreamSummary` (with counts and byte offsets)
and announced with a :class:`StreamWarning`. Sequence counts (14 bits,
wrapping from 16383 to 0) are checked per APID: gaps and repeats are listed
in the summary (consecutive packets with steps of one kind as one run) and
announced with a :class:`SequenceWarning`.

Zero bytes read as packets of APID 0 with 7 bytes, which is what their
headers say, but a run of them is padding (files filled to a block size,
blank stretches of a recording), not data: where two or more all-zero
packets would follow each other, the whole run of zero bytes is one problem
region, ``"zero_fill"``, ending at the first byte that is not zero (or the
few zero bytes before it that begin a confirmed header). The packets on
either side of fill are taken as those beside junk are. A single all-zero
packet between others stays a packet.
"""

from __future__ import annotations

import os
import warnings
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np

from . import _sources

from ._native import ccsds_scan as _ccsds_scan
from ._native import ccsds_scan_step as _ccsds_scan_step
from ._native import ccsds_scan_summary as _ccsds_scan_summary
from ._native import ccsds_scanner as _ccsds_scanner

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
    "ScanOptions",
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
            raise ValueError(f"a primary header needs 6 bytes at offset {offset}, the data has {max(len(h), 0)}")
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
        with _sources.open_file(source) as f:
            f.seek(offset)
            return PrimaryHeader.from_bytes(f.read(6))
    if hasattr(source, "read"):
        if offset:
            source.seek(offset, os.SEEK_CUR)
        return PrimaryHeader.from_bytes(source.read(6))
    return PrimaryHeader.from_bytes(source, offset)


class StreamProblem(NamedTuple):
    """A region of the stream that is not a whole record.

    ``kind`` is ``"junk"``, ``"overrun"``, ``"truncated"``,
    ``"implausible_length"`` or ``"zero_fill"``; ``offset`` and ``length`` are in bytes of the
    stream; ``declared`` is the record size (prefix included) the header at
    ``offset`` declares, or -1 when there is no readable header of a known
    version there."""

    kind: str
    offset: int
    length: int
    declared: int

    def __str__(self) -> str:
        if self.kind == "junk":
            return f"{self.length} bytes that are not a packet at offset {self.offset}"
        if self.kind == "zero_fill":
            return f"{self.length} zero bytes of fill at offset {self.offset}"
        if self.kind == "implausible_length":
            return (
                f"a header at offset {self.offset} whose length ({self.declared} bytes) leads to no "
                f"packet; {self.length} bytes skipped to the next packet"
            )
        if self.kind == "overrun":
            return (
                f"a header at offset {self.offset} whose length ({self.declared} bytes) runs past "
                f"the end; {self.length} bytes skipped to the next packet"
            )
        if self.declared < 0:
            return f"a header cut short at offset {self.offset} ({self.length} bytes)"
        return f"the final packet cut short at offset {self.offset} ({self.length} of {self.declared} bytes present)"


@dataclass(frozen=True)
class SequenceReport:
    """Sequence counts of one APID in stream order.

    A step of 1 (modulo 16384) is normal; a step of 0 is a repeat; any other
    step is a gap of ``step - 1`` missing packets. Consecutive packets with
    steps of the same kind form one run: ``gap_offsets`` and
    ``repeat_offsets`` are the byte offsets of the packet after the first
    step of each run (one per gap or repeat unless they follow each other),
    so that the report stays small whatever the stream."""

    apid: int
    packets: int
    first: int
    last: int
    gaps: int
    missing: int
    repeats: int
    gap_offsets: tuple[int, ...]
    repeat_offsets: tuple[int, ...]


_KINDS = {0: "junk", 1: "overrun", 2: "truncated", 3: "implausible_length", 4: "zero_fill"}
_PROBLEM_DTYPE = np.dtype([("kind", "u1"), ("offset", "=i8"), ("length", "=i8"), ("declared", "=i8")], align=True)
_EVENT_DTYPE = np.dtype(
    [("kind", "u1"), ("apid", "=u2"), ("count", "=u4"), ("missing", "=u8"), ("offset", "=i8"), ("last", "=i8")],
    align=True,
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
    # Packets per version number, when any is other than 0.
    versions: dict[int, int] = field(default_factory=dict)

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
    def zero_fill(self) -> int:
        """Runs of zero bytes taken for padding rather than packets."""
        return self._count("zero_fill")

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

    def version_message(self) -> str:
        where = f"{self.source}: " if self.source else ""
        counts = ", ".join(f"{n} of version {v}" for v, n in sorted(self.versions.items()))
        return f"{where}packets of a version number other than 0: {counts}"

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
        if any(self.versions):
            lines.append("  versions: " + ", ".join(f"{v}: {n} packets" for v, n in sorted(self.versions.items())))
        for p in self.problems:
            lines.append(f"  {p.kind}: {p}")
        if self.undecoded:
            lines.append(
                "  no layout: " + ", ".join(f"APID {a}: {n} packets" for a, n in sorted(self.undecoded.items()))
            )
        if self.failed_offsets:
            lines.append(f"  {len(self.failed_offsets)} packets failed to decode")
        return "\n".join(lines)


def sequence_reports(events: np.ndarray, stats: np.ndarray, present: list[int]) -> dict[int, SequenceReport]:
    """Sequence-count reports per APID from the scan's runs of events and
    counts; the work is in the number of runs, not of packets."""
    reports: dict[int, SequenceReport] = {}
    gap_runs: dict[int, np.ndarray] = {}
    repeat_runs: dict[int, np.ndarray] = {}
    if len(events):  # a stream without gaps or repeats (most) has none
        gap_runs = _group(events[events["kind"] == 0])
        repeat_runs = _group(events[events["kind"] == 1])
    for apid in present:
        packets, first, last = stats[apid].tolist()
        g = gap_runs.get(apid)
        r = repeat_runs.get(apid)
        reports[apid] = SequenceReport(
            apid=apid,
            packets=packets,
            first=first,
            last=last,
            gaps=int(g["count"].sum()) if g is not None else 0,
            missing=int(g["missing"].sum()) if g is not None else 0,
            repeats=int(r["count"].sum()) if r is not None else 0,
            gap_offsets=tuple(g["offset"].tolist()) if g is not None else (),
            repeat_offsets=tuple(r["offset"].tolist()) if r is not None else (),
        )
    return reports


def _group(events: np.ndarray) -> dict[int, np.ndarray]:
    """Events by APID, each APID's in stream order."""
    if not len(events):
        return {}
    order = np.argsort(events["apid"], kind="stable")
    ordered = events[order]
    apids, starts = np.unique(ordered["apid"], return_index=True)
    bounds = [*starts.tolist(), len(ordered)]
    return {int(a): ordered[bounds[i] : bounds[i + 1]] for i, a in enumerate(apids.tolist())}


class Seed(NamedTuple):
    """What a scan had met before a packet: the APIDs (2048 bools), the
    versions (a bit set) and each APID's latest sequence count (2048 native
    i4, -1 for none). Small, so that it travels with a piece of a file to
    wherever that piece is split."""

    seen: np.ndarray
    versions: int
    prior: bytes
    broken: bool = False


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
    # Indexes of the packets that what followed did not continue (where the
    # split became wary); what a piece split on its own needs to know.
    breaks: np.ndarray
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
        return PrimaryHeader(*(int(getattr(self, name)[index]) for name in PrimaryHeader._fields))

    def piece(self, first: int, stop: int) -> Packets:
        """Packets ``first`` to ``stop - 1`` as a stream of their own, over
        the same buffer: what a whole-file split found in one piece of the
        file, so that pieces decoded one by one hold exactly its packets.
        The piece's summary counts its packets per APID; problems and
        sequence checks belong to the whole."""
        p = Packets()
        for name in ("offsets", "lengths", *PrimaryHeader._fields):
            setattr(p, name, getattr(self, name)[first:stop])
        p.breaks = self.breaks[(self.breaks >= first) & (self.breaks < stop)] - first
        p.summary = _piece_summary(p, self.summary)
        p.buffer = self.buffer
        p.mapped = self.mapped
        return p

    def seeds(self, cuts: list[int]) -> list[Seed]:
        """The scan's state before each packet index in ``cuts`` (sorted)."""
        out = []
        apids = self.apid.astype(np.intp)
        order = np.argsort(apids, kind="stable")
        ordered = apids[order]
        present, firsts = np.unique(ordered, return_index=True)
        bounds = [*firsts.tolist(), len(ordered)]
        versions_before = np.zeros(len(self.version) + 1, dtype=np.uint8)
        np.bitwise_or.accumulate(np.left_shift(1, self.version.astype(np.uint8)), out=versions_before[1:])
        for cut in cuts:
            seen = np.zeros(2048, dtype=bool)
            prior = np.full(2048, -1, dtype=np.int32)
            for k, a in enumerate(present.tolist()):
                idx = order[bounds[k] : bounds[k + 1]]  # packets of APID a, in stream order
                n = int(np.searchsorted(idx, cut))
                if n:
                    seen[a] = True
                    prior[a] = int(self.sequence_count[idx[n - 1]])
            broken = bool(cut) and bool(np.isin(cut - 1, self.breaks))
            out.append(Seed(seen, int(versions_before[cut]), prior.tobytes(), broken))
        return out

    def header_columns(self, index: np.ndarray | None = None) -> dict[str, np.ndarray]:
        """The header fields under the table column names, for the packets
        at ``index`` (all when None)."""
        if index is None or len(index) == len(self.offsets):
            # Every packet, in order: the arrays themselves, not copies.
            return {col: getattr(self, attr) for col, attr in HEADER_COLUMNS.items()}
        return {col: getattr(self, attr)[index] for col, attr in HEADER_COLUMNS.items()}


class ScanOptions(NamedTuple):
    """What a caller tells the splitter beyond the bytes, checked and in
    the form the native scan takes."""

    prefix_bytes: int = 0
    versions: int = 0xFF  # bit v: version v accepted
    known: bytes | None = None  # 2048 bytes, nonzero for a declared APID
    fixed: bytes | None = None  # 2048 native u4: an APID's packet size, 0 for any

    @classmethod
    def of(
        cls,
        prefix_bytes: int = 0,
        versions: Any = None,
        apids: Any = None,
        lengths: Any = None,
    ) -> ScanOptions:
        if not isinstance(prefix_bytes, int) or isinstance(prefix_bytes, bool) or prefix_bytes < 0:
            raise ValueError(f"prefix_bytes must be a non-negative int, not {prefix_bytes!r}")
        mask = 0xFF
        if versions is not None:
            mask = 0
            for v in versions:
                if not isinstance(v, int) or isinstance(v, bool) or not 0 <= v <= 7:
                    raise ValueError(f"versions are ints from 0 to 7, not {v!r}")
                mask |= 1 << v
            if not mask:
                raise ValueError("versions must name at least one version number")
        known = None
        if apids is not None:
            table = bytearray(2048)
            for a in apids:
                table[_apid(a, "apids")] = 1
            known = bytes(table)
        fixed = None
        if lengths is not None:
            sizes = np.zeros(2048, dtype=np.uint32)
            for a, n in dict(lengths).items():
                if not isinstance(n, (int, np.integer)) or isinstance(n, bool) or not 7 <= n <= 65542:
                    raise ValueError(f"lengths are packet sizes from 7 to 65542 bytes, not {n!r} (APID {a!r})")
                sizes[_apid(a, "lengths")] = n
            fixed = sizes.tobytes()
        return cls(prefix_bytes, mask, known, fixed)


def _apid(value: Any, what: str) -> int:
    if not isinstance(value, (int, np.integer)) or isinstance(value, bool) or not 0 <= value <= 0x7FF:
        raise ValueError(f"{what} holds APIDs, ints from 0 to 2047, not {value!r}")
    return int(value)


def _scan(
    buffer: Any,
    options: ScanOptions,
    release: bool,
    name: str | None,
    *,
    start: int = 0,
    stop: int = -1,
    seed: Seed | None = None,
) -> Packets:
    """The records of ``buffer`` that start in [start, stop); ``seed`` is
    what a scan from the start had met before ``start`` (Packets.seeds), so
    that a piece scanned alone is split as the whole is."""
    seen = seed.seen if seed is not None else None
    seen_versions = seed.versions if seed is not None else 0
    prior = seed.prior if seed is not None else None
    known = options.known
    if seen is not None:
        table = np.frombuffer(known, dtype=np.uint8).astype(bool) if known else np.zeros(2048, bool)
        known = (table | seen).astype(np.uint8).tobytes()
    broken = seed.broken if seed is not None else False
    (n, offsets, lengths, version, type_, sec, apid, seqf, seqc, dlen, problems, events, stats, end, _, breaks) = (
        _native_scan(buffer, options, release, start, stop, seen_versions, known, prior, broken)
    )
    p = _packets_of(offsets, lengths, version, type_, sec, apid, seqf, seqc, dlen)
    p.breaks = np.frombuffer(breaks, dtype=np.int64)
    p.summary = _summary(n, problems, events, stats, end - min(start, end), options, name, _odd_versions(p.version))
    p.buffer = buffer
    p.mapped = release
    return p


_COLUMN_DTYPES = (np.int64, np.uint32, np.uint8, np.uint8, np.uint8, np.uint16, np.uint8, np.uint16, np.uint16)


def _packets_of(*blocks: Any) -> Packets:
    """Packets over the scan's column blocks (offsets, lengths and the
    header fields, in the scan's order), without copying them."""
    p = Packets()
    for name, block, dtype in zip(("offsets", "lengths", *PrimaryHeader._fields), blocks, _COLUMN_DTYPES):
        setattr(p, name, np.frombuffer(block, dtype=dtype))
    return p


def _piece_summary(p: Packets, whole: StreamSummary) -> StreamSummary:
    """The summary of a piece of a stream: its packets per APID (problems
    and sequence checks belong to the whole)."""
    apids, counts = np.unique(p.apid, return_counts=True)
    return StreamSummary(
        bytes=0,
        prefix_bytes=whole.prefix_bytes,
        packets=len(p.offsets),
        packet_bytes=int(p.lengths.sum()),
        apids=dict(zip(apids.tolist(), counts.tolist())),
        problems=(),
        sequence={},
        source=whole.source,
    )


def _summary(
    n: int, problems: Any, events: Any, stats: Any, size: int, options: ScanOptions, name: str | None, versions: dict
) -> StreamSummary:
    probs = np.frombuffer(problems, dtype=_PROBLEM_DTYPE)
    per_apid = np.frombuffer(stats, dtype=_STATS_DTYPE)
    counts = per_apid["packets"]
    present = np.flatnonzero(counts).tolist()
    return StreamSummary(
        bytes=size,
        prefix_bytes=options.prefix_bytes,
        packets=n,
        # Records and problem regions tile the stream.
        packet_bytes=size - int(probs["length"].sum()) - n * options.prefix_bytes,
        apids={a: int(counts[a]) for a in present},
        problems=tuple(StreamProblem(_KINDS[int(k)], int(o), int(ln), int(d)) for k, o, ln, d in probs.tolist()),
        sequence=sequence_reports(np.frombuffer(events, dtype=_EVENT_DTYPE), per_apid, present),
        source=name,
        versions=versions,
    )


class StepScan:
    """A stream split in steps, for callers that must not hold a column
    per packet of the whole stream (12 bytes a packet and more: at small
    packets, several times the stream's own size).

    A first pass counts: ``summary`` (packets per APID, problems, sequence
    checks) is that of :func:`split` from the start, except that its
    ``versions`` are filled in as the steps find the packets. ``steps``
    then yields the packets again, a piece of about ``step_bytes`` of the
    stream at a time, each a :class:`Packets` over the same buffer whose
    summary counts the piece's packets per APID. Both passes are the one
    scan of :func:`split`, its state carried from step to step, so the
    pieces hold exactly the packets ``split`` finds, in order."""

    def __init__(self, buffer: Any, options: ScanOptions, mapped: bool, name: str | None) -> None:
        self.buffer = buffer
        self.mapped = mapped
        self._options = options
        counter = self._scanner(count_only=True)
        self.size = _ccsds_scan_step(counter, -1, mapped)[-1]
        _sources.check_mapping(buffer)
        n, problems, events, stats, _, _ = _ccsds_scan_summary(counter)
        self.summary = _summary(n, problems, events, stats, self.size, options, name, {})
        self._versions = np.zeros(8, dtype=np.int64)

    def __len__(self) -> int:
        return self.summary.packets

    def _scanner(self, count_only: bool) -> Any:
        o = self._options
        return _ccsds_scanner(self.buffer, o.prefix_bytes, o.versions, o.known, o.fixed, count_only)

    def steps(self, step_bytes: int, summary: StreamSummary | None = None) -> Any:
        """The packets a step at a time; ``summary`` given, each step carries
        it rather than a count of its own packets."""
        scanner = self._scanner(count_only=False)
        position = 0
        while position < self.size:
            n, offsets, lengths, version, type_, sec, apid, seqf, seqc, dlen, position = _ccsds_scan_step(
                scanner, position + step_bytes, False
            )
            _sources.check_mapping(self.buffer)
            if not n:
                continue
            p = _packets_of(offsets, lengths, version, type_, sec, apid, seqf, seqc, dlen)
            p.breaks = np.zeros(0, dtype=np.int64)
            if p.version.any():
                self._versions += np.bincount(p.version, minlength=8)
            else:
                self._versions[0] += n
            p.summary = summary or _piece_summary(p, self.summary)
            p.buffer = self.buffer
            p.mapped = self.mapped
            yield p
        if self._versions[1:].any():  # as split() reports them: only when some version is other than 0
            self.summary.versions = {v: k for v, k in enumerate(self._versions.tolist()) if k}

    def release_pages(self, start: int, stop: int) -> None:
        """Gives the pages of a mapped file from ``start`` to ``stop`` back
        (read again from the page cache if touched later)."""
        release = getattr(self.buffer, "release_pages", None)
        if release is not None and self.mapped and stop > start:
            release(start, stop - start)


def _native_scan(
    buffer: Any,
    options: ScanOptions,
    release: bool,
    start: int,
    stop: int,
    seen_versions: int,
    known: bytes | None,
    prior: bytes | None,
    broken: bool,
) -> tuple[Any, ...]:
    result = _ccsds_scan(
        buffer,
        options.prefix_bytes,
        release,
        start,
        stop,
        options.versions,
        seen_versions,
        known,
        options.fixed,
        prior,
        broken,
    )
    _sources.check_mapping(buffer)
    return tuple(result)


def _odd_versions(version: np.ndarray) -> dict[int, int]:
    if not len(version) or not version.any():
        return {}
    counts = np.bincount(version, minlength=8)
    return {v: int(n) for v, n in enumerate(counts.tolist()) if n}


def warn_summary(summary: StreamSummary, stacklevel: int) -> None:
    if summary.problems:
        warnings.warn(StreamWarning(summary.stream_message()), stacklevel=stacklevel + 1)
    if summary.versions:
        warnings.warn(StreamWarning(summary.version_message()), stacklevel=stacklevel + 1)
    if any(r.gaps or r.repeats for r in summary.sequence.values()):
        warnings.warn(SequenceWarning(summary.sequence_message()), stacklevel=stacklevel + 1)


def split(
    source: Any,
    *,
    prefix_bytes: int = 0,
    warn: bool = True,
    versions: Any = None,
    apids: Any = None,
    lengths: Any = None,
    map: bool = True,
    max_bytes: int | None = None,
) -> Packets:
    """Splits a stream of CCSDS space packets by their length fields.

    ``source`` is a path, a binary file object (read from its current
    position) or any buffer (bytes, bytearray, memoryview, mmap, numpy uint8
    array; not copied). Files are memory-mapped unless ``map`` is false (then
    read into memory). A path or file that is not a regular file (a device,
    a pipe) is read as a stream and needs ``max_bytes``, the most bytes to
    read from it. ``prefix_bytes`` bytes before each packet are skipped.

    ``versions``: the version numbers to accept (default: any; ``(0,)``
    refuses the others). ``apids``: APIDs known beforehand, trusted like
    those already seen. ``lengths``: ``{apid: bytes}``, the size (header
    included) every packet of that APID must have.

    Problems in the stream (see the module's documentation) are listed in
    ``.summary`` and, unless ``warn`` is false, announced with
    :class:`StreamWarning` and :class:`SequenceWarning`. A mapped file that
    shrinks while it is read raises ``OSError`` naming the file and the
    offset.
    """
    if isinstance(source, Packets):
        return source
    options = ScanOptions.of(prefix_bytes, versions, apids, lengths)
    buffer, release, name = _sources.open_source(source, map=map, max_bytes=max_bytes)
    packets = _scan(buffer, options, release, name)
    if warn:
        warn_summary(packets.summary, stacklevel=2)
    return packets
