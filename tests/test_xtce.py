"""XTCE definitions: each construct on a small hand-made file, each refusal,
hostile XML, and the layouts the definitions turn into."""

from __future__ import annotations

import io
import os
import pickle
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

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
        (5, 1), (11, 24),
        (3, 0b101),
        (5, 0b11101),  # -3, "signed" spelling
        (12, 4096 - 1000),
        (8, 0xFA),  # ones' complement -5
        (8, 0x85),  # sign-magnitude -5
        (16, bitloom.encode_unpacked_bcd(42, 16)),
        (16, 0x1234),  # packed BCD 1234
        (16, 0x3412),  # least significant byte first
        (32, 0x44332211),  # ByteOrderList 3,2,1,0
        (8, 0x80),  # least significant bit first: 1
        (64, 2**64 - 1),
    )
    table = decode(definition, [raw])["Integers"]
    got = {name: table[name][0].item() for name in table.columns}
    assert got == {
        "ID": 1, "LEN": 24, "U3": 5, "S5": -3, "T12": -1000, "O8": -5, "M8": -5, "BCD": 42, "PBCD": 1234,
        "LE": 0x1234, "LIST": 0x11223344, "LSB": 1, "BIG": 2**64 - 1,
    }
    starts = [entry.start for entry in definition.fields("Integers")]
    assert starts == [0, 5, 16, 19, 24, 36, 44, 52, 68, 84, 100, 132, 140]


