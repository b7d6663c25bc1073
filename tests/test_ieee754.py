import math
import re
import struct
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import example, given, strategies as st

import bitloom
from bitloom import decode_ieee754_f16, decode_ieee754_f128, encode_ieee754_f16


def double_bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def double_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def numpy_f16_bits(values):
    """binary16 patterns by numpy: rounded to binary32 first, then to binary16."""
    with np.errstate(over="ignore"):
        return np.asarray(values, dtype=np.float64).astype(np.float32).astype(np.float16).view(np.uint16)


def test_examples():
    # Rounded to binary32 first, the value lands on a binary16 tie and rounds down.
    assert encode_ieee754_f16(1 + 2**-11 + 2**-40) == 0x3C00
    assert bitloom.decode_ieee754_f32(0x13F800000) == 1.0  # bits above 32 ignored


def test_f16_encoding_matches_numpy_on_binary32_patterns():
    # Every rounding boundary: each exponent around the binary16 range with
    # fractions that put ties and near-ties at every bit position, plus noise.
    fractions = {0, 0x7FFFFF} | {f & 0x7FFFFF for k in range(24) for f in (1 << k, (1 << k) - 1, 3 << k, 1 << k | 1)}
    crafted = [e << 23 | f for e in range(98, 146) for f in fractions]
    noise = np.random.default_rng(16).integers(0, 2**32, 100_000, dtype=np.uint32)
    patterns = np.concatenate([np.array(crafted, np.uint32), np.array(crafted, np.uint32) | 0x80000000, noise])
    values = patterns[patterns & 0x7FFFFFFF <= 0x7F800000].view(np.float32).astype(np.float64)  # no NaNs
    assert np.array_equal([encode_ieee754_f16(v) for v in values.tolist()], numpy_f16_bits(values))


@given(st.floats(allow_nan=False))
def test_f16_encoding_of_doubles_matches_numpy(x):
    assert encode_ieee754_f16(x) == numpy_f16_bits(x)


@pytest.mark.parametrize(
    "sign, fraction32, expected",
    [
        (0, 0x400000, 0x7E00),
        (0, 0x400001, 0x7E00),  # the second has payload only in dropped bits
        (0, 0x7FE000, 0x7FFF),
        (1, 0x402000, 0xFE01),
    ],
)
def test_f16_encoding_keeps_nans_quiet(sign, fraction32, expected):
    assert encode_ieee754_f16(double_from_bits(sign << 63 | 0x7FF << 52 | fraction32 << 29)) == expected


def test_f16_decoding_of_every_pattern():
    patterns = np.arange(65536, dtype=np.uint16)
    expected = patterns.view(np.float16).astype(np.float64).view(np.uint64)
    # Bits above the low 16 are ignored.
    actual = np.array([double_bits(decode_ieee754_f16(p | 0xABC0000)) for p in patterns.tolist()], np.uint64)
    nan = np.isnan(expected.view(np.float64))
    assert np.array_equal(actual[~nan], expected[~nan])
    # A NaN becomes the quiet binary32 NaN sign | 0x7FC00000 | M << 13, widened.
    p = patterns[nan].astype(np.uint64)
    assert np.array_equal(actual[nan], (p & 0x8000) << 48 | 0x7FF8000000000000 | (p & 0x3FF) << 42)


@given(st.floats())
def test_f32_and_f64_round_trip_bit_exactly(x):
    with np.errstate(over="ignore"):
        narrowed = np.float32(x)
    assert bitloom.encode_ieee754_f32(x) == narrowed.view(np.uint32)
    assert double_bits(bitloom.decode_ieee754_f32(int(narrowed.view(np.uint32)))) == double_bits(float(narrowed))
    assert bitloom.encode_ieee754_f64(x) == double_bits(x)
    assert double_bits(bitloom.decode_ieee754_f64(double_bits(x))) == double_bits(x)


def binary128_oracle(pattern):
    """Exact value, then flush below 2^-1022, infinity from 2^1024, truncation toward zero."""
    sign, exponent, fraction = pattern >> 127, pattern >> 112 & 0x7FFF, pattern & (2**112 - 1)
    if exponent == 0x7FFF:
        return math.copysign(math.inf, -sign) if fraction == 0 else math.nan
    magnitude = (
        Fraction(fraction, 2**112) * Fraction(2) ** -16382
        if exponent == 0
        else (1 + Fraction(fraction, 2**112)) * Fraction(2) ** (exponent - 16383)
    )
    if magnitude < Fraction(2) ** -1022 or magnitude >= Fraction(2) ** 1024:
        return math.copysign(0.0 if magnitude < 1 else math.inf, -sign)
    k = magnitude.numerator.bit_length() - magnitude.denominator.bit_length()
    k -= Fraction(2) ** k > magnitude
    ulp = Fraction(2) ** (k - 52)
    return math.copysign(float(magnitude // ulp * ulp), -sign)


EDGE_EXPONENTS = [0, 1, 15359, 15360, 15361, 16383, 17406, 17407, 32766, 32767]
FRACTIONS = st.one_of(st.sampled_from([0, 1, 2**60 - 1, 2**60, 2**112 - 1, 3 << 58]), st.integers(0, 2**112 - 1))


@given(
    st.integers(0, 1),
    st.one_of(st.sampled_from(EDGE_EXPONENTS), st.integers(15300, 17450), st.integers(0, 32767)),
    FRACTIONS,
)
@example(1, 32767, 1)  # a negative NaN
def test_f128_decoding_matches_exact_arithmetic(sign, exponent, fraction):
    pattern = sign << 127 | exponent << 112 | fraction
    result, expected = decode_ieee754_f128(pattern), binary128_oracle(pattern)
    if math.isnan(expected):
        assert double_bits(result) == 0x7FF8000000000000  # quiet, sign dropped
    else:
        assert double_bits(result) == double_bits(expected)


UNIMPLEMENTED = [("ieee754_f128", "IEEE 754 f128", "encode")] + [
    (fmt, text, kind)
    for fmt, text in [
        ("ti_f32", "TI f32"),
        ("ti_f40", "TI f40"),
        ("dec_f32", "DEC f32"),
        ("dec_f64", "DEC f64"),
        ("ibm_f32", "IBM f32"),
        ("ibm_f64", "IBM f64"),
        ("ieee754_1985_f32", "IEEE 754-1985 f32"),
        ("ieee754_1985_f64", "IEEE 754-1985 f64"),
        ("ieee754_1985_f80", "IEEE 754-1985 f80"),
        ("mil_std_1750a_f32", "MIL-STD-1750A f32"),
        ("mil_std_1750a_f48", "MIL-STD-1750A f48"),
    ]
    for kind in ("encode", "decode")
]


@pytest.mark.parametrize("fmt, text, kind", UNIMPLEMENTED)
def test_unimplemented_formats_convert_their_argument_first(fmt, text, kind):
    func = getattr(bitloom, f"{kind}_{fmt}")
    message = f"{text} encoding not yet implemented" if kind == "encode" else f"{text} format not yet implemented"
    with pytest.raises(NotImplementedError, match=f"^{re.escape(message)}$"):
        func(_value=1e39 if kind == "encode" else 2**64 - 1)
    with pytest.raises(TypeError, match="^argument '_value': "):
        func("1.5" if kind == "encode" else 1.5)
    if kind == "decode":
        with pytest.raises(OverflowError):
            func(-1)
