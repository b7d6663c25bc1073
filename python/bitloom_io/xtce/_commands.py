"""Telecommands: the MetaCommands of an XTCE file, built into packets and read back.

The command section is read only when it is first asked for, by a second
pass over the file with the same hardened parser settings as the telemetry
reader (no DTD entities, nothing fetched); argument types are read by the
telemetry reader's type code (an ``IntegerArgumentType`` is read as the
``IntegerParameterType`` it mirrors), so encodings, calibrators and
enumerations mean the same on both sides.

A command's packet is its command container: the base command's container
first (``BaseContainer``), then its own entries, each at the bit after the
previous one unless ``LocationInContainerInBits`` places it. Values are
checked in engineering units (valid ranges, labels, lengths), converted to
raw values, and placed at their exact bits by one ``Layout``.
"""

from __future__ import annotations

import math
import operator
import os
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import IO, Any

from defusedxml import EntitiesForbidden, ExternalReferenceForbidden  # type: ignore[import-untyped,unused-ignore]
from defusedxml.ElementTree import DefusedXMLParser, ParseError  # type: ignore[import-untyped,unused-ignore]

from bitloom_io._sources import open_file
from bitloom_io.xtce._errors import XtceError, XtceUnsupportedError
from bitloom_io.xtce._model import DESCRIPTIVE, Calibrator, Comparison, Criteria, ParameterType, _key
from bitloom_io.xtce._reader import UnitReader
from bitloom_io.xtce._xml import Node, _local

__all__ = ["Argument", "Command", "CommandSet", "CommandValues", "read_commands"]

ARGUMENT_KINDS = {
    "integer": "integer",
    "float": "float",
    "enumerated": "enumerated",
    "boolean": "boolean",
    "string": "string",
    "binary": "binary",
    "absolute_time": "time",
    "relative_time": "time",
}

_OPERATORS: dict[str, Callable[[Any, Any], bool]] = {
    "==": operator.eq,
    "!=": operator.ne,
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
}

# Where a CCSDS primary header's length and APID sit: a command container
# with fields at exactly these bits holds a header, and its length is filled in.
_LENGTH_BITS = (32, 16)
_APID_BITS = (5, 11)
_COUNT_BITS = (18, 14)
_COUNT_MODULUS = 1 << 14


# ---------------------------------------------------------------------------
# What callers see.


@dataclass(frozen=True, slots=True)
class Argument:
    """One argument a caller gives (or may leave to its default)."""

    name: str
    type: str  # integer, float, enumerated, boolean, string, binary, time
    bits: int | None
    unit: str | None
    range: tuple[float, float] | None  # engineering units
    labels: tuple[str, ...]
    default: Any
    description: str | None


@dataclass(frozen=True, slots=True)
class Command:
    """One MetaCommand: its arguments are those the caller gives; arguments
    that a command fixes for the commands built on it are not listed."""

    name: str
    description: str | None
    abstract: bool
    arguments: tuple[Argument, ...]


class CommandValues(dict[str, Any]):
    """The arguments of a decoded command; ``name`` is the command's."""

    name: str

    def __init__(self, name: str, values: Mapping[str, Any]) -> None:
        super().__init__(values)
        self.name = name


# ---------------------------------------------------------------------------
# The model read from the file.


@dataclass(slots=True)
class _Range:
    low: float | None
    high: float | None
    low_inclusive: bool = True
    high_inclusive: bool = True

    def holds(self, value: float) -> bool:
        if self.low is not None and (value < self.low or value == self.low and not self.low_inclusive):
            return False
        if self.high is not None and (value > self.high or value == self.high and not self.high_inclusive):
            return False
        return True

    def text(self) -> str:
        low = "-inf" if self.low is None else _number_text(self.low)
        high = "inf" if self.high is None else _number_text(self.high)
        return f"{'[' if self.low_inclusive else '('}{low}, {high}{']' if self.high_inclusive else ')'}"


@dataclass(slots=True)
class _ArgType:
    name: str
    ptype: ParameterType | None
    line: int
    problem: XtceError | None = None
    initial: str | None = None
    ranges: list[_Range] = field(default_factory=list)
    ranges_calibrated: bool = True
    scale: float = 1.0  # time encodings: engineering = raw * scale + offset
    offset: float = 0.0


@dataclass(slots=True)
class _Arg:
    name: str
    type_name: str
    line: int
    initial: str | None = None
    description: str | None = None
    type: _ArgType | None = None


@dataclass(slots=True)
class _Entry:
    kind: str  # argument, fixed, parameter, container
    ref: str
    line: int
    bits: int = 0  # fixed entries
    value: int = 0  # fixed entries
    location: tuple[str, int] | None = None  # (containerstart | previousentry, bits)
    condition: Criteria | None = None
    repeat: _Repeat | None = None


@dataclass(slots=True)
class _Repeat:
    """How many times an entry is placed: ``count``, or ``slope * value(ref) + intercept``;
    ``offset`` bits are skipped between copies."""

    count: int | None
    ref: str | None = None
    calibrated: bool = True
    slope: int = 1
    intercept: int = 0
    offset: int = 0


@dataclass(slots=True)
class _Container:
    name: str
    line: int
    base: str | None = None
    entries: list[_Entry] = field(default_factory=list)
    problem: XtceError | None = None


@dataclass(slots=True)
class _MetaCommand:
    name: str
    line: int
    abstract: bool = False
    base: str | None = None
    assignments: dict[str, str] = field(default_factory=dict)
    arguments: list[_Arg] = field(default_factory=list)
    container: str | None = None
    short_description: str | None = None
    long_description: str | None = None
    problem: XtceError | None = None


@dataclass(slots=True)
class _Slot:
    """One placed field of a command's packet."""

    name: str  # the layout's field name
    kind: str  # argument, fixed, parameter
    ref: str  # the argument or parameter
    start: int
    bits: int
    item: dict[str, Any]
    value: Any = None  # fixed entries: the raw value
    line: int = 0


# ---------------------------------------------------------------------------
# Reading the command section.


class _Target:
    """expat handlers that keep every element inside CommandMetaData."""

    def __init__(self) -> None:
        self.expat: Any = None
        self.stack: list[Node] = []
        self.depth = 0  # inside a CommandMetaData when > 0
        self.sections: list[Node] = []

    def start(self, tag: str, pairs: list[str]) -> None:
        local = _local(tag)
        if not self.depth and local != "CommandMetaData":
            return
        self.depth += 1
        attrib = {_local(k): v for k, v in zip(pairs[::2], pairs[1::2])}
        node = Node(local, attrib, self.expat.CurrentLineNumber)
        if self.stack:
            self.stack[-1].children.append(node)
        else:
            self.sections.append(node)
        self.stack.append(node)

    def end(self, tag: str) -> None:  # noqa: ARG002 - expat passes the name
        if self.depth:
            self.depth -= 1
            self.stack.pop()

    def data(self, text: str) -> None:
        if self.stack:
            self.stack[-1].text += text


