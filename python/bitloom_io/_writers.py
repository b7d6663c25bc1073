"""Tables written while they are decoded: one file per packet type, a
Parquet row group or a run of CSV lines per step of the decode, so that a
large file never has its whole output in memory at once.

Each file grows under a temporary name beside its target (named as
``atomic_path`` names them) and is renamed only when the whole decode is
done and the targets are known to be safe; ``abort`` removes them.
"""

from __future__ import annotations

import contextlib
import csv
import os
import threading
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from ._tables import Table, part_path, write_csv_rows

__all__ = ["StreamedTables"]


class _ParquetFile:
    def __init__(self, tmp: str, table: Table) -> None:
        import pyarrow.parquet as pq

        from ._formats import arrow_table

        self._arrow_table = arrow_table
        first = arrow_table(table)
        self.schema = first.schema
        # Dictionaries pay for themselves on text (labels, states), where a
        # few values repeat; built for every number column they took half the
        # time of writing and then mostly fell back to plain pages. zstd
        # without them writes JPSS housekeeping 1.6x faster than snappy with
        # them, into a slightly smaller file.
        self.writer = pq.ParquetWriter(tmp, self.schema, compression="zstd", use_dictionary=_text_columns(self.schema))
        self.writer.write_table(first)

    def append(self, table: Table) -> None:
        more = self._arrow_table(table)
        if not more.schema.equals(self.schema, check_metadata=False):
            try:
                more = more.cast(self.schema)
            except (TypeError, ValueError) as error:  # pyarrow's ArrowInvalid is a ValueError
                raise ValueError(f"table {table.name!r}: a column changed its type between steps ({error})") from None
        self.writer.write_table(more.replace_schema_metadata(self.schema.metadata))

    def close(self) -> None:
        self.writer.close()


def _text_columns(schema: Any) -> list[str]:
    import pyarrow as pa

    text = (pa.types.is_string, pa.types.is_large_string, pa.types.is_binary, pa.types.is_large_binary)
    return [f.name for f in schema if any(kind(f.type) for kind in text) or pa.types.is_dictionary(f.type)]


class _CsvFile:
    def __init__(self, tmp: str, table: Table) -> None:
        self.file = open(tmp, "w", newline="", encoding="utf-8")  # noqa: SIM115 - closed by close()
        self.writer = csv.writer(self.file)
        self.writer.writerow(list(table.columns))
        write_csv_rows(self.writer, table)

    def append(self, table: Table) -> None:
        write_csv_rows(self.writer, table)

    def close(self) -> None:
        self.file.close()


class StreamedTables:
    """The sink of a decode in steps: ``write(tables)`` after each step
    appends every table with rows to its file. ``place(name)`` says where a
    packet type's file would go (its directory holds the temporary file).
    ``rows`` counts the rows written per packet type."""

    def __init__(self, kind: str, place: Any) -> None:
        self.kind = kind
        self.place = place
        self.rows: dict[str, int] = {}
        self._files: dict[str, Any] = {}
        self._tmp: dict[str, str] = {}
        self._pending: threading.Thread | None = None
        self._error: BaseException | None = None

    def write(self, tables: Mapping[str, Table]) -> None:
        """Appends the tables on a thread of their own, so that the next step
        decodes meanwhile; waits for the step before (raising what failed
        there) first, so one step at most is in flight."""
        self.wait()
        work = [(name, table) for name, table in tables.items() if len(table)]
        for name, table in work:
            self.rows[name] = self.rows.get(name, 0) + len(table)
        self._pending = threading.Thread(target=self._write, args=(work,), name="bitloom-io writer", daemon=True)
        self._pending.start()

    def wait(self) -> None:
        """Waits for the tables in flight; raises what failed writing them."""
        if self._pending is not None:
            self._pending.join()
            self._pending = None
        error, self._error = self._error, None
        if error is not None:
            raise error

    def _write(self, work: list[tuple[str, Table]]) -> None:
        try:
            for name, table in work:
                self._append(name, table)
        except BaseException as error:  # noqa: BLE001 - raised on the decoding thread by wait()
            self._error = error

    def _append(self, name: str, table: Table) -> None:
        file = self._files.get(name)
        if file is None:
            target = Path(self.place(name))
            target.parent.mkdir(parents=True, exist_ok=True)
            tmp = self._tmp[name] = part_path(target)
            self._files[name] = (_ParquetFile if self.kind == "parquet" else _CsvFile)(tmp, table)
        else:
            file.append(table)

    def commit(self, targets: Mapping[str, Path]) -> None:
        """Closes every file and gives each its name (``targets``: packet
        type -> path)."""
        self.wait()
        self._close()
        for name, tmp in list(self._tmp.items()):
            os.replace(tmp, targets[name])
            del self._tmp[name]

    def abort(self) -> None:
        """Closes and removes every file written so far."""
        with contextlib.suppress(BaseException):
            self.wait()
        with contextlib.suppress(Exception):
            self._close()
        for tmp in self._tmp.values():
            with contextlib.suppress(OSError):
                os.unlink(tmp)
        self._tmp.clear()

    def _close(self) -> None:
        files, self._files = self._files, {}
        error: BaseException | None = None
        for file in files.values():
            try:
                file.close()
            except BaseException as e:  # noqa: BLE001 - the first is raised once all are closed
                error = error or e
        if error is not None:
            raise error
