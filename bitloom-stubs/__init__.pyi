"""Bit-granular packing and unpacking of telemetry and telecommand packets.

Type information for the ``bitloom`` extension module. The integer,
decimal and floating-point codecs map between a Python number and a bit
pattern held in an ``int``; the text codecs map between ``str`` and
``bytes``. Every codec rejection is a ``ValueError``; the functions of the
formats that are known by name but not implemented always raise
``NotImplementedError``.
"""

import builtins
from collections.abc import Mapping, Sequence
from typing import Any, NoReturn, NotRequired, TypeAlias, TypedDict, type_check_only

__version__: str

__all__ = [
    "unpack_parameters",
    "pack_parameters",
    "decode_ones_complement",
    "decode_twos_complement",
    "decode_sign_magnitude",
    "decode_unpacked_bcd",
    "decode_packed_bcd",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
    "decode_ieee754_1985_f32",
    "decode_ieee754_1985_f64",
    "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32",
    "decode_mil_std_1750a_f48",
    "decode_dec_f32",
    "decode_dec_f64",
    "decode_ibm_f32",
    "decode_ibm_f64",
    "decode_ti_f32",
    "decode_ti_f40",
    "decode_us_ascii",
    "decode_iso_8859_1",
    "decode_windows_1252",
    "decode_utf8",
    "decode_utf16",
    "decode_utf16le",
    "decode_utf16be",
    "decode_utf32",
    "decode_utf32le",
    "decode_utf32be",
    "encode_ones_complement",
    "encode_twos_complement",
    "encode_sign_magnitude",
    "encode_unpacked_bcd",
    "encode_packed_bcd",
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "encode_ieee754_f128",
    "encode_ieee754_1985_f32",
    "encode_ieee754_1985_f64",
    "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32",
    "encode_mil_std_1750a_f48",
    "encode_dec_f32",
    "encode_dec_f64",
    "encode_ibm_f32",
    "encode_ibm_f64",
    "encode_ti_f32",
    "encode_ti_f40",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
    "encode_utf8",
    "encode_utf16",
    "encode_utf16le",
    "encode_utf16be",
    "encode_utf32",
    "encode_utf32le",
    "encode_utf32be",
]

# Exists for type checkers only: import it under `if TYPE_CHECKING:`.
@type_check_only
class RecipeItem(TypedDict):
    """One field of a packet, as a plain ``dict``.

    ``encoding`` and ``byte_order`` are matched after lowercasing.
    ``offset_bits`` places the field (absolute when packing, counted from the
    ``offset_bits`` argument when unpacking); without it the field follows
    the previous one. ``value`` is needed for packing only: an ``int`` for
    the integer and decimal encodings, a number for the IEEE 754 ones, a
    ``str`` for the text ones.
    """

    name: str
    encoding: str
    bits: int
    byte_order: str
    reverse_bits: bool
    offset_bits: NotRequired[int]
    value: NotRequired[int | float | str]

# What the packet functions take as a recipe. A RecipeItem is checked key by
# key where code annotates with it; any other mapping with `str` keys is
# accepted as it comes, because that is how recipes are usually written: an
# unannotated literal (inferred as `dict[str, object]`), `dict(...)`, a list
# mixing helper results and literals (joined to `Mapping[str, object]`), or
# JSON (`Any`). At run time every item must be a `dict` or a subclass of it.
_Recipe: TypeAlias = Sequence[RecipeItem | Mapping[str, Any]]

# Packets.

def unpack_parameters(packet_bytes: bytes, offset_bits: int, recipe: _Recipe) -> dict[str, int | float | str]:
    """Unpacks the fields a recipe describes from a packet and returns a dict
    from each item's name to its decoded value.

    recipe is a sequence of dicts, one per field, with the keys name,
    encoding, bits, byte_order and reverse_bits, and optionally offset_bits
    (counted from the offset_bits argument; without it the field follows the
    previous one). Each field is read from the byte holding its first bit.

    Raises ValueError for any problem with an item, its text the inner
    error's type name, a colon and its message (for example "KeyError:" for
    a missing field, or "ValueError: Field 'x' needs 2 bytes from byte 3 but
    the packet has 4 bytes"); TypeError when packet_bytes is not bytes or
    recipe is a str or not a sequence; OverflowError when offset_bits is not
    an unsigned 32-bit integer.
    """