def _sections(source: str | os.PathLike[str] | IO[bytes]) -> list[Node]:
    target = _Target()
    parser = DefusedXMLParser(target=target, forbid_dtd=False, forbid_entities=True, forbid_external=True)
    expat = parser.parser
    target.expat = expat
    expat.ordered_attributes = True
    expat.StartElementHandler = target.start
    expat.EndElementHandler = target.end
    expat.CharacterDataHandler = target.data
    where = os.fspath(source) if isinstance(source, (str, os.PathLike)) else getattr(source, "name", "<stream>")
    stream: IO[bytes] = open_file(source) if isinstance(source, (str, os.PathLike)) else source  # noqa: SIM115
    try:
        while chunk := stream.read(1 << 20):
            parser.feed(chunk)
        parser.close()
    except (EntitiesForbidden, ExternalReferenceForbidden) as error:
        raise XtceError(f"entity refused: {error}", path=where, line=expat.CurrentLineNumber) from None
    except ParseError as error:
        raise XtceError(f"not well-formed XML: {error}", path=where, line=expat.CurrentLineNumber) from None
    finally:
        if stream is not source:
            stream.close()
    return target.sections


def _ref(text: str) -> str:
    return text.strip().rpartition("/")[2]


def _number(text: str) -> float:
    text = text.strip()
    if text.lower().startswith(("0x", "-0x", "0b", "0o")):
        return int(text, 0)
    value = float(text)
    return int(value) if value.is_integer() and not any(c in text for c in ".eE") else value


def _number_text(value: float) -> str:
    if isinstance(value, int):
        return str(value)
    return str(int(value)) if float(value).is_integer() and abs(value) < 2**63 else repr(float(value))


def read_commands(source: str | os.PathLike[str] | IO[bytes], parameters: Mapping[str, Any]) -> CommandSet:
    """The command section of an XTCE file; ``parameters`` are the telemetry
    parameters that ``ParameterRefEntry`` may name."""
    where = os.fspath(source) if isinstance(source, (str, os.PathLike)) else getattr(source, "name", "<stream>")
    try:
        return CommandSet(_sections(source), str(where), parameters)
    except XtceError as error:
        if error.path is None:
            error.set_path(str(where))
        raise


