"""Type-checking cases for bitloom_io, never run: `make typecheck` runs
`mypy --strict` over this file. Positive cases pin result types with
assert_type; each refused call carries an ignore with its exact error code,
so a type that grew too permissive leaves an unused ignore, which --strict
reports."""

import mmap
from collections.abc import KeysView
from typing import Any, Literal, assert_type

import numpy as np
import numpy.typing as npt

import bitloom_io
from bitloom_io import Columns, Field, Finding, Layout, check

ITEM = {"name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}


def results(buffer: mmap.mmap) -> None:
    layout = Layout([ITEM], exact=True)
    assert_type(layout.unpack(b"\x01"), dict[str, int | float | str | bytes])
    assert_type(layout.unpack(bytearray(b"\x01\x02"), 8), dict[str, int | float | str | bytes])
    assert_type(layout.pack(), bytes)
    assert_type(layout.pack({"x": 3}), bytes)
    columns = layout.unpack_many(buffer, stride=1, errors="mask")
    assert_type(columns, Columns)
    assert_type(columns["x"], npt.NDArray[Any])
    assert_type(columns.failures, int)
    assert_type(columns.failed, npt.NDArray[np.bool_])
    assert_type(layout.unpack_many([b"\x01", b"\x02"]), Columns)
    assert_type(layout.unpack_many(memoryview(b"ab"), offsets=np.array([0, 1]), lengths=[1, 1]), Columns)
    assert_type(layout.pack_many(columns), bytes)
    assert_type(layout.pack_many({"x": [1, 2, 3]}), bytes)
    assert_type(layout.fields, tuple[Field, ...])
    assert_type(layout.fields[0].start_bit, int | None)
    assert_type(layout.fields[0].byte_order, Literal["big", "little"])
    assert_type(layout.exact, bool)
    assert_type(layout.recipe, list[dict[str, Any]])
    findings = check([ITEM], exact=True)
    assert_type(findings, list[Finding])
    assert_type(findings[0].index, int)
    assert_type(findings[0].name, str | None)


def refused() -> None:
    layout = Layout([ITEM])
    layout.unpack("text")  # type: ignore[arg-type]
    layout.unpack(packet=b"")  # type: ignore[call-arg]
    layout.unpack_many(b"", 64)  # type: ignore[call-arg]
    layout.unpack_many(b"", errors="ignore")  # type: ignore[arg-type]
    Layout([ITEM], True)  # type: ignore[call-arg]
    check("recipe", exact=True)  # type: ignore[arg-type]


def pipeline_results(path: str) -> None:
    # Every route's results are typed, none of them Any.
    from bitloom_io import Report, Table, Tables, xtce
    from bitloom_io.xtce._decode import XtceTables

    tables = bitloom_io.decode(path, "definition.json")
    assert_type(tables, Tables)
    assert_type(tables.report, Report)
    assert_type(tables.report.unclaimed, dict[int, int])
    assert_type(tables["apid11"], Table)
    assert_type(tables["apid11"].keys(), KeysView[str])
    decoded = xtce.load("definition.xml").decode(path)
    assert_type(decoded, XtceTables)
    assert_type(decoded.packet_index, dict[str, npt.NDArray[Any]])
    bitloom_io.decode(path, {11: 3})  # type: ignore[dict-item]
