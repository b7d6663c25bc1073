"""The CCSDS splitter: headers, hostile streams, resynchronisation, prefixes,
sequence counts and every kind of source."""

import io
import mmap
import os
import warnings

import pytest

np = pytest.importorskip("numpy")

from bitloom_io import ccsds  # noqa: E402
from bitloom_io.ccsds import SequenceWarning, StreamWarning  # noqa: E402


def packet(apid=11, count=0, data=b"\x00", *, type_=0, sec=1, flags=3, version=0, length=None):
    dlen = len(data) - 1 if length is None else length
    h = bytes(
        [
            (version << 5) | (type_ << 4) | (sec << 3) | (apid >> 8),
            apid & 0xFF,
            (flags << 6) | (count >> 8),
            count & 0xFF,
            dlen >> 8,
            dlen & 0xFF,
        ]
    )
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


def A9(count, **kw):
    """A 9-byte packet of APID 1."""
    return packet(apid=1, count=count, data=bytes([0xA0 + count]) * 3, **kw)


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
    "final packet cut short": (
        P7 + packet(apid=1, count=1, data=bytes(100))[:50],
        [("packet", 0, 7), ("truncated", 7, 50)],
        True,
    ),
    "length past the end, packets after": (
        P7 + packet(apid=1, count=1, data=b"\x01\x02", length=0xFFFF) + P7B + P7B + P7B,
        [("packet", 0, 7), ("overrun", 7, 8), ("packet", 15, 7), ("packet", 22, 7), ("packet", 29, 7)],
        True,
    ),
    # A length field that lies but lands inside the stream must not swallow
    # the intact packets it covers.
    "length that swallows packets": (
        packet(apid=1, count=0, data=b"\x01", length=20) + b"".join(packet(apid=1, count=c) for c in range(1, 6)),
        [("implausible_length", 0, 7)] + [("packet", 7 * c, 7) for c in range(1, 6)],
        True,
    ),
    "length that swallows packets, junk after": (
        P7
        + packet(apid=1, count=1, length=12)
        + b"".join(packet(apid=1, count=c) for c in (2, 3, 4))
        + b"\xe7\xff\xff\xff\xff\xff\xff",
        [
            ("packet", 0, 7),
            ("implausible_length", 7, 7),
            ("packet", 14, 7),
            ("packet", 21, 7),
            ("packet", 28, 7),
            ("junk", 35, 7),
        ],
        True,
    ),
    # A lie that lands on a later packet of the APID, past a gap in its
    # counts: the packets between chain to it, so they are found.
    "length that lands on a later packet past a gap": (
        A9(0) + A9(1, length=20) + A9(2) + A9(3) + A9(4) + A9(5),
        [("packet", 0, 9), ("implausible_length", 9, 9)] + [("packet", 9 * c, 9) for c in range(2, 6)],
        True,
    ),
    # First packets of new APIDs after junk: their chain reaches the next
    # count of a known APID, which vouches for them.
    "new APIDs after junk": (
        A9(0) + A9(1) + b"\xff" * 5 + packet(apid=5, data=b"\x11\x12") + packet(apid=6, data=b"\x13") + A9(2) + A9(3),
        [("packet", 0, 9), ("packet", 9, 9), ("junk", 18, 5), ("packet", 23, 8), ("packet", 31, 7)]
        + [("packet", 38, 9), ("packet", 47, 9)],
        True,
    ),
    "swallowed packet followed by a new APID": (
        A9(0) + A9(1, length=40) + A9(2) + packet(apid=6, data=b"\x13") + A9(3) + A9(4),
        [
            ("packet", 0, 9),
            ("overrun", 9, 9),
            ("packet", 18, 9),
            ("packet", 27, 7),
            ("packet", 34, 9),
            ("packet", 43, 9),
        ],
        True,
    ),
    # Too short a length: the rest of the damaged packet is junk.
    "short length, next header inside the data": (
        P7 + packet(apid=1, count=1, data=bytes(range(1, 17)), length=3) + packet(apid=1, count=2) * 3,
        [
            ("packet", 0, 7),
            ("packet", 7, 10),
            ("overrun", 17, 12),
            ("packet", 29, 7),
            ("packet", 36, 7),
            ("packet", 43, 7),
        ],
        True,
    ),
    "intact packet followed by junk": (
        P7 + P7B + b"\xe7\x13\x00\x00\x00\x00" + packet(apid=1, count=2) * 3,
        [("packet", 0, 7), ("packet", 7, 7), ("junk", 14, 6), ("packet", 20, 7), ("packet", 27, 7), ("packet", 34, 7)],
        True,
    ),
    # Runs of zeros that would read as two or more all-zero packets are
    # padding: one region, however long, and no packets of APID 0.
    "zeros alone": (bytes(7 * 100), [("zero_fill", 0, 700)], True),
    "zeros, not a whole number of packets": (bytes(30), [("zero_fill", 0, 30)], True),
    "zeros before packets": (bytes(70) + P7 + P7B, [("zero_fill", 0, 70), ("packet", 70, 7), ("packet", 77, 7)], True),
    "zeros padding the end": (P7 + P7B + bytes(50), [("packet", 0, 7), ("packet", 7, 7), ("zero_fill", 14, 50)], True),
    "fill ends where a header starting with a zero byte begins": (
        packet(apid=1, count=0, sec=0) + bytes(20) + b"".join(packet(apid=1, count=c, sec=0) for c in (1, 2, 3)),
        [("packet", 0, 7), ("zero_fill", 7, 20), ("packet", 27, 7), ("packet", 34, 7), ("packet", 41, 7)],
        True,
    ),
    "junk, then fill": (
        P7 + b"\xff\xff" + bytes(28) + P7B + packet(apid=1, count=2) + packet(apid=1, count=3),
        [
            ("packet", 0, 7),
            ("junk", 7, 2),
            ("zero_fill", 9, 28),
            ("packet", 37, 7),
            ("packet", 44, 7),
            ("packet", 51, 7),
        ],
        True,
    ),
    "fewer zeros than two packets are no fill": (
        P7 + bytes(13) + P7B,
        [("packet", 0, 7), ("junk", 7, 13), ("packet", 20, 7)],
        True,
    ),
    "one all-zero packet among APID 0's is a packet": (
        packet(apid=0, count=0) + bytes(7) + packet(apid=0, count=2) + packet(apid=0, count=3),
        [("packet", 0, 7), ("packet", 7, 7), ("packet", 14, 7), ("packet", 21, 7)],
        False,
    ),
    "zeros in the data of new APIDs": (
        b"".join(packet(apid=a, count=a, data=bytes(a + 1)) for a in range(12)),
        [("packet", sum(7 + b for b in range(a)), 7 + a) for a in range(12)],
        False,
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


def versioned(version, n=12, apid=5):
    return b"".join(packet(apid=apid, count=c, data=bytes([c]) * (c % 5 + 1), version=version) for c in range(n))


# Streams of other version numbers: (stream, options, packets, problem kinds, versions reported)
VERSIONS = {
    "version 1, chained": (versioned(1), {}, 12, [], {1: 12}),
    "version 2, chained": (versioned(2), {}, 12, [], {2: 12}),
    "versions 1 and 2 interleaved, chained to the end": (
        b"".join(packet(apid=5, count=c, version=1 + c % 2) for c in range(6)),
        {},
        6,
        [],
        {1: 3, 2: 3},
    ),
    "version 1 refused when only 0 is asked for": (versioned(1), {"versions": (0,)}, 0, ["junk"], {}),
    "version 1 after version 0": (versioned(0, 4) + versioned(1, 12, apid=6), {}, 16, [], {0: 4, 1: 12}),
    "version 1, damaged first header": (b"\xff" + versioned(1), {}, 12, ["junk"], {1: 12}),
    "one stray version-3 header among version 0": (
        versioned(0, 4)
        + packet(apid=5, count=4, version=3)
        + versioned(0, 4)[: 4 * 0]
        + b"".join(packet(apid=5, count=c) for c in range(5, 9)),
        {},
        8,
        ["junk"],
        {},
    ),
    "fixed length refused": (
        b"".join(packet(apid=7, count=c, data=bytes(4 if c != 2 else 6)) for c in range(6)),
        {"lengths": {7: 10}},
        5,
        ["implausible_length"],
        {},
    ),
    "fixed length of another APID": (versioned(0), {"lengths": {6: 7}}, 12, [], {}),
    "fixed length that would swallow packets": (
        b"".join(packet(apid=7, count=c, data=bytes(4), length=(3 if c != 2 else 13)) for c in range(6)),
        {"lengths": {7: 10}},
        5,
        ["implausible_length"],
        {},
    ),
    "declared APIDs": (versioned(0), {"apids": [5, 9]}, 12, [], {}),
}


@pytest.mark.parametrize("name", VERSIONS)
def test_versions_and_declared_lengths(name):
    stream, options, count, kinds, versions = VERSIONS[name]
    p = quiet_split(stream, **options)
    assert len(p) == count
    assert [q.kind for q in p.summary.problems] == kinds
    assert sum(r[2] for r in regions(p)) == len(stream)
    assert p.summary.versions == ({} if set(versions) <= {0} else versions)
    if p.summary.versions:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            ccsds.split(stream, **options)
        assert any("version number other than 0" in str(w.message) for w in caught)
        assert "versions:" in str(p.summary)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"versions": (8,)}, "versions are ints from 0 to 7"),
        ({"versions": ()}, "at least one version"),
        ({"versions": (True,)}, "versions are ints"),
        ({"apids": [2048]}, "APIDs, ints from 0 to 2047"),
        ({"apids": ["11"]}, "APIDs, ints from 0 to 2047"),
        ({"lengths": {11: 6}}, "packet sizes from 7 to 65542"),
        ({"lengths": {-1: 7}}, "APIDs, ints from 0 to 2047"),
        ({"max_bytes": -1}, "max_bytes"),
    ],
)
def test_options_refused(options, message):
    with pytest.raises(ValueError, match=message):
        ccsds.split(b"", **options)