class CommandSet:
    """Every MetaCommand, command container and argument type of a file."""

    def __init__(self, sections: list[Node], path: str, parameters: Mapping[str, Any]) -> None:
        self.path = path
        self.parameters = parameters
        self.types: dict[str, _ArgType] = {}
        self.commands: dict[str, _MetaCommand] = {}
        self.containers: dict[str, _Container] = {}
        self.notes: list[str] = []
        self._reader = UnitReader()
        self._plans: dict[tuple[str, tuple[tuple[str, Any], ...]], Any] = {}
        # The next sequence count per APID of the commands built so far.
        self._counts: dict[int, int] = {}
        for section in sections:
            for child in section.children:
                if child.tag == "ArgumentTypeSet":
                    for node in child.children:
                        self._type(node)
                elif child.tag == "MetaCommandSet":
                    for node in child.children:
                        self._meta_command(node)
                elif child.tag == "CommandContainerSet":
                    for node in child.children:
                        self._container(node, node.get("name", "").strip())
                elif child.tag not in DESCRIPTIVE:
                    self.notes.append(f"line {child.line}: {child.tag} in CommandMetaData not read")
        finish = getattr(self._reader, "finish", None)
        if finish is not None:
            finish()
        for name, atype in self.types.items():
            if atype.problem is None:
                ptype = self._reader.types.get(name)
                problem = getattr(ptype, "problem", None) if ptype is not None else None
                if ptype is None:
                    atype.problem = XtceError(
                        "the argument type could not be read", element="ArgumentType", name=name, line=atype.line
                    )
                elif problem is not None:
                    atype.problem = problem
                elif ptype.kind not in ARGUMENT_KINDS:
                    atype.problem = XtceUnsupportedError(
                        f"{ptype.kind} argument types are not supported",
                        element=_argument_element(ptype.element),
                        name=name,
                        line=atype.line,
                    )
                else:
                    atype.ptype = ptype
                    # Floats of the older formats are read, but not yet written.
                    unwritable = ptype.encoding.not_implemented or ptype.encoding.float_format.partition("/")[0]
                    if unwritable:
                        atype.problem = XtceUnsupportedError(
                            f"float encoding {unwritable} is not implemented",
                            element=_argument_element(ptype.element),
                            name=name,
                            line=atype.line,
                        )
                    elif not isinstance(ptype.encoding.bits, int):
                        atype.problem = XtceUnsupportedError(
                            "arguments of a variable size are not supported",
                            element=_argument_element(ptype.element),
                            name=name,
                            line=atype.line,
                        )
                    elif getattr(ptype.encoding, "text_in_buffer", False):
                        atype.problem = XtceUnsupportedError(
                            "string arguments with a terminator or a size tag are not supported",
                            element=_argument_element(ptype.element),
                            name=name,
                            line=atype.line,
                        )
        for command in self.commands.values():
            for arg in command.arguments:
                arg.type = self.types.get(arg.type_name)

    # -- units -------------------------------------------------------------

    def _type(self, node: Node) -> None:
        name = node.get("name", "").strip()
        if not name:
            raise XtceError("argument type without a name", element=node.tag, line=node.line)
        atype = _ArgType(name=name, ptype=None, line=node.line, initial=node.get("initialValue"))
        self.types[name] = atype
        for child in node.children:
            if child.tag == "ValidRange":
                atype.ranges_calibrated = _bool(child.get("validRangeAppliesToCalibrated"), True)
                atype.ranges.append(self._range(child, name))
            elif child.tag == "ValidRangeSet":
                atype.ranges_calibrated = _bool(child.get("validRangeAppliesToCalibrated"), True)
                atype.ranges.extend(self._range(r, name) for r in child.findall("ValidRange"))
            elif child.tag == "Encoding":
                try:
                    atype.scale = float(child.get("scale", "1"))
                    atype.offset = float(child.get("offset", "0"))
                except ValueError:
                    atype.problem = XtceError(
                        "Encoding scale and offset are numbers", element="Encoding", name=name, line=child.line
                    )
        if not node.tag.endswith("ArgumentType"):
            atype.problem = XtceUnsupportedError(
                f"{node.tag} in an ArgumentTypeSet is not supported", element=node.tag, name=name, line=node.line
            )
            return
        mirror = Node(node.tag[: -len("ArgumentType")] + "ParameterType", node.attrib, node.line)
        mirror.children = [
            c for c in node.children if c.tag not in ("ValidRange", "ValidRangeSet", "SizeRangeInCharacters")
        ]
        try:
            self._reader.unit("ParameterTypeSet", mirror)
        except XtceError as error:
            reason = str(getattr(error, "reason", error)).replace("ParameterType", "ArgumentType")
            atype.problem = type(error)(reason, element=node.tag, name=name, line=node.line)

    def _range(self, node: Node, name: str) -> _Range:
        try:
            values = {
                k: float(node.get(k, ""))
                for k in ("minInclusive", "maxInclusive", "minExclusive", "maxExclusive")
                if node.get(k) is not None
            }
        except ValueError:
            raise XtceError("ValidRange bounds are numbers", element="ValidRange", name=name, line=node.line) from None
        low, low_inclusive = (
            (values["minInclusive"], True) if "minInclusive" in values else (values.get("minExclusive"), False)
        )
        high, high_inclusive = (
            (values["maxInclusive"], True) if "maxInclusive" in values else (values.get("maxExclusive"), False)
        )
        return _Range(
            low, high, low_inclusive if low is not None else True, high_inclusive if high is not None else True
        )

    def _meta_command(self, node: Node) -> None:
        name = node.get("name", "").strip()
        if node.tag != "MetaCommand":
            self.notes.append(f"line {node.line}: {node.tag} in MetaCommandSet not read")
            return
        if not name:
            raise XtceError("MetaCommand without a name", element="MetaCommand", line=node.line)
        if name in self.commands:
            raise XtceError(
                f"MetaCommand defined twice (first at line {self.commands[name].line})",
                element="MetaCommand",
                name=name,
                line=node.line,
            )
        command = _MetaCommand(
            name=name,
            line=node.line,
            abstract=_bool(node.get("abstract"), False),
            short_description=node.get("shortDescription"),
        )
        self.commands[name] = command
        for child in node.children:
            if child.tag == "BaseMetaCommand":
                ref = child.get("metaCommandRef")
                if not ref:
                    raise XtceError(
                        "BaseMetaCommand without a metaCommandRef",
                        element="BaseMetaCommand",
                        name=name,
                        line=child.line,
                    )
                command.base = _ref(ref)
                assignments = child.find("ArgumentAssignmentList")
                for item in assignments.findall("ArgumentAssignment") if assignments is not None else []:
                    arg, value = item.get("argumentName"), item.get("argumentValue")
                    if not arg or value is None:
                        raise XtceError(
                            "ArgumentAssignment needs argumentName and argumentValue",
                            element="ArgumentAssignment",
                            name=name,
                            line=item.line,
                        )
                    command.assignments[arg.strip()] = value
            elif child.tag == "ArgumentList":
                for item in child.children:
                    if item.tag != "Argument":
                        command.problem = XtceUnsupportedError(
                            f"{item.tag} in an ArgumentList is not supported",
                            element=item.tag,
                            name=name,
                            line=item.line,
                        )
                        continue
                    arg_name, type_ref = item.get("name", "").strip(), item.get("argumentTypeRef", "")
                    if not arg_name or not type_ref:
                        raise XtceError(
                            "Argument needs a name and an argumentTypeRef",
                            element="Argument",
                            name=name,
                            line=item.line,
                        )
                    long = item.find("LongDescription")
                    description = item.get("shortDescription") or (long.text.strip() if long is not None else None)
                    command.arguments.append(
                        _Arg(arg_name, _ref(type_ref), item.line, item.get("initialValue"), description)
                    )
            elif child.tag == "CommandContainer":
                cname = child.get("name", "").strip() or name
                command.container = cname
                self._container(child, cname)
            elif child.tag == "LongDescription":
                command.long_description = child.text.strip()
            elif child.tag not in DESCRIPTIVE:
                # Verifiers, constraints, interlocks and significance describe how a
                # command is handled, not what its packet holds.
                self.notes.append(f"line {child.line}: {child.tag} of MetaCommand {name!r} not read")

    def _container(self, node: Node, name: str) -> None:
        if not name:
            raise XtceError("command container without a name", element=node.tag, line=node.line)
        if name in self.containers:
            raise XtceError(
                f"command container defined twice (first at line {self.containers[name].line})",
                element=node.tag,
                name=name,
                line=node.line,
            )
        container = _Container(name=name, line=node.line)
        self.containers[name] = container
        for child in node.children:
            if child.tag == "EntryList":
                for entry in child.children:
                    try:
                        container.entries.append(self._entry(entry, name))
                    except XtceError as error:
                        container.problem = container.problem or error
            elif child.tag == "BaseContainer":
                ref = child.get("containerRef")
                if not ref:
                    raise XtceError(
                        "BaseContainer without a containerRef", element="BaseContainer", name=name, line=child.line
                    )
                container.base = _ref(ref)
                if child.children:
                    container.problem = XtceUnsupportedError(
                        "restriction criteria on a command container's base are not supported",
                        element="BaseContainer",
                        name=name,
                        line=child.line,
                    )

    def _entry(self, node: Node, container: str) -> _Entry:
        refs = {
            "ArgumentRefEntry": ("argument", "argumentRef"),
            "ParameterRefEntry": ("parameter", "parameterRef"),
            "ContainerRefEntry": ("container", "containerRef"),
        }
        if node.tag == "FixedValueEntry":
            bits = self._reader._int(node.get("sizeInBits"), node, container, "sizeInBits")
            text = node.get("binaryValue", "").strip()
            try:
                value = int(text, 16) if text else 0
            except ValueError:
                raise XtceError(
                    f"binaryValue {text!r} is not hexadecimal", element=node.tag, name=container, line=node.line
                ) from None
            if bits < 1:
                raise XtceError(f"a FixedValueEntry of {bits} bits", element=node.tag, name=container, line=node.line)
            if value >= 1 << bits:
                raise XtceError(
                    f"binaryValue {text!r} does not fit in {bits} bits",
                    element=node.tag,
                    name=container,
                    line=node.line,
                )
            entry = _Entry("fixed", node.get("name", "").strip(), node.line, bits=bits, value=value)
        elif node.tag in refs:
            kind, attribute = refs[node.tag]
            ref = node.get(attribute)
            if not ref:
                raise XtceError(f"{node.tag} without a {attribute}", element=node.tag, name=container, line=node.line)
            entry = _Entry(kind, _ref(ref), node.line)
        else:
            raise XtceUnsupportedError(
                f"{node.tag} is not supported (ArgumentRefEntry, FixedValueEntry, ParameterRefEntry and ContainerRefEntry are)",
                element=node.tag,
                name=container,
                line=node.line,
            )
        for child in node.children:
            if child.tag == "LocationInContainerInBits":
                reference = _key(child.get("referenceLocation", "previousEntry"))
                fixed = child.find("FixedValue")
                if reference not in ("containerstart", "previousentry") or fixed is None:
                    raise XtceUnsupportedError(
                        "only locations from the container's start or the previous entry, as a FixedValue, are supported",
                        element=child.tag,
                        name=container,
                        line=child.line,
                    )
                entry.location = (reference, self._reader._int(fixed.text, fixed, container, "FixedValue"))
            elif child.tag == "IncludeCondition":
                entry.condition = self._reader._restriction(_with_argument_refs(child), container)
            elif child.tag == "RepeatEntry":
                entry.repeat = self._repeat(child, container)
            elif child.tag not in DESCRIPTIVE:
                raise XtceUnsupportedError(
                    f"{child.tag} in {node.tag} is not supported", element=child.tag, name=container, line=child.line
                )
        return entry

    def _repeat(self, node: Node, container: str) -> _Repeat:
        count = node.find("Count")
        if count is None:
            raise XtceError("RepeatEntry without a Count", element="RepeatEntry", name=container, line=node.line)
        offset = node.find("Offset")
        skip = 0
        if offset is not None:
            fixed = offset.find("FixedValue")
            if fixed is None:
                raise XtceUnsupportedError(
                    "only a FixedValue Offset between repeats is supported",
                    element="Offset",
                    name=container,
                    line=offset.line,
                )
            skip = self._reader._int(fixed.text, fixed, container, "FixedValue")
        fixed = count.find("FixedValue")
        if fixed is not None:
            return _Repeat(self._reader._int(fixed.text, fixed, container, "FixedValue"), offset=skip)
        dynamic = count.find("DynamicValue")
        ref = None if dynamic is None else dynamic.find("ArgumentInstanceRef") or dynamic.find("ParameterInstanceRef")
        if dynamic is None or ref is None:
            raise XtceUnsupportedError(
                "a repeat Count is a FixedValue or a DynamicValue", element="Count", name=container, line=count.line
            )
        name = ref.get("argumentRef") or ref.get("parameterRef")
        if not name:
            raise XtceError(f"{ref.tag} without a reference", element=ref.tag, name=container, line=ref.line)
        repeat = _Repeat(None, _ref(name), _bool(ref.get("useCalibratedValue"), True), offset=skip)
        adjust = dynamic.find("LinearAdjustment")
        if adjust is not None:
            repeat.slope = self._reader._int(adjust.get("slope", "1"), adjust, container, "slope")
            repeat.intercept = self._reader._int(adjust.get("intercept", "0"), adjust, container, "intercept")
        return repeat

    # -- the listing -----------------------------------------------------

    def _chain(self, name: str) -> list[_MetaCommand]:
        """The command and its bases, the most basic first."""
        chain: list[_MetaCommand] = []
        current: str | None = name
        while current is not None:
            command = self.commands.get(current)
            if command is None:
                raise XtceError(
                    f"BaseMetaCommand {current!r} names no MetaCommand",
                    element="BaseMetaCommand",
                    name=chain[-1].name if chain else name,
                    line=chain[-1].line if chain else 0,
                )
            if command in chain:
                raise XtceError(
                    "BaseMetaCommand chain returns to " + repr(current),
                    element="MetaCommand",
                    name=name,
                    line=command.line,
                )
            chain.append(command)
            current = command.base
        return chain[::-1]

    def _arguments(self, name: str) -> tuple[dict[str, _Arg], dict[str, str]]:
        """Every argument of the command and its bases, and the values its bases' assignments fix."""
        arguments: dict[str, _Arg] = {}
        assigned: dict[str, str] = {}
        for command in self._chain(name):
            for key, value in command.assignments.items():
                if key not in arguments:
                    raise XtceError(
                        f"ArgumentAssignment to {key!r}, which is not an argument of {command.base!r}",
                        element="ArgumentAssignment",
                        name=command.name,
                        line=command.line,
                    )
                assigned[key] = value
            for arg in command.arguments:
                arguments[arg.name] = arg
        return arguments, assigned

    def listing(self) -> list[Command]:
        out = []
        for name, command in self.commands.items():
            arguments, assigned = self._arguments(name)
            description = command.short_description or command.long_description
            out.append(
                Command(
                    name,
                    description,
                    command.abstract,
                    tuple(self._public(a) for a in arguments.values() if a.name not in assigned),
                )
            )
        return out

    def _public(self, arg: _Arg) -> Argument:
        atype = arg.type
        ptype = atype.ptype if atype is not None else None
        if atype is None or ptype is None:
            return Argument(arg.name, "unknown", None, None, None, (), None, arg.description)
        kind = ARGUMENT_KINDS[ptype.kind]
        labels: tuple[str, ...] = ()
        if kind == "enumerated":
            labels = tuple(label for _, _, label in ptype.enumeration)
        elif kind == "boolean":
            labels = tuple(ptype.boolean_labels)
        default = None
        span = None
        if atype.problem is None:
            convert = _Converter(self, "", arg)
            span = convert.range()
            text = arg.initial if arg.initial is not None else atype.initial
            try:
                default = None if text is None else convert.check(convert.from_text(text))
            except ValueError:
                default = None  # a default the type refuses is no default; building says why
        bits = ptype.encoding.bits if isinstance(ptype.encoding.bits, int) else None
        return Argument(
            arg.name, kind, bits, ptype.units[0] if ptype.units else None, span, labels, default, arg.description
        )

    # -- building -------------------------------------------------------

    def buildable(self, name: str) -> None:
        """Raises ValueError when the command cannot be built at all."""
        command = self.commands.get(name)
        if command is None:
            raise ValueError(f"no command {name!r} in {self.path}")
        if command.abstract:
            raise ValueError(f"command {name!r} is abstract: it is a base for other commands and is not built")

    def build(self, name: str, values: Mapping[str, Any]) -> bytes:
        self.buildable(name)
        arguments, assigned = self._arguments(name)
        raw: dict[str, Any] = {}
        given: set[str] = set()
        eng: dict[str, Any] = {}
        for key in values:
            if key not in arguments and key not in self.parameters:
                known = ", ".join(a for a in arguments if a not in assigned) or "none"
                raise ValueError(f"command {name!r}, argument {key!r}: unknown argument (the arguments are: {known})")
            if key in assigned:
                raise ValueError(
                    f"command {name!r}, argument {key!r}: fixed by the command at {assigned[key]!r}, not given by the caller"
                )
        for key, arg in arguments.items():
            convert = _Converter(self, name, arg)
            if key in assigned:
                value = convert.from_text(assigned[key])
            elif key in values:
                value = values[key]
                given.add(key)
            else:
                text = arg.initial if arg.initial is not None else arg.type.initial if arg.type is not None else None
                value = None if text is None else convert.from_text(text)
            if value is None:
                raw[key] = None  # missing unless the header fills it
                continue
            eng[key] = convert.check(value)
            raw[key] = convert.to_raw(eng[key])

        def lookup(key: str, calibrated: bool) -> Any:
            if key in eng:
                return eng[key] if calibrated else raw[key]
            if key in values and key in self.parameters:
                convert = _Converter(self, name, _parameter_arg(self.parameters[key]))
                value = convert.check(values[key])
                return value if calibrated else convert.to_raw(value)
            raise ValueError(
                f"command {name!r}: an include condition or a repeat count reads {key!r}, which has no value"
            )

        slots = self._slots(name, lookup)
        placed = {s.ref for s in slots if s.kind == "parameter"}
        for key in values:
            if key not in arguments and key not in placed:
                known = ", ".join(a for a in arguments if a not in assigned) or "none"
                raise ValueError(f"command {name!r}, argument {key!r}: unknown argument (the arguments are: {known})")
        header = _header_slots(slots)
        total = _total_bytes(slots)
        # A header's sequence count that neither the caller nor a base command
        # gives runs per APID from one built command to the next.
        counter = None
        if header is not None:
            counter = next((s for s in slots if (s.start, s.bits) == _COUNT_BITS and s.kind == "argument"), None)
            if counter is not None and (counter.ref in given or counter.ref in assigned):
                counter = None
        # Fields whose encoding holds a CRC, which the caller did not give:
        # computed over the finished packet.
        checks = [(s, crc) for s in slots if s.ref not in given and (crc := self._crc_of(s, arguments)) is not None]
        packed: dict[str, Any] = {}
        for slot in slots:
            if slot.kind == "fixed":
                packed[slot.name] = slot.value
            elif slot.kind == "argument":
                value = raw[slot.ref]
                if slot is counter or any(slot is c for c, _ in checks):
                    value = 0  # set below, once the rest of the packet is
                if value is None and header is not None and slot is header and slot.ref not in given:
                    value = total - 7
                if value is None:
                    raise ValueError(f"command {name!r}, argument {slot.ref!r}: missing (it has no default)")
                packed[slot.name] = value
            elif any(slot is c for c, _ in checks):
                packed[slot.name] = 0
            else:
                if slot.ref not in values:
                    raise ValueError(
                        f"command {name!r}, argument {slot.ref!r}: missing (the packet holds parameter {slot.ref!r}, whose value the caller gives)"
                    )
                packed[slot.name] = _Converter(self, name, _parameter_arg(self.parameters[slot.ref])).to_raw(
                    _Converter(self, name, _parameter_arg(self.parameters[slot.ref])).check(values[slot.ref])
                )
        if header is not None and header.kind == "fixed":
            packed[header.name] = total - 7
        layout = self._layout(name, slots)
        try:
            packet: bytes = layout.pack(packed)
        except (ValueError, OverflowError, TypeError) as error:
            raise ValueError(f"command {name!r}: {error}") from None
        packet += bytes(total - len(packet))
        if counter is not None:
            apid = int.from_bytes(packet[:2], "big") & 0x7FF
            count = self._counts.get(apid, 0)
            self._counts[apid] = (count + 1) % _COUNT_MODULUS
            flags = packet[2] & 0xC0
            packet = packet[:2] + bytes([flags | count >> 8, count & 0xFF]) + packet[4:]
        for slot, crc in checks:
            packet = _with_crc(name, packet, slot, crc)
        return packet

    def _crc_of(self, slot: _Slot, arguments: Mapping[str, _Arg]) -> Any:
        """The CRC an argument or parameter slot's encoding holds, if any."""
        if slot.kind == "argument":
            arg = arguments.get(slot.ref)
            ptype = arg.type.ptype if arg is not None and arg.type is not None else None
        elif slot.kind == "parameter" and slot.ref in self.parameters:
            ptype = self.parameters[slot.ref].type
        else:
            return None
        return getattr(ptype.encoding, "crc", None) if ptype is not None else None

    def _layout(self, name: str, slots: list[_Slot]) -> Any:
        from bitloom_io import Layout  # type: ignore[attr-defined,unused-ignore]

        key = (name, tuple((s.name, s.start) for s in slots))
        layout = self._plans.get(key)
        if layout is None:
            layout = Layout([s.item for s in slots], exact=True)
            self._plans[key] = layout
        return layout

    def _container_chain(self, name: str, command: str) -> list[_Container]:
        chain: list[_Container] = []
        current: str | None = name
        while current is not None:
            container = self.containers.get(current)
            if container is None:
                raise ValueError(f"command {command!r}: BaseContainer {current!r} names no command container")
            if container in chain:
                raise ValueError(f"command {command!r}: command container {current!r} is its own base")
            if container.problem is not None:
                raise ValueError(f"command {command!r} cannot be built: {_why(container.problem)}")
            chain.append(container)
            current = container.base
        return chain[::-1]

    def _slots(self, name: str, lookup: Callable[[str, bool], Any], slots: list[_Slot] | None = None) -> list[_Slot]:
        """The fields of the command's packet, placed (into ``slots`` when
        given, so that a caller sees them as they are placed); entries whose
        include condition fails are left out, ``lookup(name, calibrated)``
        giving the values that conditions and repeat counts read."""
        command = self.commands[name]
        problem = next((c.problem for c in self._chain(name) if c.problem is not None), None)
        if problem is not None:
            raise ValueError(f"command {name!r} cannot be built: {_why(problem)}")
        if command.container is None:
            container_name = next((c.container for c in reversed(self._chain(name)) if c.container is not None), None)
            if container_name is None:
                raise ValueError(f"command {name!r} has no CommandContainer: there is no packet to build")
        else:
            container_name = command.container
        arguments, _ = self._arguments(name)
        if slots is None:
            slots = []
        position = 0
        seen: dict[str, int] = {}

        def place(entries: list[_Entry], start: int, trail: tuple[str, ...]) -> None:
            nonlocal position
            for entry in entries:
                if entry.condition is not None and not self._holds(name, entry.condition, lookup):
                    continue
                if entry.location is not None:
                    reference, offset = entry.location
                    position = (start if reference == "containerstart" else position) + offset
                    if position < 0:
                        raise ValueError(
                            f"command {name!r}: entry at line {entry.line} is placed before the packet's start"
                        )
                copies = 1 if entry.repeat is None else self._copies(name, entry, lookup)
                for copy in range(copies):
                    if copy:
                        position += entry.repeat.offset if entry.repeat is not None else 0
                    place_one(entry, trail)

        def place_one(entry: _Entry, trail: tuple[str, ...]) -> None:
            nonlocal position
            if entry.kind == "container":
                if entry.ref in trail:
                    raise ValueError(f"command {name!r}: command container {entry.ref!r} includes itself")
                for sub in self._container_chain(entry.ref, name):
                    place(sub.entries, position, (*trail, entry.ref))
                return
            if entry.kind == "fixed":
                column = f"_fixed{len(slots)}"
                item = {
                    "name": column,
                    "encoding": "unsigned",
                    "bits": entry.bits,
                    "byte_order": "big",
                    "reverse_bits": False,
                }
                if entry.bits > 64:
                    item = {**item, "encoding": "binary"}
                    if entry.bits % 8:
                        raise ValueError(
                            f"command {name!r}: a FixedValueEntry of {entry.bits} bits (over 64 bits, whole bytes are supported)"
                        )
                value: Any = entry.value if entry.bits <= 64 else entry.value.to_bytes(entry.bits // 8, "big")
                slots.append(
                    _Slot(
                        column,
                        "fixed",
                        entry.ref,
                        position,
                        entry.bits,
                        {**item, "offset_bits": position},
                        value,
                        entry.line,
                    )
                )
                position += entry.bits
                return
            if entry.kind == "argument":
                arg = arguments.get(entry.ref)
                if arg is None:
                    raise ValueError(
                        f"command {name!r}: ArgumentRefEntry {entry.ref!r} (line {entry.line}) names no argument of the command"
                    )
                ptype = _Converter(self, name, arg).ptype
            else:
                param = self.parameters.get(entry.ref)
                if param is None or param.type is None:
                    raise ValueError(
                        f"command {name!r}: ParameterRefEntry {entry.ref!r} (line {entry.line}) names no parameter"
                    )
                ptype = param.type
            enc = ptype.encoding
            count = seen.get(entry.ref, 0) + 1
            seen[entry.ref] = count
            column = entry.ref if count == 1 else f"{entry.ref}#{count}"
            item = {
                "name": column,
                "encoding": enc.codec,
                "bits": enc.bits,
                "byte_order": enc.byte_order,
                "reverse_bits": enc.reverse_bits,
                "offset_bits": position,
            }
            assert isinstance(enc.bits, int)
            slots.append(_Slot(column, entry.kind, entry.ref, position, enc.bits, item, None, entry.line))
            position += enc.bits

        for container in self._container_chain(container_name, name):
            place(container.entries, 0, (container.name,))
        _check_overlaps(name, slots)
        return slots

    def _copies(self, name: str, entry: _Entry, lookup: Callable[[str, bool], Any]) -> int:
        repeat = entry.repeat
        assert repeat is not None
        if repeat.count is not None:
            count = repeat.count
        else:
            assert repeat.ref is not None
            value = lookup(repeat.ref, repeat.calibrated)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not float(value).is_integer():
                raise ValueError(
                    f"command {name!r}: the repeat count of the entry at line {entry.line} comes from {repeat.ref!r}, which is {value!r}"
                )
            count = repeat.slope * int(value) + repeat.intercept
        if count < 0:
            raise ValueError(f"command {name!r}: the entry at line {entry.line} is repeated {count} times")
        return count

    def _holds(self, name: str, term: Comparison | Criteria, lookup: Callable[[str, bool], Any]) -> bool:
        if isinstance(term, Criteria):
            results = [self._holds(name, t, lookup) for t in term.terms]
            return all(results) if term.op == "and" else any(results)
        left = lookup(term.parameter, term.calibrated)
        right: Any = term.value
        if isinstance(left, bool):
            right = term.value.strip().lower() in ("true", "1", "on", "yes")
        elif isinstance(left, (int, float)):
            right = _number(term.value)
        return bool(_OPERATORS[term.operator](left, right))

    # -- reading back -----------------------------------------------------

    def decode(self, packet: bytes, name: str | None = None) -> CommandValues:
        data = bytes(packet)
        names = [name] if name is not None else [n for n, c in self.commands.items() if not c.abstract]
        if name is not None:
            self.buildable(name)
        found: list[CommandValues] = []
        reasons: list[str] = []
        for candidate in names:
            try:
                found.append(self._decode_as(candidate, data))
            except ValueError as error:
                if name is not None:
                    raise
                reasons.append(str(error))
        if len(found) == 1:
            return found[0]
        if not found:
            raise ValueError(
                f"no command of {self.path} matches the packet of {len(data)} bytes"
                + (f" ({'; '.join(reasons[:3])})" if reasons else "")
            )
        raise ValueError(f"the packet matches commands {', '.join(f.name for f in found)}: pass name= to choose")

    def _decode_as(self, name: str, data: bytes) -> CommandValues:
        arguments, assigned = self._arguments(name)
        eng: dict[str, Any] = {}
        placed: list[_Slot] = []

        def read(slot: _Slot) -> Any:
            if slot.start + slot.bits > 8 * len(data):
                raise ValueError(
                    f"command {name!r}: the packet of {len(data)} bytes ends inside {slot.ref or 'a fixed value'!r}"
                )
            return self._single(slot).unpack(data)[slot.name]

        def lookup(key: str, calibrated: bool) -> Any:
            # An include condition or a repeat count reads a value placed before it.
            slot = next((s for s in reversed(placed) if s.kind != "fixed" and s.ref == key), None)
            if slot is None:
                raise ValueError(
                    f"command {name!r}: an include condition or a repeat count reads {key!r}, which is not placed before it"
                )
            value = read(slot)
            return self._engineering(name, slot, value, arguments) if calibrated else value

        slots = self._slots(name, lookup, placed)
        total = _total_bytes(slots)
        if total != len(data):
            raise ValueError(f"command {name!r} is {total} bytes, not {len(data)}")
        header = _header_slots(slots)
        for slot in slots:
            value = read(slot)
            if slot.kind == "fixed":
                if slot is header:
                    if value != len(data) - 7:
                        raise ValueError(
                            f"command {name!r}: the header's length {value} does not match {len(data)} bytes"
                        )
                elif value != slot.value:
                    raise ValueError(
                        f"command {name!r}: the fixed value at bit {slot.start} is {value!r}, not {slot.value!r}"
                    )
            else:
                value = self._engineering(name, slot, value, arguments)
                if slot.ref in eng and not _same(eng[slot.ref], value):
                    raise ValueError(
                        f"command {name!r}: the copies of {slot.ref!r} differ ({eng[slot.ref]!r} and {value!r})"
                    )
                eng[slot.ref] = value
        for key, text in assigned.items():
            if key in eng:
                expected = _Converter(self, name, arguments[key]).from_text(text)
                if not _same(eng[key], _Converter(self, name, arguments[key]).check(expected)):
                    raise ValueError(
                        f"command {name!r}: argument {key!r} is {eng[key]!r}, the command fixes it at {expected!r}"
                    )
        return CommandValues(name, {k: v for k, v in eng.items() if k not in assigned})

    def _engineering(self, name: str, slot: _Slot, raw: Any, arguments: Mapping[str, _Arg]) -> Any:
        arg = arguments[slot.ref] if slot.kind == "argument" else _parameter_arg(self.parameters[slot.ref])
        return _Converter(self, name, arg).from_raw(raw)

    def _single(self, slot: _Slot) -> Any:
        from bitloom_io import Layout  # type: ignore[attr-defined,unused-ignore]

        key = ("", tuple(sorted((k, str(v)) for k, v in slot.item.items())))
        layout = self._plans.get(key)
        if layout is None:
            layout = Layout([slot.item], exact=True)
            self._plans[key] = layout
        return layout


def _argument_element(element: str) -> str:
    """The file's element name of an argument type read as the parameter type it mirrors."""
    return element.replace("ParameterType", "ArgumentType")


def _why(problem: XtceError | None) -> str:
    if problem is None:  # pragma: no cover - callers pass a problem
        return "unknown"
    return f"{problem.reason} ({problem.element} at line {problem.line})"


def _check_overlaps(name: str, slots: list[_Slot]) -> None:
    ordered = sorted(slots, key=lambda s: s.start)
    for a, b in zip(ordered, ordered[1:]):
        if a.start + a.bits > b.start:
            raise ValueError(
                f"command {name!r}: entries at lines {a.line} and {b.line} overlap (bits {a.start}-{a.start + a.bits - 1} and {b.start}-)"
            )


def _total_bytes(slots: list[_Slot]) -> int:
    end = max((s.start + s.bits for s in slots), default=0)
    return (end + 7) // 8


def _header_slots(slots: list[_Slot]) -> _Slot | None:
    """The packet length field when the packet starts with a CCSDS primary header."""
    at = {(s.start, s.bits): s for s in slots}
    if (
        _APID_BITS in at
        and _LENGTH_BITS in at
        and (0, 3) in at
        or _APID_BITS in at
        and _LENGTH_BITS in at
        and at[_LENGTH_BITS].kind == "fixed"
    ):
        return at[_LENGTH_BITS]
    return None


def _with_crc(name: str, packet: bytes, slot: _Slot, crc: Any) -> bytes:
    """The packet with the CRC of its bytes before the slot (from the CRC's
    start) written into the slot."""
    import numpy as np

    from bitloom_io._encode import crc_rows

    first = crc.bits_from_start // 8
    if slot.start % 8 or slot.item.get("reverse_bits") or slot.start // 8 < first:
        raise ValueError(
            f"command {name!r}, argument {slot.ref!r}: a CRC is computed only at a whole byte after the bytes it covers"
        )
    at = slot.start // 8
    value = crc_rows(
        np.frombuffer(packet[first:at], dtype=np.uint8)[np.newaxis, :],
        width=crc.width,
        polynomial=crc.polynomial,
        initial=crc.initial,
        final_xor=crc.final_xor,
        reflect_data=crc.reflect_data,
        reflect_remainder=crc.reflect_remainder,
    )
    n = crc.width // 8
    field = int(value[0]).to_bytes(n, "little" if slot.item.get("byte_order") == "little" else "big")
    return packet[:at] + field + packet[at + n :]


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, float) or isinstance(b, float):
        return math.isclose(a, b, rel_tol=1e-6, abs_tol=1e-9)
    return bool(a == b)


