"""Layouts from files.

``load_layouts(path)`` picks a reader by the file's suffix:

- ``.json``: a recipe (a list of item dicts; it covers every APID, key
  ``"*"``) or an object mapping APIDs to entries (``{"11": [...]}``). An
  entry is a recipe, ``{"recipe": [...], "exact": true}``, or a rule
  ``{"select": {item}, "layouts": {"1": entry, ...}, "names": {"1": "hk"}}``.
  A top-level ``"exact": true`` beside ``"layouts"`` applies to every entry:
  ``{"exact": true, "layouts": {"11": [...]}}``.
- ``.csv``: the CSV definition form of CCSDSPy (columns ``name``,
  ``data_type``, ``bit_length`` and optionally ``bit_offset`` and
  ``byte_order``); one layout for every APID, fields read at their exact
  bits, the first field right after the primary header unless a
  ``bit_offset`` (counted from the start of the packet) says otherwise.
- ``.xml`` / ``.xtce``: an XTCE definition (``bitloom_io.xtce``), its packet
  types by APID (``Definition.apid_layouts``: a ``Select`` where several
  types share an APID). Definitions whose packet types are chosen otherwise
  need ``bitloom_io.xtce.load(path).decode(...)``.

Other readers plug in with :func:`register_loader`.
"""

from __future__ import annotations

import csv
import importlib
import json
import os
from collections.abc import Callable, Mapping
from typing import Any

from ._decode import DEFAULT, Select

__all__ = ["load_layouts", "read_ccsdspy_csv", "register_loader", "layouts_from_json"]

_LOADERS: dict[str, Callable[[str], dict[int | str, Any]]] = {}


def register_loader(suffix: str, loader: Callable[[str], dict[int | str, Any]]) -> None:
    """Makes ``load_layouts`` read files ending in ``suffix`` (``".xml"``)
    with ``loader(path) -> {apid: Layout or Select}``."""
    _LOADERS[suffix.lower()] = loader


def _layout(recipe: Any, exact: bool) -> Any:
    from ._native import Layout

    return Layout(recipe, exact=exact)


def _entry(value: Any, exact: bool, where: str) -> Any:
    if isinstance(value, list):
        return _layout(value, exact)
    if isinstance(value, dict) and "recipe" in value:
        return _layout(value["recipe"], bool(value.get("exact", exact)))
    if isinstance(value, dict) and "select" in value:
        sub = value.get("layouts")
        if not isinstance(sub, dict):
            raise ValueError(f"{where}: a rule needs \"layouts\", an object of values to layouts")
        layouts = {_value(k): _entry(v, exact, f"{where}.{k}") for k, v in sub.items()}
        names = {_value(k): str(v) for k, v in (value.get("names") or {}).items()}
        return Select(value["select"], layouts, names=names)
    raise ValueError(
        f"{where}: expected a recipe (a list of items), {{\"recipe\": [...]}} or "
        f"{{\"select\": {{...}}, \"layouts\": {{...}}}}, not {type(value).__name__}"
    )


def _value(key: str) -> Any:
    try:
        return int(key, 0)
    except ValueError:
        return key


def layouts_from_json(document: Any, *, source: str = "layouts") -> dict[int | str, Any]:
    """Layouts from a parsed JSON document (see the module's documentation)."""
    exact = False
    if isinstance(document, dict) and "layouts" in document and "select" not in document:
        exact = bool(document.get("exact", False))
        document = document["layouts"]
    if isinstance(document, list):
        return {DEFAULT: _layout(document, exact)}
    if not isinstance(document, dict):
        raise ValueError(f"{source}: expected a recipe or an object of APIDs to recipes")
    out: dict[int | str, Any] = {}
    for key, value in document.items():
        if key == DEFAULT:
            apid: int | str = DEFAULT
        else:
            try:
                apid = int(key)
            except ValueError:
                raise ValueError(f"{source}: keys are APIDs or {DEFAULT!r}, not {key!r}") from None
            if not 0 <= apid <= 0x7FF:
                raise ValueError(f"{source}: APID {apid} is not in 0-2047")
        out[apid] = _entry(value, exact, f"{source}[{key!r}]")
    return out


