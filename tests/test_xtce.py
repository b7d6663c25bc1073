"""XTCE definitions: each construct on a small hand-made file, each refusal,
hostile XML, and the layouts the definitions turn into."""

from __future__ import annotations

import io
import os
import pickle
import re
import struct
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import bitloom

import bitloom_io

xtce = pytest.importorskip("bitloom_io.xtce")

DATA = Path(__file__).parent / "data" / "xtce"
REAL = Path(__file__).parent / "data" / "realdata"


def packet(*fields: tuple[int, int]) -> bytes:
    """Big-endian bit fields (width, raw pattern) end to end, zero-padded to whole bytes."""
    value, width = 0, 0
    for bits, raw in fields:
        assert 0 <= raw < 1 << bits
        value = value << bits | raw
        width += bits
    pad = -width % 8
    return (value << pad).to_bytes((width + pad) // 8, "big")


def decode(definition, packets, **kwargs):
    buffer = b"".join(packets)
    lengths = np.array([len(p) for p in packets], dtype=np.int64)
    offsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(np.int64)
    return definition.decode_packets(buffer, offsets, lengths, **kwargs)


def line_of(path: Path, snippet: str) -> int:
    for number, text in enumerate(path.read_text().splitlines(), 1):
        if snippet in text:
            return number
    raise AssertionError(f"{snippet!r} not in {path}")


# ---------------------------------------------------------------------------
# Constructs.


def test_integer_encodings_byte_and_bit_orders():
    definition = xtce.load(DATA / "integers.xml")
    raw = packet(
        (5, 1),
        (11, 24),
        (3, 0b101),
        (5, 0b11101),  # -3, "signed" spelling
        (12, 4096 - 1000),
        (8, 0xFA),  # ones' complement -5
        (8, 0x85),  # sign-magnitude -5
        (16, bitloom.encode_unpacked_bcd(42, 16)),
        (16, 0x1234),  # packed BCD 1234
        (16, 0x3412),  # least significant byte first
        (32, 0x44332211),  # ByteOrderList 3,2,1,0: the first byte is the most significant
        (8, 0x80),  # least significant bit first: 1
        (64, 2**64 - 1),
    )
    table = decode(definition, [raw])["Integers"]
    got = {name: table[name][0].item() for name in table.columns}
    assert got == {
        "ID": 1,
        "LEN": 24,
        "U3": 5,
        "S5": -3,
        "T12": -1000,
        "O8": -5,
        "M8": -5,
        "BCD": 42,
        "PBCD": 1234,
        "LE": 0x1234,
        "LIST": 0x44332211,
        "LSB": 1,
        "BIG": 2**64 - 1,
    }
    starts = [entry.start for entry in definition.fields("Integers")]
    assert starts == [0, 5, 16, 19, 24, 36, 44, 52, 68, 84, 100, 132, 140]


def test_float_encodings_and_a_float_type_over_an_integer_encoding():
    definition = xtce.load(DATA / "floats.xml")
    raw = packet(
        (5, 2),
        (11, 0),
        (16, bitloom.encode_ieee754_f16(1.5)),
        (32, bitloom.encode_ieee754_f32(0.1)),
        (64, bitloom.encode_ieee754_f64(-2.5)),
        (32, int.from_bytes(bitloom.encode_ieee754_f32(3.25).to_bytes(4, "little"), "big")),
        (16, 500),
    )
    table = decode(definition, [raw])["Floats"]
    assert table["F16"][0] == 1.5 and table["F32"][0] == np.float32(0.1) and table["F64"][0] == -2.5
    assert table["FLE"][0] == 3.25
    # The raw column follows the encoding, the engineering column the type.
    assert table["FINT"].dtype.kind in "iu" and table["FINT"][0] == 500
    assert table["FINT_eng"].dtype == np.float64 and table["FINT_eng"][0] == 500.0
    assert definition.parameter_types["FINT"].units == ["ms"]


def test_strings_binary_and_a_size_from_the_length_field():
    definition = xtce.load(DATA / "text_binary.xml")

    def text_packet(blob: bytes, trailer: int) -> bytes:
        body = b"ABCD" + "hi".encode("utf-16-be") + "é!".encode("latin-1") + b"\x01\x02\x03" + blob + bytes([trailer])
        return packet((5, 3), (11, len(body))) + body

    tables = decode(definition, [text_packet(b"", 7), text_packet(b"xyz12", 9)])
    table = tables["Text"]
    assert table["ASCII"].tolist() == ["ABCD", "ABCD"]
    assert table["UTF16"].tolist() == ["hi", "hi"]
    assert table["LATIN"].tolist() == ["é!", "é!"]
    assert table["BIN"].tolist() == [b"\x01\x02\x03"] * 2
    assert table["BLOB"].tolist() == [b"", b"xyz12"]
    # The field after the blob is placed per packet.
    assert table["TRAILER"].tolist() == [7, 9]
    blob = next(s for s in definition.fields("Text") if s.name == "BLOB")
    assert blob.item()["bits"] == {"field": "LEN", "slope": 8, "intercept": -112}
    assert [s.start for s in definition.fields("Text")][-1] is None


def _bytes(data: bytes) -> tuple[int, int]:
    return (8 * len(data), int.from_bytes(data, "big")) if data else (0, 0)


@pytest.mark.parametrize(
    ("fields", "expected"),
    [
        (
            # N1 N2 | FT: fixed, terminated | FL: fixed, size tag | DL: dynamic, 16-bit tag | DT: dynamic, '.' | WT: UTF-16, 0000
            # | TO, TY: a tag and as many bytes as it says
            [
                6,
                5,
                b"abc\0XYZW",
                b"\x03abcJUNK",
                b"\x00\x02hi\xff\xff",
                b"ok.zz",
                b"\x01\x00\x00A\x00\x00\x00z",
                b"\x02hi",
                b"\x00\x03abc",
                0x5A,
            ],
            {
                "FT": "abc",
                "FL": "abc",
                "DL": "hi",
                "DT": "ok",
                "WT": "\u0100A",
                "TO": "hi",
                "TY": "abc",
                "TY#size": 3,
                "AFTER": 0x5A,
            },
        ),
        (
            # No terminator: the whole field is the text; a tag that fills the field; empty tagged text.
            [
                4,
                3,
                b"abcdefgh",
                b"\x07abcdefg",
                b"\x00\x02ok",
                b"abc",
                "hi!!".encode("utf-16-be"),
                b"\x00",
                b"\x00\x01z",
                0x33,
            ],
            {
                "FT": "abcdefgh",
                "FL": "abcdefg",
                "DL": "ok",
                "DT": "abc",
                "WT": "hi!!",
                "TO": "",
                "TY": "z",
                "TY#size": 1,
                "AFTER": 0x33,
            },
        ),
    ],
    ids=["terminated", "whole-field"],
)
def test_strings_with_a_size_and_a_terminator_or_a_size_tag(fields, expected):
    definition = xtce.load(DATA / "strings_sized.xml")
    n1, n2, *texts, after = fields
    body = packet((8, n1), (8, n2), *[_bytes(text) for text in texts], (8, after))
    table = decode(definition, [packet((5, 1), (11, len(body) - 1)) + body])["Strings"]
    assert {
        name: table[name][0].item() if hasattr(table[name][0], "item") else table[name][0] for name in expected
    } == expected
    # The size decides where the next field starts, whatever the text.
    assert definition.layout("Strings").fields[-1].start_bit is None


def test_a_size_tag_longer_than_its_field_is_an_error():
    definition = xtce.load(DATA / "strings_sized.xml")
    body = packet(
        (8, 2),
        (8, 1),
        *[_bytes(b) for b in (b"abc\0abcd", b"\x09abcdefg", b"\x00\x01", b".", b"\x00" * 8, b"\x00", b"\x00\x00")],
        (8, 0),
    )
    with pytest.raises(ValueError, match="size tag of 'FL' says 9 bytes"):
        decode(definition, [packet((5, 1), (11, len(body) - 1)) + body])


def test_container_sizes_base_types_byte_order_lists_and_steps():
    definition = xtce.load(DATA / "sizes_orders.xml")

    def row(a: int, pad: int, k: int) -> bytes:
        return packet(
            (5, 2),
            (11, 30),
            (8, a),
            (24, pad),  # Padded: one 8-bit entry in a 32-bit container
            (8, 9),
            (64, int.from_bytes((5).to_bytes(8, "little"), "big")),  # S: the base's 64 bits, little-endian
            (64, int.from_bytes((6).to_bytes(8, "little"), "big")),  # S2: through two baseTypes
            (16, 0xFFFE),  # SB: the base's 16 bits, its own two's complement
            (32, 0x11223344),  # O: significance 0,1,2,3, least significant byte first
            (16, 0x1234),  # R: significance 1,0, most significant first
            (8, k),
        )

    tables = decode(definition, [row(7, 0xFFFFFF, 10), row(1, 0, 5), row(2, 0xABCDEF, 15)], root="Sizes")
    table = tables["Sizes"]
    assert table["A"].tolist() == [7, 1, 2] and table["B"].tolist() == [9, 9, 9]
    assert table["S"].tolist() == [5] * 3 and table["S_eng"].tolist() == [11.0] * 3
    assert table["S2_eng"].tolist() == [13.0] * 3 and definition.parameter_types["SCALED_AGAIN"].units == ["V"]
    assert table["SB"].tolist() == [-2] * 3
    assert table["O"].tolist() == [0x44332211] * 3 and table["R"].tolist() == [0x1234] * 3
    # A repeated raw value is a step: at and after it, the later point of the file.
    assert table["K_eng"].tolist() == [2.0, 1.0, 2.0]
    assert [s.start for s in definition.fields("Sizes")][2:4] == [16, 48]
    # Unreadable types that nothing uses refuse nothing, even strictly.
    xtce.load(DATA / "sizes_orders.xml", strict=True)
    assert definition.parameter_types["uint0"].problem is not None and not definition.refused


@pytest.mark.parametrize(
    ("parameter", "element", "fragment"),
    [("UNUSED", "IntegerParameterType", "no data encoding"), ("ZERO", "IntegerDataEncoding", "0-bit integers")],
)
def test_unreadable_types_refuse_the_containers_that_use_them(tmp_path, parameter, element, fragment):
    text = (DATA / "sizes_orders.xml").read_text()
    path = tmp_path / "used.xml"
    last = '<ParameterRefEntry parameterRef="K"/>'
    path.write_text(text.replace(last, last + f'<ParameterRefEntry parameterRef="{parameter}"/>'))
    definition = xtce.load(path)
    assert set(definition.refused) == {"Sizes"} and definition.concrete() == ["Padded"]
    error = definition.refused["Sizes"]
    assert error.element == element and fragment in str(error) and "used by container 'Sizes'" in str(error)
    with pytest.raises(xtce.XtceUnsupportedError, match=fragment):
        xtce.load(path, strict=True)
    # Its packets are reported, not decoded as another container.
    with pytest.warns(xtce.XtceWarning, match="1 packets of container 'Sizes' left out"):
        tables = decode(definition, [packet((5, 2), (11, 0), (8, 0))], root="Sizes")
    assert len(tables) == 0 and tables.refused["Sizes"].tolist() == [0]


def test_aggregates_give_one_column_per_leaf_and_locations_place_entries():
    definition = xtce.load(DATA / "aggregates_locations.xml", strict=True)
    state = packet((5, 1), (11, 3), (8, 200), (1, 1), (4, 9), (4, 3), (7, 0))
    placed = packet((5, 2), (11, 0b10110011101), (8, 0xEE), (8, 17), (8, 0xAB), (4, 0xF), (4, 6))
    tables = decode(definition, [state, placed])
    got = tables["State"]
    assert list(got.columns) == [
        "HDR.Id",
        "HDR.Len",
        "STATE.count",
        "STATE.inner.flag",
        "STATE.inner.flag_eng",
        "STATE.inner.level",
        "STATE.tail",
    ]
    assert [got[name][0].item() for name in got.columns] == [1, 3, 200, 1, True, 9, 3]
    placed_table = tables["Placed"]
    # A after an 8-bit gap; Block's C 12 bits from Block's start; B 5 bits from the packet's start.
    assert {name: placed_table[name][0].item() for name in placed_table.columns} == {
        "HDR.Id": 2,
        "HDR.Len": 0b10110011101,
        "A": 17,
        "A#2": 0xAB,
        "C": 6,
        "B": 0b10110011101 >> 3,
    }
    assert [s.start for s in definition.fields("Placed")] == [0, 5, 24, 32, 44, 5]
    pytest.importorskip("pyarrow")
    # On request, Arrow nests the members as the aggregates do, each where its first member stood.
    nested = got.to_arrow(structs=True)
    assert nested.column_names == ["HDR", "STATE"] and got.to_arrow().column_names == list(got.columns)
    assert nested.to_pylist()[0] == {
        "HDR": {"Id": 1, "Len": 3},
        "STATE": {"count": 200, "inner": {"flag": 1, "flag_eng": True, "level": 9}, "tail": 3},
    }


def _split_definition(tmp_path: Path, text: str) -> tuple[Path, Path]:
    """The parameter types in one file, parameters and containers in another, as ground systems keep them."""
    start, end = text.index("<ParameterTypeSet>"), text.index("</ParameterTypeSet>") + len("</ParameterTypeSet>")
    space = '<SpaceSystem xmlns="http://www.omg.org/spec/XTCE/20180204" name="{}"><TelemetryMetaData>{}</TelemetryMetaData></SpaceSystem>'
    types, packets = tmp_path / "types.xml", tmp_path / "packets.xml"
    types.write_text("<?xml version='1.0'?>\n" + space.format("Types", text[start:end]))
    packets.write_text(text[:start] + text[end:])
    return types, packets


def test_a_definition_split_over_files_loads_from_a_list(tmp_path):
    text = (DATA / "sizes_orders.xml").read_text()
    types, packets = _split_definition(tmp_path, text)
    whole = xtce.load(DATA / "sizes_orders.xml")
    split = xtce.load([packets, types], strict=True)
    assert split.recipe("Sizes") == whole.recipe("Sizes") and split.name == "Sizes"
    with pytest.raises(xtce.XtceError, match="names no parameter type"):
        xtce.load([packets])
    # A refusal names the file that holds what is refused.
    last = '<ParameterRefEntry parameterRef="K"/>'
    types, packets = _split_definition(tmp_path, text.replace(last, last + '<ParameterRefEntry parameterRef="ZERO"/>'))
    error = xtce.load([packets, types]).refused["Sizes"]
    assert error.path == str(types) and str(error).startswith(f"{types}:{error.line}: IntegerDataEncoding 'uint0'")


def test_arrays_and_repeated_entries_become_columns_of_one_shape_per_packet():
    definition = xtce.load(DATA / "arrays_repeats.xml", strict=True)
    rng = np.random.default_rng(7)
    rows = []
    for _ in range(5):
        mat = rng.integers(0, 16, (3, 2))
        pairs = rng.integers(0, 256, (2, 2))
        reps = rng.integers(0, 256, 3)
        tail = int(rng.integers(0, 256))
        fields = [(5, 1), (11, 9)] + [(4, int(v)) for v in mat.ravel()]  # the last index fastest
        fields += [(8, int(v)) for v in pairs.ravel()]  # a, b of element 0, then of element 1
        for k, v in enumerate(reps):
            fields += ([(4, 0xF)] if k else []) + [(8, int(v))]  # 4 bits between repeats
        rows.append((packet(*fields, (8, tail)), mat, pairs, reps, tail))
    table = decode(definition, [row[0] for row in rows])["Arrays"]
    assert list(table.columns) == ["ID", "LEN", "MAT", "VEC.a", "VEC.b", "VEC.b_eng", "R", "TAIL"]
    np.testing.assert_array_equal(table["MAT"], [row[1] for row in rows])
    assert table["MAT"].shape == (5, 3, 2)
    np.testing.assert_array_equal(table["VEC.a"], [row[2][:, 0] for row in rows])
    np.testing.assert_array_equal(table["VEC.b_eng"], [2.0 * row[2][:, 1] for row in rows])
    np.testing.assert_array_equal(table["R"], [row[3] for row in rows])
    assert table["TAIL"].tolist() == [row[4] for row in rows]
    # The elements are fields of the compiled layout, each at its own bits.
    assert (
        definition.layout("Arrays").fields[2].name == "MAT[0][0]"
        and definition.fields("Arrays")[-1].start == 16 + 24 + 32 + 32
    )
    pd = pytest.importorskip("pandas")
    frame = table.to_pandas()
    assert isinstance(frame, pd.DataFrame) and frame["MAT"][1].tolist() == rows[1][1].tolist()
    pytest.importorskip("pyarrow")
    assert table.to_arrow().column("MAT").to_pylist()[1] == rows[1][1].tolist()


@pytest.mark.parametrize(
    ("program", "expected"),
    [
        (
            "<ThisParameterOperand/><ValueOperand>2</ValueOperand><Operator>*</Operator><ValueOperand>1</ValueOperand><Operator>-</Operator>",
            lambda x: 2 * x - 1,
        ),
        ("<ValueOperand>10</ValueOperand><ThisParameterOperand/><Operator>/</Operator>", lambda x: 10 / x),
        (
            "<ThisParameterOperand/><Operator>dup</Operator><Operator>*</Operator><Operator>ln</Operator>",
            lambda x: np.log(x * x),
        ),
        (
            "<ThisParameterOperand/><ValueOperand>3</ValueOperand><Operator>swap</Operator><Operator>-</Operator><Operator>abs</Operator>",
            lambda x: np.abs(3 - x),
        ),
        (
            "<ThisParameterOperand/><ValueOperand>2</ValueOperand><Operator>&gt;&gt;</Operator><ThisParameterOperand/><ValueOperand>5</ValueOperand><Operator>&gt;</Operator><Operator>+</Operator>",
            lambda x: (x.astype(int) >> 2) + (x > 5),
        ),
        (
            # The standard's trigonometry is in degrees.
            "<ThisParameterOperand/><Operator>sin</Operator><ValueOperand>1</ValueOperand><ValueOperand>1</ValueOperand><Operator>atan2</Operator><Operator>+</Operator>",
            lambda x: np.sin(np.radians(x)) + 45.0,
        ),
    ],
    ids=["linear", "inverse", "dup-ln", "swap", "shift-compare", "degrees"],
)
def test_math_calibrators_run_their_postfix_program(tmp_path, program, expected):
    path = tmp_path / "math.xml"
    types = f'<FloatParameterType name="M"><IntegerDataEncoding sizeInBits="8"><DefaultCalibrator><MathOperationCalibrator>{program}</MathOperationCalibrator></DefaultCalibrator></IntegerDataEncoding></FloatParameterType>'
    path.write_text(
        _space_system(
            types,
            '<Parameter name="X" parameterTypeRef="M"/>',
            '<SequenceContainer name="C"><EntryList><ParameterRefEntry parameterRef="X"/></EntryList></SequenceContainer>',
        )
    )
    raw = np.array([1, 2, 7, 200], dtype=np.uint8)
    table = decode(xtce.load(path, strict=True), [bytes([v]) for v in raw.tolist()])["C"]
    np.testing.assert_allclose(table["X_eng"], expected(raw.astype(np.float64)))


def test_include_conditions_mask_absent_entries_and_move_the_rest_up():
    definition = xtce.load(DATA / "conditions.xml", strict=True)
    head = [(5, 1), (11, 0)]
    packets = [
        packet(*head, (8, 0), (8, 10)),  # nothing but the tail
        packet(*head, (8, 1), (8, 40), (8, 11)),  # A
        packet(*head, (8, 2), (16, 500), (8, 6), (8, 12)),  # B, Extra without E
        packet(*head, (8, 3), (16, 600), (8, 7), (8, 99), (8, 13)),  # B, Extra with E
        packet(*head, (8, 1), (8, 2), (8, 14)),
    ]
    table = decode(definition, packets, root="Conditional")["Conditional"]

    def values(name):
        column = table[name]
        return [None if np.ma.is_masked(v) else v.item() for v in np.ma.asarray(column)]

    assert values("TAIL") == [10, 11, 12, 13, 14]
    assert values("A") == [None, 40, None, None, 2] and values("A_eng") == [None, 20.0, None, None, 1.0]
    assert values("B") == [None, None, 500, 600, None]
    assert values("D") == [None, None, 6, 7, None] and values("E") == [None, None, None, 99, None]
    assert not np.ma.isMaskedArray(table["FLAGS"])
    with pytest.raises(xtce.XtceUnsupportedError, match="IncludeCondition"):
        definition.layout("Conditional")


SHARED = DATA / "shared"
# What each shared file still leaves out, by container (every other container decodes).
SHARED_REFUSED = {
    "workshop/arrays-1.2.xml": {"Frame"},  # an ArrayParameterRefEntry holding more elements than its array has
    "workshop/containers-1.2.xml": {"CcsdsHeader", "EpsPacket", "AdcsPacket", "ChainedPacket", "TrailerFragment"},
}


@pytest.mark.parametrize("name", sorted(str(p.relative_to(SHARED)) for p in SHARED.rglob("*.xml")))
def test_every_shared_definition_loads(name):
    definition = xtce.load(SHARED / name)
    assert set(definition.refused) == SHARED_REFUSED.get(name, set())
    for container in definition.concrete():
        if container not in definition._conditions:
            definition.layout(container)


def _pattern(item, value):
    """The bits of one field as the standard lays them out, from a raw value (no decoder code)."""
    bits, codec = item["bits"], item["encoding"]
    if codec == "unsigned":
        pattern = value
    elif codec == "twos_complement":
        pattern = value & ((1 << bits) - 1)
    elif codec == "ones_complement":
        pattern = value if value >= 0 else ~(-value) & ((1 << bits) - 1)
    elif codec == "sign_magnitude":
        pattern = value if value >= 0 else 1 << (bits - 1) | -value
    elif codec.startswith("ieee754_f"):
        pattern = int.from_bytes(struct.pack({16: ">e", 32: ">f", 64: ">d"}[bits], value), "big")
    elif codec in ("us_ascii", "utf8", "iso_8859_1", "windows_1252", "binary"):
        pattern = int.from_bytes(value if codec == "binary" else value.encode("ascii"), "big")
    else:
        return None
    if item["byte_order"] == "little":
        pattern = int.from_bytes(pattern.to_bytes(bits // 8, "big"), "little")
    if item["reverse_bits"]:
        pattern = int(format(pattern, f"0{bits}b")[::-1], 2)
    return pattern


def _random_raw(item, rng):
    bits, codec = item["bits"], item["encoding"]
    if codec == "unsigned":
        return int(rng.integers(0, 1 << bits, dtype=np.uint64)) if bits < 64 else int(rng.integers(0, 1 << 62)) << 2
    if codec in ("twos_complement", "ones_complement", "sign_magnitude"):
        top = (1 << (bits - 1)) - 1
        return int(rng.integers(-top, top + 1)) if bits < 64 else int(rng.integers(-(1 << 62), 1 << 62))
    if codec.startswith("ieee754_f"):
        return float(np.array(rng.normal() * 1000, dtype={16: np.float16, 32: np.float32, 64: np.float64}[bits]))
    if codec == "binary":
        return rng.bytes(bits // 8)
    return "".join(chr(c) for c in rng.integers(0x41, 0x5B, bits // 8))


@pytest.mark.parametrize(
    "name",
    sorted(str(p.relative_to(SHARED)) for p in SHARED.rglob("*.xml"))
    + ["../arrays_repeats.xml", "../aggregates_locations.xml", "../sizes_orders.xml"],
)
def test_packets_written_bit_by_bit_decode_to_what_was_written(name):
    """For every concrete container a packet can be chosen for by equalities
    and whose fields lie at fixed bits: random raw values, written by the
    standard's layout rules, come back from the decode."""
    definition = xtce.load(SHARED / name)
    rng = np.random.default_rng(11)
    checked = 0
    for container in definition.concrete():
        if container in definition._conditions:
            continue
        top = container
        while definition.containers[top].base is not None:
            top = definition.containers[top].base
        try:
            tests = {entry.name: value for entry, value in definition._equalities(container, top)}
        except xtce.XtceError:
            continue
        items = definition.recipe(container)
        ends = [item.get("offset_bits", -1) + item["bits"] if isinstance(item["bits"], int) else -1 for item in items]
        if any(end < 0 for end in ends) or any(
            definition.fields(container)[k].type.encoding.text_in_buffer for k in range(len(items))
        ):
            continue
        spans = sorted((item["offset_bits"], end) for item, end in zip(items, ends))
        if any(b[0] < a[1] for a, b in zip(spans, spans[1:])):
            continue  # fields laid over each other
        packet_bits = max(ends)
        value, written = 0, {}
        for item in items:
            raw = tests.get(item["name"], None)
            raw = _random_raw(item, rng) if raw is None else raw
            pattern = _pattern(item, raw)
            if pattern is None:
                break
            value |= pattern << (packet_bits - item["offset_bits"] - item["bits"])
            written[item["name"]] = raw
        else:
            raw_packet = (value << (-packet_bits % 8)).to_bytes((packet_bits + 7) // 8, "big")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", xtce.XtceWarning)
                tables = decode(definition, [raw_packet], root=top, errors="skip")
            if container not in tables or not len(tables[container]):
                continue  # a child of it takes the packet too, by its random values
            got = definition.layout(container).unpack(raw_packet)
            assert {k: got[k] for k in written} == written, container
            checked += 1
    if not checked:
        pytest.skip("no container with every field at fixed bits")


def test_counts_from_the_packet_give_one_array_per_packet():
    definition = xtce.load(DATA / "ragged.xml", strict=True)
    rng = np.random.default_rng(3)
    rows = []
    for n, m in [(0, 2), (3, 0), (1, 1), (3, 2), (0, 0)]:
        reps, values, tail = rng.integers(0, 256, n), rng.integers(0, 256, m), int(rng.integers(0, 256))
        fields = [(5, 1), (11, 0), (8, n), (8, m)]
        for k, v in enumerate(reps):
            fields += ([(4, 0)] if k else []) + [(8, int(v))]
        fields += [(8, int(v)) for v in values] + [(8, tail)]
        rows.append((packet(*fields), reps, values, tail))
    table = decode(definition, [row[0] for row in rows])["Ragged"]
    assert [r.tolist() for r in table["R"]] == [row[1].tolist() for row in rows]
    assert [r.tolist() for r in table["V"]] == [row[2].tolist() for row in rows]
    assert [r.tolist() for r in table["V_eng"]] == [(1.0 + 3.0 * row[2]).tolist() for row in rows]
    assert table["TAIL"].tolist() == [row[3] for row in rows]
    pytest.importorskip("pyarrow")
    assert table.to_arrow().column("R").to_pylist() == [row[1].tolist() for row in rows]


# Strings their terminator alone ends (terminated.xml): the packet's bytes
# after ID, and the values expected, or None where the packet is too short.
_NUL16 = b"\0\0"
_TERMINATED = [
    (b"abc\0" + b"\7" + "hi".encode("utf-16-be") + _NUL16 + b"x\0y\0" + b"\x09", ("abc", 7, "hi", ["x", "y"], 9)),
    (b"\0" + b"\1" + _NUL16 + b"\0\0" + b"\2", ("", 1, "", ["", ""], 2)),
    # NOTE fills its 64 bits without a terminator: the next field follows them.
    (b"n\0" + b"\3" + "abcd".encode("utf-16-be") + b"p\0q\0" + b"\4", ("n", 3, "abcd", ["p", "q"], 4)),
    # A zero code unit across two UTF-16 units (U+0100 then 'A') is no terminator.
    (
        "é\0".encode() + b"\5" + "\u0100A".encode("utf-16-be") + _NUL16 + b"\0z\0" + b"\6",
        ("é", 5, "\u0100A", ["", "z"], 6),
    ),
    # No terminator anywhere: NAME takes the rest, and nothing is left for MID.
    (b"abc", None),
    # The last string's terminator is missing: it takes the rest, TAIL is missing.
    (b"\0" + b"\1" + _NUL16 + b"a\0bc", None),
]


def test_strings_that_their_terminator_ends_move_the_fields_after_them():
    definition = xtce.load(DATA / "terminated.xml", strict=True)
    packets = [bytes([k]) + body for k, (body, _) in enumerate(_TERMINATED)]
    with pytest.warns(xtce.XtceWarning, match="2 packets too short for container 'Terminated'"):
        tables = decode(definition, packets, errors="skip")
    table = tables["Terminated"]
    whole = [(k, want) for k, (_, want) in enumerate(_TERMINATED) if want is not None]
    assert table["ID"].tolist() == [k for k, _ in whole]
    for column, at in (("NAME", 0), ("MID", 1), ("NOTE", 2), ("PAIR", 3), ("TAIL", 4)):
        assert table[column].tolist() == [want[at] for _, want in whole], column
    assert tables.failed["Terminated"].tolist() == [k for k, (_, want) in enumerate(_TERMINATED) if want is None]


# Repeated values: (data encoding, value bits, bits before the first, bits
# between repeats, struct format of a value or None for integers of odd
# widths, numpy dtype the column has). Whole bytes evenly spaced are copied
# from the packets; the others are read one column per repeat. Both must
# give the same values.
_REPEATED = [
    ('<IntegerDataEncoding sizeInBits="8"/>', 8, 0, 0, ">B", "u1"),
    ('<IntegerDataEncoding sizeInBits="8" encoding="twosComplement"/>', 8, 0, 8, ">b", "i1"),
    ('<IntegerDataEncoding sizeInBits="16"/>', 16, 0, 0, ">H", "u2"),
    ('<IntegerDataEncoding sizeInBits="16" byteOrder="leastSignificantByteFirst"/>', 16, 0, 16, "<H", "u2"),
    ('<IntegerDataEncoding sizeInBits="32" encoding="twosComplement"/>', 32, 0, 0, ">i", "i4"),
    (
        '<IntegerDataEncoding sizeInBits="64" encoding="twosComplement" byteOrder="leastSignificantByteFirst"/>',
        64,
        0,
        0,
        "<q",
        "i8",
    ),
    ('<IntegerDataEncoding sizeInBits="64"/>', 64, 0, 8, ">Q", "u8"),
    ('<FloatDataEncoding sizeInBits="32"/>', 32, 0, 0, ">f", "f4"),
    ('<FloatDataEncoding sizeInBits="64" byteOrder="leastSignificantByteFirst"/>', 64, 0, 0, "<d", "f8"),
    ('<FloatDataEncoding sizeInBits="16"/>', 16, 0, 0, ">e", "f2"),
    ('<IntegerDataEncoding sizeInBits="16"/>', 16, 4, 0, ">H", "u2"),  # not on a byte
    ('<IntegerDataEncoding sizeInBits="16"/>', 16, 0, 4, ">H", "u2"),  # 4 bits between
    ('<IntegerDataEncoding sizeInBits="12"/>', 12, 0, 0, None, "u2"),
]


def _repeated_definition(tmp_path: Path, encoding: str, lead: int, gap: int) -> object:
    kind = "Float" if encoding.startswith("<Float") else "Integer"
    lead_entry = '<ParameterRefEntry parameterRef="P"/>' if lead else ""
    offset = f"<Offset><FixedValue>{gap}</FixedValue></Offset>" if gap else ""
    path = tmp_path / "repeated.xml"
    path.write_text(
        '<SpaceSystem name="S"><TelemetryMetaData><ParameterTypeSet>'
        '<IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="8"/></IntegerParameterType>'
        f'<IntegerParameterType name="PAD"><IntegerDataEncoding sizeInBits="{lead or 1}"/></IntegerParameterType>'
        f'<{kind}ParameterType name="T">{encoding}</{kind}ParameterType>'
        '</ParameterTypeSet><ParameterSet><Parameter name="N" parameterTypeRef="U8"/>'
        '<Parameter name="P" parameterTypeRef="PAD"/><Parameter name="V" parameterTypeRef="T"/>'
        '<Parameter name="TAIL" parameterTypeRef="U8"/><Parameter name="F" parameterTypeRef="U8"/></ParameterSet>'
        '<ContainerSet><SequenceContainer name="C"><EntryList><ParameterRefEntry parameterRef="F"/>'
        f'<ParameterRefEntry parameterRef="N"/>{lead_entry}<ParameterRefEntry parameterRef="V">'
        '<RepeatEntry><Count><DynamicValue><ParameterInstanceRef parameterRef="N" useCalibratedValue="false"/>'
        f"</DynamicValue></Count>{offset}</RepeatEntry>"
        '<IncludeCondition><Comparison parameterRef="F" value="1" useCalibratedValue="false"/></IncludeCondition>'
        "</ParameterRefEntry>"
        '<ParameterRefEntry parameterRef="TAIL"/></EntryList></SequenceContainer></ContainerSet>'
        "</TelemetryMetaData></SpaceSystem>"
    )
    return xtce.load(path, strict=True)


@pytest.mark.parametrize(("encoding", "bits", "lead", "gap", "form", "dtype"), _REPEATED)
@pytest.mark.filterwarnings("ignore::bitloom_io.xtce.XtceWarning")  # packets cut short, on purpose
@settings(max_examples=25, deadline=None)
@given(data=st.data())
def test_repeated_values_equal_what_was_written(tmp_path_factory, encoding, bits, lead, gap, form, dtype, data):
    from bitloom_io.xtce import _conditional

    definition = _repeated_definition(tmp_path_factory.mktemp("r"), encoding, lead, gap)
    counts = data.draw(st.lists(st.integers(0, 6), min_size=1, max_size=8), label="counts")
    width, order = bits // 8, "little" if form and form[0] == "<" else "big"
    kept, packets = [], []
    for n in counts:
        held = data.draw(st.booleans(), label="held")  # else a condition leaves the repeat out: masked
        values = [data.draw(st.integers(0, (1 << bits) - 1)) for _ in range(n)] if held else []
        fields = [(8, int(held)), (8, n)] + ([(lead, 0)] if lead else [])
        for k, v in enumerate(values):
            pattern = int.from_bytes(v.to_bytes(width, order), "big") if form else v
            fields += ([(gap, 0)] if k and gap else []) + [(bits, pattern)]
        whole = packet(*fields, (8, data.draw(st.integers(0, 255))))
        cut = data.draw(st.integers(0, min(2, len(whole) - 1)) if values else st.just(0), label="cut")
        packets.append(whole[: len(whole) - cut])
        if not cut:  # a packet cut short is left out, its index in .failed
            kept.append(values if held else None)
    tables = decode(definition, packets, errors="skip")
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(_conditional, "_GATHERED_ENCODINGS", frozenset())  # one column per repeat
        columns = decode(definition, packets, errors="skip")
    if not kept:
        assert "C" not in tables and "C" not in columns
        return
    for got in (tables["C"]["V"], columns["C"]["V"]):
        assert isinstance(got, bitloom_io.Ragged) and got.values.dtype == np.dtype(dtype)
        # Bit for bit (NaN payloads too): each value's bytes as unsigned integers.
        as_bits = got.values.view(f"u{got.values.itemsize}") if form else got.values
        assert bitloom_io.Ragged(as_bits, got.offsets, got.mask).tolist() == kept
    assert tables.failed.get("C", np.zeros(0)).tolist() == columns.failed.get("C", np.zeros(0)).tolist()


# Float formats by their published definitions: (encoding, bits, raw bits, value).
OTHER_FLOATS = [
    ("MILSTD_1750A", 32, 0x40000000, 0.5),
    ("MILSTD_1750A", 32, 0x40000001, 1.0),
    ("MILSTD_1750A", 32, 0x80000000, -1.0),
    ("MILSTD_1750A", 32, 0xA0000004, -12.0),
    ("MILSTD_1750A", 32, 0x7FFFFF7F, (1 - 2**-23) * 2.0**127),
    ("MILSTD_1750A", 48, 0x400000010000, 1.0),
    ("MILSTD_1750A", 48, 0x7FFFFF7FFFFF, (1 - 2**-39) * 2.0**127),
    ("IBM", 32, 0x41100000, 1.0),
    ("IBM", 32, 0xC276A000, -118.625),
    ("IBM", 64, 0x4110000000000000, 1.0),
    ("IBM", 64, 0xC276A00000000000, -118.625),
    ("DEC", 32, 0x80400000, 1.0),  # words 0x4080, 0x0000, each stored low byte first
    ("DEC", 32, 0x80C00000, -1.0),
    ("DEC", 32, 0x00000000, 0.0),
    ("DEC", 64, 0x8040000000000000, 1.0),
    ("TI", 32, 0x00000000, 1.0),
    ("TI", 32, 0xFF800000, -1.0),
    ("TI", 32, 0x80000000, 0.0),
    ("TI", 32, 0x00400000, 1.5),
    ("TI", 40, 0xFF80000000, -1.0),
]


def test_float_formats_beyond_ieee_decode_by_their_definitions(tmp_path):
    types = "".join(
        f'<FloatParameterType name="T{k}"><FloatDataEncoding sizeInBits="{bits}" encoding="{name}"/></FloatParameterType>'
        for k, (name, bits, _, _) in enumerate(OTHER_FLOATS)
    )
    parameters = "".join(f'<Parameter name="F{k}" parameterTypeRef="T{k}"/>' for k in range(len(OTHER_FLOATS)))
    entries = "".join(f'<ParameterRefEntry parameterRef="F{k}"/>' for k in range(len(OTHER_FLOATS)))
    path = tmp_path / "floats.xml"
    path.write_text(
        _space_system(
            types, parameters, f'<SequenceContainer name="C"><EntryList>{entries}</EntryList></SequenceContainer>'
        )
    )
    table = decode(xtce.load(path, strict=True), [packet(*[(bits, raw) for _, bits, raw, _ in OTHER_FLOATS])])["C"]
    assert [table[f"F{k}"][0] for k in range(len(OTHER_FLOATS))] == [value for *_, value in OTHER_FLOATS]


def test_numbers_enumerations_and_booleans_written_as_text(tmp_path):
    text = '<StringDataEncoding encoding="US-ASCII"><SizeInBits><Fixed><FixedValue>{}</FixedValue></Fixed></SizeInBits></StringDataEncoding>'
    types = (
        f'<IntegerParameterType name="N">{text.format(24)}</IntegerParameterType>'
        f'<FloatParameterType name="F">{text.format(32)}</FloatParameterType>'
        f'<EnumeratedParameterType name="E">{text.format(8)}<EnumerationList><Enumeration value="1" label="ONE"/>'
        '<Enumeration value="2" maxValue="5" label="MANY"/></EnumerationList></EnumeratedParameterType>'
        f'<BooleanParameterType name="B" zeroStringValue="OFF" oneStringValue="ON">{text.format(24)}</BooleanParameterType>'
    )
    parameters = "".join(f'<Parameter name="{n}" parameterTypeRef="{n}"/>' for n in "NFEB")
    entries = "".join(f'<ParameterRefEntry parameterRef="{n}"/>' for n in "NFEB")
    path = tmp_path / "text.xml"
    path.write_text(
        _space_system(
            types, parameters, f'<SequenceContainer name="C"><EntryList>{entries}</EntryList></SequenceContainer>'
        )
    )
    rows = [b"0422.501ON ", b"-7 1e-33OFF", b"abc-0.x9ON?"]
    with pytest.warns(xtce.XtceWarning, match="no engineering value"):
        table = decode(xtce.load(path, strict=True), rows)["C"]
    assert table["N"].tolist() == ["042", "-7 ", "abc"] and table["N_eng"][:2].tolist() == [42.0, -7.0]
    assert table["F_eng"][:2].tolist() == [2.5, 1e-3] and np.isnan(table["N_eng"][2]) and np.isnan(table["F_eng"][2])
    assert table["E_eng"].tolist() == ["ONE", "MANY", ""]
    assert table["B_eng"].tolist() == [True, False, False]


def test_the_first_context_calibrator_whose_match_holds_decides(tmp_path):
    poly = '<PolynomialCalibrator><Term coefficient="{}" exponent="0"/><Term coefficient="{}" exponent="1"/></PolynomialCalibrator>'
    context = '<ContextCalibrator><ContextMatch><Comparison parameterRef="MODE" comparisonOperator="{}" value="{}"/></ContextMatch><Calibrator>{}</Calibrator></ContextCalibrator>'
    types = (
        '<FloatParameterType name="X"><IntegerDataEncoding sizeInBits="8">'
        f"<DefaultCalibrator>{poly.format(0, 2)}</DefaultCalibrator><ContextCalibratorList>"
        + context.format("==", 1, poly.format(100, 1))
        + context.format("&gt;=", 1, poly.format(200, 1))
        + "</ContextCalibratorList></IntegerDataEncoding></FloatParameterType>"
    )
    parameters = '<Parameter name="MODE" parameterTypeRef="U8"/><Parameter name="V" parameterTypeRef="X"/>'
    entries = '<ParameterRefEntry parameterRef="MODE"/><ParameterRefEntry parameterRef="V"/>'
    path = tmp_path / "context.xml"
    path.write_text(
        _space_system(
            types, parameters, f'<SequenceContainer name="C"><EntryList>{entries}</EntryList></SequenceContainer>'
        )
    )
    table = decode(xtce.load(path, strict=True), [bytes([mode, 5]) for mode in (0, 1, 2, 7)])["C"]
    assert table["V_eng"].tolist() == [10.0, 105.0, 205.0, 205.0]


def test_calibrators_enumerations_and_booleans():
    definition = xtce.load(DATA / "calibration.xml")
    rows = [
        # POLY STEP LINE BOUNDED ALARMED MODE FLAG
        (10, 5, 15, 15, 7, 1, 0),
        (3, 10, 25, 20, 7, 3, 2),
        (3, 100, 40, 10, 7, 0, 1),
        (3, 200, 0, 30, 7, 9, 1),
    ]
    packets = [packet((5, 4), (11, 7), *[(8, v) for v in row]) for row in rows]
    with pytest.warns(xtce.XtceWarning) as caught:
        table = decode(definition, packets)["Calibrated"]
    messages = " ".join(str(w.message) for w in caught)
    assert "'STEP'" in messages and "'BOUNDED'" in messages and "'MODE'" in messages
    np.testing.assert_allclose(
        table["POLY_eng"], [-1.5 + 5 + 1, -1.5 + 1.5 + 0.09, -1.5 + 1.5 + 0.09, -1.5 + 1.5 + 0.09]
    )
    np.testing.assert_array_equal(table["STEP_eng"], [10.0, 20.0, 30.0, np.nan])  # order 0: the point at or below
    np.testing.assert_allclose(table["LINE_eng"], [50.0, 110.0, 140.0, -100.0])  # order 1, extrapolated
    np.testing.assert_array_equal(table["BOUNDED_eng"], [50.0, 100.0, 0.0, np.nan])
    # Its context (ID == 9) holds for none: no default calibrator, the raw value.
    assert table["ALARMED_eng"].tolist() == [7.0] * 4
    assert table["MODE"].tolist() == [1, 3, 0, 9]
    assert table["MODE_eng"].tolist() == ["ON", "BUSY", "OFF", ""]
    assert table["FLAG_eng"].tolist() == [False, True, True, True]


def test_inheritance_and_every_form_of_restriction():
    definition = xtce.load(DATA / "inheritance.xml")
    assert definition.root == "Root"
    assert definition.packet_types() == ["Science", "ScienceBurst", "Housekeeping"]
    head = lambda ident, length: [(5, ident), (11, length)]  # noqa: E731
    packets = [
        packet(*head(5, 4), (8, 1), (8, 7), (8, 0xEE), (8, 11), (8, 21)),  # SUB == 7: burst
        packet(*head(5, 3), (8, 1), (8, 8), (8, 0xEE), (8, 8)),  # A == SUB: science
        packet(*head(5, 3), (8, 1), (8, 200), (8, 0xEE), (8, 3), (8, 23)),  # SUB > 100 and A != SUB: burst
        packet(*head(5, 3), (8, 2), (8, 0), (8, 42)),  # raw KIND 2: housekeeping
        packet(*head(5, 3), (8, 3), (8, 0)),  # no child of the abstract Typed
        packet(*head(6, 3), (8, 1), (8, 0)),  # no child of the abstract Root
        packet(*head(5, 2), (8, 1), (8, 0)),  # LEN >= 3 fails
    ]
    with pytest.warns(xtce.XtceWarning) as caught:
        tables = decode(definition, packets)
    messages = [str(w.message) for w in caught]
    assert any(m.startswith("3 packets match no concrete container") for m in messages)
    assert any("1 raw value of 'KIND' has no engineering value" in m for m in messages)  # KIND 3
    assert {name: tables.packet_index[name].tolist() for name in tables} == {
        "Science": [1],
        "ScienceBurst": [0, 2],
        "Housekeeping": [3],
    }
    assert tables.unidentified.tolist() == [4, 5, 6]
    burst = tables["ScienceBurst"]
    assert list(burst.columns) == ["ID", "LEN", "KIND", "KIND_eng", "SUB", "STAMP", "A", "B"]
    assert burst["B"].tolist() == [21, 23] and burst["KIND_eng"].tolist() == ["SCIENCE", "SCIENCE"]
    assert tables["Housekeeping"]["C"].tolist() == [42]


def test_packets_matching_two_children_are_left_out_and_reported(tmp_path):
    text = (DATA / "inheritance.xml").read_text()
    # Housekeeping now also takes science packets.
    path = tmp_path / "twice.xml"
    path.write_text(text.replace("<Value>2</Value>", "<Value>1</Value>"))
    definition = xtce.load(path)
    packets = [packet((5, 5), (11, 3), (8, 1), (8, 8), (8, 0xEE), (8, 8))]
    with pytest.warns(xtce.XtceWarning, match="more than one container"):
        tables = decode(definition, packets)
    assert tables.ambiguous.tolist() == [0] and len(tables) == 0


@pytest.mark.parametrize("name", ["namespace_default.xml", "namespace_prefixed.xml", "namespace_none.xml"])
def test_namespaced_prefixed_and_plain_files_load_alike(name):
    definition = xtce.load(DATA / name)
    assert definition.recipe("Only") == [
        {"name": "ID", "encoding": "unsigned", "bits": 5, "byte_order": "big", "reverse_bits": False, "offset_bits": 0},
        {
            "name": "LEN",
            "encoding": "unsigned",
            "bits": 11,
            "byte_order": "big",
            "reverse_bits": False,
            "offset_bits": 5,
        },
        {"name": "V", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "offset_bits": 16},
    ]
    assert definition.root == "Only"


def test_load_reads_file_objects_and_keeps_descriptions():
    with open(REAL / "jpss" / "jpss1_geolocation_xtce_v1.xml", "rb") as stream:
        definition = xtce.load(stream)
    param = definition.parameters["ADGPSPOSX"]
    assert param.short_description == "Ephemeris Position (ECEF) X"
    assert param.type.units == ["m"] and param.type.encoding.written == "IEEE754"
    assert definition.parameters["VERSION"].long_description.startswith("Not really used")


def test_layouts_are_exact_and_one_per_concrete_container():
    definition = xtce.load(REAL / "jpss" / "contrived_inheritance_structure.xml")
    layouts = definition.layouts()
    assert sorted(layouts) == ["JPSS_ATT_EPHEM", "UNUSED"]
    layout = layouts["JPSS_ATT_EPHEM"]
    assert layout.exact
    assert [f.name for f in layout.fields][:8] == [
        "VERSION",
        "TYPE",
        "SEC_HDR_FLG",
        "PKT_APID",
        "SEQ_FLGS",
        "SRC_SEQ_CTR",
        "PKT_LEN",
        "DOY",
    ]
    # The inherited header keeps its 3-, 1-, 1-, 11-, 2- and 14-bit fields.
    first = (REAL / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1").read_bytes()[:71]
    values = layout.unpack(first)
    assert (values["VERSION"], values["PKT_APID"], values["PKT_LEN"]) == (0, 11, 64)


def test_tree_describes_the_inheritance():
    definition = xtce.load(DATA / "inheritance.xml")
    text = definition.tree()
    assert text.splitlines()[0] == "Root (abstract): 2 fields, 16 bits"
    assert "      ScienceBurst: 7 fields, 56 bits where (SUB == 7 or (SUB > 100 and A != SUB))" in text


# ---------------------------------------------------------------------------
# Refusals: each names the element, the parameter or container, and the line.


def placed(size: int, *fields: tuple[int, int, int]) -> bytes:
    """A packet of ``size`` bytes with (start bit, width, value) fields written
    in order, big-endian; a later field overwrites the bits it shares with an earlier one."""
    bits = [0] * (8 * size)
    for start, width, value in fields:
        for k in range(width):
            bits[start + k] = value >> (width - 1 - k) & 1
    return int("".join(map(str, bits)), 2).to_bytes(size, "big")


def read_bits(raw: bytes, start: int, width: int) -> int:
    return int.from_bytes(raw, "big") >> (8 * len(raw) - start - width) & ((1 << width) - 1)


def _values(column):
    return [None if np.ma.is_masked(v) else (v.tolist() if hasattr(v, "tolist") else v) for v in np.ma.asarray(column)]


def test_entries_placed_from_the_end_and_before_the_next_entry(tmp_path):
    definition = xtce.load(DATA / "placed_repeated.xml", strict=True)
    rng = np.random.default_rng(5)
    ends, boxes = [], []
    for size in (12, 14, 12):
        end = 8 * size
        a, p, q, n, m, t = (int(v) for v in rng.integers(0, 256, 6))
        # N ends 4 bits into M (-4 before the next entry): M's bits win where they overlap.
        raw = placed(
            size, (0, 5, 1), (16, 8, a), (32, 8, p), (48, 8, q), (end - 20, 8, n), (end - 16, 8, m), (end - 8, 8, t)
        )
        ends.append((raw, {"A": a, "P": p, "Q": q, "N": read_bits(raw, end - 20, 8), "M": m, "T": t}))
        b1, b3, b4, b2, after, z = (int(v) for v in rng.integers(0, 256, 6))
        b3 &= 0xF
        x1, x2, y1, y2 = (int(v) for v in rng.integers(0, 16, 4))
        raw = placed(
            size,
            (0, 5, 2),
            (16, 8, b1), (24, 4, b3), (32, 8, b4), (40, 8, b2), (48, 8, after),  # the 32-bit block, then AFTER
            (end - 24, 4, x1), (end - 20, 4, x2), (end - 8, 8, z),  # Pair ends 8 bits before Z, Z at the end
            (end - 32, 4, y1), (end - 28, 4, y2),  # Pair again, ending 24 bits before the end
        )  # fmt: skip
        boxes.append(
            (
                raw,
                {
                    "B1": b1,
                    "B3": b3,
                    "B4": b4,
                    "B2": b2,
                    "AFTER": after,
                    "X1": x1,
                    "X2": x2,
                    "Z": z,
                    "X1#2": y1,
                    "X2#2": y2,
                },
            )
        )
    # A packet too short for what its end places is left out and reported, not raised.
    short = placed(3, (0, 5, 1), (16, 8, 1))
    with pytest.warns(xtce.XtceWarning, match="1 packets too short for container 'Ends'"):
        tables = decode(definition, [raw for raw, _ in ends + boxes] + [short], errors="skip")
    assert tables.failed["Ends"].tolist() == [6]
    with pytest.raises(ValueError, match="while reading container 'Ends'"):
        decode(definition, [short])
    for name, rows in (("Ends", ends), ("Boxes", boxes)):
        table = tables[name]
        for column in rows[0][1]:
            assert table[column].tolist() == [row[1][column] for row in rows], (name, column)
    # A 2x3 array whose rows are two entries with a byte between them.
    parts = [(rng.integers(0, 16, (2, 3)), int(rng.integers(0, 256)), rng.integers(0, 256, 3)) for _ in range(3)]
    packets = [
        packet(
            (5, 5),
            (11, 0),
            *[(4, int(v)) for v in m[0]],
            (8, mid),
            *[(4, int(v)) for v in m[1]],
            *[(8, int(v)) for v in arr],
        )
        for m, mid, arr in parts
    ]
    table = decode(definition, packets)["Parts"]
    assert table["M23"].tolist() == [m.tolist() for m, _, _ in parts] and table["MID"].tolist() == [p[1] for p in parts]
    assert table["ARR"].tolist() == [a.tolist() for _, _, a in parts]
    # An array its entries do not fill is refused, not padded.
    text = (DATA / "placed_repeated.xml").read_text()
    second = text.index('<ArrayParameterRefEntry parameterRef="M23" lastEntryForThisArrayInstance="true">')
    end = text.index("</ArrayParameterRefEntry>", second) + len("</ArrayParameterRefEntry>")
    (tmp_path / "half.xml").write_text(text[:second] + text[end:])
    with pytest.raises(xtce.XtceUnsupportedError, match="'M23' hold 3 of its 6 elements"):
        xtce.load(tmp_path / "half.xml", strict=True)
    # Inside a container of known size, places are fixed bits; in the packet they follow its size.
    assert [s.start for s in definition.fields("Boxes")][2:7] == [16, 24, 32, 40, 48]
    with pytest.raises(xtce.XtceUnsupportedError, match="IncludeCondition|no single layout"):
        definition.layout("Ends")


def test_repeated_containers_calibrated_counts_and_conditions_and_math_operands():
    definition = xtce.load(DATA / "placed_repeated.xml", strict=True)
    rng = np.random.default_rng(9)
    records, optional = [], []
    # COUNT's calibrated value is raw / 2, rounded to the nearest whole number, halves up.
    for count_raw in (0, 4, 5, 2):
        count = int(np.floor(count_raw / 2 + 0.5))
        y = int(rng.integers(0, 256))
        r1, r2 = rng.integers(0, 256, count), rng.integers(0, 16, count)
        n1, n2, tail = rng.integers(0, 16, 3), rng.integers(0, 16, 3), int(rng.integers(0, 256))
        fields, at = [(0, 5, 3), (16, 8, count_raw), (24, 8, y)], 32
        for k in range(count):
            fields += [(at, 8, int(r1[k])), (at + 8, 4, int(r2[k]))]
            at += 24  # each record takes its BinaryEncoding's 24 bits
        for k in range(3):
            fields += [(at, 4, int(n1[k])), (at + 4, 4, int(n2[k]))]
            at += 12 if k < 2 else 8
        fields.append((at, 8, tail))
        records.append((placed((at + 8) // 8, *fields), count_raw, y, r1, r2, n1, n2, tail))
    for mode, mc in ((1, 2), (0, 2), (1, 3), (0, 0)):
        text = bytes(rng.integers(0x41, 0x5B, int(rng.integers(0, 5))).tolist())
        arr = [int(v) for v in rng.integers(0, 256, 3)]
        fields, at = [(0, 5, 4), (16, 8, mode), (24, 8, mc)], 32
        opt1 = opt2 = None
        if mode == 1:
            opt1 = int(rng.integers(0, 256))
            fields.append((at, 8, opt1))
            at += 8
        if 2 * mc == 4:
            opt2 = int(rng.integers(0, 256))
            fields.append((at, 8, opt2))
            at += 8
        blob = bytes(rng.integers(0, 256, 2 * mc).tolist())
        fields += [(at + 8 * k, 8, v) for k, v in enumerate([*arr, *blob, len(text)])]
        at += 32 + 8 * len(blob)
        fields += [(at + 8 * k, 8, c) for k, c in enumerate(text)] + [(at + 8 * len(text), 8, 0x77)]
        optional.append((placed(at // 8 + len(text) + 1, *fields), opt1, opt2, arr, text.decode(), blob))
    tables = decode(definition, [row[0] for row in records + optional])
    table = tables["Records"]
    assert table["COUNT_eng"].tolist() == [row[1] / 2 for row in records]  # calibrated, not rounded
    assert table["Y_eng"].tolist() == [row[2] * row[1] / 2 + row[1] for row in records]
    assert [r.tolist() for r in table["R1"]] == [row[3].tolist() for row in records]
    assert [r.tolist() for r in table["R2"]] == [row[4].tolist() for row in records]
    assert table["N1"].tolist() == [row[5].tolist() for row in records]
    assert table["N2"].tolist() == [row[6].tolist() for row in records]
    assert table["TAIL"].tolist() == [row[7] for row in records]
    table = tables["Optional"]
    assert _values(table["OPT1"]) == [row[1] for row in optional]
    assert _values(table["OPT2"]) == [row[2] for row in optional]
    assert table["ARR"].tolist() == [row[3] for row in optional]
    assert table["S"].tolist() == [row[4] for row in optional] and table["TAIL"].tolist() == [0x77] * 4
    assert table["BLOB"].tolist() == [row[5] for row in optional]


def _segment(apid: int, flags: int, count: int, data: bytes) -> bytes:
    """A CCSDS packet written from its header fields: a 2-byte secondary header (0x5A5A) and the data."""
    body = b"\x5a\x5a" + data
    return packet((3, 0), (1, 0), (1, 1), (11, apid), (2, flags), (14, count), (16, len(body) - 1)) + body


@pytest.mark.parametrize("drop", [2, 0])
def test_segmented_packets_join_per_apid_and_gaps_are_reported(tmp_path, drop):
    types = (
        '<IntegerParameterType name="U5"><IntegerDataEncoding sizeInBits="5"/></IntegerParameterType>'
        '<IntegerParameterType name="U2"><IntegerDataEncoding sizeInBits="2"/></IntegerParameterType>'
        '<IntegerParameterType name="U14"><IntegerDataEncoding sizeInBits="14"/></IntegerParameterType>'
        '<IntegerParameterType name="U11"><IntegerDataEncoding sizeInBits="11"/></IntegerParameterType>'
        '<IntegerParameterType name="U16"><IntegerDataEncoding sizeInBits="16"/></IntegerParameterType>'
        '<BinaryParameterType name="DATA_T"><BinaryDataEncoding><SizeInBits><DynamicValue>'
        '<ParameterInstanceRef parameterRef="LEN"/><LinearAdjustment slope="8" intercept="-8"/>'
        "</DynamicValue></SizeInBits></BinaryDataEncoding></BinaryParameterType>"
    )
    parameters = "".join(
        f'<Parameter name="{n}" parameterTypeRef="{t}"/>'
        for n, t in [
            ("VT", "U5"),
            ("APID", "U11"),
            ("FLAGS", "U2"),
            ("COUNT", "U14"),
            ("LEN", "U16"),
            ("SH", "U16"),
            ("DATA", "DATA_T"),
        ]
    )
    entries = "".join(
        f'<ParameterRefEntry parameterRef="{n}"/>' for n in ("VT", "APID", "FLAGS", "COUNT", "LEN", "SH", "DATA")
    )
    path = tmp_path / "segments.xml"
    containers = f'<SequenceContainer name="P"><EntryList>{entries}</EntryList></SequenceContainer>'
    path.write_text(_space_system(types, parameters, containers))
    definition = xtce.load(path, strict=True)
    stream = b"".join(
        [
            _segment(5, 1, 0, b"ab"),  # first
            _segment(7, 0, 9, b"??"),  # a continuation whose first is missing
            _segment(5, 0, 1, b"cd"),
            _segment(5, 2, 2, b"ef"),  # last: "ab" + "cd" + "ef"
            _segment(5, 3, 3, b"zz"),  # unsegmented
            _segment(5, 1, 4, b"gh"),
            _segment(5, 2, 6, b"ij"),  # a count missing: both left out
        ]
    )
    with pytest.warns(bitloom_io.DecodeWarning):
        tables = definition.decode(stream, segments="join", segment_header_bytes=drop)
    table = tables["P"]
    # Without the secondary headers dropped, theirs stay in the joined data.
    middle = b"" if drop else b"\x5a\x5a"
    assert table["DATA"].tolist() == [b"ab" + middle + b"cd" + middle + b"ef", b"zz"]
    assert table["FLAGS"].tolist() == [3, 3] and table["COUNT"].tolist() == [0, 3]
    notes = " ".join(tables.report.notes)
    assert "APID 5: 2 segments left out" in notes and "APID 7: 1 segment left out" in notes
    # The one pipeline joins them for every route.
    with pytest.warns(bitloom_io.DecodeWarning):
        again = bitloom_io.decode(stream, definition, segments="join", segment_header_bytes=drop)
    assert again["P"]["DATA"].tolist() == table["DATA"].tolist() and again.report == tables.report
    # Kept as they are by default: one row per segment.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert len(definition.decode(stream)["P"]) == 7


# One diagnostic record of the XTCE toolkit's example: (field, bit in the 104-bit record, width), 2- and 3-bit gaps as its locations say.
_RECORD = [("FLEETID", 66, 6), ("CONTINUATION_FLAG", 72, 1), ("LAST_REC_FLAG", 73, 1), ("ANT_BEAMID", 74, 6)]
_RECORD += [("REUSE_TYPE", 80, 1), ("RF_TIMESLOT", 81, 2), ("RX_MODEM_PORTID", 86, 5), ("TX_MODEM_PORTID", 94, 5)]


@pytest.mark.parametrize(("name", "format_id", "divisor"), [("FORMAT1", 0, 13), ("FORMAT2", 1, 9)])
def test_records_repeated_by_a_calibrated_count_in_a_published_file(name, format_id, divisor):
    """The count of fixed-size records is the length field overlaid and
    calibrated (x * 0.111111 - 4 for FORMAT2: just under a whole number)."""
    definition = xtce.load(SHARED / "xtcetools/Diagnostic_Log_Packets.xml", strict=True)
    rng = np.random.default_rng(divisor)
    rows = []
    for count in (0, 1, 3, 2):
        fields, values = [(0, 16, divisor * (count + 4)), (16, 8, 1), (24, 8, format_id)], {}
        for k in range(count):
            base = 32 + 104 * k
            fields.append((base, 64, int(rng.integers(0, 1 << 40))))
            for field, at, width in _RECORD:
                value = int(rng.integers(0, 1 << width))
                fields.append((base + at, width, value))
                values.setdefault(field, []).append(value)
        end = 32 + 104 * count
        extra = [int(rng.integers(0, 1 << 16)), int(rng.integers(0, 1 << 32))] if name == "FORMAT2" else []
        if extra:
            fields += [(end, 16, extra[0]), (end + 16, 32, extra[1])]
            end += 48
        rows.append((placed((end + 7) // 8, *fields), values, extra))
    table = decode(definition, [row[0] for row in rows])[name]
    for field, _, _ in _RECORD:
        assert [r.tolist() for r in table[field]] == [row[1].get(field, []) for row in rows], field
    if name == "FORMAT2":
        assert table["FMT2_EXTRA_DATA_32"].tolist() == [row[2][1] for row in rows]


REFUSALS = [
    # file, exception, element, name, line snippet, message fragment
    (
        "repeat_entry",
        xtce.XtceUnsupportedError,
        "DynamicValue",
        "Bad",
        "<RepeatEntry",
        "comes from 'NOPE', which is not an earlier field",
    ),
    (
        "include_condition",
        xtce.XtceUnsupportedError,
        "IncludeCondition",
        "Bad",
        "<IncludeCondition",
        "calibrated value of 'MODE', whose calibrator reads other parameters",
    ),
    (
        "location",
        xtce.XtceUnsupportedError,
        "LocationInContainerInBits",
        "Bad",
        "<LocationInContainerInBits",
        "relative to the next entry, whose own place is not fixed",
    ),
    (
        "array",
        xtce.XtceUnsupportedError,
        "EndingIndex",
        "ARR",
        "<ArrayParameterType",
        "array dimensions taken from the packet",
    ),
    (
        "discrete_lookup",
        xtce.XtceUnsupportedError,
        "DiscreteLookupList",
        "B",
        "<DiscreteLookupList",
        "DiscreteLookupList",
    ),
    (
        "command_container",
        xtce.XtceUnsupportedError,
        "ContainerRefEntry",
        "Bad",
        'containerRef="Cmd"',
        "command containers",
    ),
    (
        "termination_char",
        xtce.XtceUnsupportedError,
        "TerminationChar",
        "Bad",
        '<ParameterRefEntry parameterRef="X"',
        "ends where its TerminationChar is found, and is repeated",
    ),
    (
        "termination_after_dynamic",
        xtce.XtceUnsupportedError,
        "TerminationChar",
        "Bad",
        '<ParameterRefEntry parameterRef="S"',
        "starts after 'B', whose size each packet gives",
    ),
    (
        "milstd_float",
        xtce.XtceUnsupportedError,
        "FloatDataEncoding",
        "M",
        "<FloatDataEncoding",
        "MILSTD_1750A with 64 bits is not a MIL-STD-1750A format",
    ),
    ("float80", NotImplementedError, "Parameter", "X", '<Parameter name="X"', "IEEE754_1985 with 80 bits"),
    (
        "unknown_entry",
        xtce.XtceUnsupportedError,
        "IndirectParameterRefEntry",
        "Bad",
        "<IndirectParameterRefEntry",
        "not supported",
    ),
    (
        "late_criterion",
        xtce.XtceUnsupportedError,
        "RestrictionCriteria",
        "Later",
        'parameterRef="X" value="1"',
        "not a field read before",
    ),
    (
        "dynamic_forward",
        xtce.XtceUnsupportedError,
        "DynamicValue",
        "Bad",
        '<ParameterRefEntry parameterRef="BLOB"',
        "not an earlier field",
    ),
    (
        "math_calibrator",
        xtce.XtceUnsupportedError,
        "ParameterInstanceRefOperand",
        "Bad",
        '<ParameterRefEntry parameterRef="X"',
        "reads 'LATER', which is not a field of the packet before it",
    ),
    (
        "odd_binary",
        xtce.XtceUnsupportedError,
        "BinaryDataEncoding",
        "B",
        "<BinaryDataEncoding",
        "not a whole number of bytes",
    ),
    (
        "engineering_name",
        xtce.XtceError,
        "SequenceContainer",
        "Bad",
        '<ParameterRefEntry parameterRef="X"/>',
        "needs an engineering column named 'X_eng', which is already a parameter",
    ),
]


@pytest.mark.parametrize(
    ("stem", "kind", "element", "name", "snippet", "fragment"), REFUSALS, ids=[r[0] for r in REFUSALS]
)
def test_refusals_name_the_element_the_definition_and_the_line(stem, kind, element, name, snippet, fragment):
    path = DATA / f"refuse_{stem}.xml"
    # Without strict, only the containers that use the construct are left out, with a note.
    definition = xtce.load(path)
    assert definition.refused and not set(definition.refused) & set(definition.concrete())
    for refused in definition.refused.values():
        assert isinstance(refused, xtce.XtceError) and str(refused).startswith(f"{path}:")
    assert any(fragment in note and "left out" in note for note in definition.notes)
    with pytest.raises(kind) as caught:
        xtce.load(path, strict=True)
    error = caught.value
    assert isinstance(error, xtce.XtceError)
    assert (error.element, error.name, error.line) == (element, name, line_of(path, snippet))
    message = str(error)
    assert message.startswith(f"{path}:{error.line}: {element} {name!r}: ")
    assert fragment in message
    # Errors cross process boundaries (Dask workers) whole.
    again = pickle.loads(pickle.dumps(error))
    assert type(again) is type(error) and str(again) == message and again.line == error.line


def test_unknown_descriptive_elements_are_noted_not_silent(tmp_path):
    text = (DATA / "namespace_none.xml").read_text()
    path = tmp_path / "extra.xml"
    path.write_text(
        text.replace(
            '<Parameter name="V" parameterTypeRef="V_T"/>',
            '<Parameter name="V" parameterTypeRef="V_T"><Frobnicate/></Parameter>',
        )
    )
    definition = xtce.load(path)
    assert any("Frobnicate in Parameter 'V' not read" in note for note in definition.notes)


@pytest.mark.parametrize(
    ("change", "fragment"),
    [
        (
            (
                'encoding="unsigned"/></IntegerParameterType><IntegerParameterType name="LEN_T">',
                'encoding="zigzag"/></IntegerParameterType><IntegerParameterType name="LEN_T">',
            ),
            "integer encoding 'zigzag'",
        ),
        (
            ('<Parameter name="V" parameterTypeRef="V_T"/>', '<Parameter name="V" parameterTypeRef="NOPE"/>'),
            "names no parameter type",
        ),
        (('<ParameterRefEntry parameterRef="V"/>', '<ParameterRefEntry parameterRef="W"/>'), "names no parameter"),
        (('</SpaceSystem>', '</SpaceSystem'), "not well-formed XML"),
        (
            (
                '<IntegerParameterType name="V_T"><IntegerDataEncoding sizeInBits="8" encoding="unsigned"/></IntegerParameterType>',
                '<EnumeratedParameterType name="V_T"><BinaryDataEncoding><SizeInBits><FixedValue>8</FixedValue></SizeInBits></BinaryDataEncoding></EnumeratedParameterType>',
            ),
            "enumerated types over a binary encoding",
        ),
        (
            (
                '<Parameter name="V" parameterTypeRef="V_T"/>',
                '<Parameter name="V" parameterTypeRef="V_T"/><Parameter name="V" parameterTypeRef="V_T"/>',
            ),
            "defined twice",
        ),
    ],
    ids=["encoding", "type-ref", "entry-ref", "xml", "enum-over-binary", "duplicate"],
)
def test_broken_definitions_fail_with_the_line(tmp_path, change, fragment):
    text = (DATA / "namespace_none.xml").read_text()
    assert change[0] in text
    path = tmp_path / "broken.xml"
    path.write_text(text.replace(change[0], change[1], 1))
    with pytest.raises(xtce.XtceError, match=fragment) as caught:
        xtce.load(path, strict=True)
    assert caught.value.line is not None and caught.value.line > 0


# ---------------------------------------------------------------------------
# Hostile XML.


@pytest.mark.parametrize(
    ("name", "fragment"),
    [
        ("hostile_billion_laughs.xml", "entity declaration 'lol' refused"),
        ("hostile_external_entity.xml", "entity declaration 'secret' refused"),
    ],
)
def test_entities_are_refused_before_anything_expands(name, fragment):
    with pytest.raises(xtce.XtceError, match=fragment) as caught:
        xtce.load(DATA / name)
    assert caught.value.element == "!ENTITY"


def test_external_reference_without_declaration_is_refused(tmp_path):
    path = tmp_path / "dtd.xml"
    path.write_text(
        '<?xml version="1.0"?>\n<!DOCTYPE SpaceSystem SYSTEM "http://127.0.0.1:9/xtce.dtd">\n<SpaceSystem name="x">&ext;</SpaceSystem>\n'
    )
    with pytest.raises(xtce.XtceError):
        xtce.load(path)


# ---------------------------------------------------------------------------
# The native XML reader against expat: same tree, units and skipped sections,
# or no answer at all (and then expat reads the document).


def _read_both(source: bytes | Path):
    from bitloom_io.xtce import _xml

    def run(reader):
        events: list = []
        try:
            root = reader(
                io.BytesIO(source) if isinstance(source, bytes) else source,
                lambda parent, node: events.append(("unit", parent, _tree(node))),
                lambda element, line: events.append(("skipped", element, line)),
                lambda element, name, line: events.append(("definition", element, name, line)),
            )
        except Exception as error:  # noqa: BLE001 - whatever one raises, the other must too
            return ("error", type(error).__name__, str(error))
        return (_tree(root), events)

    return run(_xml.read), run(_xml.read_expat)


def _tree(node):
    return (node.tag, list(node.attrib.items()), node.text, node.line, [_tree(c) for c in node.children])


def _native_takes(data: bytes) -> bool:
    from bitloom_io._native import read_xml
    from bitloom_io.xtce import _xml

    sets = (_xml.UNIT_PARENTS, _xml.SKIPPED_SECTIONS, _xml.TEXT_ELEMENTS, _xml.SKIPPED_DEFINITIONS)
    return read_xml(data, *sets, lambda *a: None, lambda *a: None, lambda *a: None) is not None


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("name", ["namespace_none.xml", "hostile_billion_laughs.xml"])
def test_load_leaves_the_garbage_collector_as_it_was(enabled, name):
    import gc

    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            xtce.load(DATA / name)
        except xtce.XtceError:
            pass
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


_XML_FILES = sorted({*DATA.rglob("*.xml"), *REAL.rglob("*.xml")})


@pytest.mark.parametrize("path", _XML_FILES, ids=lambda p: p.name)
def test_native_xml_reader_builds_the_tree_expat_builds(path):
    native, expat = _read_both(path)
    assert native == expat
    if not path.name.startswith("hostile"):
        assert _native_takes(path.read_bytes())


_SMALL = (
    '<?xml version="1.0" encoding="UTF-8"?>\n<!-- a comment -->\n<xtce:SpaceSystem xmlns:xtce="http://www.omg.org/space/xtce" '
    'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" name="S">\n <xtce:TelemetryMetaData>\n  <xtce:ParameterTypeSet>'
    '<xtce:IntegerParameterType name="T" xsi:type="x"><xtce:UnitSet><xtce:Unit>m&amp;s<![CDATA[ <raw> ]]>&#233;</xtce:Unit>'
    "</xtce:UnitSet><xtce:IntegerDataEncoding sizeInBits='8'/></xtce:IntegerParameterType></xtce:ParameterTypeSet>\n"
    '  <xtce:ParameterSet><xtce:Parameter name="P" parameterTypeRef="T"><xtce:LongDescription>one <b>two</b> three'
    "</xtce:LongDescription></xtce:Parameter></xtce:ParameterSet><?pi data?>\n"
    '  <xtce:ContainerSet><xtce:SequenceContainer name="C"><xtce:EntryList><xtce:ParameterRefEntry parameterRef="P"/>'
    "</xtce:EntryList></xtce:SequenceContainer></xtce:ContainerSet>\n </xtce:TelemetryMetaData>\n"
    ' <xtce:CommandMetaData><xtce:MetaCommandSet><xtce:MetaCommand name="M"/></xtce:MetaCommandSet></xtce:CommandMetaData>\n'
    "</xtce:SpaceSystem>\n"
)


@pytest.mark.parametrize(
    ("before", "after", "native"),
    [
        ("", "", True),
        ("\n", "\r\n", True),  # Windows line ends: the same lines
        ("\n", "\r", True),  # old Mac line ends
        ('name="P"', 'name="a\tb\r\nc&#10;d&lt;"', True),  # attribute white space and references
        ("m&amp;s", "m&#x1F600;&quot;&apos;&gt;", True),
        (
            '<?xml version="1.0" encoding="UTF-8"?>',
            '\ufeff<?xml version="1.0" encoding="utf-8" standalone="yes"?>',
            True,
        ),
        ('<?xml version="1.0" encoding="UTF-8"?>', "", True),
        ('sizeInBits=\'8\'', 'sizeInBits = "8" ', True),
        ('<?xml version="1.0" encoding="UTF-8"?>', '<?xml version="1.1"?>', False),
        ('<?xml version="1.0" encoding="UTF-8"?>', '<?xml version="1.0" encoding="ISO-8859-1"?>', False),
        ("<!-- a comment -->", '<!DOCTYPE SpaceSystem [<!ELEMENT a ANY>]>', False),
        ("m&amp;s", "m&nbsp;s", False),  # undefined entity: expat's message
        ("m&amp;s", "m&#0;s", False),
        ("m&amp;s", "m]]>s", False),
        ("<!-- a comment -->", "<!-- a -- comment -->", False),
        ("</xtce:Unit>", "</xtce:unit>", False),
        ('xsi:type="x"', 'nope:type="x"', False),  # unbound prefix
        ('xsi:type="x"', 'name="x"', False),  # duplicate attribute
        ('name="T" ', 'name="T"x="1" ', False),
        ("one <b>two</b>", "one <é>two</é>", False),  # a name outside ASCII: left to expat
        ("</xtce:SpaceSystem>\n", "</xtce:SpaceSystem>\ntail", False),
        ("</xtce:SpaceSystem>\n", "", False),
        ("<?pi data?>", "<?xml data?>", False),
    ],
    ids=[
        "as-is",
        "crlf",
        "cr",
        "attribute-values",
        "references",
        "bom-declaration",
        "no-declaration",
        "spaced-eq",
        "xml-1.1",
        "latin-1",
        "doctype",
        "undefined-entity",
        "char-zero",
        "cdata-end-in-text",
        "double-dash",
        "mismatched-end",
        "unbound-prefix",
        "duplicate-attribute",
        "attributes-unspaced",
        "non-ascii-name",
        "junk-after-root",
        "unclosed",
        "xml-pi",
    ],
)
def test_native_xml_reader_matches_expat_or_declines(before, after, native):
    assert before in _SMALL
    data = _SMALL.replace(before, after).encode()
    assert _native_takes(data) is native
    first, second = _read_both(data)
    assert first == second


def test_native_elements_answer_as_nodes_do():
    from bitloom_io.xtce import _xml

    def collect(reader):
        roots = []
        units = []
        roots.append(reader(io.BytesIO(_SMALL.encode()), lambda parent, node: units.append(node), lambda *a: None))
        return roots + units

    def walk(node):
        yield node
        for child in node.children:
            yield from walk(child)

    def answers(node):
        names = [*node.attrib, "nope"]
        tags = [*{c.tag for c in node.children}, "Nope"]
        return (
            [node.get(n) for n in names],
            [node.get(n, "default") for n in names],
            [(node.find(t) or node).line for t in tags],
            [[c.line for c in node.findall(t)] for t in tags],
            repr(node),
        )

    native = [answers(n) for top in collect(_xml.read) for n in walk(top)]
    expat = [answers(n) for top in collect(_xml.read_expat) for n in walk(top)]
    assert native == expat and len(native) > 10
    element = next(n for top in collect(_xml.read) for n in walk(top) if n.tag == "ParameterRefEntry")
    assert type(element).__name__ == "Element" and element.children == () and element.get("parameterRef") == "P"
    element.attrib["parameterRef"] = "U"  # the dict it gives is the element's own
    element.children = [element]
    assert element.get("parameterRef") == "U" and element.find(element.tag) is element


@settings(max_examples=300, deadline=None)
@given(
    st.lists(
        st.tuples(
            st.integers(0, 2000),
            st.integers(0, 3),
            st.sampled_from(list("<>/&;=\"' \r\n!?-:x#[]") + ["\u00e9", "&lt;", "]]>", "<!--", "-->", "\x00"]),
        ),
        max_size=4,
    )
)
def test_native_xml_reader_matches_expat_on_damaged_documents(edits):
    text = _SMALL
    for at, cut, insert in edits:
        at %= len(text) + 1
        text = text[:at] + insert + text[at + cut :]
    first, second = _read_both(text.encode())
    assert first == second


_U8 = '<IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="8"/></IntegerParameterType>'
_CONDITION = '<Condition><ParameterInstanceRef parameterRef="A"/><ComparisonOperator>==</ComparisonOperator><Value>1</Value></Condition>'


def _space_system(types: str, parameters: str, containers: str, *, around: tuple[str, str] = ("", "")) -> str:
    return (
        '<?xml version="1.0"?>\n<SpaceSystem name="r">'
        + around[0]
        + f"<TelemetryMetaData><ParameterTypeSet>{_U8}{types}</ParameterTypeSet><ParameterSet>{parameters}</ParameterSet>"
        + f"<ContainerSet>{containers}</ContainerSet></TelemetryMetaData>"
        + around[1]
        + "</SpaceSystem>"
    )


def _deep_spaces(depth: int) -> str:
    entry = (
        '<SequenceContainer name="C"><EntryList><ParameterRefEntry parameterRef="A"/></EntryList></SequenceContainer>'
    )
    return _space_system(
        "",
        '<Parameter name="A" parameterTypeRef="U8"/>',
        entry,
        around=('<SpaceSystem name="s">' * depth, "</SpaceSystem>" * depth),
    )


def _deep_conditions(depth: int) -> str:
    condition = _CONDITION
    for _ in range(depth):
        condition = (
            f"<ORedConditions><ANDedConditions>{condition}{_CONDITION}</ANDedConditions>{_CONDITION}</ORedConditions>"
        )
    containers = (
        '<SequenceContainer name="C" abstract="true"><EntryList><ParameterRefEntry parameterRef="A"/></EntryList></SequenceContainer>'
        '<SequenceContainer name="D"><EntryList><ParameterRefEntry parameterRef="A"/></EntryList><BaseContainer containerRef="C">'
        f"<RestrictionCriteria><BooleanExpression>{condition}</BooleanExpression></RestrictionCriteria></BaseContainer></SequenceContainer>"
    )
    return _space_system("", '<Parameter name="A" parameterTypeRef="U8"/>', containers)


def _deep_inheritance(depth: int) -> str:
    # Each type and each container names the one defined after it as its base.
    types = (
        "".join(f'<IntegerParameterType name="T{k}" baseType="T{k + 1}"/>' for k in range(depth))
        + f'<IntegerParameterType name="T{depth}" baseType="U8"/>'
    )
    containers = (
        "".join(
            f'<SequenceContainer name="C{k}"><EntryList><ParameterRefEntry parameterRef="A"/></EntryList><BaseContainer containerRef="C{k + 1}"/></SequenceContainer>'
            for k in range(depth)
        )
        + f'<SequenceContainer name="C{depth}"><EntryList><ParameterRefEntry parameterRef="A"/></EntryList></SequenceContainer>'
    )
    return _space_system(types, '<Parameter name="A" parameterTypeRef="T0"/>', containers)


@pytest.mark.parametrize(
    ("make", "depth", "refused"),
    [
        (_deep_spaces, 20_000, set()),
        (_deep_conditions, 1_500, {"D"}),
        (_deep_inheritance, 3_000, {f"C{k}" for k in range(2_800)}),
    ],
    ids=["space-systems", "conditions", "inheritance"],
)
def test_deep_nesting_is_read_or_refused_by_line_never_a_recursion_error(tmp_path, make, depth, refused):
    path = tmp_path / "deep.xml"
    path.write_text(make(depth))
    definition = xtce.load(path)
    assert set(definition.refused) == refused
    for error in definition.refused.values():
        assert str(error).startswith(f"{path}:") and error.line
        assert "deep" in str(error) or "base container" in str(error)
    if refused:
        with pytest.raises(xtce.XtceUnsupportedError, match="deep"):
            xtce.load(path, strict=True)
    if make is _deep_inheritance:
        assert definition.parameter_types["T0"].encoding.bits == 8
    definition.tree()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", xtce.XtceWarning)
        decode(definition, [bytes(400)], root=definition.root)


def test_colliding_column_names_are_made_unique(tmp_path):
    path = tmp_path / "names.xml"
    entries = "".join(f'<ParameterRefEntry parameterRef="{name}"/>' for name in ("X", "X", "X#2", "X"))
    path.write_text(
        _space_system(
            "",
            '<Parameter name="X" parameterTypeRef="U8"/><Parameter name="X#2" parameterTypeRef="U8"/>',
            f'<SequenceContainer name="C"><EntryList>{entries}</EntryList></SequenceContainer>',
        )
    )
    table = decode(xtce.load(path), [bytes([1, 2, 3, 4])])["C"]
    assert {name: table[name].tolist() for name in table.columns} == {"X": [1], "X#2": [2], "X#2#2": [3], "X#3": [4]}


def test_ten_times_ctim_loads_in_bounded_memory(tmp_path):
    """The model, not the XML tree, is what stays in memory."""
    source = (REAL / "ctim" / "ctim_xtce_v1.xml").read_text()
    # Ten copies of the whole definition as nested space systems, names made unique.
    start = source.index("<xtce:TelemetryMetaData>")
    end = source.index("</xtce:SpaceSystem>")
    body = source[start:end]
    copies = "".join(
        f'<xtce:SpaceSystem name="copy{k}">'
        + re.sub(r'(name|parameterRef|parameterTypeRef|containerRef)="', rf'\1="C{k}_', body)
        + "</xtce:SpaceSystem>\n"
        for k in range(10)
    )
    big = source[:start] + copies + source[end:]
    path = tmp_path / "big.xml"
    path.write_text(big)
    assert path.stat().st_size > 10 * (REAL / "ctim" / "ctim_xtce_v1.xml").stat().st_size * 0.9
    script = textwrap.dedent(
        f"""
        import tracemalloc
        from bitloom_io import xtce
        tracemalloc.start()
        definition = xtce.load({str(path)!r})
        print(len(definition.parameters), tracemalloc.get_traced_memory()[1])
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True, env={**os.environ}, cwd=tmp_path
    )
    count, grown = map(int, out.stdout.split())
    assert count == 10 * 9493
    # Peak Python memory follows the model (parameters, entries), about 3.5
    # times the file here; an element tree of the file alone takes 6 times.
    assert grown < 4.5 * path.stat().st_size, grown


def test_a_packet_too_short_raises_or_is_left_out():
    definition = xtce.load(DATA / "inheritance.xml")
    whole = packet((5, 5), (11, 3), (8, 2), (8, 0), (8, 42))
    short = whole[:-1]  # housekeeping without its C field
    with pytest.raises(ValueError) as caught:
        decode(definition, [whole, short])
    assert any("'Housekeeping'" in note and "[0, 1]" in note for note in caught.value.__notes__)
    with pytest.warns(xtce.XtceWarning, match="1 packets too short for container 'Housekeeping'"):
        tables = decode(definition, [whole, short, whole], errors="skip")
    assert tables.packet_index["Housekeeping"].tolist() == [0, 2]
    assert tables["Housekeeping"]["C"].tolist() == [42, 42]
    assert {name: idx.tolist() for name, idx in tables.failed.items()} == {"Housekeeping": [1]}


def test_apid_routes_decode_like_the_definition():
    data = REAL / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
    definition = xtce.load(REAL / "jpss" / "jpss1_geolocation_xtce_v1.xml")
    routes = definition.apid_layouts()
    assert list(routes) == [11]
    # VERSION == 0 and TYPE == 0 still hold: a route tests them before the layout.
    assert isinstance(routes[11], bitloom_io.Select)
    (table,) = bitloom_io.decode(data, routes).values()
    expected = definition.decode(data)["JPSS_ATT_EPHEM"]
    assert table.name == "JPSS_ATT_EPHEM" and len(table) == 7200
    for entry in definition.fields("JPSS_ATT_EPHEM"):
        np.testing.assert_array_equal(table[entry.name], expected[entry.name])
    ctim = xtce.load(REAL / "ctim" / "ctim_xtce_v1.xml").apid_layouts()
    assert len(ctim) == 38 and all(isinstance(layout, bitloom_io.Layout) for layout in ctim.values())
    assert load_layouts_xml(REAL / "ctim" / "ctim_xtce_v1.xml").keys() == ctim.keys()


def load_layouts_xml(path):
    return bitloom_io.load_layouts(path)


def test_apid_routes_refuse_restrictions_they_cannot_express():
    definition = xtce.load(DATA / "inheritance.xml")  # LEN >= 3, an 'or' and a label
    with pytest.raises(xtce.XtceError, match="not an equality on its raw value") as caught:
        definition.apid_layouts()
    assert caught.value.name == "Typed"


def test_time_types_calibrated_restrictions_dynamic_strings_and_descriptions():
    definition = xtce.load(DATA / "bends.xml")
    tables = decode(definition, BENDS_PACKETS)
    assert {name: idx.tolist() for name, idx in tables.packet_index.items()} == {"Timed": [0], "Doubled": [1, 2]}
    doubled = tables["Doubled"]
    assert doubled["TIME"].tolist() == [1234567, 1234567] and doubled["DUR"].tolist() == [2.5, 2.5]
    # Times: the raw encoding, and seconds from the epoch (TAI: 1958-01-01) as datetime64 / timedelta64.
    assert doubled["TIME_eng"].dtype == np.dtype("datetime64[ns]")
    # TAI seconds; in UTC of 1958 (before 1972: its offset of 10 s).
    assert (doubled["TIME_eng"] == np.datetime64("1958-01-01") + np.timedelta64(1234567 - 10, "s")).all()
    assert doubled["DUR_eng"].dtype == np.dtype("timedelta64[ns]") and doubled["DUR_eng"][0] == np.timedelta64(
        2500, "ms"
    )
    assert doubled["CAL_eng"].tolist() == [10.0, 400.0]
    assert doubled["NAME"].tolist() == ["", "hello"] and doubled["EXTRA"].tolist() == [9, 1]
    time = definition.parameters["TIME"]
    assert time.aliases == {"mission": "SC_TIME"} and time.ancillary == {"source": "clock"}
    assert time.short_description == "Seconds since the epoch"
    assert definition.parameter_types["CAL_T"].units == ["V"]


# (Epoch, Encoding's scale and offset, raw 32 bits, the layout item read from
# the same bits, or the UTC time expected): XTCE times read as the time codes do.
TAI_2016_LEAP = (np.datetime64("2016-12-31T23:59:59") - np.datetime64("1958-01-01")).astype(int) + 37
XTCE_TIMES = [
    ("TAI", None, None, 1234567, {"coarse": 4, "epoch": "tai"}),
    ("TAI", None, None, int(TAI_2016_LEAP), {"coarse": 4, "epoch": "tai"}),
    ("TAI", None, None, int(TAI_2016_LEAP) + 1, {"coarse": 4, "epoch": "tai"}),
    ("J2000", None, None, 700_000_000, {"coarse": 4, "epoch": "j2000"}),
    ("GPS", None, None, 1_400_000_000, {"coarse": 4, "epoch": "gps"}),
    ("UNIX", None, None, 1_700_000_000, {"coarse": 4, "epoch": "unix"}),
    ("POSIX", None, None, 1_483_228_800, {"coarse": 4, "epoch": "unix"}),
    ("2020-01-01T00:00:00", None, None, 90_000_000, {"coarse": 4, "epoch": "2020-01-01T00:00:00"}),
    ("2020-01-01T00:00:00Z", None, None, 90_000_000, {"coarse": 4, "epoch": "2020-01-01T00:00:00Z"}),
    # Binary fractions of a second: a CUC of 2+2 or 3+1 octets, floored to the nanosecond.
    ("TAI", "0.0000152587890625", None, 0xFFFF_FFFF, {"coarse": 2, "fine": 2, "epoch": "tai"}),
    ("J2000", "0.00390625", None, 0x0102_0381, {"coarse": 3, "fine": 1, "epoch": "j2000"}),
    # Other scales and offsets: through float64, to the nearest nanosecond.
    ("UNIX", "0.001", "5", 123_456_789, "1970-01-02T10:17:41.789"),
    ("UNIX", "1e-7", None, 3, "1970-01-01T00:00:00.0000003"),
]


@pytest.mark.parametrize("binary", [False, True], ids=["integer", "binary"])
@pytest.mark.parametrize("epoch, scale, offset, raw, expected", XTCE_TIMES)
def test_xtce_absolute_times_read_as_the_time_codes(tmp_path, epoch, scale, offset, raw, expected, binary):
    text = (DATA / "bends.xml").read_text()
    if binary:
        # The same 32 bits as a binary encoding: a CUC's octets in one field.
        text = text.replace(
            '<xtce:IntegerDataEncoding sizeInBits="32" encoding="unsigned"/></xtce:Encoding>',
            "<xtce:BinaryDataEncoding><xtce:SizeInBits><xtce:FixedValue>32</xtce:FixedValue></xtce:SizeInBits>"
            "</xtce:BinaryDataEncoding></xtce:Encoding>",
            1,
        )
    attributes = "".join(f' {k}="{v}"' for k, v in (("scale", scale), ("offset", offset)) if v is not None)
    text = text.replace(
        '<xtce:Encoding units="seconds"><xtce:', f'<xtce:Encoding units="seconds"{attributes}><xtce:', 1
    )
    text = text.replace("<xtce:Epoch>TAI</xtce:Epoch>", f"<xtce:Epoch>{epoch}</xtce:Epoch>", 1)
    path = tmp_path / "times.xml"
    path.write_text(text)
    packets = [p[:2] + raw.to_bytes(4, "big") + p[6:] for p in BENDS_PACKETS]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", bitloom_io.LeapSecondWarning)
        tables = decode(xtce.load(path), packets)
        want_leap = None
        if isinstance(expected, dict):
            layout = bitloom_io.Layout([{"name": "t", "encoding": "cuc", **expected}])
            read = layout.unpack_many(raw.to_bytes(4, "big"), stride=4)
            want, want_leap = read["t"][0], read.get("t_leap")
        else:
            want = np.datetime64(expected, "ns")
    for table in tables.values():
        column = table["TIME_eng"]
        assert column.dtype == np.dtype("M8[ns]") and (column == want).all(), (column, want)
        assert table.meta["TIME_eng"]["scale"] == "utc" and "TIME_T" in table.meta["TIME_eng"]["time_code"]
        # A time in a leap second is flagged beside it, as the time-code item flags it.
        if want_leap is None:
            assert "TIME_eng_leap" not in table.columns
        else:
            assert table["TIME_eng_leap"].tolist() == [bool(want_leap[0])] * len(table)
    if raw == TAI_2016_LEAP and epoch == "TAI":  # 2016-12-31T23:59:60
        assert all(t["TIME_eng_leap"].all() for t in tables.values())


def _bends_packet(cal: int, name: bytes, extra: int | None = None) -> bytes:
    body = bitloom.encode_ieee754_f32(2.5).to_bytes(4, "big")
    body = (1234567).to_bytes(4, "big") + body + bytes([cal, len(name)]) + name
    if extra is not None:
        body += bytes([extra])
    return packet((5, 1), (11, len(body))) + body


BENDS_PACKETS = [_bends_packet(3, b"abc"), _bends_packet(5, b"", 9), _bends_packet(200, b"hello", 1)]


def _inheritance_packets() -> list[bytes]:
    head = lambda ident, length: [(5, ident), (11, length)]  # noqa: E731
    return [
        packet(*head(5, 4), (8, 1), (8, 7), (8, 0xEE), (8, 11), (8, 21)),
        packet(*head(5, 3), (8, 1), (8, 8), (8, 0xEE), (8, 8)),
        packet(*head(5, 3), (8, 1), (8, 200), (8, 0xEE), (8, 3), (8, 23)),
        packet(*head(5, 3), (8, 2), (8, 0), (8, 42)),
    ]


def _text_packets() -> list[bytes]:
    out = []
    for blob, trailer in [(b"", 7), (b"xyz12", 9)]:
        body = b"ABCD" + "hi".encode("utf-16-be") + "é!".encode("latin-1") + b"\x01\x02\x03" + blob + bytes([trailer])
        out.append(packet((5, 3), (11, len(body))) + body)
    return out


@pytest.mark.parametrize(
    ("name", "packets"),
    [("bends.xml", BENDS_PACKETS), ("inheritance.xml", _inheritance_packets()), ("text_binary.xml", _text_packets())],
)
def test_hand_made_files_equal_the_reference_reader(name, packets):
    spp = pytest.importorskip("space_packet_parser")
    definition = xtce.load(DATA / name)
    reference = spp.load_xtce(DATA / name)
    tables = decode(definition, packets)
    seen = 0
    for type_name, table in tables.items():
        for row, number in enumerate(tables.packet_index[type_name].tolist()):
            expected = reference.parse_bytes(packets[number], root_container_name=definition.root)
            assert list(expected) == [entry.name for entry in definition.fields(type_name)]
            for column, value in expected.items():
                raw = value.raw_value
                ours = table[column][row]
                assert ours == (str(value) if isinstance(raw, bytes) and isinstance(ours, str) else raw), (column, row)
                # The reference gives times as numbers; they are datetime64 / timedelta64 here.
                if (
                    column + xtce.ENGINEERING_SUFFIX in table.columns
                    and "time" not in definition.parameters[column].type.kind
                ):
                    assert table[column + xtce.ENGINEERING_SUFFIX][row] == value
            seen += 1
    assert seen == len(packets)


def test_unknown_sections_are_noted(tmp_path):
    text = (DATA / "namespace_none.xml").read_text()
    path = tmp_path / "extra.xml"
    path.write_text(
        text.replace("<TelemetryMetaData>", "<TelemetryMetaData><MessageSet/><Gadgets><Gadget/></Gadgets>", 1)
    )
    notes = xtce.load(path).notes
    assert any("MessageSet not read" in note for note in notes)
    assert any("Gadgets in TelemetryMetaData not read" in note for note in notes)


@pytest.mark.parametrize("name", ["inheritance.xml", "calibration.xml", "text_binary.xml", "bends.xml"])
def test_damaged_definitions_fail_only_with_xtce_errors(name):
    """Attributes dropped or garbled, elements removed: loading either works
    or raises XtceError, never an unrelated exception."""
    import random

    text = (DATA / name).read_text()
    attributes = list(re.finditer(r' ([A-Za-z]+)="([^"]*)"', text))
    elements = list(re.finditer(r"<(?:xtce:)?[A-Z][A-Za-z]*[^<>]*/>", text))
    rng = random.Random(name)
    for _ in range(150):
        choice = rng.random()
        if choice < 0.4:
            m = rng.choice(attributes)
            damaged = text[: m.start()] + text[m.end() :]
        elif choice < 0.8:
            m = rng.choice(attributes)
            junk = rng.choice(["", "-1", "x", "1e400", "0x", "999999999999", "/", "&amp;"])
            damaged = text[: m.start(2)] + junk + text[m.end(2) :]
        else:
            m = rng.choice(elements)
            damaged = text[: m.start()] + text[m.end() :]
        try:
            definition = xtce.load(io.BytesIO(damaged.encode()))
        except xtce.XtceError:
            continue
        for container in definition.concrete():
            definition.recipe(container)
