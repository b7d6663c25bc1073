"""The text functions on every storage width of a str (1 byte per character
for ASCII and for Latin-1 text, 2 bytes, 4 bytes), with refused characters
and lone surrogates at every offset, so that each block loop and its tail
are crossed; and the decoders' results against strs that Python builds."""

import pytest

import bitloom

C1_PASSTHROUGH = (0x81, 0x8D, 0x8F, 0x90, 0x9D)


def python_cp1252_encode(text):
    return b"".join(bytes([ord(c)]) if ord(c) in C1_PASSTHROUGH else c.encode("cp1252") for c in text)


def cp1252_char(byte):
    return chr(byte) if byte in C1_PASSTHROUGH else bytes([byte]).decode("cp1252")


# One text per storage width, each longer than a few 8- and 16-character
# blocks. The 2-byte one holds only characters that windows-1252 encodes.
TEXTS = {
    "ascii": "Telemetry frame 0042: all nominal; battery 28.1 V.\x00\x7f",
    "latin1": "Café crème à la française, déjà vu \x81\x9d\xa0\xff.",
    "ucs2": "Price: 12 € – “quoted” text… Œuvre ŠŽ™ ƒ ˆ˜ ‰ ‹›",
    "ucs4": "naïve Ωmega Привет データ 😀 ascii \U0010ffff end",
}

UTF = {
    "utf8": (bitloom.encode_utf8, bitloom.decode_utf8, lambda t: t.encode("utf-8")),
    "utf16": (bitloom.encode_utf16, bitloom.decode_utf16, lambda t: b"\xfe\xff" + t.encode("utf-16-be")),
    "utf16be": (bitloom.encode_utf16be, bitloom.decode_utf16be, lambda t: t.encode("utf-16-be")),
    "utf16le": (bitloom.encode_utf16le, bitloom.decode_utf16le, lambda t: t.encode("utf-16-le")),
    "utf32": (bitloom.encode_utf32, bitloom.decode_utf32, lambda t: b"\x00\x00\xfe\xff" + t.encode("utf-32-be")),
    "utf32be": (bitloom.encode_utf32be, bitloom.decode_utf32be, lambda t: t.encode("utf-32-be")),
    "utf32le": (bitloom.encode_utf32le, bitloom.decode_utf32le, lambda t: t.encode("utf-32-le")),
}

ALL_ENCODERS = [encode for encode, _, _ in UTF.values()] + [
    bitloom.encode_us_ascii,
    bitloom.encode_iso_8859_1,
    bitloom.encode_windows_1252,
]


class Text(str):
    """A str subclass: its instances keep their characters apart from the object."""


def pieces(text):
    """Every prefix and suffix of `text`: each length and each starting offset."""
    for n in range(len(text) + 1):
        yield text[:n]
        yield text[n:]


@pytest.mark.parametrize("kind", TEXTS)
@pytest.mark.parametrize("form", UTF)
def test_utf_forms_of_every_width(form, kind):
    encode, decode, python_encode = UTF[form]
    for text in pieces(TEXTS[kind]):
        data = encode(text)
        assert data == python_encode(text)
        assert encode(Text(text)) == data
        assert decode(data) == text


@pytest.mark.parametrize("kind", TEXTS)
@pytest.mark.parametrize(
    "encode, limit, charset",
    [(bitloom.encode_us_ascii, 0x7F, "US-ASCII"), (bitloom.encode_iso_8859_1, 0xFF, "ISO-8859-1")],
)
def test_range_charsets_of_every_width(encode, limit, charset, kind):
    for text in pieces(TEXTS[kind]):
        for candidate in (text, Text(text)):
            refused = [c for c in text if ord(c) > limit]
            if not refused:
                assert encode(candidate) == text.encode("latin-1")
                continue
            with pytest.raises(ValueError) as raised:
                encode(candidate)
            first = refused[0]
            assert str(raised.value) == f"Character '{first}' (U+{ord(first):04X}) is not valid {charset}"


@pytest.mark.parametrize("kind", TEXTS)
def test_windows_1252_of_every_width(kind):
    for text in pieces(TEXTS[kind]):
        for candidate in (text, Text(text)):
            try:
                expected = python_cp1252_encode(text)
            except UnicodeEncodeError:
                with pytest.raises(ValueError, match="^Failed to encode to Windows-1252$"):
                    bitloom.encode_windows_1252(candidate)
            else:
                assert bitloom.encode_windows_1252(candidate) == expected


# A character that the charset refuses at every offset of text it accepts.
@pytest.mark.parametrize(
    "encode, accepted, refused, message",
    [
        (bitloom.encode_us_ascii, "a", "\x80", "Character '\x80' (U+0080) is not valid US-ASCII"),
        (bitloom.encode_us_ascii, "a", "€", "Character '€' (U+20AC) is not valid US-ASCII"),
        (bitloom.encode_iso_8859_1, "é", "\u0100", "Character '\u0100' (U+0100) is not valid ISO-8859-1"),
        (bitloom.encode_iso_8859_1, "\xff", "😀", "Character '😀' (U+1F600) is not valid ISO-8859-1"),
        (bitloom.encode_windows_1252, "é", "\x80", "Failed to encode to Windows-1252"),
        (bitloom.encode_windows_1252, "a", "\x9f", "Failed to encode to Windows-1252"),
        (bitloom.encode_windows_1252, "€", "\u0100", "Failed to encode to Windows-1252"),
        (bitloom.encode_windows_1252, "™", "\u2123", "Failed to encode to Windows-1252"),
        (bitloom.encode_windows_1252, "Œ", "😀", "Failed to encode to Windows-1252"),
    ],
)
def test_refused_character_at_every_offset(encode, accepted, refused, message):
    for before in range(40):
        with pytest.raises(ValueError) as raised:
            encode(accepted * before + refused + accepted * (39 - before))
        assert str(raised.value) == message


