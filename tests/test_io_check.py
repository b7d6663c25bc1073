"""bitloom_io.check: each kind of finding on the item it concerns, no
finding on a clean recipe, and the byte-window and little-endian findings
against what pack_parameters and unpack_parameters really do."""

import copy

import pytest
from hypothesis import given, strategies as st

import bitloom
from bitloom_io import Finding, check
from bitloom_io._check import KINDS
from recipes import item


def kinds(recipe, **options):
    return [(f.index, f.kind) for f in check(recipe, **options)]


CCSDS_HEADER = [
    item("version", bits=3),
    item("type", bits=1),
    item("secondary", bits=1),
    item("apid", bits=11),
    item("flags", bits=2),
    item("count", bits=14),
    item("length", bits=16),
]

CASES = [
    # (recipe, expected findings as (index, kind), text each message must hold)
    (
        [
            item("a", value=1),
            item("b", "twos_complement", 16, value=-2),
            item("c", "ieee754_f32", 32, value=1.5),
            item("d", "utf8", 32, value="abcd"),
            item("e", bits=16, byte_order="little", offset_bits=88),
        ],
        [],
        [],
    ),
    ([item("a", offest_bits=8)], [(0, "unknown-key")], ["'offest_bits'", "did you mean 'offset_bits'"]),
    ([item("a", description="free text", Bits=8)], [(0, "unknown-key"), (0, "unknown-key")], ["'description'"]),
    ([item("t"), item("v"), item("t")], [(2, "duplicate-name")], ["item 0"]),
    ([item("a", bits=16), item("b", offset_bits=8)], [(1, "overlap")], ["bits 8-15", "item 0 ('a')"]),
    ([item("a", offset_bits=8), item("b", offset_bits=4)], [(1, "overlap"), (1, "byte-window")], ["bits 8-11"]),
    ([item("a", bits=0)], [(0, "zero-width")], []),
    ([item("h", "ieee754_f16", 32)], [(0, "float-width")], ["16 bits wide", "after 16 zero bits"]),
    ([item("s", "IEEE754_F32", 16)], [(0, "float-width")], ["low 16 bits"]),
    ([item("q", "ieee754_f128", 128)], [(0, "unreadable")], ["ieee754_f128"]),
    ([item("q", "ti-f40", 40)], [(0, "unreadable")], []),
    ([item("w", bits=72)], [(0, "wide-numeric")], ["first 8 bytes"]),
    ([item("s", "us_ascii", 32, value="HELLO")], [(0, "text-too-long")], ["'HELLO'", "5 bytes"]),
    ([item("s", "utf16", 32, value="ab")], [(0, "text-too-long")], ["6 bytes"]),  # the byte-order mark counts
    ([item("s", "us_ascii", 40, value="HI")], [], []),  # shorter text is padded, not a mistake
    ([item("l", bits=12, byte_order="little")], [(0, "little-endian-width")], ["value bits 4-7"]),
    ([item("l", bits=4, byte_order="little", offset_bits=4)], [], []),  # one byte: nothing to reverse
    ([item("s", "utf8", 32, byte_order="Little")], [(0, "text-byte-order")], ["DCBA"]),
    ([item("s", "utf8", 8, reverse_bits=True)], [(0, "reverse-bits-ignored")], []),
    ([item("s", "utf8", 12)], [(0, "text-width")], []),
    ([item("v", bits=4, value=17, offset_bits=4)], [(0, "value")], ["Value 17 is too large for 4 bits"]),
    ([item("l", "latin1", 8, value="a")], [(0, "value")], ["Unsupported encoding type: latin1"]),
    ([item("l", "latin1", 8)], [], []),  # unpacking knows latin1; no value, no packing meant
    ([item("s", "us_ascii", 8, value="é")], [(0, "value")], ["not valid US-ASCII"]),
    ([item("s", "utf8", 8, value=5)], [(0, "value")], ["cannot be cast as 'str'"]),
    (
        CCSDS_HEADER,
        [(0, "byte-window"), (1, "byte-window"), (2, "byte-window"), (4, "byte-window")],
        ["exact=True", "bits 0-2", "keeps the last 3 bits, bits 5-7"],
    ),
    ([item("t", "utf8", 16, offset_bits=4)], [(0, "byte-window")], ["bits 4-19", "bytes 0-1"]),
    # Invalid items are reported and their other checks skipped.
    ([5, item("a", bits=12)], [(0, "invalid")], ["of type int"]),  # the position after it is unknown
    ([{"name": "n", "bits": 8}], [(0, "invalid")] * 3, ["'encoding'", "'byte_order'", "'reverse_bits'"]),
    ([item("a", "utf-7")], [(0, "invalid")], ["'utf-7'"]),
    ([item("a", byte_order="middle")], [(0, "invalid")], ["'middle'"]),
    ([item("a", reverse_bits=1)], [(0, "invalid")], ["True or False"]),
    ([item("a", bits=None)], [(0, "invalid")], ["bits must be an int"]),
    ([item("a", bits=2**32)], [(0, "invalid")], []),
    ([item("a", offset_bits=-1)], [(0, "invalid")], ["offset_bits"]),
    ([item(7)], [(0, "invalid")], ["name must be a str"]),
    # Layout extensions: raw bytes and a width taken from an earlier field.
    (
        [
            item("n", bits=16),
            item("blob", "binary", {"field": "n", "slope": 8, "intercept": 0}),
            item("after", offset_bits=20),
        ],
        [(2, "byte-window")],
        [],
    ),
    ([item("n", bits=16), item("blob", "binary", {"field": "n", "slope": 8, "intercept": -8}), item("after")], [], []),
    ([item("blob", "binary", {"field": "n", "slope": 8, "intercept": 0})], [(0, "invalid")], ["not an earlier"]),
    (
        [item("n", bits=8), item("x", "unsigned", {"field": "n", "slope": 1, "intercept": 0})],
        [(1, "invalid")],
        ["only text and binary"],
    ),
    ([item("n", bits=8), item("x", "binary", {"field": "n", "slop": 1})], [(1, "invalid")], ["'slope'"]),
    ([item("b", "binary", 16, value=b"abc")], [(0, "text-too-long")], ["3 bytes"]),
    ([item("b", "binary", 16, value="ab")], [(0, "value")], ["bytes"]),
]


