"""A quick look at a packet file: one self-contained HTML page (no network
requests: the styles, the script and the data are inline) with the file's
summary, per packet type a small plot of every numeric parameter against
packet time, a searchable list of the parameters and the bit diagram of
each layout.

Plots are drawn by the page's own script into inline SVG from series
reduced here to a minimum and a maximum per pixel column, each quantised
to the plot's pixel rows (one character per value), so the page stays
small for files of millions of packets; every number in the summary is
exact.
"""

from __future__ import annotations

import html
import json
import os
import time as _time
import warnings
from collections.abc import Mapping
from typing import Any

import numpy as np

__all__ = ["build_report", "write_report", "reduce_series", "plottable_columns"]

WIDTH = 240  # pixel columns of a plot
HEIGHT = 48  # pixel rows of a plot (<= the alphabet's 64 levels)
_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
_HEADER_PREFIX = "CCSDS_"


def _esc(value: Any) -> str:
    return html.escape(str(value), quote=True)


def _time_axis(table: Any) -> tuple[np.ndarray, bool]:
    """x of each row (int64 ns when the table has a time, else the row
    number) and whether it is a time."""
    if "time" in table.columns:
        return table.columns["time"].view("M8[ns]").astype(np.int64), True
    return np.arange(len(table), dtype=np.int64), False


def pixel_columns(x: np.ndarray, width: int = WIDTH) -> tuple[np.ndarray, np.ndarray, int, int]:
    """The order that sorts ``x``, the pixel column of each sorted row, and
    the first and last x."""
    order = np.argsort(x, kind="stable")
    xs = x[order]
    if len(xs) == 0:
        return order, np.zeros(0, np.int64), 0, 0
    lo, hi = int(xs[0]), int(xs[-1])
    span = max(hi - lo, 1)
    cols = ((xs - lo).astype(np.float64) * (width - 1) / span).astype(np.int64)
    return order, cols, lo, hi


