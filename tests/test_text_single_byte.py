"""US-ASCII, ISO-8859-1 and Windows-1252 codecs, checked against Python's own."""

import pytest
from hypothesis import given, strategies as st

import bitloom

# Python's cp1252 leaves these bytes undefined; here they are the C1 controls
# of the same value.
C1_PASSTHROUGH = (0x81, 0x8D, 0x8F, 0x90, 0x9D)
FAILED_ENCODE = "Failed to encode to Windows-1252"
FAILED_DECODE = "Failed to decode Windows-1252 bytes"

scalar_text = st.text(st.characters(exclude_categories=["Cs"]))
# Mostly characters around the single-byte ranges, so that both outcomes occur.
near_latin_text = st.text(st.characters(max_codepoint=0x2200, exclude_categories=["Cs"]))


def cp1252_char(byte):
    return chr(byte) if byte in C1_PASSTHROUGH else bytes([byte]).decode("cp1252")


def python_cp1252_encode(text):
    return b"".join(bytes([ord(c)]) if ord(c) in C1_PASSTHROUGH else c.encode("cp1252") for c in text)


def expected_character_message(text, limit, charset):
    first = next(c for c in text if ord(c) > limit)
    return f"Character '{first}' (U+{ord(first):04X}) is not valid {charset}"


@pytest.mark.parametrize("byte", range(256))
def test_every_byte_decodes_like_python(byte):
    data = bytes([byte])
    assert bitloom.decode_iso_8859_1(data) == data.decode("latin-1")
    assert bitloom.decode_windows_1252(data) == cp1252_char(byte)
    if byte < 0x80:
        assert bitloom.decode_us_ascii(data) == data.decode("ascii")
    else:
        with pytest.raises(ValueError) as raised:
            bitloom.decode_us_ascii(b"0123456789" + data + b"\xff")
        assert str(raised.value) == f"Invalid US-ASCII byte: 0x{byte:02X} (must be <= 0x7F)"


def test_all_bytes_at_once():
    data = bytes(range(256)) * 3
    assert bitloom.decode_iso_8859_1(data) == data.decode("latin-1")
    assert bitloom.decode_windows_1252(data) == "".join(map(cp1252_char, data))
    assert bitloom.encode_windows_1252(bitloom.decode_windows_1252(data)) == data
    assert bitloom.encode_iso_8859_1(data.decode("latin-1")) == data


def test_windows_1252_encoder_agrees_with_python_below_u2200():
    # The index's highest entry is U+2122, so this covers every encodable
    # code point and a wide band of unencodable ones.
    for cp in range(0x2200):
        char = chr(cp)
        try:
            expected = python_cp1252_encode(char)
        except UnicodeEncodeError:
            with pytest.raises(ValueError, match=f"^{FAILED_ENCODE}$"):
                bitloom.encode_windows_1252(char)
        else:
            assert bitloom.encode_windows_1252(char) == expected, hex(cp)


@pytest.mark.parametrize(
    "encode, limit, charset, python_codec",
    [
        (bitloom.encode_us_ascii, 0x7F, "US-ASCII", "ascii"),
        (bitloom.encode_iso_8859_1, 0xFF, "ISO-8859-1", "latin-1"),
    ],
)
@given(text=near_latin_text | scalar_text)
def test_range_encoders_match_python(encode, limit, charset, python_codec, text):
    if all(ord(c) <= limit for c in text):
        assert encode(text) == text.encode(python_codec)
    else:
        with pytest.raises(ValueError) as raised:
            encode(text)
        assert str(raised.value) == expected_character_message(text, limit, charset)


@given(text=near_latin_text)
def test_windows_1252_text_round_trips_or_fails_whole(text):
    try:
        expected = python_cp1252_encode(text)
    except UnicodeEncodeError:
        with pytest.raises(ValueError, match=f"^{FAILED_ENCODE}$"):
            bitloom.encode_windows_1252(text)
    else:
        assert bitloom.encode_windows_1252(text) == expected
        if not expected.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")):
            assert bitloom.decode_windows_1252(expected) == text


