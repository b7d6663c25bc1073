"""Large packet files in pieces: byte ranges that start and end at packet
boundaries, decoded one at a time and joined into whole-file tables.

A stream of space packets has no sync pattern, so a packet boundary can only
be found by walking the length fields from the start of the file; the split
is fast enough (memory-mapped, in C++) to do that once and cut the file
where wanted. The command line uses the pieces for its progress line, the
Dask reader for partitions of files larger than its block size.
"""

from __future__ import annotations

import errno
import os
import warnings
from collections.abc import Callable, Iterable, Mapping
from typing import Any, NamedTuple

import numpy as np

from ._ragged import Ragged
from ._ragged import concatenate as concatenate_ragged


def piece_bounds(
    path: str | os.PathLike[str], piece_bytes: int, prefix_bytes: int = 0, *, map: bool = True
) -> list[tuple[int, int]]:
    """Byte ranges [start, stop) covering the whole file, each about
    `piece_bytes` long and cut only where a packet (with its prefix) starts.
    Leading stray bytes belong to the first range, a truncated tail to the
    last, so that the ranges decoded one by one hold what the file holds."""
    return [(p.start, p.stop) for p in plan_pieces(path, piece_bytes, prefix_bytes, map=map)]


class Piece(NamedTuple):
    """One byte range of a file to split on its own, with what a split of
    the whole file had met before it (so that it splits as the whole does)
    and the file's size and modification time when it was planned."""

    path: str
    start: int
    stop: int
    seed: Any  # ccsds.Seed, or None for a piece starting the file
    size: int
    mtime_ns: int


def plan_pieces(
    path: str | os.PathLike[str], piece_bytes: int | None, prefix_bytes: int = 0, *, map: bool = True, **split: Any
) -> list[Piece]:
    """The pieces of a file, each about `piece_bytes` long (one piece when
    None), cut where the split of the whole file finds a packet."""
    return plan_file(path, piece_bytes, prefix_bytes, map=map, **split).pieces


class FilePlan(NamedTuple):
    """The pieces of one file and, when it was split to cut them, what
    that split of the whole file found (its summary and prefix hint), so
    that the pieces' reports can be joined into the whole file's."""

    pieces: list[Piece]
    summary: Any  # ccsds.StreamSummary, or None for a file left whole
    prefix_hint: int | None


def plan_file(
    path: str | os.PathLike[str], piece_bytes: int | None, prefix_bytes: int = 0, *, map: bool = True, **split: Any
) -> FilePlan:
    """As plan_pieces, with the whole file's summary when it was split."""
    from bitloom_io._report import prefix_hint

    path = os.fspath(path)
    info = os.stat(path)
    if piece_bytes is None or info.st_size <= piece_bytes:
        return FilePlan([Piece(path, 0, info.st_size, None, info.st_size, info.st_mtime_ns)], None, None)
    packets = split_file(path, prefix_bytes, map=map, **split)
    cuts = _cuts(packets, piece_bytes, prefix_bytes)
    seeds = packets.seeds(cuts)
    starts = [0] + [int(packets.offsets[c]) - prefix_bytes for c in cuts[1:]]
    stops = starts[1:] + [info.st_size]
    pieces = [
        Piece(path, a, b, seed if a else None, info.st_size, info.st_mtime_ns)
        for a, b, seed in zip(starts, stops, seeds)
    ]
    plan = FilePlan(pieces, packets.summary, prefix_hint(packets))
    _close(packets)
    return plan


def split_file(path: str | os.PathLike[str], prefix_bytes: int = 0, **options: Any) -> Any:
    import bitloom_io

    return bitloom_io.ccsds.split(os.fspath(path), prefix_bytes=prefix_bytes, warn=False, **options)


def _cuts(packets: Any, piece_bytes: int, prefix_bytes: int) -> list[int]:
    """Indexes of the packets that start the pieces (0 first): a cut at the
    first packet at or past each multiple of `piece_bytes` from the last cut."""
    starts = np.asarray(packets.offsets, dtype=np.int64) - prefix_bytes
    cuts = [0]
    target = piece_bytes
    while True:
        i = int(np.searchsorted(starts, target))
        if i >= len(starts):
            break
        if i > cuts[-1]:
            cuts.append(i)
        target = max(int(starts[i]), target) + piece_bytes
    return cuts


