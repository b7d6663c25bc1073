"""decode: routing by APID and by Select rules, header columns, failures,
tables and their files, layout files."""

import json
import struct
import os
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

np = pytest.importorskip("numpy")


import bitloom  # noqa: E402
import bitloom_io  # noqa: E402
from bitloom_io import DecodeWarning, Select, StreamWarning  # noqa: E402
from test_ccsds import packet  # noqa: E402
from recipes import field as item  # noqa: E402

Layout = bitloom_io.Layout


HK = [item("mode", offset_bits=48), item("temp", 16, "twos_complement")]
EV = [item("kind", offset_bits=48), item("code", 32), item("text", 32, "us_ascii")]


def hk(count, mode, temp, apid=10):
    return packet(apid=apid, count=count, data=bytes([mode]) + temp.to_bytes(2, "big", signed=True))


def ev(count, kind, code, text=b"ABCD", apid=20):
    return packet(apid=apid, count=count, data=bytes([kind]) + code.to_bytes(4, "big") + text)


STREAM = b"".join([hk(0, 1, -5), ev(0, 1, 7), hk(1, 2, 300), ev(1, 2, 8, b"WXYZ"), packet(apid=30), hk(2, 3, 0)])


def quiet(fn, *a, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*a, **kw)


def test_routing_by_apid_with_header_columns():
    tables = bitloom_io.decode(STREAM, {10: Layout(HK), "20": Layout(EV)})
    assert list(tables) == ["apid10", "apid20"]
    t = tables["apid10"]
    assert list(t.columns)[:7] == [
        "CCSDS_VERSION_NUMBER",
        "CCSDS_PACKET_TYPE",
        "CCSDS_SECONDARY_FLAG",
        "CCSDS_APID",
        "CCSDS_SEQUENCE_FLAG",
        "CCSDS_SEQUENCE_COUNT",
        "CCSDS_PACKET_LENGTH",
    ]
    assert t["mode"].tolist() == [1, 2, 3]
    assert t["temp"].tolist() == [-5, 300, 0]
    assert t["CCSDS_SEQUENCE_COUNT"].tolist() == [0, 1, 2]
    assert t["CCSDS_PACKET_LENGTH"].tolist() == [2, 2, 2]
    assert tables["apid20"]["text"].tolist() == ["ABCD", "WXYZ"]
    assert tables.report.unclaimed == {30: 1} and tables.report.unclaimed_offsets == (len(STREAM) - 16,)
    assert tables.report.undecoded == 1 and tables.report.decoded == {"apid10": 3, "apid20": 2}
    assert len(t) == 3 and "mode" in t


def test_default_layout_and_empty_tables():
    tables = quiet(bitloom_io.decode, STREAM, {"*": Layout([item("b", offset_bits=48)]), 99: Layout(HK)})
    assert sorted(tables) == ["apid10", "apid20", "apid30", "apid99"]
    assert len(tables["apid99"]) == 0 and list(tables["apid99"].columns)[-1] == "temp"
    assert tables["apid30"]["b"].tolist() == [0]
    assert tables.report.unclaimed == {} and tables.report.undecoded == 0


SELECT_STREAM = b"".join(
    packet(apid=5, count=i, data=bytes([kind, i, i * 2 % 256, 0])) for i, kind in enumerate([1, 2, 1, 3, 2, 1])
)


def test_select_by_a_field_after_the_header():
    selector = item("ID", offset_bits=48)
    rule = Select(
        selector, {1: Layout([item("a", offset_bits=56)]), 2: Layout([item("b", 16, offset_bits=56)])}, names={2: "two"}
    )
    tables = bitloom_io.decode(SELECT_STREAM, {5: rule})
    assert sorted(tables) == ["apid5_1", "two"]
    assert tables["apid5_1"]["a"].tolist() == [0, 2, 5]
    assert tables["apid5_1"]["CCSDS_SEQUENCE_COUNT"].tolist() == [0, 2, 5]
    assert tables["two"]["b"].tolist() == [(1 << 8) | 2, (4 << 8) | 8]
    assert tables.report.unclaimed == {5: 1}  # the packet with ID 3


