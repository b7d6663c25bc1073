"""The one decode pipeline: every route (``decode`` with a mapping, a file
or a definition, ``Definition.decode``, decoding in steps, the command line)
gives the same tables, and one report says what was not decoded."""

from __future__ import annotations

import warnings
from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest

import bitloom_io
from bitloom_io import Layout, Select

xtce = pytest.importorskip("bitloom_io.xtce")
from bitloom_io._decode import decode_in_steps  # noqa: E402
from bitloom_io.cli import main  # noqa: E402
from recipes import field as item  # noqa: E402

ROUTES_XML = Path(__file__).parent / "data" / "xtce" / "routes.xml"


def pkt(apid, count, body):
    return (
        (0x0800 | apid).to_bytes(2, "big")
        + ((3 << 14) | count).to_bytes(2, "big")
        + (len(body) - 1).to_bytes(2, "big")
        + body
    )


# Housekeeping (APID 11), Event (APID >= 12 and KIND != LOW), Quiet (APID 13,
# or 12 and LOW): a packet of each, then the ones that cannot be decoded.
STREAM = b"".join(
    [
        pkt(11, 0, b"\x01\x00\x50"),
        pkt(12, 0, b"\x02abcd\x00\x05"),
        pkt(12, 1, b"\x01"),
        pkt(13, 0, b"\x03"),  # Event and Quiet both: ambiguous
        pkt(12, 2, b"\x03ab\xffd\x00\x06"),  # one invalid UTF-8 byte: this packet fails, no other
        pkt(14, 0, b"\x02xyz!\x00\x07"),
        pkt(11, 1, b"\x02\x00"),  # too short for TEMP
        pkt(13, 1, b"\x01"),
        pkt(11, 2, b"\x03\x00\x30\x99"),  # a byte longer than Housekeeping
    ]
)
OFFSETS = np.cumsum([0] + [9, 13, 7, 7, 13, 13, 8, 7, 10])[:-1].tolist()


def quiet(fn, *args, **keys):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **keys)


@pytest.fixture(scope="module")
def stream_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("pipeline") / "routes.dat"
    path.write_bytes(STREAM)
    return path


def _cli(path, tmp_path, option):
    pd = pytest.importorskip("pandas")
    out = tmp_path / option.strip("-")
    assert (
        quiet(main, ["decode", str(path), option, str(ROUTES_XML), "--out", str(out), "--allow-undecoded", "-q"]) == 0
    )
    return {p.stem: pd.read_parquet(p) for p in sorted(out.iterdir())}


ROUTES = {
    "decode(path, file)": lambda path, tmp: bitloom_io.decode(path, ROUTES_XML),
    "decode(bytes, Definition)": lambda path, tmp: bitloom_io.decode(STREAM, xtce.load(ROUTES_XML)),
    "decode(file object, str)": lambda path, tmp: bitloom_io.decode(open(path, "rb"), str(ROUTES_XML)),
    "Definition.decode": lambda path, tmp: xtce.load(ROUTES_XML).decode(path),
    "in steps of 1 byte": lambda path, tmp: decode_in_steps(path, ROUTES_XML, step_bytes=1),
    "in steps of 20 bytes": lambda path, tmp: decode_in_steps(path, xtce.load(ROUTES_XML), step_bytes=20),
}


@pytest.mark.parametrize("route", list(ROUTES))
def test_every_route_gives_the_same_tables_and_report(route, stream_file, tmp_path):
    expected = quiet(xtce.load(ROUTES_XML).decode, STREAM)
    got = quiet(ROUTES[route], stream_file, tmp_path)
    assert list(got) == list(expected) == ["Housekeeping", "Event", "Quiet"]
    for name, table in expected.items():
        assert list(got[name].columns) == list(table.columns), name
        for column, values in table.columns.items():
            assert got[name][column].dtype == values.dtype, (name, column)
            assert got[name][column].tolist() == values.tolist(), (name, column)
    # The same report, but for the name of the source.
    assert replace(got.report, stream=replace(got.report.stream, source=None)) == expected.report
    assert got.packet_index.keys() == expected.packet_index.keys()


