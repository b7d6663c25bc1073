"""The ``report`` and ``plot`` commands' options, apart from the page and
the plots they make, so that building the command line's parser loads
neither numpy nor the page's code."""

from __future__ import annotations

from typing import Any


def _report(args: Any) -> int:
    from ._quicklook import _cmd_report

    return _cmd_report(args)


def _plot(args: Any) -> int:
    from ._quicklook import _cmd_plot

    return _cmd_plot(args)


def add_commands(sub: Any, prefix: Any) -> None:
    """The ``report`` and ``plot`` commands of ``bitloom-io``."""
    p = sub.add_parser(
        "report",
        help="a quick look: one self-contained HTML page about a packet file",
        description="Decode FILE with DEF (XTCE by its .xml suffix, else a layout file) and write one"
        " HTML page that opens offline: packets per APID and packet type, time span, sequence gaps,"
        " problem regions and what was not decoded; per packet type a plot of every numeric parameter"
        " against packet time; a searchable list of the parameters; the bit diagram of each layout.",
    )
    p.add_argument("file", metavar="FILE", help="a file of CCSDS space packets")
    p.add_argument("--definition", "-d", metavar="DEF", required=True, help="an XTCE file or a layout file")
    p.add_argument("--out", "-o", metavar="report.html", help="the page (default: FILE's name with .html, here)")
    p.add_argument(
        "--time",
        metavar="FIELD[+FINE[*SECONDS]][=EPOCH]",
        help="what stamps packets: FIELD, whole seconds from EPOCH (tai, gps, j2000, unix or an ISO"
        " date-time; default tai), or a time field or XTCE time parameter; or COARSE+FINE, seconds and"
        " their binary fractions of FINE's width, or COARSE+FINE*SECONDS with SECONDS per fine count",
    )
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing when done")
    prefix(p)
    p.set_defaults(run=_report)

    p = sub.add_parser(
        "plot",
        help="plot parameters against packet time (PNG, SVG or HTML)",
        description="Decode FILE with DEF and plot each parameter of --param against packet time,"
        " one panel each, into a .png, .svg or .html file (needs matplotlib: pip install bitloom-packets[plot]).",
    )
    p.add_argument("file", metavar="FILE", help="a file of CCSDS space packets")
    p.add_argument("--definition", "-d", metavar="DEF", required=True, help="an XTCE file or a layout file")
    p.add_argument("--param", "-p", metavar="A,B", required=True, help="parameters, comma-separated")
    p.add_argument(
        "--out", "-o", metavar="plot.png", help="a .png, .svg or .html file (default: FILE's name with .png)"
    )
    p.add_argument("--time", metavar="FIELD[+FINE[*SECONDS]][=EPOCH]", help="as for report")
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing when done")
    prefix(p)
    p.set_defaults(run=_plot)