def test_nested_select():
    inner = Select(item("hi", 8, offset_bits=56), {0: Layout([item("x", offset_bits=64)])})
    outer = Select(item("ID", offset_bits=48), {1: inner})
    tables = bitloom_io.decode(SELECT_STREAM, {5: outer})
    assert list(tables) == ["apid5_1_0"]
    assert tables["apid5_1_0"]["CCSDS_SEQUENCE_COUNT"].tolist() == [0]


def test_packets_a_layout_cannot_decode_are_reported_not_dropped_silently():
    long = Layout([item("mode", offset_bits=48), item("extra", 32)])  # longer than the hk packets
    stream = STREAM + hk(3, 4, 1) + packet(apid=10, count=4, data=bytes(10))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tables = bitloom_io.decode(stream, {10: long})
    assert tables["apid10"]["CCSDS_SEQUENCE_COUNT"].tolist() == [4]
    (failure,) = tables.report.failed
    assert (failure.packet_type, failure.count, failure.field) == ("apid10", 4, "extra")
    assert failure.reason == "Field 'extra' needs 4 bytes from byte 7 but the packet has 9 bytes"
    assert any(
        issubclass(w.category, DecodeWarning)
        and "4 packets of 'apid10' failed (the first at field 'extra'" in str(w.message)
        for w in caught
    )
    assert not tables.report.ok and tables.report.undecoded == 4 + 3  # and APIDs 20, 30
    (size,) = tables.report.sizes
    assert (size.expected, size.longer, size.longer_offsets, size.shorter) == (11, 1, (73,), 4)


def test_bad_stream_still_decodes_what_it_can():
    stream = hk(0, 1, 1) + b"\xff\xfe" + hk(1, 2, 2) + hk(2, 3, 3) + hk(3, 4, 4) + hk(4, 5, 5)[:-1]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tables = bitloom_io.decode(stream, {10: Layout(HK)})
    assert tables["apid10"]["mode"].tolist() == [1, 2, 3, 4]
    assert [p.kind for p in tables.summary.problems] == ["junk", "truncated"]
    assert any(issubclass(w.category, StreamWarning) for w in caught)


_FAILING = STREAM + hk(3, 4, 1) + packet(apid=10, count=4, data=bytes(10))
_DAMAGED = hk(0, 1, 1) + b"\xff\xfe" + hk(1, 2, 2) + hk(2, 3, 3) + hk(3, 4, 4) + hk(4, 5, 5)[:-1]
_LONG = Layout([item("mode", offset_bits=48), item("extra", 32)])  # longer than the hk packets


@pytest.mark.parametrize(
    "stream, layouts, options",
    [
        (STREAM, {10: Layout(HK), "20": Layout(EV)}, {}),  # text, packets no type claims
        (STREAM, {"*": Layout([item("b", offset_bits=48)]), 99: Layout(HK)}, {}),  # an APID with no packet
        (_FAILING, {10: _LONG}, {}),  # the rows of failed packets left out
        (_FAILING, {10: _LONG}, {"errors": "raise"}),
        (STREAM, {"*": _LONG}, {}),  # APIDs whose every packet failed: empty tables, with their columns
        (_DAMAGED, {10: Layout(HK)}, {}),
        (b"".join(b"\x00\x00\x00\x0b" + p for p in [hk(0, 1, 1), hk(1, 2, 2)]), {10: Layout(HK)}, {"prefix_bytes": 4}),
        (STREAM * 3, {10: Layout(HK), 20: Layout(EV)}, {}),  # counts repeated: gaps in the report
    ],
)
@pytest.mark.parametrize("step", [1, 30, 1 << 20])
@pytest.mark.parametrize("as_file", [False, True])
def test_large_inputs_decode_in_counted_steps_as_in_one(tmp_path, monkeypatch, stream, layouts, options, step, as_file):
    from bitloom_io import _decode

    def run():
        source = stream
        if as_file:
            source = tmp_path / "stream.bin"
            source.write_bytes(stream)
        try:
            tables = quiet(bitloom_io.decode, source, layouts, **options)
        except ValueError as error:
            return str(error)
        columns = {n: {c: (v.dtype, v.tolist()) for c, v in t.columns.items()} for n, t in tables.items()}
        return columns, str(tables.report), tables.summary

    whole = run()
    monkeypatch.setattr(_decode, "COUNTED_BYTES", 0)
    monkeypatch.setattr(_decode, "STEP_BYTES", step)
    assert run() == whole


