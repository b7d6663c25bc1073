"""Sign-magnitude, ones' and two's complement codecs."""

import pytest
from hypothesis import given, strategies as st

import bitloom as b

I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1

RESULTS = [
    (b.encode_sign_magnitude, -5, 8, 133),
    (b.encode_sign_magnitude, 127, 8, 127),
    (b.encode_sign_magnitude, -1, 2, 3),
    (b.encode_sign_magnitude, 0, 2, 0),
    (b.encode_sign_magnitude, -(2**63 - 1), 64, U64_MAX),
    (b.encode_ones_complement, -5, 8, 250),
    (b.encode_ones_complement, -127, 8, 128),
    (b.encode_ones_complement, -1, 64, U64_MAX - 1),
    (b.encode_ones_complement, I64_MAX, 64, I64_MAX),
    (b.encode_ones_complement, 0, 1, 0),
    (b.encode_ones_complement, 5, 0, 5),
    (b.encode_ones_complement, -5, 0, 0),
    (b.encode_twos_complement, -1, 8, 255),
    (b.encode_twos_complement, -128, 8, 128),
    (b.encode_twos_complement, -1, 64, U64_MAX),
    (b.encode_twos_complement, I64_MIN, 64, 2**63),
    (b.encode_twos_complement, -1, 1, 1),
    (b.encode_twos_complement, I64_MIN, 0, 0),
    (b.encode_twos_complement, I64_MAX, 0, 0),
    (b.decode_sign_magnitude, 0x85, 8, -5),
    (b.decode_sign_magnitude, 0x80, 8, 0),
    (b.decode_sign_magnitude, 0x185, 8, -5),
    (b.decode_sign_magnitude, U64_MAX, 64, -(2**63 - 1)),
    (b.decode_sign_magnitude, U64_MAX, 0, -(2**63 - 1)),
    (b.decode_sign_magnitude, 5, 0, 5),
    (b.decode_sign_magnitude, U64_MAX, 65, 0),
    (b.decode_ones_complement, 0xFA, 8, -5),
    (b.decode_ones_complement, 0xFF, 8, 0),
    (b.decode_ones_complement, 0x80, 8, -127),
    (b.decode_ones_complement, U64_MAX, 64, 0),
    (b.decode_ones_complement, 0x17F, 8, 383),
    (b.decode_ones_complement, 0x1FF, 8, 256),
    (b.decode_ones_complement, U64_MAX, 100, 0),
    (b.decode_ones_complement, U64_MAX, 0, -1),
    (b.decode_ones_complement, 2**63, 0, I64_MIN),
    (b.decode_twos_complement, 0xFF, 8, -1),
    (b.decode_twos_complement, 0x80, 8, -128),
    (b.decode_twos_complement, 0x17F, 8, 383),
    (b.decode_twos_complement, 0x180, 8, -128),
    (b.decode_twos_complement, U64_MAX, 64, -1),
    (b.decode_twos_complement, 5, 100, 5),
    (b.decode_twos_complement, 5, 0, 5),
    (b.decode_twos_complement, 2**63, 0, 0),
    (b.decode_twos_complement, 1, 1, -1),
]


@pytest.mark.parametrize("fn, value, bits, expected", RESULTS)
def test_results(fn, value, bits, expected):
    assert fn(value, bits) == expected


