"""bitloom_io.dask on a real LocalCluster of two worker processes: the
frames equal what decode gives file by file."""

from __future__ import annotations

import json
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import bitloom_io

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

from bitloom_io import _chunks  # noqa: E402
from bitloom_io.dask import partitions, read_packets  # noqa: E402
from recipes import field as item  # noqa: E402

DATA = Path(__file__).resolve().parent / "data" / "realdata"
JPSS = DATA / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
CTIM = DATA / "ctim" / "ccsds_2021_155_14_39_51"


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """Ten files: slices of the two real files cut at packet boundaries (so
    APIDs come and go between files), one file empty, one with a truncated
    final packet."""
    root = tmp_path_factory.mktemp("archive")
    files = []
    for source, pieces in ((JPSS, 4), (CTIM, 4)):
        data = source.read_bytes()
        bounds = _chunks.piece_bounds(source, len(data) // pieces + 1)
        for a, b in bounds:
            files.append(data[a:b])
    files.append(b"")
    files.append(JPSS.read_bytes()[: 71 * 5 + 30])
    for n, data in enumerate(files):
        (root / f"part{n:02d}.dat").write_bytes(data)
    assert len(files) >= 10
    return root


@pytest.fixture(scope="module")
def layouts():
    jpss = bitloom_io.Layout(bitloom_io.read_ccsdspy_csv(DATA / "jpss" / "ccsdspy_jpss1_geolocation.csv"), exact=True)
    return {
        11: jpss,
        41: bitloom_io.Layout([item("A", 16, offset_bits=48), item("B", 32, "twos_complement")]),
        1: bitloom_io.Layout(
            [item("FLAGS", 3, offset_bits=48), item("TEXT", 16, "us_ascii", offset_bits=64), item("RAW", 24, "binary")],
            exact=True,
        ),
        "*": bitloom_io.Layout([item("W", 8, offset_bits=48)]),
    }


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, worker_dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


def expected_frames(paths, layouts, reports=None):
    """decode, one file after the other, tables joined per packet type;
    each file's report compared with `reports` when given."""
    per_file = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in paths:
            per_file.append(bitloom_io.decode(path, layouts))
    if reports is not None:
        assert list(reports) == [str(p) for p in paths]
        for path, tables in zip(paths, per_file):
            assert reports[str(path)] == tables.report, path
            assert reports[str(path)].lines() == tables.report.lines(), path
    return _chunks.concat_tables(per_file)


def compute_with_reports(frames):
    """The frames and the reports in one computation, which decodes each
    partition once; the same reports computed alone."""
    computed, reports = frames.compute()
    assert frames.reports.compute() == reports
    return computed, reports


def assert_same(got, expected):
    """Frames against tables: numeric columns with their dtypes, text and
    binary columns value by value."""
    assert sorted(got) == sorted(expected)
    for name, table in expected.items():
        frame = got[name]
        assert list(frame.columns) == list(table.columns), name
        assert len(frame) == len(table), name
        for column, values in table.columns.items():
            if values.dtype.kind in "biuf":
                assert frame[column].dtype == values.dtype, (name, column)
                np.testing.assert_array_equal(frame[column].to_numpy(), values, err_msg=f"{name}.{column}")
            else:
                assert frame[column].tolist() == values.tolist(), (name, column)


def test_cluster_equals_one_process(client, archive, layouts):
    frames = read_packets(archive, layouts)
    files = sorted(archive.iterdir())
    assert all(f.npartitions == len(files) for f in frames.values())
    computed, reports = compute_with_reports(frames)
    assert_same(computed, expected_frames(files, layouts, reports))
    # The work ran on the workers, in their own processes.
    assert len(client.scheduler_info()["workers"]) == 2


def test_large_files_split_into_byte_ranges(client, archive, layouts):
    files = sorted(archive.iterdir())
    parts = partitions(files, blocksize=100_000)
    assert len(parts) > len(files)
    for path in files:
        mine = [(a, b) for p, a, b in parts if p == str(path)]
        assert mine[0][0] == 0 and mine[-1][1] == path.stat().st_size
        assert all(b == c for (_, b), (c, _) in zip(mine, mine[1:]))
    frames = read_packets([str(f) for f in files], layouts, blocksize=100_000)
    assert frames["apid11"].npartitions == len(parts)
    # The reports of files cut into ranges are joined into each whole file's.
    computed, reports = compute_with_reports(frames)
    assert_same(computed, expected_frames(files, layouts, reports))


def test_layout_file_glob_and_empty_types(client, archive, tmp_path):
    layout_file = tmp_path / "l.json"
    layout_file.write_text(json.dumps({"11": [item("DOY", 16, offset_bits=48)], "500": [item("X", 8)]}))
    frames = read_packets(str(archive / "part0*.dat"), layout_file)
    assert sorted(frames) == ["apid11", "apid500"]
    empty = frames["apid500"].compute()
    assert len(empty) == 0 and list(empty.columns)[-1] == "X"
    doy = frames["apid11"]["DOY"].compute()
    assert len(doy) == 7200 + 5 and doy.dtype == np.uint16


def test_no_files(tmp_path):
    with pytest.raises(FileNotFoundError, match="no file matches"):
        read_packets(str(tmp_path / "*.dat"), {})


def test_missing_dask_names_the_extra(tmp_path):
    # A stand-in for an environment without dask: the import is blocked.
    code = (
        "import sys; sys.modules['dask'] = None\n"
        "try:\n    import bitloom_io.dask\nexcept ImportError as e:\n    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path).stdout
    assert 'pip install "bitloom-packets[dask]" (from a checkout: pip install ".[dask]")' in out


ROUTES_XML = Path(__file__).resolve().parent / "data" / "xtce" / "routes.xml"
CTIM_XTCE = DATA / "ctim" / "ctim_xtce_v1.xml"


@pytest.mark.parametrize(
    "files, definition, blocksize",
    [
        # Packet types chosen by ranges, labels and 'or': by path and as a loaded definition.
        ("routes", ROUTES_XML, None),
        ("routes", "loaded", 40),
        # A real XTCE file, its files cut into byte ranges.
        ("ctim", CTIM_XTCE, 256 << 10),
    ],
)
def test_xtce_definitions_on_a_cluster_equal_decode(client, archive, tmp_path, files, definition, blocksize):
    from test_pipeline import STREAM

    if files == "routes":
        (tmp_path / "a.dat").write_bytes(STREAM)
        (tmp_path / "b.dat").write_bytes(STREAM[::-1][:3] + STREAM)
        paths = [tmp_path / "a.dat", tmp_path / "b.dat"]
    else:
        paths = [CTIM]
    if definition == "loaded":
        definition = bitloom_io.xtce.load(ROUTES_XML)
    frames = read_packets(paths, definition, blocksize=blocksize)
    got, reports = compute_with_reports(frames)
    assert_same(got, expected_frames(paths, definition, reports))
