"""Resolution: types to parameters, container trees, positioned fields.

Everything here walks with explicit stacks rather than recursion: a
definition may nest containers or chain base containers thousands deep.
"""

from __future__ import annotations

import dataclasses
import itertools

import numpy as np
from dataclasses import dataclass
from typing import Any

from bitloom_io.xtce._errors import XtceEncodingNotImplementedError, XtceError, XtceUnsupportedError
from bitloom_io.xtce._model import Container, Criteria, Encoding, Entry, FieldSpec, Parameter, ParameterType
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
    """An entry placed by LocationInContainerInBits: its start ``bits`` after the
    container's start or the previous entry's end, or its end ``bits`` before
    the container's end (``width``: the entry's own bits)."""

    reference: str  # "containerStart", "previousEntry" or "containerEnd"
    bits: int
    container: str
    entry: str
    line: int
    width: int = 0


@dataclass(slots=True, frozen=True)
class Scope:
    """Where the entries an IncludeCondition governs begin or end."""

    condition: Criteria
    begin: bool


@dataclass(slots=True, frozen=True)
class Repeat:
    """An entry repeated as many times as an earlier field says (``count``: field, slope, intercept)."""

    parts: tuple[Parameter | Mark | Move, ...]  # the fields of one repeat (and a repeated container's bounds)
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
    # (column name, type, types passed through, array column, its shape, this element's indexes, member names)
    stack: list[tuple[str, ParameterType, tuple[str, ...], str, tuple[int, ...], tuple[int, ...], tuple[str, ...]]] = [
        (param.name, param.type, (param.type.name,), param.name, (), (), (param.name,))
    ]
    while stack:
        prefix, ptype, trail, group, shape, at, path = stack.pop()
        if ptype.kind == "aggregate":
            for member, ref, line in reversed(ptype.members):
                mtype = _part_type(reader, ptype, ref, trail, line, f"Member {member!r}")
                stack.append(
                    (f"{prefix}.{member}", mtype, (*trail, mtype.name), f"{group}.{member}", shape, at, (*path, member))
                )
            continue
        if ptype.kind == "array":
            assert ptype.element_type is not None
            etype = _part_type(reader, ptype, ptype.element_type, trail, ptype.line, "arrayTypeRef")
            for index in reversed(list(itertools.product(*(range(size) for size in ptype.dimensions)))):
                name = prefix + "".join(f"[{i}]" for i in index)
                stack.append((name, etype, (*trail, etype.name), group, shape + ptype.dimensions, at + index, path))
            continue
        leaf = Parameter(name=prefix, type_name=ptype.name, line=param.line, type=ptype)
        if len(path) > 1:
            leaf.member = path
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
    one taken from a parameter that no container entry provides (files
    written for one ground system name a placeholder there): no buffer limit."""
    bits = ptype.encoding.bits
    if bits == 0:
        return True
    if not isinstance(bits, dict) or "field" not in bits:
        return False
    if reader.provided is None:
        reader.provided = {e.ref for c in reader.containers.values() for e in c.entries if e.kind == "parameter"}
    provided = reader.provided
    return bits["field"] not in reader.parameters or bits["field"] not in provided


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


def _repeated(leaves_of: list[Parameter], count: int, prefix: str | None = None) -> list[list[Parameter]]:
    """The fields of each repeat of an entry: one more dimension in front of
    each array column; a parameter's fields are named ``prefix[k]...``."""
    out = []
    for k in range(count):
        copies = []
        for leaf in leaves_of:
            if prefix is not None:
                name = f"{prefix}[{k}]{leaf.name[len(prefix) :]}"
            elif leaf.array is None:
                name = f"{leaf.name}[{k}]"
            else:
                name = f"{leaf.array[0]}[{k}]{leaf.name[len(leaf.array[0]) :]}"
            if leaf.array is None:
                copy = Parameter(
                    name=name, type_name=leaf.type_name, line=leaf.line, type=leaf.type, member=leaf.member
                )
                copy.array = (leaf.name, (count,), k)
            else:
                group, shape, flat = leaf.array
                size = 1
                for dim in shape:
                    size *= dim
                copy = Parameter(
                    name=name, type_name=leaf.type_name, line=leaf.line, type=leaf.type, member=leaf.member
                )
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