def test_float_encodings_and_a_float_type_over_an_integer_encoding():
    definition = xtce.load(DATA / "floats.xml")
    raw = packet(
        (5, 2), (11, 0),
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
    np.testing.assert_allclose(table["POLY_eng"], [-1.5 + 5 + 1, -1.5 + 1.5 + 0.09, -1.5 + 1.5 + 0.09, -1.5 + 1.5 + 0.09])
    np.testing.assert_array_equal(table["STEP_eng"], [10.0, 20.0, 30.0, np.nan])  # order 0: the point at or below
    np.testing.assert_allclose(table["LINE_eng"], [50.0, 110.0, 140.0, -100.0])  # order 1, extrapolated
    np.testing.assert_array_equal(table["BOUNDED_eng"], [50.0, 100.0, 0.0, np.nan])
    assert "ALARMED_eng" not in table.columns  # context calibrators and alarms are read and ignored
    assert table["MODE"].tolist() == [1, 3, 0, 9]
    assert table["MODE_eng"].tolist() == ["ON", "BUSY", "OFF", ""]
    assert table["FLAG_eng"].tolist() == [False, True, True, True]
    assert any("ContextCalibratorList" in note for note in definition.notes)


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
        {"name": "LEN", "encoding": "unsigned", "bits": 11, "byte_order": "big", "reverse_bits": False, "offset_bits": 5},
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
    assert [f.name for f in layout.fields][:8] == ["VERSION", "TYPE", "SEC_HDR_FLG", "PKT_APID", "SEQ_FLGS", "SRC_SEQ_CTR", "PKT_LEN", "DOY"]
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

REFUSALS = [
    # file, exception, element, name, line snippet, message fragment
    ("repeat_entry", xtce.XtceUnsupportedError, "RepeatEntry", "Bad", "<RepeatEntry", "repeat entries"),
    ("include_condition", xtce.XtceUnsupportedError, "IncludeCondition", "Bad", "<IncludeCondition", "include conditions"),
    ("location", xtce.XtceUnsupportedError, "LocationInContainerInBits", "Bad", "<LocationInContainerInBits", "move a field"),
    ("aggregate", xtce.XtceUnsupportedError, "AggregateParameterType", "AGG", "<AggregateParameterType", "aggregate types"),
    ("array", xtce.XtceUnsupportedError, "ArrayParameterType", "ARR", "<ArrayParameterType", "array types"),
    ("discrete_lookup", xtce.XtceUnsupportedError, "DiscreteLookupList", "B", "<DiscreteLookupList", "DiscreteLookupList"),
    ("command_container", xtce.XtceUnsupportedError, "ContainerRefEntry", "Bad", 'containerRef="Cmd"', "command containers"),
    ("termination_char", xtce.XtceUnsupportedError, "TerminationChar", "S", "<TerminationChar", "TerminationChar"),
    ("milstd_float", NotImplementedError, "Parameter", "X", '<Parameter name="X"', "MILSTD_1750A"),
    ("float80", NotImplementedError, "Parameter", "X", '<Parameter name="X"', "IEEE754_1985 with 80 bits"),
    ("unknown_entry", xtce.XtceUnsupportedError, "ArrayParameterRefEntry", "Bad", "<ArrayParameterRefEntry", "not supported"),
    ("late_criterion", xtce.XtceUnsupportedError, "RestrictionCriteria", "Later", 'parameterRef="X" value="1"', "not a field read before"),
    ("dynamic_forward", xtce.XtceUnsupportedError, "DynamicValue", "Bad", '<ParameterRefEntry parameterRef="BLOB"', "not an earlier field"),
    ("math_calibrator", xtce.XtceUnsupportedError, "MathOperationCalibrator", "F", "<MathOperationCalibrator", "calibrator not supported"),
    ("odd_binary", xtce.XtceUnsupportedError, "BinaryDataEncoding", "B", "<BinaryDataEncoding", "not a whole number of bytes"),
]


@pytest.mark.parametrize(("stem", "kind", "element", "name", "snippet", "fragment"), REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals_name_the_element_the_definition_and_the_line(stem, kind, element, name, snippet, fragment):
    path = DATA / f"refuse_{stem}.xml"
    with pytest.raises(kind) as caught:
        xtce.load(path)
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
    path.write_text(text.replace('<Parameter name="V" parameterTypeRef="V_T"/>', '<Parameter name="V" parameterTypeRef="V_T"><Frobnicate/></Parameter>'))
    definition = xtce.load(path)
    assert any("Frobnicate in Parameter 'V' not read" in note for note in definition.notes)


@pytest.mark.parametrize(
    ("change", "fragment"),
    [
        (('encoding="unsigned"/></IntegerParameterType><IntegerParameterType name="LEN_T">', 'encoding="zigzag"/></IntegerParameterType><IntegerParameterType name="LEN_T">'), "integer encoding 'zigzag'"),
        (('<Parameter name="V" parameterTypeRef="V_T"/>', '<Parameter name="V" parameterTypeRef="NOPE"/>'), "names no parameter type"),
        (('<ParameterRefEntry parameterRef="V"/>', '<ParameterRefEntry parameterRef="W"/>'), "names no parameter"),
        (('</SpaceSystem>', '</SpaceSystem'), "not well-formed XML"),
        (
            ('<IntegerParameterType name="V_T"><IntegerDataEncoding sizeInBits="8" encoding="unsigned"/></IntegerParameterType>',
             '<EnumeratedParameterType name="V_T"><StringDataEncoding><SizeInBits><Fixed><FixedValue>8</FixedValue></Fixed></SizeInBits></StringDataEncoding></EnumeratedParameterType>'),
            "enumerated types over a string encoding",
        ),
        (('<Parameter name="V" parameterTypeRef="V_T"/>', '<Parameter name="V" parameterTypeRef="V_T"/><Parameter name="V" parameterTypeRef="V_T"/>'), "defined twice"),
    ],
    ids=["encoding", "type-ref", "entry-ref", "xml", "enum-over-text", "duplicate"],
)
def test_broken_definitions_fail_with_the_line(tmp_path, change, fragment):
    text = (DATA / "namespace_none.xml").read_text()
    assert change[0] in text
    path = tmp_path / "broken.xml"
    path.write_text(text.replace(change[0], change[1], 1))
    with pytest.raises(xtce.XtceError, match=fragment) as caught:
        xtce.load(path)
    assert caught.value.line is not None and caught.value.line > 0


# ---------------------------------------------------------------------------
# Hostile XML.


@pytest.mark.parametrize(
    ("name", "fragment"),
    [("hostile_billion_laughs.xml", "entity declaration 'lol' refused"), ("hostile_external_entity.xml", "entity declaration 'secret' refused")],
)
def test_entities_are_refused_before_anything_expands(name, fragment):
    with pytest.raises(xtce.XtceError, match=fragment) as caught:
        xtce.load(DATA / name)
    assert caught.value.element == "!ENTITY"


def test_external_reference_without_declaration_is_refused(tmp_path):
    path = tmp_path / "dtd.xml"
    path.write_text('<?xml version="1.0"?>\n<!DOCTYPE SpaceSystem SYSTEM "http://127.0.0.1:9/xtce.dtd">\n<SpaceSystem name="x">&ext;</SpaceSystem>\n')
    with pytest.raises(xtce.XtceError):
        xtce.load(path)


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
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, env={**os.environ}, cwd=tmp_path)
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
    assert "TIME_eng" not in doubled.columns  # time types are their raw encoding
    assert doubled["CAL_eng"].tolist() == [10.0, 400.0]
    assert doubled["NAME"].tolist() == ["", "hello"] and doubled["EXTRA"].tolist() == [9, 1]
    time = definition.parameters["TIME"]
    assert time.aliases == {"mission": "SC_TIME"} and time.ancillary == {"source": "clock"}
    assert time.short_description == "Seconds since the epoch"
    assert definition.parameter_types["CAL_T"].units == ["V"]


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
                if column + xtce.ENGINEERING_SUFFIX in table.columns:
                    assert table[column + xtce.ENGINEERING_SUFFIX][row] == value
            seen += 1
    assert seen == len(packets)


def test_unknown_sections_are_noted(tmp_path):
    text = (DATA / "namespace_none.xml").read_text()
    path = tmp_path / "extra.xml"
    path.write_text(text.replace("<TelemetryMetaData>", "<TelemetryMetaData><MessageSet/><Gadgets><Gadget/></Gadgets>", 1))
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