def pack_parameters(recipe: _Recipe) -> bytes:
    """Packs the values of a recipe into a packet and returns it as bytes.

    recipe is a sequence of dicts, one per field, with the keys name,
    encoding, bits, byte_order, reverse_bits and value, and optionally
    offset_bits (the field's absolute bit position; without it the field
    follows the previous one). Fields are written most significant bit
    first; the packet is as long as the furthest field end needs, in whole
    bytes.

    Raises ValueError for any problem with an item, its text the inner
    error's type name, a colon and its message (for example "KeyError:" for
    a missing field, "ValueError: Unsupported encoding type: utf-7", or
    "ValueError: Value 256 is too large for 8 bits"); TypeError when recipe
    is a str or not a sequence.
    """

# Integers: `value` is the raw bit pattern (decoders) or the signed number
# (encoders); `bits` is the field width.

def decode_ones_complement(value: int, bits: int) -> int:
    """Decodes value as a ones' complement pattern of bits bits, its sign in
    bit bits - 1, and returns the signed integer it holds.

    Raises TypeError when an argument is not an integer and OverflowError
    when value is negative or 2**64 or more, or bits is not an unsigned
    32-bit integer. The pattern itself never fails to decode.
    """

def decode_twos_complement(value: int, bits: int) -> int:
    """Decodes value as a two's complement pattern of bits bits, its sign in
    bit bits - 1, and returns the signed integer it holds.

    Raises TypeError when an argument is not an integer and OverflowError
    when value is negative or 2**64 or more, or bits is not an unsigned
    32-bit integer. The pattern itself never fails to decode.
    """

def decode_sign_magnitude(value: int, bits: int) -> int:
    """Decodes value as a sign-magnitude pattern of bits bits, its sign in bit
    bits - 1, and returns the signed integer it holds.

    Raises TypeError when an argument is not an integer and OverflowError
    when value is negative or 2**64 or more, or bits is not an unsigned
    32-bit integer. The pattern itself never fails to decode.
    """

def encode_ones_complement(value: int, bits: int) -> int:
    """Encodes value as a ones' complement pattern of bits bits and returns the
    pattern as a non-negative int.

    Raises ValueError "bits must be <= 64 for ones' complement encoding", or
    "Value {} is too large for {} bits" (or "... too large (magnitude) ..."
    for a negative value) when value does not fit; TypeError or
    OverflowError when an argument does not convert (value must fit a signed
    64-bit integer, bits an unsigned 32-bit one).
    """

def encode_twos_complement(value: int, bits: int) -> int:
    """Encodes value as a two's complement pattern of bits bits and returns the
    pattern as a non-negative int.

    Raises ValueError "bits must be <= 64 for two's complement encoding", or
    "Value {} out of range for {} bits (range: {} to {})" when value does
    not fit; TypeError or OverflowError when an argument does not convert
    (value must fit a signed 64-bit integer, bits an unsigned 32-bit one).
    """

def encode_sign_magnitude(value: int, bits: int) -> int:
    """Encodes value as a sign-magnitude pattern of bits bits (the top bit the
    sign, the rest the magnitude) and returns the pattern as an int.

    Raises ValueError "bits must be between 2 and 64 for sign-magnitude
    encoding", or "Magnitude of {} is too large for {} bits"; TypeError or
    OverflowError when an argument does not convert (value must fit a signed
    64-bit integer, bits an unsigned 32-bit one).
    """

# Binary-coded decimal: packed (a digit per nibble) and unpacked (zoned, a
# digit per byte).

def decode_unpacked_bcd(value: int, bits: int, signed: bool = False) -> int:
    """Decodes an unpacked (zoned) BCD pattern of bits bits, one digit per
    byte, and returns its integer value. With signed=True the digits are
    ASCII or EBCDIC zoned bytes and the units digit's zone carries the sign.

    Raises ValueError "Invalid BCD digit: {} (must be 0-9)" or, when signed,
    "Invalid zoned decimal byte: ..." or "Invalid zoned decimal signed byte:
    ..."; TypeError or OverflowError when an argument does not convert
    (value an unsigned 64-bit integer, bits an unsigned 32-bit one, signed a
    bool).
    """

