"""Resolution: types to parameters, container trees, positioned fields.

Everything here walks with explicit stacks rather than recursion: a
definition may nest containers or chain base containers thousands deep.
"""

from __future__ import annotations

import dataclasses
import itertools
from dataclasses import dataclass
from typing import Any

from bitloom_io.xtce._errors import XtceEncodingNotImplementedError, XtceError, XtceUnsupportedError
from bitloom_io.xtce._model import Container, Criteria, Encoding, FieldSpec, Parameter, ParameterType
from bitloom_io.xtce._reader import UnitReader


@dataclass(slots=True, frozen=True)
class Mark:
    """Where a container entry begins, or ends (with the bits its own size says it takes, if it has one)."""

    container: str
    begin: bool
    bits: int | None
    line: int


@dataclass(slots=True, frozen=True)
class Move:
    """An entry placed by LocationInContainerInBits: ``bits`` from the container's start or the previous entry's end."""

    reference: str  # "containerStart" or "previousEntry"
    bits: int
    container: str
    entry: str
    line: int


@dataclass(slots=True, frozen=True)
class Scope:
    """Where the entries an IncludeCondition governs begin or end."""

    condition: Criteria
    begin: bool


@dataclass(slots=True, frozen=True)
class Repeat:
    """An entry repeated as many times as an earlier field says (``count``: field, slope, intercept)."""

    parts: tuple[Parameter, ...]  # the fields of one repeat
    count: dict[str, Any]
    gap: int  # bits between repeats
    container: str
    entry: str
    line: int


# Types whose parameters are more than one field.
_COMPOSITE = frozenset({"aggregate", "array"})

# A container's content in packet order: (parameter, entry line), a Mark, a Move, a Scope or a Repeat.
Slot = tuple[Parameter, int] | Mark | Move | Scope | Repeat


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
        param.type = ptype


def _usable(param: Parameter, container: str) -> None:
    """Raises why a parameter's type cannot be decoded, naming the container that uses it."""
    ptype = param.type
    assert ptype is not None
    if ptype.problem is not None:
        problem = ptype.problem
        raise type(problem)(
            f"{problem.reason} (parameter {param.name!r}, line {param.line}, used by container {container!r})",
            element=problem.element,
            name=problem.name,
            line=problem.line,
            path=problem.path,
        )
    if ptype.encoding.not_implemented:
        raise XtceEncodingNotImplementedError(
            f"float encoding {ptype.encoding.not_implemented} is not implemented (type {ptype.name!r}, "
            f"line {ptype.encoding.line}; used by container {container!r})",
            element="Parameter",
            name=param.name,
            line=param.line,
        )


def leaves(reader: UnitReader, param: Parameter, container: str) -> list[Parameter]:
    """An aggregate's or an array's leaves in packet order, each a parameter named
    ``param.member.sub`` or ``param[i][j]`` (arrays in C order, the last index fastest)."""
    cached = reader.leaves.get(param.name)
    if cached is not None:
        return cached
    out: list[Parameter] = []
    assert param.type is not None
    # (column name, type, types passed through, array column, its shape, this element's indexes)
    stack: list[tuple[str, ParameterType, tuple[str, ...], str, tuple[int, ...], tuple[int, ...]]] = [
        (param.name, param.type, (param.type.name,), param.name, (), ())
    ]
    while stack:
        prefix, ptype, trail, group, shape, at = stack.pop()
        if ptype.kind == "aggregate":
            for member, ref, line in reversed(ptype.members):
                mtype = _part_type(reader, ptype, ref, trail, line, f"Member {member!r}")
                stack.append((f"{prefix}.{member}", mtype, (*trail, mtype.name), f"{group}.{member}", shape, at))
            continue
        if ptype.kind == "array":
            assert ptype.element_type is not None
            etype = _part_type(reader, ptype, ptype.element_type, trail, ptype.line, "arrayTypeRef")
            for index in reversed(list(itertools.product(*(range(size) for size in ptype.dimensions)))):
                name = prefix + "".join(f"[{i}]" for i in index)
                stack.append((name, etype, (*trail, etype.name), group, shape + ptype.dimensions, at + index))
            continue
        leaf = Parameter(name=prefix, type_name=ptype.name, line=param.line, type=ptype)
        if shape:
            flat = 0
            for size, i in zip(shape, at):
                flat = flat * size + i
            leaf.array = (group, shape, flat)
        _usable(leaf, container)
        out.append(leaf)
    reader.leaves[param.name] = out
    return out


