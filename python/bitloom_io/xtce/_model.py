"""The XTCE telemetry model: parameter types, parameters, containers and
the fields a container lays out, with the spellings the files use.

The reader (``_reader``) fills these objects, the placement (``_placement``)
resolves references between them and positions fields; this module imports
neither.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from bitloom_io.xtce._errors import XtceError


# ---------------------------------------------------------------------------
# Spellings. Every name is matched without regard to letter case.

# XTCE integer encodings -> bitloom encoding names. "signed" and the
# misspelt "twosCompliment" occur in published files and mean two's
# complement.
INTEGER_ENCODINGS = {
    "unsigned": "unsigned",
    "signed": "twos_complement",
    "twoscomplement": "twos_complement",
    "twoscompliment": "twos_complement",
    "onescomplement": "ones_complement",
    "onescompliment": "ones_complement",
    "signmagnitude": "sign_magnitude",
    "bcd": "bcd",
    "packedbcd": "packed_bcd",
}

# XTCE float encodings: IEEE 754 by width, or a format bitloom knows by name only.
IEEE_SPELLINGS = frozenset({"ieee754_1985", "ieee754", "ieee-754", "ieee_754", "ieee754-1985", "ieee"})
IEEE_WIDTHS = {16: "ieee754_f16", 32: "ieee754_f32", 64: "ieee754_f64"}
NAME_ONLY_FLOATS = {
    "milstd_1750a": "MIL-STD-1750A",
    "mil-std-1750a": "MIL-STD-1750A",
    "mil_std_1750a": "MIL-STD-1750A",
    "milstd1750a": "MIL-STD-1750A",
    "dec": "DEC",
    "ibm": "IBM",
    "ti": "TI",
}

# The widths of each of those formats (DEC's 64 bits are D_floating).
FLOAT_FORMATS = {"MIL-STD-1750A": (32, 48), "IBM": (32, 64), "DEC": (32, 64), "TI": (32, 40)}

# XTCE string encodings -> bitloom text encoding names.
STRING_ENCODINGS = {
    "us-ascii": "us_ascii",
    "ascii": "us_ascii",
    "iso-8859-1": "iso_8859_1",
    "windows-1252": "windows_1252",
    "utf-8": "utf8",
    "utf8": "utf8",
    "utf-16": "utf16",
    "utf-16le": "utf16le",
    "utf-16be": "utf16be",
    "utf-32": "utf32",
    "utf-32le": "utf32le",
    "utf-32be": "utf32be",
}

COMPARISON_OPERATORS = {
    "==": "==",
    "=": "==",
    "eq": "==",
    "!=": "!=",
    "neq": "!=",
    "ne": "!=",
    "<": "<",
    "lt": "<",
    "&lt;": "<",
    "<=": "<=",
    "leq": "<=",
    "le": "<=",
    "&lt;=": "<=",
    ">": ">",
    "gt": ">",
    "&gt;": ">",
    ">=": ">=",
    "geq": ">=",
    "ge": ">=",
    "&gt;=": ">=",
}

# Elements that only describe; they are read where useful and never change
# where or how a field is read.
DESCRIPTIVE = frozenset(
    {
        "LongDescription",
        "ShortDescription",
        "AliasSet",
        "AncillaryDataSet",
        "UnitSet",
        "DefaultAlarm",
        "ContextAlarmList",
        "ValidRange",
        "ValidRangeSet",
        "ToString",
        "ParameterProperties",
        "DefaultRateInStream",
        "RateInStreamSet",
        "TimeAssociation",
        "ErrorDetectCorrect",
        "ReferenceTime",
        "ContextCalibratorList",
        "DefaultSignificance",
        "ContextSignificanceList",
        "BinaryEncoding",
    }
)


#: Suffix of the engineering-value column beside a raw one.
ENGINEERING_SUFFIX = "_eng"
#: Suffix of the flags beside an absolute time on a TAI-based epoch: True
#: where the time falls in a leap second (23:59:60), which the time column,
#: a datetime64, shows as the second before it (as a time-code item does).
LEAP_SUFFIX = "_leap"


def _key(text: str) -> str:
    return text.strip().lower()


# ---------------------------------------------------------------------------
# Model objects.


@dataclass(slots=True)
class Calibrator:
    """PolynomialCalibrator (``kind="polynomial"``), SplineCalibrator (``"spline"``)
    or MathOperationCalibrator (``"math"``: ``program`` in postfix order)."""

    kind: str
    coefficients: dict[int, float] = field(default_factory=dict)  # exponent -> coefficient
    points: list[tuple[float, float]] = field(default_factory=list)  # (raw, calibrated), sorted by raw
    order: int = 0
    extrapolate: bool = False
    program: list[tuple[str, float]] = field(
        default_factory=list
    )  # ("value", v), ("this", 0), ("param", k) or (operator, 0)
    # The other parameters a math program reads: (reference, calibrated), ("param", k) naming the k-th.
    operands: list[tuple[str, bool]] = field(default_factory=list)


@dataclass(frozen=True, slots=True)
class Crc:
    """A cyclic redundancy check that a field holds (ErrorDetectCorrect/CRC):
    computed over the packet's bytes from ``bits_from_start`` up to the
    field, each byte most significant bit first unless ``reflect_data``."""

    width: int
    polynomial: int
    initial: int
    final_xor: int
    reflect_data: bool = False
    reflect_remainder: bool = False
    bits_from_start: int = 0


@dataclass(slots=True)
class Encoding:
    """How a field is stored: a bitloom encoding, a width and a byte/bit order."""

    kind: str  # "integer", "float", "string", "binary"
    codec: str  # bitloom encoding name
    bits: int | dict[str, Any]  # bits, or a width taken from another field
    byte_order: str = "big"
    reverse_bits: bool = False
    calibrator: Calibrator | None = None
    written: str = ""  # the encoding as the file spells it
    line: int = 0
    # A float format that cannot be decoded: refused when a parameter uses it.
    not_implemented: str | None = None
    # The parameter a dynamic width reads, and whether it asks for the calibrated value.
    size_ref_calibrated: bool = False
    # Text inside a sized field: it ends at the terminator (the whole field
    # when there is none), or its byte count is the size tag at its start.
    terminator: bytes | None = None
    size_tag_bits: int = 0
    # ContextCalibrators: (match, calibrator), the first match that holds decides.
    contexts: list[tuple[Criteria, Calibrator]] = field(default_factory=list)
    # A float format read as unsigned bits and converted afterwards ("IBM/32"...).
    float_format: str = ""
    # The check value the field holds (an integer field), computed when packets are made.
    crc: Crc | None = None

    @property
    def text_in_buffer(self) -> bool:
        """The field is read whole and its text is found inside it afterwards."""
        return self.terminator is not None or self.size_tag_bits > 0


def scanned(bits: object) -> bool:
    """Whether a field's bits are found in the packet: a string that its
    TerminationChar alone ends (``{"scan": most bits, or 0}``)."""
    return isinstance(bits, dict) and "scan" in bits


@dataclass(slots=True)
class ParameterType:
    name: str
    kind: str  # integer, float, enumerated, boolean, string, binary, absolute_time, relative_time
    encoding: Encoding
    line: int
    element: str
    signed: bool = True
    size_in_bits: int | None = None  # the engineering width of a float type
    enumeration: list[tuple[int, int, str]] = field(default_factory=list)  # (low, high, label)
    boolean_labels: tuple[str, str] = ("False", "True")
    units: list[str] = field(default_factory=list)
    base: str | None = None  # the baseType the file names
    members: list[tuple[str, str, int]] = field(default_factory=list)  # an aggregate's (name, type, line)
    # A time type's engineering value: raw * scale + offset seconds, from
    # ``epoch`` (an ISO date and time) for an absolute time.
    time_scale: float = 1.0
    time_offset: float = 0.0
    epoch: str | None = None
    element_type: str | None = None  # an array's element type
    dimensions: tuple[int, ...] = ()  # an array's fixed sizes, first dimension first
    # A one-dimensional array whose size an earlier field gives: field * slope + intercept elements.
    dynamic_size: dict[str, Any] | None = None
    # Why the type cannot be decoded; refused only where a container uses it.
    problem: XtceError | None = None

    @property
    def has_engineering(self) -> bool:
        """True when the engineering value differs from the raw one."""
        if self.encoding.calibrator is not None or self.encoding.contexts:
            return True
        if self.kind in ("enumerated", "boolean", "relative_time"):
            return True
        if self.kind == "absolute_time" and self.epoch is not None:
            return True
        if self.kind == "float" and self.encoding.kind == "integer":
            return True
        if self.kind in ("integer", "float") and self.encoding.kind == "string":
            return True
        return False


@dataclass(slots=True)
class Parameter:
    name: str
    type_name: str
    line: int
    short_description: str | None = None
    long_description: str | None = None
    aliases: dict[str, str] | None = None  # namespace -> alias, when the file gives any
    ancillary: dict[str, str] | None = None  # name -> text, when the file gives any
    type: ParameterType | None = None
    # An element of an array (or of a repeated entry): the column the elements
    # make together, its shape per packet, and this element's place in it (C order).
    array: tuple[str, tuple[int, ...], int] | None = None
    # A member of an aggregate: the names from the parameter down to this leaf.
    member: tuple[str, ...] | None = None


@dataclass(slots=True)
class Comparison:
    """``parameter op value``: one restriction on a packet's values."""

    parameter: str
    operator: str
    value: str
    calibrated: bool
    line: int
    # A condition may compare two parameters: then other_parameter is set.
    other_parameter: str | None = None
    other_calibrated: bool = True


