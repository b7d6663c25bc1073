"""Layout.unpack_many and Layout.pack_many: columns equal to a loop of unpack,
dtypes, failures (raised or masked), packet geometry, and the interpreter
lock released while decoding."""

import math
import mmap
import random
import threading
import time

import pytest


np = pytest.importorskip("numpy")
from bitloom_io import Columns, Layout  # noqa: E402
from recipes import valued as item  # noqa: E402


RECIPE = [
    item("mode", "unsigned", 3, 5),
    item("count", "unsigned", 13, 4000),
    item("temp", "twos_complement", 12, -300, "little"),
    item("sm", "sign_magnitude", 7, -20),
    item("oc", "ones_complement", 9, -100, reverse_bits=True),
    item("big", "unsigned", 64, 2**64 - 2),
    item("wide", "unsigned", 72, 12345),
    item("bcd", "packed_bcd_signed", 16, -123),
    item("zoned", "bcd", 24, 987),
    item("h", "ieee754_f16", 16, 0.5),
    item("f", "ieee754_f32", 32, -1.25, "little"),
    item("d", "ieee754_f64", 64, math.pi),
    item("tag", "us_ascii", 32, "ABCD"),
    item("blob", "binary", 16, b"\x00\xff"),
    item("mode", "unsigned", 5, 17),  # a second field of the same name: its value wins
]


def random_packets(layout, rng, n, skip=()):
    out = []
    for _ in range(n):
        values = {
            "mode": rng.randrange(8),
            "count": rng.randrange(8192),
            "temp": rng.randrange(-2048, 2048),
            "sm": rng.randrange(-63, 64),
            "oc": rng.randrange(-255, 256),
            "big": rng.randrange(2**64),
            "wide": rng.randrange(2**64),
            "bcd": rng.randrange(-999, 1000),
            "zoned": rng.randrange(1000),
            "h": rng.choice([0.5, -2.0, 65504.0, float("inf")]),
            "f": rng.uniform(-1e6, 1e6),
            "d": rng.random(),
            "tag": "".join(rng.choice("ABCXYZ") for _ in range(4)),
            "blob": bytes(rng.randrange(256) for _ in range(2)),
        }
        out.append(layout.pack({k: v for k, v in values.items() if k not in skip}))
    return out


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a):
        return math.isnan(b)
    return a == b and type(a) is type(b)


def assert_columns_equal_loop(layout, cols, packets):
    """Every packet's row equals layout.unpack of it; packets that unpack
    refuses are the failed ones."""
    assert list(cols) == list(dict.fromkeys(f.name for f in layout.fields))
    for i, p in enumerate(packets):
        try:
            expected = layout.unpack(p)
        except ValueError:
            assert cols.failed[i], i
            continue
        assert not cols.failed[i], i
        for name, value in expected.items():
            got = cols[name].data[i] if hasattr(cols[name], "mask") else cols[name][i]
            got = got.item() if hasattr(got, "item") else got
            if isinstance(value, str):
                got = str(got)
            assert same(got, value), (i, name, got, value)


@pytest.mark.parametrize("exact", [False, True])
def test_columns_equal_a_loop_of_unpack(exact):
    layout = Layout(RECIPE, exact=exact)
    rng = random.Random(1)
    packets = random_packets(Layout(RECIPE, exact=True), rng, 300)
    size = len(packets[0])
    if exact:
        cols = layout.unpack_many(b"".join(packets), stride=size)
        assert isinstance(cols, Columns) and cols.failures == 0 and not cols.failed.any()
        assert_columns_equal_loop(layout, cols, packets)
    # Random bytes: some packets fail, in both readers alike.
    packets += [rng.randbytes(size) for _ in range(300)]
    cols = layout.unpack_many(b"".join(packets), stride=size, errors="mask")
    assert 0 < cols.failures == cols.failed.sum() <= 600
    assert not exact or cols.failures < 600
    assert_columns_equal_loop(layout, cols, packets)
    by_packet = layout.unpack_many(b"".join(packets), stride=size, errors="mask", _by_packet=True)
    assert (by_packet.failed == cols.failed).all()
    for name in cols:
        assert (cols[name].data == by_packet[name].data).all() or name in ("h", "f", "d")