def _tag_alone(reader: UnitReader, ptype: ParameterType) -> bool:
    """A string whose size tag alone gives its length: no size around it, or
    one taken from a parameter the definition does not have (files written
    for one ground system name a placeholder there)."""
    bits = ptype.encoding.bits
    return bits == 0 or isinstance(bits, dict) and bits["field"] not in reader.parameters


def _tagged(reader: UnitReader, param: Parameter) -> list[Parameter]:
    """A string led by its size tag as two fields: the tag (``NAME#size``, a byte
    count) and the text, whose width the tag gives."""
    cached = reader.leaves.get(param.name)
    if cached is not None:
        return cached
    ptype = param.type
    assert ptype is not None
    enc = ptype.encoding
    tag_name = f"{param.name}#size"
    tag_encoding = Encoding(
        kind="integer",
        codec="unsigned",
        bits=enc.size_tag_bits,
        byte_order=enc.byte_order,
        written="unsigned",
        line=enc.line,
    )
    tag_type = ParameterType(
        name=tag_name, kind="integer", encoding=tag_encoding, line=ptype.line, element="LeadingSize", signed=False
    )
    text_encoding = dataclasses.replace(
        enc, bits={"field": tag_name, "slope": 8, "intercept": 0}, size_tag_bits=0, size_ref_calibrated=False
    )
    text_type = dataclasses.replace(ptype, encoding=text_encoding)
    parts = [
        Parameter(name=tag_name, type_name=tag_name, line=param.line, type=tag_type),
        Parameter(name=param.name, type_name=ptype.name, line=param.line, type=text_type),
    ]
    reader.leaves[param.name] = parts
    return parts


def _part_type(
    reader: UnitReader, owner: ParameterType, ref: str, trail: tuple[str, ...], line: int, what: str
) -> ParameterType:
    ptype = reader.types.get(ref)
    if ptype is None:
        raise XtceError(f"{what} names no parameter type {ref!r}", element=owner.element, name=owner.name, line=line)
    if ptype.name in trail:
        raise XtceError(
            f"type contains itself: {' -> '.join((*trail, ptype.name))}",
            element=owner.element,
            name=owner.name,
            line=line,
        )
    return ptype


def _repeated(param: Parameter, leaves_of: list[Parameter], count: int) -> list[list[Parameter]]:
    """The leaves of each repeat of an entry: one more dimension in front of each array column."""
    out = []
    for k in range(count):
        copies = []
        for leaf in leaves_of:
            name = f"{param.name}[{k}]{leaf.name[len(param.name) :]}"
            copy = Parameter(name=name, type_name=leaf.type_name, line=leaf.line, type=leaf.type)
            if leaf.array is None:
                copy.array = (leaf.name, (count,), k)
            else:
                group, shape, flat = leaf.array
                size = 1
                for dim in shape:
                    size *= dim
                copy.array = (group, (count, *shape), k * size + flat)
            copies.append(copy)
        out.append(copies)
    return out


def _container_problem(container: Container, user: str | None = None) -> XtceError:
    problem = container.problem
    assert problem is not None
    if user is None:
        return problem
    return type(problem)(
        f"{problem.reason} (container {container.name!r} is used by {user!r})",
        element=problem.element,
        name=problem.name,
        line=problem.line,
        path=problem.path,
    )


