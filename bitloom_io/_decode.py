"""From a packet stream to tables: split, route each packet to a layout by
its APID (and, through :class:`Select`, by a field after the header), decode
every layout's packets in one batch and put the primary-header columns
beside the layout's fields."""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from typing import Any, Union

import numpy as np

from . import ccsds
from ._tables import Table, Tables

__all__ = ["decode", "Select", "DecodeWarning", "DEFAULT"]

#: The key of ``layouts`` that covers every APID without a layout of its own.
DEFAULT = "*"


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
        return self.names.get(value, f"{parent}_{value}")

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

    def route(self, name: str, target: LayoutOrRule, index: np.ndarray) -> None:
        p = self.packets
        offsets, lengths = p.offsets[index], p.lengths[index]
        if isinstance(target, Select):
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
        cols = target.unpack_many(p.buffer, offsets=offsets, lengths=lengths, errors="mask")
        failed = np.asarray(cols.failed, dtype=bool)
        if failed.any():
            self.failed.append(offsets[failed])
            keep = ~failed
            fields = {k: np.ma.getdata(v)[keep] for k, v in cols.items()}
            index = index[keep]
        else:
            fields = {k: np.ma.getdata(v) for k, v in cols.items()}
        columns = p.header_columns(index)
        columns.update(fields)
        if name in self.tables:
            raise ValueError(f"two packet types are named {name!r}")
        self.tables[name] = Table(name, columns)

    def count_undecoded(self, index: np.ndarray) -> None:
        if len(index):
            apids, counts = np.unique(self.packets.apid[index], return_counts=True)
            for a, n in zip(apids.tolist(), counts.tolist()):
                self.undecoded[a] = self.undecoded.get(a, 0) + n


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
    order = np.argsort(apid, kind="stable")
    sorted_apids = apid[order]
    present = np.unique(sorted_apids).tolist()
    wanted = [a for a in routes if a != DEFAULT]
    if DEFAULT in routes:
        wanted += [a for a in present if a not in routes]
    for a in sorted(wanted):
        lo, hi = np.searchsorted(sorted_apids, [a, a + 1])
        index = np.sort(order[lo:hi])
        target = routes.get(a, routes.get(DEFAULT))
        run.route(f"apid{a}", target, index)
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
