"""Layouts from files.

``load_layouts(path)`` picks a reader by the file's suffix:

- ``.json``: a recipe (a list of item dicts; it covers every APID, key
  ``"*"``) or an object mapping APIDs to entries (``{"11": [...]}``). An
  entry is a recipe, ``{"recipe": [...], "exact": false}``, or a rule
  ``{"select": {item}, "layouts": {"1": entry, ...}, "names": {"1": "hk"}}``.
  Fields are read at their exact bits (``Layout(recipe, exact=True)``);
  ``"exact": false`` asks for reading through byte windows, as
  ``bitloom.unpack_parameters`` does, for one entry or, beside
  ``"layouts"``, for every entry: ``{"exact": false, "layouts": {...}}``.
- ``.csv``: the CSV definition form of CCSDSPy (columns ``name``,
  ``data_type``, ``bit_length`` and optionally ``bit_offset`` and
  ``byte_order``); one layout for every APID, fields read at their exact
  bits, the first field right after the primary header unless a
  ``bit_offset`` (counted from the start of the packet) says otherwise.
- ``.xml`` / ``.xtce``: an XTCE definition (``bitloom_io.xtce``), its packet
  types by APID (``Definition.apid_layouts``: a ``Select`` where several
  types share an APID), for those whose types are chosen by equalities.

``load_definition(path)`` is what ``decode`` reads a path with: the same
mappings for JSON and CSV, and the ``xtce.Definition`` itself for XTCE
(tables by container, engineering columns, packet types chosen by any
criterion).

Errors name the file (with line and column for JSON), the APID, the item's
index and name, and what ``bitloom_io.check`` finds there.

Other readers plug in with :func:`register_loader`.
"""

from __future__ import annotations

import csv
import importlib
import json
import os
import re
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any

from ._check import check
from ._decode import DEFAULT, LayoutOrRule, Select, apid_key
from ._native import Layout
from ._sources import missing_file

if TYPE_CHECKING:  # pragma: no cover
    from .xtce import Definition as XtceDefinition

__all__ = [
    "load_layouts",
    "load_definition",
    "read_ccsdspy_csv",
    "register_loader",
    "layouts_from_json",
    "DefinitionFileError",
]


class DefinitionFileError(ValueError):
    """A definition file that cannot be used: the message names the file
    (with line and column where known), the APID and the item."""


_LOADERS: dict[str, Callable[[str], Mapping[int | str, LayoutOrRule]]] = {}


def register_loader(suffix: str, loader: Callable[[str], Mapping[int | str, LayoutOrRule]]) -> None:
    """Makes ``load_layouts`` read files ending in ``suffix`` (``".xml"``)
    with ``loader(path) -> {apid: Layout or Select}``."""
    _LOADERS[suffix.lower()] = loader


class _Where:
    """Where in a definition file an entry is: the file, its text (to find
    lines), the APID and the path of keys down to the entry."""

    def __init__(self, source: str, text: str | None, keys: tuple[str, ...] = ()) -> None:
        self.source = source
        self.text = text
        self.keys = keys

    def at(self, key: object) -> _Where:
        return _Where(self.source, self.text, (*self.keys, str(key)))

    def __str__(self) -> str:
        if not self.keys:
            return ""
        head = "every APID" if self.keys[0] == DEFAULT else f"APID {self.keys[0]}"
        return " ".join([head, *(f"value {k}" for k in self.keys[1:])])

    def position(self, item: Mapping[str, Any] | None) -> tuple[int, int] | None:
        """Line and column of the entry (of its item when given) in the
        text: found by searching the keys in turn, then the item's name."""
        if self.text is None:
            return None
        at = 0
        for key in self.keys:
            found = re.compile(r'"' + re.escape(key) + r'"\s*:').search(self.text, at)
            if found is None:
                break
            at = found.start()
        name = item.get("name") if isinstance(item, Mapping) else None
        if isinstance(name, str):
            found = re.compile(r'"name"\s*:\s*' + re.escape(json.dumps(name))).search(self.text, at)
            if found is not None:
                at = self.text.rfind("{", 0, found.start()) if "{" in self.text[: found.start()] else found.start()
        if at == 0 and not self.keys:
            return None
        line = self.text.count("\n", 0, at) + 1
        return line, at - (self.text.rfind("\n", 0, at) + 1) + 1

    def error(self, message: str, item: Mapping[str, Any] | None = None) -> DefinitionFileError:
        place = self.position(item)
        head = self.source + (f":{place[0]}:{place[1]}" if place else "")
        where = str(self)
        return DefinitionFileError(f"{head}: {where + ': ' if where else ''}{message}")


def _reason(error: BaseException) -> str:
    """An exception's message without the type name the packet functions
    put before it."""
    text = str(error)
    prefix = f"{type(error).__name__}: "
    return text[len(prefix) :] if text.startswith(prefix) else text


def _layout(recipe: Any, exact: bool, where: _Where) -> Layout:
    try:
        return Layout(recipe, exact=exact)
    except (ValueError, TypeError, KeyError, OverflowError, NotImplementedError) as error:
        raise _recipe_error(recipe, exact, where, error) from None


def _recipe_error(recipe: Any, exact: bool, where: _Where, error: BaseException) -> DefinitionFileError:
    """The error of a recipe ``Layout`` refuses, naming the item (from the
    note the packet functions add) and what ``check`` finds on it."""
    index = None
    for note in getattr(error, "__notes__", ()):
        found = re.match(r"in recipe item (\d+)", note)
        if found:
            index = int(found.group(1))
    item = recipe[index] if index is not None and isinstance(recipe, list) and index < len(recipe) else None
    message = _reason(error)
    if index is not None:
        name = item.get("name") if isinstance(item, dict) else None
        message = f"item {index}" + (f" {name!r}" if name is not None else "") + f": {message}"
    try:
        findings = [
            f for f in check(recipe, exact=exact) if f.kind == "invalid" and (index is None or f.index == index)
        ]
    except TypeError:
        findings = []
    if findings:
        message += f" (check: {findings[0].message})"
    return where.error(message, item if isinstance(item, dict) else None)


