"""The `bitloom-io` command line (also `python -m bitloom_io`).

    bitloom-io info FILE                      what a packet file holds
    bitloom-io decode FILE --layouts L --out DIR [--format parquet|csv]
    bitloom-io check L                        findings for every layout in L
    bitloom-io show L [NAME]                  layouts as bit diagrams

Exit status: 0 on success, 1 when `check` has findings or a command fails
(the message goes to standard error), 2 for a usage error.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
import warnings
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any, TextIO

__all__ = ["main"]

PROG = "bitloom-io"

# Inputs at least this large get a progress line when standard error is a
# terminal; smaller ones finish before a bar would be worth drawing.
PROGRESS_MIN_BYTES = 4 << 20


class CommandError(Exception):
    """A failure the command reports in one line, without a traceback."""


# ---------------------------------------------------------------- helpers


def _io() -> Any:
    import bitloom_io

    return bitloom_io


def _is_xtce(path: str) -> bool:
    return Path(path).suffix.lower() == ".xml"


def _xtce_definition(path: str) -> Any:
    try:
        from bitloom_io import xtce
    except ImportError as error:
        raise CommandError(f"XTCE definitions cannot be read here: {error}") from error
    return xtce.load(path)


def load_definitions(path: str) -> dict[str, Any]:
    """The layouts of a definition file by the names their tables get: a
    layout file (`bitloom_io.load_layouts`: JSON, CCSDSPy CSV) gives
    `apid11` (a `Select`'s names for its layouts, `*` for the layout of
    every other APID); an XTCE file (by its `.xml` suffix) gives its
    containers by name."""
    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file")
    if _is_xtce(path):
        return dict(_xtce_definition(path).layouts())
    return flatten(_io().load_layouts(path))


def flatten(layouts: Mapping[Any, Any]) -> dict[str, Any]:
    """{table name: Layout} for a mapping as `decode` takes it, rules
    (`Select`) opened into the layouts they choose from."""
    out: dict[str, Any] = {}

    def add(name: str, target: Any) -> None:
        if hasattr(target, "fields"):
            out[name] = target
            return
        for value, sub in target.layouts.items():
            add(target.name_for(name, value), sub)

    for key, target in layouts.items():
        add(key if key == "*" else f"apid{int(key)}", target)
    return out


def _key_text(key: str) -> str:
    return "* (every APID without a layout of its own)" if key == "*" else key


def _select(layouts: Mapping[str, Any], name: str | None) -> dict[str, Any]:
    if name is None:
        return dict(layouts)
    for key in (name, f"apid{name}"):
        if key in layouts:
            return {key: layouts[key]}
    known = ", ".join(layouts) or "none"
    raise CommandError(f"no layout named {name!r} (the file has: {known})")


def _count(n: int) -> str:
    return f"{n:,}"


# ------------------------------------------------------------------- info


def stream_info(path: str, prefix_bytes: int = 0) -> dict[str, Any]:
    """Packets per APID, their sizes, sequence counts and what was wrong
    with the stream, as plain data (the `info` command prints it)."""
    import numpy as np

    packets = _io().ccsds.split(path, prefix_bytes=prefix_bytes, warn=False)
    summary = packets.summary
    apids = np.asarray(packets.apid)
    lengths = np.asarray(packets.lengths)
    counts = np.asarray(packets.sequence_count).astype(np.int64)
    per_apid = []
    for apid in np.unique(apids).tolist():
        select = apids == apid
        sizes = lengths[select]
        # Counts the APID's packets cover: the steps between them modulo the
        # 14-bit counter (1 the next packet, 0 a repeat, more a gap).
        steps = np.diff(counts[select]) % 16384
        report = summary.sequence[apid]
        per_apid.append(
            {
                "apid": apid,
                "packets": int(select.sum()),
                "bytes": int(sizes.sum()),
                "min_size": int(sizes.min()),
                "max_size": int(sizes.max()),
                "first_count": report.first,
                "last_count": report.last,
                "count_span": int(steps.sum()) + 1,
                "gaps": report.gaps,
                "missing": report.missing,
                "repeats": report.repeats,
            }
        )
    return {
        "file": path,
        "file_bytes": summary.bytes,
        "packets": len(apids),
        "packet_bytes": int(lengths.sum()),
        "apids": per_apid,
        "problems": [
            {"kind": p.kind, "offset": p.offset, "length": p.length, "message": str(p)}
            for p in summary.problems
        ],
    }


def _print_info(info: Mapping[str, Any], out: TextIO) -> None:
    print(
        f"{info['file']}: {_count(info['file_bytes'])} bytes,"
        f" {_count(info['packets'])} packets of {len(info['apids'])} APID{'s' * (len(info['apids']) != 1)}",
        file=out,
    )
    if info["apids"]:
        head = ("APID", "packets", "bytes", "size", "counts", "span", "gaps", "missing", "repeats")
        rows = [head]
        for a in info["apids"]:
            size = f"{a['min_size']}" if a["min_size"] == a["max_size"] else f"{a['min_size']}-{a['max_size']}"
            rows.append(
                (
                    str(a["apid"]),
                    _count(a["packets"]),
                    _count(a["bytes"]),
                    size,
                    f"{a['first_count']}-{a['last_count']}",
                    _count(a["count_span"]),
                    _count(a["gaps"]),
                    _count(a["missing"]),
                    _count(a["repeats"]),
                )
            )
        widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
        print(file=out)
        for r in rows:
            print("  ".join(c.rjust(w) for c, w in zip(r, widths)).rstrip(), file=out)
    print(file=out)
    problems = info["problems"]
    if problems:
        lost = sum(p["length"] for p in problems)
        print(f"{_count(lost)} bytes are not whole packets:", file=out)
        for p in problems:
            print(f"  {p['kind']}: {p['message']}", file=out)
    else:
        print("every byte is in a whole packet", file=out)


def cmd_info(args: argparse.Namespace) -> int:
    info = stream_info(args.file, args.prefix_bytes)
    if args.json:
        json.dump(info, sys.stdout, indent=2)
        print()
    else:
        _print_info(info, sys.stdout)
    return 0


# ----------------------------------------------------------------- decode


class Progress:
    """One self-rewriting line on a terminal: packets and MB/s so far."""

    def __init__(self, total_bytes: int, stream: TextIO, label: str) -> None:
        self.total = max(total_bytes, 1)
        self.stream = stream
        self.label = label
        self.start = time.perf_counter()
        self.last = 0.0

    def update(self, done_bytes: int, packets: int, final: bool = False) -> None:
        now = time.perf_counter()
        if not final and now - self.last < 0.1:
            return
        self.last = now
        elapsed = max(now - self.start, 1e-9)
        fraction = min(done_bytes / self.total, 1.0)
        filled = int(fraction * 24)
        bar = "#" * filled + "." * (24 - filled)
        text = (
            f"\r{self.label} [{bar}] {fraction:4.0%} {_count(packets)} packets"
            f" {done_bytes / elapsed / 1e6:,.1f} MB/s"
        )
        self.stream.write(text + ("\n" if final else ""))
        self.stream.flush()


def _want_progress(mode: str, size: int) -> bool:
    if mode == "always":
        return True
    if mode == "never":
        return False
    return size >= PROGRESS_MIN_BYTES and sys.stderr.isatty()


def _write_tables(tables: Mapping[str, Any], out_dir: Path, fmt: str) -> list[tuple[Path, int]]:
    out_dir.mkdir(parents=True, exist_ok=True)
    written = []
    for name, table in tables.items():
        target = out_dir / f"{_safe_name(str(name))}.{fmt}"
        if fmt == "parquet":
            table.to_parquet(target)
        else:
            table.to_csv(target)
        written.append((target, len(table)))
    return written


def _safe_name(name: str) -> str:
    """A packet-type name as a file name: path separators and other
    characters that some file systems refuse become underscores."""
    cleaned = "".join(c if c.isalnum() or c in "-_.+=" else "_" for c in name).strip(".")
    return cleaned or "packets"


def decode_file(
    path: str,
    decode: Callable[..., Mapping[str, Any]],
    *,
    prefix_bytes: int = 0,
    progress: Progress | None = None,
    chunk_bytes: int = 16 << 20,
) -> Any:
    """Decodes `path` with `decode(source, prefix_bytes=...)`, in pieces of
    about `chunk_bytes` split at packet boundaries when a progress line is
    wanted, and returns the tables (whole-file tables either way)."""
    from bitloom_io import _chunks

    if progress is None:
        return decode(path, prefix_bytes=prefix_bytes)
    return _chunks.decode_in_pieces(
        path, decode, prefix_bytes=prefix_bytes, chunk_bytes=chunk_bytes, progress=progress.update
    )


def cmd_decode(args: argparse.Namespace) -> int:
    if (args.layouts is None) == (args.xtce is None):
        raise CommandError("give exactly one of --layouts and --xtce")
    if not os.path.exists(args.file):
        raise CommandError(f"{args.file}: no such file")
    if args.format == "parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError as error:
            raise CommandError(
                "Parquet output needs pyarrow: pip install bitloom-packets[tables]"
                " (or use --format csv)"
            ) from error
    if args.xtce is not None:
        definition = _xtce_definition(args.xtce)
        decode: Callable[..., Mapping[str, Any]] = definition.decode
    else:
        if not os.path.exists(args.layouts):
            raise CommandError(f"{args.layouts}: no such file")
        io = _io()
        layouts = io.load_layouts(args.layouts)

        def decode(source: Any, **keys: Any) -> Mapping[str, Any]:
            tables: Mapping[str, Any] = io.decode(source, layouts, **keys)
            return tables

    size = os.path.getsize(args.file)
    progress = Progress(size, sys.stderr, Path(args.file).name) if _want_progress(args.progress, size) else None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tables = decode_file(args.file, decode, prefix_bytes=args.prefix_bytes, progress=progress)
    for w in caught:
        print(f"{PROG}: warning: {w.message}", file=sys.stderr)
    written = _write_tables(tables, Path(args.out), args.format)
    if not args.quiet:
        for target, rows in written:
            print(f"{target}  {_count(rows)} row{'s' * (rows != 1)}")
        if not written:
            print("no packet matched a layout: nothing written")
    return 0


# ------------------------------------------------------------ check, show


def cmd_check(args: argparse.Namespace) -> int:
    layouts = _select(load_definitions(args.layouts), args.name)
    io = _io()
    total = 0
    for key, layout in layouts.items():
        # The layout itself: its findings follow how it reads (exact or not).
        findings = io.check(layout)
        total += len(findings)
        if findings:
            print(f"{_key_text(key)}: {len(findings)} finding{'s' * (len(findings) != 1)}")
            for finding in findings:
                print(f"  {finding}")
        elif not args.quiet:
            print(f"{_key_text(key)}: no findings")
    return 1 if total else 0


def cmd_show(args: argparse.Namespace) -> int:
    from bitloom_io.diagram import render

    if _is_xtce(args.layouts) and os.path.exists(args.layouts):
        # An XTCE file: the container tree, or one container (abstract ones
        # too) as a diagram.
        definition = _xtce_definition(args.layouts)
        if args.name is None:
            print(definition.tree())
            print(f"\n'{PROG} show {args.layouts} CONTAINER' draws one container.")
            return 0
        if args.name not in definition.containers:
            known = ", ".join(definition.containers) or "none"
            raise CommandError(f"no container named {args.name!r} (the file has: {known})")
        print(render(definition.layout(args.name).fields, args.bits_per_row))
        return 0
    layouts = _select(load_definitions(args.layouts), args.name)
    first = True
    for key, layout in layouts.items():
        if not first:
            print()
        first = False
        if len(layouts) > 1 or args.name is None:
            print(f"{_key_text(key)}:")
        print(render(layout.fields, args.bits_per_row))
    return 0


# ----------------------------------------------------------------- parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read files of CCSDS space packets: what they hold, decoded into tables,"
        " and the layouts that describe them.",
        epilog="Run 'bitloom-io COMMAND --help' for a command's options.",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def prefix(p: argparse.ArgumentParser) -> None:
        p.add_argument(
            "--prefix-bytes",
            type=_non_negative,
            default=0,
            metavar="N",
            help="bytes before each packet to skip (a record header or sync marker); default 0",
        )

    p = sub.add_parser(
        "info",
        help="packets per APID, sizes, sequence counts, gaps, truncation",
        description="Summarise a packet file: packets and bytes per APID, packet sizes,"
        " first and last sequence count and the span between them, gaps (packets missing"
        " from the 14-bit sequence count) and repeats, and anything that is not a whole"
        " packet (a truncated final packet, a length past the end, stray bytes).",
    )
    p.add_argument("file", metavar="FILE", help="a file of CCSDS space packets")
    prefix(p)
    p.add_argument("--json", action="store_true", help="print the summary as JSON")
    p.set_defaults(run=cmd_info)

    p = sub.add_parser(
        "decode",
        help="decode a packet file into one table file per packet type",
        description="Split FILE into packets, decode each packet with the layout of its APID"
        " and write one table per packet type into DIR (DIR/NAME.parquet or DIR/NAME.csv)."
        " Every file is written under a temporary name and renamed when complete."
        " On a terminal, inputs of a few MB or more show a progress line.",
    )
    p.add_argument("file", metavar="FILE", help="a file of CCSDS space packets")
    p.add_argument("--layouts", metavar="L", help="a JSON layout file (APID -> recipe)")
    p.add_argument("--xtce", metavar="DEF.xml", help="an XTCE definition instead of --layouts")
    p.add_argument("--out", metavar="DIR", required=True, help="directory for the tables (created if missing)")
    p.add_argument(
        "--format", choices=("parquet", "csv"), default="parquet", help="table file format (default parquet)"
    )
    p.add_argument(
        "--progress",
        choices=("auto", "always", "never"),
        default="auto",
        help="progress line on standard error: auto (a terminal and inputs of 4 MiB or more), always, never",
    )
    p.add_argument("-q", "--quiet", action="store_true", help="do not list the files written")
    prefix(p)
    p.set_defaults(run=cmd_decode)

    p = sub.add_parser(
        "check",
        help="list what is probably a mistake in each layout",
        description="Run bitloom_io.check on every layout of a layout file (JSON, or XTCE by"
        " its .xml suffix) and print the findings. Exits with 1 when there are any.",
    )
    p.add_argument("layouts", metavar="L", help="a JSON layout file or an XTCE file")
    p.add_argument("name", metavar="NAME", nargs="?", help="only this layout (an APID or a container name)")
    p.add_argument("-q", "--quiet", action="store_true", help="print only layouts with findings")
    p.set_defaults(run=cmd_check)

    p = sub.add_parser(
        "show",
        help="draw layouts as bit diagrams",
        description="Print each layout of a layout file (JSON, or XTCE by its .xml suffix) as a"
        " bit diagram: a ruler of bit numbers, 32 bits per row, each field a box with its"
        " name, the row's first bit in the right margin.",
    )
    p.add_argument("layouts", metavar="L", help="a JSON layout file or an XTCE file")
    p.add_argument("name", metavar="NAME", nargs="?", help="only this layout (an APID or a container name)")
    p.add_argument(
        "--bits-per-row", type=_row_width, default=32, metavar="N", help="bits per row (default 32)"
    )
    p.set_defaults(run=cmd_show)

    from ._report import add_commands

    add_commands(sub, prefix)
    return parser


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text}")
    return value


def _row_width(text: str) -> int:
    value = _non_negative(text)
    if not 1 <= value <= 128:
        raise argparse.ArgumentTypeError(f"must be between 1 and 128: {text}")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except CommandError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # pragma: no cover - output piped into `head`
        return 0
    except (OSError, ValueError, TypeError, KeyError, NotImplementedError, ImportError) as error:
        print(f"{PROG}: error: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