def decode_packed_bcd(value: int, bits: int, signed: bool = False) -> int:
    """Decodes a packed BCD pattern of bits bits, one digit per nibble, and
    returns its integer value. With signed=True the lowest nibble is the
    sign (0xB and 0xD negative, other values from 0xA up positive).

    Raises ValueError "Invalid BCD digit: {} (must be 0-9)" or "Invalid BCD
    sign nibble: expected 0xA-0xF for signed packed BCD"; TypeError or
    OverflowError when an argument does not convert (value an unsigned
    64-bit integer, bits an unsigned 32-bit one, signed a bool).
    """

def encode_unpacked_bcd(value: int, bits: int, signed: bool = False) -> int:
    """Encodes value as unpacked (zoned) BCD in bits bits, one digit per byte,
    and returns the pattern as an int. With signed=True the digits are zoned
    and the units digit's zone carries the sign.

    Raises ValueError "bits must be >= 8 for unpacked BCD" or "Value {} has
    too many digits for {} BCD digits"; TypeError or OverflowError when an
    argument does not convert (value a signed 64-bit integer, bits an
    unsigned 32-bit one, signed a bool).
    """

def encode_packed_bcd(value: int, bits: int, signed: bool = False) -> int:
    """Encodes value as packed BCD in bits bits, one digit per nibble, and
    returns the pattern as an int. With signed=True a sign nibble follows
    the digits (0xC for zero and above, 0xD below zero).

    Raises ValueError "bits must be >= 4 for packed BCD", "Cannot encode
    negative value in unsigned BCD" or "Value {} has too many digits for {}
    BCD digits"; TypeError or OverflowError when an argument does not
    convert (value a signed 64-bit integer, bits an unsigned 32-bit one,
    signed a bool).
    """

# IEEE 754: the encoders return the bit pattern, the decoders take it.

def decode_ieee754_f16(value: int) -> float:
    """Decodes the low 16 bits of value as an IEEE 754 binary16 pattern and
    returns the float it holds (NaN payloads and signed zeros kept where a
    float can).

    Raises TypeError when value is not an integer and OverflowError when it
    is negative or 2**64 or more.
    """

def decode_ieee754_f32(value: int) -> float:
    """Decodes the low 32 bits of value as an IEEE 754 binary32 pattern and
    returns the float it holds (NaN payloads and signed zeros kept where a
    float can).

    Raises TypeError when value is not an integer and OverflowError when it
    is negative or 2**64 or more.
    """

def decode_ieee754_f64(value: int) -> float:
    """Decodes value as an IEEE 754 binary64 pattern and returns the float it
    holds (NaN payloads and signed zeros kept where a float can).

    Raises TypeError when value is not an integer and OverflowError when it
    is negative or 2**64 or more.
    """

def decode_ieee754_f128(value: int) -> float:
    """Decodes value as an IEEE 754 binary128 pattern and returns the nearest
    float.

    Raises TypeError when value is not an integer, ValueError when it is
    negative, and OverflowError "Python int larger than 128 bits".
    """

def encode_ieee754_f16(value: float) -> int:
    """Encodes value, rounded to the nearest IEEE 754 binary16 value (through
    the nearest binary32 value), and returns its bit pattern as an int.
    Values beyond the format's range become infinities.

    Raises TypeError (or the number's own error) when value does not convert
    to float.
    """

def encode_ieee754_f32(value: float) -> int:
    """Encodes value, rounded to the nearest IEEE 754 binary32 value (through
    the nearest binary32 value), and returns its bit pattern as an int.
    Values beyond the format's range become infinities.

    Raises TypeError (or the number's own error) when value does not convert
    to float.
    """

def encode_ieee754_f64(value: float) -> int:
    """Encodes value, rounded to the nearest IEEE 754 binary64 value, and
    returns its bit pattern as an int. Values beyond the format's range
    become infinities.

    Raises TypeError (or the number's own error) when value does not convert
    to float.
    """

# Formats known by name only: the argument is converted, then
# NotImplementedError is raised.

def encode_ieee754_f128(_value: float) -> NoReturn:
    """Not implemented: binary128 encoding is known by name only.

    Raises NotImplementedError "IEEE 754 f128 encoding not yet implemented"
    once _value has converted to float (TypeError when it does not).
    """

def decode_ieee754_1985_f32(_value: int) -> NoReturn:
    """Not implemented: the IEEE 754-1985 f32 format is known by name only.

    Raises NotImplementedError "IEEE 754-1985 f32 format not yet
    implemented" once _value has converted as an unsigned 64-bit integer
    (TypeError or OverflowError when it does not).
    """

