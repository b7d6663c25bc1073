"""From tables back to a stream of CCSDS space packets: the inverse of
:func:`bitloom_io.decode`.

Each table's fields are placed at their exact bits by its layout's
``pack_many``; the six bytes of the primary header are then written per
packet from the table's header columns where it has them and from the
definition and the packet's size where it does not; packets of several
tables are interleaved in one order; and a packet error control field is
computed last, over the finished packet."""

from __future__ import annotations

import os
import weakref
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import ccsds
from ._decode import DEFAULT, Select
from ._tables import Table, atomic_path
from ._native import Layout as NativeLayout
from ._timed import Layout

__all__ = ["encode", "write_packets", "crc16_ccitt", "UNMAPPED_COLUMN", "PACKET_COLUMN", "differences"]

#: The column that ``decode(..., keep_unmapped=True)`` adds: per packet, the
#: XOR of its bytes and the bytes its decoded values encode to (empty when
#: they are the same), so that ``encode`` can put back what the definition
#: does not describe: bits no field covers, padding, non-canonical values.
UNMAPPED_COLUMN = "_unmapped"
#: Beside it, each packet's index in the stream it was decoded from.
PACKET_COLUMN = "_packet"

_HEADER_BYTES = 6
_COUNT_MODULUS = 1 << 14
_UNSEGMENTED = 3

# (column, first bit, width) of each primary-header field, in stream order.
_HEADER_FIELDS = (
    ("CCSDS_VERSION_NUMBER", 0, 3),
    ("CCSDS_PACKET_TYPE", 3, 1),
    ("CCSDS_SECONDARY_FLAG", 4, 1),
    ("CCSDS_APID", 5, 11),
    ("CCSDS_SEQUENCE_FLAG", 16, 2),
    ("CCSDS_SEQUENCE_COUNT", 18, 14),
    ("CCSDS_PACKET_LENGTH", 32, 16),
)
assert tuple(name for name, _, _ in _HEADER_FIELDS) == tuple(ccsds.HEADER_COLUMNS)


_REFLECTED_BYTES = np.array([int(f"{b:08b}"[::-1], 2) for b in range(256)], dtype=np.uint8)


def _crc_table(width: int, polynomial: int) -> np.ndarray:
    top, mask = 1 << (width - 1), (1 << width) - 1
    table = np.zeros(256, dtype=np.uint64)
    for byte in range(256):
        crc = byte << (width - 8)
        for _ in range(8):
            crc = ((crc << 1) ^ polynomial) if crc & top else (crc << 1)
        table[byte] = crc & mask
    return table


_CRC_TABLES: dict[tuple[int, int], np.ndarray] = {}


def crc_rows(
    packets: np.ndarray,
    *,
    width: int = 16,
    polynomial: int = 0x1021,
    initial: int = 0xFFFF,
    final_xor: int = 0,
    reflect_data: bool = False,
    reflect_remainder: bool = False,
) -> np.ndarray:
    """The CRC of each row of a 2-D uint8 array, computed across all rows at
    once: ``width`` bits (8 to 64, whole bytes), the ``polynomial`` without
    its top term, the initial remainder, reflection of each byte and of the
    remainder, and the final XOR."""
    data = np.asarray(packets, dtype=np.uint8)
    if data.ndim == 1:
        data = data[np.newaxis, :]
    key = (width, polynomial)
    table = _CRC_TABLES.get(key)
    if table is None:
        table = _CRC_TABLES[key] = _crc_table(width, polynomial)
    mask = np.uint64((1 << width) - 1)
    down, eight = np.uint64(width - 8), np.uint64(8)
    crc = np.full(len(data), initial, dtype=np.uint64)
    for column in data.T:
        byte = _REFLECTED_BYTES[column] if reflect_data else column
        crc = ((crc << eight) & mask) ^ table[((crc >> down) ^ byte) & np.uint64(0xFF)]
    if reflect_remainder:
        reflected = np.zeros_like(crc)
        for bit in range(width):
            reflected |= ((crc >> np.uint64(bit)) & np.uint64(1)) << np.uint64(width - 1 - bit)
        crc = reflected
    return crc ^ np.uint64(final_xor)


def crc16_ccitt(packets: np.ndarray, *, initial: int = 0xFFFF) -> np.ndarray:
    """CRC-16-CCITT (polynomial 0x1021, initial value 0xFFFF, no final
    XOR: the CCSDS packet error control) of each row of a 2-D uint8 array,
    computed across all rows at once."""
    return crc_rows(packets, initial=initial).astype(np.uint16)


