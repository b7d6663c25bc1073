"""encode: tables back into packet streams, the inverse of decode; headers
filled in and checked, packets interleaved, error control, real files
reproduced byte for byte."""

import os
import warnings

import pytest

np = pytest.importorskip("numpy")

from hypothesis import given, strategies as st  # noqa: E402

import bitloom_io  # noqa: E402
from bitloom_io import Layout, Select, ccsds, xtce  # noqa: E402
from bitloom_io._encode import UNMAPPED_COLUMN, crc16_ccitt  # noqa: E402
from test_ccsds import packet  # noqa: E402
from test_decode import EV, HK, STREAM, item  # noqa: E402

REAL = os.path.join(os.path.dirname(__file__), "data", "realdata")
JPSS = os.path.join(REAL, "jpss")
CTIM = os.path.join(REAL, "ctim")


def quiet(fn, *a, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*a, **kw)


def decoded_equal(a, b):
    assert list(a) == list(b)
    for name in a:
        assert list(a[name].columns) == list(b[name].columns), name
        for col in a[name].columns:
            x, y = a[name][col], b[name][col]
            assert x.dtype == y.dtype, (name, col)
            assert x.tolist() == y.tolist(), (name, col)


def test_decode_of_encode_gives_the_tables_back():
    layouts = {10: Layout(HK), 20: Layout(EV)}
    tables = quiet(bitloom_io.decode, STREAM, layouts)
    again = bitloom_io.decode(bitloom_io.encode(tables, layouts), layouts)
    decoded_equal(tables, again)


@given(
    st.lists(st.tuples(st.integers(0, 255), st.integers(-(2**15), 2**15 - 1)), max_size=40),
    st.lists(st.tuples(st.integers(0, 255), st.integers(0, 2**32 - 1)), max_size=40),
    st.integers(0, 2**14 - 1),
    st.booleans(),
)
def test_round_trip_of_plain_columns(hk_rows, ev_rows, first_count, counted):
    layouts = {10: Layout(HK), 20: Layout(EV)}
    tables = {
        "apid10": {
            "mode": np.array([m for m, _ in hk_rows], np.uint8),
            "temp": np.array([t for _, t in hk_rows], np.int16),
        },
        "apid20": {
            "kind": np.array([k for k, _ in ev_rows], np.uint8),
            "code": np.array([c for _, c in ev_rows], np.uint32),
            "text": np.array([f"AB{i % 100:02d}" for i in range(len(ev_rows))]),
            "CCSDS_SEQUENCE_COUNT": (first_count + np.arange(len(ev_rows))) % 2**14,
        },
    }
    if counted:
        del tables["apid20"]["CCSDS_SEQUENCE_COUNT"]
    stream = bitloom_io.encode(tables, layouts)
    # Tables that need only their fields and the definition's header are
    # packed with their headers at once; the packets are those of the way
    # that writes the headers over packed packets (taken when an order is given).
    in_table_order = {"apid10": np.arange(len(hk_rows)), "apid20": len(hk_rows) + np.arange(len(ev_rows))}
    assert stream == bitloom_io.encode(tables, layouts, order=in_table_order)
    if counted:
        return
    back = bitloom_io.decode(stream, layouts)
    assert back["apid10"]["temp"].tolist() == tables["apid10"]["temp"].tolist()
    assert back["apid10"]["CCSDS_SEQUENCE_COUNT"].tolist() == list(range(len(hk_rows)))
    assert back["apid20"]["code"].tolist() == tables["apid20"]["code"].tolist()
    assert back["apid20"]["text"].tolist() == tables["apid20"]["text"].tolist()
    assert back["apid20"]["CCSDS_SEQUENCE_COUNT"].tolist() == tables["apid20"]["CCSDS_SEQUENCE_COUNT"].tolist()
    assert back.summary.problems == ()


def test_headers_are_filled_in_from_the_definition():
    stream = bitloom_io.encode({"apid10": {"mode": [1, 2], "temp": [3, -4]}}, {10: Layout(HK)}, secondary_header=True)
    assert stream == b"".join(
        packet(apid=10, count=i, sec=1, data=bytes([m]) + t.to_bytes(2, "big", signed=True))
        for i, (m, t) in enumerate([(1, 3), (2, -4)])
    )


