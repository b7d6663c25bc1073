"""A loaded XTCE definition: layouts per container and whole-file decoding."""

from __future__ import annotations

import contextlib
import gc
import itertools
import operator
import os
from collections.abc import Callable, Iterator, Sequence, Set
from typing import IO, Any, Literal

import numpy as np

from bitloom_io import _decode as _pipeline
from bitloom_io import ccsds
from bitloom_io._native import Layout
from bitloom_io._report import Findings
from bitloom_io.ccsds import Packets
from bitloom_io.xtce import _placement
from bitloom_io.xtce._conditional import PACKET_BITS, ConditionalLayout, Decision, Scan
from bitloom_io.xtce._errors import XtceError, XtceUnsupportedError
from bitloom_io.xtce._model import (
    DESCRIPTIVE,
    ENGINEERING_SUFFIX,
    Comparison,
    Container,
    Criteria,
    FieldSpec,
    Parameter,
    ParameterType,
    scanned,
)
from bitloom_io.xtce._decode import Columns, Decoder, Predicate, XtceTables, _Node, engineering
from bitloom_io.xtce._reader import UnitReader
from bitloom_io.xtce._text import UNIT_BYTES
from bitloom_io.xtce._xml import read

_OPERATORS: dict[str, Callable[[Any, Any], Any]] = {
    "==": operator.eq,
    "!=": operator.ne,
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
}

# Packets are sorted down the inheritance tree by nested calls, so its depth
# is bounded well below the interpreter's recursion limit.
MAX_INHERITANCE_DEPTH = 200

Source = str | os.PathLike[str] | IO[bytes]


def load(source: Source | Sequence[Source], *, strict: bool = False) -> Definition:
    """Read an XTCE file (a path or a binary file object) into a ``Definition``.

    A definition split over several files (a types file beside the packet
    files) is read from a list of them: references are resolved across all
    of them, and each message names the file it is about.

    Everything that would be decoded wrongly or not at all is refused, with
    ``XtceError`` (or ``NotImplementedError`` for float formats bitloom knows
    by name only) naming the file, the element, the parameter or container
    and the line. A container that uses what cannot be decoded is left out
    (its packets are reported, never decoded as something else) and a note
    in ``notes`` says why; ``strict=True`` refuses the whole file instead.
    Types and parameters that no container uses are never refused.
    """
    with _no_collection():
        return _load(source, strict)


@contextlib.contextmanager
def _no_collection() -> Iterator[None]:
    """The cyclic garbage collector paused while a definition is built.

    Loading makes tens of thousands of objects that all stay alive (elements,
    types, parameters, fields) and none of which form cycles that need it,
    so each collection it would start walks them all for nothing: a tenth of
    the load time of a large file. It is started again as it was, and the
    collection the new objects have made due is run here, once, over the
    young generations: left to the collector, it would fall on the caller's
    next allocation instead.
    """
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()
            if gc.get_count()[0] > gc.get_threshold()[0]:
                gc.collect(1)


def _load(source: Source | Sequence[Source], strict: bool) -> Definition:
    sources = list(source) if isinstance(source, Sequence) and not isinstance(source, (str, bytes)) else [source]
    if not sources:
        raise ValueError("no XTCE file given")
    reader = UnitReader()
    names: list[str] = []
    system: str | None = None  # the first file's SpaceSystem names the definition
    for one in sources:
        where = str(os.fspath(one) if isinstance(one, (str, os.PathLike)) else getattr(one, "name", "<stream>"))
        names.append(where)
        reader.path = where
        try:
            root = read(one, reader.unit, reader.skipped, reader.skipped_definition)
            if root.tag != "SpaceSystem":
                raise XtceError(
                    f"the document element is {root.tag}, not SpaceSystem", element=root.tag, line=root.line
                )
            _note_unknown_sections(root, reader.notes)
        except XtceError as error:
            if error.path is None:
                error.set_path(where)
            raise
        if len(names) == 1:
            system = root.get("name")
    try:
        reader.finish()
        return Definition(reader, names[0] if len(names) == 1 else ", ".join(names), system, strict=strict)
    except XtceError as error:
        if error.path is None:
            error.set_path(names[0])
        raise


# What a space system holds around its definitions; anything else is noted.
_SECTIONS = frozenset(
    {"SpaceSystem", "TelemetryMetaData", "ParameterTypeSet", "ParameterSet", "ContainerSet", "Header"} | DESCRIPTIVE
)


def _note_unknown_sections(node: Any, notes: list[str]) -> None:
    stack = [node]
    while stack:
        parent = stack.pop()
        for child in parent.children:
            if child.tag == "Header":
                continue
            if child.tag not in _SECTIONS:
                notes.append(f"line {child.line}: {child.tag} in {parent.tag} not read")
            else:
                stack.append(child)