def container_fields(reader: UnitReader, name: str, cache: dict[str, list[Slot]]) -> list[Slot]:
    """The content of a container in packet order (base containers first)."""
    if name in cache:
        return cache[name]
    # The chain of base containers up to one already known (or the top).
    chain: list[str] = []
    on_chain: set[str] = set()
    current: str | None = name
    while current is not None and current not in cache:
        if current in on_chain:
            raise XtceError(
                "container refers to itself: " + " -> ".join((*chain, current)),
                element="SequenceContainer",
                name=current,
                line=reader.containers[current].line,
            )
        container = reader.containers[current]
        if container.problem is not None:
            raise _container_problem(container, None if current == name else name)
        chain.append(current)
        on_chain.add(current)
        current = container.base
        if current is not None and current not in reader.containers:
            raise XtceError(
                f"BaseContainer {current!r} names no SequenceContainer",
                element="SequenceContainer",
                name=chain[-1],
                line=container.line,
            )
    fields: list[Slot] = list(cache[current]) if current is not None else []
    for member in reversed(chain):
        fields = fields + own_fields(reader, member)
        cache[member] = fields
    return fields


def own_fields(reader: UnitReader, name: str) -> list[Slot]:
    """The content a container's own entry list adds (container entries expanded)."""
    fields: list[Slot] = []
    top = reader.containers[name]
    # Each frame: a container whose entries are being listed, the next entry, and the condition of its entry.
    stack: list[tuple[Container, int, Criteria | None]] = [(top, 0, None)]
    active: list[str] = [name]
    while stack:
        container, at, governed = stack[-1]
        if at == len(container.entries):
            stack.pop()
            active.pop()
            if stack:
                fields.append(Mark(container.name, False, container.size_bits, container.line))
            if governed is not None:
                fields.append(Scope(governed, False))
            continue
        stack[-1] = (container, at + 1, governed)
        entry = container.entries[at]
        if entry.condition is not None:
            fields.append(Scope(entry.condition, True))
        if entry.location is not None:
            fields.append(Move(entry.location[0], entry.location[1], container.name, entry.ref, entry.line))
        if entry.kind == "parameter":
            param = reader.parameters.get(entry.ref)
            if param is None:
                raise XtceError(
                    f"ParameterRefEntry {entry.ref!r} names no parameter",
                    element="SequenceContainer",
                    name=container.name,
                    line=entry.line,
                )
            ptype = param.type
            assert ptype is not None
            if ptype.problem is not None or ptype.encoding.not_implemented:
                _usable(param, name)
            if (
                entry.repeat is None
                and entry.condition is None
                and ptype.kind not in _COMPOSITE
                and not ptype.encoding.size_tag_bits
            ):
                fields.append((param, entry.line))  # the usual entry: one field
                continue
            if ptype.kind == "array" and ptype.dynamic_size is not None:
                assert ptype.element_type is not None
                element = _part_type(reader, ptype, ptype.element_type, (ptype.name,), ptype.line, "arrayTypeRef")
                one = Parameter(name=param.name, type_name=element.name, line=param.line, type=element)
                parts = leaves(reader, one, name) if element.kind in ("aggregate", "array") else [one]
                if entry.repeat is not None:
                    raise XtceUnsupportedError(
                        f"a repeated array whose size comes from the packet (entry {entry.ref!r}) is not supported",
                        element="RepeatEntry",
                        name=container.name,
                        line=entry.line,
                    )
                fields.append(Repeat(tuple(parts), dict(ptype.dynamic_size), 0, container.name, entry.ref, entry.line))
                if entry.condition is not None:
                    fields.append(Scope(entry.condition, False))
                continue
            if ptype.kind in ("aggregate", "array"):
                parts = leaves(reader, param, name)
            elif ptype.encoding.size_tag_bits and _tag_alone(reader, ptype):
                parts = _tagged(reader, param)
            else:
                parts = [param]
            if entry.repeat is None:
                fields.extend((leaf, entry.line) for leaf in parts)
            elif isinstance(entry.repeat[0], dict):
                if any(part.array is not None for part in parts):
                    raise XtceUnsupportedError(
                        f"a repeated array whose count comes from the packet (entry {entry.ref!r}) is not supported",
                        element="RepeatEntry",
                        name=container.name,
                        line=entry.line,
                    )
                fields.append(
                    Repeat(tuple(parts), dict(entry.repeat[0]), entry.repeat[1], container.name, entry.ref, entry.line)
                )
            else:
                count, gap = entry.repeat
                for k, copies in enumerate(_repeated(param, parts, count)):
                    if k and gap:
                        fields.append(Move("previousEntry", gap, container.name, entry.ref, entry.line))
                    fields.extend((leaf, entry.line) for leaf in copies)
            if entry.condition is not None:
                fields.append(Scope(entry.condition, False))
            continue
        ref = reader.containers.get(entry.ref)
        if ref is None and entry.ref in reader.commands:
            element, line = reader.commands[entry.ref]
            raise XtceUnsupportedError(
                f"ContainerRefEntry {entry.ref!r} names a command definition ({element} at line {line}): "
                "command containers are not supported",
                element="ContainerRefEntry",
                name=container.name,
                line=entry.line,
            )
        if ref is None:
            raise XtceError(
                f"ContainerRefEntry {entry.ref!r} names no telemetry SequenceContainer",
                element="SequenceContainer",
                name=container.name,
                line=entry.line,
            )
        if entry.ref in active:
            raise XtceError(
                "container includes itself: " + " -> ".join((*active, entry.ref)),
                element="SequenceContainer",
                name=container.name,
                line=entry.line,
            )
        if ref.problem is not None:
            raise _container_problem(ref, name)
        if ref.base is not None:
            raise XtceUnsupportedError(
                f"ContainerRefEntry to {entry.ref!r}, which has a BaseContainer, is not supported",
                element="ContainerRefEntry",
                name=container.name,
                line=entry.line,
            )
        fields.append(Mark(ref.name, True, None, entry.line))
        stack.append((ref, 0, entry.condition))
        active.append(ref.name)
    return fields