def reduce_series(
    values: np.ndarray, order: np.ndarray, cols: np.ndarray, width: int = WIDTH, height: int = HEIGHT
) -> tuple[float, float, str] | None:
    """A series as (lowest, highest, one character per pixel column for its
    minimum and then one for its maximum; "." where the column has no
    finite value), or None when it has no finite value."""
    v = np.asarray(values, dtype=np.float64)[order]
    finite = np.isfinite(v)
    if not finite.any():
        return None
    if not finite.all():
        v, c = v[finite], cols[finite]
    else:
        c = cols
    lo, hi = float(v.min()), float(v.max())
    starts = np.flatnonzero(np.r_[True, c[1:] != c[:-1]])
    mins = np.minimum.reduceat(v, starts)
    maxs = np.maximum.reduceat(v, starts)
    # A constant is drawn across the middle.
    scale, base = ((height - 1) / (hi - lo), 0) if hi > lo else (0.0, (height - 1) // 2)
    qmin = np.full(width, -1, np.int64)
    qmax = np.full(width, -1, np.int64)
    qmin[c[starts]] = np.rint((mins - lo) * scale) + base
    qmax[c[starts]] = np.rint((maxs - lo) * scale) + base
    alphabet = np.frombuffer((_ALPHABET + ".").encode(), np.uint8)
    text = alphabet[np.r_[qmin, qmax]].tobytes().decode()
    return lo, hi, text


def plottable_columns(table: Any) -> list[tuple[str, str, dict[str, Any]]]:
    """(name shown, column plotted, metadata) of every numeric parameter:
    the engineering value when it is numeric, else the raw value (with the
    enumeration labels for its axis)."""
    from .xtce._model import ENGINEERING_SUFFIX

    out = []
    columns = table.columns
    for name, column in columns.items():
        if name.startswith(_HEADER_PREFIX) or name == "time" or name.endswith(ENGINEERING_SUFFIX):
            continue
        if _is_extra(name, columns):
            continue
        meta = dict(table.meta.get(name, {}))
        eng = columns.get(name + ENGINEERING_SUFFIX)
        if eng is not None and eng.ndim == 1 and eng.dtype.kind in "iuf":
            out.append((name, name + ENGINEERING_SUFFIX, meta))
        elif column.ndim == 1 and column.dtype.kind in "iufbM":
            out.append((name, name, meta))
    return out


def _label(value: float, meta: Mapping[str, Any]) -> str:
    labels = meta.get("labels")
    if labels and float(value).is_integer():
        text = labels.get(str(int(value)))
        if text:
            return f"{text} ({int(value)})"
    if float(value).is_integer() and abs(value) < 1e15:
        return str(int(value))
    return f"{value:.6g}"


def _fmt_time(ns: int, is_time: bool) -> str:
    if not is_time:
        return f"packet {ns}"
    return str(np.datetime64(int(ns), "ns").astype("M8[ms]")).replace("T", " ")


_STYLE = """
body{font:14px/1.4 system-ui,sans-serif;margin:0;color:#1b1f24;background:#fff}
header{background:#12324a;color:#fff;padding:12px 20px}header h1{margin:0;font-size:20px}
main{padding:12px 20px}h2{border-bottom:1px solid #ccd;padding-bottom:4px;margin-top:28px}
table{border-collapse:collapse;margin:6px 0}td,th{border:1px solid #d0d4da;padding:2px 8px;text-align:right}
th{background:#eef1f5}td.l,th.l{text-align:left}
.grid{display:flex;flex-wrap:wrap;gap:8px}
figure.plot{margin:0;border:1px solid #d0d4da;border-radius:4px;padding:4px;width:250px;background:#fafbfc}
figure.plot figcaption{font-size:12px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
figure.plot svg{display:block;width:240px;height:64px}
svg .line{fill:none;stroke:#1f6fb2;stroke-width:1}svg text{font-size:9px;fill:#555}
.axis{font-size:12px;color:#555}pre{font-size:11px;line-height:1.15;overflow:auto;background:#f6f8fa;padding:6px}
#search{font-size:15px;padding:4px 8px;width:340px}.bad{color:#a40000}.muted{color:#777}
nav a{margin-right:10px}
"""

# Draws every plot from its data attributes once the page has loaded, and
# filters the parameter list as the search box changes.
_SCRIPT = r"""
(function(){
"use strict";
var A="ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
function draw(svg){
  var w=+svg.getAttribute("data-w"),h=+svg.getAttribute("data-h"),v=svg.getAttribute("data-v")||"";
  var d=[],prev=false,top=8;
  for(var i=0;i<w;i++){
    var a=A.indexOf(v.charAt(i)),b=A.indexOf(v.charAt(w+i));
    if(a<0||b<0){prev=false;continue;}
    var y1=top+(h-1-a)+0.5,y2=top+(h-1-b)+0.5;
    d.push((prev?"L":"M")+(i+0.5)+" "+y1+"V"+(y2===y1?y1-0.6:y2));
    prev=true;
  }
  var p=document.createElementNS("http://www.w3.org/2000/svg","path");
  p.setAttribute("class","line");p.setAttribute("d",d.join(""));
  svg.appendChild(p);svg.setAttribute("data-drawn","1");
}
function drawAll(){
  var plots=document.querySelectorAll("svg[data-v]");
  for(var i=0;i<plots.length;i++){draw(plots[i]);}
  document.body.setAttribute("data-plots-drawn",String(plots.length));
}
function search(){
  var box=document.getElementById("search"),q=box.value.trim().toLowerCase();
  var rows=document.querySelectorAll("#params tbody tr"),shown=0;
  for(var i=0;i<rows.length;i++){
    var hit=!q||rows[i].textContent.toLowerCase().indexOf(q)>=0;
    rows[i].style.display=hit?"":"none";if(hit){shown++;}
  }
  document.getElementById("count").textContent=shown+" of "+rows.length+" parameters";
}
document.addEventListener("DOMContentLoaded",function(){
  drawAll();
  var box=document.getElementById("search");
  box.addEventListener("input",search);search();
});
})();
"""


def _definition_parts(definition: Any, names: list[str]) -> dict[str, dict[str, Any]]:
    """Per packet type, its bit diagram and the description of its fields."""
    out: dict[str, dict[str, Any]] = {}
    for name in names:
        layout = definition.get(name) if isinstance(definition, Mapping) else None
        diagram = ""
        if layout is not None and hasattr(layout, "fields"):
            try:
                from .diagram import render

                diagram = render(layout.fields, 32)
            except (ValueError, TypeError) as error:  # pragma: no cover - a drawing problem is shown, not raised
                diagram = f"(no diagram: {error})"
        # Fields inside the primary header are in the summary already.
        header = {
            f.name
            for f in getattr(layout, "fields", ())
            if isinstance(f.start_bit, int) and isinstance(f.bits, int) and f.start_bit + f.bits <= 48
        }
        out[name] = {"diagram": diagram, "header": header}
    return out


def build_report(
    path: str,
    tables: Any,
    *,
    definition: Any = None,
    title: str | None = None,
    warnings_seen: list[str] | None = None,
    decode_seconds: float | None = None,
) -> str:
    """The HTML page for ``tables`` decoded from the file ``path``."""
    summary = getattr(tables, "summary", None)
    # Packet types of the definition that no packet has are named, not drawn.
    empty = [name for name, table in tables.items() if len(table) == 0]
    tables = {name: table for name, table in tables.items() if len(table)}
    names = list(tables)
    parts = _definition_parts(definition, names) if definition is not None else {}
    out: list[str] = []
    w = out.append
    w("<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>")
    w("<meta name='viewport' content='width=device-width'><link rel='icon' href='data:,'>")
    w(f"<title>{_esc(title or os.path.basename(path))} - packet report</title><style>{_STYLE}</style></head><body>")
    w(f"<header><h1>{_esc(os.path.basename(path))}</h1>")
    size = os.path.getsize(path) if os.path.exists(path) else (summary.bytes if summary is not None else 0)
    w(f"<div>{size:,} bytes")
    if decode_seconds is not None:
        w(f" &middot; decoded in {decode_seconds:.2f} s")
    w("</div></header><main>")
    w("<nav><a href='#summary'>Summary</a><a href='#types'>Packet types</a><a href='#parameters'>Parameters</a></nav>")

    # --- summary -------------------------------------------------------------
    w("<section id='summary'><h2>Summary</h2>")
    by_apid: dict[int, list[str]] = {}
    spans: list[tuple[int, int]] = []
    any_time = False
    for name, table in tables.items():
        apid_column = _apid_column(table)
        if apid_column is not None and len(table):
            for apid in np.unique(table.columns[apid_column]).tolist():
                by_apid.setdefault(int(apid), []).append(name)
        if "time" in table.columns and len(table):
            t = table.columns["time"].view("M8[ns]").astype(np.int64)
            spans.append((int(t.min()), int(t.max())))
            any_time = True
    if summary is not None:
        apid_counts = _apid_counts(summary)
        total = sum(apid_counts.values())
        w(
            f"<p>{total:,} packets of {len(apid_counts)} APIDs; {len(tables)} packet types decoded"
            f" ({sum(len(t) for t in tables.values()):,} packets)."
        )
        if any_time:
            first, last = min(s for s, _ in spans), max(e for _, e in spans)
            w(
                f" Time span {_esc(_fmt_time(first, True))} to {_esc(_fmt_time(last, True))}"
                f" ({(last - first) / 1e9:,.3f} s)."
            )
        w("</p>")
        w(
            "<table id='apids'><thead><tr><th>APID</th><th>packets</th><th>sequence gaps</th>"
            "<th>missing</th><th>repeats</th><th class='l'>packet types</th></tr></thead><tbody>"
        )
        sequence = getattr(summary, "sequence", {}) or {}
        for apid, count in sorted(apid_counts.items()):
            report = sequence.get(apid)
            gaps = getattr(report, "gaps", 0)
            missing = getattr(report, "missing", 0)
            repeats = getattr(report, "repeats", 0)
            types = ", ".join(f"{_esc(n)} ({len(tables[n]):,})" for n in by_apid.get(apid, []))
            w(
                f"<tr><td>{apid}</td><td>{count:,}</td><td>{gaps:,}</td><td>{missing:,}</td>"
                f"<td>{repeats:,}</td><td class='l'>{types or '<span class=muted>not decoded</span>'}</td></tr>"
            )
        w("</tbody></table>")
    problems = list(getattr(summary, "problems", ()) or ())
    w("<h3>Problem regions</h3>")
    if problems:
        w(
            "<table id='problems'><thead><tr><th class='l'>kind</th><th>byte offset</th><th>bytes</th>"
            "<th class='l'>what</th></tr></thead><tbody>"
        )
        for p in problems[:500]:
            w(
                f"<tr><td class='l'>{_esc(p.kind)}</td><td>{p.offset:,}</td><td>{p.length:,}</td>"
                f"<td class='l'>{_esc(p)}</td></tr>"
            )
        w("</tbody></table>")
        if len(problems) > 500:
            w(f"<p>... and {len(problems) - 500:,} more.</p>")
    else:
        w("<p id='problems'>None: the file is whole packets from end to end.</p>")
    w("<h3>Not decoded</h3><ul id='undecoded'>")
    notes = _not_decoded(tables, summary)
    for note in notes:
        w(f"<li>{_esc(note)}</li>")
    if not notes:
        w("<li>Every packet was decoded.</li>")
    w("</ul>")
    if warnings_seen:
        w("<h3>Warnings</h3><ul id='warnings'>")
        for message in warnings_seen:
            w(f"<li class='bad'>{_esc(message)}</li>")
        w("</ul>")
    w("</section>")

    # --- packet types -----------------------------------------------------------
    w("<section id='types'><h2>Packet types</h2>")
    rows: list[str] = []
    for name, table in tables.items():
        x, is_time = _time_axis(table)
        order, cols, lo, hi = pixel_columns(x)
        anchor = "pt-" + "".join(c if c.isalnum() else "-" for c in name)
        w(f"<section class='ptype' id='{_esc(anchor)}' data-name='{_esc(name)}'><h3>{_esc(name)}</h3>")
        w(f"<p class='axis'>{len(table):,} packets")
        if len(table):
            w(f"; x axis from {_esc(_fmt_time(lo, is_time))} to {_esc(_fmt_time(hi, is_time))}")
        if not is_time:
            w(" (no packet time: plotted by packet order)")
        elif len(table) > 1:
            steps = np.diff(x[order])
            w(
                f"; time between packets: typically {np.median(steps) / 1e9:,.3f} s, "
                f"largest gap {steps.max() / 1e9:,.3f} s"
            )
        w("</p><div class='grid'>")
        header = parts.get(name, {}).get("header", set())
        for shown, column, meta in plottable_columns(table):
            if shown in header:
                continue
            unit = meta.get("unit", "")
            values = table.columns[column]
            if values.dtype.kind == "M":
                values = values.view("M8[ns]").astype(np.int64)
            reduced = reduce_series(values, order, cols) if len(table) else None
            if reduced is None:
                lo_v = hi_v = float("nan")
                data = "." * (2 * WIDTH)
            else:
                lo_v, hi_v, data = reduced
            top = _label(hi_v, meta) if reduced else "no values"
            bottom = _label(lo_v, meta) if reduced else ""
            caption = f"{shown}" + (f" [{unit}]" if unit else "")
            w(
                f"<figure class='plot' data-param='{_esc(shown)}'><figcaption title='{_esc(meta.get('description', caption))}'>"
                f"{_esc(caption)}</figcaption><svg viewBox='0 0 {WIDTH} 64' data-w='{WIDTH}' data-h='{HEIGHT}' "
                f"data-v='{data}' role='img' aria-label='{_esc(shown)}'>"
                f"<text x='1' y='7'>{_esc(top)}</text><text x='1' y='63'>{_esc(bottom)}</text></svg></figure>"
            )
        w("</div>")
        diagram = parts.get(name, {}).get("diagram")
        if diagram:
            w(
                f"<details class='layout'><summary>Bit diagram of {_esc(name)}</summary><pre>{_esc(diagram)}</pre></details>"
            )
        w("</section>")
        for column in table.columns:
            if column.startswith(_HEADER_PREFIX) or _is_extra(column, table.columns):
                continue
            meta = table.meta.get(column, {})
            kind = meta.get("kind") or str(table.columns[column].dtype)
            rows.append(
                f"<tr><td class='l'>{_esc(name)}</td><td class='l'>{_esc(column)}</td>"
                f"<td class='l'>{_esc(meta.get('unit', ''))}</td><td class='l'>{_esc(kind)}</td>"
                f"<td class='l'>{_esc(meta.get('description', ''))}</td></tr>"
            )
    if empty:
        w(
            f"<p class='muted' id='empty-types'>No packets of {len(empty)} packet types of the definition: "
            f"{_esc(', '.join(empty))}.</p>"
        )
    w("</section>")

    # --- parameters -------------------------------------------------------------
    w("<section id='parameters'><h2>Parameters</h2>")
    w(
        "<p><input id='search' type='search' placeholder='Search parameters, units, descriptions' "
        "aria-label='search parameters'> <span id='count' class='muted'></span></p>"
    )
    w(
        "<table id='params'><thead><tr><th class='l'>packet type</th><th class='l'>parameter</th>"
        "<th class='l'>unit</th><th class='l'>type</th><th class='l'>description</th></tr></thead><tbody>"
    )
    out.extend(rows)
    w("</tbody></table></section>")
    from ._leapseconds import leap_seconds

    w(
        f"<footer class='muted'><p>Leap seconds: {_esc(leap_seconds().source)}, expires {leap_seconds().expires}."
        f" Written by bitloom-io {_esc(_version())}.</p></footer>"
    )
    w(f"</main><script>{_SCRIPT}</script></body></html>")
    return "".join(out)


def _is_extra(name: str, columns: Mapping[str, Any]) -> bool:
    """The leap-second flags and picoseconds beside a time column."""
    return name.endswith(("_leap", "_ps")) and name.rsplit("_", 1)[0] in columns


def _apid_column(table: Any) -> str | None:
    if "CCSDS_APID" in table.columns:
        return "CCSDS_APID"
    for name, column in table.columns.items():
        if "APID" in name.upper() and column.ndim == 1 and column.dtype.kind in "iu":
            return str(name)
    return None


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("bitloom-packets")
    except Exception:  # pragma: no cover - not installed as a distribution
        return "?"


def _apid_counts(summary: Any) -> dict[int, int]:
    counts = getattr(summary, "apids", None)
    if isinstance(counts, Mapping):
        return {int(k): int(v) for k, v in counts.items()}
    sequence = getattr(summary, "sequence", {}) or {}
    return {int(k): int(getattr(v, "packets", 0)) for k, v in sequence.items()}


def _not_decoded(tables: Any, summary: Any) -> list[str]:
    report = getattr(tables, "report", None)
    if report is None:
        return []
    notes = [
        f"APID {apid}: {count:,} packets no packet type claims" for apid, count in sorted(report.unclaimed.items())
    ]
    if report.ambiguous:
        notes.append(f"{report.ambiguous:,} packets more than one packet type claims (left out)")
    notes.extend(str(f) for f in report.failed)
    notes.extend(str(m) for m in report.sizes)
    notes.extend(report.notes)
    return notes


def _field_bits(definition: Any, table: str, field: str) -> int | None:
    """The declared width of a field of a packet type, when known."""
    try:
        if isinstance(definition, Mapping):
            from ._decode import layouts_by_name

            fields = getattr(layouts_by_name(definition).get(table), "fields", ())
            widths = [f.bits for f in fields if f.name == field]
        else:
            widths = [e.type.encoding.bits for e in definition.fields(table) if e.name == field]
    except (KeyError, ValueError, AttributeError, TypeError):
        return None
    return widths[0] if widths and isinstance(widths[0], int) else None


def _time_from_field(tables: Any, text: str, definition: Any = None) -> None:
    """The packet time from ``--time``: ``FIELD[=EPOCH]``, a field of whole
    seconds (CUC of its width) from the epoch (default tai), or a time
    column (a time-code item, an XTCE time parameter); or
    ``COARSE+FINE[*SECONDS][=EPOCH]``, seconds and their fractions (by
    default binary fractions of the fine field's width), read exactly."""
    from .timecodes import coarse_fine_times, stamp
    from .xtce._model import ENGINEERING_SUFFIX

    named, _, epoch = text.partition("=")
    epoch = epoch or "tai"
    coarse_name, plus, fine_spec = named.partition("+")
    fine_name, star, per_fine = fine_spec.partition("*")
    for name, table in tables.items():
        if "time" in table.columns:
            continue
        if not plus:
            for key in (named, named + ENGINEERING_SUFFIX):
                column = table.columns.get(key)
                if column is not None and column.dtype.kind == "M":
                    table.set_time({"time": column}, table.meta.get(key, {}), source=key)
                    break
            else:
                column = table.columns.get(named)
                if column is not None:
                    octets = max(1, min(4, column.dtype.itemsize))
                    stamp(table, named, {"encoding": "cuc", "coarse": octets, "fine": 0, "epoch": epoch})
            continue
        coarse, fine = table.columns.get(coarse_name), table.columns.get(fine_name)
        if coarse is None or fine is None:
            continue
        if star:
            seconds_per_fine = float(per_fine)
        else:
            bits = _field_bits(definition, name, fine_name) or 8 * fine.dtype.itemsize
            seconds_per_fine = 2.0**-bits
        columns = coarse_fine_times(coarse, fine, seconds_per_fine, epoch, name="time")
        meta = {"scale": "utc", "time_code": f"{coarse_name} s + {fine_name} x {seconds_per_fine:g} s from {epoch}"}
        table.set_time(columns, meta, source=f"{coarse_name}+{fine_name}")


def decode_for_report(
    path: str, definition_path: str, *, prefix_bytes: int = 0, time: str | None = None
) -> tuple[Any, Any, list[str], float]:
    """Decodes ``path`` with a definition file (XTCE, JSON or CSV); returns
    the tables, the layouts by table name, the warnings and the seconds
    taken."""
    import bitloom_io

    from ._decode import layouts_by_name

    start = _time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        definition = bitloom_io.load_definition(definition_path)
        tables = bitloom_io.decode(path, definition, prefix_bytes=prefix_bytes)
        if not isinstance(definition, Mapping):
            bitloom_io.describe(tables, definition)
        if time:
            _time_from_field(tables, time, definition)
    seconds = _time.perf_counter() - start
    layouts = layouts_by_name(definition) if isinstance(definition, Mapping) else dict(definition.layouts())
    return tables, layouts, [str(w.message) for w in caught], seconds


def write_report(
    path: str, definition_path: str, out: str, *, prefix_bytes: int = 0, time: str | None = None
) -> dict[str, Any]:
    """Decodes ``path`` and writes its report to ``out``; returns what was
    measured (seconds, bytes, packet types, plots)."""
    from ._tables import atomic_path

    tables, described, seen, seconds = decode_for_report(path, definition_path, prefix_bytes=prefix_bytes, time=time)
    start = _time.perf_counter()
    page = build_report(path, tables, definition=described, warnings_seen=seen, decode_seconds=seconds)
    data = page.encode("utf-8")
    with atomic_path(out) as tmp, open(tmp, "wb") as f:
        f.write(data)
    return {
        "decode_seconds": seconds,
        "render_seconds": _time.perf_counter() - start,
        "bytes": len(data),
        "packet_types": sum(1 for t in tables.values() if len(t)),
        "plots": page.count("<figure class='plot'"),
    }


def page_json(report: Mapping[str, Any]) -> str:
    return json.dumps(report, indent=2)


# ------------------------------------------------------------ command line


def _cmd_report(args: Any) -> int:
    from .cli import CommandError

    for path in (args.file, args.definition):
        if not os.path.exists(path):
            raise CommandError(f"{path}: no such file")
    out = args.out or os.path.splitext(os.path.basename(args.file))[0] + ".html"
    measured = write_report(args.file, args.definition, out, prefix_bytes=args.prefix_bytes, time=args.time)
    if not args.quiet:
        print(
            f"{out}  {measured['bytes']:,} bytes, {measured['packet_types']} packet types, "
            f"{measured['plots']:,} plots ({measured['decode_seconds'] + measured['render_seconds']:.2f} s)"
        )
    return 0


def _cmd_plot(args: Any) -> int:
    from ._plot import plot_tables
    from .cli import CommandError

    for path in (args.file, args.definition):
        if not os.path.exists(path):
            raise CommandError(f"{path}: no such file")
    tables, _, seen, _ = decode_for_report(args.file, args.definition, prefix_bytes=args.prefix_bytes, time=args.time)
    for message in seen:
        print(f"bitloom-io: warning: {message}", file=__import__("sys").stderr)
    out = args.out or os.path.splitext(os.path.basename(args.file))[0] + ".png"
    try:
        plot_tables(list(tables.values()), args.param, out=out, title=os.path.basename(args.file))
    except KeyError as error:
        raise CommandError(str(error.args[0])) from None
    if not args.quiet:
        print(out)
    return 0
