"""CCSDS time codes in bitloom_io layouts: each code read from bytes built
here independently (datetime and decimal arithmetic, BCD through text, TAI
minus UTC given per row), written back to the same bytes, and the
leap-second boundaries."""

import datetime as dt
import pickle
import warnings
from decimal import Decimal, localcontext

import pytest

np = pytest.importorskip("numpy")
import bitloom_io  # noqa: E402
from bitloom_io import Layout, timecodes  # noqa: E402
from bitloom_io._native import Layout as NativeLayout  # noqa: E402

from recipes import item  # noqa: E402

TAI_1958 = dt.datetime(1958, 1, 1)


def parse(text):
    """(datetime to the microsecond, digits beyond it, leap second?)"""
    date, _, clock = text.rstrip("Z").partition("T")
    hms, _, frac = clock.partition(".")
    h, m, s = (int(x) for x in hms.split(":"))
    leap = s == 60
    base = dt.datetime.fromisoformat(date) + dt.timedelta(hours=h, minutes=m, seconds=s - leap)
    return base, Decimal("0." + frac) if frac else Decimal(0), leap


def cuc_ref(code, text, tai_minus_utc, epoch=TAI_1958):
    with localcontext(prec=60):
        return _cuc_ref(code, text, tai_minus_utc, epoch)


def _cuc_ref(code, text, tai_minus_utc, epoch):
    base, frac, leap = parse(text)
    seconds = Decimal((base - epoch).days * 86400 + (base - epoch).seconds) + frac + tai_minus_utc + leap
    coarse = int(seconds)
    fine = int((seconds - coarse) * 256 ** code["fine"])
    assert fine / Decimal(256 ** code["fine"]) == seconds - coarse, "rows are on the code's grid"
    p = bytes([(1 << 4) | ((code["coarse"] - 1) << 2) | code["fine"]]) if code.get("pfield") else b""
    return p + coarse.to_bytes(code["coarse"], "big") + (fine.to_bytes(code["fine"], "big") if code["fine"] else b"")


