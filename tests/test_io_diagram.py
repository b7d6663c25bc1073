"""Bit diagrams of layouts: exact pictures for the usual shapes, and the
box edges checked against the field positions for many random layouts."""

from __future__ import annotations

import random
from types import SimpleNamespace

import pytest

from bitloom_io.diagram import render

RULER = [
    " 0                   1                   2                   3",
    " 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1",
]
FULL = "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+"


def fields(*shape):
    """Stand-in `Field`s: (name, bits) follow each other, (name, bits,
    start) sit at `start`; bits may be a dynamic-width dict."""
    out, position = [], 0
    for index, (name, bits, *start) in enumerate(shape):
        first = start[0] if start else position
        out.append(SimpleNamespace(index=index, name=name, start_bit=first, bits=bits))
        position = first + bits if first is not None and isinstance(bits, int) else None
    return out


PRIMARY_HEADER = fields(
    ("VERSION", 3),
    ("TYPE", 1),
    ("SEC_HDR_FLAG", 1),
    ("APID", 11),
    ("SEQ_FLAGS", 2),
    ("SEQUENCE_COUNT", 14),
    ("PACKET_LENGTH", 16),
)


def test_primary_header():
    assert render(PRIMARY_HEADER).splitlines() == RULER + [
        FULL,
        "|VERSI|T|S|        APID         |SEQ|      SEQUENCE_COUNT       |  0",
        FULL,
        "|         PACKET_LENGTH         |  32",
        "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+",
        "",
        "* 'VERSI' is 'VERSION'",
        "* 'T' is 'TYPE'",
        "* 'S' is 'SEC_HDR_FLAG'",
        "* 'SEQ' is 'SEQ_FLAGS'",
    ]


@pytest.mark.parametrize(
    "shape, notes",
    [
        # Names cut to the same letters get a number in their last places.
        (
            (("SEQ_FLAGS", 2), ("SEQ_COUNT", 2), ("SEQ_MODE", 2)),
            ["* 'SEQ' is 'SEQ_FLAGS'", "* 'SE2' is 'SEQ_COUNT'", "* 'SE3' is 'SEQ_MODE'"],
        ),
        # A cut name never takes the label of a field shown in full.
        ((("SEQ", 2), ("SEQ_FLAGS", 2)), ["* 'SE2' is 'SEQ_FLAGS'"]),
        ((("A1", 1), ("A2", 1)), ["* 'A' is 'A1'", "* '2' is 'A2'"]),
    ],
)
def test_cut_names_stay_distinct(shape, notes):
    assert render(fields(*shape)).splitlines()[-len(notes) :] == notes


def test_field_over_two_rows_is_one_open_box_named_on_the_middle_line():
    assert render(fields(("TIME", 64))).splitlines() == RULER + [
        FULL,
        "|                                                               |  0",
        "+                             TIME                              +",
        "|                                                               |  32",
        FULL,
    ]


def test_field_crossing_a_row_boundary_keeps_its_box_open():
    lines = render(fields(("A", 16), ("B", 32), ("C", 16))).splitlines()
    # B's two halves share no column: two boxes, the second one marked.
    assert lines[2:] == [
        FULL,
        "|               A               |               B               |  0",
        FULL,
        "|           B (cont.)           |               C               |  32",
        FULL,
    ]
    # Halves that do share columns form one open box with one name.
    lines = render(fields(("A", 8), ("B", 40))).splitlines()
    assert lines[4] == "+-+-+-+-+-+-+-+-+               +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+"
    assert sum("B" in line for line in lines) == 1


def test_variable_width_field_and_what_follows_it():
    lines = render(
        fields(
            ("VERSION", 3),
            ("TYPE", 1),
            ("LEN", 16),
            ("DATA", {"field": "LEN", "slope": 8, "intercept": 0}),
            ("CRC", 16, None),
        )
    ).splitlines()
    assert lines[2:8] == [
        FULL,
        "|VERSI|T|              LEN              |                       |  0",
        "+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+                       +",
        "~                        DATA (variable)                        ~",
        FULL,
        # After the variable field positions depend on the data: no margin.
        "|              CRC              |",
    ]
    assert any("depends on the data" in line for line in lines)


