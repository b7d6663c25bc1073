"""pack_parameters: sizing, placement, byte order, mirroring, errors."""

import copy

import pytest

import bitloom as b
from recipes import item, without


@pytest.mark.parametrize(
    "recipe, expected",
    [
        ([], b""),
        ([item(value=0x5A)], b"\x5a"),
        ([item(bits=4, value=0xA), item(bits=4, value=0x5)], b"\xa5"),
        ([item(bits=12, value=0xABC), item(bits=4, value=0xD)], b"\xab\xcd"),
        # "little" reverses the 2-byte form 0A BC, then the last 12 bits are placed.
        ([item(bits=12, value=0xABC, byte_order="little")], bytes([0b11000000, 0b10100000])),
        ([item(bits=16, value=0x1234, byte_order="little")], b"\x34\x12"),
        ([item(bits=16, value=0x1234)], b"\x12\x34"),
        ([item(bits=4, value=1, reverse_bits=True)], b"\x80"),
        ([item(bits=0, value=0)], b""),
        ([item(bits=8, offset_bits=16, value=1)], b"\x00\x00\x01"),
        # Second item moves back; the third follows the second (cursor), the
        # sizing pass reserved room after the furthest end.
        ([item(offset_bits=8, value=1), item(offset_bits=0, value=2), item(value=3)], b"\x02\x03\x00"),
        ([item(bits=3, value=5), item(bits=7, value=0x7F), item(bits=6, value=0)], bytes([0b10111111, 0b11000000])),
        ([item(bits=64, value=2**64 - 1)], b"\xff" * 8),
        # Ints of more than one internal digit (2^30 and beyond), up to 64 bits.
        ([item(bits=32, value=2**30)], b"\x40\x00\x00\x00"),
        ([item(bits=32, value=1_700_000_000, byte_order="little")], b"\x00\xf1\x53\x65"),
        ([item(bits=32, value=2**32 - 1), item(bits=8, value=2)], b"\xff\xff\xff\xff\x02"),
        ([item(bits=64, value=2**63)], b"\x80" + b"\x00" * 7),
        ([item(bits=64, value=2**63 + 1, reverse_bits=True)], b"\x80" + b"\x00" * 6 + b"\x01"),
        ([item(encoding="twos_complement", bits=32, value=-(2**31))], b"\x80\x00\x00\x00"),
        ([item(encoding="twos_complement", bits=64, value=-(2**63))], b"\x80" + b"\x00" * 7),
        ([item(encoding="twos_complement", bits=64, value=2**63 - 1)], b"\x7f" + b"\xff" * 7),
        ([item(encoding="sign_magnitude", bits=40, value=-(2**39 - 1))], b"\xff" * 5),
        ([item(encoding="ones_complement", bits=48, value=-(2**40))], b"\xfe" + b"\xff" * 5),
        ([item(encoding="packed_bcd", bits=40, value=9876543210)], b"\x98\x76\x54\x32\x10"),
        ([item(bits=9, value=0x1FF, offset_bits=3)], bytes([0b00011111, 0b11110000])),
        ([item(encoding="twos_complement", bits=16, value=-5)], b"\xff\xfb"),
        ([item(encoding="sign_magnitude", bits=8, value=-5)], b"\x85"),
        ([item(encoding="onesComplement", bits=8, value=-5)], b"\xfa"),
        ([item(encoding="signMagnitude", bits=8, value=-5)], b"\x85"),
        ([item(encoding="twosComplement", bits=8, value=-5)], b"\xfb"),
        ([item(encoding="UNSIGNED", byte_order="BIG", value=7)], b"\x07"),
        ([item(encoding="ieee754_f32", bits=32, value=1.0)], b"\x3f\x80\x00\x00"),
        ([item(encoding="ieee754-f64", bits=64, value=-2.0)], b"\xc0" + b"\x00" * 7),
        ([item(encoding="ieee754_f32", bits=16, value=1.0)], b"\x00\x00"),
        ([item(encoding="ieee754_f32", bits=40, value=1.0)], b"\x00\x3f\x80\x00\x00"),
        ([item(encoding="ieee754_f32", bits=32, value=1.0, byte_order="little")], b"\x00\x00\x80\x3f"),
        ([item(encoding="utf8", bits=32, value="AB")], b"AB\x00\x00"),
        ([item(encoding="utf8", bits=16, value="ABCD")], b"CD"),
        ([item(encoding="UTF-8", bits=32, value="ABCD", byte_order="little")], b"DCBA"),
        ([item(encoding="utf8", bits=12, value="A")], bytes([0x41, 0x00])),
        ([item(encoding="utf8", bits=4, value="A")], bytes([0x10])),
        ([item(encoding="utf8", bits=8, value="ABC", reverse_bits=True)], b"C"),
        # Kelvin sign lowercases to "k".
        ([item(encoding="twos_complement".replace("k", "\u212a"), bits=8, value=-1)], b"\xff"),
        ([item(encoding="utf8", bits=16, value="é", byte_order="Little")], b"\xa9\xc3"),
    ],
)
def test_packing(recipe, expected):
    assert b.pack_parameters(recipe) == expected
    assert b.pack_parameters(tuple(recipe)) == expected