def test_dtypes_are_the_smallest_that_hold_every_value():
    cols = Layout(RECIPE).unpack_many(bytes(64), stride=64, errors="mask")
    dtypes = {k: str(v.dtype) for k, v in cols.items()}
    assert dtypes == {
        "mode": "uint8",
        "count": "uint16",
        "temp": "int16",
        "sm": "int8",
        "oc": "int16",
        "big": "uint64",
        "wide": "uint64",
        "bcd": "int16",
        "zoned": "int16",
        "h": "float16",
        "f": "float32",
        "d": "float64",
        "tag": "StringDType()",
        "blob": "object",
    }
    edge = [
        item("u", "unsigned", 8),
        item("s", "twos_complement", 8),
        item("s9", "twos_complement", 9),
        item("b", "bcd", 64),
        item("p", "packed_bcd", 36),
    ]
    dtypes = {k: str(v.dtype) for k, v in Layout(edge).unpack_many(bytes(32), stride=32).items()}
    assert dtypes == {"u": "uint8", "s": "int8", "s9": "int16", "b": "int32", "p": "int32"}


def test_geometry_offsets_lengths_and_packet_lists():
    layout = Layout([item("a", "unsigned", 8), item("b", "unsigned", 16)])
    buffer = bytes(range(20))
    offsets = np.array([0, 5, 9, 17])
    cols = layout.unpack_many(buffer, offsets=offsets, errors="mask")
    assert cols["a"].tolist() == [0, 5, 9, 17] and cols["b"].tolist() == [0x0102, 0x0607, 0x0A0B, 0x1213]
    cols = layout.unpack_many(buffer, offsets=offsets, lengths=[3, 3, 3, 2], errors="mask")
    assert cols.failures == 1 and cols.failed.tolist() == [False, False, False, True]
    assert cols["a"].mask.tolist() == [False, False, False, True]
    cols = layout.unpack_many([b"\x01\x02\x03", b"\x04\x05\x06\x07"])
    assert cols["a"].tolist() == [1, 4] and cols["b"].tolist() == [0x0203, 0x0506]
    for source in (bytearray(buffer), memoryview(buffer), np.frombuffer(buffer, dtype=np.uint8)):
        assert layout.unpack_many(source, stride=4)["a"].tolist() == [0, 4, 8, 12, 16]


def test_mmap_input(tmp_path):
    layout = Layout([item("a", "unsigned", 16)])
    path = tmp_path / "packets.bin"
    path.write_bytes(bytes(range(200)) * 10)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        cols = layout.unpack_many(m, stride=2)
        assert len(cols["a"]) == 1000 and cols["a"][1] == 0x0203
        del cols


def test_short_packets_fail_without_reading_past_the_buffer():
    layout = Layout([item("a", "unsigned", 8), item("b", "unsigned", 64, offset_bits=8)])
    buffer = bytes(range(1, 23))  # two 9-byte packets and a 4-byte tail
    with pytest.raises(ValueError) as e:
        layout.unpack_many(buffer, stride=9)
    assert str(e.value).startswith("packet 2 (byte offset 18): item 1 'b' (unsigned, 64 bits): ValueError: ")
    assert "needs 8 bytes from byte 1 but the packet has 4 bytes" in str(e.value)
    cols = layout.unpack_many(buffer, stride=9, errors="mask")
    assert cols.failures == 1 and cols["a"].mask.tolist() == [False, False, True]
    assert cols["a"].data.tolist() == [1, 10, 0]
    with pytest.raises(ValueError, match=r"packet 1 \(byte offset 15\): 9 bytes run past the end"):
        layout.unpack_many(buffer, offsets=[0, 15], lengths=[9, 9])


def test_codec_failures_are_packet_failures():
    layout = Layout([item("n", "unsigned", 8), item("d", "packed_bcd", 8), item("t", "utf8", 16)])
    packets = [b"\x01\x12AB", b"\x02\x1fAB", b"\x03\x34\xff\xfe", b"\x04\x56OK"]
    with pytest.raises(ValueError, match=r"packet 1 \(byte offset 4\): item 1 'd'.*Invalid BCD digit: 15"):
        layout.unpack_many(b"".join(packets), stride=4)
    cols = layout.unpack_many(b"".join(packets), stride=4, errors="mask")
    assert cols.failed.tolist() == [False, True, True, False] and cols.failures == 2
    assert cols["d"].filled(-1).tolist() == [12, -1, -1, 56]
    assert cols["t"].data.tolist() == ["AB", "", "", "OK"] and cols["t"].mask.tolist() == [False, True, True, False]