def test_the_header_is_written_over_fields_in_its_bits():
    layout = Layout([item("w", 16), *HK])
    stream = bitloom_io.encode({"apid10": {"w": [0xFFFF], "mode": [1], "temp": [3]}}, {10: layout})
    assert stream == packet(apid=10, count=0, sec=0, data=b"\x01\x00\x03")


def test_sequence_counts_wrap_per_apid_in_the_interleaved_order():
    n = 2**14 + 3
    layouts = {10: Layout(HK), 11: Layout(HK)}
    tables = {
        "apid10": {"mode": np.zeros(n, np.uint8), "temp": np.zeros(n, np.int16), "t": np.arange(n) * 2},
        "apid11": {"mode": np.ones(3, np.uint8), "temp": np.zeros(3, np.int16), "t": np.array([1, 3, 2**20])},
    }
    p = ccsds.split(bitloom_io.encode(tables, layouts, order="t"), warn=False)
    assert p.apid[:6].tolist() == [10, 11, 10, 11, 10, 10]
    counts10 = p.sequence_count[p.apid == 10]
    assert counts10[-4:].tolist() == [2**14 - 1, 0, 1, 2]
    assert p.sequence_count[p.apid == 11].tolist() == [0, 1, 2]
    assert p.apid[-1] == 11


def test_select_rules_put_their_field_back():
    rule = Select(
        item("kind", offset_bits=48),
        {1: Layout([item("a", offset_bits=56)]), 2: Layout([item("b", 16, offset_bits=56)])},
        names={1: "one"},
    )
    layouts = {5: rule}
    tables = {"one": {"a": [7, 8]}, "apid5_2": {"b": [513]}}
    back = bitloom_io.decode(bitloom_io.encode(tables, layouts), layouts)
    assert back["one"]["a"].tolist() == [7, 8]
    assert back["apid5_2"]["b"].tolist() == [513]


def test_error_control_is_the_crc_of_the_packet():
    assert int(crc16_ccitt(np.frombuffer(b"123456789", np.uint8))[0]) == 0x29B1
    stream = bitloom_io.encode({"apid10": {"mode": [1], "temp": [2]}}, {10: Layout(HK)}, error_control=True)
    assert len(stream) == 11 and int.from_bytes(stream[-2:], "big") == int(
        crc16_ccitt(np.frombuffer(stream[:-2], np.uint8))[0]
    )
    assert int.from_bytes(stream[4:6], "big") == 11 - 7


@pytest.mark.parametrize(
    "tables, layouts, message",
    [
        (
            {"apid10": {"mode": [1], "temp": [1], "CCSDS_APID": [11]}},
            {10: HK},
            "row 0, column 'CCSDS_APID': APID 11 contradicts",
        ),
        (
            {"apid10": {"mode": [1, 2], "temp": [1, 2], "CCSDS_SEQUENCE_COUNT": [0, 2**14]}},
            {10: HK},
            "row 1, column 'CCSDS_SEQUENCE_COUNT': 16384 does not fit",
        ),
        ({"apid10": {"mode": [1]}}, {10: HK}, "table 'apid10': no column 'temp'"),
        (
            {"apid10": {"mode": np.ma.masked_array([1, 2], [False, True]), "temp": [1, 2]}},
            {10: HK},
            "row 1, column 'mode': the value is masked",
        ),
        ({"apid12": {"mode": [1], "temp": [1]}}, {10: HK}, "table 'apid12': the definition has no packet type"),
        (
            {"apid10": {"mode": [1], "temp": [1], "CCSDS_PACKET_LENGTH": [1]}},
            {10: HK},
            "a packet of 8 bytes cannot hold the 9 bytes",
        ),
        ({"apid10": {"mode": [1, 2], "temp": [1]}}, {10: HK}, "columns of different lengths"),
        ({"apid10": {"mode": [1], "temp": [1]}}, {10: HK, "10": HK}, "APID 10 is given twice"),
        ({"apid10": {"mode": [1], "temp": [1]}}, {10.5: HK}, "keys are APIDs"),
        ({"apid10": {"mode": [300], "temp": [1]}}, {10: HK}, "while packing table 'apid10'"),
        ({"apid10": {"mode": np.arange(250, 260), "temp": np.ones(10, np.int16)}}, {10: HK}, "packet 6: item 0 'mode'"),
        ({"apid10": {"x": [1]}}, {10: [item("x")]}, "a packet has at least 7 bytes; the layout gives 1"),
    ],
)
def test_wrong_tables_are_refused_with_where(tables, layouts, message):
    layouts = {k: Layout(v) for k, v in layouts.items()}
    with pytest.raises(ValueError) as info:
        bitloom_io.encode(tables, layouts)
    assert message in str(info.value) + "".join(getattr(info.value, "__notes__", []))


