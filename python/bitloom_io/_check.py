"""``check(recipe)``: what a recipe does that is legal but probably not meant.

Every finding names the item it concerns (its index and ``name``) and says
what packing or unpacking will do with it. Nothing here raises for a bad
recipe: items that ``bitloom`` would refuse are reported as ``invalid``
findings and their further checks are skipped.

Positions follow both directions' rule: an item with ``offset_bits`` starts
there, any other item right after the previous one (its start plus its
``bits``). Unpacking is considered with an ``offset_bits`` argument of 0,
where it starts every field at the same bit as packing does.
"""

from __future__ import annotations

import difflib
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Final, Protocol

import bitloom

__all__ = ["Finding", "check", "KINDS"]

_REQUIRED: Final = ("name", "encoding", "bits", "byte_order", "reverse_bits")
_KNOWN_KEYS: Final = (*_REQUIRED, "offset_bits", "value")
_U32: Final = 2**32

_INTEGERS: Final = frozenset(
    {
        "unsigned",
        "sign_magnitude",
        "signmagnitude",
        "ones_complement",
        "onescomplement",
        "twos_complement",
        "twoscomplement",
    }
)
_DECIMALS: Final = frozenset(
    {
        "bcd",
        "bcd_signed",
        "bcd-signed",
        "packed_bcd",
        "packed-bcd",
        "packed_bcd_signed",
        "packed-bcd-signed",
    }
)
# Natural width of each IEEE 754 format, by every name both directions know.
_FLOAT_WIDTHS: Final = {
    "ieee754_f16": 16,
    "ieee754-f16": 16,
    "ieee754_f32": 32,
    "ieee754-f32": 32,
    "ieee754_f64": 64,
    "ieee754-f64": 64,
    "ieee754_f128": 128,
    "ieee754-f128": 128,
}
# Text encodings, with the single-value encoder that gives a value's bytes
# exactly as packing produces them (byte-order marks included).
_TEXT_ENCODERS: Final = {
    "utf8": bitloom.encode_utf8,
    "utf-8": bitloom.encode_utf8,
    "utf16": bitloom.encode_utf16,
    "utf-16": bitloom.encode_utf16,
    "utf16le": bitloom.encode_utf16le,
    "utf-16le": bitloom.encode_utf16le,
    "utf16be": bitloom.encode_utf16be,
    "utf-16be": bitloom.encode_utf16be,
    "utf32": bitloom.encode_utf32,
    "utf-32": bitloom.encode_utf32,
    "utf32le": bitloom.encode_utf32le,
    "utf-32le": bitloom.encode_utf32le,
    "utf32be": bitloom.encode_utf32be,
    "utf-32be": bitloom.encode_utf32be,
    "us_ascii": bitloom.encode_us_ascii,
    "us-ascii": bitloom.encode_us_ascii,
    "iso_8859_1": bitloom.encode_iso_8859_1,
    "iso-8859-1": bitloom.encode_iso_8859_1,
    "latin1": bitloom.encode_iso_8859_1,
    "windows_1252": bitloom.encode_windows_1252,
    "windows-1252": bitloom.encode_windows_1252,
}
_UNIMPLEMENTED: Final = frozenset(
    {
        "ti_f32",
        "ti-f32",
        "ti_f40",
        "ti-f40",
        "dec_f32",
        "dec-f32",
        "dec_f64",
        "dec-f64",
        "ibm_f32",
        "ibm-f32",
        "ibm_f64",
        "ibm-f64",
        "ieee754_1985_f32",
        "ieee754-1985-f32",
        "ieee754_1985_f64",
        "ieee754-1985-f64",
        "ieee754_1985_f80",
        "ieee754-1985-f80",
        "mil_std_1750a_f32",
        "mil-std-1750a-f32",
        "mil_std_1750a_f48",
        "mil-std-1750a-f48",
    }
)
_BINARY: Final = "binary"
_NUMERIC: Final = _INTEGERS | _DECIMALS | frozenset(_FLOAT_WIDTHS)
_ENCODINGS: Final = _NUMERIC | frozenset(_TEXT_ENCODERS) | _UNIMPLEMENTED | {_BINARY}
# Trial packing of one item allocates its field; wider fields are not tried.
_TRIAL_BITS: Final = 1 << 16

# How the per-item checks report a finding: report(kind, message).
_Report = Callable[[str, str], None]