def test_dynamic_widths_in_batches():
    recipe = [
        item("len", "unsigned", 8),
        item("data", "binary", {"field": "len", "slope": 8, "intercept": 0}),
        item("crc", "unsigned", 8),
    ]
    layout = Layout(recipe, exact=True)
    packets = [layout.pack({"len": k, "data": bytes(range(k)), "crc": k}) for k in (0, 3, 1)]
    offsets = np.cumsum([0] + [len(p) for p in packets[:-1]])
    cols = layout.unpack_many(b"".join(packets), offsets=offsets)
    assert cols["data"].tolist() == [b"", b"\x00\x01\x02", b"\x00"] and cols["crc"].tolist() == [0, 3, 1]
    bad = b"\x09\x00\x00"
    cols = layout.unpack_many([packets[0], bad], errors="mask")
    assert cols.failed.tolist() == [False, True]
    assert layout.pack_many({"len": [2, 1], "data": [b"ab", b"c"], "crc": [7, 8]}) == b"\x02ab\x07\x01c\x08"


def test_pack_many_equals_packing_each_row():
    layout = Layout(RECIPE, exact=True)
    packets = random_packets(layout, random.Random(5), 200)
    cols = layout.unpack_many(b"".join(packets), stride=len(packets[0]))
    cols.pop("mode")  # fields without a column pack their recipe value
    expected = b"".join(
        layout.pack({k: v[i].item() if hasattr(v[i], "item") else v[i] for k, v in cols.items()}) for i in range(200)
    )
    assert layout.pack_many(cols) == expected
    lists = {k: [x.item() if hasattr(x, "item") else x for x in v] for k, v in cols.items()}
    assert layout.pack_many(lists) == expected


class Name(str):
    """A column key that is a str, but not exactly one."""


@pytest.mark.parametrize(
    "column, message",
    [
        ({"n": np.array([1, 300, 2])}, r"packet 1: item 0 'n' .*Value 300 is too large for 8 bits"),
        ({"n": np.array([1, -1, 2])}, r"packet 1: .*OverflowError"),
        ({"n": [1, 2, 1.5]}, r"packet 2: .*TypeError"),
        ({"n": [1, 2], "x": [1, 2]}, "no field named 'x'"),
        # Keys found by their text (exact str), by == (a str subclass), or not at all.
        ({Name("n"): [1, 300]}, r"packet 1: item 0 'n' .*too large"),
        ({"\ud800": [1, 2]}, "no field named"),
        # Past the kernel's first blocks, and the earliest of two bad rows
        # in different fields of one block.
        ({"n": np.r_[np.ones(400_000, np.int64), 300, 1]}, r"packet 400000: item 0 'n' .*too large for 8 bits"),
        ({"n": np.r_[np.ones(300_001, np.uint8), 0], "t": np.r_[np.zeros(300_001, np.int16), 200]}, "packet 300001: "),
        ({"n": np.r_[np.ones(9, np.int32), -1], "t": np.r_[np.zeros(9, np.int8), -1]}, r"packet 9: .*OverflowError"),
        ({"n": np.r_[np.ones(9, np.int32), 1], "t": np.r_[np.zeros(9, np.int64), -129]}, "packet 9: item 1 't'"),
    ],
)
def test_pack_many_reports_the_first_bad_row(column, message):
    layout = Layout([item("n", "unsigned", 8), item("t", "twos_complement", 8, -1)])
    with pytest.raises((ValueError, KeyError), match=message):
        layout.pack_many(column)


def test_unpack_many_releases_the_interpreter_lock():
    layout = Layout([item(f"f{k}", "unsigned", 16) for k in range(16)])
    buffer = random.Random(3).randbytes(32 * 200000)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        start = time.perf_counter()
        for _ in range(5):
            layout.unpack_many(buffer, stride=32)
        elapsed = time.perf_counter() - start
    finally:
        stop.set()
        t.join()
    during = [x for x in ticks if start < x < start + elapsed]
    # With the lock held for the whole decode, the other thread would not run.
    assert len(during) >= 3


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, "needs stride= or offsets="),
        ({"stride": 0}, "stride must be positive"),
        ({"offsets": [-1]}, r"offsets\[0\] is negative"),
        ({"stride": 4, "errors": "ignore"}, "errors must be 'raise' or 'mask'"),
        ({"offsets": [0], "lengths": [1, 2]}, "offsets has 1 entries but lengths has 2"),
    ],
)
def test_bad_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        Layout([item("a", "unsigned", 8)]).unpack_many(bytes(8), **kwargs)


