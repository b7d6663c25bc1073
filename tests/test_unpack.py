"""unpack_parameters: byte windows, running position, decoding, errors."""

import copy
import math
import re

import pytest

import bitloom as b
from recipes import item, without


def unpack(packet, recipe, offset=0):
    return b.unpack_parameters(packet, offset, recipe)


@pytest.mark.parametrize(
    "packet, offset, recipe, expected",
    [
        (b"\x01\x02", 0, [], {}),
        (b"\x12\x34", 0, [item(bits=16)], {"x": 4660}),
        (b"\x12\x34", 0, [item(bits=16, byte_order="little")], {"x": 13330}),
        (b"\x01\x02\x03", 0, [item(name="a"), item(name="b")], {"a": 1, "b": 2}),
        (b"\x01\x02\x03", 8, [item(name="a"), item(name="b")], {"a": 2, "b": 3}),
        (bytes(range(6)), 0, [item(name="a", offset_bits=16), item(name="b")], {"a": 2, "b": 3}),
        (bytes(range(6)), 8, [item(name="a", offset_bits=16), item(name="b")], {"a": 3, "b": 4}),
        # Whole bytes from the one holding the first bit, low-order bits kept.
        (b"\xab\xcd", 0, [item(name="a", bits=12), item(name="b", bits=4)], {"a": 0xBCD, "b": 0xD}),
        (b"\xab", 3, [item(bits=8)], {"x": 0xAB}),
        (b"\x01", 0, [item(bits=4, reverse_bits=True)], {"x": 8}),
        (b"\x12\x34", 0, [item(bits=16, reverse_bits=True)], {"x": 0x2C48}),
        (b"\x12\x34", 0, [item(bits=16, reverse_bits=True, byte_order="little")], {"x": 0x482C}),
        (b"\x85", 0, [item(encoding="sign_magnitude")], {"x": -5}),
        (b"\x80", 0, [item(encoding="sign_magnitude")], {"x": 0}),
        (b"\xff", 0, [item(encoding="ones_complement")], {"x": 0}),
        (b"\xfe", 0, [item(encoding="OnesComplement")], {"x": -1}),
        (b"\xff", 0, [item(encoding="twos_complement")], {"x": -1}),
        (b"\x80", 0, [item(encoding="twoscomplement")], {"x": -128}),
        (b"\xff" * 8, 0, [item(encoding="twos_complement", bits=64)], {"x": -1}),
        (b"\xff" * 8, 0, [item(encoding="unsigned", bits=64)], {"x": 2**64 - 1}),
        (b"\xff" * 8, 0, [item(encoding="ones_complement", bits=64)], {"x": 0}),
        # Wider than 64 bits: the first 8 bytes (big) or the last 8 (little).
        (bytes(range(1, 11)), 0, [item(bits=80)], {"x": 0x0102030405060708}),
        (bytes(range(1, 11)), 0, [item(bits=80, byte_order="little")], {"x": 0x0A09080706050403}),
        # Mirroring takes bit indices modulo 64: A's bit 63 lands at (71 - 63) = 8.
        (b"\x80" + b"\x00" * 8, 0, [item(bits=72, reverse_bits=True)], {"x": 0x100}),
        (b"\x3c\x00", 0, [item(encoding="ieee754_f16", bits=16)], {"x": 1.0}),
        (b"\x7c\x00", 0, [item(encoding="ieee754-f16", bits=16)], {"x": math.inf}),
        (b"\xfc\x00", 0, [item(encoding="ieee754_f16", bits=16)], {"x": -math.inf}),
        (b"\x00\x01", 0, [item(encoding="ieee754_f16", bits=16)], {"x": 2**-24}),
        (b"\x3f\x80\x00\x00", 0, [item(encoding="ieee754_f32", bits=32)], {"x": 1.0}),
        (b"\x00\x00\x80\x3f", 0, [item(encoding="IEEE754_F32", bits=32, byte_order="little")], {"x": 1.0}),
        (b"\xc0" + b"\x00" * 7, 0, [item(encoding="ieee754_f64", bits=64)], {"x": -2.0}),
        (b"", 0, [item(bits=0, encoding=e) for e in ("unsigned",)], {"x": 0}),
        (b"\x05", 8, [item(bits=0, encoding="ieee754_f32")], {"x": 0.0}),
        (b"\x07", 0, [item(byte_order="Big"), item(name="y", byte_order="LITTLE", offset_bits=0)], {"x": 7, "y": 7}),
    ],
)
def test_unpacking(packet, offset, recipe, expected):
    result = unpack(packet, recipe, offset)
    assert result == expected
    assert list(result) == list(expected)
    assert [type(v) for v in result.values()] == [type(v) for v in expected.values()]


def test_duplicate_names_keep_first_position_and_last_value():
    result = unpack(b"\x01\x02\x03", [item(name="a"), item(name="b"), item(name="a")])
    assert list(result.items()) == [("a", 3), ("b", 2)]


def test_name_of_a_str_subclass_becomes_a_plain_str_key():
    class Name(str):
        def __hash__(self):
            raise AssertionError("hashed")

    result = unpack(b"\x01", [item(name=Name("n"))])
    assert result == {"n": 1} and type(next(iter(result))) is str


def error_text(packet, recipe, offset=0):
    with pytest.raises(ValueError) as info:
        unpack(packet, recipe, offset)
    assert info.value.__cause__ is None and info.value.__context__ is None
    return str(info.value)