#: Every kind of finding, with what it means.
KINDS: Final = {
    "invalid": "the item would be refused (missing or malformed key, unknown encoding or byte order)",
    "unknown-key": "a key that neither direction reads, often a misspelt one",
    "duplicate-name": "two items with one name: unpacking keeps only the last value",
    "overlap": "two fields share packet bits: packing writes the later over the earlier",
    "zero-width": "a field of 0 bits, which holds nothing",
    "float-width": "an IEEE 754 field whose bits is not its format's width",
    "wide-numeric": "a numeric field wider than 64 bits; values have at most 64",
    "little-endian-width": "a little-endian numeric field whose bits is not a multiple of 8 drops bits when packed",
    "byte-window": "unpack_parameters reads the field through a byte window other than the bits it was packed to",
    "text-width": "a text field whose bits is not a multiple of 8",
    "text-too-long": "the text (or bytes) given is longer than its field and is cut when packed",
    "text-byte-order": "byte_order 'little' on text reverses the whole encoded text",
    "reverse-bits-ignored": "reverse_bits has no effect on text and binary fields",
    "value": "pack_parameters would refuse the item's value",
    "unreadable": "an encoding that unpacking refuses for every packet (ieee754_f128, formats known by name only)",
}


@dataclass(frozen=True, slots=True)
class Finding:
    """One thing ``check`` found: the item's index and ``name`` (``None``
    when the item has no usable name), a ``kind`` from ``KINDS`` and a
    readable ``message``."""

    index: int
    name: str | None
    kind: str
    message: str

    def __str__(self) -> str:
        who = f"item {self.index}" if self.name is None else f"item {self.index} ({self.name!r})"
        return f"{who}: {self.message} [{self.kind}]"


@dataclass(slots=True)
class _Item:
    index: int
    name: str | None
    encoding: str | None = None  # lowercased, known
    bits: int | None = None  # None: dynamic or unusable
    start: int | None = None  # None: not known before the packet is read
    little: bool = False


def _bit_range(start: int, bits: int) -> str:
    return f"bit {start}" if bits == 1 else f"bits {start}-{start + bits - 1}"


def _last(bits: int) -> str:
    return "the last bit" if bits == 1 else f"the last {bits} bits"


def _byte_range(first: int, count: int) -> str:
    return f"byte {first}" if count == 1 else f"bytes {first}-{first + count - 1}"


