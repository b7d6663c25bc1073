"""Compiled layouts: a recipe read and resolved once, then packets and whole
batches of packets read and written with it."""

from collections.abc import Buffer, Mapping, Sequence
from typing import Any, Literal, TypedDict, final, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = ["Columns", "Field", "Layout"]

@type_check_only
class DynamicWidth(TypedDict):
    """A width taken from an earlier numeric field of the same packet:
    ``bits = value(field) * slope + intercept`` (a layout extension)."""

    field: str
    slope: int
    intercept: int

Value = int | float | str | bytes

@final
class Field:
    """One resolved recipe item, in recipe order."""

    @property
    def index(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def encoding(self) -> str: ...
    @property
    def start_bit(self) -> int | None:
        """First bit of the field, counted from the unpacking offset; ``None`` when it
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

    @property
    def failures(self) -> int:
        """How many packets failed (always 0 with ``errors="raise"``)."""
    @property
    def failed(self) -> npt.NDArray[np.bool_]:
        """Per packet, whether it failed."""

@final
class Layout:
    """A recipe compiled once: ``Layout(recipe).unpack(p, o)`` is
    ``bitloom.unpack_parameters(p, o, recipe)`` and ``pack(values)`` is
    ``bitloom.pack_parameters`` with those values; ``exact=True`` reads every
    field at its exact bits."""

    def __init__(self, recipe: Sequence[Mapping[str, Any]], *, exact: bool = False) -> None: ...
    @property
    def fields(self) -> tuple[Field, ...]: ...
    @property
    def exact(self) -> bool: ...
    @property
    def recipe(self) -> list[dict[str, Any]]:
        """A deep copy of the recipe's items."""
    def unpack(self, packet: Buffer, offset_bits: int = 0) -> dict[str, Value]: ...
    def pack(self, values: Mapping[str, object] | None = None) -> bytes: ...
    def unpack_many(
        self,
        buffer: Buffer | Sequence[bytes],
        *,
        stride: int | None = None,
        offsets: npt.ArrayLike | None = None,
        lengths: npt.ArrayLike | None = None,
        errors: Literal["raise", "mask"] = "raise",
    ) -> Columns: ...
    def pack_many(self, columns: Mapping[str, npt.ArrayLike]) -> bytes: ...