def test_long_fields_and_long_gaps_are_compressed():
    text = render(fields(("HUGE", 1 << 20), ("LATE", 8, (1 << 20) + 32 * 1000)))
    lines = text.splitlines()
    assert len(lines) < 20
    assert sum(line.startswith("~") for line in lines) == 2
    assert "HUGE" in text
    assert lines[-2].endswith(f"  {(1 << 20) + 32 * 1000}")


def test_empty_layout_and_zero_width_field():
    assert "no fields" in render([])
    text = render(fields(("NOTHING", 0), ("X", 8)))
    assert "'NOTHING' has no bits" in text and "|       X       |  0" in text


@pytest.mark.parametrize("width", [0, 129, True, 8.0])
def test_bad_row_width(width):
    with pytest.raises((TypeError, ValueError)):
        render(PRIMARY_HEADER, width)


def _boundaries(shape, width):
    """Per row, the bit columns where a box edge must stand (contiguous
    layout without gaps or compression)."""
    edges: dict[int, set[int]] = {}
    position = 0
    for _, bits in shape:
        for bit in (position, position + bits):
            row, column = divmod(bit, width)
            edges.setdefault(row, set()).add(column)
            if column == 0 and row:
                edges.setdefault(row - 1, set()).add(width)
        position += bits
    return edges, position


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("width", [8, 16, 32])
def test_box_edges_stand_at_field_boundaries(seed, width):
    rng = random.Random(seed)
    # At most four rows per field: longer ones would be compressed.
    choices = [b for b in (1, 2, 3, 5, 8, 11, 16, 24, 32, 40, 64) if b <= 4 * width]
    shape = [(f"F{i}", rng.choice(choices)) for i in range(rng.randint(1, 12))]
    text = render(fields(*shape), width)
    edges, total = _boundaries(shape, width)
    content = [line for line in text.splitlines()[2:] if line.startswith(("|", "~"))]
    rows = -(-total // width)
    # No compression for layouts this small: one content line per row.
    assert len(content) == rows
    for row, line in enumerate(content):
        row_end = min(width, total - row * width)
        body, margin = line[: 2 * row_end + 1], line[2 * row_end + 1 :]
        bars = {i // 2 for i, c in enumerate(body) if c == "|" and i % 2 == 0}
        expected = {c for c in edges.get(row, set()) if c <= row_end} | {0, row_end}
        assert bars == expected, (row, line)
        assert margin.strip() == str(row * width)
    # Every name is shown in full or listed as cut, under a label of its own.
    for name, _ in shape:
        assert name in text
    named: dict[str, str] = {}
    for line in text.splitlines():
        if line.startswith("* '"):
            _, label, _, name, _ = line.split("'")
            assert named.setdefault(label, name) == name, line


def test_layout_diagram_method():
    bitloom_io = pytest.importorskip("bitloom_io")

    def item(name, bits, encoding="unsigned", **keys):
        return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False, **keys}

    header = [item(f.name, f.bits) for f in PRIMARY_HEADER]
    layout = bitloom_io.Layout(header, exact=True)
    assert layout.diagram() == render(PRIMARY_HEADER)
    assert layout.diagram(16).splitlines()[0] == " 0                   1"
    science = bitloom_io.Layout(
        header + [item("BLOB", {"field": "PACKET_LENGTH", "slope": 8, "intercept": 8}, "binary"), item("CRC", 16)],
        exact=True,
    )
    text = science.diagram()
    assert "~                        BLOB (variable)                        ~" in text.splitlines()
    assert "|              CRC              |" in text.splitlines()
