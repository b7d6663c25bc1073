"""``bitloom_io.Layout``: the compiled layout, plus time codes and a packet
time.

A recipe without time codes and without ``time=`` gets the native layout
unchanged (an instance of this class that adds nothing on the per-packet
paths). A recipe with time-code items (see :mod:`bitloom_io.timecodes`) is
compiled with each of them read as plain unsigned fields (or one text field
for the ASCII codes). The reader turns CUC and CDS counters into times
itself, a chunk at a time as it reads them (``_times``, the kernel of
``io/kernels/time_codes``); the other codes, and masked reads, are converted
after reading; all are converted back before packing. The native layout
never parses a time-code item.
"""

from __future__ import annotations

import copy
from collections.abc import Buffer, Mapping, Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ._native import Columns, Field
from ._native import Layout as _NativeLayout
from .timecodes import TimeCode, time_code

__all__ = ["Layout"]


# bitloom_io.Layout is the class below from now on: the native type is found
# by pickle (and anything else that looks a class up by its module) where it
# lives.
_NativeLayout.__module__ = "bitloom_io._native"


class _LayoutType(type):
    # Layouts compiled elsewhere in the package (XTCE, Select rules) are
    # native ones; they are Layouts all the same.
    def __instancecheck__(cls, instance: Any) -> bool:
        if cls is Layout:
            return isinstance(instance, _NativeLayout)
        return type.__instancecheck__(cls, instance)

    def __subclasscheck__(cls, subclass: Any) -> bool:
        if cls is Layout:
            return issubclass(subclass, _NativeLayout)
        return type.__subclasscheck__(cls, subclass)


# The recipe of Layout.__new__ when it is called without one.
_NO_RECIPE: Any = object()


def _has_codes(recipe: Any) -> bool:
    try:
        return any(isinstance(item, Mapping) and time_code(item) is not None for item in recipe)
    except (TypeError, KeyError, ValueError):
        # Let the full compile report what is wrong with the recipe.
        return True


class Layout(_NativeLayout, metaclass=_LayoutType):
    """A recipe compiled once: ``Layout(recipe).unpack(p, o)`` is
    ``bitloom.unpack_parameters(p, o, recipe)`` and ``pack(values)`` is
    ``bitloom.pack_parameters`` with those values; ``exact=True`` reads each
    field at its exact bits.

    Items may also be CCSDS time codes (``"encoding": "cuc"``, ``"cds"``,
    ``"ccs"``, ``"ascii_a"``, ``"ascii_b"``; see :mod:`bitloom_io.timecodes`),
    read into ``datetime64[ns]`` columns. ``time`` names the field that
    stamps a packet: a time-code item's name, or ``{"field": NAME,
    "encoding": "cuc", ...}`` for an integer field read as that code; the
    columns then have a ``time`` column."""

    def __new__(
        cls,
        recipe: Sequence[Mapping[str, Any]] = _NO_RECIPE,
        *args: Any,
        time: str | Mapping[str, Any] | None = None,
        **kwargs: Any,
    ) -> Layout:
        if cls is Layout:
            if recipe is _NO_RECIPE:  # Layout.__new__(Layout): an object to initialise later
                cls = _NativeLayout  # type: ignore[assignment]
            elif time is not None or _has_codes(recipe):
                cls = _TimedLayout
            else:
                # A layout without time codes is the native type itself: the
                # interpreter's fast path for calling a method applies only
                # to objects of the method's own type (about 4 % of a
                # one-packet unpack). isinstance(..., Layout) holds either way.
                return _NativeLayout(recipe, *args, **kwargs)  # type: ignore[return-value]
        # The native type allocates without reading its arguments; __init__ compiles.
        layout: Layout = _NativeLayout.__new__(cls)  # type: ignore[call-arg,assignment]
        return layout

    def __init__(
        self, recipe: Sequence[Mapping[str, Any]], *, exact: bool = False, time: str | Mapping[str, Any] | None = None
    ) -> None:
        if time is not None:  # pragma: no cover - _TimedLayout takes these
            raise TypeError("time= needs a layout with a time field")
        super().__init__(recipe, exact=exact)

    @property
    def column_meta(self) -> dict[str, dict[str, str]]:
        """Per output column, what is known of it beyond its values (the
        time scale of time columns)."""
        return {}


Layout.__module__ = "bitloom_io"


def _rebuild(recipe: list[dict[str, Any]], exact: bool, time: Any, state: Any) -> Layout:
    layout = Layout(recipe, exact=exact, time=time)
    if state:
        layout.__dict__.update(state)
    return layout