def own_fields(reader: UnitReader, name: str, outer: tuple[str, ...] = ()) -> list[Slot]:
    """The content a container's own entry list adds (container entries expanded);
    ``outer``: the containers that include this one, for repeated container entries."""
    fields: list[Slot] = []
    top = reader.containers[name]
    # Each frame: a container whose entries are being listed, the next entry, and the condition of its entry.
    stack: list[tuple[Container, int, Criteria | None]] = [(top, 0, None)]
    active: list[str] = [*outer, name]
    parameters = reader.parameters
    append = fields.append
    while stack:
        container, at, governed = stack[-1]
        entries = container.entries
        # The usual entries (one parameter, one field, where the last one ends) in a loop of their own.
        for entry in itertools.islice(entries, at, None):
            if (
                entry.kind != "parameter"
                or entry.condition is not None
                or entry.location is not None
                or entry.repeat is not None
                or entry.dimensions is not None
            ):
                break
            param = parameters.get(entry.ref)
            if param is None:
                break
            ptype = param.type
            assert ptype is not None
            encoding = ptype.encoding
            if (
                ptype.problem is not None
                or encoding.not_implemented
                or encoding.size_tag_bits
                or ptype.kind in _COMPOSITE
            ):
                break
            append((param, entry.line))
            at += 1
        if at == len(entries):
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
            fields.append(_move(reader, container, at, tuple(active)))
        if entry.kind == "parameter":
            param = _entry_parameter(reader, container, entry)
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
            parts = _parts(reader, param, name)
            held = _held(param, container, entry) if entry.dimensions is not None else None
            if held is not None:
                # Part of an array: its elements join the column the other entries of the array fill.
                parts = [part for part in parts if part.array is not None and part.array[2] in held]
            _repeat_into(fields, parts, [(leaf, entry.line) for leaf in parts], entry, container)
            if entry.condition is not None:
                fields.append(Scope(entry.condition, False))
            continue
        ref = _entry_container(reader, container, entry, active)
        if ref.problem is not None:
            raise _container_problem(ref, name)
        if entry.repeat is not None:
            inner: list[Slot] = [Mark(ref.name, True, ref.size_bits, entry.line)]
            inner += own_fields(reader, ref.name, tuple(active))
            inner.append(Mark(ref.name, False, ref.size_bits, ref.line))
            if any(isinstance(slot, (Scope, Repeat)) for slot in inner):
                raise XtceUnsupportedError(
                    f"a repeated container entry ({entry.ref!r}) whose own entries are conditional or repeated "
                    "is not supported",
                    element="RepeatEntry",
                    name=container.name,
                    line=entry.line,
                )
            parts = [slot[0] for slot in inner if type(slot) is tuple]
            _repeat_into(fields, parts, inner, entry, container)
            if entry.condition is not None:
                fields.append(Scope(entry.condition, False))
            continue
        fields.append(Mark(ref.name, True, ref.size_bits, entry.line))
        stack.append((ref, 0, entry.condition))
        active.append(ref.name)
    return fields


def _entry_parameter(reader: UnitReader, container: Container, entry: Entry) -> Parameter:
    param = reader.parameters.get(entry.ref)
    if param is None:
        raise XtceError(
            f"ParameterRefEntry {entry.ref!r} names no parameter",
            element="SequenceContainer",
            name=container.name,
            line=entry.line,
        )
    if entry.dimensions is not None:
        _held(param, container, entry)
    return param


def _held(param: Parameter, container: Container, entry: Entry) -> frozenset[int] | None:
    """The elements (C-order indexes) an ArrayParameterRefEntry holds, None
    for the whole array: a range per dimension, or one range over all the
    elements in order (a Size is the first that many)."""
    ptype = param.type
    assert ptype is not None and entry.dimensions is not None
    shape = ptype.dimensions
    total = _size(ptype)
    problem = None
    held: set[int] = set()
    if ptype.kind != "array" or not shape:
        problem = "an array with fixed dimensions"
    elif len(entry.dimensions) == len(shape):
        ranges = [range(first, last + 1) for first, last in entry.dimensions]
        if any(r.start < 0 or r.stop > size or not len(r) for r, size in zip(ranges, shape)):
            problem = f"indexes within its dimensions {list(shape)}"
        else:
            held = {int(i) for i in np.ravel_multi_index(np.ix_(*ranges), shape).ravel()} if ranges else set()
    elif len(entry.dimensions) == 1:
        first, last = entry.dimensions[0]
        if first < 0 or last >= total or last < first:
            problem = f"indexes within its {total} elements"
        else:
            held = set(range(first, last + 1))
    else:
        problem = f"one range per dimension of its {len(shape)}"
    if problem is not None:
        raise XtceUnsupportedError(
            f"ArrayParameterRefEntry {entry.ref!r} holds the elements {list(entry.dimensions)}, and needs {problem}",
            element="ArrayParameterRefEntry",
            name=container.name,
            line=entry.line,
        )
    return None if len(held) == total else frozenset(held)


