"""Resolution: types to parameters, container trees, positioned fields."""

from __future__ import annotations

from bitloom_io.xtce._errors import XtceEncodingNotImplementedError, XtceError, XtceUnsupportedError
from bitloom_io.xtce._model import FieldSpec, Parameter
from bitloom_io.xtce._reader import UnitReader


def resolve_parameters(reader: UnitReader) -> None:
    for param in reader.parameters.values():
        ptype = reader.types.get(param.type_name)
        if ptype is None:
            raise XtceError(
                f"parameterTypeRef {param.type_name!r} names no parameter type",
                element="Parameter",
                name=param.name,
                line=param.line,
            )
        if ptype.encoding.not_implemented:
            raise XtceEncodingNotImplementedError(
                f"float encoding {ptype.encoding.not_implemented} is not implemented (type {ptype.name!r}, line {ptype.encoding.line})",
                element="Parameter",
                name=param.name,
                line=param.line,
            )
        param.type = ptype


def container_fields(reader: UnitReader, name: str, cache: dict[str, list[tuple[Parameter, int]]], trail: tuple[str, ...] = ()) -> list[tuple[Parameter, int]]:
    """The parameters of a container in packet order (base first), with each entry's line."""
    if name in cache:
        return cache[name]
    if name in trail:
        raise XtceError(
            "container refers to itself: " + " -> ".join((*trail, name)),
            element="SequenceContainer",
            name=name,
            line=reader.containers[name].line,
        )
    container = reader.containers[name]
    fields: list[tuple[Parameter, int]] = []
    if container.base is not None:
        fields.extend(container_fields(reader, container.base, cache, (*trail, name)))
    fields.extend(own_fields(reader, name, cache, (*trail, name)))
    cache[name] = fields
    return fields


def own_fields(reader: UnitReader, name: str, cache: dict[str, list[tuple[Parameter, int]]], trail: tuple[str, ...] = ()) -> list[tuple[Parameter, int]]:
    """The parameters a container's own entry list adds (container entries expanded)."""
    container = reader.containers[name]
    fields: list[tuple[Parameter, int]] = []
    for entry in container.entries:
        if entry.kind == "parameter":
            param = reader.parameters.get(entry.ref)
            if param is None:
                raise XtceError(
                    f"ParameterRefEntry {entry.ref!r} names no parameter",
                    element="SequenceContainer",
                    name=name,
                    line=entry.line,
                )
            fields.append((param, entry.line))
        else:
            ref = reader.containers.get(entry.ref)
            if ref is None and entry.ref in reader.commands:
                element, line = reader.commands[entry.ref]
                raise XtceUnsupportedError(
                    f"ContainerRefEntry {entry.ref!r} names a command definition ({element} at line {line}): "
                    "command containers are not supported",
                    element="ContainerRefEntry",
                    name=name,
                    line=entry.line,
                )
            if ref is None:
                raise XtceError(
                    f"ContainerRefEntry {entry.ref!r} names no telemetry SequenceContainer",
                    element="SequenceContainer",
                    name=name,
                    line=entry.line,
                )
            if entry.ref in trail or entry.ref == name:
                raise XtceError(
                    "container includes itself: " + " -> ".join((*trail, entry.ref)),
                    element="SequenceContainer",
                    name=name,
                    line=entry.line,
                )
            if ref.base is not None:
                raise XtceUnsupportedError(
                    f"ContainerRefEntry to {entry.ref!r}, which has a BaseContainer, is not supported",
                    element="ContainerRefEntry",
                    name=name,
                    line=entry.line,
                )
            fields.extend(own_fields(reader, entry.ref, cache, (*trail, name)))
    return fields


def place(fields: list[tuple[Parameter, int]], start: int | None = 0) -> list[FieldSpec]:
    """Positions and unique column names for a list of parameters."""
    entries: list[FieldSpec] = []
    seen: dict[str, int] = {}
    position = start
    for param, line in fields:
        count = seen.get(param.name, 0) + 1
        seen[param.name] = count
        column = param.name if count == 1 else f"{param.name}#{count}"
        entries.append(FieldSpec(name=column, parameter=param, start=position, line=line))
        bits = param.type.encoding.bits if param.type is not None else None
        position = position + bits if isinstance(position, int) and isinstance(bits, int) else None
    return entries