def open_piece(piece: Piece, *, map: bool = True) -> Any:
    """The bytes of a planned piece's file (mapped, or the piece and what
    follows it read), refusing a file that changed since it was planned."""
    from bitloom_io import _sources

    with _sources.open_file(piece.path) as f:
        info = os.fstat(f.fileno())
        if (info.st_size, info.st_mtime_ns) != (piece.size, piece.mtime_ns):
            raise OSError(
                errno.ESTALE,
                f"{piece.path} changed after it was planned (size {piece.size} -> {info.st_size} bytes, "
                "modification time changed too)"
                if info.st_size != piece.size
                else f"{piece.path} changed after it was planned (its modification time is not the one planned)",
            )
        if piece.size == 0:
            buffer: Any = b""
        elif map:
            buffer = _sources.map_file(f, piece.path)
        else:
            # The piece and everything after it: a record of an odd version
            # is judged by whether the records after it chain by length to
            # the very end of the file, so the split of a piece may look as
            # far as that, as the split of the whole file did.
            buffer = _sources.read_range(f, piece.path, piece.start, piece.size)
    return buffer


def concat_columns(parts: list[Any]) -> Any:
    """One column from the same column of several pieces: numpy's promotion
    widens the dtype where pieces chose different widths; masked pieces give
    a masked column; ragged pieces a ragged column."""
    if len(parts) == 1:
        return parts[0]
    if isinstance(parts[0], Ragged):
        return concatenate_ragged(parts)
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
    map: bool = True,
) -> Any:
    """`decode` over the file's pieces, joined; `progress(done_bytes,
    packets)` after each piece and once more with final=True.

    The file is split once, whole, and each piece is handed to `decode` as
    the packets that split found in it, so the pieces hold exactly the
    packets of a whole-file decode, whatever the piece size. What is wrong
    with the stream (stray bytes, a truncated packet, gaps in the sequence
    counts) is warned about once, for the whole file, as decoding it in one
    go would; the joined tables' summary is the whole file's."""
    import bitloom_io
    from bitloom_io import _sources
    from bitloom_io._tables import Tables

    packets = split_file(path, prefix_bytes, map=map)
    summary = packets.summary
    size = summary.bytes
    bitloom_io.ccsds.warn_summary(summary, stacklevel=2)
    cuts = _cuts(packets, chunk_bytes, prefix_bytes) if size > chunk_bytes else [0]
    bounds = [*cuts, len(packets)]
    results = []
    rows = 0
    for k, (first, stop) in enumerate(zip(bounds, bounds[1:])):
        piece = packets if len(cuts) == 1 else packets.piece(first, stop)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", bitloom_io.StreamWarning)
            warnings.simplefilter("ignore", bitloom_io.SequenceWarning)
            warnings.simplefilter("ignore", bitloom_io.DecodeWarning)
            tables = decode(piece, prefix_bytes=prefix_bytes)
        results.append(tables)
        rows += sum(len(t) for t in tables.values())
        if progress is not None:
            done = int(packets.offsets[bounds[k + 1]]) - prefix_bytes if k + 2 < len(bounds) else size
            progress(done, rows)
    joined = Tables(concat_tables(results))
    # A table that is the only piece of its type may still hold arrays that
    # view the map: those are copied, then the map is let go.
    joined = Tables({name: _detach(t) for name, t in joined.items()})
    joined.summary = summary
    buffer = packets.buffer
    del results, packets, piece
    _sources.check_mapping(buffer)
    _close_buffer(buffer)
    if progress is not None:
        progress(size, rows, final=True)
    return joined


def _close(packets: Any) -> None:
    buffer = packets.buffer
    del packets
    _close_buffer(buffer)


def _close_buffer(buffer: Any) -> None:
    if hasattr(buffer, "close"):
        try:
            buffer.close()
        except BufferError:  # something still views it: the map goes with that
            pass


def _detach(table: Any) -> Any:
    columns = table.columns
    if not any(_borrows(col) for col in columns.values()):
        return table
    return rebuild_table(table, {k: (np.array(v, copy=True) if _borrows(v) else v) for k, v in columns.items()})


def _borrows(array: Any) -> bool:
    return isinstance(array, np.ndarray) and array.base is not None and not array.flags.owndata


def split_piece(piece: Piece, buffer: Any, prefix_bytes: int = 0, **options: Any) -> Any:
    """The packets of one piece, as the split of the whole file found them."""
    from bitloom_io import ccsds

    scan = ccsds.ScanOptions.of(prefix_bytes, **options)
    return ccsds._scan(buffer, scan, False, piece.path, start=piece.start, stop=piece.stop, seed=piece.seed)