@pytest.mark.parametrize("recipe, expected, texts", CASES)
def test_findings(recipe, expected, texts):
    snapshot = copy.deepcopy(recipe)
    findings = check(recipe)
    assert recipe == snapshot  # only read
    assert sorted((f.index, f.kind) for f in findings) == sorted(expected)
    assert all(f.kind in KINDS for f in findings)
    messages = " | ".join(str(f) for f in findings)
    for text in texts:
        assert text in messages


def test_findings_name_the_item():
    findings = check([item("ok"), item("volt", bits=12, offest_bits=0)])
    assert [(f.index, f.name) for f in findings] == [(1, "volt"), (1, "volt")]
    assert str(findings[0]).startswith("item 1 ('volt'): ")
    assert findings[0] == Finding(1, "volt", findings[0].kind, findings[0].message)


def test_exact_layouts_have_no_byte_window_findings():
    assert kinds(CCSDS_HEADER, exact=True) == []
    assert kinds([item("s", "utf8", 12, offset_bits=4)], exact=True) == [(0, "text-width")]


def test_a_layout_is_checked_as_exact_as_it_is():
    from bitloom_io import Layout

    assert kinds(Layout(CCSDS_HEADER)) == kinds(CCSDS_HEADER) != []
    assert kinds(Layout(CCSDS_HEADER, exact=True)) == []
    assert kinds(Layout(CCSDS_HEADER, exact=True), exact=False) == kinds(CCSDS_HEADER)


def test_not_a_recipe():
    with pytest.raises(TypeError):
        check("name")
    assert check(()) == []


def unpacked_value(recipe):
    try:
        return bitloom.unpack_parameters(bitloom.pack_parameters(recipe), 0, recipe)["f"]
    except ValueError:  # the window runs past the packet
        return None


@given(st.integers(0, 40), st.integers(1, 64), st.sampled_from(["big", "little"]))
def test_byte_window_finding_is_exactly_when_unpacking_misses(start, bits, order):
    """A lone field with its neighbours zero: flagged exactly when unpacking
    does not give back the value packed."""
    if order == "little" and bits > 8 and bits % 8:
        return  # the little-endian width finding covers these
    values = {1, 2**bits - 1, 1 << (bits - 1)}
    round_trips = all(
        unpacked_value([item("f", bits=bits, byte_order=order, offset_bits=start, value=v)]) == v for v in values
    )
    flagged = (0, "byte-window") in kinds([item("f", bits=bits, byte_order=order, offset_bits=start)])
    assert flagged == (not round_trips)


@pytest.mark.parametrize("bits", [9, 12, 15, 17, 23, 33, 63])
def test_little_endian_finding_names_the_dropped_bits(bits):
    (finding,) = check([item("f", bits=bits, byte_order="little")])
    lost = -bits % 8
    dropped = set(range(8 - lost, 8))
    assert f"value bits {8 - lost}-7" in finding.message or lost == 1 and "value bit 7 " in finding.message
    for i in range(bits):
        packet = bitloom.pack_parameters([item("f", bits=bits, byte_order="little", value=1 << i)])
        assert (packet == bytes(len(packet))) == (i in dropped), i


def test_the_guide_shows_what_check_prints(capsys):
    import re
    from pathlib import Path

    page = (Path(__file__).resolve().parent.parent / "docs" / "reference" / "check.md").read_text(encoding="utf-8")
    code, shown = re.search(r"```python\n(.*?)```\n\n```text\n(.*?)```", page, re.S).groups()
    exec(compile(code, "check.md", "exec"), {})
    assert capsys.readouterr().out == shown


def test_the_guide_lists_every_kind():
    from pathlib import Path

    page = (Path(__file__).resolve().parent.parent / "docs" / "reference" / "check.md").read_text(encoding="utf-8")
    assert sorted(k for k in KINDS if f"| `{k}` |" in page) == sorted(KINDS)