def _size(ptype: ParameterType) -> int:
    total = 1
    for size in ptype.dimensions:
        total *= size
    return total


def _entry_container(reader: UnitReader, container: Container, entry: Entry, active: list[str]) -> Container:
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
    if ref.base is not None:
        raise XtceUnsupportedError(
            f"ContainerRefEntry to {entry.ref!r}, which has a BaseContainer, is not supported",
            element="ContainerRefEntry",
            name=container.name,
            line=entry.line,
        )
    return ref


def _parts(reader: UnitReader, param: Parameter, container: str) -> list[Parameter]:
    """The fields a parameter entry reads: its leaves, or a size tag and its text, or itself."""
    ptype = param.type
    assert ptype is not None
    if ptype.kind in ("aggregate", "array"):
        return leaves(reader, param, container)
    if ptype.encoding.size_tag_bits and _tag_alone(reader, ptype):
        return _tagged(reader, param)
    return [param]


def _repeat_into(
    fields: list[Slot], parts: list[Parameter], content: list[Slot], entry: Entry, container: Container
) -> None:
    """An entry's content, repeated as its RepeatEntry says: ``parts`` are its
    fields, ``content`` the same with the bounds of a container entry."""
    if entry.repeat is None:
        fields.extend(content)
        return
    count, gap = entry.repeat
    if isinstance(count, dict):
        if any(part.array is not None for part in parts):
            raise XtceUnsupportedError(
                f"a repeated array whose count comes from the packet (entry {entry.ref!r}) is not supported",
                element="RepeatEntry",
                name=container.name,
                line=entry.line,
            )
        repeated = tuple(slot[0] if type(slot) is tuple else slot for slot in content)
        fields.append(Repeat(repeated, dict(count), gap, container.name, entry.ref, entry.line))  # type: ignore[arg-type]
        return
    for k, copies in enumerate(_repeated(parts, count, entry.ref if entry.kind == "parameter" else None)):
        if k and gap:
            fields.append(Move("previousEntry", gap, container.name, entry.ref, entry.line))
        by_part = dict(zip(map(id, parts), copies))
        for slot in content:
            fields.append((by_part[id(slot[0])], entry.line) if type(slot) is tuple else slot)


def _move(reader: UnitReader, container: Container, at: int, active: tuple[str, ...]) -> Move:
    """The place an entry's LocationInContainerInBits gives, relative to a
    position known when the entry is laid out: an entry placed before the
    next one is placed from where that one is placed."""
    entry = container.entries[at]
    assert entry.location is not None
    reference, bits = entry.location
    if reference == "nextEntry":
        following = container.entries[at + 1] if at + 1 < len(container.entries) else None
        if (
            following is None
            or following.location is None
            or following.location[0] not in ("containerStart", "containerEnd")
        ):
            raise XtceUnsupportedError(
                f"entry {entry.ref!r} is placed relative to the next entry, whose own place is not fixed from "
                "the container's start or end",
                element="LocationInContainerInBits",
                name=container.name,
                line=entry.line,
            )
        width = _entry_width(reader, container, entry, active)
        if following.location[0] == "containerStart":
            return Move("containerStart", following.location[1] - bits - width, container.name, entry.ref, entry.line)
        after = following.location[1] + _entry_width(reader, container, following, active)
        return Move("containerEnd", after + bits, container.name, entry.ref, entry.line, width)
    if reference == "containerEnd":
        width = _entry_width(reader, container, entry, active)
        return Move("containerEnd", bits, container.name, entry.ref, entry.line, width)
    return Move(reference, bits, container.name, entry.ref, entry.line)


