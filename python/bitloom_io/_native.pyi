"""Compiled layouts: a recipe read and resolved once, then packets and whole
batches of packets read and written with it."""

from _typeshed import structseq
from collections.abc import Buffer, Callable, Collection, Mapping, Sequence
from typing import Any, Final, Literal, TypeAlias, TypedDict, final, overload, type_check_only

from typing_extensions import disjoint_base

import numpy as np
import numpy.typing as npt

@type_check_only
class DynamicWidth(TypedDict):
    """A width taken from an earlier numeric field of the same packet:
    ``bits = value(field) * slope + intercept`` (a layout extension)."""

    field: str
    slope: int
    intercept: int

# What one field of a packet unpacks to.
_Value: TypeAlias = int | float | str | bytes

@final
class Field(structseq[Any], tuple[int, str, str, int | None, int | DynamicWidth, str, bool]):
    """One field of a Layout, in recipe order."""

    __match_args__: Final = ("index", "name", "encoding", "start_bit", "bits", "byte_order", "reverse_bits")
    @property
    def index(self) -> int:  # type: ignore[override]  # the field, not tuple.index
        """Position of the item in the recipe."""
    @property
    def name(self) -> str: ...
    @property
    def encoding(self) -> str:
        """The encoding as the recipe names it."""
    @property
    def start_bit(self) -> int | None:
        """First bit, counted from the start of reading; ``None`` when it
        depends on a width read from the packet."""
    @property
    def bits(self) -> int | DynamicWidth: ...
    @property
    def byte_order(self) -> Literal["big", "little"]: ...
    @property
    def reverse_bits(self) -> bool: ...

class Columns(dict[str, npt.NDArray[Any]]):
    """One numpy array per field name, one entry per packet (numpy masked
    arrays with ``errors="mask"``)."""

    failures: int
    """How many packets failed (0 with ``errors="raise"``)."""
    failed: npt.NDArray[np.bool_]
    """Per packet, whether it failed."""

@disjoint_base
class Layout:
    """A recipe compiled once: ``Layout(recipe).unpack(p, o)`` is
    ``bitloom.unpack_parameters(p, o, recipe)`` and ``pack(values)`` is
    ``bitloom.pack_parameters`` with those values; ``exact=True`` reads each
    field at its exact bits."""

    def __new__(cls, recipe: Sequence[Mapping[str, Any]], *, exact: bool = False) -> Layout: ...
    def __init__(self, recipe: Sequence[Mapping[str, Any]], *, exact: bool = False) -> None: ...
    @property
    def fields(self) -> tuple[Field, ...]: ...
    @property
    def exact(self) -> bool: ...
    @property
    def recipe(self) -> list[dict[str, Any]]:
        """A deep copy of the recipe's items."""
    def unpack(self, packet: Buffer, offset_bits: int = 0, /) -> dict[str, _Value]: ...
    def pack(self, values: Mapping[str, object] | None = None, /) -> bytes: ...
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
    ) -> Columns: ...
    def pack_many(self, columns: Mapping[str, npt.ArrayLike], /) -> bytes: ...
    def diagram(self, bits_per_row: int = 32) -> str:
        """The layout as a bit diagram: a ruler of bit numbers, each field a box
        holding its name (bitloom_io.diagram)."""

@final
class _Block:
    """Memory of a column the splitter produced (exports the buffer protocol)."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

def set_threads(n: int | None, /) -> None:
    """How many threads Layout.unpack_many (and so decode) uses when its call
    does not say: a positive int, or None for os.process_cpu_count()."""

def get_threads() -> int:
    """How many threads a batch uses when its call does not say."""

def ccsds_scan(
    buffer: Buffer,
    prefix_bytes: int,
    release: bool,
    start: int = 0,
    stop: int = -1,
    versions: int = 255,
    seen_versions: int = 0,
    known: Buffer | None = None,
    fixed: Buffer | None = None,
    prior: Buffer | None = None,
    broken: bool = False,
    /,
) -> tuple[
    int, _Block, _Block, _Block, _Block, _Block, _Block, _Block, _Block, _Block, _Block, _Block, _Block, int, int,
    _Block,
]:
    """The records of a CCSDS stream that start in [start, stop): (count,
    offsets, lengths, version, type, secondary_flag, apid, sequence_flags,
    sequence_count, data_length, problems, sequence_events, apid_stats, end,
    seen_versions, breaks) as blocks of native-endian integers."""

def ccsds_scanner(
    buffer: Buffer, prefix_bytes: int, versions: int, known: Buffer | None, fixed: Buffer | None, count_only: bool, /
) -> object:
    """A scan of buffer taken in steps by ccsds_scan_step (count_only:
    records are counted, their columns left empty)."""

def ccsds_scan_step(
    scanner: object, stop: int, release: bool, /
) -> tuple[int, _Block, _Block, _Block, _Block, _Block, _Block, _Block, _Block, _Block, int]:
    """The records from where the last step ended up to stop: (count,
    offsets, lengths, version, type, secondary_flag, apid, sequence_flags,
    sequence_count, data_length, end)."""

def ccsds_scan_summary(scanner: object, /) -> tuple[int, _Block, _Block, _Block, int, _Block]:
    """(count, problems, sequence_events, apid_stats, seen_versions, breaks)
    of the steps taken so far."""

@final
class _Mapped:
    """A read-only file mapping whose pages read as zeros, not SIGBUS, once
    the file shrinks under it; ``fault`` says where."""

    @property
    def fault(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    @property
    def name(self) -> object: ...
    def close(self) -> None: ...
    def release_pages(self, start: int, length: int, /) -> None: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, key: int, /) -> int: ...
    @overload
    def __getitem__(self, key: slice, /) -> bytes: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

def map_file(fd: int, size: int, name: object, /) -> _Mapped | None:
    """A guarded read-only mapping of the open file ``fd``; None where that
    cannot be done."""

def convert_time_codes(
    kind: int,
    bits: int,
    epoch_ns: int,
    leap_allowed: bool,
    steps: tuple[Buffer, Buffer, Buffer] | None,
    value: Buffer,
    sub: Buffer | None,
    pfield: Buffer | None,
    pfield_value: int,
    ns: Buffer,
    leap: Buffer | None,
    ps: Buffer | None,
    /,
) -> tuple[int, int, int]:
    """CUC or CDS counters read as unsigned columns into int64 nanoseconds
    since 1970 (bitloom_io.timecodes): (fault, first faulty value, latest
    time before the steps)."""

@final
class Element:
    """One element of a definition file, as read_xml builds it."""

    tag: str
    attrib: dict[str, str]
    @property
    def children(self) -> Sequence[Element]: ...
    @children.setter
    def children(self, value: Sequence[Element], /) -> None: ...
    text: str
    line: int
    @overload
    def get(self, key: str, default: None = None, /) -> str | None: ...
    @overload
    def get(self, key: str, default: str, /) -> str: ...
    def find(self, tag: str, /) -> Element | None: ...
    def findall(self, tag: str, /) -> list[Element]: ...

def read_xml(
    data: Buffer,
    unit_parents: Collection[str],
    skipped_sections: Collection[str],
    text_elements: Collection[str],
    skipped_definitions: Collection[str],
    on_unit: Callable[[str, Element], object],
    on_skipped: Callable[[str, int], object],
    on_skipped_definition: Callable[[str, str | None, int], object],
    /,
) -> Element | None:
    """A UTF-8 XML document as a tree of Elements, checked whole before any
    handler is called (bitloom_io.xtce); None for a document left to expat."""