def place(fields: list[Slot], start: int | None = 0) -> list[FieldSpec]:
    """Positions and unique column names for a container's content."""
    entries: list[FieldSpec] = []
    used: set[str] = set()
    counts: dict[str, int] = {}
    groups: dict[str, str] = {}  # array column -> its name in this container
    governing: list[Criteria] = []  # the IncludeConditions in force
    governed: tuple[Criteria, ...] = ()
    position = start
    # Per container entry being laid out: where it began and the bits since (None when they vary).
    opened: list[tuple[int | None, int | None]] = []
    for slot in fields:
        if type(slot) is tuple:
            param, line = slot
            count = counts.get(param.name, 0) + 1
            column = param.name if count == 1 else f"{param.name}#{count}"
            # A parameter may itself be called NAME#2: no column may take another's name.
            while column in used:
                count += 1
                column = f"{param.name}#{count}"
            counts[param.name] = count
            used.add(column)
            group = None
            if param.array is not None:
                base, _, flat = param.array
                if flat == 0:
                    # A new array column begins, named like a parameter: NAME, then NAME#2...
                    group, k = base, 1
                    while group in used:
                        k += 1
                        group = f"{base}#{k}"
                    used.add(group)
                    groups[base] = group
                group = groups[base]
            entries.append(FieldSpec(column, param, position, line, group, governed))
            ptype = param.type
            assert ptype is not None  # resolved before placing
            bits = ptype.encoding.bits
            position = position + bits if position is not None and type(bits) is int else None
            if opened:
                _grow(opened, bits if isinstance(bits, int) else None)
            continue
        if isinstance(slot, Mark):
            if slot.begin:
                opened.append((position, 0))
                continue
            begin, width = opened.pop()
            total = width
            if slot.bits is not None:
                if width is not None and width > slot.bits:
                    raise XtceError(
                        f"the entries of container {slot.container!r} take {width} bits, more than its "
                        f"BinaryEncoding size of {slot.bits}",
                        element="BinaryEncoding",
                        name=slot.container,
                        line=slot.line,
                    )
                if isinstance(begin, int):
                    position = begin + slot.bits
                elif width != slot.bits:
                    raise XtceUnsupportedError(
                        f"container {slot.container!r} occupies {slot.bits} bits after a field whose size varies, "
                        "and its entries do not fill them: where the next field starts cannot be expressed",
                        element="BinaryEncoding",
                        name=slot.container,
                        line=slot.line,
                    )
                total = slot.bits
            _grow(opened, total)
            continue
        if isinstance(slot, Scope):
            if slot.begin:
                governing.append(slot.condition)
                governed = tuple(governing)
            else:
                governing.pop()
                governed = tuple(governing)
                # Whether the governed entries are there depends on the packet.
                position = None
                _grow(opened, None)
            continue
        if isinstance(slot, Repeat):
            for part in slot.parts:
                column, k = part.name, 1
                while column in used:
                    k += 1
                    column = f"{part.name}#{k}"
                used.add(column)
                entries.append(FieldSpec(column, part, position, slot.line, None, governed, True))
            position = None
            _grow(opened, None)
            continue
        if isinstance(slot, Move):  # the last kind of slot
            position = _moved(slot, position, opened[-1][0] if opened else start)
            if opened:
                begin, width = opened[-1]
                if slot.reference == "containerStart":
                    opened[-1] = (begin, slot.bits)
                else:
                    _grow(opened, slot.bits)
    return entries