@pytest.mark.parametrize("threads", [1, 2])
def test_steps_split_ahead_come_in_order_with_their_errors(threads, monkeypatch):
    """The next step is split on a thread of its own while one decodes: the
    steps come in order, an error of the splitting is raised where its step
    would have come, and a decode that stops early stops the splitting, even
    while its error (and so its frames) is kept."""
    import threading

    from bitloom_io import _decode
    from bitloom_io._decode import split_ahead

    def splitting():
        return any(t.name == "bitloom-io split" for t in threading.enumerate())

    made = []

    def steps(fail_at=None):
        for k in range(50):
            if k == fail_at:
                raise OSError("the file went away")
            made.append(k)
            yield k

    bitloom_io.set_threads(threads)
    try:
        assert list(split_ahead(steps())) == list(range(50))
        got = []
        with pytest.raises(OSError, match="the file went away"):
            for k in split_ahead(steps(fail_at=7)):
                got.append(k)
        assert got == list(range(7))
        made.clear()
        ahead = split_ahead(steps())
        assert next(ahead) == 0
        ahead.close()
        assert len(made) <= 3 and not splitting()
        monkeypatch.setattr(_decode, "COUNTED_BYTES", 0)

        def full(tables):
            raise OSError("disk full")

        with pytest.raises(OSError) as kept:
            _decode.decode_in_steps(STREAM * 50, {10: Layout(HK), 20: Layout(EV)}, step_bytes=40, sink=full)
        assert kept.value.__traceback__ is not None and not splitting()
    finally:
        bitloom_io.set_threads(None)


def test_prefix_bytes():
    stream = b"".join(b"\x00\x00\x00\x0b" + p for p in [hk(0, 1, 1), hk(1, 2, 2)])
    tables = bitloom_io.decode(stream, {10: Layout(HK)}, prefix_bytes=4)
    assert tables["apid10"]["mode"].tolist() == [1, 2]


@pytest.mark.parametrize(
    "layouts, error",
    [
        ({2048: None}, "APIDs"),
        ({"hk": None}, "APIDs"),
        ({10: "not a layout"}, "Layout or Select"),
    ],
)
def test_bad_layouts_refused(layouts, error):
    with pytest.raises((ValueError, TypeError), match=error):
        bitloom_io.decode(STREAM, layouts)


def test_file_outputs(tmp_path):
    tables = bitloom_io.decode(STREAM, {10: Layout(HK), 20: Layout(EV)})
    t = tables["apid20"]
    t.to_csv(tmp_path / "ev.csv")
    lines = (tmp_path / "ev.csv").read_text().splitlines()
    assert lines[0].endswith("kind,code,text")
    assert lines[2].endswith("2,8,WXYZ")
    assert os.listdir(tmp_path) == ["ev.csv"]
    pytest.importorskip("pyarrow")
    t.to_parquet(tmp_path / "ev.parquet")
    import pyarrow.parquet as pq

    back = pq.read_table(tmp_path / "ev.parquet")
    assert back.column("text").to_pylist() == ["ABCD", "WXYZ"]
    assert back.column("CCSDS_APID").to_pylist() == [20, 20]
    assert sorted(os.listdir(tmp_path)) == ["ev.csv", "ev.parquet"]
    pd = pytest.importorskip("pandas")
    df = tables["apid10"].to_pandas()
    assert isinstance(df, pd.DataFrame) and df["temp"].tolist() == [-5, 300, 0]


