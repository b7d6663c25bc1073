"""From a packet stream to tables: split, route each packet to a layout by
its APID (and, through :class:`Select`, by a field after the header), decode
every layout's packets in one batch and put the primary-header columns
beside the layout's fields."""

from __future__ import annotations

import mmap
import warnings
from collections.abc import Mapping
from typing import Any, Union

import numpy as np

from . import ccsds
from ._tables import Table, Tables

__all__ = ["decode", "Select", "DecodeWarning", "DEFAULT"]

class _DefaultKey(str):
    """The string ``"*"``, as a named constant of this package."""

    __slots__ = ()


#: The key of ``layouts`` that covers every APID without a layout of its own
#: (equal to the string ``"*"``).
DEFAULT = _DefaultKey("*")


class DecodeWarning(UserWarning):
    """Packets a layout could not decode (too short for it, a bad value);
    they are left out of the tables and counted in the summary."""


def _single_field_layout(item: Mapping[str, Any]) -> Any:
    from ._native import Layout

    return Layout([dict(item)], exact=True)


class Select:
    """Picks a layout per packet by the value of one field after the header.

    ``field`` is a recipe item (a dict, its ``offset_bits`` counted from the
    first bit of the packet, primary header included), read at its exact
    bits; ``layouts`` maps each value to a ``Layout`` (or another
    ``Select``). Tables are named ``<parent>_<value>`` unless ``names``
    gives a name for the value. Packets whose value has no layout are
    counted in the summary as not decoded.

    >>> Select({"name": "ID", "encoding": "unsigned", "bits": 8,
    ...         "byte_order": "big", "reverse_bits": False, "offset_bits": 48},
    ...        {1: hk_layout, 2: event_layout}, names={1: "hk", 2: "events"})
    """

    __slots__ = ("field", "layouts", "names", "_reader")

    def __init__(
        self,
        field: Mapping[str, Any],
        layouts: Mapping[Any, Any],
        *,
        names: Mapping[Any, str] | None = None,
    ) -> None:
        self.field = dict(field)
        self.layouts = dict(layouts)
        self.names = dict(names or {})
        self._reader = _single_field_layout(self.field)

    def __repr__(self) -> str:
        return f"Select({self.field.get('name')!r}, {sorted(self.layouts, key=repr)!r})"

    def name_for(self, parent: str, value: Any) -> str:
        return str(self.names.get(value, f"{parent}_{value}"))

    def values(self, buffer: Any, offsets: np.ndarray, lengths: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The field's value per packet and a mask of the packets where it
        could not be read."""
        cols = self._reader.unpack_many(buffer, offsets=offsets, lengths=lengths, errors="mask")
        (values,) = cols.values()
        return np.ma.getdata(values), np.asarray(cols.failed, dtype=bool)


LayoutOrRule = Union[Any, Select]


def _apid_key(key: Any) -> int | str:
    if key == DEFAULT:
        return DEFAULT
    try:
        apid = int(key)
    except (TypeError, ValueError):
        raise ValueError(f"layouts keys are APIDs (0-2047) or {DEFAULT!r}, not {key!r}") from None
    if not 0 <= apid <= 0x7FF or isinstance(key, bool):
        raise ValueError(f"layouts keys are APIDs (0-2047) or {DEFAULT!r}, not {key!r}")
    return apid


class _Run:
    def __init__(self, packets: ccsds.Packets) -> None:
        self.packets = packets
        self.tables = Tables()
        self.undecoded: dict[int, int] = {}
        self.failed: list[np.ndarray] = []

    def route(self, name: str, target: LayoutOrRule, index: np.ndarray | None) -> None:
        """Decodes the packets at ``index`` (all of them when None) into the
        table ``name``."""
        p = self.packets
        if index is None:  # every packet, in order: no copies
            offsets, lengths = p.offsets, p.lengths
        else:
            offsets, lengths = p.offsets[index], p.lengths[index]
        if isinstance(target, Select):
            if index is None:
                index = np.arange(len(p))
            values, unread = target.values(p.buffer, offsets, lengths)
            if unread.any():
                self.failed.append(offsets[unread])
            matched = np.zeros(len(index), dtype=bool)
            for value, sub in target.layouts.items():
                chosen = (values == value) & ~unread
                matched |= chosen
                self.route(target.name_for(name, value), sub, index[chosen])
            self.count_undecoded(index[~matched & ~unread])
            return
        if not hasattr(target, "unpack_many"):
            raise TypeError(f"layouts values are Layout or Select, not {type(target).__name__}")
        fields, failed = _unpack(target, p, offsets, lengths)
        if failed is not None:
            self.failed.append(offsets[failed])
            keep = ~failed
            fields = {k: v[keep] for k, v in fields.items()}
            index = np.flatnonzero(keep) if index is None else index[keep]
        columns = p.header_columns(index)
        columns.update(fields)
        if name in self.tables:
            raise ValueError(f"two packet types are named {name!r}")
        self.tables[name] = Table(name, columns, getattr(target, "column_meta", None))

    def count_undecoded(self, index: np.ndarray) -> None:
        if len(index):
            apids, counts = np.unique(self.packets.apid[index], return_counts=True)
            for a, n in zip(apids.tolist(), counts.tolist()):
                self.undecoded[a] = self.undecoded.get(a, 0) + n


# Decoding a memory-mapped file goes in steps of this many bytes; the pages
# of each step are given back afterwards, so the file never becomes resident
# as a whole.
_STEP_BYTES = 8 << 20


def _unpack_part(layout: Any, buffer: Any, offsets: np.ndarray, lengths: np.ndarray) -> tuple[dict[str, np.ndarray], np.ndarray | None]:
    # The common case, every packet decoding, needs no masks.
    try:
        return dict(layout.unpack_many(buffer, offsets=offsets, lengths=lengths)), None
    except ValueError:
        cols = layout.unpack_many(buffer, offsets=offsets, lengths=lengths, errors="mask")
        failed = np.asarray(cols.failed, dtype=bool)
        return {k: np.ma.getdata(v) for k, v in cols.items()}, failed


def _unpack(layout: Any, packets: ccsds.Packets, offsets: np.ndarray, lengths: np.ndarray) -> tuple[dict[str, np.ndarray], np.ndarray | None]:
    """The layout's columns for the packets at ``offsets``, and a mask of the
    packets that failed (None when none did)."""
    if not packets.mapped or len(offsets) == 0 or int(offsets[-1]) - int(offsets[0]) <= _STEP_BYTES:
        return _unpack_part(layout, packets.buffer, offsets, lengths)
    starts = np.searchsorted(offsets, np.arange(int(offsets[0]), int(offsets[-1]) + 1, _STEP_BYTES))
    bounds = np.r_[np.unique(starts), len(offsets)].tolist()
    buffer = packets.buffer
    page = mmap.PAGESIZE
    parts: list[dict[str, np.ndarray]] = []
    masks: list[np.ndarray | None] = []
    released = 0
    for s, e in zip(bounds[:-1], bounds[1:]):
        cols, failed = _unpack_part(layout, buffer, offsets[s:e], lengths[s:e])
        parts.append(cols)
        masks.append(failed)
        done = (int(offsets[e - 1]) + int(lengths[e - 1])) // page * page
        if done > released and hasattr(buffer, "madvise"):
            buffer.madvise(mmap.MADV_DONTNEED, released, done - released)
            released = done
    # One column at a time, so that the parts and the whole overlap for one
    # column only.
    fields = {name: np.concatenate([part.pop(name) for part in parts]) for name in list(parts[0])}
    if all(m is None for m in masks):
        return fields, None
    return fields, np.concatenate([np.zeros(e - s, bool) if m is None else m for m, s, e in zip(masks, bounds[:-1], bounds[1:])])


def decode(source: Any, layouts: Mapping[Any, LayoutOrRule], *, prefix_bytes: int = 0) -> Tables:
    """Splits a stream of CCSDS space packets and decodes each packet with
    the layout for its APID, one table per packet type.

    ``source`` is a path, a binary file object or a buffer (see
    :func:`bitloom_io.ccsds.split`). ``layouts`` maps APIDs (ints, or
    strings of digits) to a ``Layout`` or a :class:`Select`; the key ``"*"``
    covers every APID without its own entry. Layout positions count from the
    first byte of the packet (primary header included). Tables are named
    ``apid<N>`` (``Select`` names its own). Each table has the primary-header
    columns (``CCSDS_VERSION_NUMBER`` ... ``CCSDS_PACKET_LENGTH``) and then
    the layout's fields.

    Whatever decodes is returned: problems of the stream are reported as for
    ``split`` (``StreamWarning``, ``SequenceWarning``), packets a layout cannot
    decode are left out of their table and reported with ``DecodeWarning``,
    and packets of APIDs without a layout are counted in
    ``tables.summary.undecoded``.
    """
    routes = {_apid_key(k): v for k, v in layouts.items()}
    packets = ccsds.split(source, prefix_bytes=prefix_bytes, warn=False)
    run = _Run(packets)
    apid = packets.apid
    present = set(packets.summary.apids)
    wanted = [a for a in routes if a != DEFAULT]
    if DEFAULT in routes:
        wanted += [a for a in present if a not in routes]
    for a in sorted(wanted):
        index: np.ndarray | None
        if a not in present:
            index = np.zeros(0, dtype=np.intp)
        elif len(present) == 1:
            index = None
        else:
            index = np.flatnonzero(apid == a)
        run.route(f"apid{a}", routes.get(a, routes.get(DEFAULT)), index)
    if present - set(wanted):
        run.count_undecoded(np.flatnonzero(~np.isin(apid, wanted)))

    summary = packets.summary
    summary.undecoded = dict(sorted(run.undecoded.items()))
    if run.failed:
        summary.failed_offsets = tuple(np.sort(np.concatenate(run.failed)).tolist())
    ccsds.warn_summary(summary, stacklevel=2)
    if summary.failed_offsets:
        first = ", ".join(str(o) for o in summary.failed_offsets[:5])
        warnings.warn(
            DecodeWarning(
                f"{len(summary.failed_offsets)} packets could not be decoded by their layout "
                f"and are left out (byte offsets {first}{', ...' if len(summary.failed_offsets) > 5 else ''})"
            ),
            stacklevel=2,
        )
    run.tables.summary = summary
    return run.tables