@dataclass(slots=True)
class Criteria:
    """A boolean combination of comparisons: ``op`` is "and" or "or"."""

    op: str
    terms: list[Comparison | Criteria]
    line: int


@dataclass(slots=True)
class Entry:
    kind: str  # "parameter" or "container"
    ref: str
    line: int
    # LocationInContainerInBits: (reference, bits), when it moves the entry; the reference is
    # "containerStart", "previousEntry", "containerEnd" or "nextEntry".
    location: tuple[str, int] | None = None
    # RepeatEntry: a count (fixed, or {"field", "slope", "intercept", "calibrated"}) and the bits between repeats.
    repeat: tuple[int | dict[str, Any], int] | None = None
    condition: Criteria | None = None  # IncludeCondition: the entry is in the packet only when it holds
    # ArrayParameterRefEntry: the (first, last) index of each dimension it holds, when it names them.
    dimensions: tuple[tuple[int, int], ...] | None = None


@dataclass(slots=True)
class Container:
    name: str
    line: int
    abstract: bool = False
    base: str | None = None
    criteria: Criteria | None = None
    entries: list[Entry] = field(default_factory=list)
    short_description: str | None = None
    long_description: str | None = None
    children: list[str] = field(default_factory=list)
    size_bits: int | None = None  # its own BinaryEncoding: the bits it occupies as an entry
    # Why the container cannot be decoded (refused where it is used).
    problem: XtceError | None = None