def test_interrupted_write_leaves_no_file(tmp_path, monkeypatch):
    tables = bitloom_io.decode(STREAM, {10: Layout(HK)})
    t = tables["apid10"]
    (tmp_path / "old.csv").write_text("previous contents")

    class Boom(Exception):
        pass

    def fail(*a, **kw):
        raise Boom

    monkeypatch.setattr("csv.writer", lambda f: type("W", (), {"writerow": fail, "writerows": fail})())
    with pytest.raises(Boom):
        t.to_csv(tmp_path / "new.csv")
    with pytest.raises(Boom):
        t.to_csv(tmp_path / "old.csv")
    assert os.listdir(tmp_path) == ["old.csv"]
    assert (tmp_path / "old.csv").read_text() == "previous contents"


def test_missing_table_libraries_name_the_extra(monkeypatch):
    import builtins

    real_import = builtins.__import__

    def no_tables(name, *a, **kw):
        if name.split(".")[0] in ("pandas", "pyarrow"):
            raise ImportError(name)
        return real_import(name, *a, **kw)

    t = bitloom_io.decode(STREAM, {10: Layout(HK)})["apid10"]
    monkeypatch.setattr(builtins, "__import__", no_tables)
    for method in (t.to_pandas, t.to_arrow):
        with pytest.raises(
            ImportError,
            match=r'pip install "bitloom-packets\[tables\]" \(from a checkout: pip install "\.\[tables\]"\)',
        ):
            method()


# Layout files.
def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_json_layout_forms(tmp_path):
    plain = write(tmp_path, "hk.json", json.dumps(HK))
    assert list(bitloom_io.load_layouts(plain)) == ["*"]
    mapping = write(
        tmp_path,
        "all.json",
        json.dumps(
            {
                "10": HK,
                "20": {"recipe": EV, "exact": True},
                "5": {
                    "select": item("ID", offset_bits=48),
                    "layouts": {"1": [item("a", offset_bits=56)]},
                    "names": {"1": "ones"},
                },
            }
        ),
    )
    layouts = bitloom_io.load_layouts(mapping)
    assert sorted(layouts, key=str) == [10, 20, 5]
    tables = quiet(bitloom_io.decode, STREAM + SELECT_STREAM, layouts)
    assert sorted(tables) == ["apid10", "apid20", "ones"]
    assert tables["ones"]["a"].tolist() == [0, 2, 5]
    assert tables["apid10"]["temp"].tolist() == [-5, 300, 0]


@pytest.mark.parametrize(
    "name, text, error",
    [
        ("a.json", '{"x": []}', "keys are APIDs"),
        ("a.json", '{"4096": []}', r"a.json:1:2: APID 4096: keys are APIDs \(0-2047\)"),
        ("a.json", '{"11": [], "011": []}', "a second entry for APID 11"),
        ("a.json", '{"11": [}', r"a.json:1:9: not JSON"),
        (
            "a.json",
            '{"11": [{"name": "V", "encoding": "unsinged", "bits": 8, "byte_order": "big", "reverse_bits": false}]}',
            r"a.json:1:9: APID 11: item 0 'V': Unsupported encoding type: unsinged \(check: .*did you mean 'unsigned'\?\)",
        ),
        (
            "a.json",
            '{\n "11": [\n  {"name": "A", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": false},\n'
            '  {"name": "B", "encoding": "unsigned", "bits": 8, "byte_order": "middle", "reverse_bits": false}]}',
            r"a.json:4:3: APID 11: item 1 'B': ",
        ),
        # As the reference shows it.
        (
            "jpss.json",
            '{\n  "11": [\n    {"name": "DOY", "encoding": "unsinged", "bits": 16, "offset_bits": 48,\n'
            '     "byte_order": "big", "reverse_bits": false}\n  ]\n}\n',
            r"^.*/jpss.json:3:5: APID 11: item 0 'DOY': Unsupported encoding type: unsinged \(check: encoding "
            r"'unsinged' is known to neither direction; did you mean 'unsigned'\?\)$",
        ),
        ("a.json", '{"1": 5}', "expected a recipe"),
        ("a.json", '"text"', "expected a recipe or an object"),
        ("a.yaml", "[]", "no layout reader for '.yaml'"),
        ("a.csv", "name,bits\nx,8\n", "missing columns"),
        ("a.csv", "name,data_type,bit_length\nx,complex,8\n", "line 2: data type 'complex'"),
        ("a.csv", "name,data_type,bit_length\nx,float,24\n", "16, 32 or 64 bits"),
    ],
)
def test_bad_layout_files(tmp_path, name, text, error):
    with pytest.raises(ValueError, match=error):
        bitloom_io.load_layouts(write(tmp_path, name, text))