def test_overlapping_items_overwrite_zeros_too():
    assert b.pack_parameters([item(bits=16, value=0xFFFF), item(bits=8, offset_bits=4, value=0)]) == b"\xf0\x0f"


def test_wide_numeric_fields_stay_inside_the_buffer():
    packet = b.pack_parameters([item(bits=72, value=0x0102030405060708)])
    assert packet == b"\x00\x01\x02\x03\x04\x05\x06\x07\x08"
    packet = b.pack_parameters([item(bits=72, value=1, reverse_bits=True)])
    assert packet == b"\x80" + b"\x00" * 8
    packet = b.pack_parameters([item(bits=70, value=3, byte_order="little")])
    assert len(packet) == 9


@pytest.mark.parametrize(
    "recipe, expected",
    [
        # The end wraps: sizing sees 2^32 - 8 + 16 = 8 bits, one byte; the
        # field's last 8 bits land in it after the cursor wraps.
        ([item(bits=16, offset_bits=2**32 - 8, value=0xABCD)], b"\xcd"),
        ([item(bits=8, offset_bits=2**32 - 8, value=0xAB)], b""),
        ([item(bits=8, value=1), item(bits=8, offset_bits=2**32 - 4, value=0xFF)], b"\xf1"),
    ],
)
def test_positions_wrap_at_32_bits(recipe, expected):
    assert b.pack_parameters(recipe) == expected


def error_text(recipe):
    with pytest.raises(ValueError) as info:
        b.pack_parameters(recipe)
    assert info.value.__cause__ is None and info.value.__context__ is None
    return str(info.value)


GOOD = item(value=1)