def decode_ieee754_1985_f64(_value: int) -> NoReturn:
    """Not implemented: the IEEE 754-1985 f64 format is known by name only.

    Raises NotImplementedError "IEEE 754-1985 f64 format not yet
    implemented" once _value has converted as an unsigned 64-bit integer
    (TypeError or OverflowError when it does not).
    """

def decode_ieee754_1985_f80(_value: int) -> NoReturn:
    """Not implemented: the IEEE 754-1985 f80 format is known by name only.

    Raises NotImplementedError "IEEE 754-1985 f80 format not yet
    implemented" once _value has converted as an unsigned 64-bit integer
    (TypeError or OverflowError when it does not).
    """

def decode_mil_std_1750a_f32(_value: int) -> NoReturn:
    """Not implemented: the MIL-STD-1750A f32 format is known by name only.

    Raises NotImplementedError "MIL-STD-1750A f32 format not yet
    implemented" once _value has converted as an unsigned 64-bit integer
    (TypeError or OverflowError when it does not).
    """

def decode_mil_std_1750a_f48(_value: int) -> NoReturn:
    """Not implemented: the MIL-STD-1750A f48 format is known by name only.

    Raises NotImplementedError "MIL-STD-1750A f48 format not yet
    implemented" once _value has converted as an unsigned 64-bit integer
    (TypeError or OverflowError when it does not).
    """

def decode_dec_f32(_value: int) -> NoReturn:
    """Not implemented: the DEC f32 format is known by name only.

    Raises NotImplementedError "DEC f32 format not yet implemented" once
    _value has converted as an unsigned 64-bit integer (TypeError or
    OverflowError when it does not).
    """

def decode_dec_f64(_value: int) -> NoReturn:
    """Not implemented: the DEC f64 format is known by name only.

    Raises NotImplementedError "DEC f64 format not yet implemented" once
    _value has converted as an unsigned 64-bit integer (TypeError or
    OverflowError when it does not).
    """

def decode_ibm_f32(_value: int) -> NoReturn:
    """Not implemented: the IBM f32 format is known by name only.

    Raises NotImplementedError "IBM f32 format not yet implemented" once
    _value has converted as an unsigned 64-bit integer (TypeError or
    OverflowError when it does not).
    """

def decode_ibm_f64(_value: int) -> NoReturn:
    """Not implemented: the IBM f64 format is known by name only.

    Raises NotImplementedError "IBM f64 format not yet implemented" once
    _value has converted as an unsigned 64-bit integer (TypeError or
    OverflowError when it does not).
    """

def decode_ti_f32(_value: int) -> NoReturn:
    """Not implemented: the TI f32 format is known by name only.

    Raises NotImplementedError "TI f32 format not yet implemented" once
    _value has converted as an unsigned 64-bit integer (TypeError or
    OverflowError when it does not).
    """

def decode_ti_f40(_value: int) -> NoReturn:
    """Not implemented: the TI f40 format is known by name only.

    Raises NotImplementedError "TI f40 format not yet implemented" once
    _value has converted as an unsigned 64-bit integer (TypeError or
    OverflowError when it does not).
    """

def encode_ieee754_1985_f32(_value: float) -> NoReturn:
    """Not implemented: the IEEE 754-1985 f32 format is known by name only.

    Raises NotImplementedError "IEEE 754-1985 f32 encoding not yet
    implemented" once _value has converted to float (TypeError when it does
    not).
    """

def encode_ieee754_1985_f64(_value: float) -> NoReturn:
    """Not implemented: the IEEE 754-1985 f64 format is known by name only.

    Raises NotImplementedError "IEEE 754-1985 f64 encoding not yet
    implemented" once _value has converted to float (TypeError when it does
    not).
    """

def encode_ieee754_1985_f80(_value: float) -> NoReturn:
    """Not implemented: the IEEE 754-1985 f80 format is known by name only.

    Raises NotImplementedError "IEEE 754-1985 f80 encoding not yet
    implemented" once _value has converted to float (TypeError when it does
    not).
    """

def encode_mil_std_1750a_f32(_value: float) -> NoReturn:
    """Not implemented: the MIL-STD-1750A f32 format is known by name only.

    Raises NotImplementedError "MIL-STD-1750A f32 encoding not yet
    implemented" once _value has converted to float (TypeError when it does
    not).
    """