@pytest.mark.parametrize(
    "encode, text, message",
    [
        (bitloom.encode_us_ascii, "café", "Character 'é' (U+00E9) is not valid US-ASCII"),
        (bitloom.encode_us_ascii, "aé€", "Character 'é' (U+00E9) is not valid US-ASCII"),
        (bitloom.encode_us_ascii, "\x80", "Character '\x80' (U+0080) is not valid US-ASCII"),
        (bitloom.encode_iso_8859_1, "ÿ\u0100", "Character '\u0100' (U+0100) is not valid ISO-8859-1"),
        (bitloom.encode_iso_8859_1, "€", "Character '€' (U+20AC) is not valid ISO-8859-1"),
        (bitloom.encode_iso_8859_1, "ab\U0001f600", "Character '\U0001f600' (U+1F600) is not valid ISO-8859-1"),
        (bitloom.encode_iso_8859_1, "\U0010ffff", "Character '\U0010ffff' (U+10FFFF) is not valid ISO-8859-1"),
        (bitloom.encode_windows_1252, "\x80", FAILED_ENCODE),
        (bitloom.encode_windows_1252, "\x85", FAILED_ENCODE),
        (bitloom.encode_windows_1252, "abc\u0100", FAILED_ENCODE),
        (bitloom.encode_windows_1252, "\U0001f600", FAILED_ENCODE),
    ],
)
def test_encoder_failures(encode, text, message):
    with pytest.raises(ValueError) as raised:
        encode(text)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"", ""),
        (b"\xef\xbb\xbf\x41", "A"),
        (b"\xef\xbb\xbf", ""),
        (b"\xef\xbb\xbf\xef\xbb\xbf", "\ufeff"),
        (b"\xef\xbb", "\u00ef\u00bb"),
        (b"\xef\xbb\xbe", "\u00ef\u00bb\u00be"),
        (b"\xff\xfe\x41\x00", "A"),
        (b"\xfe\xff\x00\x41", "A"),
        (b"\xff\xfe", ""),
        (b"\xfe\xff", ""),
        (b"\xff\xfe\x3d\xd8\x00\xde", "\U0001f600"),
        (b"\xff", "\u00ff"),
        (b"\xfe\xfe", "\u00fe\u00fe"),
    ],
)
def test_windows_1252_byte_order_mark_sniffing(data, expected):
    assert bitloom.decode_windows_1252(data) == expected


def test_windows_1252_text_that_encodes_to_a_mark_does_not_round_trip():
    assert bitloom.encode_windows_1252("ÿþ") == b"\xff\xfe"
    assert bitloom.decode_windows_1252(b"\xff\xfe") == ""


@pytest.mark.parametrize(
    "data",
    [
        b"\xef\xbb\xbf\xe9",
        b"\xef\xbb\xbf\xed\xa0\x80",
        b"\xef\xbb\xbfab\xe2\x82",
        b"\xff\xfe\x41",
        b"\xff\xfe\x00\xd8",
        b"\xfe\xff\xdc\x00\x00\x41",
    ],
)
def test_windows_1252_damaged_text_after_mark(data):
    with pytest.raises(ValueError) as raised:
        bitloom.decode_windows_1252(data)
    assert str(raised.value) == FAILED_DECODE


def test_lone_surrogate_str_is_refused_before_encoding():
    with pytest.raises(UnicodeEncodeError):
        bitloom.encode_windows_1252("\udc80")


# --- Text fields of packets ----------------------------------------------------

PACKET_TEXT = ["us_ascii", "utf8", "iso_8859_1", "windows_1252"]
# Mostly ASCII with now and then a high byte, NULs included.
field_bytes = st.lists(st.one_of(*[st.integers(0, 0x7F)] * 6, st.integers(0x80, 0xFF)), min_size=0, max_size=12).map(
    bytes
)


def field(encoding, bits, byte_order, value=None):
    it = {"name": "t", "encoding": encoding, "bits": bits, "byte_order": byte_order, "reverse_bits": False}
    return it if value is None else {**it, "value": value}


def outcome(call, *args):
    try:
        return "ok", call(*args)
    except ValueError as e:
        return "error", str(e).removeprefix("ValueError: ")


@pytest.mark.parametrize("encoding", PACKET_TEXT)
@pytest.mark.parametrize("byte_order", ["big", "little"])
@given(data=field_bytes)
def test_text_fields_unpack_as_the_single_value_decoder(encoding, byte_order, data):
    # A text field's bytes (reversed for "little") decode as the codec's own
    # function decodes them, whether or not they are all ASCII.
    decode = getattr(bitloom, f"decode_{encoding}")
    ordered = data[::-1] if byte_order == "little" else data
    got = outcome(bitloom.unpack_parameters, data, 0, [field(encoding, 8 * len(data), byte_order)])
    want = outcome(decode, ordered)
    assert got == (want if want[0] == "error" else ("ok", {"t": want[1]}))


@pytest.mark.parametrize("encoding", PACKET_TEXT)
@pytest.mark.parametrize("byte_order", ["big", "little"])
@given(text=st.text(st.characters(max_codepoint=0xFF), max_size=10), bits=st.integers(0, 100))
def test_text_fields_pack_as_the_single_value_encoder(encoding, byte_order, text, bits):
    # The field holds the last `bits` bits of the encoded bytes (reversed for
    # "little"), or all of them followed by zero bits when they are fewer.
    encode = getattr(bitloom, f"encode_{encoding}")
    want = outcome(encode, text)
    got = outcome(bitloom.pack_parameters, [field(encoding, bits, byte_order, text)])
    if want[0] == "error":
        assert got == want
        return
    form = want[1][::-1] if byte_order == "little" else want[1]
    held = 8 * len(form)
    as_int = int.from_bytes(form, "big")
    as_int = as_int & ((1 << bits) - 1) if held >= bits else as_int << (bits - held)
    padded = as_int << ((8 - bits % 8) % 8)
    assert got == ("ok", padded.to_bytes((bits + 7) // 8, "big"))