def _is_u32(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and 0 <= value < _U32


def _is_bool(value: object) -> bool:
    return isinstance(value, bool) or type(value).__name__ == "bool" and type(value).__module__ == "numpy"


class _Compiled(Protocol):
    """A Layout, as far as check() reads it."""

    @property
    def recipe(self) -> Sequence[Mapping[str, object]]: ...
    @property
    def exact(self) -> bool: ...


def check(recipe: Sequence[Mapping[str, object]] | _Compiled, *, exact: bool | None = None) -> list[Finding]:
    """List what ``recipe`` does that is legal but probably a mistake.

    Each ``Finding`` names the item (index and ``name``) and says what will
    happen to it. With ``exact=True`` the recipe is taken as meant for
    ``Layout(recipe, exact=True)``, which reads every field at its exact
    bits, so byte-window findings are not made. A ``Layout`` may be given
    instead of a recipe: its recipe is checked, as exact as the layout
    unless ``exact`` says otherwise. The recipe itself is only read. Raises
    ``TypeError`` when ``recipe`` is not a sequence.
    """
    if not isinstance(recipe, Sequence) and hasattr(recipe, "recipe") and hasattr(recipe, "exact"):
        exact = recipe.exact if exact is None else exact
        recipe = recipe.recipe
    exact = bool(exact)
    if isinstance(recipe, (str, bytes, bytearray)) or not isinstance(recipe, Sequence):
        raise TypeError(f"recipe must be a sequence of dicts, not {type(recipe).__name__}")
    findings: list[Finding] = []
    items: list[_Item] = []
    numeric_names: set[str] = set()
    first_index: dict[str, int] = {}
    cursor: int | None = 0

    for index, raw in enumerate(recipe):
        if not isinstance(raw, dict):
            findings.append(Finding(index, None, "invalid", f"is of type {type(raw).__name__}, not a dict"))
            items.append(_Item(index, None))
            cursor = None
            continue
        name = raw.get("name")
        item = _Item(index, name if isinstance(name, str) else None)
        items.append(item)

        def report(kind: str, message: str, item: _Item = item) -> None:
            findings.append(Finding(item.index, item.name, kind, message))

        for key in raw:
            if key not in _KNOWN_KEYS:
                guess = difflib.get_close_matches(str(key), _KNOWN_KEYS, n=1, cutoff=0.6)
                hint = f"; did you mean {guess[0]!r}?" if guess else ""
                report("unknown-key", f"key {key!r} is not read by packing or unpacking{hint}")

        valid = _read_item(raw, item, numeric_names, report)

        # Placement: offset_bits, else right after the previous item.
        offset = raw.get("offset_bits")
        if "offset_bits" in raw:
            cursor = offset if _is_u32(offset) else None
        item.start = cursor
        cursor = None if cursor is None or item.bits is None else cursor + item.bits

        if item.name is not None:
            if item.name in first_index:
                first = first_index[item.name]
                report(
                    "duplicate-name",
                    f"item {first} has the same name: unpacking keeps only this item's "
                    "value, in the earlier item's place, and a column would hold only one of them",
                )
            else:
                first_index[item.name] = index
        if not valid:
            continue
        if item.encoding in _NUMERIC and item.name is not None:
            numeric_names.add(item.name)
        _check_item(raw, item, exact, report)

    _check_overlaps(items, findings)
    findings.sort(key=lambda f: f.index)  # stable: each item's findings keep their order
    return findings


def _read_item(raw: dict[object, object], item: _Item, numeric_names: set[str], report: _Report) -> bool:
    """Check the keys both directions require; fill in `item`. False when
    the item would be refused."""
    valid = True
    for key in _REQUIRED:
        if key not in raw:
            report("invalid", f"required key {key!r} is missing")
            valid = False
    for key in ("name", "encoding", "byte_order"):
        if key in raw and not isinstance(raw[key], str):
            report("invalid", f"{key} must be a str, not {type(raw[key]).__name__}")
            valid = False
    if "reverse_bits" in raw and not _is_bool(raw["reverse_bits"]):
        report("invalid", f"reverse_bits must be True or False, not {raw['reverse_bits']!r}")
        valid = False
    if "offset_bits" in raw and not _is_u32(raw["offset_bits"]):
        report("invalid", f"offset_bits must be an int from 0 to 4294967295, not {raw['offset_bits']!r}")
        valid = False

    encoding = raw.get("encoding")
    if isinstance(encoding, str):
        if encoding.lower() in _ENCODINGS:
            item.encoding = encoding.lower()
        else:
            guess = difflib.get_close_matches(encoding.lower(), sorted(_ENCODINGS), n=1, cutoff=0.6)
            hint = f"; did you mean {guess[0]!r}?" if guess else ""
            report("invalid", f"encoding {encoding!r} is known to neither direction{hint}")
            valid = False
    order = raw.get("byte_order")
    if isinstance(order, str):
        if order.lower() not in ("big", "little"):
            report("invalid", f"byte_order {order!r} is neither 'big' nor 'little'")
            valid = False
        item.little = order.lower() == "little"

    bits = raw.get("bits")
    if _is_u32(bits):
        assert isinstance(bits, int)
        item.bits = bits
    elif isinstance(bits, Mapping):
        if not _dynamic_width_ok(bits, item, numeric_names, report):
            valid = False
    elif "bits" in raw:
        report("invalid", f"bits must be an int from 0 to 4294967295, not {bits!r}")
        valid = False
    return valid


def _dynamic_width_ok(bits: Mapping[object, object], item: _Item, numeric_names: set[str], report: _Report) -> bool:
    """A width taken from an earlier numeric field of the packet: text and
    binary fields only (a layout extension)."""
    field = bits.get("field")
    if (
        set(bits) - {"field", "slope", "intercept"}
        or not isinstance(field, str)
        or not all(
            isinstance(bits.get(k, 0), int) and not isinstance(bits.get(k, 0), bool) for k in ("slope", "intercept")
        )
    ):
        report("invalid", "a width taken from another field is written {'field': NAME, 'slope': INT, 'intercept': INT}")
        return False
    if field not in numeric_names:
        report("invalid", f"bits is taken from {field!r}, which is not an earlier numeric field")
        return False
    if item.encoding is not None and item.encoding != _BINARY and item.encoding not in _TEXT_ENCODERS:
        report("invalid", "only text and binary fields can take their width from another field")
        return False
    return True


def _check_item(raw: dict[object, object], item: _Item, exact: bool, report: _Report) -> None:
    encoding, bits, start = item.encoding, item.bits, item.start
    assert encoding is not None
    text = encoding in _TEXT_ENCODERS
    numeric = encoding in _NUMERIC

    if bits == 0:
        report("zero-width", "bits is 0: the field holds nothing")
    natural = _FLOAT_WIDTHS.get(encoding)
    if natural == 128 or encoding in _UNIMPLEMENTED:
        report("unreadable", f"unpacking refuses every {encoding} field, and packing does not know the encoding")
    elif natural is not None and bits is not None and bits not in (0, natural):
        if bits < natural:
            what = f"only the low {bits} bits of the {natural}-bit pattern are written and read"
        else:
            what = f"the {natural}-bit pattern is written after {bits - natural} zero bits"
        report("float-width", f"{encoding} is {natural} bits wide but bits is {bits}: {what}")
    elif numeric and bits is not None and bits > 64:
        report(
            "wide-numeric",
            f"{bits} bits for a numeric field: values have at most 64 bits, and "
            "unpack_parameters reads only the first 8 bytes of the field",
        )
    # Up to 8 bits the byte form is one byte, which reversing leaves alone.
    if numeric and item.little and bits is not None and bits > 8 and bits % 8:
        nbytes = (bits + 7) // 8
        lost = 8 * nbytes - bits
        report(
            "little-endian-width",
            f"byte_order 'little' with {bits} bits (not a multiple of 8): packing reverses the {nbytes}-byte form "
            f"and keeps {_last(bits)}, so value {_bit_range(8 - lost, lost)} "
            "are dropped from every value; use a multiple of 8 bits, or 'big'",
        )
    if (text or encoding == _BINARY) and raw.get("reverse_bits") is True:
        report("reverse-bits-ignored", "reverse_bits is True but has no effect on a text or binary field")
    if text and item.little and (bits is None or bits > 8):
        report(
            "text-byte-order",
            "byte_order 'little' reverses the whole encoded text (ABCD reads as DCBA); "
            "for little-endian code units use 'big' with utf16le or utf32le",
        )
    if (text or encoding == _BINARY) and bits is not None and bits % 8:
        report(
            "text-width",
            f"{bits} bits is not a whole number of bytes: packing keeps {_last(bits)} of "
            "the encoded text and unpacking decodes whole bytes",
        )
    _check_value(raw, item, report)
    if (
        not exact
        and start is not None
        and bits
        and numeric
        and bits <= 64
        and not (item.little and bits > 8 and bits % 8)
        and (start + bits) % 8
    ):
        first, count = start // 8, (bits + 7) // 8
        read_from = 8 * (first + count) - bits
        report(
            "byte-window",
            f"packed to {_bit_range(start, bits)}, but unpack_parameters reads {_byte_range(first, count)} and "
            f"keeps {_last(bits)}, {_bit_range(read_from, bits)}, so it does not give back the value "
            "packed; Layout(recipe, exact=True) reads the field at its exact bits",
        )
    elif not exact and start is not None and bits and (text or encoding == _BINARY) and start % 8 and not bits % 8:
        first, count = start // 8, (bits + 7) // 8
        report(
            "byte-window",
            f"packed to {_bit_range(start, bits)}, which does not start on a byte, but unpack_parameters decodes "
            f"{_byte_range(first, count)}; Layout(recipe, exact=True) reads the field at its exact bits",
        )


def _check_value(raw: dict[object, object], item: _Item, report: _Report) -> None:
    """The value's length against the field, then a trial pack of the item
    alone, which reports whatever packing refuses about it."""
    if "value" not in raw:
        return
    encoding, bits, value = item.encoding, item.bits, raw["value"]
    assert encoding is not None
    data: bytes | None = None
    if encoding == _BINARY:
        if isinstance(value, (bytes, bytearray, memoryview)):
            data = bytes(value)
        else:
            report("value", f"a binary field packs bytes, not {type(value).__name__}")
    elif encoding in _TEXT_ENCODERS and isinstance(value, str):
        try:
            data = _TEXT_ENCODERS[encoding](value)
        except ValueError:
            data = None  # the trial pack below reports it
    if data is not None and bits is not None and 8 * len(data) > bits:
        report(
            "text-too-long",
            f"the value {value!r} takes {len(data)} bytes ({8 * len(data)} bits) but the field has {bits} bits: "
            f"packing keeps only {_last(bits)}, cutting off the start",
        )
    if encoding == _BINARY or bits is None or bits > _TRIAL_BITS:
        return
    alone = {key: raw[key] for key in _KNOWN_KEYS if key in raw and key != "offset_bits"}
    try:
        bitloom.pack_parameters([alone])  # type: ignore[list-item]  # any dict; packing checks it
    except ValueError as error:
        report("value", f"pack_parameters refuses it: {error}")


def _check_overlaps(items: list[_Item], findings: list[Finding]) -> None:
    """Fields that share packet bits, each pair reported once, on the item
    that comes later in the recipe (the one packing writes last)."""
    spans = sorted(
        (
            (it.start, it.start + it.bits, it)
            for it in items
            if it.start is not None and it.bits and it.encoding is not None
        ),
        key=lambda s: s[:2],
    )
    widest: tuple[int, _Item] | None = None  # the furthest-reaching span so far
    for start, end, item in spans:
        if widest is not None and widest[0] > start:
            other = widest[1]
            later, earlier = (item, other) if item.index > other.index else (other, item)
            assert earlier.start is not None and earlier.bits is not None
            assert later.start is not None and later.bits is not None
            lo, hi = max(start, other.start or 0), min(end, widest[0])
            who = f"item {earlier.index}" + ("" if earlier.name is None else f" ({earlier.name!r})")
            findings.append(
                Finding(
                    later.index,
                    later.name,
                    "overlap",
                    f"{_bit_range(lo, hi - lo)} are also {who}'s: packing writes this field over it",
                )
            )
        if widest is None or end > widest[0]:
            widest = (end, item)