def test_default_entry_and_written_file(tmp_path):
    tables = quiet(bitloom_io.decode, STREAM, {"*": Layout([item("b", offset_bits=48)])})
    target = tmp_path / "out.bin"
    written = bitloom_io.write_packets(
        target,
        tables,
        {"*": Layout([item("b", offset_bits=48)])},
        order={
            n: t["CCSDS_SEQUENCE_COUNT"] * 4 + {"apid10": 0, "apid20": 1, "apid30": 2}[n] for n, t in tables.items()
        },
    )
    assert written == target.stat().st_size and sorted(os.listdir(tmp_path)) == ["out.bin"]
    again = quiet(bitloom_io.decode, target.read_bytes(), {"*": Layout([item("b", offset_bits=48)])})
    decoded_equal(tables, again)


IMAP = os.path.join(os.path.dirname(__file__), "data", "xtce", "shared", "imap")
# Real files whose definitions claim every packet, and how many of their
# packets hold bits that no field describes.
ROUND_TRIPS = [
    (
        os.path.join(JPSS, "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"),
        os.path.join(JPSS, "ccsdspy_jpss1_geolocation.csv"),
        0,
    ),
    (
        os.path.join(JPSS, "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"),
        os.path.join(JPSS, "jpss1_geolocation_xtce_v1.xml"),
        0,
    ),
    (os.path.join(CTIM, "ccsds_2021_155_14_39_51"), os.path.join(CTIM, "ctim_xtce_v1.xml"), 105),
    *[
        (os.path.join(IMAP, "data", f), os.path.join(IMAP, d), unmapped)
        for d, f, unmapped in [
            ("codice_packet_definition.xml", "imap_codice_l0_hi-pha_20240429_v001.pkts", 0),
            ("codice_packet_definition.xml", "imap_codice_l0_lo-sw-species_20240429_v001.pkts", 0),
            ("hit_packet_definitions.xml", "imap_hit_l0_hk_20100105_v001.pkts", 0),
            ("hit_packet_definitions.xml", "sci_sample.ccsds", 0),
            ("hit_packet_definitions.xml", "PREFLIGHT_raw_record_2023_256_15_59_04_apid1252.pkts", 0),
            ("ialirt_hit.xml", "hit_ialirt_sample.ccsds", 0),
            ("swapi_packet_definition.xml", "imap_swapi_l0_raw_20240924_v001.pkts", 157),
        ]
    ],
]


@pytest.mark.parametrize("stream, definition, unmapped", ROUND_TRIPS, ids=[os.path.basename(r[0]) for r in ROUND_TRIPS])
def test_real_files_come_back_byte_for_byte(stream, definition, unmapped):
    raw = open(stream, "rb").read()
    loaded = xtce.load(definition) if definition.endswith(".xml") else bitloom_io.load_layouts(definition)
    tables = quiet(bitloom_io.decode, raw, loaded, keep_unmapped=True)
    assert tables.report.stream.packets == sum(len(t) for t in tables.values())
    assert bitloom_io.encode(tables, loaded) == raw
    assert sum(len(x) > 0 for t in tables.values() for x in t[UNMAPPED_COLUMN]) == unmapped
    # Without the kept bits, exactly the packets that had some differ.
    plain = {n: {k: v for k, v in t.columns.items() if k != UNMAPPED_COLUMN} for n, t in tables.items()}
    again = ccsds.split(bitloom_io.encode(plain, loaded), warn=False)
    original = ccsds.split(raw, warn=False)
    differing = sum(bytes(again.packet(k)) != bytes(original.packet(k)) for k in range(len(original)))
    assert differing == unmapped


