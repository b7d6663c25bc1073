"""Array columns: the layout reads one column per element; each array
parameter (or repeated entry) becomes one column of shape (packets, d1, d2, ...)."""

from __future__ import annotations

import numpy as np

from bitloom_io.xtce._model import FieldSpec


def combine(fields: list[FieldSpec], columns: dict[str, np.ndarray], suffix: str) -> dict[str, np.ndarray]:
    """``columns`` with each array's element columns, and their engineering
    columns, replaced by one column where its first element stood."""
    groups: dict[str, list[FieldSpec]] = {}
    owner: dict[str, str] = {}
    for entry in fields:
        if entry.group is not None:
            groups.setdefault(entry.group, []).append(entry)
            owner[entry.name] = entry.group
    if not groups:
        return columns
    out: dict[str, np.ndarray] = {}
    for name, column in columns.items():
        engineering = False
        group = owner.get(name)
        if group is None and name.endswith(suffix):
            group = owner.get(name[: -len(suffix)])
            engineering = group is not None
        if group is None:
            out[name] = column
            continue
        key = group + suffix if engineering else group
        if key in out:
            continue
        elements = sorted(groups[group], key=_flat)
        parts = [columns[e.name + suffix] if engineering else columns[e.name] for e in elements]
        # Element by element into a block whose rows are packets: each element
        # column is copied whole (stacking along the rows would stride through
        # the block once per element).
        block = np.stack(parts, axis=0).T if parts[0].ndim == 1 else np.stack(parts, axis=1)
        out[key] = block.reshape((len(column), *_shape(elements[0])))
    return out


def _flat(entry: FieldSpec) -> int:
    assert entry.parameter.array is not None
    return entry.parameter.array[2]


def _shape(entry: FieldSpec) -> tuple[int, ...]:
    assert entry.parameter.array is not None
    return entry.parameter.array[1]