def _entry_width(reader: UnitReader, container: Container, entry: Entry, active: tuple[str, ...]) -> int:
    """The bits an entry occupies, when they do not depend on the packet."""
    width: int | None = None
    if entry.kind == "parameter":
        param = _entry_parameter(reader, container, entry)
        assert param.type is not None
        if not (param.type.kind == "array" and param.type.dynamic_size is not None):
            widths = [
                part.type.encoding.bits for part in _parts(reader, param, container.name) if part.type is not None
            ]
            fixed = [bits for bits in widths if isinstance(bits, int)]
            width = sum(fixed) if len(fixed) == len(widths) else None
    else:
        ref = _entry_container(reader, container, entry, list(active))
        width = ref.size_bits
        if width is None and ref.problem is None:
            placed = place(own_fields(reader, ref.name, active))
            ends = [
                p.start + p.type.encoding.bits
                if p.start is not None and isinstance(p.type.encoding.bits, int)
                else None
                for p in placed
            ]
            width = max(ends, default=0) if None not in ends else None  # type: ignore[type-var]
    if width is not None and entry.repeat is not None:
        count, gap = entry.repeat
        width = width * count + gap * (count - 1) if isinstance(count, int) else None
    if width is None:
        raise XtceUnsupportedError(
            f"entry {entry.ref!r} is placed from the end of {entry.location[0] if entry.location else 'its container'}"
            " but its own size depends on the packet",
            element="LocationInContainerInBits",
            name=container.name,
            line=entry.line,
        )
    return width


def place(
    fields: list[Slot],
    start: int | None = 0,
    packet_bits: int | None = None,
    *,
    per_packet: bool = False,
    sizes: dict[int, int] | None = None,
    sized: frozenset[int] = frozenset(),
) -> list[FieldSpec]:
    """Positions and unique column names for a container's content
    (``packet_bits``: the packet's size, where entries are placed from its
    end). ``per_packet``: the content is laid out again for each group of
    packets that its conditions, repeats and size decide, so a place those
    decide is left unknown here. ``sizes``: the bits of fields whose size
    the packet gives, by the ``id`` of their slot; ``sized``: the slots of
    fields whose size the groups decide, when not yet known."""
    entries: list[FieldSpec] = []
    used: set[str] = set()
    counts: dict[str, int] = {}
    groups: dict[str, str] = {}  # array column -> its name in this container
    governing: list[Criteria] = []  # the IncludeConditions in force
    governed: tuple[Criteria, ...] = ()
    position = start
    # Whether an unknown position is one the groups of packets decide (a
    # condition, a repeat, the packet's size, a calibrated size), as opposed
    # to one that varies within a group (a size from the packet's raw values).
    later = False
    # Per container entry being laid out: where it began, the bits since (None when they vary), its own size.
    opened: list[tuple[int | None, int | None, int | None]] = []
    append = entries.append
    use = used.add
    for slot in fields:
        if type(slot) is tuple:
            param, line = slot
            if sizes and id(slot) in sizes:
                param = _with_bits(param, sizes[id(slot)])
            column = param.name
            if column in used:  # (every name counted is among them)
                name = column
                count = counts.get(name, 1) + 1
                column = f"{name}#{count}"
                # A parameter may itself be called NAME#2: no column may take another's name.
                while column in used:
                    count += 1
                    column = f"{name}#{count}"
                counts[name] = count
            use(column)
            array = param.array
            if array is None:
                append(FieldSpec(column, param, position, line, None, governed))
            else:
                base, _, flat = array
                if flat == 0 or base not in groups:
                    # A new array column begins, named like a parameter: NAME, then NAME#2...
                    group, k = base, 1
                    while group in used:
                        k += 1
                        group = f"{base}#{k}"
                    used.add(group)
                    groups[base] = group
                append(FieldSpec(column, param, position, line, groups[base], governed))
            ptype = param.type
            assert ptype is not None  # resolved before placing
            bits = ptype.encoding.bits
            if type(bits) is int:
                if position is not None:
                    position += bits
            else:
                later = id(slot) in sized
                position = None
            if opened:
                _grow(opened, bits if isinstance(bits, int) else None)
            continue
        if isinstance(slot, Mark):
            if slot.begin:
                opened.append((position, 0, slot.bits))
                continue
            begin, width, _ = opened.pop()
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
                elif per_packet and later and width != slot.bits:
                    position = None
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
                position, later = None, True
                _grow(opened, None)
            continue
        if isinstance(slot, Repeat):
            for part in slot.parts:
                if not isinstance(part, Parameter):
                    continue
                column, k = part.name, 1
                while column in used:
                    k += 1
                    column = f"{part.name}#{k}"
                used.add(column)
                entries.append(FieldSpec(column, part, position, slot.line, None, governed, True))
            position, later = None, True
            _grow(opened, None)
            continue
        if isinstance(slot, Move):  # the last kind of slot
            if slot.reference == "containerEnd":
                position = _from_end(slot, opened, packet_bits, per_packet and later)
                later = position is None
                if opened:
                    begin, _, size = opened[-1]
                    opened[-1] = (begin, position - begin if begin is not None and position is not None else None, size)
                continue
            origin = opened[-1][0] if opened else start
            if per_packet and later and (origin if slot.reference == "containerStart" else position) is None:
                position = None
                _grow(opened, None)
                continue
            position = _moved(slot, position, origin)
            if opened:
                begin, width, size = opened[-1]
                if slot.reference == "containerStart":
                    opened[-1] = (begin, slot.bits, size)
                else:
                    _grow(opened, slot.bits)
    return entries