def test_keep_unmapped_keeps_the_bytes_after_the_last_field():
    layouts = {10: Layout([item("mode", offset_bits=48)])}
    stream = packet(apid=10, data=b"\x01\x02\x03")
    tables = quiet(bitloom_io.decode, stream, layouts, keep_unmapped=True)
    assert tables["apid10"][UNMAPPED_COLUMN].tolist() == [bytes(6) + b"\x00\x02\x03"]
    assert bitloom_io.encode(tables, layouts) == stream


# A packet type whose last field holds a CRC (ErrorDetectCorrect on its
# encoding), and a command that ends with one; {crc} is the CRC element.
CRC_DEFINITION = """<?xml version="1.0"?>
<SpaceSystem xmlns="http://www.omg.org/spec/XTCE/20180204" name="Checked">
  <TelemetryMetaData>
    <ParameterTypeSet>
      <IntegerParameterType name="U3"><IntegerDataEncoding sizeInBits="3"/></IntegerParameterType>
      <IntegerParameterType name="U1"><IntegerDataEncoding sizeInBits="1"/></IntegerParameterType>
      <IntegerParameterType name="U11"><IntegerDataEncoding sizeInBits="11"/></IntegerParameterType>
      <IntegerParameterType name="U2"><IntegerDataEncoding sizeInBits="2"/></IntegerParameterType>
      <IntegerParameterType name="U14"><IntegerDataEncoding sizeInBits="14"/></IntegerParameterType>
      <IntegerParameterType name="U16"><IntegerDataEncoding sizeInBits="16"/></IntegerParameterType>
      <IntegerParameterType name="Check" signed="false">
        <IntegerDataEncoding sizeInBits="{bits}" byteOrder="{order}"><ErrorDetectCorrect>{crc}</ErrorDetectCorrect></IntegerDataEncoding>
      </IntegerParameterType>
    </ParameterTypeSet>
    <ParameterSet>
      <Parameter name="VERSION" parameterTypeRef="U3"/><Parameter name="TYPE" parameterTypeRef="U1"/>
      <Parameter name="SEC" parameterTypeRef="U1"/><Parameter name="APID" parameterTypeRef="U11"/>
      <Parameter name="FLAGS" parameterTypeRef="U2"/><Parameter name="COUNT" parameterTypeRef="U14"/>
      <Parameter name="LENGTH" parameterTypeRef="U16"/><Parameter name="DATA" parameterTypeRef="U16"/>
      <Parameter name="MORE" parameterTypeRef="U16"/><Parameter name="CHECK" parameterTypeRef="Check"/>
    </ParameterSet>
    <ContainerSet>
      <SequenceContainer name="Header" abstract="true"><EntryList>
        <ParameterRefEntry parameterRef="VERSION"/><ParameterRefEntry parameterRef="TYPE"/>
        <ParameterRefEntry parameterRef="SEC"/><ParameterRefEntry parameterRef="APID"/>
        <ParameterRefEntry parameterRef="FLAGS"/><ParameterRefEntry parameterRef="COUNT"/>
        <ParameterRefEntry parameterRef="LENGTH"/>
      </EntryList></SequenceContainer>
      <SequenceContainer name="Hk">
        <EntryList><ParameterRefEntry parameterRef="DATA"/><ParameterRefEntry parameterRef="MORE"/>
          <ParameterRefEntry parameterRef="CHECK"/></EntryList>
        <BaseContainer containerRef="Header">
          <RestrictionCriteria><Comparison parameterRef="APID" value="100"/></RestrictionCriteria>
        </BaseContainer>
      </SequenceContainer>
    </ContainerSet>
  </TelemetryMetaData>
  <CommandMetaData>
    <ArgumentTypeSet>
      <IntegerArgumentType name="Apid" signed="false"><IntegerDataEncoding sizeInBits="11"/></IntegerArgumentType>
      <IntegerArgumentType name="Count" signed="false" initialValue="0"><IntegerDataEncoding sizeInBits="14"/></IntegerArgumentType>
      <IntegerArgumentType name="Word" signed="false"><IntegerDataEncoding sizeInBits="16"/></IntegerArgumentType>
      <IntegerArgumentType name="Check" signed="false">
        <IntegerDataEncoding sizeInBits="{bits}" byteOrder="{order}"><ErrorDetectCorrect>{crc}</ErrorDetectCorrect></IntegerDataEncoding>
      </IntegerArgumentType>
    </ArgumentTypeSet>
    <MetaCommandSet>
      <MetaCommand name="PING">
        <ArgumentList><Argument name="count" argumentTypeRef="Count"/><Argument name="word" argumentTypeRef="Word"/>
          <Argument name="check" argumentTypeRef="Check"/></ArgumentList>
        <CommandContainer name="PING"><EntryList>
          <FixedValueEntry name="version" binaryValue="00" sizeInBits="3"/>
          <FixedValueEntry name="type" binaryValue="01" sizeInBits="1"/>
          <FixedValueEntry name="secondary" binaryValue="00" sizeInBits="1"/>
          <FixedValueEntry name="apid" binaryValue="0065" sizeInBits="11"/>
          <FixedValueEntry name="flags" binaryValue="03" sizeInBits="2"/>
          <ArgumentRefEntry argumentRef="count"/>
          <FixedValueEntry name="length" binaryValue="0000" sizeInBits="16"/>
          <ArgumentRefEntry argumentRef="word"/><ArgumentRefEntry argumentRef="check"/>
        </EntryList></CommandContainer>
      </MetaCommand>
    </MetaCommandSet>
  </CommandMetaData>
</SpaceSystem>
"""