@dataclass(frozen=True)
class _Check:
    """A field that holds a CRC of the packet's bytes before it: where it
    is, in which byte order, and how it is computed (the XTCE model's Crc)."""

    name: str
    first_byte: int
    little: bool
    crc: Any

    def width(self) -> int:
        return int(self.crc.width) // 8

    def compute(self, packets: np.ndarray) -> np.ndarray:
        c = self.crc
        return crc_rows(
            packets[:, c.bits_from_start // 8 : self.first_byte],
            width=c.width,
            polynomial=c.polynomial,
            initial=c.initial,
            final_xor=c.final_xor,
            reflect_data=c.reflect_data,
            reflect_remainder=c.reflect_remainder,
        )

    def place(self, packets: np.ndarray) -> None:
        """Writes the CRC of every row into its field."""
        values = self.compute(packets)
        n = self.width()
        as_bytes = values.astype(">u8").view(np.uint8).reshape(-1, 8)[:, 8 - n :]
        packets[:, self.first_byte : self.first_byte + n] = as_bytes[:, ::-1] if self.little else as_bytes

    def read(self, packets: np.ndarray) -> np.ndarray:
        """The values the rows' fields hold."""
        return self.value_of(packets[:, self.first_byte : self.first_byte + self.width()])

    def value_of(self, field_bytes: np.ndarray) -> np.ndarray:
        """The values of the field's bytes, one row per packet."""
        n = self.width()
        held = field_bytes.astype(np.uint64)
        if self.little:
            held = held[:, ::-1]
        value = np.zeros(len(field_bytes), dtype=np.uint64)
        for k in range(n):
            value = (value << np.uint64(8)) | held[:, k]
        return value


# Per definition, per packet type: its CRC fields (or why they cannot be made).
_CHECKS: weakref.WeakKeyDictionary[Any, dict[str, list[_Check] | ValueError]] = weakref.WeakKeyDictionary()


def checks_of(definition: Any, name: str) -> list[_Check]:
    """The CRC fields of one packet type of an XTCE definition (those whose
    integer encoding has an ErrorDetectCorrect/CRC), with fixed positions."""
    if getattr(definition, "fields", None) is None:
        return []
    known = _CHECKS.setdefault(definition, {})
    found = known.get(name)
    if found is None:
        try:
            found = _find_checks(definition, name)
        except ValueError as error:
            found = error
        known[name] = found
    if isinstance(found, ValueError):
        raise ValueError(str(found))
    return found


def _find_checks(definition: Any, name: str) -> list[_Check]:
    out = []
    for entry in definition.fields(name):
        encoding = entry.type.encoding
        crc = getattr(encoding, "crc", None)
        if crc is None:
            continue
        if entry.start is None or entry.start % 8 or encoding.reverse_bits or entry.start < crc.bits_from_start:
            raise ValueError(
                f"packet type {name!r}: the CRC field {entry.name!r} is computed only at a fixed whole byte "
                "after the bytes it covers, with its bits in their usual order"
            )
        out.append(_Check(entry.name, entry.start // 8, encoding.byte_order == "little", crc))
    return out


@dataclass
class _Target:
    """How the packets of one table are made: the layout that places its
    fields, the APID the definition gives it (None when the layout itself
    holds the header fields), and the values of the fields that chose the
    packet type (``Select`` rules), placed with their own one-field layouts."""

    layout: Any
    apid: int | None
    chosen_by: list[tuple[Any, str, Any]] = field(default_factory=list)
    # The XTCE definition whose packet type this is: its CRC fields are computed.
    definition: Any = None


def _walk(
    targets: dict[str, _Target], name: str, apid: int | None, target: Any, chosen_by: list[tuple[Any, str, Any]]
) -> None:
    if isinstance(target, Select):
        for value, sub in target.layouts.items():
            step = (target._reader, str(target.field.get("name")), value)
            _walk(targets, target.name_for(name, value), apid, sub, [*chosen_by, step])
        return
    if not hasattr(target, "pack_many"):
        raise TypeError(f"definition values are Layout or Select, not {type(target).__name__}")
    targets[name] = _Target(target, apid, chosen_by)


class _Targets:
    """Table names to targets, for every kind of definition ``decode``
    takes; tables of APIDs that only the default entry covers are resolved
    by their name."""

    def __init__(self, definition: Any) -> None:
        self.targets: dict[str, _Target] = {}
        self.default: Any = None
        if isinstance(definition, (str, os.PathLike)):
            path = os.fspath(definition)
            if os.path.splitext(path)[1].lower() in (".xml", ".xtce"):
                from . import xtce

                definition = xtce.load(path)
            else:
                from ._layout_files import load_layouts

                definition = load_layouts(path)
        if isinstance(definition, Mapping):
            seen: dict[int, Any] = {}
            for key, target in definition.items():
                if key == DEFAULT:
                    self.default = target
                    continue
                apid = _apid(key)
                if apid in seen:
                    raise ValueError(f"definition: APID {apid} is given twice ({seen[apid]!r} and {key!r})")
                seen[apid] = key
                _walk(self.targets, f"apid{apid}", apid, target, [])
        elif hasattr(definition, "concrete") and hasattr(definition, "layout"):
            for name in definition.concrete():
                self.targets[name] = _Target(definition.layout(name), None, definition=definition)
        else:
            raise TypeError(
                "definition is a mapping of APIDs to Layout or Select, a layout file or an "
                f"xtce.Definition, not {type(definition).__name__}"
            )

    def __getitem__(self, name: str) -> _Target:
        target = self.targets.get(name)
        if target is not None:
            return target
        if self.default is not None and name.startswith("apid") and name[4:].isdigit():
            apid = int(name[4:])
            if 0 <= apid <= 0x7FF:
                found: dict[str, _Target] = {}
                _walk(found, name, apid, self.default, [])
                if name in found:
                    return found[name]
        known = ", ".join(sorted(self.targets)) or "none"
        raise ValueError(f"table {name!r}: the definition has no packet type of that name (it has: {known})")


def _apid(key: Any) -> int:
    if isinstance(key, bool):
        raise ValueError(f"definition keys are APIDs (0-2047) or {DEFAULT!r}, not {key!r}")
    try:
        apid = int(key)
    except (TypeError, ValueError):
        raise ValueError(f"definition keys are APIDs (0-2047) or {DEFAULT!r}, not {key!r}") from None
    if apid != key and str(apid) != key or not 0 <= apid <= 0x7FF:
        raise ValueError(f"definition keys are APIDs (0-2047) or {DEFAULT!r}, not {key!r}")
    return apid


def _columns(table: Any) -> dict[str, Any]:
    if isinstance(table, Table):
        return table.columns
    if isinstance(table, Mapping):
        return dict(table)
    raise TypeError(f"a table is a Table or a mapping of column names to arrays, not {type(table).__name__}")


def _row_count(name: str, columns: Mapping[str, Any]) -> int:
    lengths = {len(v) for v in columns.values()}
    if len(lengths) > 1:
        raise ValueError(f"table {name!r}: columns of different lengths {sorted(lengths)}")
    return lengths.pop() if lengths else 0


def _dynamic(layout: Any) -> bool:
    return any(f.start_bit is None or not isinstance(f.bits, int) for f in layout.fields)


def _field_values(name: str, layout: Any, columns: Mapping[str, Any]) -> dict[str, Any]:
    """The table's column for each field of the layout; fields inside the
    primary header may be left out (the header is written afterwards)."""
    values: dict[str, Any] = {}
    n = _row_count(name, columns)
    for f in layout.fields:
        if f.name in values:
            continue
        if f.name in columns:
            column = columns[f.name]
            if np.ma.isMaskedArray(column) and np.ma.getmaskarray(column).any():
                row = int(np.flatnonzero(np.ma.getmaskarray(column))[0])
                raise ValueError(f"table {name!r}, row {row}, column {f.name!r}: the value is masked (absent)")
            values[f.name] = np.ma.getdata(column) if np.ma.isMaskedArray(column) else column
        elif isinstance(f.bits, int) and f.start_bit is not None and f.start_bit + f.bits <= 8 * _HEADER_BYTES:
            values[f.name] = np.zeros(n, dtype=np.uint16)
        else:
            raise ValueError(f"table {name!r}: no column {f.name!r} for the field of that name")
    return values


def _pack(name: str, layout: Any, values: dict[str, Any], n: int) -> list[bytes] | np.ndarray:
    """The packed packets: one uint8 row each when the layout has a fixed
    size, else one bytes object each."""
    try:
        if not _dynamic(layout):
            body = layout.pack_many(values)
            width = len(body) // n if n else 0
            return np.frombuffer(body, dtype=np.uint8).reshape(n, width)
        rows = [{k: v[i] for k, v in values.items()} for i in range(n)]
        return [layout.pack(row) for row in rows]
    except (ValueError, TypeError, OverflowError) as error:
        error.add_note(f"while packing table {name!r}")
        raise


def _header_value(
    name: str,
    columns: Mapping[str, Any],
    layout_columns: Mapping[str, Any],
    column: str,
    bits: int,
    default: Any,
    n: int,
) -> tuple[np.ndarray, bool]:
    """A header field per packet, from the table's header column (or the
    layout's field at the same bits) when it has one; whether it was given."""
    source = column if column in columns else layout_columns.get(column)
    if source is None or source not in columns:
        return np.broadcast_to(np.asarray(default, dtype=np.int64), (n,)), False
    values = np.asarray(np.ma.getdata(columns[source]))
    if values.dtype.kind not in "iub":
        raise ValueError(f"table {name!r}, column {source!r}: a header field holds integers, not {values.dtype}")
    values = values.astype(np.int64)
    bad = np.flatnonzero((values < 0) | (values >= (1 << bits)))
    if len(bad):
        row = int(bad[0])
        raise ValueError(
            f"table {name!r}, row {row}, column {source!r}: {int(values[row])} does not fit the header's {bits} bits"
        )
    return values, True


@dataclass
class _Part:
    name: str
    apid: np.ndarray
    rows: list[bytes] | np.ndarray
    fields: dict[str, np.ndarray]
    given_count: bool
    keys: np.ndarray | None = None
    checks: list[_Check] = field(default_factory=list)


def _header_positions(layout: Any) -> dict[str, str]:
    """Header column name to the layout field that sits at exactly its bits."""
    at = {(f.start_bit, f.bits): f.name for f in layout.fields if isinstance(f.bits, int)}
    return {col: at[(start, bits)] for col, start, bits in _HEADER_FIELDS if (start, bits) in at}


def _prepare(
    name: str, table: Any, target: _Target, packet_type: int, secondary_header: int, error_control: bool
) -> _Part:
    columns = _columns(table)
    n = _row_count(name, columns)
    layout = target.layout
    values = _field_values(name, layout, columns)
    if n == 0:  # every packet type has a table; most of a file's are empty
        return _Part(name, np.zeros(0, dtype=np.int64), [], {}, True)
    rows = _pack(name, layout, values, n)
    for reader, field_name, value in target.chosen_by:
        chosen = np.frombuffer(reader.pack_many({field_name: np.full(n, value)}), dtype=np.uint8).reshape(n, -1)
        rows = _overlay(rows, chosen)
    if error_control:
        rows = _extend(rows, 2)
    at = _header_positions(layout)
    fields: dict[str, np.ndarray] = {}
    given_count = False
    defaults = {
        "CCSDS_VERSION_NUMBER": 0,
        "CCSDS_PACKET_TYPE": packet_type,
        "CCSDS_SECONDARY_FLAG": secondary_header,
        "CCSDS_APID": target.apid if target.apid is not None else 0,
        "CCSDS_SEQUENCE_FLAG": _UNSEGMENTED,
        "CCSDS_SEQUENCE_COUNT": 0,
        "CCSDS_PACKET_LENGTH": 0,
    }
    for column, _, bits in _HEADER_FIELDS:
        fields[column], given = _header_value(name, columns, at, column, bits, defaults[column], n)
        if column == "CCSDS_SEQUENCE_COUNT":
            given_count = given
        if column == "CCSDS_APID":
            if target.apid is not None and given:
                wrong = np.flatnonzero(fields[column] != target.apid)
                if len(wrong):
                    row = int(wrong[0])
                    source = column if column in columns else at[column]
                    raise ValueError(
                        f"table {name!r}, row {row}, column {source!r}: APID {int(fields[column][row])} "
                        f"contradicts the definition, which gives this packet type APID {target.apid}"
                    )
            elif target.apid is None and not given:
                raise ValueError(f"table {name!r}: no APID column, and the definition does not give one")
    sizes = (
        np.array([len(r) for r in rows], dtype=np.int64)
        if isinstance(rows, list)
        else np.full(n, rows.shape[1], dtype=np.int64)
    )
    length_column = "CCSDS_PACKET_LENGTH"
    if length_column in columns or length_column in at and at[length_column] in columns:
        total = fields[length_column] + 7 + (2 if error_control and length_column not in columns else 0)
        short = np.flatnonzero(total < sizes)
        if len(short):
            row = int(short[0])
            source = length_column if length_column in columns else at[length_column]
            raise ValueError(
                f"table {name!r}, row {row}, column {source!r}: a packet of {int(total[row])} bytes "
                f"cannot hold the {int(sizes[row])} bytes its fields take"
            )
        if (total > sizes).any():
            rows = _pad(rows, total)
        sizes = total
    if UNMAPPED_COLUMN in columns:
        rows = _put_back(name, rows, columns[UNMAPPED_COLUMN], sizes)
    if (sizes < 7).any():
        raise ValueError(f"table {name!r}: a packet has at least 7 bytes; the layout gives {int(sizes.min())}")
    if (sizes > 65542).any():
        raise ValueError(f"table {name!r}: a packet has at most 65,542 bytes; a row needs {int(sizes.max())}")
    fields[length_column] = sizes - 7
    # A table carrying what a decode left unmapped asks for its packets as
    # they were: their CRC fields are the values decoded, wrong ones too.
    exact = UNMAPPED_COLUMN in columns
    checks = checks_of(target.definition, name) if target.definition is not None and not exact else []
    return _Part(name, fields["CCSDS_APID"], rows, fields, given_count, checks=checks)


def _overlay(rows: list[bytes] | np.ndarray, bits: np.ndarray) -> list[bytes] | np.ndarray:
    if isinstance(rows, np.ndarray) and bits.shape[1] <= rows.shape[1]:
        out = rows.copy()
        out[:, : bits.shape[1]] |= bits
        return out
    out_rows = []
    for row, extra in zip(rows, bits):
        a = np.frombuffer(bytes(row), dtype=np.uint8).copy()
        if len(extra) > len(a):
            a = np.concatenate([a, np.zeros(len(extra) - len(a), np.uint8)])
        a[: len(extra)] |= extra
        out_rows.append(a.tobytes())
    return out_rows


def _put_back(name: str, rows: list[bytes] | np.ndarray, unmapped: Any, sizes: np.ndarray) -> list[bytes] | np.ndarray:
    """XORs each packet's unmapped bytes back in (empty values leave it as it is)."""
    if isinstance(rows, np.ndarray):
        block = rows.copy()
        for k, extra in enumerate(unmapped):
            if extra is not None and len(extra):
                _check_unmapped(name, k, extra, sizes)
                block[k] ^= np.frombuffer(bytes(extra), dtype=np.uint8)
        return block
    out = list(rows)
    for k, extra in enumerate(unmapped):
        if extra is None or len(extra) == 0:
            continue
        _check_unmapped(name, k, extra, sizes)
        bits = np.frombuffer(bytes(extra), dtype=np.uint8)
        out[k] = (np.frombuffer(bytes(out[k]), dtype=np.uint8) ^ bits).tobytes()
    return out


def _check_unmapped(name: str, row: int, extra: Any, sizes: np.ndarray) -> None:
    if len(extra) != int(sizes[row]):
        raise ValueError(
            f"table {name!r}, row {row}, column {UNMAPPED_COLUMN!r}: "
            f"{len(extra)} bytes for a packet of {int(sizes[row])}"
        )


def _extend(rows: list[bytes] | np.ndarray, extra: int) -> list[bytes] | np.ndarray:
    if isinstance(rows, np.ndarray):
        return np.concatenate([rows, np.zeros((len(rows), extra), np.uint8)], axis=1)
    return [bytes(r) + bytes(extra) for r in rows]


def _pad(rows: list[bytes] | np.ndarray, total: np.ndarray) -> list[bytes] | np.ndarray:
    if isinstance(rows, np.ndarray) and len(np.unique(total)) == 1:
        return _extend(rows, int(total[0]) - rows.shape[1])
    source = [r.tobytes() for r in rows] if isinstance(rows, np.ndarray) else rows
    return [bytes(r) + bytes(int(t) - len(r)) for r, t in zip(source, total.tolist())]


def _order_keys(parts: list[_Part], order: Any, tables: Mapping[str, Any]) -> np.ndarray | None:
    if order is None:
        # Tables decoded with keep_unmapped=True know their packets' places.
        if all(PACKET_COLUMN in _columns(tables[p.name]) for p in parts):
            order = PACKET_COLUMN
        else:
            return None
    keys = []
    for part in parts:
        if isinstance(order, str):
            columns = _columns(tables[part.name])
            if order not in columns:
                raise ValueError(f"table {part.name!r}: no order column {order!r}")
            keys.append(np.asarray(columns[order]))
        elif isinstance(order, Mapping):
            if part.name not in order:
                raise ValueError(f"order has no keys for table {part.name!r}")
            k = np.asarray(order[part.name])
            if len(k) != len(part.apid):
                raise ValueError(f"order[{part.name!r}] has {len(k)} keys for {len(part.apid)} rows")
            keys.append(k)
        else:
            raise TypeError(f"order is a column name or a mapping of table names to keys, not {type(order).__name__}")
    return np.concatenate(keys) if keys else np.zeros(0)


def encode(
    tables: Mapping[str, Any],
    definition: Any,
    *,
    order: str | Mapping[str, Any] | None = None,
    packet_type: int = 0,
    secondary_header: bool = False,
    error_control: bool = False,
) -> bytes:
    """Packs tables into one stream of CCSDS space packets: the inverse of
    :func:`bitloom_io.decode`.

    ``tables`` maps table names (as ``decode`` names them) to a ``Table`` or
    a mapping of column names to arrays; ``definition`` is anything
    ``decode`` takes. Each row becomes one packet: its fields placed at
    their exact bits by the layout, then the primary header written from
    the table's header columns (``CCSDS_APID`` ..., or the layout's own
    fields at those bits) where present, else from the definition: version
    0, ``packet_type`` and ``secondary_header`` as given, the APID of the
    packet type, unsegmented, sequence counts running from 0 per APID with
    the 14-bit wrap, and the data length from the packet's size (a given
    ``CCSDS_PACKET_LENGTH`` longer than the fields pads the packet with
    zeros). A header value that contradicts the definition is a
    ``ValueError`` naming the table, row and column.

    Packets are written table after table in the mapping's order, or
    interleaved by ``order``: a column every table has (a time, say) or a
    mapping of table names to one sort key per row; ties keep table order.
    Tables from ``decode(..., keep_unmapped=True)`` are put back in the
    order of the stream they came from, with the bits no field describes:
    ``encode(decode(f, d, keep_unmapped=True), d)`` is the stream ``f`` again
    (its packets, without the problem regions ``decode`` reported).
    ``error_control=True`` appends the CCSDS packet error control field
    (CRC-16-CCITT over the rest of the packet) to every packet.
    """
    if packet_type not in (0, 1):
        raise ValueError(f"packet_type is 0 (telemetry) or 1 (telecommand), not {packet_type!r}")
    resolved = _Targets(definition)
    if order is None and not error_control:
        packed = _encode_whole(tables, resolved, packet_type, int(bool(secondary_header)))
        if packed is not None:
            return packed
    parts = [
        _prepare(name, table, resolved[name], packet_type, int(bool(secondary_header)), error_control)
        for name, table in tables.items()
    ]
    parts = [p for p in parts if len(p.apid)]
    if not parts:
        return b""
    keys = _order_keys(parts, order, tables)
    permutation = None if keys is None else np.argsort(keys, kind="stable")
    fields = {col: _joined([p.fields[col] for p in parts], permutation) for col, _, _ in _HEADER_FIELDS}
    if not all(p.given_count for p in parts):
        given = _joined([np.full(len(p.apid), p.given_count) for p in parts], permutation)
        apid = fields["CCSDS_APID"]
        counts = np.array(fields["CCSDS_SEQUENCE_COUNT"], dtype=np.int64)
        apids = np.unique(apid[~given]).tolist()
        for a in apids:
            rows = np.flatnonzero(~given) if len(apids) == 1 else np.flatnonzero((apid == a) & ~given)
            counts[rows] = np.arange(len(rows)) % _COUNT_MODULUS
        fields["CCSDS_SEQUENCE_COUNT"] = counts
    header = _header_bytes(fields)
    return _assemble(parts, permutation, header, error_control)


# Per layout, the layouts that also write the primary header (keyed by its
# two constant words), so that they are compiled once.
_WITH_HEADER: weakref.WeakKeyDictionary[Any, dict[tuple[int, int], Any]] = weakref.WeakKeyDictionary()
_HEADER_WORDS = ("\0header_word0", "\0header_word1", "\0header_word2")


def _with_header(layout: Any, word0: int, word2: int) -> Any:
    """The layout with the header's three 16-bit words as its last fields:
    placed after every other field, they overwrite the first six bytes as
    writing the header over the packed packets would. The first and third
    words are the items' own values; the second (flags and count) is a
    column."""
    by_words = _WITH_HEADER.setdefault(layout, {})
    combined = by_words.get((word0, word2))
    if combined is None:

        def word(k: int, value: int | None) -> dict[str, Any]:
            item = {"name": _HEADER_WORDS[k], "encoding": "unsigned", "bits": 16, "offset_bits": 16 * k}
            item.update(byte_order="big", reverse_bits=False)
            return item if value is None else {**item, "value": value}

        recipe = [*layout.recipe, word(0, word0), word(1, None), word(2, word2)]
        combined = by_words[(word0, word2)] = Layout(recipe, exact=layout.exact)
    return combined


def _encode_whole(
    tables: Mapping[str, Any], resolved: _Targets, packet_type: int, secondary_header: int
) -> bytes | None:
    """The packets of tables that need nothing but their fields and a
    header the definition gives (no header columns, no chosen packet types,
    fixed sizes, table order): packed with their headers by the layouts
    themselves, in one pass per table. None when some table needs more."""
    plans = []
    for name, table in tables.items():
        columns = _columns(table)
        target = resolved[name]
        layout = target.layout
        if (
            target.apid is None
            or target.chosen_by
            or type(layout) not in (Layout, NativeLayout)  # time codes are packed apart
            or _dynamic(layout)
            or UNMAPPED_COLUMN in columns
            or PACKET_COLUMN in columns
        ):
            return None
        at = _header_positions(layout)
        if any(col in columns or at.get(col) in columns for col, _, _ in _HEADER_FIELDS):
            return None
        values = _field_values(name, layout, columns)
        size = max([(f.start_bit + f.bits + 7) // 8 for f in layout.fields] + [_HEADER_BYTES])
        if not 7 <= size <= 65542:
            return None
        if _HEADER_WORDS[0] in values or _HEADER_WORDS[1] in values or _HEADER_WORDS[2] in values:
            return None
        plans.append((name, target, values, _row_count(name, columns), size))
    out = []
    counted: dict[int, int] = {}
    for name, target, values, n, size in plans:
        if n == 0:
            continue
        word0 = (packet_type << 12) | (secondary_header << 11) | target.apid
        layout = _with_header(target.layout, word0, size - 7)
        first = counted.get(target.apid, 0)
        counted[target.apid] = first + n
        counts = np.arange(first, first + n, dtype=np.uint32) & np.uint32(_COUNT_MODULUS - 1)
        values[_HEADER_WORDS[1]] = (counts | np.uint32(_UNSEGMENTED << 14)).astype(np.uint16)
        try:
            packed = layout.pack_many(values)
        except (ValueError, TypeError, OverflowError) as error:
            error.add_note(f"while packing table {name!r}")
            raise
        if len(packed) != n * size:  # pragma: no cover - the size is the layout's own
            return None
        out.append(packed)
    return out[0] if len(out) == 1 else b"".join(out)


def _joined(arrays: list[np.ndarray], permutation: np.ndarray | None) -> np.ndarray:
    whole = arrays[0] if len(arrays) == 1 else np.concatenate(arrays)
    return whole if permutation is None else whole[permutation]


def _header_bytes(fields: Mapping[str, np.ndarray]) -> np.ndarray:
    word0 = (
        (fields["CCSDS_VERSION_NUMBER"] << 13)
        | (fields["CCSDS_PACKET_TYPE"] << 12)
        | (fields["CCSDS_SECONDARY_FLAG"] << 11)
        | fields["CCSDS_APID"]
    )
    word1 = (fields["CCSDS_SEQUENCE_FLAG"] << 14) | fields["CCSDS_SEQUENCE_COUNT"]
    words = np.empty((len(word0), 3), dtype=">u2")
    words[:, 0] = word0
    words[:, 1] = word1
    words[:, 2] = fields["CCSDS_PACKET_LENGTH"]
    return words.view(np.uint8).reshape(-1, _HEADER_BYTES)


def _assemble(parts: list[_Part], permutation: np.ndarray | None, header: np.ndarray, error_control: bool) -> bytes:
    # Each packet's part, in stream order: CRC fields are computed once the
    # header is in place, since they cover it.
    checked = any(p.checks for p in parts)
    owner = _joined([np.full(len(p.apid), k) for k, p in enumerate(parts)], permutation) if checked else None
    uniform = all(isinstance(p.rows, np.ndarray) for p in parts) and len({p.rows.shape[1] for p in parts}) == 1  # type: ignore[union-attr]
    if uniform:
        blocks: list[np.ndarray] = [p.rows for p in parts]  # type: ignore[misc]
        if permutation is not None:
            packets = np.concatenate(blocks)[permutation]
        elif len(blocks) == 1:
            packets = blocks[0] if blocks[0].flags.writeable else blocks[0].copy()
        else:
            packets = np.concatenate(blocks)
        packets[:, :_HEADER_BYTES] = header
        if owner is not None:
            for k, part in enumerate(parts):
                if part.checks:
                    mine = np.flatnonzero(owner == k)
                    block = packets[mine]
                    for check in part.checks:
                        check.place(block)
                    packets[mine] = block
        if error_control:
            packets[:, -2:] = crc16_ccitt(packets[:, :-2]).astype(">u2").view(np.uint8).reshape(-1, 2)
        return bytes(packets.tobytes())
    rows: list[Any] = []
    for p in parts:
        rows.extend(p.rows if isinstance(p.rows, list) else list(p.rows))
    out = bytearray()
    for k, index in enumerate(range(len(rows)) if permutation is None else permutation.tolist()):
        packet = np.frombuffer(bytes(rows[index]), dtype=np.uint8).copy()
        packet[:_HEADER_BYTES] = header[k]
        if owner is not None:
            for check in parts[int(owner[k])].checks:
                check.place(packet[np.newaxis, :])
        if error_control:
            packet[-2:] = np.frombuffer(int(crc16_ccitt(packet[:-2])[0]).to_bytes(2, "big"), np.uint8)
        out += packet.tobytes()
    return bytes(out)


def differences(
    name: str, table: Any, definition: Any, original: np.ndarray, offsets: np.ndarray, lengths: np.ndarray
) -> np.ndarray:
    """Per row of one decoded table, the XOR of its packet in ``original``
    (at ``offsets``, ``lengths``) and the packet its values encode to, as
    an object array of ``bytes`` (empty where they are equal)."""
    out = np.full(len(offsets), b"", dtype=object)
    if not len(offsets):
        return out
    columns = {k: v for k, v in _columns(table).items() if k not in (UNMAPPED_COLUMN, PACKET_COLUMN)}
    # Encoded as encode will with the differences: CRC fields as decoded.
    columns[UNMAPPED_COLUMN] = np.full(len(offsets), b"", dtype=object)
    again = ccsds.split(encode({name: columns}, definition), warn=False)
    if not np.array_equal(np.asarray(again.lengths, np.int64), np.asarray(lengths, np.int64)):
        row = int(np.flatnonzero(np.asarray(again.lengths, np.int64) != np.asarray(lengths, np.int64))[0])
        raise ValueError(
            f"packet type {name!r}, row {row}: its values encode to {int(again.lengths[row])} bytes, "
            f"not the {int(lengths[row])} of the packet"
        )
    data = np.frombuffer(again.buffer, dtype=np.uint8)
    if len(offsets) and (lengths == lengths[0]).all():
        n = int(lengths[0])
        mine = original[np.asarray(offsets, np.int64)[:, None] + np.arange(n)]
        xor = mine ^ data.reshape(-1, n)
        for k in np.flatnonzero(xor.any(axis=1)).tolist():
            out[k] = xor[k].tobytes()
        return out
    for k, (o, a, n) in enumerate(
        zip(np.asarray(offsets).tolist(), again.offsets.tolist(), np.asarray(lengths).tolist())
    ):
        xor = original[o : o + n] ^ data[a : a + n]
        if xor.any():
            out[k] = xor.tobytes()
    return out


def write_packets(path: str | os.PathLike[str], tables: Mapping[str, Any], definition: Any, **options: Any) -> int:
    """Writes ``encode(tables, definition, **options)`` to ``path``
    atomically (a temporary file beside it, renamed when complete); returns
    the number of bytes written."""
    data = encode(tables, definition, **options)
    with atomic_path(path) as tmp, open(tmp, "wb") as f:
        f.write(data)
    return len(data)
