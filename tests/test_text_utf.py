"""UTF-8, UTF-16 and UTF-32 codecs, checked against Python's own codecs."""

import struct

import pytest
from hypothesis import given, strategies as st

import bitloom

scalar_text = st.text(st.characters(exclude_categories=["Cs"]))

# name -> (bitloom encoder, the same bytes from Python's codecs)
ENCODERS = {
    "utf8": (bitloom.encode_utf8, lambda t: t.encode("utf-8")),
    "utf16": (bitloom.encode_utf16, lambda t: b"\xfe\xff" + t.encode("utf-16-be")),
    "utf16be": (bitloom.encode_utf16be, lambda t: t.encode("utf-16-be")),
    "utf16le": (bitloom.encode_utf16le, lambda t: t.encode("utf-16-le")),
    "utf32": (bitloom.encode_utf32, lambda t: b"\x00\x00\xfe\xff" + t.encode("utf-32-be")),
    "utf32be": (bitloom.encode_utf32be, lambda t: t.encode("utf-32-be")),
    "utf32le": (bitloom.encode_utf32le, lambda t: t.encode("utf-32-le")),
}
DECODERS = {
    "utf8": bitloom.decode_utf8,
    "utf16": bitloom.decode_utf16,
    "utf16be": bitloom.decode_utf16be,
    "utf16le": bitloom.decode_utf16le,
    "utf32": bitloom.decode_utf32,
    "utf32be": bitloom.decode_utf32be,
    "utf32le": bitloom.decode_utf32le,
}


@pytest.mark.parametrize("form", ENCODERS)
@given(text=scalar_text)
def test_encoders_match_python_and_round_trip(form, text):
    encode, python_encode = ENCODERS[form]
    data = encode(text)
    assert data == python_encode(text)
    assert DECODERS[form](data) == text


@pytest.mark.parametrize("form", ENCODERS)
def test_long_mixed_text_round_trips(form):
    # Long enough to run the 8-byte fast paths, with non-ASCII at every offset.
    text = "".join("abcdefg"[: i % 8] + "é€\U0001f600\0" for i in range(200))
    encode, python_encode = ENCODERS[form]
    assert encode(text) == python_encode(text)
    assert DECODERS[form](encode(text)) == text


@pytest.mark.parametrize(
    "encode, text, expected",
    [
        (bitloom.encode_utf16, "", b"\xfe\xff"),
        (bitloom.encode_utf32, "", b"\x00\x00\xfe\xff"),
        (bitloom.encode_utf16le, "\U0001f600", b"\x3d\xd8\x00\xde"),
        (bitloom.encode_utf16be, "\U0010ffff", b"\xdb\xff\xdf\xff"),
        (bitloom.encode_utf16, "\ufeff", b"\xfe\xff\xfe\xff"),  # an existing mark is kept
    ],
)
def test_encoder_examples(encode, text, expected):
    assert encode(text) == expected


@pytest.mark.parametrize(
    "decode, data, expected",
    [
        (bitloom.decode_utf16, b"\xfe\xff", ""),
        (bitloom.decode_utf16, b"\xff\xfe\x41\x00", "A"),
        (bitloom.decode_utf16, b"\x00\x41", "A"),
        (bitloom.decode_utf16, b"\xfe\xff\xfe\xff", "\ufeff"),
        (bitloom.decode_utf16, b"\xff\xfe\xd8\x3d", "\u3dd8"),
        (bitloom.decode_utf16le, b"\xff\xfe\x41\x00", "\ufeffA"),
        (bitloom.decode_utf16be, b"\xff\xfe", "\ufffe"),
        (bitloom.decode_utf16be, b"", ""),
        (bitloom.decode_utf16be, b"\xd8\x3d\xde\x00", "\U0001f600"),
        (bitloom.decode_utf16be, b"\x00\x41\x00\x00", "A\0"),
        (bitloom.decode_utf32, b"\xff\xfe\x00\x00", ""),
        (bitloom.decode_utf32, b"\x00\x00\xfe\xff", ""),
        (bitloom.decode_utf32, b"\x00\x00\x00\x41", "A"),
        (bitloom.decode_utf32, b"\xff\xfe\x00\x00\x41\x00\x00\x00", "A"),
        (bitloom.decode_utf32le, b"\xff\xfe\x00\x00", "\ufeff"),
        (bitloom.decode_utf32be, b"", ""),
        (bitloom.decode_utf32be, b"\x00\x10\xff\xff", "\U0010ffff"),
        (bitloom.decode_utf8, b"\xef\xbb\xbf\x41", "\ufeffA"),
        (bitloom.decode_utf8, b"\x41\x00", "A\0"),
        # A surrogate pair across the 16-byte blocks that long input is read in.
        (
            bitloom.decode_utf16be,
            b"\x00\xe9" * 7 + b"\xd8\x3d\xde\x00" + b"\x00A" * 8,
            "é" * 7 + "\U0001f600" + "A" * 8,
        ),
    ],
)
def test_decoder_examples(decode, data, expected):
    assert decode(data) == expected