class Definition:
    """An XTCE telemetry definition, ready to decode packet files.

    Attributes: ``path``, ``name`` (the SpaceSystem's), ``parameters``,
    ``parameter_types`` and ``containers`` (dicts by name), ``root`` (the
    container decoding starts from), ``notes`` (what was read and ignored).
    """

    def __init__(self, reader: UnitReader, path: str, name: str | None, *, strict: bool = False) -> None:
        """Built by :func:`load`."""
        self.path = path
        self._strict = strict
        self._origin = reader.origin
        self.name = name
        self.parameter_types: dict[str, ParameterType] = reader.types
        self.parameters: dict[str, Parameter] = reader.parameters
        self.containers: dict[str, Container] = reader.containers
        self.notes: list[str] = reader.notes
        self._layouts: dict[str, Layout] = {}
        self._own_layouts: dict[str, Layout] = {}
        self._conditional_layouts: dict[str, ConditionalLayout] = {}
        _placement.resolve_parameters(reader)
        # A field's width varies only where its type's does, or where it is
        # text led by a size tag (read as the tag, then text as long as it says).
        self._widths_vary = any(
            not isinstance(ptype.encoding.bits, int) or ptype.encoding.size_tag_bits
            for ptype in self.parameter_types.values()
        )
        cache: dict[str, list[_placement.Slot]] = {}
        for cname, container in self.containers.items():
            if container.base is not None:
                base = self.containers.get(container.base)
                if base is None:
                    container.problem = XtceError(
                        f"BaseContainer {container.base!r} names no SequenceContainer",
                        element="SequenceContainer",
                        name=cname,
                        line=container.line,
                    )
                    container.base = None
                else:
                    base.children.append(cname)
        self._limit_depth()
        self._fields: dict[str, list[FieldSpec]] = {}
        # Containers with IncludeConditions: their content and each condition's test.
        self._conditions: dict[str, tuple[list[_placement.Slot], list[Decision]]] = {}
        #: Containers that cannot be decoded, with why; their packets are left out.
        self.refused: dict[str, XtceError] = {}
        # Sizes from calibrated values and math calibrators that read other
        # parameters are rare: most files need not look for them field by field.
        calibrated_sizes = any(
            ptype.encoding.size_ref_calibrated or scanned(ptype.encoding.bits)
            for ptype in self.parameter_types.values()
        )
        operands = any(
            calibrator.operands
            for ptype in self.parameter_types.values()
            for calibrator in (ptype.encoding.calibrator, *(cal for _, cal in ptype.encoding.contexts))
            if calibrator is not None
        )
        for cname, container in self.containers.items():
            if container.base in self.refused:
                self._refuse(cname, _base_refused(container))
                self._fields[cname] = []
                continue
            try:
                slots = _placement.container_fields(reader, cname, cache)
                sized = (
                    {id(slot[0]) for slot in slots if type(slot) is tuple and self._decided_size(slot[0].type)}
                    if calibrated_sizes
                    else set()
                )
                decided = (
                    frozenset(id(slot) for slot in slots if type(slot) is tuple and id(slot[0]) in sized)
                    if sized
                    else frozenset()
                )
                # Which entries a packet holds, or where, depends on its values
                # (conditions, repeats) or on its size (entries placed from its end).
                kinds = set(map(type, slots))
                varies = _placement.Scope in kinds or _placement.Repeat in kinds
                ends = _placement.from_packet_end(slots, kinds)
                entries = _placement.place(slots, per_packet=bool(sized) or varies or ends, sized=decided)
                self._check_fields(cname, entries, sized)
                if sized or (varies and any(entry.conditions or entry.ragged for entry in entries)) or ends:
                    self._conditions[cname] = (slots, self._decisions(cname, slots, entries, sized, ends))
                if operands:
                    self._math_operands(cname, entries)
            except XtceError as error:
                self._refuse(cname, error)
                entries = []
            self._fields[cname] = entries
        self._nodes: dict[str, _Node] = {}
        for cname in self.containers:
            self._node(cname)
        self._context_calibrators()
        self._refuse_descendants()
        self.root: str | None = self._find_root()

    # -- checks -----------------------------------------------------------

    def _fixed(self, fields: list[FieldSpec]) -> bool:
        """Whether every field has a fixed number of bits (none takes its size from another)."""
        if not self._widths_vary:
            return True
        widths = set(map(type, map(_BITS, fields)))
        return widths <= {int} or all(isinstance(bits, int) for bits in map(_BITS, fields))

    def _decided_size(self, ptype: ParameterType | None) -> bool:
        """Whether a field's size is decided per packet: another parameter's
        calibrated value, or where its terminator is found."""
        return ptype is not None and (scanned(ptype.encoding.bits) or self._calibrated_size(ptype))

    def _calibrated_size(self, ptype: ParameterType | None) -> bool:
        """Whether a field's size is the calibrated value of another parameter (decided per packet)."""
        if ptype is None or not ptype.encoding.size_ref_calibrated or not isinstance(ptype.encoding.bits, dict):
            return False
        ref = self.parameters.get(ptype.encoding.bits["field"])
        return ref is not None and ref.type is not None and _calibrates(ref.type)

    def _check_fields(self, cname: str, entries: list[FieldSpec], sized: Set[int] = frozenset()) -> None:
        elements: dict[str, list[FieldSpec]] = {}
        if any(map(operator.is_not, map(_GROUP, entries), itertools.repeat(None))):
            for entry in entries:
                if entry.group is not None and not entry.ragged:
                    elements.setdefault(entry.group, []).append(entry)
        for group, members in elements.items():
            array = members[0].parameter.array
            assert array is not None
            size = int(np.prod(array[1]))
            flats = sorted(member.parameter.array[2] for member in members if member.parameter.array is not None)
            if flats != list(range(size)):
                raise XtceUnsupportedError(
                    f"the entries of array {group!r} hold {len(set(flats))} of its {size} elements"
                    + (" (some twice)" if len(set(flats)) != len(flats) else "")
                    + ": an array column must be whole",
                    element="ArrayParameterRefEntry",
                    name=cname,
                    line=members[0].line,
                )
        # An engineering column can only clash with a parameter named like one,
        # and only a field whose size another gives needs the fields before it.
        suffixed = any(map(str.endswith, map(_NAME, entries), itertools.repeat(ENGINEERING_SUFFIX)))
        if not suffixed and self._fixed(entries):
            return
        names = set(map(_NAME, entries)) if suffixed else set()
        earlier: dict[str, FieldSpec] = {}
        varying: str | None = None
        for entry in entries:
            ptype = entry.parameter.type
            assert ptype is not None
            if suffixed and ptype.has_engineering and entry.name + ENGINEERING_SUFFIX in names:
                raise XtceError(
                    f"parameter {entry.name!r} needs an engineering column named "
                    f"{entry.name + ENGINEERING_SUFFIX!r}, which is already a parameter",
                    element="SequenceContainer",
                    name=cname,
                    line=entry.line,
                )
            bits = ptype.encoding.bits
            if scanned(bits):
                if id(entry.parameter) not in sized or entry.ragged:
                    raise XtceUnsupportedError(
                        f"{entry.name!r} ends where its TerminationChar is found, and is repeated or inside a "
                        "repeated entry: a field found in the data is read only once per packet",
                        element="TerminationChar",
                        name=cname,
                        line=entry.line,
                    )
                if varying is not None or (entry.start is not None and entry.start % 8):
                    where = f"after {varying!r}, whose size each packet gives" if varying else "not on a byte"
                    raise XtceUnsupportedError(
                        f"{entry.name!r} ends where its TerminationChar is found, and starts {where}: "
                        "where to look for the terminator is not known",
                        element="TerminationChar",
                        name=cname,
                        line=entry.line,
                    )
            elif isinstance(bits, dict):
                ref = earlier.get(bits["field"])
                if ref is None:
                    raise XtceUnsupportedError(
                        f"the size of {entry.name!r} comes from {bits['field']!r}, which is not an earlier "
                        "field of the packet",
                        element="DynamicValue",
                        name=cname,
                        line=entry.line,
                    )
                if ref.type.encoding.kind != "integer":
                    raise XtceUnsupportedError(
                        f"the size of {entry.name!r} comes from {bits['field']!r}, which is not an integer",
                        element="DynamicValue",
                        name=cname,
                        line=entry.line,
                    )
                problem = _calibration_problem(ref) if id(entry.parameter) in sized else None
                if problem is None and id(entry.parameter) in sized and entry.ragged:
                    problem = "is repeated as many times as the packet says"
                if problem is not None:
                    raise XtceUnsupportedError(
                        f"the size of {entry.name!r} {problem}",
                        element="DynamicValue",
                        name=cname,
                        line=entry.line,
                    )
                if id(entry.parameter) not in sized and varying is None:
                    varying = entry.name  # its width varies from packet to packet of one group
            earlier[entry.parameter.name] = entry

    def _node(self, cname: str) -> _Node:
        node = self._nodes.get(cname)
        if node is not None:
            return node
        # Bases first, without recursion: inheritance chains can be long.
        chain = [cname]
        while (base := self.containers[chain[-1]].base) is not None and base not in self._nodes:
            chain.append(base)
        for member in reversed(chain):
            node = self._build_node(member)
        assert node is not None
        return node

    def _build_node(self, cname: str) -> _Node:
        container = self.containers[cname]
        entries = self._fields[cname]
        refused = self.refused.get(cname)
        if container.base is None:
            node = _Node(container, entries, list(entries), refused=refused)
        else:
            parent = self._nodes[container.base]
            own = entries[len(parent.fields) :]
            node = _Node(container, entries, own, refused=refused)
            try:
                node.predicate = self._predicate(container, parent.fields)
            except XtceError as error:
                if refused is None:
                    self._refuse(cname, error)
                    node.refused = error
                # Its packets cannot be told from its siblings': they are all reported.
                node.predicate = None
            parent.children.append(node)
            # The own fields can be read alone when everything before them has
            # a fixed width and their widths come from their own fields.
            if cname not in self._conditions and self._fixed(parent.fields):
                refs = (
                    []
                    if self._fixed(own)
                    else [bits.get("field") for bits in map(_BITS, own) if isinstance(bits, dict)]
                )
                if not refs or set(refs) <= {s.parameter.name for s in own}:
                    node.alone = True
        node.conditional = cname in self._conditions
        self._nodes[cname] = node
        return node

    def _limit_depth(self) -> None:
        """Refuses containers more than MAX_INHERITANCE_DEPTH below their root: decoding walks the tree by nested calls."""
        depth: dict[str, int] = {}
        for cname in self.containers:
            chain: list[str] = []
            current: str | None = cname
            while current is not None and current not in depth and current not in chain:
                chain.append(current)
                current = self.containers[current].base
            level = depth.get(current, -1) if current is not None else -1
            for member in reversed(chain):
                level += 1
                depth[member] = level
                container = self.containers[member]
                if level == MAX_INHERITANCE_DEPTH + 1 and container.problem is None:
                    container.problem = XtceUnsupportedError(
                        f"containers that inherit more than {MAX_INHERITANCE_DEPTH} levels deep are not supported",
                        element="BaseContainer",
                        name=member,
                        line=container.line,
                    )

    def _decisions(
        self,
        cname: str,
        slots: list[_placement.Slot],
        entries: list[FieldSpec],
        sized: Set[int] = frozenset(),
        ends: bool = False,
    ) -> list[Decision]:
        """What decides a container's content per packet, in packet order: each
        IncludeCondition as a test on the raw columns before it, each repeat
        count as the value of the earlier field it comes from (``ends``: some
        entry is placed from the packet's end)."""
        container = self.containers[cname]
        out: list[Decision] = []
        if ends:
            out.append((PACKET_BITS, lambda cols: np.zeros(0)))
        seen: set[int] = set()
        earlier: dict[str, FieldSpec] = {}
        placed_fields = iter(entries)
        for slot in slots:
            if type(slot) is tuple:
                placed = next(placed_fields)
                if id(slot[0]) in sized:
                    encoding = placed.type.encoding
                    if scanned(encoding.bits):
                        assert isinstance(encoding.bits, dict) and encoding.terminator is not None
                        out.append(
                            (slot, Scan(encoding.terminator, UNIT_BYTES.get(encoding.codec, 1), encoding.bits["scan"]))
                        )
                    else:
                        out.append((slot, self._size(placed, earlier)))
                earlier[placed.parameter.name] = placed
            elif isinstance(slot, _placement.Repeat):
                for part in slot.parts:
                    if isinstance(part, Parameter):
                        next(placed_fields)
                out.append((slot, self._count(container, slot, earlier)))
            elif isinstance(slot, _placement.Scope) and slot.begin and id(slot.condition) not in seen:
                seen.add(id(slot.condition))
                test = self._compile(container, slot.condition, dict(earlier))
                out.append((slot.condition, _calibrating(test, self._calibrated(container, slot.condition, earlier))))
        return out

    def _count(self, container: Container, repeat: _placement.Repeat, earlier: dict[str, FieldSpec]) -> Predicate:
        count = repeat.count
        source = _find(earlier, count["field"])
        problem = None
        if source is None:
            problem = f"comes from {count['field']!r}, which is not an earlier field of the packet"
        elif source.type.encoding.kind != "integer":
            problem = f"comes from {count['field']!r}, which is not an integer"
        elif count.get("calibrated") and _calibrates(source.type):
            problem = _calibration_problem(source)
        if problem is not None or source is None:
            raise XtceUnsupportedError(
                f"the number of {repeat.entry!r} {problem}",
                element="DynamicValue",
                name=container.name,
                line=repeat.line,
            )
        column, slope, intercept = source.name, int(count["slope"]), int(count["intercept"])
        if count.get("calibrated") and _calibrates(source.type):
            # A calibrated count is rounded to the nearest whole number (halves
            # up): calibrators written with rounded coefficients (x * 0.111111
            # for x / 9) land just below it.
            def calibrated_count(cols: Columns) -> np.ndarray:
                eng = engineering(source, np.ma.getdata(cols[column]))
                return np.floor(np.asarray(eng, np.float64) + 0.5).astype(np.int64) * slope + intercept

            return calibrated_count
        return lambda cols: cols[column].astype(np.int64) * slope + intercept

    def _size(self, entry: FieldSpec, earlier: dict[str, FieldSpec]) -> Predicate:
        """The bits of a field whose size is another field's calibrated value
        (rounded to the nearest whole number, halves up, before the LinearAdjustment)."""
        bits = entry.type.encoding.bits
        assert isinstance(bits, dict)
        source = _find(earlier, bits["field"])
        assert source is not None  # checked before
        column, slope, intercept = source.name, int(bits["slope"]), int(bits["intercept"])

        def size(cols: Columns) -> np.ndarray:
            eng = engineering(source, np.ma.getdata(cols[column]))
            return np.floor(np.asarray(eng, np.float64) + 0.5).astype(np.int64) * slope + intercept

        return size

    def _calibrated(self, container: Container, condition: Criteria, earlier: dict[str, FieldSpec]) -> list[FieldSpec]:
        """The fields whose engineering values a condition compares (computed from their raw columns)."""
        out: list[FieldSpec] = []
        stack: list[Comparison | Criteria] = [condition]
        while stack:
            term = stack.pop()
            if isinstance(term, Criteria):
                stack.extend(term.terms)
                continue
            for ref, calibrated in ((term.parameter, term.calibrated), (term.other_parameter, term.other_calibrated)):
                if ref is None:
                    continue
                if not self._operand(container, term, ref, calibrated, earlier).endswith(ENGINEERING_SUFFIX):
                    continue
                entry = _find(earlier, ref)
                assert entry is not None
                problem = _calibration_problem(entry, number=False)
                if problem is not None:
                    raise XtceUnsupportedError(
                        f"the include condition on {ref!r} {problem}",
                        element="IncludeCondition",
                        name=container.name,
                        line=term.line,
                    )
                out.append(entry)
        return out

    def _math_operands(self, cname: str, entries: list[FieldSpec]) -> None:
        """The columns each math calibrator's ParameterInstanceRefOperands read:
        fields of the same packet before the calibrated one, present wherever it is."""
        earlier: dict[str, FieldSpec] = {}
        for entry in entries:
            for calibrator in (entry.type.encoding.calibrator, *(cal for _, cal in entry.type.encoding.contexts)):
                if calibrator is None or not calibrator.operands:
                    continue
                columns = []
                for ref, calibrated in calibrator.operands:
                    source = _find(earlier, ref)
                    problem = None
                    if source is None:
                        problem = "which is not a field of the packet before it"
                    elif entry.ragged or source.ragged:
                        problem = "and one of them is repeated as many times as the packet says"
                    elif not {id(c) for c in source.conditions} <= {id(c) for c in entry.conditions}:
                        problem = "which an include condition leaves out of packets that hold it"
                    elif (
                        source.type.kind not in ("integer", "float")
                        if calibrated and source.type.has_engineering
                        else source.type.encoding.kind not in ("integer", "float")
                    ):
                        problem = "which is not a number"
                    if problem is not None:
                        raise XtceUnsupportedError(
                            f"the math calibrator of {entry.name!r} reads {ref!r}, {problem}",
                            element="ParameterInstanceRefOperand",
                            name=cname,
                            line=entry.line,
                        )
                    assert source is not None
                    use_eng = calibrated and source.type.has_engineering
                    columns.append(source.name + ENGINEERING_SUFFIX if use_eng else source.name)
                entry.operands[id(calibrator)] = tuple(columns)
            earlier[entry.parameter.name] = entry

    def _context_calibrators(self) -> None:
        """Each ContextCalibrator's match as a test on the columns before its field, per container."""
        if not any(ptype.encoding.contexts for ptype in self.parameter_types.values()):
            return
        for cname, entries in self._fields.items():
            if cname in self.refused:
                continue
            earlier: dict[str, FieldSpec] = {}
            try:
                for entry in entries:
                    contexts = entry.type.encoding.contexts
                    if contexts:
                        container = self.containers[cname]
                        entry.contexts = tuple(
                            (self._compile(container, match, dict(earlier)), cal) for match, cal in contexts
                        )
                    earlier[entry.parameter.name] = entry
            except XtceError as error:
                self._refuse(cname, error)
                self._nodes[cname].refused = error

    def _refuse(self, cname: str, error: XtceError) -> None:
        if error.path is None:
            error.set_path(self._origin.get(cname, self.path))
        if self._strict:
            raise error
        self.refused[cname] = error
        self.notes.append(f"container {cname!r} left out: {error}")

    def _refuse_descendants(self) -> None:
        """The containers below a refused one are refused with it: their packets never get past it."""
        stack = [node for node in self._nodes.values() if node.refused is not None]
        while stack:
            node = stack.pop()
            for child in node.children:
                if child.refused is None:
                    child.refused = _base_refused(child.container, self.path)
                    self.refused[child.container.name] = child.refused
                    stack.append(child)

    def _find_root(self) -> str | None:
        roots = [n for n, c in self.containers.items() if c.base is None and c.children and n not in self.refused]
        if len(roots) == 1:
            return roots[0]
        if not roots:
            alone = [
                n for n, c in self.containers.items() if c.base is None and not c.abstract and n not in self.refused
            ]
            if len(alone) == 1:
                return alone[0]
        return None

    # -- restriction criteria -------------------------------------------

    def _predicate(self, container: Container, available: list[FieldSpec]) -> Predicate | None:
        if container.criteria is None:
            return None
        by_param = {entry.parameter.name: entry for entry in available}  # the last occurrence wins
        return self._compile(container, container.criteria, by_param)

    def _compile(self, container: Container, term: Comparison | Criteria, by_param: dict[str, FieldSpec]) -> Predicate:
        if isinstance(term, Criteria):
            parts = [self._compile(container, t, by_param) for t in term.terms]
            if term.op == "and":

                def all_of(cols: Columns) -> np.ndarray:
                    result = parts[0](cols)
                    for part in parts[1:]:
                        result = result & part(cols)
                    return result

                return all_of if parts else (lambda cols: np.ones(len(next(iter(cols.values()))), bool))

            def any_of(cols: Columns) -> np.ndarray:
                result = parts[0](cols)
                for part in parts[1:]:
                    result = result | part(cols)
                return result

            return any_of
        left = self._operand(container, term, term.parameter, term.calibrated, by_param)
        op = _OPERATORS[term.operator]
        if term.other_parameter is not None:
            right = self._operand(container, term, term.other_parameter, term.other_calibrated, by_param)
            return lambda cols: np.asarray(op(cols[left], cols[right]), bool)
        entry = _find(by_param, term.parameter)
        assert entry is not None  # _operand refused it otherwise
        value = self._value(container, term, entry, term.calibrated)
        return lambda cols: np.asarray(op(cols[left], value), bool)

    def _operand(
        self, container: Container, term: Comparison, param: str, calibrated: bool, by_param: dict[str, FieldSpec]
    ) -> str:
        entry = _find(by_param, param)
        if entry is None:
            where = "the packet" if param in self.parameters else "the definition"
            raise XtceUnsupportedError(
                f"restriction on {param!r}, which is not a field read before this container "
                f"(it is not in {where} before {container.name!r})",
                element="RestrictionCriteria",
                name=container.name,
                line=term.line,
            )
        if entry.type.encoding.kind == "binary":
            raise XtceUnsupportedError(
                f"restriction on the binary field {param!r} is not supported",
                element="RestrictionCriteria",
                name=container.name,
                line=term.line,
            )
        if calibrated and entry.type.has_engineering:
            return entry.name + ENGINEERING_SUFFIX
        return entry.name

    def _value(self, container: Container, term: Comparison, entry: FieldSpec, calibrated: bool) -> Any:
        ptype = entry.type
        text = term.value.strip()
        try:
            if calibrated and ptype.has_engineering:
                if ptype.kind == "enumerated":
                    return term.value
                if ptype.kind == "boolean":
                    key = text.lower()
                    if key in ("true", "1", ptype.boolean_labels[1].lower()):
                        return True
                    if key in ("false", "0", ptype.boolean_labels[0].lower()):
                        return False
                    raise ValueError(text)
                return float(text)
            kind = ptype.encoding.kind
            if kind == "integer":
                if text.lower().startswith(("0x", "-0x", "0b", "0o")):
                    return int(text, 0)
                number = float(text) if any(c in text for c in ".eE") else int(text)
                if isinstance(number, float) and number.is_integer():
                    return int(number)
                return number
            if kind == "float":
                return float(text)
            return term.value
        except ValueError:
            raise XtceError(
                f"value {term.value!r} does not fit parameter {term.parameter!r} ({ptype.kind})",
                element="RestrictionCriteria",
                name=container.name,
                line=term.line,
            ) from None

    # -- layouts ----------------------------------------------------------

    def concrete(self) -> list[str]:
        """Names of the concrete (not abstract) containers that can be decoded, in file order."""
        return [n for n, c in self.containers.items() if not c.abstract and n not in self.refused]

    def packet_types(self, root: str | None = None) -> list[str]:
        """The concrete containers reachable from ``root`` by inheritance (the packet types ``decode`` gives)."""
        start = self._root_name(root)
        out: list[str] = []

        stack = [self._nodes[start]]
        while stack:
            node = stack.pop()
            if not node.container.abstract and node.refused is None:
                out.append(node.container.name)
            stack.extend(reversed(node.children))
        return out

    def fields(self, container: str) -> list[FieldSpec]:
        """The fields of a container in packet order, base container's first."""
        return list(self._fields[self._container_name(container)])

    def recipe(self, container: str) -> list[dict[str, Any]]:
        """The layout recipe of a container: one item per field, positions from the packet's first byte."""
        return [entry.item() for entry in self._fields[self._container_name(container)]]

    def layout(self, container: str) -> Layout:
        """The ``Layout`` (exact bits) of one container."""
        name = self._container_name(container)
        if name in self.refused:
            raise self.refused[name]
        if name in self._conditions:
            raise XtceUnsupportedError(
                "which entries a packet holds, or where, depends on its values or its size (an IncludeCondition, "
                "a count or a size from the packet, a place from its end): no single layout reads them; "
                "Definition.decode does",
                element="SequenceContainer",
                name=name,
                line=self.containers[name].line,
                path=self.path,
            )
        layout = self._layouts.get(name)
        if layout is None:
            try:
                layout = Layout(self.recipe(name), exact=True)
            except Exception as error:
                error.add_note(f"in the layout of container {name!r} ({self.path}:{self.containers[name].line})")
                raise
            self._layouts[name] = layout
        return layout

    def own_layout(self, name: str) -> Layout | ConditionalLayout:
        """The layout of the fields a container adds, or its whole layout when they cannot be read alone."""
        node = self._nodes[name]
        if name in self._conditions:
            conditional = self._conditional_layouts.get(name)
            if conditional is None:
                slots, tests = self._conditions[name]
                conditional = ConditionalLayout(
                    slots, self._fields[name], tests, lambda recipe: Layout(recipe, exact=True)
                )
                self._conditional_layouts[name] = conditional
            return conditional
        if not node.alone:
            return self.layout(name)
        layout = self._own_layouts.get(name)
        if layout is None:
            layout = Layout([entry.item() for entry in node.own], exact=True)
            self._own_layouts[name] = layout
        return layout

    def layouts(self) -> dict[str, Layout]:
        """``{container name: Layout}`` for every concrete container that one
        layout reads (not those with IncludeConditions)."""
        return {name: self.layout(name) for name in self.concrete() if name not in self._conditions}

    def apid_layouts(self, root: str | None = None) -> dict[int, Layout | _pipeline.Select]:
        """The packet types as ``bitloom_io.decode`` routes take them: ``{APID: Layout or Select}``.

        Possible when every packet type is chosen by equalities on raw
        values, one of them on the APID (the 11 bits after the first 5 of
        the root container): the other equalities become nested ``Select``
        rules, so a packet is decoded only when it meets them all.
        Restrictions of any other form raise ``XtceError``; ``decode``
        handles them all.
        """
        start = self._root_name(root)
        apid = next((s for s in self._fields[start] if s.start == 5 and s.type.encoding.bits == 11), None)
        if apid is None:
            raise XtceError(
                "no APID field (11 bits at bit 5) in the root container",
                element="SequenceContainer",
                name=start,
                line=self.containers[start].line,
            )
        by_apid: dict[int, list[tuple[str, list[tuple[FieldSpec, Any]]]]] = {}
        for name in self.packet_types(start):
            tests = self._equalities(name, start)
            keys = [value for entry, value in tests if entry.name == apid.name]
            if len(keys) != 1 or not isinstance(keys[0], int):
                raise XtceError(
                    "the packet type is not chosen by one APID value; decode with the definition itself (bitloom_io.decode(source, definition))",
                    element="SequenceContainer",
                    name=name,
                    line=self.containers[name].line,
                )
            rest = [(entry, value) for entry, value in tests if entry.name != apid.name]
            by_apid.setdefault(keys[0], []).append((name, rest))
        return {key: self._route(types) for key, types in sorted(by_apid.items())}

    def _equalities(self, name: str, root: str) -> list[tuple[FieldSpec, Any]]:
        """The raw-value equalities that select ``name`` below ``root``, outermost first."""
        chain: list[Container] = []
        container = self.containers[name]
        while container.name != root:
            chain.append(container)
            assert container.base is not None
            container = self.containers[container.base]
        tests: list[tuple[FieldSpec, Any]] = []

        def flatten(owner: Container, term: Comparison | Criteria, by_param: dict[str, FieldSpec]) -> None:
            if isinstance(term, Criteria):
                if term.op != "and" and len(term.terms) > 1:
                    raise XtceError(
                        "restrictions with 'or' cannot be routed by APID; decode with the definition itself (bitloom_io.decode(source, definition))",
                        element="RestrictionCriteria",
                        name=owner.name,
                        line=term.line,
                    )
                for sub in term.terms:
                    flatten(owner, sub, by_param)
                return
            entry = _find(by_param, term.parameter)
            if (
                entry is None
                or term.operator != "=="
                or term.other_parameter is not None
                or self._operand(owner, term, term.parameter, term.calibrated, by_param) != entry.name
            ):
                raise XtceError(
                    f"the restriction on {term.parameter!r} is not an equality on its raw value; decode with the definition itself (bitloom_io.decode(source, definition))",
                    element="RestrictionCriteria",
                    name=owner.name,
                    line=term.line,
                )
            tests.append((entry, self._value(owner, term, entry, False)))

        for owner in reversed(chain):
            if owner.criteria is not None:
                assert owner.base is not None
                by_param = {entry.parameter.name: entry for entry in self._fields[owner.base]}
                flatten(owner, owner.criteria, by_param)
        return tests

    def _route(self, types: list[tuple[str, list[tuple[FieldSpec, Any]]]]) -> Layout | _pipeline.Select:
        """A Layout when one packet type is left with nothing to test, else a Select on the next field."""
        if len(types) == 1 and not types[0][1]:
            return self.layout(types[0][0])
        entry = next((tests[0][0] for _, tests in types if tests), None)
        if entry is None or any(not tests or tests[0][0].name != entry.name for _, tests in types):
            listed = ", ".join(name for name, _ in types)
            raise XtceError(
                f"packet types {listed} share an APID and are not told apart by one field; decode with the definition itself (bitloom_io.decode(source, definition))"
            )
        groups: dict[Any, list[tuple[str, list[tuple[FieldSpec, Any]]]]] = {}
        for name, tests in types:
            groups.setdefault(tests[0][1], []).append((name, tests[1:]))
        field = entry.item()
        field["offset_bits"] = entry.start
        names = {value: members[0][0] for value, members in groups.items() if len(members) == 1 and not members[0][1]}
        return _pipeline.Select(field, {value: self._route(members) for value, members in groups.items()}, names=names)

    def _container_name(self, container: str) -> str:
        if container not in self.containers:
            raise KeyError(f"no container {container!r} in {self.path}")
        return container

    def _root_name(self, root: str | None) -> str:
        if root is None:
            root = self.root
            if root is None:
                starts = [n for n, c in self.containers.items() if c.base is None]
                raise ValueError(
                    f"{self.path}: cannot tell which container packets start from; pass root= one of {starts}"
                )
        return self._container_name(root)

    # -- decoding ---------------------------------------------------------

    def decode(
        self,
        source: Any,
        *,
        prefix_bytes: int = 0,
        root: str | None = None,
        errors: Literal["skip", "raise"] = "skip",
        segments: Literal["keep", "join"] = "keep",
        segment_header_bytes: int = 0,
    ) -> XtceTables:
        """Split a file of CCSDS packets and decode every packet into the table of its packet type.

        The same as ``bitloom_io.decode(source, definition)``. ``source``: a
        path, a binary file object or a buffer. Each packet's type is chosen
        by the restriction criteria, evaluated on whole columns: the root
        container's fields are read for every packet, then each child's
        fields for the packets that child selects. Returns one table per
        packet type (empty when no packet is of it): raw columns named by
        parameter, engineering columns ``NAME_eng`` beside calibrated,
        enumerated, boolean and integer-encoded float parameters. Beside
        them, ``report`` (what was not decoded and why), ``summary`` (the
        stream's), ``packet_index``, ``unidentified``, ``ambiguous`` and
        ``failed`` (packet indexes). ``errors="skip"`` (the default) leaves
        out packets their container cannot read; ``"raise"`` raises at the
        first. ``segments="join"`` joins segmented packets per APID first
        (a first segment, its continuations and its last, with consecutive
        sequence counts, become one packet: the first whole, then each
        later segment's data after its primary header and
        ``segment_header_bytes`` more, its secondary header); segments that
        complete no such run are left out and reported. The report's byte
        offsets are then those of the joined packets.
        """
        self._root_name(root)
        tables = _pipeline.decode_quietly(
            source,
            self,
            prefix_bytes=prefix_bytes,
            root=root,
            errors=errors,
            segments=segments,
            segment_header_bytes=segment_header_bytes,
        )
        ccsds.warn_summary(tables.report.stream, stacklevel=2)
        tables.report.warn(stacklevel=2)
        assert isinstance(tables, XtceTables)  # what _run gives
        return tables

    def _run(self, packets: Packets, findings: Findings, *, root: str | None, errors: str) -> XtceTables:
        """The pipeline's step for this definition: every packet type's table."""
        start = self._root_name(root)
        decoder = Decoder(self, packets.buffer, packets.offsets, packets.lengths, errors, findings)
        return decoder.run(self._nodes[start], every_type=True)

    def decode_packets(
        self,
        buffer: Any,
        offsets: np.ndarray,
        lengths: np.ndarray,
        *,
        root: str | None = None,
        errors: Literal["skip", "raise"] = "raise",
    ) -> XtceTables:
        """Decode packets already located in ``buffer`` (byte ``offsets`` and
        ``lengths``); tables of the packet types found, problems warned as
        ``XtceWarning``."""
        start = self._root_name(root)
        decoder = Decoder(self, buffer, offsets, lengths, errors)
        tables = decoder.run(self._nodes[start])
        decoder.warn(tables)
        return tables

    # -- display ----------------------------------------------------------

    def __repr__(self) -> str:
        return (
            f"<xtce.Definition {self.name!r} from {self.path}: {len(self.parameters)} parameters, "
            f"{len(self.containers)} containers ({len(self.concrete())} concrete), root {self.root!r}>"
        )

    def tree(self, root: str | None = None) -> str:
        """The inheritance tree from ``root``, one container per line with its restriction."""
        lines: list[str] = []

        def describe(term: Comparison | Criteria) -> str:
            if isinstance(term, Criteria):
                inner = f" {term.op} ".join(describe(t) for t in term.terms)
                return f"({inner})" if len(term.terms) > 1 else inner
            right = term.other_parameter if term.other_parameter is not None else term.value
            return f"{term.parameter} {term.operator} {right}"

        stack = [(self._nodes[self._root_name(root)], 0)]
        while stack:
            node, depth = stack.pop()
            c = node.container
            label = c.name + (" (abstract)" if c.abstract else "")
            bits = sum(s.type.encoding.bits for s in node.fields if isinstance(s.type.encoding.bits, int))
            dynamic = any(isinstance(s.type.encoding.bits, dict) for s in node.fields)
            size = f"{len(node.fields)} fields, {bits}{'+' if dynamic else ''} bits"
            where = f" where {describe(c.criteria)}" if c.criteria is not None and c.criteria.terms else ""
            lines.append(f"{'  ' * depth}{label}: {size}{where}")
            stack.extend((child, depth + 1) for child in reversed(node.children))
        return "\n".join(lines)

    # -- commands ---------------------------------------------------------

    def _command_set(self) -> Any:
        found = self.__dict__.get("_commands")
        if found is None:
            from bitloom_io.xtce._commands import read_commands

            if not os.path.isfile(self.path):
                raise ValueError(
                    f"commands are read from the definition's file, and {self.path!r} is not one: load it from a path"
                )
            found = self.__dict__["_commands"] = read_commands(self.path, self.parameters)
        return found

    def commands(self) -> list[Any]:
        """Every MetaCommand: ``name``, ``description``, ``abstract`` and the
        ``arguments`` a caller gives (``name``, ``type``, ``bits``, ``unit``,
        ``range``, ``labels``, ``default``, ``description``)."""
        return self._command_set().listing()

    def command(self, name: str, /, **arguments: Any) -> bytes:
        """The packet of command ``name`` with the given arguments (engineering
        values: numbers, labels, text, bytes); defaults fill the rest and a
        CCSDS primary header in the command container gets its length. A
        wrong call raises ValueError naming the command and the argument."""
        return bytes(self._command_set().build(name, arguments))

    def decode_command(self, packet: Any, name: str | None = None) -> Any:
        """The arguments of a command packet, as a dict with the command's
        ``name`` as an attribute; the command is recognised by its size,
        fixed values and fixed arguments unless ``name`` is given."""
        return self._command_set().decode(packet, name)

    # -- synthetic packets ------------------------------------------------

    def simulate(self, n: int, *, seed: Any = None, containers: Any = None, root: str | None = None) -> Any:
        """``n`` random packets of this definition's packet types (or of the
        ``containers`` named): ``(packets, values)``, the stream and, per
        packet type, the raw values chosen, which ``decode`` gives back."""
        from bitloom_io._simulate import simulate

        return simulate(self, n, seed=seed, containers=containers, root=root)