def _bool(text: str | None, default: bool) -> bool:
    if text is None:
        return default
    return text.strip().lower() in ("true", "1", "yes")


def _with_argument_refs(node: Node) -> Node:
    """An include condition's comparisons may name arguments by argumentRef;
    the telemetry reader reads parameterRef."""
    copy = Node(node.tag, dict(node.attrib), node.line)
    copy.text = node.text
    if "argumentRef" in copy.attrib and "parameterRef" not in copy.attrib:
        copy.attrib["parameterRef"] = copy.attrib["argumentRef"]
    if copy.tag == "ArgumentInstanceRef":
        copy.tag = "ParameterInstanceRef"
    copy.children = [_with_argument_refs(c) for c in node.children]
    return copy


def _parameter_arg(param: Any) -> _Arg:
    arg = _Arg(param.name, param.type_name, param.line)
    arg.type = _ArgType(param.type_name, param.type, param.line)
    return arg


# ---------------------------------------------------------------------------
# Values: engineering <-> raw, with the checks.


class _Converter:
    def __init__(self, commands: CommandSet, command: str, arg: _Arg) -> None:
        self.command = command
        self.arg = arg
        atype = arg.type
        if atype is None:
            raise ValueError(
                f"command {command!r}, argument {arg.name!r}: its type {arg.type_name!r} is not defined in {commands.path}"
            )
        if atype.problem is not None or atype.ptype is None:
            raise ValueError(
                f"command {command!r}, argument {arg.name!r}: its type {arg.type_name!r} cannot be used: {_why(atype.problem)}"
            )
        self.atype = atype
        self.ptype: ParameterType = atype.ptype
        self.kind = ARGUMENT_KINDS[self.ptype.kind]

    def fail(self, message: str) -> ValueError:
        return ValueError(f"command {self.command!r}, argument {self.arg.name!r}: {message}")

    # -- ranges

    def raw_limits(self) -> tuple[int, int] | None:
        enc = self.ptype.encoding
        if enc.kind != "integer" or not isinstance(enc.bits, int):
            return None
        n = enc.bits
        codec = enc.codec
        if codec == "unsigned":
            return 0, (1 << n) - 1
        if codec == "twos_complement":
            return -(1 << (n - 1)), (1 << (n - 1)) - 1
        if codec in ("ones_complement", "sign_magnitude"):
            return -((1 << (n - 1)) - 1), (1 << (n - 1)) - 1
        if codec in ("bcd", "packed_bcd"):
            return 0, 10 ** (n // 4) - 1
        return None

    def range(self) -> tuple[float, float] | None:
        ranges = self.atype.ranges
        if ranges and self.atype.ranges_calibrated:
            lows = [r.low for r in ranges]
            highs = [r.high for r in ranges]
            low = None if any(v is None for v in lows) else min(v for v in lows if v is not None)
            high = None if any(v is None for v in highs) else max(v for v in highs if v is not None)
            bounds = (-math.inf if low is None else low, math.inf if high is None else high)
            if self.kind == "integer":
                return tuple(int(b) if math.isfinite(b) and float(b).is_integer() else b for b in bounds)  # type: ignore[return-value]
            return bounds
        limits = self.raw_limits()
        if ranges:
            r = ranges[0]
            limits = (
                int(r.low) if r.low is not None else limits[0] if limits else 0,
                int(r.high) if r.high is not None else limits[1] if limits else 0,
            )
        if limits is None or self.kind not in ("integer", "float", "time"):
            return None
        low, high = self.forward(limits[0]), self.forward(limits[1])
        if low is None or high is None:
            return None
        return (min(low, high), max(low, high))

    # -- engineering value checks

    def check(self, value: Any) -> Any:
        """The engineering value the caller gave, checked; returns it in its canonical form."""
        kind = self.kind
        if kind == "integer":
            if isinstance(value, bool) or not _is_int(value):
                raise self.fail(f"{value!r} is not an integer ({type(value).__name__})")
            value = int(value)
        elif kind in ("float", "time"):
            if isinstance(value, bool) or not (_is_int(value) or isinstance(value, float) or _is_numpy_float(value)):
                raise self.fail(f"{value!r} is not a number ({type(value).__name__})")
            value = float(value) if kind == "float" or not _is_int(value) else int(value)
            if isinstance(value, float) and not math.isfinite(value):
                raise self.fail(f"{value!r} is not a finite number")
        elif kind == "enumerated":
            if not isinstance(value, str):
                raise self.fail(
                    f"{value!r} is not a label ({type(value).__name__}); the labels are {self.labels_text()}"
                )
            labels = [label for _, _, label in self.ptype.enumeration]
            if value not in labels:
                folded = [label for label in labels if label.lower() == value.strip().lower()]
                if len(folded) != 1:
                    raise self.fail(f"unknown label {value!r}; the labels are {self.labels_text()}")
                value = folded[0]
            return value
        elif kind == "boolean":
            return self.boolean(value)
        elif kind == "string":
            if not isinstance(value, str):
                raise self.fail(f"{value!r} is not a string ({type(value).__name__})")
            size = self.ptype.encoding.bits
            assert isinstance(size, int)
            try:
                encoded = _text_bytes(value, self.ptype.encoding.codec)
            except UnicodeEncodeError as error:
                raise self.fail(
                    f"{value!r} cannot be written in {self.ptype.encoding.written or self.ptype.encoding.codec}: {error.reason}"
                ) from None
            if len(encoded) * 8 > size:
                raise self.fail(
                    f"{value!r} is too long for its field: {len(encoded)} bytes, the field holds {size // 8}"
                )
            return value
        elif kind == "binary":
            if isinstance(value, str):
                try:
                    value = bytes.fromhex(value.removeprefix("0x"))
                except ValueError:
                    raise self.fail(f"{value!r} is not hexadecimal") from None
            if not isinstance(value, (bytes, bytearray, memoryview)):
                raise self.fail(f"{value!r} is not bytes ({type(value).__name__})")
            value = bytes(value)
            size = self.ptype.encoding.bits
            assert isinstance(size, int)
            if len(value) * 8 > size:
                raise self.fail(f"{len(value)} bytes are too long for its field of {size // 8} bytes")
            if len(value) * 8 < size:
                raise self.fail(f"{len(value)} bytes for a field of {size // 8} bytes")
            return value
        if self.atype.ranges:
            probe = value if self.atype.ranges_calibrated else self.to_raw(value, checked=False)
            if not any(r.holds(probe) for r in self.atype.ranges):
                ranges = " or ".join(r.text() for r in self.atype.ranges)
                where = "" if self.atype.ranges_calibrated else " (raw)"
                raise self.fail(f"{_number_text(probe)} is out of range{where} {ranges}")
        self.to_raw(value)  # the encoding's own limits
        return value

    def boolean(self, value: Any) -> bool:
        if isinstance(value, bool) or type(value).__name__ == "bool_":
            return bool(value)
        zero, one = self.ptype.boolean_labels
        if isinstance(value, str):
            key = value.strip().lower()
            if key in (one.lower(), "true"):
                return True
            if key in (zero.lower(), "false"):
                return False
            raise self.fail(f"unknown label {value!r}; the labels are {zero!r}, {one!r} (or True, False)")
        raise self.fail(f"{value!r} is not a boolean ({type(value).__name__}); give True, False, {zero!r} or {one!r}")

    def labels_text(self) -> str:
        return ", ".join(repr(label) for _, _, label in self.ptype.enumeration)

    # -- conversions

    def to_raw(self, value: Any, checked: bool = True) -> Any:
        kind, enc = self.kind, self.ptype.encoding
        if kind == "enumerated":
            return next(low for low, _, label in self.ptype.enumeration if label == value)
        if kind == "boolean":
            return int(bool(value))
        if kind in ("string", "binary"):
            return value
        number = value
        if kind == "time":
            number = (
                (number - self.atype.offset) / self.atype.scale
                if (self.atype.scale, self.atype.offset) != (1.0, 0.0)
                else number
            )
        calibrator = enc.calibrator
        if calibrator is not None:
            number = self.inverse(calibrator, number)
        if enc.kind == "float":
            return float(number)
        if isinstance(number, float):
            if not math.isfinite(number):
                raise self.fail(f"{value!r} has no raw value")
            number = round(number)
        limits = self.raw_limits()
        if checked and limits is not None and not limits[0] <= number <= limits[1]:
            shown = self.range()
            if shown is None:
                raise self.fail(
                    f"{_number_text(value)} is out of range: its raw value {number} does not fit [{limits[0]}, {limits[1]}]"
                )
            raise self.fail(
                f"{_number_text(value)} is out of range [{_number_text(shown[0])}, {_number_text(shown[1])}]"
            )
        return int(number)

    def inverse(self, calibrator: Calibrator, value: float) -> float:
        if calibrator.kind == "polynomial":
            degree = max((e for e, c in calibrator.coefficients.items() if c != 0), default=0)
            if degree > 1:
                raise self.fail(
                    f"its calibrator is a polynomial of degree {degree}, which has no single inverse: give the raw value in a telemetry table instead"
                )
            slope = calibrator.coefficients.get(1, 0.0)
            if slope == 0:
                raise self.fail("its calibrator is constant, which has no inverse")
            return (value - calibrator.coefficients.get(0, 0.0)) / slope
        points = calibrator.points
        cals = [c for _, c in points]
        if calibrator.order != 1 or not (
            all(a < b for a, b in zip(cals, cals[1:])) or all(a > b for a, b in zip(cals, cals[1:]))
        ):
            raise self.fail("its spline calibrator is not linear and monotonic, which has no single inverse")
        pairs = sorted((c, r) for r, c in points)
        if not pairs[0][0] <= value <= pairs[-1][0]:
            raise self.fail(
                f"{_number_text(value)} is out of range [{_number_text(pairs[0][0])}, {_number_text(pairs[-1][0])}] (the calibration's)"
            )
        for (c0, r0), (c1, r1) in zip(pairs, pairs[1:]):
            if c0 <= value <= c1:
                return r0 + (value - c0) * (r1 - r0) / (c1 - c0)
        return pairs[-1][1]  # pragma: no cover - the bounds are checked above

    def forward(self, raw: float) -> float | None:
        number: float = raw
        calibrator = self.ptype.encoding.calibrator
        if calibrator is not None:
            if calibrator.kind != "polynomial":
                return None
            number = sum(c * raw**e for e, c in calibrator.coefficients.items())
        if self.kind == "time":
            number = number * self.atype.scale + self.atype.offset
        return number

    def from_raw(self, raw: Any) -> Any:
        kind = self.kind
        if kind == "enumerated":
            for low, high, label in self.ptype.enumeration:
                if low <= raw <= high:
                    return label
            raise self.fail(f"raw value {raw} has no label; the labels are {self.labels_text()}")
        if kind == "boolean":
            return bool(raw)
        if kind == "string":
            return raw.rstrip("\x00") if isinstance(raw, str) else raw
        if kind == "binary":
            return bytes(raw)
        calibrator = self.ptype.encoding.calibrator
        value: Any = raw
        if calibrator is not None:
            if calibrator.kind == "polynomial":
                value = sum(c * float(raw) ** e for e, c in calibrator.coefficients.items())
            else:
                points = calibrator.points
                value = float(_interp(float(raw), [p[0] for p in points], [p[1] for p in points]))
        if kind == "time" and (self.atype.scale, self.atype.offset) != (1.0, 0.0):
            value = value * self.atype.scale + self.atype.offset
        if kind == "float":
            return float(value)
        if kind == "integer" and calibrator is None:
            return int(value)
        return value

    def from_text(self, text: str) -> Any:
        """An engineering value written in the file (defaults, assignments) or on a command line."""
        kind = self.kind
        try:
            if kind == "integer":
                value = _number(text)
                if isinstance(value, float) and value.is_integer():
                    value = int(value)
                return value
            if kind in ("float", "time"):
                return float(_number(text))
        except ValueError:
            raise self.fail(f"{text!r} is not a number") from None
        if kind == "boolean":
            return self.boolean(text)
        if kind == "binary":
            return text.strip()
        return text


def _interp(x: float, xs: list[float], ys: list[float]) -> float:
    if x <= xs[0]:
        return ys[0]
    for x0, x1, y0, y1 in zip(xs, xs[1:], ys, ys[1:]):
        if x <= x1:
            return y0 + (x - x0) * (y1 - y0) / (x1 - x0) if x1 != x0 else y1
    return ys[-1]


def _is_int(value: Any) -> bool:
    try:
        operator.index(value)
    except TypeError:
        return False
    return True


def _is_numpy_float(value: Any) -> bool:
    return type(value).__module__ == "numpy" and hasattr(value, "dtype") and value.dtype.kind == "f"


_TEXT_CODECS = {
    "us_ascii": "ascii",
    "iso_8859_1": "latin-1",
    "windows_1252": "cp1252",
    "utf8": "utf-8",
    "utf16": "utf-16-be",
    "utf16le": "utf-16-le",
    "utf16be": "utf-16-be",
    "utf32": "utf-32-be",
    "utf32le": "utf-32-le",
    "utf32be": "utf-32-be",
}


def _text_bytes(value: str, codec: str) -> bytes:
    return value.encode(_TEXT_CODECS.get(codec, "utf-8"))


def command_arguments(definition: Any, name: str, pairs: list[str]) -> dict[str, Any]:
    """``ARG=VALUE`` texts (a command line's) as the values of the command's arguments."""
    commands = definition._command_set()
    commands.buildable(name)
    arguments, _ = commands._arguments(name)
    values: dict[str, Any] = {}
    for pair in pairs:
        key, sep, text = pair.partition("=")
        key = key.strip()
        if not sep or not key:
            raise ValueError(f"command {name!r}: {pair!r} is not ARG=VALUE")
        if key in values:
            raise ValueError(f"command {name!r}, argument {key!r}: given twice")
        arg = arguments.get(key)
        if arg is None:
            param = commands.parameters.get(key)
            if param is None:
                values[key] = text  # refused by the build, which names the arguments
                continue
            arg = _parameter_arg(param)
        values[key] = _Converter(commands, name, arg).from_text(text)
    return values
