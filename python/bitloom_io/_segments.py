"""Segmented packets joined per APID before decoding: a first segment, its
continuations and its last, with consecutive sequence counts, become one
packet; whatever does not complete such a run is left out and reported."""

from __future__ import annotations

import numpy as np

from bitloom_io import ccsds

# CCSDS sequence flags.
_CONTINUATION, _FIRST, _LAST, _UNSEGMENTED = 0, 1, 2, 3
_COUNTS = 1 << 14
# How many byte offsets a note lists.
_FIRST_OFFSETS = 5


def join(packets: ccsds.Packets, drop: int = 0) -> tuple[ccsds.Packets, list[str]]:
    """The packets with each complete run of segments joined into one packet
    (the first segment whole, then the data of each later one after its
    primary header and ``drop`` more bytes, its secondary header), and notes
    on the segments left out. A joined packet keeps its first segment's header
    but for its length and its sequence flags (unsegmented)."""
    if drop < 0:
        raise ValueError(f"segment_header_bytes must be 0 or more, not {drop}")
    flags = np.asarray(packets.sequence_flags)
    if not len(flags) or (flags == _UNSEGMENTED).all():
        return packets, []
    view = memoryview(packets.buffer).cast("B")
    offsets, lengths = packets.offsets.tolist(), packets.lengths.tolist()
    counts, apids = packets.sequence_count.tolist(), packets.apid.tolist()
    pieces: list[tuple[int, list[int]]] = []  # (first packet, the packets joined), in stream order
    lost: dict[int, list[int]] = {}  # APID -> packets left out
    open_runs: dict[int, list[int]] = {}
    for k, flag in enumerate(flags.tolist()):
        apid = apids[k]
        run = open_runs.get(apid)
        follows = run is not None and counts[k] == (counts[run[-1]] + 1) % _COUNTS
        if flag == _UNSEGMENTED or flag == _FIRST:
            if run is not None:
                lost.setdefault(apid, []).extend(open_runs.pop(apid))
            if flag == _FIRST:
                open_runs[apid] = [k]
            else:
                pieces.append((k, [k]))
            continue
        if run is None or not follows:
            # A segment whose first is missing, or after a gap in the counts.
            lost.setdefault(apid, []).extend([*(open_runs.pop(apid, None) or []), k])
            continue
        run.append(k)
        if flag == _LAST:
            pieces.append((run[0], open_runs.pop(apid)))
    for apid, run in open_runs.items():
        lost.setdefault(apid, []).extend(run)
    pieces.sort()
    out = bytearray()
    new_offsets, new_lengths, firsts = [], [], []
    for first, run in pieces:
        start = len(out)
        o, n = offsets[first], lengths[first]
        out += view[o : o + n]
        for k in run[1:]:
            o, n = offsets[k], lengths[k]
            skip = min(6 + drop, n)
            out += view[o + skip : o + n]
        size = len(out) - start
        if len(run) > 1:
            if size - 7 >= 1 << 16:
                raise ValueError(
                    f"APID {apids[first]}: the segments from byte {offsets[first]} join into {size} bytes, "
                    "more than one packet's length field holds"
                )
            out[start + 4 : start + 6] = (size - 7).to_bytes(2, "big")
            out[start + 2] |= 0xC0
        new_offsets.append(start)
        new_lengths.append(size)
        firsts.append(first)
    joined = ccsds.Packets()
    index = np.array(firsts, dtype=np.int64)
    for name in ccsds.HEADER_COLUMNS.values():
        setattr(joined, name, np.asarray(getattr(packets, name))[index])
    joined.offsets = np.array(new_offsets, dtype=np.int64)
    joined.lengths = np.array(new_lengths, dtype=np.int64)
    joined.data_length = (joined.lengths - 7).astype(np.asarray(packets.data_length).dtype)
    joined.sequence_flags = np.full(len(index), _UNSEGMENTED, dtype=flags.dtype)
    joined.summary = packets.summary
    joined.buffer = bytes(out)
    joined.breaks = np.zeros(0, dtype=np.int64)
    joined.mapped = False
    notes = []
    for apid, left in sorted(lost.items()):
        left.sort()
        where = ", ".join(str(offsets[k]) for k in left[:_FIRST_OFFSETS])
        notes.append(
            f"APID {apid}: {len(left)} segment{'s' if len(left) != 1 else ''} left out, not part of a complete "
            f"run of first, continuation and last segments with consecutive sequence counts (at bytes {where}"
            f"{', ...' if len(left) > _FIRST_OFFSETS else ''} of the stream)"
        )
    return joined, notes