# A field's column name and its width (bits, or where they come from), read in bulk.
_NAME = operator.attrgetter("name")
_GROUP = operator.attrgetter("group")
_BITS = operator.attrgetter("parameter.type.encoding.bits")


def _calibrates(ptype: ParameterType) -> bool:
    """Whether a number's calibrated value differs from its raw one by a calibrator
    (counts and sizes take the raw value of other types)."""
    return ptype.encoding.calibrator is not None or bool(ptype.encoding.contexts)


def _calibration_problem(entry: FieldSpec, number: bool = True) -> str | None:
    """Why a field's engineering value cannot be worked out from its raw column
    alone (or, ``number``, is not a number)."""
    ptype = entry.type
    if ptype.encoding.contexts:
        return f"needs the calibrated value of {entry.parameter.name!r}, which a ContextCalibrator gives"
    calibrator = ptype.encoding.calibrator
    if calibrator is not None and calibrator.operands:
        return f"needs the calibrated value of {entry.parameter.name!r}, whose calibrator reads other parameters"
    if entry.ragged:
        return f"needs the calibrated value of {entry.parameter.name!r}, which is repeated in the packet"
    if ptype.kind in ("absolute_time", "relative_time"):
        return f"needs the calibrated value of {entry.parameter.name!r}, which is a time"
    if number and ptype.kind not in ("integer", "float"):
        return f"needs the calibrated value of {entry.parameter.name!r}, which is not a number"
    return None