def _entry(value: Any, exact: bool, where: _Where) -> LayoutOrRule:
    if isinstance(value, list):
        return _layout(value, exact, where)
    if isinstance(value, dict) and "recipe" in value:
        return _layout(value["recipe"], bool(value.get("exact", exact)), where)
    if isinstance(value, dict) and "select" in value:
        sub = value.get("layouts")
        if not isinstance(sub, dict):
            raise where.error('a rule needs "layouts", an object of values to layouts')
        layouts = {_value(k): _entry(v, exact, where.at(k)) for k, v in sub.items()}
        names = {_value(k): str(v) for k, v in (value.get("names") or {}).items()}
        try:
            return Select(value["select"], layouts, names=names)
        except (ValueError, TypeError, KeyError, OverflowError, NotImplementedError) as error:
            raise _recipe_error([value["select"]], True, where, error) from None
    raise where.error(
        'expected a recipe (a list of items), {"recipe": [...]} or '
        f'{{"select": {{...}}, "layouts": {{...}}}}, not {type(value).__name__}'
    )


def _value(key: str) -> Any:
    try:
        return int(key, 0)
    except ValueError:
        return key


def layouts_from_json(
    document: Any, *, source: str = "layouts", text: str | None = None
) -> dict[int | str, LayoutOrRule]:
    """Layouts from a parsed JSON document (see the module's documentation);
    ``text``, the document's text, lets errors give lines."""
    exact = True
    top = _Where(source, text)
    if isinstance(document, dict) and "layouts" in document and "select" not in document:
        exact = bool(document.get("exact", True))
        document = document["layouts"]
    if isinstance(document, list):
        return {DEFAULT: _layout(document, exact, top.at(DEFAULT))}
    if not isinstance(document, dict):
        raise top.error("expected a recipe or an object of APIDs to recipes")
    out: dict[int | str, LayoutOrRule] = {}
    for key, value in document.items():
        try:
            apid = apid_key(key)
        except ValueError:
            raise top.at(key).error(f"keys are APIDs (0-2047) or {DEFAULT!r}, not {key!r}") from None
        if apid in out:
            raise top.at(key).error(f"a second entry for APID {apid}")
        out[apid] = _entry(value, exact, top.at(key))
    return out


def _load_json(path: str) -> dict[int | str, LayoutOrRule]:
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise DefinitionFileError(f"{path}:{error.lineno}:{error.colno}: not JSON: {error.msg}") from None
    return layouts_from_json(document, source=path, text=text)


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
            recipe.append(
                {
                    "name": row["name"],
                    "encoding": encoding,
                    "bits": bits,
                    "byte_order": order,
                    "reverse_bits": False,
                    "offset_bits": position,
                }
            )
            position += bits
    return recipe


def _load_csv(path: str) -> dict[int | str, LayoutOrRule]:
    return {DEFAULT: _layout(read_ccsdspy_csv(path), True, _Where(path, None, (DEFAULT,)))}


def _xtce_module() -> Any:
    # Imported by name: the XTCE reader is optional, and so are its
    # dependencies.
    try:
        return importlib.import_module("bitloom_io.xtce")
    except ImportError as error:
        raise ImportError(
            f"XTCE files need defusedxml ({error}): pip install \"bitloom-packets[io]\""
            ' (from a checkout: pip install ".[io]")',
            name=error.name,
        ) from None


def load_xtce(path: str | os.PathLike[str]) -> XtceDefinition:
    """``bitloom_io.xtce.load(path)``."""
    definition: XtceDefinition = _xtce_module().load(path)
    return definition


def _load_xtce(path: str) -> dict[int | str, LayoutOrRule]:
    return {apid: target for apid, target in load_xtce(path).apid_layouts().items()}


def is_xtce(path: str | os.PathLike[str]) -> bool:
    """Whether a file is read as XTCE (by its suffix)."""
    return os.path.splitext(os.fspath(path))[1].lower() in (".xml", ".xtce")


register_loader(".json", _load_json)
register_loader(".csv", _load_csv)
register_loader(".xml", _load_xtce)
register_loader(".xtce", _load_xtce)


def load_layouts(path: str | os.PathLike[str]) -> dict[int | str, LayoutOrRule]:
    """Layouts by APID from a file, the reader chosen by its suffix (see the
    module's documentation); the key ``"*"`` covers every other APID."""
    path = os.fspath(path)
    if not os.path.exists(path):
        raise missing_file(path)
    suffix = os.path.splitext(path)[1].lower()
    loader = _LOADERS.get(suffix)
    if loader is None:
        raise ValueError(
            f"{os.path.basename(path)}: no layout reader for {suffix or 'files without a suffix'!r} "
            f"(known: {', '.join(sorted(_LOADERS))})"
        )
    return dict(loader(path))


def load_definition(path: str | os.PathLike[str]) -> dict[int | str, LayoutOrRule] | XtceDefinition:
    """A definition file as ``decode`` takes it: an XTCE file (``.xml``,
    ``.xtce``) as its ``xtce.Definition``, any other as ``load_layouts``
    reads it."""
    if not os.path.exists(path):
        raise missing_file(path)
    if is_xtce(path):
        return load_xtce(path)
    return load_layouts(path)