@pytest.mark.parametrize("option", ["--layouts", "--xtce"])
def test_command_line_writes_the_same_tables(option, stream_file, tmp_path):
    expected = quiet(bitloom_io.decode, STREAM, ROUTES_XML)
    got = _cli(stream_file, tmp_path, option)
    assert sorted(got) == sorted(name for name, t in expected.items() if len(t))
    for name, frame in got.items():
        want = expected[name].to_pandas()
        assert list(frame.columns) == list(want.columns)
        assert frame.astype(object).values.tolist() == want.astype(object).values.tolist()


def test_the_report_says_what_was_not_decoded_and_why():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tables = bitloom_io.decode(STREAM, ROUTES_XML)
    report = tables.report
    assert report.decoded == {"Housekeeping": 2, "Event": 2, "Quiet": 2} and report.packets == 9
    assert tables["Event"]["NAME"].tolist() == ["abcd", "xyz!"]
    assert (report.ambiguous, report.ambiguous_offsets) == (1, (OFFSETS[3],))
    failures = {f.packet_type: f for f in report.failed}
    assert (failures["Event"].count, failures["Event"].field, failures["Event"].offsets) == (1, "NAME", (OFFSETS[4],))
    assert "Invalid UTF-8" in failures["Event"].reason
    assert (failures["Housekeeping"].count, failures["Housekeeping"].field) == (1, "TEMP")
    (size,) = report.sizes
    assert (size.packet_type, size.expected, size.longer, size.longer_offsets, size.shorter) == (
        "Housekeeping",
        9,
        1,
        (OFFSETS[8],),
        1,
    )
    assert report.undecoded == 3 and not report.ok and report.unclaimed == {}
    text = str(report)
    assert text.startswith("9 packets, 6 rows decoded, 3 packets not decoded")
    assert "1 packet of 'Event' failed (the packet at field 'NAME': Invalid UTF-8" in text
    assert "'Housekeeping' reads 9 bytes: 1 packet longer (byte 77); 1 packet shorter (byte 62)" in text
    (warning,) = [w for w in caught if w.category is bitloom_io.DecodeWarning]
    assert "claimed by more than one packet type" in str(warning.message) and warning.filename == __file__


@pytest.mark.parametrize(
    "definition",
    [ROUTES_XML, {11: Layout([item("X", 8, offset_bits=48)], exact=True), 12: Layout([item("Y", 8)])}],
    ids=["xtce", "layouts"],
)
@pytest.mark.parametrize(
    "source", [b"", b"\x00\x01", b"\x08\x0b\xc0\x00\x00"], ids=["empty", "2 bytes", "a header cut"]
)
def test_no_whole_packets_gives_empty_tables_with_the_report(definition, source):
    tables = quiet(bitloom_io.decode, source, definition)
    assert len(tables) in (2, 3) and all(len(t) == 0 for t in tables.values())
    full = quiet(bitloom_io.decode, STREAM, definition)
    for name, table in tables.items():
        assert list(table.columns) == list(full[name].columns)
        assert [c.dtype for c in table.columns.values()] == [c.dtype for c in full[name].columns.values()]
    assert tables.report.packets == 0 and tables.report.undecoded == 0
    assert tables.report.stream.lost_bytes == len(source)


LAYOUT = Layout([item("X", 8, offset_bits=48)], exact=True)


@pytest.mark.parametrize(
    "layouts, error, message",
    [
        ({11: LAYOUT, "11": LAYOUT}, ValueError, "two keys for APID 11"),
        ({11.7: LAYOUT}, ValueError, "not 11.7"),
        ({11.0: LAYOUT}, ValueError, "not 11.0"),
        ({True: LAYOUT}, ValueError, "not True"),
        ({2048: LAYOUT}, ValueError, "not 2048"),
        ({"0x0b": LAYOUT}, ValueError, "not '0x0b'"),
        ({11: [item("X", 8)]}, TypeError, "not list (for 'apid11')"),
        ({11: Select(item("ID", 8, offset_bits=48), {1: "nope"})}, TypeError, "not str (for 'apid11_1')"),
    ],
)
def test_mapping_keys_and_values_are_checked(layouts, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)").replace(".", r"\.")):
        bitloom_io.decode(STREAM, layouts)


