"""A layout drawn as a bit diagram, in the style of the packet headers of the
network protocol documents: a ruler of bit numbers, 32 bits per row, each
field a box holding its name.

    >>> print(render(layout.fields))              # doctest: +SKIP
     0                   1                   2                   3
     0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
    +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
    |Ver|T|S|        APID         |SF |      SEQUENCE_COUNT       |  0
    +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
    ...

Each bit takes two columns. A field that runs on into the next row keeps
its box open across the row boundary; a field (or an unused stretch) of more
than four whole rows is drawn as one row between `~` marks. A field whose
width comes from another field is drawn as variable: it fills the rest of
its row and one `~` row. Where a field starts after such a field depends on
the data, so those fields are drawn from the start of a row and the bit
offsets in the right margin stop. Names that do not fit their box are cut,
and the notes under the diagram give them in full.

Pure Python over `Layout.fields` (anything with `index`, `name`, `start_bit`
and `bits` attributes), so it also serves layouts built elsewhere.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any
from collections.abc import Hashable

__all__ = ["diagram", "render"]

# Runs of more whole rows than this, of one field or of unused bits, are
# drawn as a single `~` row.
_COMPRESS_ROWS = 4


@dataclass
class _Row:
    cells: list[Hashable | None]  # the owner of each bit of the row
    tilde: bool = False  # a `~` row: variable width or compressed rows
    offset: int | None = None  # the row's first bit, where it is known


@dataclass
class _Item:
    start: int  # bit position within its section
    bits: int | None  # None: width taken from another field
    owner: Hashable
    name: str


@dataclass
class _Section:
    items: list[_Item] = field(default_factory=list)
    absolute: bool = True


def render(fields: Iterable[Any], bits_per_row: int = 32) -> str:
    """The diagram of `fields` (a layout's `fields`) as text, without a
    trailing newline. `bits_per_row` sets the row width (32 by default)."""
    if isinstance(bits_per_row, bool) or not isinstance(bits_per_row, int):
        raise TypeError("bits_per_row must be an int")
    if not 1 <= bits_per_row <= 128:
        raise ValueError("bits_per_row must be between 1 and 128")
    width = bits_per_row
    fields = sorted(fields, key=lambda f: f.index)
    names: dict[Hashable, str] = {("f", f.index): str(f.name) for f in fields}
    sections, notes = _sections(fields)
    rows: list[_Row] = []
    variable: set[Hashable] = set()
    for number, section in enumerate(sections):
        rows.extend(_section_rows(section, number, width, variable))
    lines, lines_of_rows = _draw(rows, width)
    truncated = _place_labels(lines, lines_of_rows, rows, width, names, variable)
    out = _ruler(width) + ["".join(line).rstrip() + (margin if margin else "") for line, margin in lines]
    for label, name in truncated:
        notes.append(f"{label!r} is {name!r}")
    if not fields:
        notes.append("the layout has no fields")
    if notes:
        out.append("")
        out.extend("* " + note for note in notes)
    return "\n".join(out)


def diagram(layout: Any, bits_per_row: int = 32) -> str:
    """The bit diagram of a `Layout` (see `render`)."""
    return render(layout.fields, bits_per_row)


def _sections(fields: Sequence[Any]) -> tuple[list[_Section], list[str]]:
    """Fields grouped by what their positions are known relative to: the
    packet start first, then the end of each variable-width field."""
    notes: list[str] = []
    first = _Section()
    sections = [first]
    current = first
    position = 0
    after_variable = False
    for f in fields:
        owner = ("f", f.index)
        bits = f.bits if isinstance(f.bits, int) and not isinstance(f.bits, bool) else None
        if f.start_bit is not None:
            section, start = first, int(f.start_bit)
        else:
            section, start = current, position
        if bits == 0:
            notes.append(f"{f.name!r} has no bits and is not drawn")
            position = start
            continue
        section.items.append(_Item(start, bits, owner, str(f.name)))
        if bits is None:
            after_variable = True
            current = _Section(absolute=False)
            sections.append(current)
            position = 0
        else:
            if section is not current:
                current = section
            position = start + bits
    sections = [s for s in sections if s.items]
    if after_variable and any(not s.absolute for s in sections):
        notes.append(
            "fields after a variable-width field are drawn from the start of a row:"
            " where they start depends on the data"
        )
    overlaps = _overlaps(sections)
    notes.extend(f"{a!r} and {b!r} overlap" for a, b in overlaps)
    return sections, notes


def _overlaps(sections: list[_Section]) -> list[tuple[str, str]]:
    found = []
    for section in sections:
        spans = sorted((it.start, it.start + it.bits, it.name) for it in section.items if it.bits is not None)
        reach_end, reach_name = -1, ""
        for start, stop, name in spans:
            if start < reach_end:
                found.append((reach_name, name))
            if stop > reach_end:
                reach_end, reach_name = stop, name
    return found


def _paint(section: _Section, number: int, width: int) -> list[tuple[int, int, Hashable]]:
    """Contiguous, non-overlapping spans (start, stop, owner) from bit 0 to the
    end of the section; later fields are drawn over earlier ones, and unused
    bits belong to gap owners of their own."""
    spans: list[tuple[int, int, Hashable]] = []
    for item in section.items:
        stop = item.start + item.bits if item.bits is not None else -(-(item.start + 1) // width) * width
        if item.bits is None and item.start % width == 0:
            continue  # a variable field at a row start is its `~` row alone
        new: list[tuple[int, int, Hashable]] = []
        for a, b, o in spans:
            if b <= item.start or a >= stop:
                new.append((a, b, o))
                continue
            if a < item.start:
                new.append((a, item.start, o))
            if b > stop:
                new.append((stop, b, o))
        new.append((item.start, stop, item.owner))
        spans = sorted(new, key=lambda s: s[0])
    filled: list[tuple[int, int, Hashable]] = []
    position = 0
    for a, b, o in spans:
        if a > position:
            filled.append((position, a, ("g", number, position)))
        filled.append((a, b, o))
        position = b
    return filled


def _section_rows(section: _Section, number: int, width: int, variable: set[Hashable]) -> list[_Row]:
    spans = _paint(section, number, width)
    # `~` rows of variable-width fields, at the row boundary after their start.
    inserts: dict[int, list[Hashable]] = {}
    for item in section.items:
        if item.bits is None:
            boundary = -(-item.start // width) * width
            inserts.setdefault(boundary, []).append(item.owner)
            variable.add(item.owner)
    rows: list[_Row] = []
    cells: list[Hashable | None] = [None] * width
    row_start = 0

    def offset(bit: int) -> int | None:
        return bit if section.absolute else None

    def flush_inserts(bit: int) -> None:
        for owner in inserts.pop(bit, []):
            rows.append(_Row([owner] * width, tilde=True))

    flush_inserts(0)
    for a, b, owner in spans:
        position = a
        while position < b:
            column = position - row_start
            whole = (b - position) // width if column == 0 else 0
            if whole > _COMPRESS_ROWS:
                rows.append(_Row([owner] * width, tilde=True, offset=offset(row_start)))
                position += whole * width
                row_start += whole * width
                flush_inserts(row_start)
                continue
            n = min(b - position, width - column)
            cells[column : column + n] = [owner] * n
            position += n
            if column + n == width:
                rows.append(_Row(cells, offset=offset(row_start)))
                cells = [None] * width
                row_start += width
                flush_inserts(row_start)
    if any(c is not None for c in cells):
        rows.append(_Row(cells, offset=offset(row_start)))
        row_start += width
    for boundary in sorted(inserts):
        flush_inserts(boundary)
    return rows


def _ruler(width: int) -> list[str]:
    tens = [" "] * (2 * width + 1)
    units = [" "] * (2 * width + 1)
    for bit in range(width):
        if bit % 10 == 0:
            tens[2 * bit + 1] = str(bit // 10 % 10)
        units[2 * bit + 1] = str(bit % 10)
    return ["".join(tens).rstrip(), "".join(units).rstrip()]


def _separator(above: list[Hashable | None], below: list[Hashable | None], width: int) -> list[str]:
    line = [" "] * (2 * width + 1)
    for bit in range(width):
        a, b = above[bit], below[bit]
        if (a is not None or b is not None) and a != b:
            line[2 * bit + 1] = "-"
    for corner in range(width + 1):
        around = [
            above[corner - 1] if corner > 0 else None,
            above[corner] if corner < width else None,
            below[corner - 1] if corner > 0 else None,
            below[corner] if corner < width else None,
        ]
        if all(c is None for c in around):
            continue
        if around[0] is not None and all(c == around[0] for c in around):
            continue  # inside one box
        line[2 * corner] = "+"
    return line


def _content(row: _Row, width: int) -> list[str]:
    line = [" "] * (2 * width + 1)
    edge = "~" if row.tilde else "|"
    for corner in range(width + 1):
        left = row.cells[corner - 1] if corner > 0 else None
        right = row.cells[corner] if corner < width else None
        if left != right or (corner in (0, width) and left is not None):
            line[2 * corner] = edge if corner in (0, width) else "|"
    return line


def _draw(rows: list[_Row], width: int) -> tuple[list[tuple[list[str], str]], list[tuple[int, int]]]:
    """Lines (characters and right margin) and, per row, the index of its
    content line and of the separator line under it."""
    empty: list[Hashable | None] = [None] * width
    lines: list[tuple[list[str], str]] = []
    where: list[tuple[int, int]] = []
    previous = empty
    for row in rows:
        lines.append((_separator(previous, row.cells, width), ""))
        margin = f"  {row.offset}" if row.offset is not None else ""
        lines.append((_content(row, width), margin))
        where.append((len(lines) - 1, len(lines)))
        previous = row.cells
    if rows:
        lines.append((_separator(previous, empty, width), ""))
    return lines, where


def _runs(cells: list[Hashable | None]) -> list[tuple[int, int, Hashable]]:
    """Maximal stretches (first, last, owner) of one owner in a row."""
    runs = []
    start = 0
    for i in range(1, len(cells) + 1):
        if i == len(cells) or cells[i] != cells[start]:
            if cells[start] is not None:
                runs.append((start, i - 1, cells[start]))
            start = i
    return runs


def _place_labels(
    lines: list[tuple[list[str], str]],
    where: list[tuple[int, int]],
    rows: list[_Row],
    width: int,
    names: dict[Hashable, str],
    variable: set[Hashable],
) -> list[tuple[str, str]]:
    """Writes each field's name once per connected part of its box, on the
    widest line of that part (the middle one among equals). Returns the
    (label, name) pairs of names that had to be cut."""
    # Content runs, joined into parts by union-find where a run overlaps a
    # run of the same owner in the next row.
    runs: list[tuple[int, int, int, Hashable]] = []  # (row, a, b, owner)
    for r, row in enumerate(rows):
        for a, b, owner in _runs(row.cells):
            runs.append((r, a, b, owner))
    parent = list(range(len(runs)))

    def find(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    by_row: dict[int, list[int]] = {}
    for i, (r, _, _, _) in enumerate(runs):
        by_row.setdefault(r, []).append(i)
    candidates: dict[int, list[tuple[int, int, int]]] = {}  # run -> (line, a, b)
    for i, (r, a, b, owner) in enumerate(runs):
        candidates.setdefault(i, []).append((where[r][0], a, b))
        for j in by_row.get(r + 1, []):
            _, a2, b2, owner2 = runs[j]
            if owner2 == owner and a2 <= b and a <= b2:
                parent[find(j)] = find(i)
                # The separator between them is open over the shared bits.
                candidates[i].append((where[r][1], max(a, a2), min(b, b2)))
    parts: dict[int, list[tuple[int, int, int]]] = {}
    part_owner: dict[int, Hashable] = {}
    for i in range(len(runs)):
        root = find(i)
        parts.setdefault(root, []).extend(candidates[i])
        part_owner[root] = runs[i][3]
    seen: dict[Hashable, int] = {}
    truncated: list[tuple[str, str]] = []
    used: dict[str, str] = {}  # label -> the name it stands for
    for root in sorted(parts, key=lambda k: min(c[0] for c in parts[k])):
        owner = part_owner[root]
        if owner not in names:
            continue  # unused bits carry no label
        name = names[owner]
        count = seen.get(owner, 0)
        seen[owner] = count + 1
        options = []
        if owner in variable:
            options.append(f"{name} (variable)")
        if count:
            options.append(f"{name} (cont.)")
        options.append(name)
        best = max(c[2] - c[1] for c in parts[root])
        widest = sorted(c for c in parts[root] if c[2] - c[1] == best)
        line, a, b = widest[(len(widest) - 1) // 2]
        room = 2 * (b - a) + 1
        label = next((o for o in options if len(o) <= room), name[:room])
        if label not in options and label:
            label = _distinct(label, name, room, used)
            truncated.append((label, name))
        used.setdefault(label, name)
        chars = lines[line][0]
        begin = 2 * a + 1 + (room - len(label)) // 2
        chars[begin : begin + len(label)] = list(label)
    return truncated


def _distinct(label: str, name: str, room: int, used: dict[str, str]) -> str:
    """A cut name that no other name's label already is: its last
    characters replaced by a number (``SEQ`` and ``SE2``), so that each note
    under the diagram names one field."""
    if used.get(label, name) == name:
        return label
    for number in range(2, 1000):
        suffix = str(number)
        if len(suffix) > room:
            break
        candidate = label[: room - len(suffix)] + suffix
        if used.get(candidate, name) == name:
            return candidate
    return label
