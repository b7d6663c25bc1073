"""Columns of one array per row, of lengths that vary from row to row: an
entry repeated as many times as an earlier field says, an array whose size
the packet gives."""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

__all__ = ["Ragged"]

_OBJECT = np.dtype(object)


class Ragged:
    """A column with one array of values per row.

    The values of every row are kept one row after another in ``values``
    (a numpy array); row ``k`` is ``values[offsets[k]:offsets[k + 1]]``, so
    ``offsets`` has one entry more than there are rows. ``mask`` (a bool
    array, or None) marks the rows that are absent (a packet that does not
    hold the entry); their rows are empty.

    ``column[k]`` is row ``k`` (a view of ``values``; ``numpy.ma.masked``
    where absent), ``column[rows]`` with a slice, a bool mask or indexes is
    a ``Ragged`` of those rows, and ``numpy.asarray(column)`` an object
    array of the rows. ``to_arrow`` makes it a list array without copying
    the values; ``to_pandas`` one numpy array per row."""

    __slots__ = ("values", "offsets", "mask")

    #: What code that tells columns apart by their dtype sees: a column of objects.
    dtype = _OBJECT
    ndim = 1

    values: np.ndarray
    offsets: np.ndarray
    mask: np.ndarray | None

    def __init__(self, values: Any, offsets: Any, mask: Any = None) -> None:
        values = np.asarray(values)
        offsets = np.asarray(offsets)
        if values.ndim != 1:
            raise ValueError(f"values must be one-dimensional, not of shape {values.shape}")
        if offsets.ndim != 1 or not len(offsets) or offsets.dtype.kind not in "iu":
            raise ValueError("offsets must be a non-empty one-dimensional array of integers")
        offsets = offsets.astype(np.int64, copy=False)
        if offsets[0] < 0 or offsets[-1] > len(values) or (np.diff(offsets) < 0).any():
            raise ValueError(f"offsets must rise from 0 or more to at most len(values) ({len(values)})")
        if mask is not None:
            mask = np.asarray(mask, dtype=bool)
            if mask.shape != (len(offsets) - 1,):
                raise ValueError(f"mask must have one value per row ({len(offsets) - 1}), not shape {mask.shape}")
            if (offsets[1:][mask] != offsets[:-1][mask]).any():
                raise ValueError("a masked row must be empty")
            if not mask.any():
                mask = None
        self.values, self.offsets, self.mask = values, offsets, mask

    @classmethod
    def _of(cls, values: np.ndarray, offsets: np.ndarray, mask: np.ndarray | None = None) -> Ragged:
        """Without the checks, for parts that hold by construction."""
        column = cls.__new__(cls)
        column.values, column.offsets = values, offsets
        column.mask = mask if mask is not None and mask.any() else None
        return column

    @classmethod
    def from_lengths(cls, values: np.ndarray, lengths: Any, mask: Any = None) -> Ragged:
        """The rows of ``values`` cut in pieces of ``lengths`` (one per row)."""
        offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
        np.cumsum(lengths, out=offsets[1:])
        return cls(values, offsets, mask)

    @classmethod
    def from_rows(cls, rows: Sequence[Any], dtype: Any = None) -> Ragged:
        """A ragged column of the arrays (or sequences) ``rows``; None is an absent row."""
        parts = [np.asarray(r, dtype=dtype) if r is not None else None for r in rows]
        present = [p for p in parts if p is not None]
        if dtype is None:
            dtype = np.result_type(*present) if present else np.float64
        lengths = [len(p) if p is not None else 0 for p in parts]
        values = np.concatenate(present).astype(dtype, copy=False) if present else np.zeros(0, dtype)
        mask = np.array([p is None for p in parts], dtype=bool)
        return cls.from_lengths(values, lengths, mask)

    # -- as a column ------------------------------------------------------

    @property
    def shape(self) -> tuple[int]:
        return (len(self.offsets) - 1,)

    @property
    def lengths(self) -> np.ndarray:
        """How many values each row has."""
        return np.diff(self.offsets)

    @property
    def flat(self) -> np.ndarray:
        """The values of the rows, one row after another (a view of ``values``)."""
        return self.values[self.offsets[0] : self.offsets[-1]]

    def __len__(self) -> int:
        return len(self.offsets) - 1

    def __getitem__(self, key: Any) -> Any:
        if isinstance(key, (int, np.integer)):
            k = int(key)
            n = len(self)
            if not -n <= k < n:
                raise IndexError(f"row {k} is out of range for a column of {n} rows")
            k %= n
            if self.mask is not None and self.mask[k]:
                return np.ma.masked
            return self.values[self.offsets[k] : self.offsets[k + 1]]
        if isinstance(key, slice) and key.step in (None, 1):
            start, stop, _ = key.indices(len(self))
            stop = max(start, stop)
            return Ragged._of(
                self.values, self.offsets[start : stop + 1], None if self.mask is None else self.mask[start:stop]
            )
        return self.take(np.arange(len(self))[key] if isinstance(key, slice) else key)

    def take(self, rows: Any) -> Ragged:
        """The rows ``rows`` (indexes, or a bool mask), in that order, their values copied."""
        index = np.asarray(rows)
        if index.size == 0 and index.dtype.kind == "f":  # an empty list of rows
            index = index.astype(np.int64)
        if index.dtype == bool:
            if index.shape != (len(self),):
                raise IndexError(f"a bool mask of {index.shape} for a column of {len(self)} rows")
            index = np.flatnonzero(index)
        elif index.dtype.kind not in "iu" or index.ndim != 1:
            raise IndexError("rows are chosen by an int, a slice, indexes or a bool mask")
        starts = self.offsets[:-1][index]
        lengths = self.offsets[1:][index] - starts
        offsets = np.zeros(len(index) + 1, dtype=np.int64)
        np.cumsum(lengths, out=offsets[1:])
        # Element k of the result comes from starts[row] + (k - offsets[row]).
        total = int(offsets[-1])
        source = np.repeat(starts - offsets[:-1], lengths) + np.arange(total, dtype=np.int64)
        values = self.values[source]
        return Ragged._of(values, offsets, None if self.mask is None else self.mask[index])

    def __iter__(self) -> Iterator[Any]:
        for k in range(len(self)):
            yield self[k]

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> np.ndarray:
        if copy is False:
            raise ValueError("a ragged column becomes an array of objects only by making one")
        out = np.empty(len(self), dtype=object)
        values, offsets = self.values, self.offsets.tolist()
        for k in range(len(self)):
            out[k] = values[offsets[k] : offsets[k + 1]]
        return out if dtype is None else out.astype(dtype)

    def tolist(self) -> list[list[Any] | None]:
        """A list of rows as lists, None where a row is absent."""
        flat = self.flat.tolist()
        first = int(self.offsets[0])
        bounds = (self.offsets - first).tolist()
        mask = self.mask.tolist() if self.mask is not None else None
        return [
            None if mask is not None and mask[k] else flat[bounds[k] : bounds[k + 1]] for k in range(len(bounds) - 1)
        ]

    def map(self, convert: Callable[[np.ndarray], np.ndarray | None]) -> Ragged | None:
        """``convert`` applied to all the values at once (one value out per
        value in), cut into the same rows; None when it gives None."""
        converted = convert(self.flat)
        if converted is None:
            return None
        return Ragged._of(np.asarray(converted), self.offsets - self.offsets[0], self.mask)

    def with_mask(self, mask: np.ndarray) -> Ragged:
        """The column with the rows ``mask`` absent as well (their values dropped)."""
        mask = np.asarray(mask, dtype=bool)
        if self.mask is not None:
            mask = mask | self.mask
        if not mask.any():
            return self
        kept = self.take(np.arange(len(self)))  # a copy whose offsets start at 0
        lengths = np.where(mask, 0, kept.lengths)
        keep = np.repeat(~mask, kept.lengths)
        return Ragged.from_lengths(kept.values[keep], lengths, mask)

    def __repr__(self) -> str:
        absent = f", {int(self.mask.sum())} absent" if self.mask is not None else ""
        return f"<Ragged: {len(self)} rows of {self.values.dtype}, {len(self.flat)} values{absent}>"


def concatenate(parts: Sequence[Ragged]) -> Ragged:
    """The rows of ``parts``, one part after another."""
    if len(parts) == 1:
        return parts[0]
    values = np.concatenate([p.flat for p in parts])
    offsets = np.zeros(sum(len(p) for p in parts) + 1, dtype=np.int64)
    at, base = 1, 0
    for p in parts:
        offsets[at : at + len(p)] = p.offsets[1:] - p.offsets[0] + base
        at += len(p)
        base += int(p.offsets[-1] - p.offsets[0])
    masks = [p.mask if p.mask is not None else np.zeros(len(p), bool) for p in parts]
    mask = np.concatenate(masks) if any(p.mask is not None for p in parts) else None
    return Ragged._of(values, offsets, mask)