def test_repeats_are_runs():
    # A count repeated by every packet is one run in the report, however
    # long the stream.
    same = packet(apid=3, count=5) * 10_000
    r = quiet_split(same + P7 + P7B).summary.sequence[3]
    assert (r.packets, r.repeats, r.repeat_offsets) == (10_000, 9_999, (7,))
    # Zeros (APID 0 repeating count 0) are fill, one region wherever they lie.
    zeros = bytes(7 * 10_000)
    for stream, at in ((zeros + P7 + P7B, 0), (P7 + zeros + P7B + P7B, 7)):
        p = quiet_split(stream)
        assert [(q.kind, q.offset, q.length) for q in p.summary.problems] == [("zero_fill", at, len(zeros))]
        assert 0 not in p.summary.sequence and p.summary.zero_fill == 1
    stream = b"".join(packet(apid=4, count=c) for c in (1, 5, 9, 9, 9, 10, 20))
    r = quiet_split(stream).summary.sequence[4]
    assert (r.gaps, r.missing, r.gap_offsets) == (3, 3 + 3 + 9, (7, 42))
    assert (r.repeats, r.repeat_offsets) == (2, (21,))


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


def test_a_file_that_shrinks_under_its_mapping_raises(tmp_path):
    import bitloom_io

    path = tmp_path / "shrinks.bin"
    stream = b"".join(packet(apid=3, count=c % 16384, data=bytes(200)) for c in range(2000))
    path.write_bytes(stream)
    p = ccsds.split(path)
    assert len(p) == 2000
    os.truncate(path, 1000)
    # The pages past the new end read as zeros, not SIGBUS; what read them
    # is told afterwards.
    assert bytes(p.packet(1999)) == bytes(206)
    layout = bitloom_io.Layout(
        [
            {
                "name": "X",
                "encoding": "unsigned",
                "bits": 8,
                "byte_order": "big",
                "reverse_bits": False,
                "offset_bits": 48,
            }
        ]
    )
    with pytest.raises(
        OSError, match=r"shrinks\.bin: the file shrank while it was read; its bytes from offset [1-9]\d* on"
    ):
        bitloom_io.decode(p, {3: layout})
    with pytest.raises(OSError, match="shrinks.bin"):
        path.write_bytes(stream)
        mapped = ccsds.split(path)
        os.truncate(path, 0)
        ccsds.split(mapped.buffer)
    del p, mapped