@dataclass(slots=True)
class FieldSpec:
    """One field of a container's layout."""

    name: str  # column name (the parameter's name; repeats get #2, #3...)
    parameter: Parameter
    start: int | None  # bit position from the packet's first byte, when static
    line: int  # the entry's line
    group: str | None = None  # the column an array element goes to (see Parameter.array)
    conditions: tuple[Criteria, ...] = ()  # IncludeConditions that must all hold for the field to be there
    ragged: bool = False  # as many values per packet as an earlier field says: one array per packet
    # Its ContextCalibrators' matches as tests on the packet's columns, beside each calibrator.
    contexts: tuple[tuple[Any, Calibrator], ...] = ()
    # The columns a math calibrator's ParameterInstanceRefOperands read, by the calibrator's id.
    operands: dict[int, tuple[str, ...]] = field(default_factory=dict)

    @property
    def type(self) -> ParameterType:
        assert self.parameter.type is not None
        return self.parameter.type

    def item(self) -> dict[str, Any]:
        enc = self.type.encoding
        bits: int | dict[str, Any] = dict(enc.bits) if isinstance(enc.bits, dict) else enc.bits
        item: dict[str, Any] = {
            "name": self.name,
            "encoding": "binary" if enc.text_in_buffer else enc.codec,
            "bits": bits,
            "byte_order": enc.byte_order,
            "reverse_bits": enc.reverse_bits,
        }
        if self.start is not None:
            item["offset_bits"] = self.start
        return item