@pytest.mark.parametrize(
    "dtype",
    [
        "int8",
        "int16",
        "int32",
        "int64",
        "uint8",
        "uint16",
        "uint32",
        "uint64",
        ">i4",
        "float32",
        "float64",
        "float16",
        "object",
    ],
)
def test_pack_many_takes_columns_of_any_numeric_dtype(dtype):
    layout = Layout(
        [
            item("u", "unsigned", 7),
            item("s", "twos_complement", 9, byte_order="little"),
            item("f", "ieee754_f16", 16),
            item("t", "utf16le", 32),
            item("b", "packed_bcd_signed", 12),
        ]
    )
    rows = {"u": [0, 5, 100], "s": [0, 5, 100], "f": [0, 5, 100], "b": [0, 5, 99], "t": ["ab", "é", ""]}
    expected = b"".join(layout.pack({k: v[i] for k, v in rows.items()}) for i in range(3))
    cols = {
        k: (np.array(v, dtype=dtype) if k != "t" else np.array(v, dtype=np.dtypes.StringDType()))
        for k, v in rows.items()
    }
    if np.dtype(dtype).kind == "f":
        # Floats are not integers: integer fields refuse them, as pack does.
        with pytest.raises(ValueError, match="packet 0: item 0 'u'.*TypeError"):
            layout.pack_many(cols)
        cols = {k: (v if k == "f" else rows[k]) for k, v in cols.items()}
    assert layout.pack_many(cols) == expected