@pytest.mark.parametrize("map_", [True, False])
def test_mapped_and_read_files_agree(tmp_path, map_):
    path = tmp_path / "s.bin"
    stream = b"".join(packet(apid=a % 7, count=a // 7, data=bytes(a % 300 + 1)) for a in range(2000)) + b"\xff"
    path.write_bytes(stream)
    p = quiet_split(path, map=map_)
    expected = quiet_split(stream)
    assert p.offsets.tolist() == expected.offsets.tolist()
    assert p.summary.problems == expected.summary.problems
    with open(path, "rb") as f:
        assert quiet_split(f, map=map_).offsets.tolist() == expected.offsets.tolist()


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
def test_devices_need_a_size_limit(device):
    with pytest.raises(ValueError, match=f"{device} is not a regular file: read it as a stream with a size limit"):
        ccsds.split(device)
    with open(device, "rb") as f, pytest.raises(ValueError, match="is a device: read it as a stream"):
        ccsds.split(f)
    assert quiet_split(device, max_bytes=7000).summary.bytes == 7000
    with open(device, "rb") as f:
        assert quiet_split(f, max_bytes=700).summary.bytes == 700


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
        "offsets": (np.int64, 0),
        "lengths": (np.uint32, 9),
        "version": (np.uint8, 0),
        "type": (np.uint8, 1),
        "secondary_flag": (np.uint8, 0),
        "apid": (np.uint16, 0x123),
        "sequence_flags": (np.uint8, 1),
        "sequence_count": (np.uint16, 77),
        "data_length": (np.uint16, 2),
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