def _from_end(
    move: Move, opened: list[tuple[int | None, int | None, int | None]], packet_bits: int | None, lenient: bool
) -> int | None:
    """Where an entry placed from its container's end starts: in a container
    entry, from the size its BinaryEncoding gives; in the packet, from the
    packet's size (None until it is known: packets are then read by size)."""
    if opened:
        begin, _, size = opened[-1]
        if size is None:
            raise XtceUnsupportedError(
                f"entry {move.entry!r} is placed from the end of container {move.container!r}, which has no "
                "BinaryEncoding size",
                element="LocationInContainerInBits",
                name=move.container,
                line=move.line,
            )
        if begin is None and lenient:
            return None  # laid out again once the groups of packets fix where the container starts
        if begin is None:
            raise XtceUnsupportedError(
                f"entry {move.entry!r} is placed from the end of container {move.container!r}, which starts "
                "after a field whose size varies",
                element="LocationInContainerInBits",
                name=move.container,
                line=move.line,
            )
        end: int | None = begin + size
    else:
        end = packet_bits
    if end is None:
        return None
    moved = end - move.bits - move.width
    if moved < 0:
        raise XtceError(
            f"entry {move.entry!r} is placed at bit {moved}, before the packet's start",
            element="LocationInContainerInBits",
            name=move.container,
            line=move.line,
        )
    return moved


def _with_bits(param: Parameter, bits: int) -> Parameter:
    """A parameter whose field has a fixed number of bits."""
    ptype = param.type
    assert ptype is not None
    fixed = dataclasses.replace(ptype, encoding=dataclasses.replace(ptype.encoding, bits=bits))
    return dataclasses.replace(param, type=fixed)


def from_packet_end(fields: list[Slot], kinds: set[type] | None = None) -> bool:
    """Whether some entry is placed from the end of the packet itself (not of a container entry);
    ``kinds``: the types of ``fields``' slots, when known."""
    if kinds is None:
        kinds = set(map(type, fields))
    if Move not in kinds and Repeat not in kinds:
        return False  # most containers: their fields are read where they lie
    depth = 0
    for slot in fields:
        parts = slot.parts if isinstance(slot, Repeat) else (slot,)
        for part in parts:
            if isinstance(part, Mark):
                depth += 1 if part.begin else -1
            elif isinstance(part, Move) and part.reference == "containerEnd" and depth == 0:
                return True
    return False


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


def _grow(opened: list[tuple[int | None, int | None, int | None]], bits: int | None) -> None:
    """Adds an entry's bits to the innermost container entry being laid out."""
    if opened:
        begin, width, size = opened[-1]
        opened[-1] = (begin, width + bits if width is not None and bits is not None else None, size)


def dropped_repeats(fields: list[Slot], holds: dict[int, Any]) -> set[int]:
    """The repeats (by ``id``) that an IncludeCondition which does not hold
    leaves out, where ``holds`` decides every condition."""
    out: set[int] = set()
    dropped = 0
    for slot in fields:
        if isinstance(slot, Scope):
            if slot.begin:
                if dropped or not holds.get(id(slot.condition)):
                    dropped += 1
            elif dropped:
                dropped -= 1
        elif dropped and isinstance(slot, Repeat):
            out.add(id(slot))
    return out


def present(fields: list[Slot], holds: dict[int, Any], sized: frozenset[int] = frozenset()) -> list[Slot]:
    """The content of a container in the packets where each IncludeCondition
    (by ``id``) holds or not, and each repeat count is, as ``holds`` says;
    what it does not decide ends the content there. A repeat's fields are
    listed count times, named ``NAME[k]``. ``sized``: the fields whose size
    ``holds`` gives (by the ``id`` of their slot)."""
    out: list[Slot] = []
    dropped = 0  # how many enclosing conditions do not hold
    for slot in fields:
        if not dropped and id(slot) in sized and id(slot) not in holds:
            return out
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
                    if not isinstance(part, Parameter):
                        out.append(part)
                        continue
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