@pytest.mark.parametrize(
    "call",
    [
        lambda p: bitloom_io.ccsds.split(p),
        lambda p: bitloom_io.ccsds.split(p, map=False),
        lambda p: bitloom_io.ccsds.read_header(p),
        lambda p: bitloom_io.decode(p, {}),
        lambda p: bitloom_io.decode(STREAM, p),
        lambda p: bitloom_io.load_definition(p),
        lambda p: bitloom_io.xtce.load(p),
        lambda p: bitloom_io.encode({}, p),
        lambda p: (pytest.importorskip("dask"), pytest.importorskip("bitloom_io.dask"))[1].read_packets(p, {}),
    ],
)
def test_a_missing_file_has_one_wording(call, tmp_path):
    path = str(tmp_path / "nowhere.bin")
    with pytest.raises(FileNotFoundError) as caught:
        call(path)
    assert str(caught.value) == f"[Errno 2] no such file: {path!r}" and caught.value.filename == path


def test_decode_leaves_the_stream_summary_as_the_split_made_it():
    packets = bitloom_io.ccsds.split(STREAM, warn=False)
    tables = quiet(bitloom_io.decode, STREAM, {99: LAYOUT})
    assert tables.summary == packets.summary and tables.report.stream == packets.summary
    assert tables.report.unclaimed == {11: 3, 12: 3, 13: 2, 14: 1}


@pytest.mark.parametrize(
    "stream, text",
    [
        # One region, one gap, one repeat: all in the singular.
        (pkt(11, 0, b"\x01\x00\x50") + b"\x01", "1 byte of 10 is not in a whole packet (1 region):"),
        (
            pkt(11, 0, b"\x01\x00\x50") + pkt(11, 2, b"\x01\x00\x50"),
            "APID 11: sequence count 1 gap (1 packet missing), 0 repeats",
        ),
        (pkt(11, 0, b"\x01\x00\x50") * 2, "APID 11: sequence count 0 gaps (0 packets missing), 1 repeat"),
    ],
)
def test_report_and_warnings_count_in_words(stream, text):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tables = bitloom_io.decode(stream, ROUTES_XML)
    assert text in str(tables.report)
    messages = " ".join(str(w.message) for w in caught)
    assert "(1 regions)" not in messages and "1 gaps" not in messages and "1 repeats" not in messages
    assert "(1 region)" in messages or "1 gap (1 packet missing)" in messages or "1 repeat" in messages


JPSS = Path(__file__).parent / "data" / "realdata" / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
JPSS_CSV = JPSS.with_name("ccsdspy_jpss1_geolocation.csv")


@pytest.mark.parametrize("step", [1, 71 * 10 + 3, 5000, 1 << 20])
@pytest.mark.parametrize("definition", ["csv", "rule"])
def test_steps_give_the_whole_decode_on_a_damaged_stream(step, definition):
    data = JPSS.read_bytes()[: 71 * 300]
    # Junk, a packet lost from the sequence, one packet too short for its
    # layout (its length field says 3 data bytes), a cut tail.
    short = bytearray(data[71 * 200 : 71 * 200 + 9])
    short[4:6] = (2).to_bytes(2, "big")
    damaged = data[: 71 * 40] + b"\xff\xfe\xfd" + data[71 * 41 : 71 * 200] + bytes(short) + data[71 * 201 : -20]
    if definition == "csv":
        layouts = bitloom_io.load_layouts(JPSS_CSV)
    else:
        rule = Select(
            item("DOYHI", 8, offset_bits=48),
            {0: bitloom_io.load_layouts(JPSS_CSV)["*"]},
            names={0: "geolocation"},
        )
        layouts = {11: rule, 12: LAYOUT}
    whole = quiet(bitloom_io.decode, damaged, layouts)
    steps = decode_in_steps(damaged, layouts, step_bytes=step)
    assert list(steps) == list(whole)
    for name, table in whole.items():
        for column, values in table.columns.items():
            assert steps[name][column].dtype == values.dtype
            assert steps[name][column].tolist() == values.tolist(), (name, column)
    assert steps.report == whole.report
    assert whole.report.undecoded >= 1 and whole.report.stream.problems
