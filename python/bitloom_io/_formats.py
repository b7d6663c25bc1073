"""A table in the libraries users analyse with: Arrow (and Parquet) with
each column's units, description, enumeration labels and time scale as
field metadata, polars, xarray and pandas with the packet time as index.

Numeric columns are handed over without copies: Arrow and polars wrap the
numpy buffers, xarray keeps the arrays themselves.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

import numpy as np

from ._ragged import Ragged

__all__ = ["arrow_table", "polars_frame", "xarray_dataset", "describe", "field_metadata"]


def _require(module: str, what: str, extra: str) -> Any:
    try:
        return __import__(module, fromlist=["_"])
    except ImportError as error:
        # Until a release is published, extras install from a checkout.
        raise ImportError(
            f'{what} needs {module.split(".")[0]}: pip install "bitloom-packets[{extra}]"'
            f' (from a checkout: pip install ".[{extra}]")',
            name=module,
        ) from error


def field_metadata(meta: Mapping[str, Any] | None) -> dict[bytes, bytes] | None:
    """A column's metadata as Arrow field metadata (bytes to bytes; labels
    and other structured values as JSON)."""
    if not meta:
        return None
    out = {}
    for key, value in meta.items():
        if value is None or value == "" or value == {}:
            continue
        text = value if isinstance(value, str) else json.dumps(value, sort_keys=True)
        out[str(key).encode()] = text.encode()
    return out or None


def arrow_column(pa: Any, column: Any) -> Any:
    """One column as an Arrow array."""
    if isinstance(column, Ragged):
        return _arrow_ragged(pa, column)
    if column.ndim > 1:
        return _arrow_list(pa, column)
    if type(column) is np.ndarray and column.ndim == 1 and column.flags.c_contiguous and column.dtype.isnative:
        plain = _arrow_plain(pa, column)
        if plain is not None:
            return plain
    if column.dtype.kind == "T":
        return _arrow_text(pa, column)
    if column.dtype == object:
        return pa.array(column.tolist())
    if column.dtype.kind == "M":
        # The scale travels as field metadata; the dtype's own copy of it
        # means nothing to Arrow.
        return pa.array(column.view("M8[ns]") if column.dtype == np.dtype("M8[ns]") else column)
    return pa.array(column)


def _arrow_plain(pa: Any, column: np.ndarray) -> Any:
    """Numbers, flags and nanosecond times as Arrow arrays over the column's
    own memory, or None for other kinds. Built from the buffers rather than
    by ``pyarrow.array``, whose first call imports pandas (0.3 s)."""
    kind = column.dtype.kind
    n = len(column)
    if kind in "iuf":
        return pa.Array.from_buffers(pa.from_numpy_dtype(column.dtype), n, [None, pa.py_buffer(column)])
    if kind == "b":
        bits = np.packbits(column.view(np.uint8), bitorder="little")
        return pa.Array.from_buffers(pa.bool_(), n, [None, pa.py_buffer(bits)])
    if kind == "M" and column.dtype.str == "<M8[ns]":  # the scale travels as field metadata
        ns = column.view(np.int64)
        valid = ns != np.iinfo(np.int64).min  # NaT is null
        validity = None if valid.all() else pa.py_buffer(np.packbits(valid, bitorder="little"))
        return pa.Array.from_buffers(pa.timestamp("ns"), n, [validity, pa.py_buffer(ns)])
    return None


def _arrow_text(pa: Any, column: np.ndarray) -> Any:
    """A text column as Arrow strings, built from its UTF-8 bytes and their
    offsets without ``pyarrow.array`` and the pandas it imports (as fast as
    going through it: 2 ms for 20,000 labels)."""
    if hasattr(column.dtype, "na_object") or column.ndim != 1:
        return pa.array(column.astype(object), type=pa.string())
    texts = column.tolist()
    joined = "".join(texts)
    try:
        data = joined.encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate: pyarrow says which
        return pa.array(texts, type=pa.string())
    if len(data) == len(joined):  # ASCII: a byte per character
        lengths = np.strings.str_len(column)
    else:
        lengths = np.fromiter((len(t.encode("utf-8")) for t in texts), np.int64, len(texts))
    if len(data) >= 2**31:
        return pa.array(texts, type=pa.string())
    offsets = np.zeros(len(texts) + 1, dtype=np.int32)
    np.cumsum(lengths, out=offsets[1:])
    return pa.Array.from_buffers(pa.string(), len(texts), [None, pa.py_buffer(offsets), pa.py_buffer(data)])


def _arrow_list(pa: Any, column: np.ndarray) -> Any:
    """An array column: fixed-size lists, one level per dimension."""
    flat = column.reshape(-1)
    values = pa.array(
        flat.astype(object) if column.dtype.kind == "T" else flat.tolist() if column.dtype == object else flat
    )
    for size in reversed(column.shape[1:]):
        values = pa.FixedSizeListArray.from_arrays(values, size)
    return values


def _arrow_ragged(pa: Any, column: Ragged) -> Any:
    """A ragged column: a list array over its values (32-bit offsets while
    they fit, 64-bit beyond)."""
    values = arrow_column(pa, column.flat)
    offsets = column.offsets - column.offsets[0]
    mask = None if column.mask is None else pa.array(column.mask)
    if offsets[-1] < 2**31:
        return pa.ListArray.from_arrays(pa.array(offsets.astype(np.int32)), values, mask=mask)
    return pa.LargeListArray.from_arrays(pa.array(offsets), values, mask=mask)


def arrow_table(table: Any, *, structs: bool = False) -> Any:
    """The table as a pyarrow Table, its metadata on the fields; ``structs``:
    aggregate members (``meta["member"]``) nested into struct columns."""
    pa = _require("pyarrow", "Table.to_arrow", "tables")
    fields, arrays = [], []
    for name, column in table.columns.items():
        array = arrow_column(pa, column)
        fields.append(pa.field(name, array.type, metadata=field_metadata(table.meta.get(name))))
        arrays.append(array)
    if structs:
        fields, arrays = _structs(pa, table, fields, arrays)
    schema_meta = {b"packet_type": str(table.name).encode()}
    return pa.Table.from_arrays(arrays, schema=pa.schema(fields, metadata=schema_meta))


def _structs(pa: Any, table: Any, fields: list[Any], arrays: list[Any]) -> tuple[list[Any], list[Any]]:
    """Member columns nested into one struct column per aggregate, at its first member's place."""
    names = set(table.columns)
    # Per top-level parameter: a tree of member name -> subtree or (field, array).
    trees: dict[str, dict[str, Any]] = {}
    out: list[tuple[str, Any, Any] | str] = []  # (name, field, array), or the name of a tree
    for field, array in zip(fields, arrays):
        path = (table.meta.get(field.name) or {}).get("member")
        if not path or len(path) < 2 or path[0] in names:
            out.append((field.name, field, array))
            continue
        if path[0] not in trees:
            trees[path[0]] = {}
            out.append(path[0])
        node = trees[path[0]]
        for part in path[1:-1]:
            node = node.setdefault(part, {})
        node[path[-1]] = (field.with_name(path[-1]), array)
    new_fields, new_arrays = [], []
    for item in out:
        if isinstance(item, str):
            field, array = _struct(pa, item, trees[item])
        else:
            _, field, array = item
        new_fields.append(field)
        new_arrays.append(array)
    return new_fields, new_arrays