def test_ccsdspy_csv(tmp_path):
    path = write(
        tmp_path,
        "d.csv",
        "name, data_type, bit_length, bit_offset, byte_order\n"
        "A,uint,3,,\nB,int,5,,\nPAD,fill,8,,\nC,float,32,,little\nD,str,16,,\nE,uint,4,112,\n",
    )
    recipe = bitloom_io.read_ccsdspy_csv(path)
    assert [(r["name"], r["encoding"], r["bits"], r["offset_bits"], r["byte_order"]) for r in recipe] == [
        ("A", "unsigned", 3, 48, "big"),
        ("B", "twos_complement", 5, 51, "big"),
        ("C", "ieee754_f32", 32, 64, "little"),
        ("D", "iso_8859_1", 16, 96, "big"),
        ("E", "unsigned", 4, 112, "big"),
    ]
    data = bytes([0b101_11110, 0xFF]) + struct.pack("<f", 1.5) + b"hi" + bytes([0xA0])
    tables = bitloom_io.decode(packet(apid=1, data=data), bitloom_io.load_layouts(path))
    row = {k: v[0].item() if hasattr(v[0], "item") else v[0] for k, v in tables["apid1"].columns.items()}
    assert (row["A"], row["B"], row["C"], row["D"], row["E"]) == (5, -2, 1.5, "hi", 0xA)


@pytest.mark.parametrize("head", [b"", b"HEAD"])
def test_mapped_files_decode_as_bytes_do(tmp_path, monkeypatch, head):
    from bitloom_io import _sources

    # Map every file, however small.
    monkeypatch.setattr(_sources, "_MAP_FROM_BYTES", 0)
    packets = [hk(i % 16384, i % 256, i - 1500) for i in range(3000)]
    packets[1234] = packet(apid=10, count=1234, data=b"\x01")  # too short for the layout
    stream = b"".join(packets) + ev(0, 1, 2)
    path = tmp_path / "s.bin"
    path.write_bytes(head + stream)
    layouts = {10: Layout(HK), 20: Layout(EV)}
    expected = quiet(bitloom_io.decode, stream, layouts)
    with open(path, "rb") as f:
        f.read(len(head))
        got = quiet(bitloom_io.decode, f if head else path, layouts)
    assert got.report.failed[0].offsets == expected.report.failed[0].offsets == (1234 * 9,)
    for name in expected:
        for column in expected[name].columns:
            assert got[name][column].tolist() == expected[name][column].tolist(), (name, column)
    assert len(got["apid10"]) == 2999


# The primary header's sub-byte fields as a layout file gives them: exact
# bits unless the file asks for byte windows.
HEADER = [
    item("VERSION", 3, offset_bits=0),
    item("TYPE", 1),
    item("SEC", 1),
    item("APID", 11),
    item("FLAGS", 2),
    item("COUNT", 14),
]


@pytest.mark.parametrize(
    "document, exact, apid, flags",
    [
        ({"10": HEADER}, True, [10, 10, 10], [3, 3, 3]),
        ({"10": {"recipe": HEADER}}, True, [10, 10, 10], [3, 3, 3]),
        ({"exact": True, "layouts": {"10": HEADER}}, True, [10, 10, 10], [3, 3, 3]),
        # Byte windows, as unpack_parameters reads (None: as it gives).
        ({"10": {"recipe": HEADER, "exact": False}}, False, [10, 10, 10], None),
        ({"exact": False, "layouts": {"10": HEADER}}, False, [10, 10, 10], None),
    ],
)
def test_layout_files_read_exact_bits_unless_asked(tmp_path, document, exact, apid, flags):
    layouts = bitloom_io.load_layouts(write(tmp_path, "h.json", json.dumps(document)))
    assert layouts[10].exact is exact
    table = quiet(bitloom_io.decode, STREAM, layouts)["apid10"]
    if flags is None:
        window = bitloom.unpack_parameters(STREAM[:9], 0, HEADER)["FLAGS"]
        assert window != 3
        flags = [window] * 3
    assert table["APID"].tolist() == apid and table["FLAGS"].tolist() == flags
    assert table["COUNT"].tolist() == table["CCSDS_SEQUENCE_COUNT"].tolist()