def _load_json(path: str) -> dict[int | str, Any]:
    with open(path, encoding="utf-8") as f:
        document = json.load(f)
    return layouts_from_json(document, source=os.path.basename(path))


_CSV_ENCODINGS = {"uint": "unsigned", "int": "twos_complement", "str": "iso_8859_1"}
_CSV_FLOATS = {16: "ieee754_f16", 32: "ieee754_f32", 64: "ieee754_f64"}


def read_ccsdspy_csv(path: str | os.PathLike[str]) -> list[dict[str, Any]]:
    """A recipe from a CCSDSPy CSV definition (fixed-length packets): one
    item per row except ``fill`` rows, which only take up their bits.
    Positions count from the start of the packet (primary header included),
    so the recipe suits ``Layout(recipe, exact=True)`` and ``decode``."""
    name = os.path.basename(os.fspath(path))
    recipe: list[dict[str, Any]] = []
    with open(path, newline="", encoding="utf-8") as f:
        rows = csv.DictReader(f, skipinitialspace=True)
        header = [h.strip() for h in rows.fieldnames or []]
        missing = {"name", "data_type", "bit_length"} - set(header)
        if missing:
            raise ValueError(f"{name}: missing columns {sorted(missing)} (has {header})")
        position = 48
        for line, row in enumerate(rows, start=2):
            row = {k.strip(): (v or "").strip() for k, v in row.items() if k is not None}
            kind = row["data_type"].lower()
            try:
                bits = int(row["bit_length"])
                if row.get("bit_offset"):
                    position = int(row["bit_offset"])
            except ValueError as error:
                raise ValueError(f"{name}, line {line}: {error}") from None
            order = (row.get("byte_order") or "big").lower()
            if order not in ("big", "little"):
                raise ValueError(f"{name}, line {line}: byte order {order!r} is not big or little")
            if kind == "fill":
                position += bits
                continue
            if kind == "float":
                encoding = _CSV_FLOATS.get(bits)
                if encoding is None:
                    raise ValueError(f"{name}, line {line}: a float has 16, 32 or 64 bits, not {bits}")
            elif kind in _CSV_ENCODINGS:
                encoding = _CSV_ENCODINGS[kind]
            else:
                raise ValueError(
                    f"{name}, line {line}: data type {row['data_type']!r} is not uint, int, float, str or fill"
                )
            recipe.append({
                "name": row["name"],
                "encoding": encoding,
                "bits": bits,
                "byte_order": order,
                "reverse_bits": False,
                "offset_bits": position,
            })
            position += bits
    return recipe


def _load_csv(path: str) -> dict[int | str, Any]:
    return {DEFAULT: _layout(read_ccsdspy_csv(path), True)}


def _load_xtce(path: str) -> dict[int | str, Any]:
    # Imported by name: the XTCE reader is optional, and so are its
    # dependencies.
    try:
        xtce: Any = importlib.import_module("bitloom_io.xtce")
    except ImportError as error:
        raise ValueError(f"{os.path.basename(path)}: XTCE files cannot be read here: {error}") from None
    return {apid: layout for apid, layout in xtce.load(path).apid_layouts().items()}


register_loader(".json", _load_json)
register_loader(".csv", _load_csv)
register_loader(".xml", _load_xtce)
register_loader(".xtce", _load_xtce)


def load_layouts(path: str | os.PathLike[str]) -> dict[int | str, Any]:
    """Layouts by APID from a file, the reader chosen by its suffix (see the
    module's documentation); the key ``"*"`` covers every other APID."""
    path = os.fspath(path)
    suffix = os.path.splitext(path)[1].lower()
    loader = _LOADERS.get(suffix)
    if loader is None:
        raise ValueError(
            f"{os.path.basename(path)}: no layout reader for {suffix or 'files without a suffix'!r} "
            f"(known: {', '.join(sorted(_LOADERS))})"
        )
    return loader(path)