def cds_ref(code, text, epoch=dt.datetime(1958, 1, 1)):
    base, frac, leap = parse(text)
    day = (base.date() - epoch.date()).days
    ms_frac = frac * 1000
    ms = (base.hour * 3600 + base.minute * 60 + base.second + leap) * 1000 + int(ms_frac)
    out = day.to_bytes(code["days"] // 8, "big") + ms.to_bytes(4, "big")
    below = ms_frac - int(ms_frac)
    if code.get("submilliseconds") == 16:
        out += int(below * 1000).to_bytes(2, "big")
    elif code.get("submilliseconds") == 32:
        out += int(below * 10**9).to_bytes(4, "big")
    return out


def ccs_ref(code, text):
    date, _, clock = text.rstrip("Z").partition("T")
    hms, _, frac = clock.partition(".")
    frac = (frac + "0" * 12)[: code.get("decimals", 0)]
    if code.get("calendar") == "day_of_year":
        d = dt.date.fromisoformat(date)
        date_digits = f"{d.year:04d}0{d.timetuple().tm_yday:03d}"
    else:
        date_digits = date.replace("-", "")
    return bytes.fromhex(date_digits + hms.replace(":", "") + frac)


def ascii_ref(code, text):
    date, _, clock = text.rstrip("Z").partition("T")
    if code["encoding"] == "ascii_b":
        d = dt.date.fromisoformat(date)
        date = f"{d.year:04d}-{d.timetuple().tm_yday:03d}"
    hms, _, frac = clock.partition(".")
    decimals = code.get("decimals", 3)
    frac = (frac + "0" * 12)[:decimals]
    return (f"{date}T{hms}" + (f".{frac}" if decimals else "") + ("Z" if code.get("z", True) else "")).encode()


CUC42 = {"encoding": "cuc", "coarse": 4, "fine": 2, "epoch": "1958-01-01", "pfield": False, "scale": "utc"}

# (code, UTC text, TAI - UTC at that time, reference) - times on each code's grid.
CASES = [
    (CUC42, "2016-12-31T23:59:59.5", 36, cuc_ref),
    (CUC42, "2016-12-31T23:59:60.25", 36, cuc_ref),
    (CUC42, "2017-01-01T00:00:00.75", 37, cuc_ref),
    (CUC42, "2015-06-30T23:59:60", 35, cuc_ref),
    (CUC42, "1972-06-30T23:59:60.5", 10, cuc_ref),
    (CUC42, "1999-01-01T00:00:00", 32, cuc_ref),
    (CUC42, "1998-12-31T23:59:59", 31, cuc_ref),
    ({**CUC42, "pfield": True}, "2020-02-29T12:34:56.0078125", 37, cuc_ref),
    (
        {"encoding": "cuc", "coarse": 1, "fine": 0, "epoch": "2026-12-07T00:00:00", "scale": "tai"},
        "2026-12-07T00:01:00",
        0,
        lambda c, t, n: cuc_ref(c, t, n, dt.datetime(2026, 12, 7)),
    ),
    (
        {"encoding": "cuc", "coarse": 3, "fine": 3, "epoch": "tai", "scale": "tai"},
        "1958-03-01T00:00:00.000000059604644775390625",
        0,
        cuc_ref,
    ),
    (
        {"encoding": "cuc", "coarse": 4, "fine": 1, "epoch": "unix"},
        "2024-05-01T10:00:00.5",
        0,
        lambda c, t, n: cuc_ref(c, t, n, dt.datetime(1970, 1, 1)),
    ),
    (
        {"encoding": "cuc", "coarse": 4, "fine": 0, "epoch": "gps"},
        "2017-01-01T00:00:05",
        37 - 19,
        lambda c, t, n: cuc_ref(c, t, n, dt.datetime(1980, 1, 6)),
    ),
    (
        {"encoding": "cds", "days": 16, "submilliseconds": 0, "epoch": "1958-01-01"},
        "2016-12-31T23:59:60.123",
        0,
        lambda c, t, n: cds_ref(c, t),
    ),
    (
        {"encoding": "cds", "days": 16, "submilliseconds": 16, "epoch": "1958-01-01"},
        "2021-06-04T14:39:51.123456",
        0,
        lambda c, t, n: cds_ref(c, t),
    ),
    (
        {"encoding": "cds", "days": 24, "submilliseconds": 32, "epoch": "tai"},
        "2021-06-04T14:39:51.123456789012",
        0,
        lambda c, t, n: cds_ref(c, t),
    ),
    (
        {"encoding": "cds", "days": 16, "submilliseconds": 32, "epoch": "2000-01-01", "scale": "tai"},
        "2030-01-01T00:00:00.000000000999",
        0,
        lambda c, t, n: cds_ref(c, t, dt.datetime(2000, 1, 1)),
    ),
    ({"encoding": "ccs"}, "2016-12-31T23:59:60", 0, lambda c, t, n: ccs_ref(c, t)),
    ({"encoding": "ccs", "decimals": 6}, "2024-02-29T01:02:03.456789", 0, lambda c, t, n: ccs_ref(c, t)),
    (
        {"encoding": "ccs", "calendar": "day_of_year", "decimals": 12},
        "2024-12-31T23:59:59.999999999999",
        0,
        lambda c, t, n: ccs_ref(c, t),
    ),
    (
        {"encoding": "ccs", "calendar": "day_of_year", "decimals": 10, "scale": "tai"},
        "2001-03-01T00:00:00.0000000001",
        0,
        lambda c, t, n: ccs_ref(c, t),
    ),
    ({"encoding": "ascii_a", "decimals": 3}, "2016-12-31T23:59:60.500Z", 0, lambda c, t, n: ascii_ref(c, t)),
    ({"encoding": "ascii_a", "decimals": 0, "z": False}, "1999-12-31T23:59:59", 0, lambda c, t, n: ascii_ref(c, t)),
    ({"encoding": "ascii_b", "decimals": 12}, "2020-12-31T12:00:00.123456789123", 0, lambda c, t, n: ascii_ref(c, t)),
    (
        {"encoding": "ascii_b", "decimals": 1, "scale": "tai"},
        "2000-03-01T00:00:00.1",
        0,
        lambda c, t, n: ascii_ref(c, t),
    ),
    # Before 1970 (negative nanoseconds), and UTC before 1972 at its offset of 1972.
    (CUC42, "1965-03-01T00:00:00.5", 10, cuc_ref),
    ({**CUC42, "scale": "tai"}, "1958-01-01T00:00:00.0000152587890625", 0, cuc_ref),
    ({"encoding": "cds", "days": 16, "epoch": "tai"}, "1961-01-01T00:00:00.001", 0, lambda c, t, n: cds_ref(c, t)),
    # The last step of the fraction before and inside the leap second.
    (CUC42, "2016-12-31T23:59:59.9999847412109375", 36, cuc_ref),
    (CUC42, "2016-12-31T23:59:60", 36, cuc_ref),
    (CUC42, "2016-12-31T23:59:60.9999847412109375", 36, cuc_ref),
    (
        {**CUC42, "epoch": "gps"},
        "2017-01-01T00:00:00",
        37 - 19,
        lambda c, t, n: cuc_ref(c, t, n, dt.datetime(1980, 1, 6)),
    ),
]
# Every CUC width: its largest fraction (floored to the nanosecond on reading)
# and the most seconds the coarse octets hold, up to a day.
CASES += [
    (
        {"encoding": "cuc", "coarse": c, "fine": f, "epoch": "2020-01-01T00:00:00", "scale": "tai"},
        "2020-01-01T"
        + str(dt.timedelta(seconds=min(256**c - 1, 86399))).zfill(8)
        + (str(Decimal(256**f - 1) / Decimal(256**f))[1:] if f else ""),
        0,
        lambda c, t, n: cuc_ref(c, t, n, dt.datetime(2020, 1, 1)),
    )
    for c in range(1, 5)
    for f in range(4)
]
# Every CDS form at the last digit of the leap second of 2016.
CASES += [
    (
        {"encoding": "cds", "days": days, "submilliseconds": sub, "epoch": "1958-01-01"},
        "2016-12-31T23:59:60." + "9" * {0: 3, 16: 6, 32: 12}[sub],
        0,
        lambda c, t, n: cds_ref(c, t),
    )
    for days in (16, 24)
    for sub in (0, 16, 32)
]


def expected_columns(code, text):
    base, frac, leap = parse(text)
    ns = int(frac * 10**9)
    ps = int(frac * 10**12) % 1000
    return np.datetime64(base, "ns") + np.timedelta64(ns, "ns"), leap, ps


@pytest.mark.parametrize("code, text, offset, ref", CASES, ids=[f"{c['encoding']}-{t}" for c, t, _, _ in CASES])
def test_code_reads_and_writes_independent_bytes(code, text, offset, ref):
    data = ref(code, text, offset)
    layout = Layout([item("head", bits=8), {"name": "t", **code}, item("tail", bits=8)])
    packet = b"\xa5" + data + b"\x5a"
    assert layout.fields[1].bits == 8 * len(data)
    cols = layout.unpack_many(packet * 3, stride=len(packet))
    when, leap, ps = expected_columns(code, text)
    assert cols["t"].dtype == np.dtype("M8[ns]") and (cols["t"] == when).all()
    scale = code.get("scale", "utc")
    assert cols["t"].dtype.metadata == {"scale": scale} and layout.column_meta["t"]["scale"] == scale
    if "t_leap" in cols:
        assert cols["t_leap"].tolist() == [leap] * 3
    else:
        assert not leap
    if "t_ps" in cols:
        assert cols["t_ps"].tolist() == [ps] * 3
    assert list(cols)[0] == "head" and list(cols)[-1] == "tail"
    assert layout.pack_many(cols) == packet * 3
    one = layout.unpack(packet)
    assert one["t"] == when and layout.pack(one) == packet


@pytest.mark.parametrize("code", [c for c, *_ in CASES if c["encoding"] == "cuc" and not c.get("pfield")])
def test_round_trip_of_random_counters(code):
    rng = np.random.default_rng(7)
    layout = Layout([{"name": "t", **code}])
    width = layout.fields[0].bits // 8
    # Enough rows for the reader to share them among threads.
    raw = rng.integers(0, 256, size=(40_000, width), dtype=np.uint8).tobytes()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", bitloom_io.LeapSecondWarning)
        cols = layout.unpack_many(raw, stride=width, threads=2)
        one = layout.unpack_many(raw, stride=width, threads=1)
        assert all(np.array_equal(cols[k], one[k]) for k in cols) and cols.keys() == one.keys()
        assert layout.pack_many(cols) == raw


def test_encoding_any_time_truncates_to_the_code_grid():
    layout = Layout([{"name": "t", "encoding": "cuc", "coarse": 4, "fine": 1, "epoch": "tai", "scale": "tai"}])
    times = np.array(["1958-01-01T00:00:01.0039", "1958-01-01T00:00:01.00390625"], dtype="M8[ns]")
    packed = layout.pack_many({"t": times})
    assert packed == bytes([0, 0, 0, 1, 0, 0, 0, 0, 1, 1])


@pytest.mark.parametrize(
    "recipe_item, message",
    [
        ({"name": "t", "encoding": "cuc", "coarse": 5}, "coarse must be one of"),
        ({"name": "t", "encoding": "cuc", "fine": 4}, "fine must be one of"),
        ({"name": "t", "encoding": "cuc", "coarse": 4, "fine": 2, "bits": 40}, "bits is 40, the code takes 48"),
        ({"name": "t", "encoding": "cds", "days": 20}, "days must be one of"),
        ({"name": "t", "encoding": "cds", "submilliseconds": 8}, "submilliseconds must be one of"),
        ({"name": "t", "encoding": "ccs", "decimals": 3}, "decimals must be one of"),
        ({"name": "t", "encoding": "ccs", "calendar": "week"}, "calendar is"),
        ({"name": "t", "encoding": "cuc", "epoch": "yesterday"}, "not an ISO date-time"),
        ({"name": "t", "encoding": "cuc", "scale": "tt"}, "scale is 'utc' or 'tai'"),
        ({"name": "t", "encoding": "CUC", "byte_order": "little"}, "big-endian"),
    ],
)
def test_bad_time_code_items(recipe_item, message):
    with pytest.raises(ValueError, match=message):
        Layout([recipe_item])


@pytest.mark.parametrize(
    "code, data, message",
    [
        ({"encoding": "cuc", "coarse": 4, "fine": 0, "pfield": True}, b"\x2c\0\0\0\1", "P-field 0x2C"),
        ({"encoding": "cds", "days": 16}, b"\0\1" + (86_401_000).to_bytes(4, "big"), "past the end of the day"),
        ({"encoding": "cds", "days": 16, "submilliseconds": 16}, b"\0\1\0\0\0\0\x03\xe8", "microseconds 1000"),
        (
            {"encoding": "cds", "days": 24, "submilliseconds": 32},
            b"\0\0\1\0\0\0\0" + (10**9).to_bytes(4, "big"),
            "picoseconds 1000000000 above",
        ),
        (
            {"encoding": "cds", "scale": "tai"},
            b"\0\1" + (86_400_500).to_bytes(4, "big"),
            "second 60 on the TAI calendar$",
        ),
        (
            {"encoding": "cds", "submilliseconds": 32, "scale": "tai"},
            b"\0\1" + (86_400_500).to_bytes(4, "big") + bytes(4),
            r"TAI calendar \(1 values\)",
        ),
        # Faults far into a file: the message is of the block of values that holds it.
        (
            {"encoding": "cds", "days": 16},
            b"\0\1"
            + bytes(4) * 1
            + (b"\0\1" + (86_401_007).to_bytes(4, "big")) * 1
            + (b"\0\1" + bytes(4)) * 40_000
            + b"\0\1"
            + (86_401_009).to_bytes(4, "big"),
            "millisecond of day 86401007 is past",
        ),
        (
            {"encoding": "cds", "days": 16},
            (b"\0\1" + bytes(4)) * 40_000 + b"\0\1" + (86_401_009).to_bytes(4, "big"),
            "millisecond of day 86401009 is past",
        ),
        (
            {"encoding": "cuc", "coarse": 4, "fine": 0, "pfield": True},
            b"\x1c\0\0\0\1" * 70_000 + b"\x2c\0\0\0\1",
            "P-field 0x2C in 1 packets",
        ),
        ({"encoding": "ccs"}, bytes.fromhex("2024022A000000"), "not two BCD digits"),
        ({"encoding": "ccs"}, bytes.fromhex("20230229000000"), "no such calendar time"),
        ({"encoding": "ccs"}, bytes.fromhex("20231231235860"), "second 60 outside the last minute"),
        ({"encoding": "ccs", "scale": "tai"}, bytes.fromhex("20161231235960"), "second 60 on the TAI calendar"),
        ({"encoding": "ascii_a", "decimals": 0}, b"2024-01-01 00:00:00Z", "is not of the form"),
    ],
)
def test_bad_time_code_values(code, data, message):
    layout = Layout([{"name": "t", **code}])
    with pytest.raises(ValueError, match=message):
        layout.unpack_many(data, stride=layout.fields[0].bits // 8)


def test_out_of_range_times_are_refused_when_writing():
    layout = Layout([{"name": "t", "encoding": "cuc", "coarse": 1, "epoch": "unix"}])
    with pytest.raises(ValueError, match="outside the range"):
        layout.pack_many({"t": np.array(["1970-01-01T00:04:16"], dtype="M8[ns]")})
    with pytest.raises(ValueError, match="not in the second before a leap second"):
        Layout([{"name": "t", **CUC42}]).pack_many(
            {"t": np.array(["2016-12-30T23:59:59"], dtype="M8[ns]"), "t_leap": np.array([True])}
        )


@pytest.mark.parametrize(
    "utc, tai_minus_utc",
    [
        ("1972-01-01", 10),
        ("1980-06-01", 19),
        ("1999-06-01", 32),
        ("2008-12-31T23:59:59", 33),
        ("2009-01-01", 34),
        ("2016-12-31T23:59:59", 36),
        ("2017-01-01", 37),
        ("2025-06-01", 37),
    ],
)
def test_tai_minus_utc_on_known_dates(utc, tai_minus_utc):
    from bitloom_io import _leapseconds

    ns = np.array([np.datetime64(utc, "ns").astype(np.int64)])
    tai = _leapseconds.utc_to_tai(ns)
    assert (tai - ns)[0] == tai_minus_utc * 10**9
    back, leap = _leapseconds.tai_to_utc(tai)
    assert back[0] == ns[0] and not leap[0]


def test_leap_second_table_states_its_source_and_expiry():
    table = bitloom_io.leap_seconds()
    assert table.offsets[-1] >= 37 and table.expires >= np.datetime64("2026-06-28")
    assert "expires" in repr(table) and table.source
    far = Layout([{"name": "t", **CUC42}])
    data = cuc_ref(CUC42, "2090-01-01T00:00:00", 37)
    with pytest.warns(bitloom_io.LeapSecondWarning, match="expires on"):
        far.unpack_many(data, stride=len(data))


def test_layouts_without_time_codes_are_the_native_ones():
    recipe = [item("a", bits=8, value=3)]
    plain = Layout(recipe)
    assert type(plain) is NativeLayout and isinstance(plain, Layout)
    assert isinstance(NativeLayout(recipe), Layout) and issubclass(NativeLayout, Layout)
    # Either kind pickles as itself (worker processes get their layouts so).
    for layout in (plain, NativeLayout(recipe)):
        assert type(pickle.loads(pickle.dumps(layout))) is type(layout)
    with pytest.raises(TypeError):
        Layout(recipe, True)


def test_timed_layout_fields_recipe_pickle_and_diagram():
    recipe = [
        item("id", bits=16, value=7),
        {"name": "t", **CUC42, "pfield": True, "value": "2017-01-01T00:00:00"},
        {"name": "d", "encoding": "cds", "days": 16, "offset_bits": 104, "value": "2000-01-01"},
    ]
    layout = Layout(recipe, time="t")
    assert [(f.name, f.encoding, f.start_bit, f.bits) for f in layout.fields] == [
        ("id", "unsigned", 0, 16),
        ("t", "cuc", 16, 56),
        ("d", "cds", 104, 48),
    ]
    assert layout.recipe == recipe
    again = pickle.loads(pickle.dumps(layout))
    assert again.pack() == layout.pack() and again.fields == layout.fields
    assert "t" in layout.diagram() and "time codes" in repr(layout)
    cols = layout.unpack_many(layout.pack() * 2, stride=len(layout.pack()))
    assert cols["time"].tolist() == cols["t"].tolist() and str(cols["t"][0]) == "2017-01-01T00:00:00.000000000"
    assert str(cols["d"][1]) == "2000-01-01T00:00:00.000000000"
    assert layout.column_meta["time"]["scale"] == "utc"


def test_packet_time_from_an_integer_field_and_into_pandas(tmp_path):
    pytest.importorskip("pandas")
    # An APID 100 packet whose secondary header is 4 octets of seconds since J2000.
    recipe = [item("SHCOARSE", bits=32, offset_bits=48), item("V", bits=8)]
    layout = Layout(recipe, time={"field": "SHCOARSE", "encoding": "cuc", "coarse": 4, "epoch": "j2000"})
    packets = b"".join(
        bytes.fromhex("0864")
        + (0xC000 | i).to_bytes(2, "big")
        + bytes.fromhex("0004")
        + (700_000_000 + i).to_bytes(4, "big")
        + bytes([i])
        for i in range(3)
    )
    tables = bitloom_io.decode(packets, {100: layout})
    table = tables["apid100"]
    assert table["SHCOARSE"].dtype.kind == "u" and table.meta["time"]["scale"] == "utc"
    # 700000000 s after 2000-01-01T12:00:00 TT (11:58:55.816 UTC), 5 of them leap seconds.
    assert str(table["time"][0]) == "2022-03-08T08:25:30.816000000"
    frame = table.to_pandas()
    assert frame.index.name == "time" and list(frame["V"]) == [0, 1, 2] and "time" not in frame.columns


def test_stamp_gives_tables_a_time_column():
    table = bitloom_io.Table("hk", {"SHCOARSE": np.array([0, 1, 86400], dtype=np.uint32)})
    timecodes.stamp(table, "SHCOARSE", {"encoding": "cuc", "coarse": 4, "epoch": "tai", "scale": "tai"})
    assert table["time"].astype(str).tolist() == [
        "1958-01-01T00:00:00.000000000",
        "1958-01-01T00:00:01.000000000",
        "1958-01-02T00:00:00.000000000",
    ]
    assert table.meta["time"] == {"scale": "tai", "time_code": "CUC 4+0 octets from tai", "source": "SHCOARSE"}


def test_without_astropy_iers_data_the_shipped_table_is_used(monkeypatch):
    import sys

    from bitloom_io import _leapseconds

    monkeypatch.setitem(sys.modules, "astropy_iers_data", None)
    _leapseconds.leap_seconds.cache_clear()
    try:
        table = bitloom_io.leap_seconds()
        assert "shipped" in table.source and str(table.expires) == "2026-06-28"
        assert table.offsets.tolist()[-3:] == [35, 36, 37]
    finally:
        _leapseconds.leap_seconds.cache_clear()


def test_masked_reads_keep_time_columns_aligned():
    layout = Layout([item("id", bits=8), {"name": "t", **CUC42}])
    good = bytes([1]) + cuc_ref(CUC42, "2020-01-01T00:00:00.5", 37)
    cols = layout.unpack_many([good, good[:3], good], errors="mask")
    assert cols.failures == 1 and cols["t"].mask.tolist() == [False, True, False]
    assert str(cols["t"][2]) == "2020-01-01T00:00:00.500000000" and cols["t_leap"].mask.tolist() == [False, True, False]


@pytest.mark.parametrize(
    "raw, per_count, offset, epoch, expected",
    [
        # Integer binary fractions read as a CUC: before the epoch too.
        (
            np.array([-1, 0, 3], np.int32),
            0.5,
            0.0,
            "unix",
            ["1969-12-31T23:59:59.5", "1970-01-01", "1970-01-01T00:00:01.5"],
        ),
        (np.array([2**40 + 1], np.uint64), 2.0**-32, 0.0, "unix", ["1970-01-01T00:04:16.000000000"]),
        # Through float64: rounded to the nanosecond, NaN is NaT.
        (np.array([1.0, np.nan]), 1e-9 / 3, 0.0, "unix", ["1970-01-01T00:00:00", "NaT"]),
        (np.array([np.nan, 2.0]), 1.0, 0.25, "tai", ["NaT", "1957-12-31T23:59:52.25"]),
        # Without an epoch: durations.
        (np.array([3, -2], np.int16), 0.001, 1.0, None, [1_003_000_000, 998_000_000]),
    ],
)
def test_counted_seconds_become_times(raw, per_count, offset, epoch, expected):
    column = timecodes.counted_times(raw, per_count, offset, epoch)["t"]
    if epoch is None:
        assert column.dtype == np.dtype("m8[ns]") and column.astype(np.int64).tolist() == expected
    else:
        assert column.tolist() == np.array(expected, dtype="M8[ns]").tolist()