P = b"\x00" * 16

ERROR_ROWS = [
    (P, [[1]], "TypeError: 'list' object cannot be cast as 'dict'"),
    (P, [without(item(), "name")], "KeyError: \"Recipe missing required field: 'name'\""),
    (P, [without(item(), "encoding")], "KeyError: \"Recipe missing required field: 'encoding'\""),
    (P, [without(item(), "bits")], "KeyError: \"Recipe missing required field: 'bits'\""),
    (P, [without(item(), "byte_order")], "KeyError: \"Recipe missing required field: 'byte_order'\""),
    (
        P,
        [without(item(encoding="utf8"), "reverse_bits")],
        "KeyError: \"Recipe missing required field: 'reverse_bits'\"",
    ),
    (P, [item(name=None)], "TypeError: 'NoneType' object cannot be cast as 'str'"),
    (P, [item(bits=None)], "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    (P, [item(bits=2**32)], "OverflowError: out of range integral type conversion attempted"),
    (P, [item(reverse_bits=0)], "TypeError: 'int' object cannot be cast as 'bool'"),
    (P, [item(offset_bits=None)], "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    (
        b"\x00" * 5,
        [item(name="temp", bits=16, offset_bits=32)],
        "ValueError: Field 'temp' needs 2 bytes from byte 4 but the packet has 5 bytes",
    ),
    (b"", [item(bits=1)], "ValueError: Field 'x' needs 1 bytes from byte 0 but the packet has 0 bytes"),
    # The window comes before the byte order and the encoding.
    (
        b"",
        [item(byte_order="sideways", encoding="nope")],
        "ValueError: Field 'x' needs 1 bytes from byte 0 but the packet has 0 bytes",
    ),
    (
        P,
        [item(byte_order="sideways", encoding="nope")],
        "ValueError: Invalid byte_order 'sideways': must be 'big' or 'little'",
    ),
    (P, [item(encoding="Utf-7")], "ValueError: Unsupported encoding type: Utf-7"),
    (P, [item(encoding="sign-magnitude")], "ValueError: Unsupported encoding type: sign-magnitude"),
    (P, [item(encoding="cp1252")], "ValueError: Unsupported encoding type: cp1252"),
    (
        P,
        [item(encoding="ieee754_f128", bits=128)],
        "ValueError: IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)",
    ),
    (P, [item(encoding="ieee754_f128", bits=64)], "ValueError: IEEE 754 f128 field needs 128 bits, but bits is 64"),
    (
        P[:7],
        [item(encoding="ieee754_f128", bits=64)],
        "ValueError: Field 'x' needs 8 bytes from byte 0 but the packet has 7 bytes",
    ),
]


@pytest.mark.parametrize("packet, recipe, message", ERROR_ROWS)
def test_errors_in_order(packet, recipe, message):
    assert error_text(packet, recipe) == message


UNIMPLEMENTED = [
    ("ti_f32", "TI f32"),
    ("ti-f40", "TI f40"),
    ("dec_f32", "DEC f32"),
    ("dec-f64", "DEC f64"),
    ("ibm_f32", "IBM f32"),
    ("ibm-f64", "IBM f64"),
    ("ieee754_1985_f32", "IEEE 754-1985 f32"),
    ("ieee754-1985-f64", "IEEE 754-1985 f64"),
    ("ieee754_1985_f80", "IEEE 754-1985 f80"),
    ("mil_std_1750a_f32", "MIL-STD-1750A f32"),
    ("MIL-STD-1750A-F48", "MIL-STD-1750A f48"),
]


@pytest.mark.parametrize("encoding, label", UNIMPLEMENTED)
def test_unimplemented_formats(encoding, label):
    assert error_text(P, [item(encoding=encoding)]) == f"NotImplementedError: {label} format not yet implemented"


@pytest.mark.parametrize(
    "packet, offset, recipe",
    [
        # 2^32 - 8 + 16 wraps the running position; the window start is huge.
        (b"\x00" * 4, 2**32 - 8, [item(bits=16)]),
        (b"\x00" * 4, 8, [item(offset_bits=2**32 - 8), item(bits=2**32 - 9)]),
        (b"\x00" * 4, 0, [item(bits=2**32 - 8)]),
    ],
)
def test_wrapping_positions_never_read_outside(packet, offset, recipe):
    with pytest.raises(ValueError) as error:
        unpack(packet, recipe, offset)
    assert re.fullmatch(
        r"ValueError: Field 'x' needs \d+ bytes from byte \d+ but the packet has 4 bytes", str(error.value)
    )


def test_offset_sum_wraps_back_into_the_packet():
    # offset 8 + item offset (2^32 - 8) wraps to bit 0.
    assert unpack(b"\x2a", [item(offset_bits=2**32 - 8)], 8) == {"x": 42}
    # bits + 7 wraps for the largest width, so the window is empty.
    assert unpack(b"", [item(bits=2**32 - 1)]) == {"x": 0}


def test_a_failed_call_leaves_inputs_untouched():
    recipe = [item(name="a"), item(name="b", encoding="nope")]
    before = copy.deepcopy(recipe)
    packet = b"\x01\x02"
    with pytest.raises(ValueError):
        unpack(packet, recipe)
    assert recipe == before and packet == b"\x01\x02"
