"""The CCSDS splitter: headers, hostile streams, resynchronisation, prefixes,
sequence counts and every kind of source."""

import io
import mmap
import warnings

import pytest

np = pytest.importorskip("numpy")

from bitloom_io import ccsds  # noqa: E402
from bitloom_io.ccsds import SequenceWarning, StreamWarning  # noqa: E402


def packet(apid=11, count=0, data=b"\x00", *, type_=0, sec=1, flags=3, version=0, length=None):
    dlen = len(data) - 1 if length is None else length
    h = bytes([
        (version << 5) | (type_ << 4) | (sec << 3) | (apid >> 8),
        apid & 0xFF,
        (flags << 6) | (count >> 8),
        count & 0xFF,
        dlen >> 8,
        dlen & 0xFF,
    ])
    return h + data


def quiet_split(source, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ccsds.split(source, **kw)


def regions(p):
    """Records and problems as (kind, offset, length), in stream order."""
    prefix = p.summary.prefix_bytes
    out = [("packet", int(o) - prefix, int(n) + prefix) for o, n in zip(p.offsets, p.lengths)]
    out += [(q.kind, q.offset, q.length) for q in p.summary.problems]
    return sorted(out, key=lambda r: r[1])


def test_header_fields_of_every_bit():
    raw = packet(apid=0x7FF, count=0x3FFF, data=bytes(0x100), type_=1, sec=0, flags=2)
    h = ccsds.read_header(raw)
    assert h == ccsds.PrimaryHeader(0, 1, 0, 0x7FF, 2, 0x3FFF, 0xFF)
    assert h.packet_length == 0x106
    p = quiet_split(raw)
    assert p.header(0) == h
    assert bytes(p.packet(0)) == raw


def test_read_header_sources(tmp_path):
    raw = b"junk" + packet(apid=5, count=9)
    path = tmp_path / "h.bin"
    path.write_bytes(raw)
    expected = ccsds.PrimaryHeader(0, 0, 1, 5, 3, 9, 0)
    assert ccsds.read_header(raw, 4) == expected
    assert ccsds.read_header(path, 4) == expected
    assert ccsds.read_header(io.BytesIO(raw), 4) == expected
    with pytest.raises(ValueError, match="needs 6 bytes"):
        ccsds.read_header(raw[:5])


# Hostile streams: (stream, expected regions, warns)
P7 = packet(apid=1, count=0, data=b"\x01")
P7B = packet(apid=1, count=1, data=b"\x02")
BIG = packet(apid=2, count=0, data=bytes(range(256)) * 256)  # 65,542 bytes
HOSTILE = {
    "empty": (b"", [], False),
    "one byte": (b"\x08", [("truncated", 0, 1)], True),
    "one junk byte": (b"\xff", [("junk", 0, 1)], True),
    "header alone": (P7[:6], [("truncated", 0, 6)], True),
    "header alone, length 0": (P7[:6] + b"", [("truncated", 0, 6)], True),
    "smallest packets": (P7 + P7B, [("packet", 0, 7), ("packet", 7, 7)], False),
    "largest packet": (BIG + P7, [("packet", 0, 65542), ("packet", 65542, 7)], False),
    "largest packet cut by one": (BIG[:-1], [("truncated", 0, 65541)], True),
    "junk between packets": (
        P7 + b"\xe0\xff\xff" + P7B + packet(apid=1, count=2) + packet(apid=1, count=3),
        [("packet", 0, 7), ("junk", 7, 3), ("packet", 10, 7), ("packet", 17, 7), ("packet", 24, 7)],
        True,
    ),
    "junk at the start": (b"\xff" * 10 + P7 + P7B, [("junk", 0, 10), ("packet", 10, 7), ("packet", 17, 7)], True),
    "junk at the end": (P7 + b"\xff\xff", [("packet", 0, 7), ("junk", 7, 2)], True),
    "final packet cut short": (P7 + packet(apid=1, count=1, data=bytes(100))[:50],
                               [("packet", 0, 7), ("truncated", 7, 50)], True),
    "length past the end, packets after": (
        P7 + packet(apid=1, count=1, data=b"\x01\x02", length=0xFFFF) + P7B + P7B + P7B,
        [("packet", 0, 7), ("overrun", 7, 8), ("packet", 15, 7), ("packet", 22, 7), ("packet", 29, 7)],
        True,
    ),
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_streams(name):
    stream, expected, warns = HOSTILE[name]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        p = ccsds.split(stream)
    assert regions(p) == expected
    # Nothing lost: records and problems cover every byte.
    assert sum(r[2] for r in regions(p)) == len(stream)
    assert p.summary.lost_bytes == sum(r[2] for r in expected if r[0] != "packet")
    stream_warnings = [w for w in caught if issubclass(w.category, StreamWarning)]
    assert bool(stream_warnings) == warns
    if warns:
        assert f"{p.summary.lost_bytes} of {len(stream)} bytes" in str(stream_warnings[0].message)


def test_junk_that_looks_like_a_header_is_not_taken_unconfirmed():
    # A version-0 byte inside junk whose length would end inside the next
    # real packet: the resync skips it and lands on the confirmed packets.
    fake = bytes([0x00, 0x01, 0xC0, 0x00, 0x00, 0x05])
    stream = P7 + b"\xff" + fake + P7B + P7B + P7B
    p = quiet_split(stream)
    assert [(q.kind, q.offset, q.length) for q in p.summary.problems] == [("junk", 7, 7)]
    assert p.offsets.tolist() == [0, 14, 21, 28]


@pytest.mark.parametrize("prefix", [1, 4, 8])
def test_prefix_bytes(prefix):
    marker = b"\x1a\xcf\xfc\x1d\xaa\xbb\xcc\xdd"[:prefix]
    pkts = [packet(apid=3, count=i, data=bytes([i]) * (i + 1)) for i in range(5)]
    stream = b"".join(marker + q for q in pkts) + marker + pkts[0][:3]
    p = quiet_split(stream, prefix_bytes=prefix)
    assert [bytes(p.packet(i)) for i in range(len(p))] == pkts
    assert p.offsets[0] == prefix
    assert [(q.kind, q.length) for q in p.summary.problems] == [("truncated", prefix + 3)]
    # The same stream without the option is mostly not packets.
    assert quiet_split(stream).summary.lost_bytes > 0


@pytest.mark.parametrize("bad", [-1, 1.5, "4", True])
def test_prefix_bytes_refused(bad):
    with pytest.raises(ValueError, match="prefix_bytes"):
        ccsds.split(b"", prefix_bytes=bad)


@pytest.mark.parametrize(
    "counts, gaps, missing, repeats",
    [
        ([0, 1, 2, 3], 0, 0, 0),
        ([16382, 16383, 0, 1], 0, 0, 0),  # the 14-bit wrap is no gap
        ([16383, 2], 1, 2, 0),  # a gap across the wrap
        ([5, 9, 10], 1, 3, 0),
        ([5, 5, 6, 6], 0, 0, 2),
        ([7, 3], 1, 16379, 0),  # going back is a long gap forward
    ],
)
def test_sequence_counts(counts, gaps, missing, repeats):
    other = [packet(apid=9, count=c) for c in (100, 101)]
    stream = b"".join(packet(apid=4, count=c) for c in counts)
    stream = other[0] + stream + other[1]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        p = ccsds.split(stream)
    r = p.summary.sequence[4]
    assert (r.packets, r.gaps, r.missing, r.repeats) == (len(counts), gaps, missing, repeats)
    assert (r.first, r.last) == (counts[0], counts[-1])
    assert p.summary.sequence[9].gaps == 0  # interleaved APIDs are checked separately
    assert any(issubclass(w.category, SequenceWarning) for w in caught) == bool(gaps or repeats)
    assert not any(issubclass(w.category, StreamWarning) for w in caught)


def test_gap_offsets_point_at_the_packet_after_the_gap():
    stream = b"".join(packet(apid=4, count=c) for c in (1, 2, 7, 7))
    r = quiet_split(stream).summary.sequence[4]
    assert r.gap_offsets == (14,)
    assert r.repeat_offsets == (21,)


def test_sources_agree(tmp_path):
    stream = b"".join(packet(apid=a, count=a, data=bytes(a + 1)) for a in range(40)) + b"\xff"
    path = tmp_path / "s.bin"
    path.write_bytes(stream)
    sources = {
        "bytes": stream,
        "bytearray": bytearray(stream),
        "memoryview": memoryview(stream),
        "numpy": np.frombuffer(stream, np.uint8),
        "str path": str(path),
        "path": path,
        "file": open(path, "rb"),
        "BytesIO": io.BytesIO(stream),
    }
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        sources["mmap"] = m
        expected = quiet_split(stream)
        for name, source in sources.items():
            p = quiet_split(source)
            assert p.offsets.tolist() == expected.offsets.tolist(), name
            assert p.apid.tolist() == list(range(40)), name
            assert p.summary.problems == expected.summary.problems, name
            assert bytes(p.packet(39)) == stream[p.offsets[39] : p.offsets[39] + p.lengths[39]], name
        del p
    sources["file"].close()


def test_file_object_from_its_position(tmp_path):
    path = tmp_path / "s.bin"
    path.write_bytes(b"HDR!" + P7 + P7B)
    with open(path, "rb") as f:
        f.read(4)
        p = ccsds.split(f)
    assert p.offsets.tolist() == [0, 7]


def test_empty_file(tmp_path):
    path = tmp_path / "empty.bin"
    path.write_bytes(b"")
    p = ccsds.split(path)
    assert len(p) == 0 and p.summary.ok


def test_other_sources_refused():
    with pytest.raises(TypeError, match="path, a binary file object or a buffer"):
        ccsds.split(12)


def test_columns_and_dtypes():
    p = quiet_split(packet(apid=0x123, count=77, data=b"abc", type_=1, sec=0, flags=1))
    expected = {
        "offsets": (np.int64, 0), "lengths": (np.uint32, 9), "version": (np.uint8, 0),
        "type": (np.uint8, 1), "secondary_flag": (np.uint8, 0), "apid": (np.uint16, 0x123),
        "sequence_flags": (np.uint8, 1), "sequence_count": (np.uint16, 77), "data_length": (np.uint16, 2),
    }
    for name, (dtype, value) in expected.items():
        column = getattr(p, name)
        assert column.dtype == dtype and column.tolist() == [value], name


@pytest.mark.leaks
@pytest.mark.parametrize("case", ["clean", "problems", "bad argument", "not a buffer"])
def test_scan_leaks_nothing(case):
    from leakcheck import assert_no_leak

    from bitloom_io import _native

    stream = bytearray(b"".join(packet(apid=a % 5, count=a % 3, data=bytes(a % 9 + 1)) for a in range(300)))
    if case == "problems":
        stream[100:103] = b"\xff\xff\xff"
        stream += P7[:4]
    calls = {
        "clean": lambda: _native.ccsds_scan(stream, 0, False),
        "problems": lambda: _native.ccsds_scan(stream, 2, False),
        "bad argument": lambda: _native.ccsds_scan(stream, -1, False),
        "not a buffer": lambda: _native.ccsds_scan(object(), 0, False),
    }
    assert_no_leak(calls[case], watched=[stream])
