"""The `bitloom-io` command line (also `python -m bitloom_io`).

    bitloom-io info FILE                      what a packet file holds
    bitloom-io decode FILE --layouts L --out DIR [--format parquet|csv]
    bitloom-io check L                        findings for every layout in L
    bitloom-io show L [NAME]                  layouts as bit diagrams
    bitloom-io command DEF.xml NAME [ARG=VALUE ...] [--hex | --out FILE]
                                              a telecommand packet from an XTCE file
    bitloom-io simulate DEF.xml --count N --out FILE [--seed S] [--container NAME ...]
                                              random packets of an XTCE file's packet types
    bitloom-io encode TABLE.parquet ... --definition L --out FILE
                                              tables back into a packet file

L is a definition file: JSON layouts, a CCSDSPy CSV definition or XTCE
(`.xml`, `.xtce`); `decode --xtce` is `--layouts` by another name. Every
route decodes through `bitloom_io.decode`.

Exit status: 0 on success, 1 when `check` has findings, when `decode` left
packets undecoded or wrote nothing (unless --allow-undecoded), or a command
fails (the message goes to standard error), 2 for a usage error.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
import warnings
from collections.abc import Mapping, Sequence
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


def _load_xtce(path: str) -> Any:
    from bitloom_io._layout_files import load_xtce

    return load_xtce(path)


def _layouts_by_name(layouts: Mapping[Any, Any]) -> dict[str, Any]:
    from bitloom_io._decode import layouts_by_name

    return layouts_by_name(layouts)


_FILE_KINDS = "JSON layouts (.json), a CCSDSPy CSV definition (.csv) or XTCE (.xml, .xtce)"


def _exists(path: str) -> str:
    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file")
    return path


def _key_text(key: str) -> str:
    return "* (every APID without a layout of its own)" if key == "*" else key


def _select(layouts: Mapping[str, Any], name: str | None, definition: Any = None) -> dict[str, Any]:
    if name is None:
        return dict(layouts)
    for key in (name, f"apid{name}"):
        if key in layouts:
            return {key: layouts[key]}
    if definition is not None and name.isdecimal():
        # An XTCE file: its packet types of that APID.
        by_apid = _containers_of_apid(definition, int(name))
        if by_apid:
            return {key: layouts[key] for key in by_apid if key in layouts}
    known = ", ".join(layouts) or "none"
    if definition is not None:
        raise CommandError(f"no container named {name!r} and no packet type of APID {name!r} (the file has: {known})")
    raise CommandError(f"no layout named {name!r} (the file has: {known})")


def _containers_of_apid(definition: Any, apid: int) -> list[str]:
    """The packet types of an XTCE definition whose restrictions (their own
    or their bases') hold for `apid` as far as they test the APID field,
    and test it somewhere."""
    import operator

    root = definition.root
    if root is None:
        return []
    field = next((f for f in definition.fields(root) if f.start == 5 and f.type.encoding.bits == 11), None)
    if field is None:
        return []
    ops = {
        "==": operator.eq,
        "!=": operator.ne,
        "<": operator.lt,
        "<=": operator.le,
        ">": operator.gt,
        ">=": operator.ge,
    }

    def holds(term: Any) -> bool | None:
        """True or False where the APID decides, None where other fields do."""
        if hasattr(term, "terms"):
            parts = [holds(t) for t in term.terms]
            if term.op == "and":
                return False if False in parts else (True if True in parts else None)
            return True if True in parts else (None if None in parts else False)
        if term.parameter != field.parameter.name or term.other_parameter is not None:
            return None
        try:
            return bool(ops[term.operator](apid, int(term.value.strip(), 0)))
        except (KeyError, ValueError):
            return None

    found = []
    for name in definition.packet_types():
        verdicts = []
        container = definition.containers[name]
        while container is not None:
            if container.criteria is not None:
                verdicts.append(holds(container.criteria))
            container = definition.containers.get(container.base) if container.base else None
        if True in verdicts and False not in verdicts:
            found.append(name)
    return found


def _count(n: int) -> str:
    return f"{n:,}"


# ------------------------------------------------------------------- info


def stream_info(path: str, prefix_bytes: int = 0) -> dict[str, Any]:
    """Packets per APID, their sizes, sequence counts and what was wrong
    with the stream, as plain data (the `info` command prints it)."""
    import numpy as np

    from bitloom_io._report import prefix_hint

    packets = _io().ccsds.split(_exists(path), prefix_bytes=prefix_bytes, warn=False)
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
            {"kind": p.kind, "offset": p.offset, "length": p.length, "message": str(p)} for p in summary.problems
        ],
        "prefix_hint": prefix_hint(packets),
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
        what = "bytes are not whole packets" if lost != 1 else "byte is not in a whole packet"
        print(f"{_count(lost)} {what}:", file=out)
        for p in problems:
            print(f"  {p['kind']}: {p['message']}", file=out)
    else:
        print("every byte is in a whole packet", file=out)
    if info.get("prefix_hint") is not None:
        n = info["prefix_hint"]
        print(
            f"the file looks like packets behind a {n}-byte prefix: try --prefix-bytes {n}",
            file=out,
        )


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
            f"\r{self.label} [{bar}] {fraction:4.0%} {_count(packets)} packets {done_bytes / elapsed / 1e6:,.1f} MB/s"
        )
        self.stream.write(text + ("\n" if final else ""))
        self.stream.flush()


def _want_progress(mode: str, size: int) -> bool:
    if mode == "always":
        return True
    if mode == "never":
        return False
    return size >= PROGRESS_MIN_BYTES and sys.stderr.isatty()


_SUFFIXES = {".parquet": "parquet", ".csv": "csv"}


def _targets(
    tables: Mapping[str, Any], out: Path, fmt: str | None, inputs: Sequence[str]
) -> tuple[list[tuple[Path, Any]], str]:
    """Where each table goes, refusing what would lose data: two tables
    under one file name, a file that is one of the inputs, a file suffix in
    `--out` for more than one table."""
    suffix = out.suffix.lower()
    if suffix in _SUFFIXES:
        kind = _SUFFIXES[suffix]
        if fmt is not None and fmt != kind:
            raise CommandError(f"--out {out} is a .{kind} file, but --format is {fmt}")
        if len(tables) != 1:
            names = ", ".join(tables) or "none"
            raise CommandError(
                f"--out {out} names one file, but there are {len(tables)} tables with packets ({names}); "
                "give a directory"
            )
        targets = [(out, table) for table in tables.values()]
    else:
        kind = fmt or "parquet"
        targets = [(out / f"{_safe_name(str(name))}.{kind}", table) for name, table in tables.items()]
        by_file: dict[Path, str] = {}
        for (target, _), name in zip(targets, tables):
            if target in by_file:
                raise CommandError(
                    f"tables {by_file[target]!r} and {name!r} would both be written to {target}; nothing was written"
                )
            by_file[target] = name
    for target, _ in targets:
        for path in inputs:
            if os.path.exists(target) and os.path.exists(path) and os.path.samefile(target, path):
                raise CommandError(f"{target} is the input file {path}: nothing was written")
    return targets, kind


def _safe_name(name: str) -> str:
    """A packet-type name as a file name: path separators and other
    characters that some file systems refuse become underscores."""
    cleaned = "".join(c if c.isalnum() or c in "-_.+=" else "_" for c in name).strip(".")
    return cleaned or "packets"


def decode_file(
    path: str,
    definition: Any,
    *,
    prefix_bytes: int = 0,
    progress: Progress | None = None,
    chunk_bytes: int = 16 << 20,
    map: bool = True,
    sink: Any = None,
) -> Any:
    """Decodes `path` with `bitloom_io.decode`, in steps of about
    `chunk_bytes` (the same tables and report as one step), each step's
    tables handed to `sink` when given."""
    from bitloom_io._decode import decode_in_steps

    return decode_in_steps(
        path,
        definition,
        prefix_bytes=prefix_bytes,
        step_bytes=chunk_bytes,
        progress=None if progress is None else progress.update,
        map=map,
        sink=sink,
    )


def cmd_decode(args: argparse.Namespace) -> int:
    if (args.layouts is None) == (args.xtce is None):
        raise CommandError("give exactly one of --layouts and --xtce")
    _exists(args.file)
    definition_path = _exists(args.layouts if args.layouts is not None else args.xtce)
    out = Path(args.out)
    parquet = (args.format or _SUFFIXES.get(out.suffix.lower(), "parquet")) == "parquet"
    if parquet:
        try:
            import pyarrow  # noqa: F401
        except ImportError as error:
            raise CommandError(
                'Parquet output needs pyarrow: pip install "bitloom-packets[tables]"'
                ' (from a checkout: pip install ".[tables]"), or use --format csv'
            ) from error
    suffix_kind = _SUFFIXES.get(out.suffix.lower())
    if suffix_kind is not None and args.format is not None and args.format != suffix_kind:
        raise CommandError(f"--out {out} is a .{suffix_kind} file, but --format is {args.format}")
    kind = suffix_kind or args.format or "parquet"
    definition = _io().load_definition(definition_path)
    size = os.path.getsize(args.file)
    progress = Progress(size, sys.stderr, Path(args.file).name) if _want_progress(args.progress, size) else None
    # Each step's tables go to their files as they are decoded; the files
    # get their names once the whole file is decoded and the names are
    # known to be safe (no two tables on one file, no input overwritten).
    from bitloom_io._writers import StreamedTables

    files = StreamedTables(kind, lambda name: out if suffix_kind else out / f"{_safe_name(str(name))}.{kind}")
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            tables = decode_file(
                args.file, definition, prefix_bytes=args.prefix_bytes, progress=progress, map=args.map, sink=files.write
            )
        for w in caught:
            print(f"{PROG}: warning: {w.message}", file=sys.stderr)
        report = tables.report
        for line in report.lines(command_line=True):
            print(f"{PROG}: {'warning: ' if not line.startswith(' ') else ''}{line}", file=sys.stderr)
        with_rows = {name: rows for name, rows in files.rows.items() if rows}
        targets = _targets(with_rows, out, args.format, [args.file, definition_path])[0] if with_rows else []
        files.commit({name: target for name, (target, _) in zip(with_rows, targets)})
    except BaseException:
        files.abort()
        raise
    written = [(target, rows) for target, rows in targets]
    if not args.quiet:
        for target, rows in written:
            print(f"{target}  {_count(rows)} row{'s' * (rows != 1)}")
    undecoded = report.undecoded
    if not written:
        print(f"{PROG}: no packet was decoded: nothing written", file=sys.stderr)
    if undecoded or not written:
        if args.allow_undecoded:
            return 0
        if undecoded:
            packets = report.packets
            print(
                f"{PROG}: error: {_count(undecoded)} of {_count(packets)} packet{'s' * (packets != 1)} "
                "not decoded (--allow-undecoded accepts that)",
                file=sys.stderr,
            )
        return 1
    return 0


# ------------------------------------------------------------ check, show


def _definition_layouts(path: str, name: str | None) -> dict[str, Any]:
    """The layouts `check` and `show` go through: all of a file's, or those
    NAME picks (a table name, an APID, or for XTCE a container name or an
    APID)."""
    definition = _io().load_definition(_exists(path))
    if isinstance(definition, Mapping):
        return _select(_layouts_by_name(definition), name)
    layouts = dict(definition.layouts())
    if name is not None and name in definition.containers and name not in layouts:
        return {name: definition.layout(name)}  # an abstract container
    return _select(layouts, name, definition)


def cmd_check(args: argparse.Namespace) -> int:
    layouts = _definition_layouts(args.layouts, args.name)
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
    from bitloom_io._layout_files import is_xtce
    from bitloom_io.diagram import render

    if args.name is None and is_xtce(_exists(args.layouts)):
        # An XTCE file: the container tree; NAME draws one container.
        print(_load_xtce(args.layouts).tree())
        print(f"\n'{PROG} show {args.layouts} CONTAINER' (or an APID) draws one container.")
        return 0
    layouts = _definition_layouts(args.layouts, args.name)
    first = True
    for key, layout in layouts.items():
        if not first:
            print()
        first = False
        if len(layouts) > 1 or args.name is None:
            print(f"{_key_text(key)}:")
        print(render(layout.fields, args.bits_per_row))
    return 0


def cmd_command(args: argparse.Namespace) -> int:
    from bitloom_io.xtce._commands import command_arguments

    definition = _load_xtce(_exists(args.definition))
    values = command_arguments(definition, args.name, args.arguments)
    packet = definition.command(args.name, **values)
    if args.out:
        from bitloom_io._tables import atomic_path

        with atomic_path(args.out) as tmp, open(tmp, "wb") as f:
            f.write(packet)
        print(f"{args.out}: {len(packet)} bytes", file=sys.stderr)
    elif args.hex or sys.stdout.isatty():
        print(packet.hex())
    else:
        sys.stdout.buffer.write(packet)
        sys.stdout.flush()
    return 0


def cmd_simulate(args: argparse.Namespace) -> int:
    definition = _load_xtce(_exists(args.definition))
    packets, values = definition.simulate(args.count, seed=args.seed, containers=args.container or None)
    from bitloom_io._tables import atomic_path

    with atomic_path(args.out) as tmp, open(tmp, "wb") as f:
        f.write(packets)
    if not args.quiet:
        for name, columns in values.items():
            print(f"{name}: {_count(len(next(iter(columns.values()))))} packets")
        print(f"{args.out}: {len(packets):,} bytes")
    return 0


def _read_table(path: str) -> dict[str, Any]:
    """A table file's columns as numpy arrays (Parquet, or CSV as decode writes it)."""
    import numpy as np

    if path.lower().endswith(".csv"):
        import csv

        with open(path, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
        if not rows:
            raise ValueError(f"{path}: no header row")
        header, body = rows[0], rows[1:]
        columns: dict[str, Any] = {}
        for k, name in enumerate(header):
            values = [row[k] for row in body]
            for kind in (int, float):
                try:
                    columns[name] = np.array([kind(v) for v in values])
                    break
                except ValueError:
                    continue
            else:
                columns[name] = np.array(values, dtype=object)
        return columns
    try:
        import pyarrow.parquet as pq
    except ImportError as error:
        raise ImportError('reading Parquet tables needs pyarrow: pip install "bitloom-packets[cli]"') from error
    table = pq.read_table(path)
    return {name: table.column(name).to_numpy(zero_copy_only=False) for name in table.column_names}


def cmd_encode(args: argparse.Namespace) -> int:
    io = _io()
    definition = io.load_definition(_exists(args.definition))
    tables: dict[str, Any] = {}
    for given in args.tables:
        name, _, path = given.rpartition("=") if "=" in given else ("", "", given)
        name = name or Path(path).stem
        if name in tables:
            raise ValueError(f"two tables are named {name!r} (name one with NAME=PATH)")
        tables[name] = _read_table(_exists(path))
    written = io.write_packets(args.out, tables, definition, error_control=args.error_control)
    if not args.quiet:
        rows = sum(len(next(iter(c.values()), [])) for c in tables.values())
        print(f"{args.out}: {_count(rows)} packets, {written:,} bytes")
    return 0


# ----------------------------------------------------------------- parser


class _Version(argparse.Action):
    """--version, the version looked up only when asked for."""

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        print(f"{PROG} {_io().__version__}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read files of CCSDS space packets: what they hold, decoded into tables,"
        " and the layouts that describe them.",
        epilog="Run 'bitloom-io COMMAND --help' for a command's options.",
    )
    parser.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
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
        description="Split FILE into packets, decode each packet with its packet type in the"
        " definition file and write one table per packet type with packets into DIR"
        " (DIR/NAME.parquet or DIR/NAME.csv). What was not decoded, and why, goes to standard"
        " error; the exit status is 1 when packets were left undecoded or nothing was written"
        " (--allow-undecoded accepts that). Every file is written under a temporary name and"
        " renamed when complete. On a terminal, inputs of a few MB or more show a progress line.",
    )
    p.add_argument("file", metavar="FILE", help="a file of CCSDS space packets")
    p.add_argument("--layouts", metavar="L", help=f"the definition file: {_FILE_KINDS}")
    p.add_argument("--xtce", metavar="DEF.xml", help="an XTCE definition (the same as --layouts DEF.xml)")
    p.add_argument(
        "--out",
        metavar="DIR",
        required=True,
        help="directory for the tables (created if missing), or a .parquet or .csv file when there is one table",
    )
    p.add_argument(
        "--format",
        choices=("parquet", "csv"),
        default=None,
        help="table file format (default: the --out file's suffix, else parquet)",
    )
    p.add_argument(
        "--allow-undecoded",
        action="store_true",
        help="exit 0 even when packets were left undecoded or nothing was written",
    )
    p.add_argument(
        "--progress",
        choices=("auto", "always", "never"),
        default="auto",
        help="progress line on standard error: auto (a terminal and inputs of 4 MiB or more), always, never",
    )
    p.add_argument(
        "--no-map",
        dest="map",
        action="store_false",
        help="read FILE instead of memory-mapping it (a file that may shrink while it is read)",
    )
    p.add_argument("-q", "--quiet", action="store_true", help="do not list the files written")
    prefix(p)
    p.set_defaults(run=cmd_decode)

    p = sub.add_parser(
        "check",
        help="list what is probably a mistake in each layout",
        description=f"Run bitloom_io.check on every layout of a definition file ({_FILE_KINDS})"
        " and print the findings. Exits with 1 when there are any.",
    )
    p.add_argument("layouts", metavar="L", help=f"a definition file: {_FILE_KINDS}")
    p.add_argument("name", metavar="NAME", nargs="?", help="only this layout (an APID or a container name)")
    p.add_argument("-q", "--quiet", action="store_true", help="print only layouts with findings")
    p.set_defaults(run=cmd_check)

    p = sub.add_parser(
        "show",
        help="draw layouts as bit diagrams",
        description=f"Print each layout of a definition file ({_FILE_KINDS}) as a"
        " bit diagram: a ruler of bit numbers, 32 bits per row, each field a box with its"
        " name, the row's first bit in the right margin. An XTCE file without NAME prints"
        " its container tree.",
    )
    p.add_argument("layouts", metavar="L", help=f"a definition file: {_FILE_KINDS}")
    p.add_argument("name", metavar="NAME", nargs="?", help="only this layout (an APID or a container name)")
    p.add_argument("--bits-per-row", type=_row_width, default=32, metavar="N", help="bits per row (default 32)")
    p.set_defaults(run=cmd_show)

    p = sub.add_parser(
        "command",
        help="build a telecommand packet from an XTCE definition",
        description="Build the packet of command NAME of an XTCE file with the arguments given"
        " as ARG=VALUE (numbers, labels, text; binary values in hexadecimal); arguments left"
        " out take their defaults. Every value is checked against the definition. The packet"
        " goes to standard output (in hexadecimal on a terminal or with --hex) or to --out.",
    )
    p.add_argument("definition", metavar="DEF.xml", help="an XTCE file with MetaCommands")
    p.add_argument("name", metavar="NAME", help="the command (a MetaCommand's name)")
    p.add_argument("arguments", metavar="ARG=VALUE", nargs="*", help="an argument's value")
    out = p.add_mutually_exclusive_group()
    out.add_argument("--hex", action="store_true", help="print the packet in hexadecimal")
    out.add_argument("--out", metavar="FILE", help="write the packet to FILE")
    p.set_defaults(run=cmd_command)

    p = sub.add_parser(
        "simulate",
        help="write random packets of an XTCE file's packet types",
        description="Write N random packets of the packet types an XTCE file decodes (or of"
        " the containers named) to FILE: values in range, restriction criteria met, packet"
        " lengths right and sequence counts running per APID. The same --seed gives the same file.",
    )
    p.add_argument("definition", metavar="DEF.xml", help="an XTCE telemetry definition")
    p.add_argument("--count", type=_non_negative, required=True, metavar="N", help="how many packets")
    p.add_argument("--out", required=True, metavar="FILE", help="the packet file to write")
    p.add_argument("--seed", type=_non_negative, default=None, metavar="S", help="seed of the random draws")
    p.add_argument("--container", action="append", metavar="NAME", help="only this packet type (repeatable)")
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing")
    p.set_defaults(run=cmd_simulate)

    p = sub.add_parser(
        "encode",
        help="write tables back into a packet file",
        description="Pack tables (Parquet or CSV files as decode writes them) into one file of"
        " CCSDS packets with the definition they were decoded with: the inverse of decode."
        " A table's name is its file's name without the suffix, or NAME=PATH. Packets go in"
        " the order of the tables' _packet column when every table has one (decode keeps it,"
        " with the bits no field describes, in bitloom_io.decode(..., keep_unmapped=True)),"
        " else table after table.",
    )
    p.add_argument("tables", metavar="TABLE", nargs="+", help="a table file, or NAME=PATH")
    p.add_argument("--definition", required=True, metavar="L", help=f"the definition: {_FILE_KINDS}")
    p.add_argument("--out", required=True, metavar="FILE", help="the packet file to write")
    p.add_argument("--error-control", action="store_true", help="append the CRC-16 packet error control field")
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing")
    p.set_defaults(run=cmd_encode)

    from ._quicklook_commands import add_commands

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


def _message(error: BaseException) -> str:
    """An error as one line: its own words, led by its type only where the
    words do not already say it (definition-file errors name the file)."""
    text = error.args[0] if isinstance(error, KeyError) and error.args else str(error)
    text = str(text)
    name = type(error).__name__
    if text.startswith(f"{name}: ") or type(error).__name__ in (
        "DefinitionFileError",
        "XtceError",
        "XtceUnsupportedError",
    ):
        return text
    return f"{name}: {text}"


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
    except FileNotFoundError as error:
        print(f"{PROG}: error: {error.filename}: no such file", file=sys.stderr)
        return 1
    except (OSError, ValueError, TypeError, KeyError, NotImplementedError, ImportError) as error:
        print(f"{PROG}: error: {_message(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