class _TimedLayout(Layout):
    """A layout with time codes: compiled through plain fields."""

    def __init__(
        self, recipe: Sequence[Mapping[str, Any]], *, exact: bool = False, time: str | Mapping[str, Any] | None = None
    ) -> None:
        if "_codes" in self.__dict__:
            raise TypeError("Layout is initialised only once")
        items = [dict(item) if isinstance(item, Mapping) else item for item in recipe]
        codes: dict[str, TimeCode] = {}
        native: list[Any] = []
        spans: list[tuple[int, int]] = []  # each recipe item's native items
        for item in items:
            code = time_code(item) if isinstance(item, Mapping) else None
            start = len(native)
            if code is None:
                native.append(item)
            else:
                if code.name in codes:
                    raise ValueError(f"two time codes are named {code.name!r}")
                codes[code.name] = code
                expanded = code.items(item.get("offset_bits"))
                if "value" in item:
                    encoded = code.encode(
                        {
                            code.name: np.array([item["value"]]),
                            **{k: np.array([item[k]]) for k in code.columns()[1:] if k in item},
                        }
                    )
                    for sub in expanded:
                        value = encoded[sub["name"]][0]
                        sub["value"] = str(value) if sub["encoding"] != "unsigned" else int(value)
                native.extend(expanded)
            spans.append((start, len(native)))
        super().__init__(native, exact=exact)
        self._codes = codes
        self._items = items
        self._spans = spans
        self._time = self._time_field(time)

    def _time_field(self, time: str | Mapping[str, Any] | None) -> tuple[str, TimeCode | None] | None:
        if time is None:
            return None
        if isinstance(time, str):
            if time not in self._codes:
                raise ValueError(f"time={time!r}: no time-code field of that name (time codes: {sorted(self._codes)})")
            return time, None
        given = dict(time)
        name = given.pop("field", None)
        names = [f.name for f in super().fields]
        if name not in names:
            raise ValueError(f"time: field {name!r} is not in the layout")
        code = time_code({**given, "name": "time"})
        if code is None:
            raise ValueError(f"time: {given.get('encoding')!r} is not a time code")
        return str(name), code

    # -- what the layout says of itself -----------------------------------

    @property
    def recipe(self) -> list[dict[str, Any]]:
        return copy.deepcopy(self._items)

    @property
    def fields(self) -> tuple[Field, ...]:
        native = super().fields
        out = []
        for index, (item, (start, _end)) in enumerate(zip(self._items, self._spans)):
            first = native[start]
            code = self._codes.get(str(item.get("name"))) if isinstance(item, Mapping) else None
            if code is None:
                out.append(Field((index,) + tuple(first)[1:]))
            else:
                out.append(Field((index, code.name, code.kind, first.start_bit, code.bits, "big", False)))
        return tuple(out)

    @property
    def column_meta(self) -> dict[str, dict[str, str]]:
        meta = {name: code.meta() for name, code in self._codes.items()}
        if self._time is not None:
            field, code = self._time
            meta["time"] = code.meta() if code is not None else meta[field]
        return meta

    def __repr__(self) -> str:
        text = super().__repr__()
        codes = ", ".join(f"{n}: {c.describe()}" for n, c in self._codes.items())
        return f"{text[:-1]}; time codes {codes}>" if text.endswith(">") else f"{text} (time codes {codes})"

    def __reduce__(self) -> tuple[Any, ...]:
        state = {k: v for k, v in self.__dict__.items() if k not in ("_codes", "_items", "_spans", "_time")}
        time: Any = None
        if self._time is not None:
            field, code = self._time
            time = field if code is None else {"field": field, **self._time_item}
        return (_rebuild, (self.recipe, self.exact, time, state))

    @property
    def _time_item(self) -> dict[str, Any]:
        assert self._time is not None and self._time[1] is not None
        code = self._time[1]
        return {k: v for k, v in code.__dict__.items() if k not in ("name", "bits", "kind", "epoch_ns", "counting")} | {
            "encoding": code.kind
        }

    # -- reading ------------------------------------------------------------

    def _convert(
        self, columns: dict[str, Any], masked: bool, reports: dict[str, tuple[int, int, int]] | None = None
    ) -> dict[str, Any]:
        """Native columns to the layout's: time codes read, in recipe order.
        ``reports`` holds the codes the reader already converted."""
        out: dict[str, Any] = {}
        native_names = list(columns)
        for item, (start, end) in zip(self._items, self._spans):
            name = str(item.get("name")) if isinstance(item, Mapping) else None
            code = self._codes.get(name) if name is not None else None
            if code is None:
                for key in native_names[start:end]:
                    out[key] = columns[key]
                continue
            if reports is not None and name in reports:
                out.update(code.finish(columns, reports[name]))  # type: ignore[attr-defined]
                continue
            raw = {key: columns[key] for key in native_names[start:end]}
            mask = None
            if masked:
                mask = np.ma.getmaskarray(raw[code.name])
                raw = {k: _filled(np.ma.getdata(v), mask) for k, v in raw.items()}
            # The native columns are this call's own: converted in place.
            for key, value in code.decode(raw, reuse=True).items():
                out[key] = np.ma.masked_array(value, mask=mask) if mask is not None else value
        if self._time is not None:
            field, time = self._time
            if time is None:
                out["time"] = out[field]
            else:
                raw_time = out[field]
                mask = np.ma.getmaskarray(raw_time) if masked else None
                data = _filled(np.ma.getdata(raw_time), mask) if mask is not None else raw_time
                from .timecodes import decode_column

                for key, value in decode_column(data, time).items():
                    out[key] = np.ma.masked_array(value, mask=mask) if mask is not None else value
        return out

    def unpack(self, packet: Buffer, offset_bits: int = 0, /) -> dict[str, Any]:
        values = super().unpack(packet, offset_bits)
        columns = {k: np.array([v]) for k, v in values.items()}
        return {k: v[0] for k, v in self._convert(columns, False).items()}

    def unpack_many(
        self,
        buffer: Buffer | Sequence[Buffer],
        /,
        *,
        stride: int | None = None,
        offsets: npt.ArrayLike | None = None,
        lengths: npt.ArrayLike | None = None,
        errors: Literal["raise", "mask"] = "raise",
        threads: int | None = None,
    ) -> Columns:
        reports = None
        if errors == "raise":
            # CUC and CDS are converted by the reader itself, a chunk at a
            # time while it is in the cache.
            native = [c for c in self._codes.values() if hasattr(c, "native_job")]
            jobs = [c.native_job() for c in native]  # type: ignore[attr-defined]
            columns = super().unpack_many(  # type: ignore[call-arg]
                buffer, stride=stride, offsets=offsets, lengths=lengths, threads=threads, _times=jobs
            )
            reports = dict(zip((c.name for c in native), columns.__dict__.pop("_time_reports", ())))
            if any(report[0] for report in reports.values()):
                # A code that cannot be read: read again as plain counters,
                # which the conversion then reports on.
                reports = None
                columns = super().unpack_many(buffer, stride=stride, offsets=offsets, lengths=lengths, threads=threads)
        else:
            columns = super().unpack_many(
                buffer, stride=stride, offsets=offsets, lengths=lengths, errors=errors, threads=threads
            )
        converted = self._convert(dict(columns), errors == "mask", reports)
        columns.clear()
        columns.update(converted)
        return columns

    # -- writing --------------------------------------------------------------

    def _native_values(self, values: Mapping[str, Any], single: bool) -> dict[str, Any]:
        out = {k: v for k, v in values.items()}
        for name, code in self._codes.items():
            if name not in out:
                for extra in code.columns()[1:]:
                    out.pop(extra, None)
                continue
            given = {k: (np.array([out.pop(k)]) if single else out.pop(k)) for k in code.columns() if k in out}
            for key, value in code.encode(given).items():
                if single:
                    out[key] = str(value[0]) if value.dtype.kind in "TUS" else int(value[0])
                else:
                    out[key] = value
        if self._time is not None:
            out.pop("time", None)
            for extra in ("time_leap", "time_ps"):
                out.pop(extra, None)
        return out

    def pack(self, values: Mapping[str, object] | None = None, /) -> bytes:
        return super().pack(None if values is None else self._native_values(values, True))

    def pack_many(self, columns: Mapping[str, npt.ArrayLike], /) -> bytes:
        return super().pack_many(self._native_values(columns, False))


def _filled(data: np.ndarray, mask: np.ndarray | None) -> np.ndarray:
    """Rows that failed to read hold whatever was there: give them the value
    of a row that did read, so that converting them cannot fail."""
    if mask is None or not mask.any():
        return data
    good = np.flatnonzero(~mask)
    if len(good) == 0:
        return data
    out = data.copy()
    out[mask] = data[good[0]]
    return out