def encode_mil_std_1750a_f48(_value: float) -> NoReturn:
    """Not implemented: the MIL-STD-1750A f48 format is known by name only.

    Raises NotImplementedError "MIL-STD-1750A f48 encoding not yet
    implemented" once _value has converted to float (TypeError when it does
    not).
    """

def encode_dec_f32(_value: float) -> NoReturn:
    """Not implemented: the DEC f32 format is known by name only.

    Raises NotImplementedError "DEC f32 encoding not yet implemented" once
    _value has converted to float (TypeError when it does not).
    """

def encode_dec_f64(_value: float) -> NoReturn:
    """Not implemented: the DEC f64 format is known by name only.

    Raises NotImplementedError "DEC f64 encoding not yet implemented" once
    _value has converted to float (TypeError when it does not).
    """

def encode_ibm_f32(_value: float) -> NoReturn:
    """Not implemented: the IBM f32 format is known by name only.

    Raises NotImplementedError "IBM f32 encoding not yet implemented" once
    _value has converted to float (TypeError when it does not).
    """

def encode_ibm_f64(_value: float) -> NoReturn:
    """Not implemented: the IBM f64 format is known by name only.

    Raises NotImplementedError "IBM f64 encoding not yet implemented" once
    _value has converted to float (TypeError when it does not).
    """

def encode_ti_f32(_value: float) -> NoReturn:
    """Not implemented: the TI f32 format is known by name only.

    Raises NotImplementedError "TI f32 encoding not yet implemented" once
    _value has converted to float (TypeError when it does not).
    """

def encode_ti_f40(_value: float) -> NoReturn:
    """Not implemented: the TI f40 format is known by name only.

    Raises NotImplementedError "TI f40 encoding not yet implemented" once
    _value has converted to float (TypeError when it does not).
    """

# Text. The decoders' parameter is named `bytes`.

def decode_us_ascii(bytes: builtins.bytes) -> str:
    """Decodes US-ASCII bytes and returns the text.

    Raises ValueError "Invalid US-ASCII byte: 0x{:02X} (must be <= 0x7F)"
    for the first byte above 0x7F; TypeError when bytes is not a bytes
    object.
    """

def decode_iso_8859_1(bytes: builtins.bytes) -> str:
    """Decodes ISO-8859-1 bytes (each byte the code point of the same value)
    and returns the text.

    Raises TypeError when bytes is not a bytes object; every byte decodes.
    """

def decode_windows_1252(bytes: builtins.bytes) -> str:
    """Decodes Windows-1252 bytes and returns the text. A leading byte-order
    mark (EF BB BF, FF FE or FE FF) selects UTF-8 or UTF-16 for the rest and
    is dropped.

    Raises ValueError "Failed to decode Windows-1252 bytes" when the text
    after such a mark is ill-formed; TypeError when bytes is not a bytes
    object.
    """

def decode_utf8(bytes: builtins.bytes) -> str:
    """Decodes UTF-8 bytes strictly and returns the text (a leading byte-order
    mark is kept as U+FEFF).

    Raises ValueError "Invalid UTF-8 bytes: ..." naming the first ill-formed
    or incomplete sequence; TypeError when bytes is not a bytes object.
    """

def decode_utf16(bytes: builtins.bytes) -> str:
    """Decodes UTF-16 bytes and returns the text. A leading byte-order mark (FE
    FF or FF FE) chooses the byte order and is dropped; without one the
    bytes are read big-endian.

    Raises ValueError "UTF-16 requires an even number of bytes with at least
    2 bytes", or "Invalid UTF-16 sequence: invalid utf-16: lone surrogate
    found"; TypeError when bytes is not a bytes object.
    """

def decode_utf16le(bytes: builtins.bytes) -> str:
    """Decodes little-endian UTF-16 bytes and returns the text. No byte-order
    mark is recognised: one at the start becomes a character of the text.

    Raises ValueError "UTF-16 requires an even number of bytes", or "Invalid
    UTF-16 sequence: invalid utf-16: lone surrogate found"; TypeError when
    bytes is not a bytes object.
    """

def decode_utf16be(bytes: builtins.bytes) -> str:
    """Decodes big-endian UTF-16 bytes and returns the text. No byte-order mark
    is recognised: one at the start becomes a character of the text.

    Raises ValueError "UTF-16 requires an even number of bytes", or "Invalid
    UTF-16 sequence: invalid utf-16: lone surrogate found"; TypeError when
    bytes is not a bytes object.
    """

