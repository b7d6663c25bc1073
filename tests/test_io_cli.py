"""The bitloom-io command line, run as a user runs it: a subprocess, from
another directory, its output and exit status checked."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import bitloom_io

from bitloom_io import _chunks  # noqa: E402
from recipes import field as item  # noqa: E402

try:
    import pyarrow  # noqa: F401
except ImportError:
    pyarrow = None
needs_tables = pytest.mark.skipif(pyarrow is None, reason="needs the tables extra (pandas, pyarrow)")

DATA = Path(__file__).resolve().parent / "data" / "realdata"
JPSS = DATA / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
JPSS_CSV = DATA / "jpss" / "ccsdspy_jpss1_geolocation.csv"
CTIM = DATA / "ctim" / "ccsds_2021_155_14_39_51"


def run(*args: object, cwd: Path, check: int | None = 0) -> subprocess.CompletedProcess[str]:
    result = subprocess.run(
        [sys.executable, "-m", "bitloom_io", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
    )
    if check is not None:
        assert result.returncode == check, result.stderr + result.stdout
    return result


def packet(apid: int, count: int, body: bytes) -> bytes:
    header = (apid & 0x7FF) | (1 << 11)  # secondary-header flag set
    return (
        header.to_bytes(2, "big")
        + ((0b11 << 14) | (count & 0x3FFF)).to_bytes(2, "big")
        + (len(body) - 1).to_bytes(2, "big")
        + body
    )


@pytest.fixture
def jpss_layouts(tmp_path):
    path = tmp_path / "jpss.json"
    path.write_text(json.dumps({"11": {"recipe": bitloom_io.read_ccsdspy_csv(JPSS_CSV), "exact": True}}))
    return path


@pytest.mark.parametrize("command", [[], ["info"], ["decode"], ["check"], ["show"]])
def test_help(command, tmp_path):
    result = run(*command, "--help", cwd=tmp_path)
    assert result.stdout.startswith("usage: bitloom-io")
    assert result.stderr == ""


def test_help_and_version_load_no_heavy_module(tmp_path):
    # Start-up is what a user waits for at every --help: numpy, pyarrow,
    # pandas and the native module stay unloaded until a command needs them.
    code = (
        "import sys\nfrom bitloom_io.cli import main\n"
        "for argv in (['--help'], ['decode', '--help'], ['report', '--help'], ['--version']):\n"
        "    try:\n        main(argv)\n    except SystemExit:\n        pass\n"
        "heavy = ('numpy', 'pyarrow', 'pandas', 'bitloom_io._native')\n"
        "print(sorted(m for m in heavy if m in sys.modules), file=sys.stderr)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert result.stderr.strip() == "[]", result.stderr


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("bitloom-io")
    if not script.exists():
        pytest.skip("the package is not installed with its scripts here")
    result = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "decode" in result.stdout


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["info"], 2, "the following arguments are required: FILE"),
        (["info", "missing.dat"], 1, "missing.dat"),
        (["decode", "JPSS", "--out", "o"], 1, "give exactly one of --layouts and --xtce"),
        (["decode", "JPSS", "--layouts", "L", "--xtce", "L", "--out", "o"], 1, "exactly one"),
        (
            ["decode", "JPSS", "--layouts", "nowhere.json", "--out", "o", "--format", "csv"],
            1,
            "nowhere.json: no such file",
        ),
        (["decode", "JPSS", "--layouts", "L", "--out", "o", "--format", "xlsx"], 2, "invalid choice"),
        (["info", "JPSS", "--prefix-bytes", "-1"], 2, "must be 0 or more"),
        (["show", "L", "apid99"], 1, "no layout named 'apid99' (the file has: apid11)"),
        (["show", "L", "--bits-per-row", "0"], 2, "between 1 and 128"),
        (["nonsense"], 2, "invalid choice"),
        # A definition file's error: one line naming the file, the place, the item and check's advice.
        (
            ["decode", "JPSS", "--layouts", "bad.json", "--out", "o"],
            1,
            "bitloom-io: error: bad.json:1:9: APID 11: item 0 'V': Unsupported encoding type: unsinged "
            "(check: encoding 'unsinged' is known to neither direction; did you mean 'unsigned'?)\n",
        ),
        (["check", "bad.json"], 1, "bitloom-io: error: bad.json:1:9: APID 11: item 0 'V': "),
        (["show", "missing.xml"], 1, "bitloom-io: error: missing.xml: no such file\n"),
        (["check", "missing.csv"], 1, "bitloom-io: error: missing.csv: no such file\n"),
    ],
)
def test_usage_and_failures(args, status, message, tmp_path, jpss_layouts):
    bad = [item("V", 8, "unsinged")]
    (tmp_path / "bad.json").write_text(json.dumps({"11": bad}).replace(", ", ","))
    args = [str(JPSS) if a == "JPSS" else str(jpss_layouts) if a == "L" else a for a in args]
    result = run(*args, cwd=tmp_path, check=status)
    assert message in result.stderr
    assert "Traceback" not in result.stderr and "Error: ValueError" not in result.stderr


def test_info_real_files(tmp_path):
    out = run("info", JPSS, cwd=tmp_path).stdout
    assert "511,200 bytes, 7,200 packets of 1 APID" in out
    assert "every byte is in a whole packet" in out
    info = json.loads(run("info", CTIM, "--json", cwd=tmp_path).stdout)
    assert info["packets"] == 1499 and info["file_bytes"] == CTIM.stat().st_size
    by_apid = {a["apid"]: a for a in info["apids"]}
    assert sum(a["packets"] for a in by_apid.values()) == 1499
    assert sum(a["bytes"] for a in by_apid.values()) == info["packet_bytes"]
    # APID 20 skips counts: the span covers the missing packets as well.
    a20 = by_apid[20]
    assert a20["gaps"] > 0 and a20["count_span"] == a20["packets"] - a20["repeats"] + a20["missing"]


def test_info_reports_what_is_not_a_packet(tmp_path):
    good = [packet(5, n, bytes([n % 256]) * 10) for n in (16382, 16383, 0, 0, 3)]
    stream = b"".join(good) + packet(5, 4, bytes(20))[:12]
    (tmp_path / "cut.dat").write_bytes(stream)
    info = json.loads(run("info", "cut.dat", "--json", cwd=tmp_path).stdout)
    (a5,) = info["apids"]
    # The counter wraps from 16383 to 0; 0 twice is a repeat; 0 -> 3 skips two.
    assert (a5["packets"], a5["repeats"], a5["gaps"], a5["missing"]) == (5, 1, 1, 2)
    assert (a5["first_count"], a5["last_count"], a5["count_span"]) == (16382, 3, 6)
    assert [(p["kind"], p["offset"], p["length"]) for p in info["problems"]] == [("truncated", len(stream) - 12, 12)]
    text = run("info", "cut.dat", cwd=tmp_path).stdout
    assert "12 bytes are not whole packets" in text and f"offset {len(stream) - 12}" in text


@needs_tables
@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_decode_writes_what_decode_returns(fmt, tmp_path, jpss_layouts):
    result = run("decode", JPSS, "--layouts", jpss_layouts, "--out", "tables", "--format", fmt, cwd=tmp_path)
    target = tmp_path / "tables" / f"apid11.{fmt}"
    assert f"{target.relative_to(tmp_path)}  7,200 rows" in result.stdout
    assert result.stderr == ""  # piped: no progress line
    assert sorted(p.name for p in (tmp_path / "tables").iterdir()) == [target.name]
    expected = bitloom_io.decode(JPSS, bitloom_io.load_layouts(jpss_layouts))["apid11"].to_pandas()
    import pandas as pd

    got = pd.read_parquet(target) if fmt == "parquet" else pd.read_csv(target)
    assert list(got.columns) == list(expected.columns)
    if fmt == "parquet":
        pd.testing.assert_frame_equal(got, expected)
    else:
        pd.testing.assert_frame_equal(got, expected, check_dtype=False, rtol=1e-6)


@needs_tables
@pytest.mark.parametrize("split", ["whole", "in steps"])
@pytest.mark.parametrize("fmt", ["parquet", "csv"])
@pytest.mark.parametrize("source, definition", [(JPSS, JPSS_CSV), (CTIM, CTIM.parent / "ctim_xtce_v1.xml")])
def test_tables_written_step_by_step_equal_the_whole_decode(fmt, source, definition, split, tmp_path, monkeypatch):
    """The command line writes each step's tables as it decodes: in small
    steps, every file holds what the whole decode's table writes, whether
    the stream was split whole first or is split in steps too (as large
    files are)."""
    from bitloom_io import _decode
    from bitloom_io._writers import StreamedTables
    from bitloom_io.cli import decode_file

    if split == "in steps":
        monkeypatch.setattr(_decode, "COUNTED_BYTES", 0)
    loaded = bitloom_io.load_definition(definition)
    files = StreamedTables(fmt, lambda name: tmp_path / "steps" / f"{name}.{fmt}")
    empty = decode_file(str(source), loaded, chunk_bytes=20_000, sink=files.write)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        whole = bitloom_io.decode(source, loaded)
    assert all(len(t) == 0 for t in empty.values()) and empty.report == whole.report
    with_rows = {name: t for name, t in whole.items() if len(t)}
    assert files.rows == {name: len(t) for name, t in with_rows.items()}
    files.commit({name: tmp_path / f"{name}.{fmt}" for name in with_rows})
    assert not list((tmp_path / "steps").iterdir())  # the temporary files were renamed
    import pyarrow.parquet as pq

    for name, table in with_rows.items():
        got = tmp_path / f"{name}.{fmt}"
        if fmt == "csv":
            table.to_csv(tmp_path / "whole.csv")
            assert got.read_bytes() == (tmp_path / "whole.csv").read_bytes(), name
        else:
            stepped = pq.read_table(got)
            assert stepped.num_rows == len(table)
            if len(table) > 1000:  # written in row groups, one per step
                assert pq.ParquetFile(got).num_row_groups > 1
            assert stepped.equals(table.to_arrow(), check_metadata=True), name


@needs_tables
def test_a_write_that_fails_on_the_writer_thread_fails_the_decode(tmp_path):
    from bitloom_io._writers import StreamedTables

    def place(name):
        raise PermissionError(f"no place for {name}")

    tables = bitloom_io.decode(JPSS, bitloom_io.load_definition(JPSS_CSV))
    files = StreamedTables("parquet", place)
    files.write(tables)  # written on the writer thread meanwhile
    with pytest.raises(PermissionError, match="no place for apid11"):
        files.write(tables)
    files.abort()
    assert not list(tmp_path.iterdir())


@needs_tables
def test_decode_mixed_file_one_table_per_type(tmp_path):
    # Two of CTIM's APIDs through a layout file with a rule and a default.
    layouts = {
        "41": [item("FIRST", 16, offset_bits=48)],
        "*": [item("WORD", 8, offset_bits=48)],
    }
    (tmp_path / "ctim.json").write_text(json.dumps(layouts))
    run("decode", CTIM, "--layouts", "ctim.json", "--out", "t", "-q", cwd=tmp_path)
    names = sorted(p.name for p in (tmp_path / "t").iterdir())
    assert names == sorted(f"apid{a}.parquet" for a in (1, 20, 32, 33, 34, 39, 41, 42, 47))
    import pyarrow.parquet as pq

    assert sum(pq.read_metadata(tmp_path / "t" / n).num_rows for n in names) == 1499


def test_decode_warns_about_a_bad_stream_and_keeps_what_decodes(tmp_path):
    stream = b"".join(packet(7, n, bytes(8)) for n in range(4)) + b"\x00\x07\xc0"
    (tmp_path / "bad.dat").write_bytes(stream)
    (tmp_path / "l.json").write_text(json.dumps({"7": [item("X", 8, offset_bits=48)]}))
    result = run("decode", "bad.dat", "--layouts", "l.json", "--out", "t", "--format", "csv", cwd=tmp_path)
    assert "warning:" in result.stderr and "offset 56" in result.stderr
    assert "t/apid7.csv  4 rows" in result.stdout


def test_progress_only_on_a_terminal(tmp_path, jpss_layouts):
    pty = pytest.importorskip("pty")
    big = tmp_path / "big.dat"
    big.write_bytes(JPSS.read_bytes() * 10)  # above the 4 MiB threshold
    args = ["decode", str(big), "--layouts", str(jpss_layouts), "--out", "t", "-q", "--format", "csv"]
    assert "MB/s" not in run(*args, cwd=tmp_path).stderr
    # The same on a terminal: the line with packets and MB/s.
    primary, secondary = pty.openpty()
    with subprocess.Popen(
        [sys.executable, "-m", "bitloom_io", *args],
        cwd=tmp_path,
        stdin=secondary,
        stdout=secondary,
        stderr=secondary,
    ) as proc:
        os.close(secondary)
        output = b""
        while True:
            try:
                chunk = os.read(primary, 4096)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        assert proc.wait(timeout=120) == 0
    os.close(primary)
    text = output.decode()
    assert "72,000 packets" in text and "MB/s" in text and "100%" in text


def test_check_exit_status(tmp_path):
    (tmp_path / "ok.json").write_text(json.dumps({"3": [item("A", 8), item("B", 8)]}))
    result = run("check", "ok.json", cwd=tmp_path)
    assert result.stdout == "apid3: no findings\n"
    bad = {"3": [item("A", 16), item("B", 8, offset_bits=8), item("A", 8)], "4": [item("C", 8)]}
    (tmp_path / "bad.json").write_text(json.dumps(bad))
    result = run("check", "bad.json", cwd=tmp_path, check=1)
    lines = result.stdout.splitlines()
    assert lines[0].startswith("apid3: ") and "finding" in lines[0]
    assert any("'B'" in line for line in lines) and any("'A'" in line for line in lines[1:])
    assert "apid4: no findings" in result.stdout
    assert "apid4" not in run("check", "bad.json", "-q", cwd=tmp_path, check=1).stdout
    run("check", "bad.json", "4", cwd=tmp_path)  # one layout by its APID


def test_show_draws_each_layout(tmp_path, jpss_layouts):
    out = run("show", jpss_layouts, cwd=tmp_path).stdout
    layout = bitloom_io.load_layouts(jpss_layouts)[11]
    assert out == "apid11:\n" + layout.diagram() + "\n"
    assert "|                             MSEC                              |  64" in out
    narrow = run("show", jpss_layouts, "apid11", "--bits-per-row", "16", cwd=tmp_path).stdout
    assert narrow.splitlines()[0] == " 0                   1"


@pytest.mark.parametrize("piece", [71, 1000, 4096, 100_000])
def test_pieces_join_to_the_whole_file(piece):
    """The command line's progress path decodes in pieces cut at packet
    boundaries; joined, they equal one decode of the whole file."""
    layouts = {a: bitloom_io.Layout([item("W", 8, offset_bits=48)]) for a in (1, 20, 32, 41, 42, 47)}
    stream_warnings = (bitloom_io.StreamWarning, bitloom_io.SequenceWarning)
    with warnings.catch_warnings(record=True) as caught_whole:
        warnings.simplefilter("always")
        whole = bitloom_io.decode(CTIM, layouts)
    seen = []
    with warnings.catch_warnings(record=True) as caught_pieces:
        warnings.simplefilter("always")
        joined = _chunks.decode_in_pieces(
            CTIM,
            lambda s, **k: bitloom_io.decode(s, layouts, **k),
            chunk_bytes=piece,
            progress=lambda done, packets, final=False: seen.append(done),
        )
    # The stream's problems are told once, for the whole file, as by decode
    # (CTIM's APID 20 has gaps, which cuts between pieces would hide).
    messages = [
        [str(w.message) for w in c if issubclass(w.category, stream_warnings)] for c in (caught_whole, caught_pieces)
    ]
    assert messages[0] and messages[0] == messages[1]
    assert list(joined) == list(whole)
    for name in whole:
        for column, values in whole[name].columns.items():
            np.testing.assert_array_equal(joined[name][column], values, err_msg=f"{name}.{column}")
    assert seen == sorted(seen) and seen[-1] == CTIM.stat().st_size
    bounds = _chunks.piece_bounds(CTIM, piece)
    assert bounds[0][0] == 0 and bounds[-1][1] == CTIM.stat().st_size
    assert all(a < b == c for (a, b), (c, _) in zip(bounds, bounds[1:]))


def test_parquet_without_pyarrow_names_the_extra(tmp_path, jpss_layouts):
    # A stand-in for an environment without pyarrow: its import is blocked.
    code = (
        "import sys; sys.modules['pyarrow'] = None\n"
        "from bitloom_io.cli import main\n"
        f"sys.exit(main(['decode', {str(JPSS)!r}, '--layouts', {str(jpss_layouts)!r}, '--out', 't']))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert result.returncode == 1
    assert (
        'pip install "bitloom-packets[tables]" (from a checkout: pip install ".[tables]")' in result.stderr
        and "--format csv" in result.stderr
    )
    assert not (tmp_path / "t").exists()


def _prefixed(tmp_path):
    # Every packet behind a 4-byte record header.
    body = JPSS.read_bytes()[: 71 * 200]
    records = b"".join(b"\xeb\x90\x00\x47" + body[i : i + 71] for i in range(0, len(body), 71))
    (tmp_path / "prefixed.dat").write_bytes(records)
    return "prefixed.dat"


def _clash(tmp_path):
    rule = {
        "select": item("ID", 1, offset_bits=48),
        "layouts": {"0": [item("A", 8, offset_bits=56)], "1": [item("B", 8, offset_bits=56)]},
        "names": {"0": "HK#1", "1": "HK@1"},
    }
    (tmp_path / "clash.json").write_text(json.dumps({"5": rule}))
    (tmp_path / "two.dat").write_bytes(packet(5, 0, b"\x00\x01") + packet(5, 1, b"\x80\x02"))
    return "two.dat"


def _own_name(tmp_path):
    # The input is called as its table will be, in the folder written to.
    (tmp_path / "apid11.csv").write_bytes(JPSS.read_bytes()[:710])
    return "apid11.csv"


@pytest.mark.parametrize(
    "make, args, status, out_lines, err_lines, files",
    [
        # Packets no packet type claims fail the run, unless accepted.
        (
            None,
            ["--layouts", "other.json"],
            1,
            [],
            [
                "7,200 packets no packet type claims (APID 11: 7,200)",
                "nothing written",
                "7,200 of 7,200 packets not decoded",
            ],
            [],
        ),
        (None, ["--layouts", "other.json", "--allow-undecoded"], 0, [], ["nothing written"], []),
        # Text is not packets: nothing decoded, the bytes reported.
        (
            lambda p: (p / "notes.txt").write_text("hello, these are not packets\n" * 20) and "notes.txt",
            ["--layouts", "L"],
            1,
            [],
            ["580 bytes of 580 are not whole packets (1 region)", "nothing written"],
            [],
        ),
        # Packets behind a record header: the prefix that fits is named.
        (_prefixed, ["--layouts", "L"], 1, [], ["try --prefix-bytes 4"], []),
        (_prefixed, ["--layouts", "L", "--prefix-bytes", "4"], 0, ["apid11.csv  200 rows"], [], ["apid11.csv"]),
        # --out with a file suffix: that file for one table, refused for more.
        (None, ["--layouts", "L", "--out", "one.csv"], 0, ["one.csv  7,200 rows"], [], ["one.csv"]),
        (
            None,
            ["--layouts", "L", "--out", "one.parquet", "--format", "csv"],
            1,
            [],
            ["is a .parquet file, but --format is csv"],
            [],
        ),
        (
            _clash,
            ["--layouts", "clash.json", "--out", "one.csv"],
            1,
            [],
            ["names one file, but there are 2 tables"],
            [],
        ),
        # Output that would lose data: two tables under one name, or the input overwritten.
        (_clash, ["--layouts", "clash.json"], 1, [], ["tables 'HK#1' and 'HK@1' would both be written to"], []),
        (
            _own_name,
            ["--layouts", "L", "--out", "."],
            1,
            [],
            ["apid11.csv is the input file apid11.csv: nothing was written"],
            ["apid11.csv"],
        ),
    ],
)
def test_decode_exit_status_and_refusals(make, args, status, out_lines, err_lines, files, tmp_path, jpss_layouts):
    (tmp_path / "other.json").write_text(json.dumps({"12": [item("X", 8, offset_bits=48)]}))
    source = make(tmp_path) if make else str(JPSS)
    args = [str(jpss_layouts) if a == "L" else a for a in args]
    if "--out" not in args:
        args += ["--out", "t"]
    if "--format" not in args and not any(a.endswith((".csv", ".parquet")) for a in args):
        args += ["--format", "csv"]
    result = run("decode", source, *args, cwd=tmp_path, check=status)
    for line in out_lines:
        assert line in result.stdout, result.stdout
    for line in err_lines:
        assert line in result.stderr, result.stderr
    assert "Traceback" not in result.stderr
    made = sorted(p.name for p in (tmp_path / "t").iterdir()) if (tmp_path / "t").exists() else []
    made += sorted(p.name for p in tmp_path.iterdir() if p.name in ("one.csv", "one.parquet", "apid11.csv"))
    assert made == files


def test_info_names_the_prefix_that_fits(tmp_path):
    text = run("info", _prefixed(tmp_path), cwd=tmp_path).stdout
    assert "the file looks like packets behind a 4-byte prefix: try --prefix-bytes 4" in text
    assert json.loads(run("info", "prefixed.dat", "--json", cwd=tmp_path).stdout)["prefix_hint"] == 4
    assert "prefix_hint" not in run("info", "prefixed.dat", "--prefix-bytes", "4", cwd=tmp_path).stdout


def test_version(tmp_path):
    from importlib.metadata import version

    result = run("--version", cwd=tmp_path)
    assert result.stdout.strip() == f"bitloom-io {version('bitloom-packets')}" == f"bitloom-io {bitloom_io.__version__}"


def dead_pid():
    """The id of a process that has ended."""
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


@pytest.mark.parametrize(
    "part, removed",
    [
        ("{host}-{dead}-abcdef012345", True),  # a killed run of this host
        ("{host}-{live}-abcdef012345", False),  # a run still writing
        ("otherhost-{dead}-abcdef012345", False),  # another host's: cannot tell
        ("{host}-notapid-abcdef012345", False),
    ],
)
def test_stale_part_files_of_the_target_are_removed(tmp_path, part, removed):
    from bitloom_io import _tables

    names = {"host": _tables._host(), "dead": dead_pid(), "live": os.getpid()}
    stale = tmp_path / f".apid11.csv.bitloom-{part.format(**names)}.part"
    other = tmp_path / f".apid12.csv.bitloom-{_tables._host()}-{names['dead']}-abcdef012345.part"
    stale.write_bytes(b"half a table")
    other.write_bytes(b"another target's")
    table = _tables.Table("apid11", {"X": np.arange(3)})
    table.to_csv(tmp_path / "apid11.csv")
    assert (tmp_path / "apid11.csv").read_text().splitlines()[0] == "X"
    assert stale.exists() != removed
    assert other.exists()
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".part") and p not in (stale, other)]


@pytest.mark.parametrize("kind", ["parquet", "csv"])
def test_encode_writes_decoded_tables_back_into_the_file(tmp_path, kind):
    # The JPSS definition describes every bit, so its tables rebuild the file.
    run("decode", JPSS, "--layouts", JPSS_CSV, "--out", tmp_path / f"jpss.{kind}", cwd=tmp_path)
    result = run(
        "encode", tmp_path / f"jpss.{kind}", "--definition", JPSS_CSV, "--out", "again.bin", cwd=tmp_path, check=1
    )
    assert "table 'jpss': the definition has no packet type of that name" in result.stderr
    result = run(
        "encode", f"apid11={tmp_path / f'jpss.{kind}'}", "--definition", JPSS_CSV, "--out", "again.bin", cwd=tmp_path
    )
    assert result.stdout == f"again.bin: 7,200 packets, {JPSS.stat().st_size:,} bytes\n"
    assert (tmp_path / "again.bin").read_bytes() == JPSS.read_bytes()