ERRORS = [
    (b.encode_sign_magnitude, 128, 8, "Magnitude of 128 is too large for 8 bits"),
    (b.encode_sign_magnitude, -128, 8, "Magnitude of -128 is too large for 8 bits"),
    (b.encode_sign_magnitude, I64_MIN, 64, "Magnitude of -9223372036854775808 is too large for 64 bits"),
    (b.encode_sign_magnitude, 0, 1, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (b.encode_sign_magnitude, 0, 0, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (b.encode_sign_magnitude, 0, 65, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (b.encode_ones_complement, 128, 8, "Value 128 is too large for 8 bits"),
    (b.encode_ones_complement, -128, 8, "Value -128 is too large (magnitude) for 8 bits"),
    (b.encode_ones_complement, I64_MIN, 64, "Value -9223372036854775808 is too large (magnitude) for 64 bits"),
    (b.encode_ones_complement, I64_MIN, 0, "Value -9223372036854775808 is too large (magnitude) for 0 bits"),
    (b.encode_ones_complement, 1, 1, "Value 1 is too large for 1 bits"),
    (b.encode_ones_complement, -1, 1, "Value -1 is too large (magnitude) for 1 bits"),
    (b.encode_ones_complement, 0, 65, "bits must be <= 64 for ones' complement encoding"),
    (b.encode_twos_complement, -129, 8, "Value -129 out of range for 8 bits (range: -128 to 127)"),
    (b.encode_twos_complement, 128, 8, "Value 128 out of range for 8 bits (range: -128 to 127)"),
    (b.encode_twos_complement, 1, 1, "Value 1 out of range for 1 bits (range: -1 to 0)"),
    (b.encode_twos_complement, 0, 65, "bits must be <= 64 for two's complement encoding"),
]


@pytest.mark.parametrize("fn, value, bits, message", ERRORS)
def test_errors(fn, value, bits, message):
    with pytest.raises(ValueError) as info:
        fn(value, bits)
    assert str(info.value) == message


PAIRS = [
    (b.encode_sign_magnitude, b.decode_sign_magnitude, 2, lambda w: 2 ** (w - 1) - 1, lambda w: -(2 ** (w - 1) - 1)),
    (b.encode_ones_complement, b.decode_ones_complement, 1, lambda w: 2 ** (w - 1) - 1, lambda w: -(2 ** (w - 1) - 1)),
    (b.encode_twos_complement, b.decode_twos_complement, 1, lambda w: 2 ** (w - 1) - 1, lambda w: -(2 ** (w - 1))),
]


@pytest.mark.parametrize("encode, decode, min_width, hi, lo", PAIRS)
@given(data=st.data())
def test_round_trip_every_width(encode, decode, min_width, hi, lo, data):
    bits = data.draw(st.integers(min_width, 64))
    value = data.draw(st.integers(lo(bits), hi(bits)))
    raw = encode(value, bits)
    assert 0 <= raw < 2**bits
    assert decode(raw, bits) == value


@pytest.mark.parametrize("encode, decode, min_width, hi, lo", PAIRS)
@pytest.mark.parametrize("bits", range(1, 65))
def test_range_limits_every_width(encode, decode, min_width, hi, lo, bits):
    if bits < min_width:
        return
    for value in (hi(bits), lo(bits), 0):
        assert decode(encode(value, bits), bits) == value
    for value in (hi(bits) + 1, lo(bits) - 1):
        if I64_MIN <= value <= I64_MAX:
            with pytest.raises(ValueError):
                encode(value, bits)


@given(st.integers(0, U64_MAX), st.integers(1, 64))
def test_decoders_agree_with_arithmetic(raw, bits):
    low = raw % 2**bits
    sign = (raw >> (bits - 1)) & 1
    assert b.decode_sign_magnitude(raw, bits) == (-1 if sign else 1) * (raw % 2 ** (bits - 1))
    if bits < 64 and raw < 2**bits:
        assert b.decode_twos_complement(raw, bits) == (low - 2**bits if sign else low)
        assert b.decode_ones_complement(raw, bits) == (low - 2**bits + 1 if sign else low)


def signed64(u):
    return u - 2**64 if u >= 2**63 else u


@given(
    st.one_of(st.integers(0, U64_MAX), st.sampled_from([0, 1, 2**63, U64_MAX, 2**63 - 1])),
    st.one_of(st.integers(0, 70), st.sampled_from([100, 2**32 - 1])),
)
def test_twos_complement_decodes_any_raw_value_at_any_width(raw, bits):
    # Bits above the width are kept when the sign is clear and give way to
    # the sign extension when it is set; the sign of width 0 is bit 63, and
    # widths of 64 or more read all 64 bits.
    if bits >= 64:
        expected = signed64(raw)
    elif not (raw >> ((bits - 1) % 64)) & 1:
        expected = signed64(raw)
    else:
        expected = signed64(-((2**64 - raw) % 2**64 & (2**bits - 1)) % 2**64)
    assert b.decode_twos_complement(raw, bits) == expected