def crc_element(width, polynomial, initial="0", final="0", reflect=False, start=0, reference=None):
    where = f' reference="{reference}"' if reference else ""
    return (
        f'<CRC width="{width}" reflectData="{str(reflect).lower()}" reflectRemainder="{str(reflect).lower()}" '
        f'bitsFromReference="{start}"{where}><Polynomial>{polynomial}</Polynomial>'
        f"<InitRemainder>{initial}</InitRemainder><FinalXOR>{final}</FinalXOR></CRC>"
    )


def checked_definition(tmp_path, crc, bits=16, order="mostSignificantByteFirst"):
    path = tmp_path / "checked.xml"
    path.write_text(CRC_DEFINITION.replace("{crc}", crc).replace("{bits}", str(bits)).replace("{order}", order))
    return xtce.load(path)


# "123456789" under the usual parameter sets (width, polynomial, initial,
# final XOR, reflected), and its check value.
CRC_CHECKS = [
    ((16, 0x1021, 0xFFFF, 0, False), 0x29B1),  # the CCSDS packet error control
    ((16, 0x1021, 0, 0, True), 0x2189),
    ((16, 0x1021, 0xFFFF, 0xFFFF, True), 0x906E),
    ((8, 0x07, 0, 0, False), 0xF4),
    ((32, 0x04C11DB7, 0xFFFFFFFF, 0xFFFFFFFF, True), 0xCBF43926),
    ((32, 0x04C11DB7, 0xFFFFFFFF, 0xFFFFFFFF, False), 0xFC891918),
    ((64, 0x42F0E1EBA9EA3693, 2**64 - 1, 2**64 - 1, True), 0x995DC9BBDF1939FA),
]


@pytest.mark.parametrize("parameters, check", CRC_CHECKS)
def test_crc_rows_give_the_check_values(parameters, check):
    width, polynomial, initial, final, reflect = parameters
    rows = np.frombuffer(b"123456789" * 3, np.uint8).reshape(3, 9)
    got = bitloom_io._encode.crc_rows(
        rows,
        width=width,
        polynomial=polynomial,
        initial=initial,
        final_xor=final,
        reflect_data=reflect,
        reflect_remainder=reflect,
    )
    assert got.tolist() == [check] * 3