def test_threads_decode_parts_of_one_buffer_alike():
    layout = Layout(RECIPE, exact=True)
    packets = random_packets(layout, random.Random(9), 4000)
    size = len(packets[0])
    view = memoryview(b"".join(packets))
    whole = layout.unpack_many(view, stride=size)
    parts = [None, None]

    def work(k):
        parts[k] = layout.unpack_many(view[k * 2000 * size : (k + 1) * 2000 * size], stride=size)

    threads = [threading.Thread(target=work, args=(k,)) for k in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for name, column in whole.items():
        joined = np.concatenate([parts[0][name], parts[1][name]])
        assert joined.dtype == column.dtype
        assert [repr(x) for x in joined.tolist()] == [repr(x) for x in column.tolist()], name


@pytest.mark.parametrize("count", [70_000, 40_000])
@pytest.mark.parametrize("geometry", ["stride", "offsets", "lengths"])
@pytest.mark.parametrize("skip", [("tag", "blob", "wide"), ()], ids=["numeric", "text-bytes-wide"])
def test_batches_on_several_threads_equal_one_thread(geometry, count, skip):
    """A batch large enough to be spread over threads (a last piece shorter
    than the others, or not) gives the columns, failures and first error of
    one thread, failing packets among them (random BCD digits and text bytes,
    packets cut short); with text, bytes and wide integers too, which the
    threads hand back to be stored in order."""
    layout = Layout([i for i in RECIPE if i["name"] not in skip], exact=True)
    size = len(layout.pack())
    rng = np.random.default_rng(5)
    packets = random_packets(layout, random.Random(5), 500, skip)
    data = np.frombuffer(b"".join(packets[i] for i in rng.integers(0, 500, count)), dtype=np.uint8).copy()
    data[rng.integers(0, len(data), count // 230)] = 0xFF  # some BCD digits broken
    buffer = data.tobytes()
    where: dict = {"stride": size}
    if geometry != "stride":
        where = {"offsets": np.arange(count, dtype=np.int64) * size}
        if geometry == "lengths":
            lengths = np.full(count, size, dtype=np.int64)
            lengths[rng.integers(0, count, count // 1400)] = size - 3
            where["lengths"] = lengths
    one = layout.unpack_many(buffer, errors="mask", threads=1, **where)
    assert 0 < one.failures < count
    for threads in (2, 3):
        many = layout.unpack_many(buffer, errors="mask", threads=threads, **where)
        assert many.failures == one.failures and np.array_equal(many.failed, one.failed)
        for name, column in one.items():
            assert np.array_equal(many[name].mask, column.mask), name
            if column.dtype.kind in "OT":
                assert many[name].dtype == column.dtype and many[name].data.tolist() == column.data.tolist(), name
            else:
                assert np.array_equal(many[name].data, column.data, equal_nan=True), name
        messages = []
        for n in (1, threads):
            with pytest.raises(ValueError) as caught:
                layout.unpack_many(buffer, threads=n, **where)
            messages.append(str(caught.value))
        assert messages[0] == messages[1]
    with pytest.raises(ValueError, match="threads must be a positive int or None, not 0"):
        layout.unpack_many(buffer, threads=0, **where)


def test_text_of_every_length_on_several_threads_equals_one_thread():
    """Text short enough to live in numpy's entries goes in from the threads;
    longer text, and the emptying of a failed packet's text, wait for the
    calling thread: lengths from 0 to over 32 bytes, multi-byte characters,
    and packets whose text is not UTF-8, in one batch."""
    recipe = [
        item("len", "unsigned", 8),
        item("text", "utf8", {"field": "len", "slope": 8, "intercept": 0}),
        item("n", "unsigned", 16),
    ]
    layout = Layout(recipe, exact=True)
    rng = random.Random(9)
    packets = []
    for k in range(45_000):
        text = "".join(rng.choice("aZ9 é€") for _ in range(rng.randrange(24)))
        raw = text.encode()[: rng.randrange(41)]
        raw = raw.decode("utf-8", "ignore").encode() if k % 97 else raw + b"\xff"  # some not UTF-8
        packets.append(bytes([len(raw)]) + raw + k.to_bytes(2, "big"))
    offsets = np.cumsum([0] + [len(p) for p in packets[:-1]])
    buffer = b"".join(packets)
    one = layout.unpack_many(buffer, offsets=offsets, errors="mask", threads=1)
    assert 0 < one.failures < len(packets)
    lengths = {len(t.encode()) for t in one["text"].data.tolist()}
    assert {0, 15, 16} <= lengths and max(lengths) >= 34
    for threads in (2, 3):
        many = layout.unpack_many(buffer, offsets=offsets, errors="mask", threads=threads)
        assert np.array_equal(many.failed, one.failed)
        assert many["text"].data.tolist() == one["text"].data.tolist()
        assert np.array_equal(many["n"].data, one["n"].data)
    plain = np.flatnonzero(~one.failed)
    clean = layout.unpack_many(buffer, offsets=offsets[plain], threads=2)
    assert clean["text"].tolist() == [one["text"].data[i] for i in plain]


def test_columns_decoded_into_rows_of_given_arrays():
    """The decode that fills columns made once hands unpack_many arrays to
    write into from a row: only those rows are written, and an array of
    another dtype, byte order or shape, or without the rows, is refused
    before anything is written."""
    layout = Layout([item("a", "unsigned", 16), item("t", "us_ascii", 16)], exact=True)
    data = b"\x00\x01AB\x00\x02CD\x00\x03EF"
    target = np.full(6, 9, dtype=np.uint16)
    cols = layout.unpack_many(data, stride=4, _into=([target, None], 2))
    assert target.tolist() == [9, 9, 1, 2, 3, 9] and cols["a"].base is target
    assert cols["t"].tolist() == ["AB", "CD", "EF"]
    for bad in [
        ([target, None], 4),  # rows beyond the end
        ([target.astype(">u2"), None], 0),
        ([target.astype(np.uint32), None], 0),
        ([target[::2], None], 0),
        ([target.reshape(2, 3), None], 0),
        ([target], 0),  # an array per column
        ([np.frombuffer(bytes(12), dtype=np.uint16), None], 0),  # read-only
    ]:
        before = bad[0][0].copy()
        with pytest.raises(ValueError):
            layout.unpack_many(data, stride=4, _into=bad)
        assert np.array_equal(bad[0][0], before)
    with pytest.raises(TypeError, match="_into must be"):
        layout.unpack_many(data, stride=4, _into=([target, None], -1))


def assert_readers_agree(layout, buffer, stride):
    """Field by field (the default for static layouts) and packet by packet
    give the same failures, values and first error; both equal a loop of
    unpack."""
    ours = layout.unpack_many(buffer, stride=stride, errors="mask")
    general = layout.unpack_many(buffer, stride=stride, errors="mask", _by_packet=True)
    assert ours.failed.tolist() == general.failed.tolist()
    for name in ours:
        assert ours[name].dtype == general[name].dtype
        assert [repr(x) for x in ours[name].data.tolist()] == [repr(x) for x in general[name].data.tolist()], name
        if ours[name].dtype.kind == "T":
            assert all(x == "" for x in ours[name].data[ours.failed]), name
    packets = [buffer[i : i + stride] for i in range(0, len(buffer), stride)]
    assert_columns_equal_loop(layout, ours, packets)
    errors = []
    for by_packet in (False, True):
        try:
            layout.unpack_many(buffer, stride=stride, _by_packet=by_packet)
            errors.append(None)
        except ValueError as e:
            errors.append(str(e))
    assert errors[0] == errors[1]
    return ours


# Text bytes that exercise each codec's own rules: ASCII (with NULs and DEL),
# bytes above 0x7F, well-formed and broken UTF-8, byte-order marks, and the
# bytes 0x80-0x9F that windows-1252 maps apart from ISO-8859-1.
TEXT_PIECES = [
    b"HK-NOMNL",
    b"A",
    b"\x00",
    b"AB\x00\x00",
    b"\x7f",
    b"\xe9",
    b"\xc3\xa9",
    b"\xef\xbb\xbf",
    b"\xff\xfe",
    b"\xfe\xff",
    b"\x80",
    b"\x9f",
    b"\xc3",
]


@pytest.mark.parametrize("encoding", ["us_ascii", "utf8", "iso_8859_1", "windows_1252", "utf16be"])
@pytest.mark.parametrize("byte_order", ["big", "little"])
@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize("start, size", [(8, 8), (8, 3), (16, 17), (11, 8)])
def test_text_read_as_is_agrees_with_the_general_reader(encoding, byte_order, exact, start, size):
    rng = random.Random(f"{encoding}{byte_order}{exact}{start}{size}")
    layout = Layout(
        [
            item("n", "unsigned", 8),
            item("t", encoding, 8 * size, byte_order=byte_order, offset_bits=start),
            item("d", "packed_bcd", 8),
        ],
        exact=exact,
    )
    stride = (start + 8 * size + 7) // 8 + 1
    packets = []
    for k in range(600):
        text = b""
        if k % 3:  # most packets plain ASCII
            text = bytes(rng.choice(b"ABCXYZ-_ 0123") for _ in range(size))
        while len(text) < size:
            text += rng.choice(TEXT_PIECES)
        packet = bytearray(rng.randbytes(stride))
        bit = start
        for byte in text[:size]:  # the text's bytes from bit `start`, at any alignment
            for j in range(8):
                mask = 0x80 >> (bit % 8)
                packet[bit // 8] = (packet[bit // 8] & ~mask) | (mask if byte & (0x80 >> j) else 0)
                bit += 1
        packet[-1] = rng.choice([0x12, 0x12, 0x12, 0x1F])  # a digit above 9 fails the packet after its text
        packets.append(bytes(packet))
    cols = assert_readers_agree(layout, b"".join(packets), stride)
    assert cols.failures > 0


@pytest.mark.parametrize(
    "encoding, bits",
    [
        ("unsigned", 1),
        ("unsigned", 8),
        ("unsigned", 12),
        ("unsigned", 16),
        ("unsigned", 32),
        ("unsigned", 33),
        ("unsigned", 64),
        ("twos_complement", 1),
        ("twos_complement", 7),
        ("twos_complement", 8),
        ("twos_complement", 16),
        ("twos_complement", 24),
        ("twos_complement", 32),
        ("twos_complement", 63),
        ("twos_complement", 64),
        ("ieee754_f16", 16),
        ("ieee754_f32", 32),
        ("ieee754_f64", 64),
        ("sign_magnitude", 16),
        ("ones_complement", 16),
    ],
)
@pytest.mark.parametrize("byte_order, reverse", [("big", False), ("little", False), ("big", True)])
@pytest.mark.parametrize("exact, start", [(False, 8), (True, 8), (True, 13)])
def test_numeric_fields_agree_with_the_general_reader(encoding, bits, byte_order, reverse, exact, start):
    rng = random.Random(f"{encoding}{bits}{byte_order}{reverse}{exact}{start}")
    layout = Layout(
        [
            item("n", "unsigned", 8),
            item("v", encoding, bits, byte_order=byte_order, reverse_bits=reverse, offset_bits=start),
        ],
        exact=exact,
    )
    stride = (start + bits + 7) // 8 + 2
    # Random bytes (both signs at every width), all ones, all zeros, and a
    # short tail packet that fails.
    buffer = rng.randbytes(stride * 500) + b"\xff" * stride + bytes(stride) + b"\x01"
    cols = assert_readers_agree(layout, buffer, stride)
    assert cols.failed.tolist() == [False] * 502 + [True]


@pytest.mark.parametrize("size", [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 40])
def test_text_columns_are_ordinary_numpy_strings(size):
    # Values of every length up to the field's, around the length numpy keeps
    # inside an array entry, behave as strings that numpy made itself: equal,
    # measured, sorted, copied and replaced alike.
    rng = random.Random(size)
    texts = ["".join(rng.choice("ab Z\x00~") for _ in range(rng.randrange(size + 1))) for _ in range(300)]
    layout = Layout([item("t", "utf8", 8 * size), item("n", "unsigned", 8)])
    buffer = b"".join(t.encode().ljust(size, b"\x00")[:size] + b"\x01" for t in texts)
    expected = [t.ljust(size, "\x00") for t in texts]
    cols = layout.unpack_many(buffer, stride=size + 1)
    column = cols["t"]
    reference = np.array(expected, dtype=np.dtypes.StringDType())
    assert column.tolist() == expected
    assert (column == reference).all()
    assert np.strings.str_len(column).tolist() == [len(t) for t in expected]
    assert np.sort(column).tolist() == sorted(expected)
    copied = column.copy()
    column[::2] = "x" * 40
    column[1::2] = ""
    assert column.tolist() == ["x" * 40 if i % 2 == 0 else "" for i in range(300)]
    assert copied.tolist() == expected
    del cols, column, copied


def test_text_values_land_at_their_packets_across_chunks():
    # More packets than one chunk holds: each value goes to its own packet's
    # entry, failed packets' entries stay empty, in both readers alike.
    layout = Layout([item("t", "us_ascii", 40), item("d", "packed_bcd", 8)])
    count = 70_001
    tags = [f"{i % 99991:05d}".encode() for i in range(count)]
    digits = [b"\x1f" if i in (3, 65_536, 70_000) else b"\x12" for i in range(count)]
    buffer = b"".join(t + d for t, d in zip(tags, digits))
    cols = layout.unpack_many(buffer, stride=6, errors="mask")
    general = layout.unpack_many(buffer, stride=6, errors="mask", _by_packet=True)
    assert np.flatnonzero(cols.failed).tolist() == [3, 65_536, 70_000]
    expected = ["" if i in (3, 65_536, 70_000) else t.decode() for i, t in enumerate(tags)]
    assert cols["t"].data.tolist() == expected == general["t"].data.tolist()


@pytest.mark.parametrize("count", [1, 3, 1000, 1_200_000])  # the last past 16 MiB of columns
def test_numeric_columns_are_independent_arrays(count):
    # However the columns' memory is allocated, each is its own aligned,
    # writable, contiguous array: writing one leaves the others as they
    # were, and a column outlives the others.
    recipe = [
        item("a", "unsigned", 8),
        item("b", "twos_complement", 16),
        item("c", "ieee754_f64", 64),
        item("d", "unsigned", 32, byte_order="little"),
        item("t", "us_ascii", 16),
    ]
    layout = Layout(recipe)
    stride = 2 + 15
    packets = bytes(range(128)) * (stride * count // 128 + 1)
    columns = layout.unpack_many(packets[: stride * count], stride=stride)
    expected = {name: col.copy() for name, col in columns.items()}
    for name in "abcd":
        col = columns[name]
        assert col.flags.writeable and col.flags.c_contiguous and col.flags.aligned
        assert col.ctypes.data % col.dtype.itemsize == 0
        col[:] = 0
        for other in "abcd":
            if other != name:
                assert np.array_equal(columns[other], expected[other])
        col[:] = expected[name]
    kept = columns["c"]
    del columns
    assert np.array_equal(kept, expected["c"])
