"""Argument matching and conversion, shared by every published function."""

import pytest

import bitloom as b

MAX_U64 = 2**64 - 1


def error_of(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return type(info.value), str(info.value)


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [
        (b.encode_sign_magnitude, (1,), {}, "encode_sign_magnitude() missing 1 required positional argument: 'bits'"),
        (
            b.encode_sign_magnitude,
            (),
            {},
            "encode_sign_magnitude() missing 2 required positional arguments: 'value' and 'bits'",
        ),
        (
            b.unpack_parameters,
            (),
            {},
            "unpack_parameters() missing 3 required positional arguments: 'packet_bytes', 'offset_bits', and 'recipe'",
        ),
        (
            b.unpack_parameters,
            (b"",),
            {},
            "unpack_parameters() missing 2 required positional arguments: 'offset_bits' and 'recipe'",
        ),
        (
            b.unpack_parameters,
            (),
            {"offset_bits": 0},
            "unpack_parameters() missing 2 required positional arguments: 'packet_bytes' and 'recipe'",
        ),
        (
            b.encode_packed_bcd,
            (),
            {"signed": True},
            "encode_packed_bcd() missing 2 required positional arguments: 'value' and 'bits'",
        ),
        (b.encode_utf8, ("a", "b"), {}, "encode_utf8() takes 1 positional arguments but 2 were given"),
        (
            b.encode_sign_magnitude,
            (1, 2, 3),
            {},
            "encode_sign_magnitude() takes 2 positional arguments but 3 were given",
        ),
        (
            b.encode_packed_bcd,
            (1, 2, 3, 4),
            {},
            "encode_packed_bcd() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (b.encode_utf8, (), {"txt": "a"}, "encode_utf8() got an unexpected keyword argument 'txt'"),
        (b.encode_utf8, ("a",), {"text": "a"}, "encode_utf8() got multiple values for argument 'text'"),
        (b.decode_ti_f32, (), {"value": 0}, "decode_ti_f32() got an unexpected keyword argument 'value'"),
        (b.encode_utf8, (), {"Text": "a"}, "encode_utf8() got an unexpected keyword argument 'Text'"),
        # Too many positionals is reported before a bad keyword.
        (b.encode_utf8, ("a", "b"), {"bogus": 1}, "encode_utf8() takes 1 positional arguments but 2 were given"),
        # An unexpected keyword is reported before a missing argument.
        (b.encode_sign_magnitude, (), {"x": 1}, "encode_sign_magnitude() got an unexpected keyword argument 'x'"),
    ],
)
def test_matching_errors(fn, args, kwargs, message):
    assert error_of(fn, *args, **kwargs) == (TypeError, message)


def test_keyword_with_lone_surrogate_is_unexpected():
    assert error_of(b.encode_utf8, **{"te\udcffxt": "a"}) == (
        TypeError,
        "encode_utf8() got an unexpected keyword argument 'te\udcffxt'",
    )


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: b.encode_sign_magnitude(bits=8, value=-5), 133),
        (lambda: b.encode_sign_magnitude(-5, bits=8), 133),
        (lambda: b.decode_twos_complement(value=255, bits=8), -1),
        (lambda: b.decode_twos_complement(True, 8), 1),
        (lambda: b.encode_twos_complement(True, 8), 1),
    ],
)
def test_keyword_and_positional_calls(call, expected):
    assert call() == expected