def _struct(pa: Any, name: str, tree: dict[str, Any]) -> tuple[Any, Any]:
    children, child_fields = [], []
    for member, value in tree.items():
        field, array = _struct(pa, member, value) if isinstance(value, dict) else value
        children.append(array)
        child_fields.append(field)
    array = pa.StructArray.from_arrays(children, fields=child_fields)
    return pa.field(name, array.type), array


def polars_frame(table: Any) -> Any:
    """The table as a polars DataFrame (through Arrow: numeric columns are
    not copied)."""
    pl = _require("polars", "Table.to_polars", "polars")
    _require("pyarrow", "Table.to_polars", "polars")
    return pl.from_arrow(arrow_table(table), rechunk=False)


def xarray_dataset(table: Any) -> Any:
    """The table as an xarray Dataset: one ``packet`` dimension, the packet
    time as its coordinate when the table has one, each further axis of an
    array column a dimension of its own; metadata as attributes."""
    xr = _require("xarray", "Table.to_xarray", "xarray")
    data_vars = {}
    coords: dict[str, Any] = {}
    for name, column in table.columns.items():
        values = np.asarray(column) if isinstance(column, Ragged) else column
        if values.dtype.kind == "T":
            values = values.astype(object)
        elif values.dtype.kind == "M":
            values = values.view("M8[ns]")
        dims = ("packet",) + tuple(f"{name}_dim{i}" for i in range(1, values.ndim))
        attrs = {
            k: (v if isinstance(v, (str, int, float)) else json.dumps(v, sort_keys=True))
            for k, v in (table.meta.get(name) or {}).items()
        }
        variable = xr.Variable(dims, values, attrs=attrs)
        if name == "time":
            coords["time"] = variable
        else:
            data_vars[name] = variable
    dataset = xr.Dataset(data_vars, coords=coords, attrs={"packet_type": str(table.name)})
    return dataset


def pandas_frame(table: Any, pd: Any) -> Any:
    index = pd.DatetimeIndex(table.columns["time"].view("M8[ns]"), name="time") if "time" in table.columns else None

    def column(v: np.ndarray) -> Any:
        if isinstance(v, Ragged):  # one array per row, None where absent
            return pd.Series([None if r is np.ma.masked else r for r in v], dtype=object, index=index)
        if v.dtype.kind == "T":
            return v.astype(object)
        if v.ndim > 1:  # one array per row
            return pd.Series(list(v), dtype=object, index=index)
        return v

    frame = pd.DataFrame({k: column(v) for k, v in table.columns.items() if k != "time"}, copy=False, index=index)
    frame.attrs["meta"] = {k: dict(v) for k, v in table.meta.items()}
    return frame


def describe(tables: Any, definition: Any) -> Any:
    """Puts what an XTCE definition says of each column (units, description,
    enumeration labels) into the tables' ``meta``; returns the tables."""
    from .xtce._model import ENGINEERING_SUFFIX

    for name, table in tables.items():
        try:
            entries = definition.fields(name)
        except (KeyError, ValueError):
            continue
        for entry in entries:
            ptype = entry.parameter.type
            meta: dict[str, Any] = {}
            if ptype is not None and ptype.units:
                meta["unit"] = " ".join(ptype.units)
            description = entry.parameter.short_description or entry.parameter.long_description
            if description:
                meta["description"] = description
            if ptype is not None and ptype.enumeration:
                meta["labels"] = {
                    str(low) if low == high else f"{low}-{high}": label for low, high, label in ptype.enumeration
                }
            if ptype is not None:
                meta["kind"] = ptype.kind
            for column in (entry.name, entry.name + ENGINEERING_SUFFIX):
                if column in table.columns:
                    table.meta.setdefault(column, {}).update(meta)
    return tables