def _calibrating(test: Predicate, fields: list[FieldSpec]) -> Predicate:
    """``test`` on the raw columns and the engineering values of ``fields`` worked out from them."""
    if not fields:
        return test

    def decide(cols: Columns) -> np.ndarray:
        cols = dict(cols)
        for entry in fields:
            eng = engineering(entry, np.ma.getdata(cols[entry.name]))
            assert eng is not None
            cols[entry.name + ENGINEERING_SUFFIX] = eng
        return test(cols)

    return decide


def _base_refused(container: Container, path: str | None = None) -> XtceError:
    return XtceUnsupportedError(
        f"its base container {container.base!r} cannot be decoded",
        element="SequenceContainer",
        name=container.name,
        line=container.line,
        path=path,
    )


def _find(by_param: dict[str, FieldSpec], ref: str) -> FieldSpec | None:
    """The field a reference names: ``NAME``, a space-system path to it
    (``/A/B/NAME``), or an aggregate's member (``P/member``, ``P.member``),
    the longest match first."""
    entry = by_param.get(ref)
    if entry is not None:
        return entry
    parts = [part for part in ref.split("/") if part not in ("", ".", "..")]
    for start in range(len(parts)):
        entry = by_param.get(".".join(parts[start:]))
        if entry is not None:
            return entry
    return None