ERROR_ROWS = [
    ([[1]], "TypeError: 'list' object cannot be cast as 'dict'"),
    ([GOOD, (1,)], "TypeError: 'tuple' object cannot be cast as 'dict'"),
    ([without(GOOD, "name"), without(GOOD, "bits")], "KeyError: \"Recipe missing required field: 'bits'\""),
    ([item(bits=None, value=1)], "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ([item(bits=-1, value=1)], "OverflowError: can't convert negative int to unsigned"),
    ([item(bits=2**32, value=1)], "OverflowError: out of range integral type conversion attempted"),
    (
        [without(GOOD, "name"), item(offset_bits=None, value=1)],
        "TypeError: 'NoneType' object cannot be interpreted as an integer",
    ),
    ([without(GOOD, "name")], "KeyError: \"Recipe missing required field: 'name'\""),
    ([without(GOOD, "encoding")], "KeyError: \"Recipe missing required field: 'encoding'\""),
    ([without(GOOD, "byte_order")], "KeyError: \"Recipe missing required field: 'byte_order'\""),
    ([item(name=1, value=1)], "TypeError: 'int' object cannot be cast as 'str'"),
    ([item(encoding=b"unsigned", value=1)], "TypeError: 'bytes' object cannot be cast as 'str'"),
    ([item(byte_order=None, value=1)], "TypeError: 'NoneType' object cannot be cast as 'str'"),
    (
        [without(item(encoding="utf8", value="a"), "reverse_bits")],
        "KeyError: \"Recipe missing required field: 'reverse_bits'\"",
    ),
    ([item(reverse_bits=1, value=1)], "TypeError: 'int' object cannot be cast as 'bool'"),
    ([item(reverse_bits=None, value=1)], "TypeError: 'NoneType' object cannot be cast as 'bool'"),
    ([item(name="temp")], "KeyError: \"Recipe item 'temp' missing required field: 'value'\""),
    ([item(encoding="utf-7", value=1)], "ValueError: Unsupported encoding type: utf-7"),
    ([item(encoding="Latin1", value="a")], "ValueError: Unsupported encoding type: Latin1"),
    ([item(encoding="ieee754_f128", value=1.0)], "ValueError: Unsupported encoding type: ieee754_f128"),
    ([item(encoding="ti_f32", value=1.0)], "ValueError: Unsupported encoding type: ti_f32"),
    ([item(encoding="sign-magnitude", value=1)], "ValueError: Unsupported encoding type: sign-magnitude"),
    ([item(encoding="utf8", value=5)], "TypeError: 'int' object cannot be cast as 'str'"),
    ([item(value=1.5)], "TypeError: 'float' object cannot be interpreted as an integer"),
    ([item(value=-1)], "OverflowError: can't convert negative int to unsigned"),
    ([item(encoding="twos_complement", value=2**63)], "OverflowError: "),
    ([item(encoding="twos_complement", bits=64, value=-(2**63) - 1)], "OverflowError: "),
    ([item(bits=64, value=2**64)], "OverflowError: "),
    ([item(bits=64, value=-(2**40))], "OverflowError: can't convert negative int to unsigned"),
    ([item(bits=32, value=2**32)], "ValueError: Value 4294967296 is too large for 32 bits"),
    (
        [item(encoding="twos_complement", bits=32, value=2**31)],
        "ValueError: Value 2147483648 out of range for 32 bits (range: -2147483648 to 2147483647)",
    ),
    ([item(value=256)], "ValueError: Value 256 is too large for 8 bits"),
    ([item(bits=0, value=5)], "ValueError: Value 5 is too large for 0 bits"),
    (
        [item(encoding="twos_complement", value=128)],
        "ValueError: Value 128 out of range for 8 bits (range: -128 to 127)",
    ),
    (
        [item(encoding="sign_magnitude", bits=1, value=0)],
        "ValueError: bits must be between 2 and 64 for sign-magnitude encoding",
    ),
    # The value is checked before the byte order.
    ([item(byte_order="middle", value=256)], "ValueError: Value 256 is too large for 8 bits"),
    ([item(byte_order="middle", value=1)], "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"),
    ([item(byte_order="BIGGER", value=1)], "ValueError: Invalid byte_order 'BIGGER': must be 'big' or 'little'"),
    (
        [item(encoding="utf8", value="\ud800")],
        "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed",
    ),
]


@pytest.mark.parametrize("recipe, message", ERROR_ROWS)
def test_errors_in_order(recipe, message):
    # A message ending in ": " comes from the interpreter; only its type is ours.
    text = error_text(recipe)
    assert text.startswith(message) if message.endswith(": ") else text == message


def test_a_failed_call_leaves_the_recipe_untouched():
    recipe = [item(value=1, note="kept"), item(name="bad", value=999)]
    before = copy.deepcopy(recipe)
    with pytest.raises(ValueError):
        b.pack_parameters(recipe)
    assert recipe == before


class Hooked(dict):
    def __getitem__(self, key):
        raise AssertionError("hook used")

    def __missing__(self, key):
        raise AssertionError("hook used")


def test_dict_subclass_hooks_are_bypassed():
    assert b.pack_parameters([Hooked(item(value=9))]) == b"\x09"
    assert error_text([Hooked(without(item(value=9), "name"))]) == "KeyError: \"Recipe missing required field: 'name'\""


def test_other_mappings_are_refused():
    import types

    assert (
        error_text([types.MappingProxyType(item(value=1))])
        == "TypeError: 'mappingproxy' object cannot be cast as 'dict'"
    )


def test_extra_and_differently_cased_keys_are_ignored():
    d = item(value=1, description="anything", Bits=99)
    assert b.pack_parameters([d]) == b"\x01"


def test_generator_and_custom_sequences_are_accepted():
    class Seq:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            return self.items[i]

    assert b.pack_parameters(Seq([item(value=1), item(value=2)])) == b"\x01\x02"


def test_numpy_bool_for_reverse_bits():
    np = pytest.importorskip("numpy")
    assert b.pack_parameters([item(bits=4, value=1, reverse_bits=np.True_)]) == b"\x80"


def test_keys_built_at_run_time_are_found():
    # Keys that are not the interned literals (as json.loads produces them).
    import json

    recipe = json.loads(json.dumps([item(bits=12, value=0xABC), item(bits=4, value=0xD)]))
    fresh = [{"".join(k): v for k, v in d.items()} for d in recipe]
    assert b.pack_parameters(recipe) == b.pack_parameters(fresh) == b"\xab\xcd"
    assert b.unpack_parameters(b"\xab\xcd", 0, fresh) == {"x": 0xD}


def test_changes_made_by_python_code_during_the_call_are_seen():
    # A value's __index__ runs between the passes' reads of the next item:
    # what it changes there must be what the writing pass reads.
    later = item(name="later", value=1)

    class Sneaky:
        def __index__(self):
            later["value"] = 2
            del later["name"]
            return 7

    assert error_text([item(value=Sneaky()), later]) == "KeyError: \"Recipe missing required field: 'name'\""
    later["name"] = "later"

    class Resize:
        def __index__(self):
            later["bits"] = 16
            return 1

    # The sizing pass saw 8 + 8 bits; the writing pass reads the new width,
    # and the packet holds the whole of it, as packing the changed recipe does.
    assert b.pack_parameters([item(value=Resize()), later]) == b"\x01\x00\x02"
