import re

import pytest
from hypothesis import given, strategies as st

from bitloom import decode_packed_bcd, decode_unpacked_bcd, encode_packed_bcd, encode_unpacked_bcd

TOO_MANY = "Value {} has too many digits for {} BCD digits"
NEGATIVE = "Cannot encode negative value in unsigned BCD"
SIGN_NIBBLE = "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"
ZONED_SIGN = "Invalid zoned decimal signed byte: 0x{} (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"
ZONED = "Invalid zoned decimal byte: 0x{} (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"


# Encoders are checked against a formatting oracle below; these are the
# decoder cases that no encoder output reaches, and fields wider than 64 bits.
@pytest.mark.parametrize(
    "func, value, bits, signed, expected",
    [
        (decode_packed_bcd, 0xD, 4, True, 0),
        (decode_unpacked_bcd, 0xF4D2, 16, True, -42),
        (decode_unpacked_bcd, 0x3432, 16, True, 42),
        (decode_unpacked_bcd, 0xF432, 16, True, 42),
        (encode_packed_bcd, 10**15, 80, False, 0x1000000000000000),
        (decode_packed_bcd, 0x9999999999999999, 200, False, 9999999999999999),
        (decode_unpacked_bcd, 0x0909090909090909, 72, False, 99999999),
    ],
)
def test_examples(func, value, bits, signed, expected):
    assert func(value, bits, signed) == expected


@pytest.mark.parametrize(
    "func, value, bits, signed, message",
    [
        (encode_packed_bcd, -1, 3, False, "bits must be >= 4 for packed BCD"),
        (encode_packed_bcd, -1000, 12, False, NEGATIVE),
        (encode_packed_bcd, -100, 12, True, TOO_MANY.format(-100, 2)),
        (encode_packed_bcd, -(2**63), 64, True, TOO_MANY.format(-(2**63), 15)),
        (encode_packed_bcd, 10**16, 4000, False, TOO_MANY.format(10**16, 16)),
        (encode_unpacked_bcd, -5, 7, False, "bits must be >= 8 for unpacked BCD"),
        (encode_unpacked_bcd, -42, 16, False, NEGATIVE),
        (encode_unpacked_bcd, -100, 16, False, NEGATIVE),
        (encode_unpacked_bcd, 2**63 - 1, 2**32 - 1, True, TOO_MANY.format(2**63 - 1, 8)),
        (decode_packed_bcd, 0xA9, 8, True, SIGN_NIBBLE),  # the sign nibble is checked first
        (decode_packed_bcd, 0xAB, 8, True, "Invalid BCD digit: 10 (must be 0-9)"),
        (decode_unpacked_bcd, 0x3432, 16, False, "Invalid BCD digit: 50 (must be 0-9)"),
        (decode_unpacked_bcd, 0xC4C2, 16, True, ZONED.format("C4")),
        (decode_unpacked_bcd, 0x0A, 8, True, ZONED_SIGN.format("0A")),
        (decode_unpacked_bcd, 0x3A, 8, True, ZONED_SIGN.format("3A")),
        (decode_unpacked_bcd, 0xB1, 8, True, ZONED_SIGN.format("B1")),
        (decode_unpacked_bcd, 0xF9F9F9F9F9F9F9C9, 72, True, ZONED.format("00")),
        (decode_unpacked_bcd, 0xF9F9F9F9F9F909C9, 72, True, ZONED.format("09")),
    ],
)
def test_errors(func, value, bits, signed, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        func(value, bits, signed)


@pytest.mark.parametrize(
    "sign, negative", [(0xA, False), (0xB, True), (0xC, False), (0xD, True), (0xE, False), (0xF, False)]
)
def test_every_sign_nibble(sign, negative):
    assert decode_packed_bcd(0x1230 | sign, 16, True) == (-123 if negative else 123)


@given(st.integers(0, 2**64 - 1), st.integers(0, 3), st.booleans())
def test_below_one_position_decodes_as_zero(raw, bits, signed):
    assert decode_packed_bcd(raw, bits, signed) == 0 == decode_unpacked_bcd(raw, bits + 4, signed)


@st.composite
def fitting(draw, packed):
    bits = draw(st.integers(4 if packed else 8, 64))
    signed = draw(st.booleans())
    digits = bits // 4 - signed if packed else bits // 8
    magnitude = draw(st.integers(0, 10**digits - 1))
    return (-magnitude if signed and draw(st.booleans()) else magnitude), bits, signed, digits


@given(fitting(packed=True))
def test_packed_round_trip(case):
    value, bits, signed, digits = case
    raw = encode_packed_bcd(value, bits, signed)
    # A packed field reads in hexadecimal as the decimal number itself.
    text = f"{abs(value):0{digits}d}" + ("D" if value < 0 else "C" if signed else "")
    assert raw == int(text, 16) and raw < 2**bits
    assert decode_packed_bcd(raw, bits, signed) == value
    with pytest.raises(ValueError, match=re.escape(TOO_MANY.format(10**digits, digits))):
        encode_packed_bcd(10**digits, bits, signed)


@given(fitting(packed=False))
def test_unpacked_round_trip(case):
    value, bits, signed, digits = case
    raw = encode_unpacked_bcd(value, bits, signed)
    zones = [0xF0 if signed else 0] * (digits - 1) + [0xD0 if value < 0 else 0xC0 if signed else 0]
    expected = bytes(z | int(d) for z, d in zip(zones, f"{abs(value):0{digits}d}"))
    assert raw == int.from_bytes(expected, "big")
    assert decode_unpacked_bcd(raw, bits, signed) == value
    with pytest.raises(ValueError, match=re.escape(TOO_MANY.format(-(10**digits), digits))):
        encode_unpacked_bcd(-(10**digits), bits, True)


@given(st.integers(0, 2**64 - 1), st.integers(4, 64))
def test_packed_decoder_reports_lowest_bad_nibble(raw, bits):
    text = f"{raw:016x}"[-(bits // 4) :]
    bad = [c for c in reversed(text) if c in "abcdef"]
    if not bad:
        assert decode_packed_bcd(raw, bits) == int(text)
    else:
        with pytest.raises(ValueError, match=re.escape(f"Invalid BCD digit: {int(bad[0], 16)} (must be 0-9)")):
            decode_packed_bcd(raw, bits)