@pytest.mark.parametrize(
    "crc, bits, order, start",
    [
        (crc_element(16, "1021", "FFFF"), 16, "mostSignificantByteFirst", 0),
        (crc_element(16, "0x1021", "0", reflect=True), 16, "leastSignificantByteFirst", 0),
        (crc_element(32, "04C11DB7", "FFFFFFFF", "FFFFFFFF", reflect=True), 32, "mostSignificantByteFirst", 0),
        # from the end of the primary header, as a data field's own check
        (crc_element(8, "07", start=48, reference="start"), 8, "mostSignificantByteFirst", 48),
    ],
)
def test_a_crc_field_declared_in_xtce_is_computed_and_checked(tmp_path, crc, bits, order, start):
    definition = checked_definition(tmp_path, crc, bits, order)
    n = 5
    tables = {
        "Hk": {
            "APID": np.full(n, 100),
            "DATA": np.arange(n) * 257,
            "MORE": np.full(n, 7),
            "CHECK": np.zeros(n, np.uint64),
        }
    }
    stream = bitloom_io.encode(tables, definition)
    size = 6 + 4 + bits // 8
    packets = np.frombuffer(stream, np.uint8).reshape(n, size)
    (field,) = [f for f in definition.fields("Hk") if f.name == "CHECK"]
    c = field.type.encoding.crc
    want = bitloom_io._encode.crc_rows(
        packets[:, start // 8 : 10],
        width=c.width,
        polynomial=c.polynomial,
        initial=c.initial,
        final_xor=c.final_xor,
        reflect_data=c.reflect_data,
        reflect_remainder=c.reflect_remainder,
    )
    held = [int.from_bytes(p[10:].tobytes(), "little" if order.startswith("least") else "big") for p in packets]
    assert held == want.tolist() and len(set(held)) > 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        back = definition.decode(stream)
    assert back["Hk"]["CHECK"].tolist() == held and back["Hk"]["DATA"].tolist() == tables["Hk"]["DATA"].tolist()
    # A packet changed after it was made fails its check, and is still decoded.
    broken = bytearray(stream)
    broken[size + 7] ^= 0x10
    with pytest.warns(Warning, match="1 packet of 'Hk' fails the CRC check of 'CHECK'"):
        back = definition.decode(bytes(broken))
    assert len(back["Hk"]) == n
    # What a decode kept for an exact round trip gives the wrong check back as it was.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        kept = bitloom_io.decode(bytes(broken), definition, keep_unmapped=True)
    assert bitloom_io.encode(kept, definition) == bytes(broken)
    # Commands compute it the same way; a value the caller gives is placed as given.
    command = definition.command("PING", word=0x1234)
    data = np.frombuffer(command[start // 8 : 8], np.uint8)
    want = bitloom_io._encode.crc_rows(
        data,
        width=c.width,
        polynomial=c.polynomial,
        initial=c.initial,
        final_xor=c.final_xor,
        reflect_data=c.reflect_data,
        reflect_remainder=c.reflect_remainder,
    )
    assert int.from_bytes(command[8:], "little" if order.startswith("least") else "big") == int(want[0])
    assert definition.command("PING", word=0x1234, check=3)[8:] == (3).to_bytes(
        bits // 8, "big" if "most" in order else "little"
    )
    # Simulated packets hold their computed checks, which the values say.
    simulation = definition.simulate(20, seed=4)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        decoded = definition.decode(simulation.packets)
    assert decoded["Hk"]["CHECK"].tolist() == simulation.values["Hk"]["CHECK"].tolist()


@pytest.mark.parametrize(
    "crc, bits, fragment",
    [
        ('<Parity type="Even" bitsFromReference="0" reference="start"/>', 16, "Parity in ErrorDetectCorrect"),
        (crc_element(16, "1021", reference="end"), 16, "from reference 'end'"),
        (crc_element(16, "1021", start=4), 16, "from bit 4"),
        (crc_element(8, "07"), 16, "a CRC of 8 bits in a field of 16"),
        (crc_element(12, "80F"), 12, "a CRC of 12 bits in a field of 12"),
        (crc_element(16, "XYZ"), 16, "Polynomial 'XYZ' is not hexadecimal"),
    ],
)
def test_crcs_that_cannot_be_computed_are_refused(tmp_path, crc, bits, fragment):
    with pytest.raises(xtce.XtceError, match=fragment):
        checked_definition(tmp_path, crc, bits).layout("Hk")
