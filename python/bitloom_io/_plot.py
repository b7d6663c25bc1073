"""Plots of one or a few parameters against packet time, with matplotlib
(``pip install bitloom-packets[plot]``): a PNG or SVG file, an HTML page
holding the SVG inline, or the Figure itself."""

from __future__ import annotations

import html
import io
import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from ._ragged import Ragged

__all__ = ["plot_table", "plot_tables"]

_EXTRA = 'pip install "bitloom-packets[plot]" (from a checkout: pip install ".[plot]")'


def _pyplot() -> Any:
    try:
        import matplotlib
    except ImportError as error:
        raise ImportError(f"plotting needs matplotlib: {_EXTRA}", name="matplotlib") from error
    # Files only: never a window, whatever backend the user's setup names.
    matplotlib.use("Agg", force=False)
    from matplotlib.figure import Figure

    return Figure


def _names(params: str | Sequence[str] | None) -> list[str] | None:
    if params is None:
        return None
    if isinstance(params, str):
        return [p.strip() for p in params.split(",") if p.strip()]
    return list(params)


def _series(table: Any, name: str) -> tuple[np.ndarray, dict[str, Any]]:
    from .xtce._model import ENGINEERING_SUFFIX

    eng = table.columns.get(name + ENGINEERING_SUFFIX)
    column = eng if eng is not None and _kind(eng) in "iuf" else table.columns[name]
    if isinstance(column, Ragged):
        # Each packet's values, drawn as points at the packet's time.
        if _kind(column) not in "iufbM":
            raise ValueError(f"{name!r} holds {column.values.dtype} values: only numbers and times are plotted")
        column = Ragged._of(column.flat, column.offsets - column.offsets[0], column.mask)
    if _kind(column) == "M":
        column = (
            Ragged._of(column.values.view("M8[ns]"), column.offsets, column.mask)
            if isinstance(column, Ragged)
            else column.view("M8[ns]")
        )
    return column, table.meta.get(name, {})


def _kind(column: Any) -> str:
    """The kind of a column's values (of each value of a ragged one)."""
    return str(column.values.dtype.kind if isinstance(column, Ragged) else column.dtype.kind)


def plot_tables(
    tables: Sequence[Any],
    params: str | Sequence[str] | None = None,
    *,
    out: str | os.PathLike[str] | None = None,
    title: str | None = None,
    width: float = 10.0,
    height_per_plot: float = 2.2,
) -> Any:
    """One panel per parameter (taken from whichever table has it), against
    the packet time when the table has one, else the packet number."""
    Figure = _pyplot()
    wanted = _names(params)
    found: list[tuple[str, Any]] = []
    for table in tables:
        from ._quicklook import plottable_columns

        names = (
            [shown for shown, _, _ in plottable_columns(table)]
            if wanted is None
            else [n for n in wanted if n in table.columns]
        )
        found.extend((n, table) for n in names)
    if wanted is not None:
        missing = [n for n in wanted if n not in {f for f, _ in found}]
        if missing:
            raise KeyError(f"no parameter {', '.join(repr(m) for m in missing)} in the tables")
    if not found:
        raise ValueError("nothing to plot: no numeric parameters")
    figure = Figure(figsize=(width, max(2.0, height_per_plot * len(found))), layout="constrained")
    axes = figure.subplots(len(found), 1, squeeze=False, sharex=len({id(t) for _, t in found}) == 1)[:, 0]
    for ax, (name, table) in zip(axes, found):
        y, meta = _series(table, name)
        x = table.columns["time"].view("M8[ns]") if "time" in table.columns else np.arange(len(table))
        labels = meta.get("labels")
        if isinstance(y, Ragged):
            x, y = np.repeat(x, y.lengths), y.values
            ax.plot(x, y, ".", markersize=2)
        elif labels and y.dtype.kind in "iu":
            ax.step(x, y, where="post", linewidth=1)
            ticks = sorted({int(v) for v in np.unique(y)[:12]})
            ax.set_yticks(ticks, [labels.get(str(t), str(t)) for t in ticks])
        else:
            ax.plot(x, y, linewidth=1)
        unit = meta.get("unit")
        ax.set_ylabel(f"{name}\n[{unit}]" if unit else name, fontsize=8)
        ax.grid(True, alpha=0.3)
        ax.set_title(f"{table.name}: {name}", fontsize=9, loc="left")
    axes[-1].set_xlabel(
        "packet time"
        + (f" ({found[-1][1].meta.get('time', {}).get('scale', '').upper()})" if "time" in found[-1][1].columns else "")
        if "time" in found[-1][1].columns
        else "packet"
    )
    if title:
        figure.suptitle(title)
    if out is None:
        return figure
    _save(figure, os.fspath(out), title or ", ".join(n for n, _ in found))
    return None


def plot_table(
    table: Any, params: str | Sequence[str] | None = None, *, out: str | os.PathLike[str] | None = None, **options: Any
) -> Any:
    return plot_tables([table], params, out=out, **options)


def _save(figure: Any, path: str, title: str) -> None:
    from ._tables import atomic_path

    suffix = os.path.splitext(path)[1].lower()
    if suffix not in (".png", ".svg", ".html", ".htm"):
        raise ValueError(f"{path}: plots are written as .png, .svg or .html")
    with atomic_path(path) as tmp:
        if suffix == ".png":
            figure.savefig(tmp, format="png", dpi=110)
        elif suffix == ".svg":
            figure.savefig(tmp, format="svg")
        else:
            buffer = io.StringIO()
            figure.savefig(buffer, format="svg")
            svg = buffer.getvalue()
            svg = svg[svg.index("<svg") :]
            page = (
                "<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'><link rel='icon' href='data:,'>"
                f"<title>{html.escape(title)}</title></head><body style='margin:0'>{svg}</body></html>"
            )
            with open(tmp, "w", encoding="utf-8") as f:
                f.write(page)