# ---------------------------------------------------------------------------
# Ragged columns: one list of values per row, kept flat.

_rows = st.lists(st.one_of(st.none(), st.lists(st.integers(0, 2**16 - 1), max_size=5)), max_size=12)


@settings(max_examples=60, deadline=None)
@given(rows=_rows, more=_rows, data=st.data())
def test_ragged_columns_behave_as_their_list_of_rows(rows, more, data):
    from bitloom_io._ragged import concatenate

    column = bitloom_io.Ragged.from_rows([None if r is None else np.array(r, np.uint16) for r in rows], np.uint16)
    assert len(column) == len(rows) and column.tolist() == rows and column.values.dtype == np.uint16
    assert [None if r is np.ma.masked else r.tolist() for r in column] == rows
    pick = data.draw(st.lists(st.integers(0, max(len(rows) - 1, 0)), max_size=8) if rows else st.just([]))
    assert column.take(np.array(pick, dtype=np.int64)).tolist() == column[pick].tolist() == [rows[k] for k in pick]
    keep = np.array(data.draw(st.lists(st.booleans(), min_size=len(rows), max_size=len(rows))), bool)
    assert column[keep].tolist() == [r for r, k in zip(rows, keep) if k]
    start, stop = sorted(data.draw(st.lists(st.integers(-3, len(rows) + 2), min_size=2, max_size=2)))
    assert column[start:stop].tolist() == rows[start:stop] and column[::2].tolist() == rows[::2]
    other = bitloom_io.Ragged.from_rows([None if r is None else np.array(r, np.uint16) for r in more], np.uint16)
    joined = concatenate([column[start:stop], other])
    assert joined.tolist() == rows[start:stop] + more and joined.values.dtype == np.uint16
    doubled = column.map(lambda flat: flat.astype(np.int64) * 2)
    assert doubled.tolist() == [None if r is None else [2 * v for v in r] for r in rows]
    assert [list(r) for r in np.asarray(column)] == [r or [] for r in rows]
    pa = pytest.importorskip("pyarrow")
    arrow = bitloom_io.Table("t", {"x": column[start:stop]}).to_arrow().column("x")
    assert arrow.type == pa.list_(pa.uint16()) and arrow.to_pylist() == rows[start:stop]


@pytest.mark.parametrize(
    "column",
    [
        *(np.array([0, 1, np.iinfo(t).max], dtype=t) for t in ("u1", "i1", "u2", "i2", "u4", "i4", "u8", "i8")),
        *(np.array([-0.0, np.nan, np.inf, 1.5], dtype=t) for t in ("f2", "f4", "f8")),
        np.array([True, False] * 9),
        np.array(["2016-12-31T23:59:59.999999999", "NaT", "1958-01-01"], dtype="M8[ns]"),
        np.arange(20, dtype=np.uint16)[::3],  # not contiguous
        np.zeros(0, dtype=np.int32),
        np.array(["", "é", "日本語", "a\x00b", "😀"], dtype=np.dtypes.StringDType()),
    ],
    ids=lambda c: str(c.dtype) + ("" if c.flags.c_contiguous else " strided"),
)
def test_columns_reach_arrow_as_pyarrow_reads_them(column):
    pa = pytest.importorskip("pyarrow")
    arrow = bitloom_io.Table("t", {"x": column}).to_arrow().column("x").combine_chunks()
    expected = pa.array(column.astype(object) if column.dtype.kind == "T" else column)
    assert arrow.type == expected.type and arrow.null_count == expected.null_count
    assert str(arrow.to_pylist()) == str(expected.to_pylist())  # NaN compared as text