class Indexable:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "fn, args, kind, message",
    [
        (b.encode_utf8, (5,), TypeError, "argument 'text': 'int' object cannot be cast as 'str'"),
        (
            b.decode_utf8,
            (bytearray(b"a"),),
            TypeError,
            "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'",
        ),
        (
            b.decode_utf8,
            (memoryview(b"a"),),
            TypeError,
            "argument 'bytes': 'memoryview' object cannot be cast as 'bytes'",
        ),
        (b.encode_packed_bcd, (1, 8, 1), TypeError, "argument 'signed': 'int' object cannot be cast as 'bool'"),
        (b.encode_packed_bcd, (1, 8, None), TypeError, "argument 'signed': 'NoneType' object cannot be cast as 'bool'"),
        (b.decode_sign_magnitude, (1, 2**32), OverflowError, "out of range integral type conversion attempted"),
        (b.decode_sign_magnitude, (2**64, 8), OverflowError, None),
        (b.decode_sign_magnitude, (-1, 8), OverflowError, None),
        (b.encode_sign_magnitude, (2**63, 8), OverflowError, None),
        (b.decode_sign_magnitude, (1, 8.0), TypeError, "argument 'bits': "),
        (b.decode_sign_magnitude, (None, 8), TypeError, "argument 'value': "),
        (b.encode_ieee754_f64, ("1.0",), TypeError, "argument 'value': "),
        (b.encode_ti_f32, ("x",), TypeError, "argument '_value': "),
        (b.decode_ti_f32, (-1,), OverflowError, None),
        (b.decode_ieee754_f128, (2**128,), OverflowError, "Python int larger than 128 bits"),
        (b.decode_ieee754_f128, (-1,), ValueError, None),
        (b.decode_ieee754_f128, (1.5,), TypeError, "argument 'value': "),
        (b.pack_parameters, ("abc",), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
        (b.pack_parameters, (5,), TypeError, "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
        (b.pack_parameters, ({},), TypeError, "argument 'recipe': 'dict' object cannot be cast as 'Sequence'"),
        (b.unpack_parameters, (b"", 2**32, []), OverflowError, "out of range integral type conversion attempted"),
        (
            b.unpack_parameters,
            (bytearray(), 0, []),
            TypeError,
            "argument 'packet_bytes': 'bytearray' object cannot be cast as 'bytes'",
        ),
    ],
)
def test_conversion_errors(fn, args, kind, message):
    got_kind, got_message = error_of(fn, *args)
    assert got_kind is kind
    if message is not None:
        assert got_message.startswith(message)
        if not message.endswith(": "):
            assert got_message == message


def test_conversions_run_in_parameter_order():
    # Both arguments are bad: the first parameter's error wins.
    assert error_of(b.decode_sign_magnitude, "x", "y")[1].startswith("argument 'value': ")
    assert error_of(b.decode_sign_magnitude, bits="y", value="x")[1].startswith("argument 'value': ")


def test_rewrapped_type_error_keeps_the_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("boom") from inner

    with pytest.raises(TypeError) as info:
        b.decode_sign_magnitude(Bad(), 8)
    assert str(info.value) == "argument 'value': boom"
    assert isinstance(info.value.__cause__, KeyError)


def test_type_error_subclasses_are_not_rewrapped():
    class MyTypeError(TypeError):
        pass

    class Bad:
        def __index__(self):
            raise MyTypeError("mine")

    with pytest.raises(MyTypeError, match="^mine$"):
        b.decode_sign_magnitude(Bad(), 8)


def test_non_type_errors_pass_through_unchanged():
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("nope")

    with pytest.raises(ZeroDivisionError, match="^nope$"):
        b.encode_ieee754_f64(Bad())


@pytest.mark.parametrize("value", [Indexable(5), True])
def test_index_objects_convert_as_integers(value):
    assert b.decode_twos_complement(value, 8) == int(value)
    assert b.encode_twos_complement(value, 8) == int(value)


def test_str_and_bytes_subclasses_are_accepted():
    class S(str):
        pass

    class B(bytes):
        pass

    assert b.encode_utf8(S("é")) == b"\xc3\xa9"
    assert b.decode_iso_8859_1(B(b"\xe9")) == "é"


def test_signed_defaults_to_false_and_accepts_numpy_bool():
    np = pytest.importorskip("numpy")
    assert b.decode_twos_complement(MAX_U64, 64) == -1
    with pytest.raises(TypeError, match="cannot be cast as 'bool'"):
        b.decode_packed_bcd(0x12, 8, np.int8(1))
    # numpy booleans are read through their truth slot.
    assert b.decode_packed_bcd(0x12C, 12, np.True_) == b.decode_packed_bcd(0x12C, 12, True)
    assert b.decode_packed_bcd(0x12, 8, np.False_) == b.decode_packed_bcd(0x12, 8)


def test_float_conversion_accepts_ints_and_float_likes():
    class F:
        def __float__(self):
            return 1.0

    assert b.encode_ieee754_f64(1) == b.encode_ieee754_f64(1.0) == b.encode_ieee754_f64(F())
    assert b.encode_ieee754_f64(Indexable(1)) == b.encode_ieee754_f64(1.0)


def test_lone_surrogate_text_fails_in_conversion():
    with pytest.raises(UnicodeEncodeError):
        b.encode_utf8("\ud800")
