"""Every published function, on its success path and on each kind of
failure, called many times: no Python object, native buffer or reference
is left behind, and the arguments come back untouched."""

import pytest

import bitloom as b
from leakcheck import assert_no_leak, fresh, outcome

pytestmark = pytest.mark.leaks


def rec(name="temp sensor", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    """A recipe item whose strings and large numbers are fresh objects."""
    d = {
        fresh("name"): fresh(name),
        fresh("encoding"): fresh(encoding),
        fresh("bits"): bits,
        fresh("byte_order"): fresh(byte_order),
        fresh("reverse_bits"): reverse_bits,
    }
    d.update(extra)
    return d


def omit(d, key):
    return {k: v for k, v in d.items() if k != key}


BIG = int("123456789")
PACKET = bytes(range(1, 33))

# (function name, positional args, expected exception or None)
SINGLE_VALUE = [
    ("decode_ones_complement", (0xFA, 8), None),
    ("decode_ones_complement", (-1, 8), OverflowError),
    ("decode_twos_complement", (0x80, 8), None),
    ("decode_twos_complement", ("x", 8), TypeError),
    ("decode_sign_magnitude", (0x85, 8), None),
    ("decode_sign_magnitude", (1, 2**32), OverflowError),
    ("decode_unpacked_bcd", (0x0402, 16), None),
    ("decode_unpacked_bcd", (0x3432, 16), ValueError),
    ("decode_unpacked_bcd", (0x0402, 16, 1), TypeError),
    ("decode_packed_bcd", (0x123D, 16, True), None),
    ("decode_packed_bcd", (0xFA, 8), ValueError),
    ("decode_ieee754_f16", (0x3C00,), None),
    ("decode_ieee754_f16", (2**64,), OverflowError),
    ("decode_ieee754_f32", (0x3F800000,), None),
    ("decode_ieee754_f64", (BIG,), None),
    ("decode_ieee754_f64", (1.5,), TypeError),
    ("decode_ieee754_f128", (2**126,), None),
    ("decode_ieee754_f128", (2**128,), OverflowError),
    ("decode_ieee754_f128", (-1,), ValueError),
    ("encode_ones_complement", (-5, 8), None),
    ("encode_ones_complement", (128, 8), ValueError),
    ("encode_twos_complement", (-BIG, 64), None),
    ("encode_twos_complement", (BIG, 8), ValueError),
    ("encode_twos_complement", (2**63, 8), OverflowError),
    ("encode_sign_magnitude", (-5, 8), None),
    ("encode_sign_magnitude", (1, 1), ValueError),
    ("encode_unpacked_bcd", (-42, 16, True), None),
    ("encode_unpacked_bcd", (100, 16), ValueError),
    ("encode_packed_bcd", (BIG, 64), None),
    ("encode_packed_bcd", (-1, 8), ValueError),
    ("encode_packed_bcd", (1, 8, None), TypeError),
    ("encode_ieee754_f16", (1.5,), None),
    ("encode_ieee754_f16", (fresh("1.5"),), TypeError),
    ("encode_ieee754_f32", (BIG,), None),
    ("encode_ieee754_f64", (-2.5,), None),
    ("encode_ieee754_f64", (10**400,), OverflowError),
    ("encode_utf8", (fresh("h\xe9llo \u20ac"),), None),
    ("encode_utf8", ("\ud800",), UnicodeEncodeError),
    ("encode_utf8", (5,), TypeError),
    ("encode_utf16", (fresh("a\U0001f600"),), None),
    ("encode_utf16le", (fresh("abc"),), None),
    ("encode_utf16be", (fresh("abc"),), None),
    ("encode_utf32", (fresh("a\U0001f600"),), None),
    ("encode_utf32le", (fresh("abc"),), None),
    ("encode_utf32be", ("x\udc00",), UnicodeEncodeError),
    ("encode_us_ascii", (fresh("plain"),), None),
    ("encode_us_ascii", (fresh("caf\xe9"),), ValueError),
    ("encode_iso_8859_1", (fresh("caf\xe9"),), None),
    ("encode_iso_8859_1", (fresh("\u20ac"),), ValueError),
    ("encode_windows_1252", (fresh("\u20ac5"),), None),
    ("encode_windows_1252", (fresh("\u0100"),), ValueError),
    ("decode_utf8", (b"h\xc3\xa9llo",), None),
    ("decode_utf8", (b"ab\xe2\x82",), ValueError),
    ("decode_utf8", (bytearray(b"a"),), TypeError),
    ("decode_utf16", (b"\xff\xfeA\x00",), None),
    ("decode_utf16", (b"\x00",), ValueError),
    ("decode_utf16le", (b"A\x00",), None),
    ("decode_utf16be", (b"\xd8\x00",), ValueError),
    ("decode_utf32", (b"\x00\x00\xfe\xff\x00\x00\x00A",), None),
    ("decode_utf32le", (b"A\x00\x00\x00",), None),
    ("decode_utf32be", (b"\x00\x11\x00\x00",), ValueError),
    ("decode_us_ascii", (b"abc",), None),
    ("decode_us_ascii", (b"a\x80",), ValueError),
    ("decode_iso_8859_1", (b"caf\xe9",), None),
    ("decode_iso_8859_1", (bytearray(b"a"),), TypeError),
    ("decode_windows_1252", (b"\x80\x81\xe9",), None),
    ("decode_windows_1252", (b"\xef\xbb\xbf\xe9",), ValueError),
    # The rest of the pairs: each function once more on the path it lacks.
    ("decode_ieee754_f32", (None,), TypeError),
    ("encode_ieee754_f32", ([],), TypeError),
    ("encode_utf16", ("\ud800",), UnicodeEncodeError),
    ("encode_utf16le", (b"a",), TypeError),
    ("encode_utf16be", ("a\udfff",), UnicodeEncodeError),
    ("encode_utf32", (None,), TypeError),
    ("encode_utf32le", ("\ud800",), UnicodeEncodeError),
    ("encode_utf32be", (fresh("a\U0001f600"),), None),
    ("decode_utf16le", (b"A",), ValueError),
    ("decode_utf16be", (b"\xd8\x3d\xde\x00",), None),
    ("decode_utf32", (b"\x00\x00\x00",), ValueError),
    ("decode_utf32le", (b"\x00\xd8\x00\x00",), ValueError),
    ("decode_utf32be", (b"\x00\x01\xf6\x00",), None),
]

UNIMPLEMENTED = [
    n
    for n in b.__all__
    if n.split("_", 1)[1]
    in {
        "ieee754_1985_f32",
        "ieee754_1985_f64",
        "ieee754_1985_f80",
        "mil_std_1750a_f32",
        "mil_std_1750a_f48",
        "dec_f32",
        "dec_f64",
        "ibm_f32",
        "ibm_f64",
        "ti_f32",
        "ti_f40",
    }
] + ["encode_ieee754_f128"]
for _name in UNIMPLEMENTED:
    SINGLE_VALUE.append((_name, (5,), NotImplementedError))
    SINGLE_VALUE.append((_name, (fresh("x"),), TypeError))

# Matching failures, for every function: too many positional arguments, an
# unknown keyword, nothing given.
MATCHING = []
for _name in b.__all__:
    MATCHING.append((_name, (0, 0, 0, 0), {}))
    MATCHING.append((_name, (), {fresh("no_such_parameter"): 1}))
    MATCHING.append((_name, (), {}))

PACK = [
    ([], None),
    ([rec(value=0x5A), rec(bits=12, value=0xABC, byte_order="little"), rec(bits=4, value=1, reverse_bits=True)], None),
    ([rec(encoding="twos_complement", bits=16, value=-BIG % 30000), rec(encoding="signMagnitude", value=-5)], None),
    ([rec(encoding="ones_complement", value=-5), rec(encoding="packed_bcd_signed", bits=16, value=-123)], None),
    ([rec(encoding="bcd", bits=16, value=42), rec(encoding="ieee754_f16", bits=16, value=1.5)], None),
    ([rec(encoding="ieee754_f32", bits=32, value=0.1), rec(encoding="ieee754_f64", bits=64, value=-2.0)], None),
    ([rec(encoding="unsigned", bits=100, value=BIG, reverse_bits=True, offset_bits=3)], None),
    (
        [rec(encoding="utf8", bits=32, value=fresh("\xe9t\xe9")), rec(encoding="UTF-16", bits=64, value=fresh("ab"))],
        None,
    ),
    ([rec(encoding="utf32le", bits=64, value=fresh("ab")), rec(encoding="us-ascii", bits=8, value=fresh("a"))], None),
    (
        [rec(encoding="iso_8859_1", bits=8, value=fresh("\xe9")), rec(encoding="windows-1252", bits=8, value="\u20ac")],
        None,
    ),
    ([[1, 2]], ValueError),
    ([omit(rec(value=1), "bits")], ValueError),
    ([rec(bits=fresh("8"), value=1)], ValueError),
    ([rec(bits=-1, value=1)], ValueError),
    ([rec(value=1, offset_bits=None)], ValueError),
    ([omit(rec(value=1), "name")], ValueError),
    ([omit(rec(value=1), "encoding")], ValueError),
    ([omit(rec(value=1), "byte_order")], ValueError),
    ([rec(value=1) | {"name": BIG}], ValueError),
    ([omit(rec(value=1), "reverse_bits")], ValueError),
    ([rec(value=1, reverse_bits=1)], ValueError),
    ([rec()], ValueError),
    ([rec(encoding="utf-7", value=fresh("a"))], ValueError),
    ([rec(value=fresh("a"))], ValueError),
    ([rec(encoding="utf8", value=BIG)], ValueError),
    ([rec(encoding="utf8", value="\ud800")], ValueError),
    ([rec(value=256)], ValueError),
    ([rec(encoding="twos_complement", value=BIG)], ValueError),
    ([rec(encoding="packed_bcd", value=-1)], ValueError),
    ([rec(encoding="us_ascii", value=fresh("\xe9"))], ValueError),
    ([rec(value=1, byte_order="middle")], ValueError),
]

UNPACK = [
    (PACKET, 0, [], None),
    (PACKET, 3, [rec(bits=12), rec(name="b", bits=4, reverse_bits=True, byte_order="LITTLE")], None),
    (PACKET, 0, [rec(encoding="twos_complement", bits=64), rec(name="s", encoding="sign_magnitude", bits=16)], None),
    (PACKET, 0, [rec(encoding="ones_complement", bits=7), rec(name="f", encoding="ieee754_f16", bits=16)], None),
    (PACKET, 0, [rec(encoding="ieee754_f32", bits=32), rec(name="d", encoding="ieee754-f64", bits=64)], None),
    (
        b"\x01\x23\x4c\x04\x02",
        0,
        [rec(encoding="packed_bcd_signed", bits=24), rec(name="z", encoding="bcd", bits=16)],
        None,
    ),
    (b"A\x00B\x00\xe9", 0, [rec(encoding="utf16le", bits=32), rec(name="l", encoding="latin1", bits=8)], None),
    (
        b"\xff\xfeA\x00",
        0,
        [rec(encoding="utf16", bits=32), rec(name="w", encoding="windows_1252", bits=32, offset_bits=0)],
        None,
    ),
    (
        b"\x00\x00\x00A",
        0,
        [rec(encoding="utf32", bits=32), rec(name="u", encoding="us-ascii", bits=16, offset_bits=16)],
        None,
    ),
    (PACKET, 0, [rec(bits=8), rec(bits=16)], None),  # same name twice
    (PACKET, 0, [(1, 2)], ValueError),
    (PACKET, 0, [omit(rec(), "name")], ValueError),
    (PACKET, 0, [omit(rec(), "encoding")], ValueError),
    (PACKET, 0, [omit(rec(), "bits")], ValueError),
    (PACKET, 0, [omit(rec(), "byte_order")], ValueError),
    (PACKET, 0, [omit(rec(), "reverse_bits")], ValueError),
    (PACKET, 0, [rec() | {"encoding": 5}], ValueError),
    (PACKET, 0, [rec(bits=2**32)], ValueError),
    (PACKET, 0, [rec(offset_bits=None)], ValueError),
    (PACKET, 0, [rec(reverse_bits=0)], ValueError),
    (PACKET, 0, [rec(bits=8 * 33)], ValueError),
    (PACKET, 0, [rec(byte_order="middle")], ValueError),
    (PACKET, 0, [rec(encoding="utf-7")], ValueError),
    (PACKET, 0, [rec(encoding="ieee754_f128", bits=128)], ValueError),
    (PACKET, 0, [rec(encoding="ti_f32")], ValueError),
    (PACKET, 0, [rec(encoding="mil_std_1750a_f48")], ValueError),
    (b"\xfa", 0, [rec(encoding="packed_bcd")], ValueError),
    (b"\xff", 0, [rec(encoding="utf8")], ValueError),
    (b"\xd8\x00", 0, [rec(encoding="utf16be", bits=16)], ValueError),
]

PACKET_ARGUMENTS = [
    ("pack_parameters", (fresh("abc"),), TypeError),
    ("pack_parameters", (BIG,), TypeError),
    ("pack_parameters", ({},), TypeError),
    ("unpack_parameters", (bytearray(PACKET), 0, []), TypeError),
    ("unpack_parameters", (PACKET, -1, []), OverflowError),
    ("unpack_parameters", (PACKET, 2**32, []), OverflowError),
    ("unpack_parameters", (PACKET, 0, fresh("abc")), TypeError),
]


def check(fn, args, kwargs, expected):
    call = lambda: fn(*args, **kwargs)  # noqa: E731
    assert outcome(call) is expected
    assert_no_leak(call, watched=(args, kwargs))


@pytest.mark.parametrize("name, args, expected", SINGLE_VALUE + PACKET_ARGUMENTS)
def test_single_calls(name, args, expected):
    check(getattr(b, name), args, {}, expected)


def test_every_function_has_a_success_and_a_failure_case():
    single = set(b.__all__) - {"pack_parameters", "unpack_parameters"}
    succeeding = {n for n, _, e in SINGLE_VALUE if e is None}
    failing = {n for n, _, e in SINGLE_VALUE if e is not None}
    assert single - set(UNIMPLEMENTED) <= succeeding
    assert single <= failing


@pytest.mark.parametrize("name, args, kwargs", MATCHING)
def test_argument_matching_failures(name, args, kwargs):
    check(getattr(b, name), args, kwargs, TypeError)


@pytest.mark.parametrize("recipe, expected", PACK)
def test_pack_parameters(recipe, expected):
    check(b.pack_parameters, (recipe,), {}, expected)
    check(b.pack_parameters, (), {"recipe": tuple(recipe)}, expected)


@pytest.mark.parametrize("packet, offset, recipe, expected", UNPACK)
def test_unpack_parameters(packet, offset, recipe, expected):
    check(b.unpack_parameters, (packet, offset, recipe), {}, expected)