@pytest.mark.parametrize(
    ("values", "offsets", "mask", "error"),
    [
        (np.zeros((2, 2)), [0, 4], None, "values must be one-dimensional"),
        (np.zeros(3), [], None, "offsets must be a non-empty"),
        (np.zeros(3), [0.0, 1.0], None, "offsets must be a non-empty"),
        (np.zeros(3), [0, 4], None, "at most len"),
        (np.zeros(3), [-1, 2], None, "rise from 0"),
        (np.zeros(3), [0, 2, 1], None, "rise from 0"),
        (np.zeros(3), [0, 1, 3], [True], "one value per row"),
        (np.zeros(3), [0, 1, 3], [True, False], "a masked row must be empty"),
    ],
)
def test_ragged_columns_refuse_inconsistent_parts(values, offsets, mask, error):
    with pytest.raises(ValueError, match=error):
        bitloom_io.Ragged(values, np.asarray(offsets), mask)


def test_ragged_columns_reach_pandas_and_the_native_copies_stay_in_bounds():
    from bitloom_io import _native

    column = bitloom_io.Ragged.from_rows([np.arange(3, dtype=np.int16), None, np.zeros(0, np.int16)])
    assert column[1] is np.ma.masked and column.with_mask(np.array([True, False, False])).tolist() == [None, None, []]
    with pytest.raises(IndexError, match="out of range"):
        column[3]
    pd = pytest.importorskip("pandas")
    frame = bitloom_io.Table("t", {"x": column}).to_pandas()
    assert isinstance(frame, pd.DataFrame) and frame["x"][0].tolist() == [0, 1, 2] and frame["x"][1] is None
    out = np.zeros(6, np.uint16)
    columns = [np.arange(2, dtype=np.uint16), np.arange(2, dtype=np.uint16) + 10]
    _native._interleave_rows(columns, out, np.array([0, 3]))
    assert out.tolist() == [0, 10, 0, 1, 11, 0]
    buffer = bytes(range(16))
    _native._gather_values(buffer, np.array([1, 9]), 2, 3, True, out, np.array([4, 0]))
    assert out.tolist() == [0x090A, 0x0C0D, 0, 1, 0x0102, 0x0405]
    refusals = [
        (lambda: _native._interleave_rows(columns, out, np.array([0, 5])), IndexError, "do not fit in out"),
        (lambda: _native._interleave_rows(columns, out, np.array([-1, 0])), IndexError, "do not fit in out"),
        (lambda: _native._interleave_rows([columns[0][:1]], out, np.array([0, 1])), ValueError, "one value"),
        (lambda: _native._interleave_rows([columns[0].astype(np.int16)], out, np.array([0, 1])), ValueError, "dtype"),
        (lambda: _native._interleave_rows(columns, out[::2], np.array([0, 1])), ValueError, "contiguous"),
        (lambda: _native._interleave_rows([], np.zeros(2, object), []), TypeError, "object references"),
        (lambda: _native._gather_values(buffer, np.array([15]), 2, 2, False, out, [0]), IndexError, "outside"),
        (lambda: _native._gather_values(buffer, np.array([-1]), 1, 2, False, out, [0]), IndexError, "outside"),
        (lambda: _native._gather_values(buffer, np.array([0]), 2**40, 2**40, False, out, [0]), IndexError, "fit"),
        (lambda: _native._gather_values(buffer, np.array([0]), 3, 2, False, out, [4]), IndexError, "fit in out"),
        (lambda: _native._gather_values(buffer, np.array([0]), 1, 1, False, out, [0]), ValueError, "stride"),
        (lambda: _native._gather_values(buffer, np.array([0, 1]), 1, 2, False, out, [0]), ValueError, "one value"),
    ]
    for call, kind, message in refusals:
        with pytest.raises(kind, match=message):
            call()
    assert out.tolist() == [0x090A, 0x0C0D, 0, 1, 0x0102, 0x0405]  # nothing written by a refused call