EVEN_16 = "UTF-16 requires an even number of bytes"
EVEN_16_BOM = "UTF-16 requires an even number of bytes with at least 2 bytes"
LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
FOUR_32 = "UTF-32 requires a multiple of 4 bytes"
FOUR_32_BOM = "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"


@pytest.mark.parametrize(
    "decode, data, message",
    [
        (bitloom.decode_utf16, b"", EVEN_16_BOM),
        (bitloom.decode_utf16, b"\x00", EVEN_16_BOM),
        (bitloom.decode_utf16, b"\xfe\xff\x00", EVEN_16_BOM),
        (bitloom.decode_utf16be, b"\x00", EVEN_16),
        (bitloom.decode_utf16le, b"\x41\x00\x42", EVEN_16),
        (bitloom.decode_utf16be, b"\xd8\x00", LONE),
        (bitloom.decode_utf16be, b"\xdc\x00\x00\x41", LONE),
        (bitloom.decode_utf16be, b"\xd8\x00\x00\x41", LONE),
        (bitloom.decode_utf16be, b"\xd8\x00\xd8\x00\xdc\x00", LONE),
        (bitloom.decode_utf16le, b"\x00\xdc", LONE),
        (bitloom.decode_utf16, b"\xff\xfe\x00\xd8", LONE),
        (bitloom.decode_utf16be, b"\x00\xe9" * 7 + b"\xd8\x3d" + b"\x00A" * 8, LONE),
        (bitloom.decode_utf16le, b"A\x00" * 8 + b"\x00\xdc" + b"A\x00" * 8, LONE),
        (bitloom.decode_utf32, b"", FOUR_32_BOM),
        (bitloom.decode_utf32, b"\x00\x00\x00", FOUR_32_BOM),
        (bitloom.decode_utf32, b"\x00" * 6, FOUR_32_BOM),
        (bitloom.decode_utf32be, b"\x00" * 5, FOUR_32),
        (bitloom.decode_utf32be, b"\x00\x11\x00\x00", "Invalid UTF-32 codepoint: 0x00110000"),
        (bitloom.decode_utf32le, b"\x00\xd8\x00\x00", "Invalid UTF-32 codepoint: 0x0000D800"),
        (bitloom.decode_utf32be, b"\xff\xff\xff\xff", "Invalid UTF-32 codepoint: 0xFFFFFFFF"),
        (bitloom.decode_utf32, b"\xff\xfe\x00\x00\xff\xdf\x00\x00", "Invalid UTF-32 codepoint: 0x0000DFFF"),
        (
            bitloom.decode_utf32be,
            b"\x00\x00\x00\xe9" * 5 + b"\x00\x11\x00\x00" + b"\x00" * 16,
            "Invalid UTF-32 codepoint: 0x00110000",
        ),
    ],
)
def test_decoder_failures(decode, data, message):
    with pytest.raises(ValueError) as raised:
        decode(data)
    assert str(raised.value) == message