def decode_utf32(bytes: builtins.bytes) -> str:
    """Decodes UTF-32 bytes and returns the text. A leading byte-order mark (00
    00 FE FF or FF FE 00 00) chooses the byte order and is dropped; without
    one the bytes are read big-endian.

    Raises ValueError "UTF-32 requires a multiple of 4 bytes with at least 4
    bytes", or "Invalid UTF-32 codepoint: 0x{:08X}"; TypeError when bytes is
    not a bytes object.
    """

def decode_utf32le(bytes: builtins.bytes) -> str:
    """Decodes little-endian UTF-32 bytes and returns the text. No byte-order
    mark is recognised: one at the start becomes a character of the text.

    Raises ValueError "UTF-32 requires a multiple of 4 bytes", or "Invalid
    UTF-32 codepoint: 0x{:08X}"; TypeError when bytes is not a bytes object.
    """

def decode_utf32be(bytes: builtins.bytes) -> str:
    """Decodes big-endian UTF-32 bytes and returns the text. No byte-order mark
    is recognised: one at the start becomes a character of the text.

    Raises ValueError "UTF-32 requires a multiple of 4 bytes", or "Invalid
    UTF-32 codepoint: 0x{:08X}"; TypeError when bytes is not a bytes object.
    """

def encode_us_ascii(text: str) -> builtins.bytes:
    """Encodes text as US-ASCII and returns the bytes.

    Raises ValueError "Character '{}' (U+{:04X}) is not valid US-ASCII" for
    the first character above U+007F; TypeError when text is not a str, and
    the interpreter's UnicodeEncodeError when it holds a lone surrogate.
    """

def encode_iso_8859_1(text: str) -> builtins.bytes:
    """Encodes text as ISO-8859-1 and returns the bytes.

    Raises ValueError "Character '{}' (U+{:04X}) is not valid ISO-8859-1"
    for the first character above U+00FF; TypeError when text is not a str,
    and the interpreter's UnicodeEncodeError when it holds a lone surrogate.
    """

def encode_windows_1252(text: str) -> builtins.bytes:
    """Encodes text as Windows-1252 and returns the bytes.

    Raises ValueError "Failed to encode to Windows-1252" when a character
    has no byte in that charset; TypeError when text is not a str, and the
    interpreter's UnicodeEncodeError when it holds a lone surrogate.
    """

def encode_utf8(text: str) -> builtins.bytes:
    """Encodes text as UTF-8 and returns the bytes, with no byte-order mark.

    Raises TypeError when text is not a str, and the interpreter's
    UnicodeEncodeError when it holds a lone surrogate.
    """

def encode_utf16(text: str) -> builtins.bytes:
    """Encodes text as big-endian UTF-16 after the byte-order mark FE FF
    (written for empty text too) and returns the bytes.

    Raises TypeError when text is not a str, and the interpreter's
    UnicodeEncodeError when it holds a lone surrogate.
    """

def encode_utf16le(text: str) -> builtins.bytes:
    """Encodes text as little-endian UTF-16 and returns the bytes, with no
    byte-order mark.

    Raises TypeError when text is not a str, and the interpreter's
    UnicodeEncodeError when it holds a lone surrogate.
    """

def encode_utf16be(text: str) -> builtins.bytes:
    """Encodes text as big-endian UTF-16 and returns the bytes, with no
    byte-order mark.

    Raises TypeError when text is not a str, and the interpreter's
    UnicodeEncodeError when it holds a lone surrogate.
    """

def encode_utf32(text: str) -> builtins.bytes:
    """Encodes text as big-endian UTF-32 after the byte-order mark 00 00 FE FF
    (written for empty text too) and returns the bytes.

    Raises TypeError when text is not a str, and the interpreter's
    UnicodeEncodeError when it holds a lone surrogate.
    """

def encode_utf32le(text: str) -> builtins.bytes:
    """Encodes text as little-endian UTF-32 and returns the bytes, with no
    byte-order mark.

    Raises TypeError when text is not a str, and the interpreter's
    UnicodeEncodeError when it holds a lone surrogate.
    """

def encode_utf32be(text: str) -> builtins.bytes:
    """Encodes text as big-endian UTF-32 and returns the bytes, with no
    byte-order mark.

    Raises TypeError when text is not a str, and the interpreter's
    UnicodeEncodeError when it holds a lone surrogate.
    """