def python_surrogate_error(text):
    with pytest.raises(UnicodeEncodeError) as raised:
        text.encode("utf-8")
    return raised.value


# Lone surrogates in 2- and 4-byte text, also behind characters that a
# charset refuses: the surrogate is reported, as the interpreter reports it.
SURROGATE_TEXTS = [
    "\ud800",
    "\udfff",
    "a\udc00",
    "\ud83d",
    "é\ud800",
    "€\udbff",
    "\u0100\ud800",
    "\x80\udc80",
    "\U0001f600\ud800",
    "\udc00\U0001f600",
    "\ud83d\ude00",  # a pair of surrogates in a str is still two lone ones
]


@pytest.mark.parametrize("text", SURROGATE_TEXTS)
@pytest.mark.parametrize("encode", ALL_ENCODERS)
def test_lone_surrogate_raises_the_interpreters_error(encode, text):
    expected = python_surrogate_error(text)
    for candidate in (text, Text(text)):
        with pytest.raises(UnicodeEncodeError) as raised:
            encode(candidate)
        assert type(raised.value) is UnicodeEncodeError
        assert str(raised.value) == str(expected)


@pytest.mark.parametrize("filler", ["Ω", "€", "😀", "a"])
@pytest.mark.parametrize("encode", ALL_ENCODERS)
def test_lone_surrogate_at_every_offset(encode, filler):
    for before in range(40):
        text = filler * before + "\udc80" + filler * (39 - before)
        with pytest.raises(UnicodeEncodeError) as raised:
            encode(text)
        assert str(raised.value) == str(python_surrogate_error(text))


# --- Decoders ------------------------------------------------------------------


def test_windows_1252_keeps_latin1_text_narrow():
    # Only the C1 controls that the index leaves alone, and Latin-1: the
    # result must equal (so be stored like) the str Python builds.
    data = bytes([0x41, 0xE9, *C1_PASSTHROUGH, 0xFF] * 5)
    assert bitloom.decode_windows_1252(data) == "".join(map(chr, data))


@pytest.mark.parametrize("byte", range(0x80, 0xA0))
@pytest.mark.parametrize("filler", [b"a", b"\xe9"])
def test_windows_1252_each_c1_byte_at_every_offset(byte, filler):
    for before in range(40):
        data = filler * before + bytes([byte]) + filler * (39 - before)
        expected = "".join(map(cp1252_char, data))
        assert bitloom.decode_windows_1252(data) == expected


@pytest.mark.parametrize("kind", TEXTS)
def test_windows_1252_after_marks(kind):
    text = TEXTS[kind]
    assert bitloom.decode_windows_1252(b"\xef\xbb\xbf" + text.encode("utf-8")) == text
    assert bitloom.decode_windows_1252(b"\xff\xfe" + text.encode("utf-16-le")) == text
    assert bitloom.decode_windows_1252(b"\xfe\xff" + text.encode("utf-16-be")) == text


# Faults behind a long valid prefix (after the mark, for the marked forms):
# the decoders report them with their own messages however far in they lie.
LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
UTF8_BAD = "Invalid UTF-8 bytes: invalid utf-8 sequence of {} bytes from index {}"


@pytest.mark.parametrize(
    "decode, mark, good, bad, message",
    [
        (bitloom.decode_utf8, b"", b"\xc3\xa9", b"\xff", UTF8_BAD.format(1, "{}")),
        (bitloom.decode_utf8, b"", b"a", b"\xe2\x82", UTF8_BAD.format(2, "{}")),
        (bitloom.decode_utf16be, b"", b"\x00a", b"\xdc\x00", LONE),
        (bitloom.decode_utf16le, b"", b"\x3d\xd8\x00\xde", b"\x3d\xd8", LONE),
        (bitloom.decode_utf16, b"\xff\xfe", b"a\x00", b"\x00\xd8", LONE),
        (bitloom.decode_utf32be, b"", b"\x00\x00\x00a", b"\x00\x11\x00\x00", "Invalid UTF-32 codepoint: 0x00110000"),
        (bitloom.decode_utf32le, b"", b"\x00\xf6\x01\x00", b"\xff\xdf\x00\x00", "Invalid UTF-32 codepoint: 0x0000DFFF"),
        (
            bitloom.decode_utf32,
            b"\x00\x00\xfe\xff",
            b"\x00\x00\x00a",
            b"\xff\xff\xff\xff",
            "Invalid UTF-32 codepoint: 0xFFFFFFFF",
        ),
        (bitloom.decode_us_ascii, b"", b"a", b"\x80", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
        (bitloom.decode_windows_1252, b"\xef\xbb\xbf", b"a", b"\xe9", "Failed to decode Windows-1252 bytes"),
        (bitloom.decode_windows_1252, b"\xff\xfe", b"a\x00", b"\x00\xd8", "Failed to decode Windows-1252 bytes"),
    ],
)
def test_fault_after_a_long_prefix(decode, mark, good, bad, message):
    for repeat in range(0, 40, 3):
        with pytest.raises(ValueError) as raised:
            decode(mark + good * repeat + bad + good * 3)
        assert str(raised.value) == message.format(len(good) * repeat)
