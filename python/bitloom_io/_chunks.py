"""Large packet files in pieces: byte ranges that start and end at packet
boundaries, decoded one at a time and joined into whole-file tables.

A stream of space packets has no sync pattern, so a packet boundary can only
be found by walking the length fields from the start of the file; the split
is fast enough (memory-mapped, in C++) to do that once and cut the file
where wanted. The command line uses the pieces for its progress line, the
Dask reader for partitions of files larger than its block size.
"""

from __future__ import annotations

import mmap
import os
import warnings
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import numpy as np


def piece_bounds(path: str | os.PathLike[str], piece_bytes: int, prefix_bytes: int = 0) -> list[tuple[int, int]]:
    """Byte ranges [start, stop) covering the whole file, each about
    `piece_bytes` long and cut only where a packet (with its prefix) starts.
    Leading stray bytes belong to the first range, a truncated tail to the
    last, so that the ranges decoded one by one hold what the file holds."""
    size = os.path.getsize(path)
    if size <= piece_bytes:
        return [(0, size)]
    return _bounds(split_file(path, prefix_bytes), size, piece_bytes, prefix_bytes)


def split_file(path: str | os.PathLike[str], prefix_bytes: int = 0) -> Any:
    import bitloom_io

    return bitloom_io.ccsds.split(os.fspath(path), prefix_bytes=prefix_bytes, warn=False)


def _bounds(packets: Any, size: int, piece_bytes: int, prefix_bytes: int) -> list[tuple[int, int]]:
    starts = np.asarray(packets.offsets, dtype=np.int64) - prefix_bytes
    bounds = [0]
    target = piece_bytes
    while target < size:
        i = int(np.searchsorted(starts, target))
        if i >= len(starts):
            break
        cut = int(starts[i])
        if cut > bounds[-1]:
            bounds.append(cut)
        target = max(cut, target) + piece_bytes
    bounds.append(size)
    return [(a, b) for a, b in zip(bounds, bounds[1:]) if b > a] or [(0, size)]


def concat_columns(parts: list[Any]) -> Any:
    """One column from the same column of several pieces: numpy's promotion
    widens the dtype where pieces chose different widths; masked pieces give
    a masked column."""
    if len(parts) == 1:
        return parts[0]
    if any(isinstance(p, np.ma.MaskedArray) for p in parts):
        return np.ma.concatenate(parts)
    return np.concatenate(parts)


def concat_tables(pieces: Iterable[Mapping[str, Any]]) -> dict[str, Any]:
    """Joins per-piece results ({packet type: Table}) into one Table per
    packet type, in order of first appearance."""
    grouped: dict[str, list[Any]] = {}
    for tables in pieces:
        for name, table in tables.items():
            grouped.setdefault(name, []).append(table)
    joined: dict[str, Any] = {}
    for name, parts in grouped.items():
        if len(parts) == 1:
            joined[name] = parts[0]
            continue
        first = parts[0]
        columns = {col: concat_columns([t.columns[col] for t in parts]) for col in first.columns}
        joined[name] = rebuild_table(first, columns)
    return joined


def rebuild_table(template: Any, columns: dict[str, Any]) -> Any:
    """A table like `template` (same type and name) holding `columns`."""
    return type(template)(template.name, columns)


def decode_in_pieces(
    path: str | os.PathLike[str],
    decode: Callable[..., Mapping[str, Any]],
    *,
    prefix_bytes: int = 0,
    chunk_bytes: int = 16 << 20,
    progress: Callable[..., None] | None = None,
) -> Any:
    """`decode` over the file's pieces, joined; `progress(done_bytes,
    packets)` after each piece and once more with final=True.

    What is wrong with the stream (stray bytes, a truncated packet, gaps in
    the sequence counts) is warned about once, for the whole file, as
    decoding it in one go would: the pieces' own stream warnings would miss
    gaps that straddle a cut."""
    import bitloom_io

    packets = split_file(path, prefix_bytes)
    size = os.path.getsize(path)
    bounds = _bounds(packets, size, chunk_bytes, prefix_bytes) if size > chunk_bytes else [(0, size)]
    summary = packets.summary
    del packets
    bitloom_io.ccsds.warn_summary(summary, stacklevel=2)
    results = []
    packets = 0
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size == 0:
            return decode(b"", prefix_bytes=prefix_bytes)
        mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    view = memoryview(mm)
    for start, stop in bounds:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", bitloom_io.StreamWarning)
            warnings.simplefilter("ignore", bitloom_io.SequenceWarning)
            tables = decode(view[start:stop], prefix_bytes=prefix_bytes)
        results.append(tables)
        packets += sum(len(t) for t in tables.values())
        if progress is not None:
            progress(stop, packets)
    joined = concat_tables(results)
    # A table that is the only piece of its type may still hold arrays that
    # view the map: those are copied, then the map is let go.
    joined = {name: _detach(t) for name, t in joined.items()}
    del results, tables
    try:
        view.release()
        mm.close()
    except BufferError:  # something still views it: the map goes with that
        pass
    if progress is not None:
        progress(size, packets, final=True)
    return joined


def _detach(table: Any) -> Any:
    columns = table.columns
    if not any(_borrows(col) for col in columns.values()):
        return table
    return rebuild_table(table, {k: (np.array(v, copy=True) if _borrows(v) else v) for k, v in columns.items()})


def _borrows(array: Any) -> bool:
    return isinstance(array, np.ndarray) and array.base is not None and not array.flags.owndata