def _moved(move: Move, position: int | None, begin: int | None) -> int:
    """Where an entry placed by a location starts; a position that depends on the data cannot move by a fixed amount."""
    origin = begin if move.reference == "containerStart" else position
    if origin is None:
        what = "the container's start" if move.reference == "containerStart" else "the end of the previous entry"
        raise XtceUnsupportedError(
            f"entry {move.entry!r} is placed {move.bits} bits from {what}, which depends on the data",
            element="LocationInContainerInBits",
            name=move.container,
            line=move.line,
        )
    moved = origin + move.bits
    if moved < 0:
        raise XtceError(
            f"entry {move.entry!r} is placed at bit {moved}, before the packet's start",
            element="LocationInContainerInBits",
            name=move.container,
            line=move.line,
        )
    return moved


def _grow(opened: list[tuple[int | None, int | None]], bits: int | None) -> None:
    """Adds an entry's bits to the innermost container entry being laid out."""
    if opened:
        begin, width = opened[-1]
        opened[-1] = (begin, width + bits if width is not None and bits is not None else None)


def present(fields: list[Slot], holds: dict[int, Any]) -> list[Slot]:
    """The content of a container in the packets where each IncludeCondition
    (by ``id``) holds or not, and each repeat count is, as ``holds`` says;
    what it does not decide ends the content there. A repeat's fields are
    listed count times, named ``NAME[k]``."""
    out: list[Slot] = []
    dropped = 0  # how many enclosing conditions do not hold
    for slot in fields:
        if isinstance(slot, Repeat):
            if dropped:
                continue
            count = holds.get(id(slot))
            if count is None:
                return out
            for k in range(int(count)):
                if k and slot.gap:
                    out.append(Move("previousEntry", slot.gap, slot.container, slot.entry, slot.line))
                for part in slot.parts:
                    copy = Parameter(name=f"{part.name}[{k}]", type_name=part.type_name, line=part.line, type=part.type)
                    # The element's place: which repeated field (by identity) and which repeat.
                    copy.array = (str(id(part)), (int(count),), k)
                    out.append((copy, slot.line))
            continue
        if isinstance(slot, Scope):
            if slot.begin:
                decided = holds.get(id(slot.condition))
                if decided is None and not dropped:
                    return out
                if dropped or not decided:
                    dropped += 1
            elif dropped:
                dropped -= 1
            continue
        if not dropped:
            out.append(slot)
    return out