def utf8_message_from_python(data):
    """The expected failure message of decode_utf8, or None if `data` is valid,
    derived from CPython's strict decoder as an independent oracle."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return f"Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {e.start}"
        return f"Invalid UTF-8 bytes: invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
    return None


def check_utf8_against_python(data):
    expected = utf8_message_from_python(data)
    if expected is None:
        assert bitloom.decode_utf8(data) == data.decode("utf-8")
    else:
        with pytest.raises(ValueError) as raised:
            bitloom.decode_utf8(data)
        assert str(raised.value) == expected


@pytest.mark.parametrize(
    "data, message",
    [
        (b"abc\xff", "invalid utf-8 sequence of 1 bytes from index 3"),
        (b"ab\xe2\x82", "incomplete utf-8 byte sequence from index 2"),
        (b"\xe2\x82A", "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"\xf0\x9f\x98A", "invalid utf-8 sequence of 3 bytes from index 0"),
        (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xe0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xf0\x8f\xbf\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xf0", "incomplete utf-8 byte sequence from index 0"),
        (b"\xf4\x8f\xbf", "incomplete utf-8 byte sequence from index 0"),
        (b"0123456789\xc3", "incomplete utf-8 byte sequence from index 10"),
        (b"0123456789abcdef\xed\x9f\xbf\xee\x80", "incomplete utf-8 byte sequence from index 19"),
        # A sequence cut short at the end of one 16-byte block, with an ASCII
        # block after it and a stray continuation byte after that.
        (b"." * 15 + b"\xc3" + b"." * 16 + b"\xa9", "invalid utf-8 sequence of 1 bytes from index 15"),
    ],
)
def test_utf8_failures(data, message):
    with pytest.raises(ValueError) as raised:
        bitloom.decode_utf8(data)
    assert str(raised.value) == "Invalid UTF-8 bytes: " + message
    assert utf8_message_from_python(data) == str(raised.value)


# Mostly lead and continuation bytes, so that malformed sequences of every
# shape turn up, after a valid prefix that moves the failure index.
utf8_like_bytes = st.lists(
    st.one_of(st.integers(0x80, 0xBF), st.integers(0xC0, 0xFF), st.integers(0, 0x7F)), max_size=12
).map(bytes)


@given(prefix=scalar_text, tail=utf8_like_bytes)
def test_utf8_random_bytes_match_python(prefix, tail):
    check_utf8_against_python(prefix.encode("utf-8") + tail)


@pytest.mark.parametrize("first", range(0x80, 0x100))
def test_utf8_every_lead_and_second_byte_match_python(first):
    for second in range(0x100):
        check_utf8_against_python(bytes([first, second]))
        check_utf8_against_python(bytes([first, second, 0x80, 0x80]))
        # Across the 16-byte blocks that long input is checked in.
        check_utf8_against_python(b"\xc3\xa9" * 7 + bytes([first, second, 0x80]) + b"." * 16)


@pytest.mark.parametrize("little", [False, True])
@given(data=st.lists(st.sampled_from([0x00, 0x41, 0xD8, 0xDC, 0xDF, 0xFE, 0xFF]), max_size=16).map(bytes))
def test_utf16_random_units_match_python(little, data):
    data = data[: len(data) // 2 * 2]
    decode = bitloom.decode_utf16le if little else bitloom.decode_utf16be
    try:
        expected = data.decode("utf-16-le" if little else "utf-16-be")
    except UnicodeDecodeError:
        with pytest.raises(ValueError, match="^" + LONE + "$"):
            decode(data)
    else:
        assert decode(data) == expected


@pytest.mark.parametrize("little", [False, True])
@given(
    values=st.lists(
        st.sampled_from([0, 0x41, 0xD7FF, 0xD800, 0xDFFF, 0xE000, 0x10FFFF, 0x110000, 0xFFFFFFFF]), max_size=4
    )
)
def test_utf32_values_match_python(little, values):
    data = struct.pack(("<" if little else ">") + "I" * len(values), *values)
    decode = bitloom.decode_utf32le if little else bitloom.decode_utf32be
    bad = [v for v in values if v > 0x10FFFF or 0xD800 <= v <= 0xDFFF]
    if bad:
        with pytest.raises(ValueError) as raised:
            decode(data)
        assert str(raised.value) == f"Invalid UTF-32 codepoint: 0x{bad[0]:08X}"
    else:
        assert decode(data) == data.decode("utf-32-le" if little else "utf-32-be")


def test_lone_surrogate_str_is_refused_before_encoding():
    with pytest.raises(UnicodeEncodeError):
        bitloom.encode_utf16le("a\ud800")
