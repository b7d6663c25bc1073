"""Tables into the libraries users analyse with (Arrow/Parquet metadata,
polars, xarray, pandas time index), the report page (checked in a real
headless Chromium) and plots."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
import bitloom_io  # noqa: E402
from bitloom_io import Table, _quicklook, xtce  # noqa: E402
from bitloom_io.cli import main  # noqa: E402

import browser  # noqa: E402
from test_xtce import BENDS_PACKETS, DATA, decode as xtce_decode  # noqa: E402

CTIM = Path(__file__).parent / "data" / "realdata" / "ctim"
CTIM_FILE = CTIM / "ccsds_2021_155_14_39_51"
CTIM_XTCE = CTIM / "ctim_xtce_v1.xml"


def timed_table(n=5):
    time = (np.datetime64("2024-01-01", "ns") + np.arange(n) * np.timedelta64(1, "s")).astype(
        np.dtype("M8[ns]", metadata={"scale": "utc"})
    )
    return Table(
        "hk",
        {
            "time": time,
            "V": np.arange(n, dtype=np.float64),
            "MODE": np.array([0, 1, 1, 2, 0][:n], np.uint8),
            "NAME": np.array(["a", "b", "c", "d", "e"][:n], dtype=np.dtypes.StringDType()),
            "BINS": np.arange(3 * n, dtype=np.int16).reshape(n, 3),
        },
        meta={
            "V": {"unit": "V", "description": "bus voltage"},
            "MODE": {"labels": {"0": "OFF", "1": "ON", "2": "SAFE"}},
        },
    )


def test_arrow_fields_carry_units_descriptions_labels_and_scale(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    table = timed_table()
    arrow = table.to_arrow()
    assert arrow.schema.field("V").metadata == {b"unit": b"V", b"description": b"bus voltage"}
    assert arrow.schema.field("MODE").metadata[b"labels"] == b'{"0": "OFF", "1": "ON", "2": "SAFE"}'
    assert (
        arrow.schema.field("time").metadata == {b"scale": b"utc"}
        and str(arrow.schema.field("time").type) == "timestamp[ns]"
    )
    assert arrow.column("BINS").to_pylist()[1] == [3, 4, 5]
    # Numeric columns are the numpy buffers themselves.
    assert arrow.column("V").chunks[0].buffers()[1].address == table["V"].ctypes.data
    table.to_parquet(tmp_path / "hk.parquet")
    back = pq.read_table(tmp_path / "hk.parquet")
    assert back.schema.field("V").metadata == arrow.schema.field("V").metadata
    assert back.schema.metadata[b"packet_type"] == b"hk"


def test_polars_and_xarray_and_pandas():
    table = timed_table()
    frame = table.to_pandas()
    assert frame.index.name == "time" and frame.index[1] == np.datetime64("2024-01-01T00:00:01")
    assert frame.attrs["meta"]["V"]["unit"] == "V" and frame["BINS"].iloc[1].tolist() == [3, 4, 5]
    pl = pytest.importorskip("polars")
    polars = table.to_polars()
    assert polars["MODE"].to_list() == [0, 1, 1, 2, 0] and polars.schema["time"] == pl.Datetime("ns")
    pytest.importorskip("xarray")
    dataset = table.to_xarray()
    assert dataset["V"].dims == ("packet",) and dataset["BINS"].dims == ("packet", "BINS_dim1")
    assert "time" in dataset.coords and dataset["V"].attrs["unit"] == "V"
    assert np.shares_memory(dataset["V"].values, table["V"])


@pytest.mark.parametrize(
    "method, module, extra",
    [("to_polars", "polars", "polars"), ("to_xarray", "xarray", "xarray"), ("plot", "matplotlib", "plot")],
)
def test_a_missing_library_names_its_extra(monkeypatch, method, module, extra):
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=re.escape(f'pip install "bitloom-packets[{extra}]"')):
        getattr(timed_table(), method)()


def test_describe_copies_units_descriptions_and_kinds_from_xtce():
    definition = xtce.load(DATA / "bends.xml")
    tables = bitloom_io.describe(xtce_decode(definition, BENDS_PACKETS), definition)
    doubled = tables["Doubled"]
    assert doubled.meta["TIME"] == {"description": "Seconds since the epoch", "kind": "absolute_time"}
    assert doubled.meta["CAL"]["unit"] == doubled.meta["CAL_eng"]["unit"] == "V"
    assert doubled.to_arrow().schema.field("CAL_eng").metadata[b"unit"] == b"V"


@pytest.mark.parametrize(
    "values, columns, expected",
    [
        # Two values per pixel column: the minimum row, then the maximum row.
        ([0, 10, 5, 5], [0, 0, 1, 1], (0.0, 10.0, "Ag.._g..")),
        ([1, 1], [0, 3], (1.0, 1.0, "f..ff..f")),
        ([np.nan, 2.0], [0, 1], (2.0, 2.0, ".f...f..")),
        ([np.nan], [0], None),
    ],
)
def test_series_reduce_to_min_and_max_per_pixel_column(values, columns, expected):
    order = np.arange(len(values))
    assert _quicklook.reduce_series(np.array(values, float), order, np.array(columns), width=4, height=64) == expected


@pytest.fixture(scope="module")
def ctim_decoded():
    return _quicklook.decode_for_report(str(CTIM_FILE), str(CTIM_XTCE))[0], xtce.load(CTIM_XTCE)


def _fresh(tables):
    return {name: Table(name, dict(t.columns), t.meta) for name, t in tables.items()}


# --time and the packet time it gives, against whole seconds of SHCOARSE from J2000.
NS_PER_S = 10**9
REPORT_TIMES = [
    ("SHCOARSE=j2000", lambda c: np.zeros(len(c["SHFINE"]), np.int64)),
    ("SHCOARSE+SHFINE=j2000", lambda c: c["SHFINE"].astype(np.int64) * NS_PER_S // 65536),
    ("SHCOARSE+SHFINE*1e-6=j2000", lambda c: c["SHFINE"].astype(np.int64) * 1000),
    ("SHCOARSE+SHFINE*2^-8=j2000", None),
    ("SHCOARSE+SHFINE*0.00390625=j2000", lambda c: c["SHFINE"].astype(np.int64) * NS_PER_S // 256),
    ("SHCOARSE+SHFINE*1e-10=j2000", lambda c: np.round(c["SHFINE"] * 0.1).astype(np.int64)),
    ("NOPE+SHFINE", "no time"),
]


@pytest.mark.parametrize("text, fraction", REPORT_TIMES)
def test_report_time_from_seconds_and_their_fractions(ctim_decoded, text, fraction):
    tables, definition = ctim_decoded
    whole = _fresh(tables)
    _quicklook._time_from_field(whole, "SHCOARSE=j2000", definition)
    timed = _fresh(tables)
    if fraction is None:
        with pytest.raises(ValueError):
            _quicklook._time_from_field(timed, text, definition)
        return
    _quicklook._time_from_field(timed, text, definition)
    for name, table in timed.items():
        if fraction == "no time":
            assert "time" not in table.columns
            continue
        got = table["time"].astype(np.int64) - whole[name]["time"].astype(np.int64)
        assert got.tolist() == np.asarray(fraction(table.columns)).tolist(), name
        assert table.meta["time"]["scale"] == "utc" and table.meta["time"]["source"] in text


def test_report_time_from_an_xtce_time_parameter():
    definition = xtce.load(DATA / "bends.xml")
    tables = xtce_decode(definition, BENDS_PACKETS)
    _quicklook._time_from_field(tables, "TIME", definition)
    doubled = tables["Doubled"]
    assert (doubled["time"] == doubled["TIME_eng"]).all() and doubled.meta["time"]["source"] == "TIME_eng"


@pytest.fixture(scope="module")
def ctim_report(tmp_path_factory):
    out = tmp_path_factory.mktemp("report") / "ctim.html"
    assert (
        main(
            [
                "report",
                str(CTIM_FILE),
                "--definition",
                str(CTIM_XTCE),
                "--time",
                "SHCOARSE=j2000",
                "--out",
                str(out),
                "-q",
            ]
        )
        == 0
    )
    return out


def test_report_page_is_self_contained_and_complete(ctim_report):
    page = ctim_report.read_text(encoding="utf-8")
    assert os.path.getsize(ctim_report) <= 10 * 1024 * 1024
    # Nothing that would fetch: no remote URLs in attributes, no external scripts or styles.
    assert not re.search(r"""(src|href)\s*=\s*['"](?!#|data:)""", page)
    assert "<script src" not in page and "@import" not in page
    assert page.count("<section class='ptype'") == 9 and "1,499 packets of 9 APIDs" in page
    assert "<td>20</td><td>6</td><td>4</td><td>39</td>" in page and "APID_41_Packet (1,147)" in page
    assert "sequence counts: APID 20: 4 gaps (39 packets missing)" in page
    assert page.count("<tr><td class='l'>APID_41_Packet</td>") == 1003 + 1  # and the packet time
    assert "Bit diagram of APID_1_Packet" in page and "SHCOARSE" in page
    assert "time between packets: typically 1.000 s, largest gap" in page


@pytest.mark.skipif(browser.find_chromium() is None, reason="no Chromium (make test installs it)")
def test_report_in_headless_chromium(ctim_report, tmp_path):
    b = browser.Browser(browser.find_chromium())
    try:
        session = b.open(ctim_report.as_uri())
        drawn = b.evaluate(session, "+document.body.getAttribute('data-plots-drawn')")
        sections = b.evaluate(session, "document.querySelectorAll('section.ptype').length")
        paths = b.evaluate(session, "document.querySelectorAll('section.ptype svg path.line').length")
        empty = b.evaluate(
            session,
            "[...document.querySelectorAll('section.ptype')]"
            ".filter(s => !s.querySelector('svg path.line')).map(s => s.id)",
        )
        assert sections == 9 and drawn == paths > 3000 and empty == []
        diagrams = b.evaluate(
            session,
            "[...document.querySelectorAll('details.layout pre')].filter(p => p.textContent.includes('+-+')).length",
        )
        assert diagrams == 9
        shot = b.screenshot(session)
        (tmp_path / "report.png").write_bytes(shot)
        assert browser.png_ink(shot) > 0.01
        total = b.evaluate(session, "document.querySelectorAll('#params tbody tr').length")
        shown = b.evaluate(
            session,
            """(() => {const box = document.getElementById('search');
            box.value = 'biasStatus'; box.dispatchEvent(new Event('input'));
            return [...document.querySelectorAll('#params tbody tr')].filter(r => r.style.display !== 'none').length})()""",
        )
        label = b.evaluate(session, "document.getElementById('count').textContent")
        assert 0 < shown < total and label == f"{shown} of {total} parameters"
        assert b.problems() == []
        assert b.requests() == [ctim_report.as_uri()]
    finally:
        b.close()


def test_plot_command_and_table_plot(tmp_path):
    pytest.importorskip("matplotlib")
    for suffix in ("png", "svg", "html"):
        out = tmp_path / f"p.{suffix}"
        assert (
            main(
                [
                    "plot",
                    str(CTIM_FILE),
                    "-d",
                    str(CTIM_XTCE),
                    "--time",
                    "SHCOARSE+SHFINE=j2000",
                    "--param",
                    "SHFINE,img_state",
                    "-o",
                    str(out),
                    "-q",
                ]
            )
            == 0
        )
        data = out.read_bytes()
        assert data[:4] == b"\x89PNG" if suffix == "png" else b"<svg" in data[:2000]
    assert main(["plot", str(CTIM_FILE), "-d", str(CTIM_XTCE), "--param", "NOPE", "-o", str(tmp_path / "x.png")]) == 1
    figure = timed_table().plot("V,MODE")
    assert [ax.get_ylabel() for ax in figure.axes] == ["V\n[V]", "MODE"]
    assert [t.get_text() for t in figure.axes[1].get_yticklabels()] == ["OFF", "ON", "SAFE"]
    with pytest.raises(ValueError, match=r"\.png, \.svg or \.html"):
        timed_table().plot("V", out=tmp_path / "p.jpg")
    # A list of values per packet: every value a point at its packet's place.
    ragged = bitloom_io.Ragged.from_rows([np.array([1, 2]), None, np.array([5])])
    table = bitloom_io.Table(
        "R", {"R": ragged, "S": bitloom_io.Ragged.from_rows([["a"], [], []], np.dtypes.StringDType())}
    )
    (line,) = table.plot("R").axes[0].get_lines()
    assert line.get_xdata().tolist() == [0, 0, 2] and line.get_ydata().tolist() == [1, 2, 5]
    with pytest.raises(ValueError, match="'S' holds StringDType"):
        table.plot("S")


def test_report_from_a_layout_file_without_packet_time(tmp_path):
    jpss = Path(__file__).parent / "data" / "realdata" / "jpss"
    out = tmp_path / "r.html"
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "bitloom_io",
            "report",
            str(jpss / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"),
            "-d",
            str(jpss / "ccsdspy_jpss1_geolocation.csv"),
            "-o",
            str(out),
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    assert "1 packet types" in result.stdout
    page = out.read_text()
    assert "(no packet time: plotted by packet order)" in page and "7,200 packets of 1 APIDs" in page
