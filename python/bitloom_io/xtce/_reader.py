"""Reading units: each definition unit (an element of ParameterTypeSet,
ParameterSet or ContainerSet) becomes a model object as soon as the XML
reader hands it over. Whatever would change where a field lies or how it is
read, and that this reader does not decode, is refused with the element, the
name and the line; what only describes (descriptions, units, aliases,
alarms) is kept or skipped.
"""

from __future__ import annotations

import dataclasses
import sys
from typing import Any

import numpy as np

from bitloom_io.xtce._errors import XtceError, XtceUnsupportedError
from bitloom_io.xtce._model import (
    Crc,
    COMPARISON_OPERATORS,
    DESCRIPTIVE,
    IEEE_SPELLINGS,
    IEEE_WIDTHS,
    INTEGER_ENCODINGS,
    NAME_ONLY_FLOATS,
    FLOAT_FORMATS,
    STRING_ENCODINGS,
    Calibrator,
    Comparison,
    Container,
    Criteria,
    Encoding,
    Entry,
    Parameter,
    ParameterType,
    _key,
)
from bitloom_io.xtce._xml import Node


class UnitReader:
    """Turns the reader's units into model objects; collects notes."""

    def __init__(self) -> None:
        self.types: dict[str, ParameterType] = {}
        self.parameters: dict[str, Parameter] = {}
        self.containers: dict[str, Container] = {}
        self.notes: list[str] = []
        self.path: str | None = None  # the file being read
        self.origin: dict[str, str] = {}  # container -> the file that defines it, when there are several
        self.commands: dict[str, tuple[str, int]] = {}  # skipped command definitions: name -> (element, line)
        # An aggregate parameter's leaves, made once (a container may use it several times).
        self.leaves: dict[str, list[Parameter]] = {}
        # Types that name a baseType, kept as elements until every type is read.
        self.derived: dict[str, Node] = {}
        # The parameters some container entry provides (worked out when first needed).
        self.provided: set[str] | None = None
        # References as written -> as resolved: a file names the same few types thousands of times.
        self._refs: dict[str, str] = {}

    # -- dispatch ---------------------------------------------------------

    def unit(self, parent: str, node: Node) -> None:
        if parent == "ParameterSet":
            self._parameter(node)
        elif parent == "ParameterTypeSet":
            name = self._name(node)
            if node.get("baseType") and name and name not in self.types and name not in self.derived:
                self.derived[name] = node
                return
            try:
                self._type(node)
            except XtceError as error:
                # A type that cannot be read is refused where a container uses it.
                if not name or name in self.types or name in self.derived:
                    raise
                self._locate(error)
                self.types[name] = _refused_type(name, node, error)
        else:
            name = self._name(node)
            if name and self.path is not None:
                self.origin[name] = self.path
            try:
                self._container(node)
            except XtceError as error:
                if not name or name in self.containers:
                    raise
                self._locate(error)
                # It keeps its place in the tree, so that its packets are told apart and reported.
                base = node.find("BaseContainer")
                ref = base.get("containerRef") if base is not None else None
                self.containers[name] = Container(
                    name=name, line=node.line, base=self._ref(ref) if ref else None, problem=error
                )

    def _locate(self, error: XtceError) -> None:
        if error.path is None and self.path is not None:
            error.set_path(self.path)

    def finish(self) -> None:
        """Builds the types that name a base type, each after its base (iteratively: chains can be long)."""
        for name in list(self.derived):
            chain: list[str] = []
            seen: set[str] = set()
            current = name
            while current in self.derived:
                if current in seen:
                    node = self.derived[current]
                    error = self._error(
                        "baseType chain returns to this type: " + " -> ".join((*chain, current)), node, current
                    )
                    for member in chain:
                        self.types[member] = _refused_type(member, self.derived.pop(member), error)
                    chain = []
                    break
                seen.add(current)
                chain.append(current)
                current = self._ref(self.derived[current].get("baseType", ""))
            base = self.types.get(current) if chain else None
            for member in reversed(chain):
                node = self.derived.pop(member)
                try:
                    if base is None:
                        raise self._error(f"baseType {current!r} names no parameter type", node, member)
                    if base.problem is not None:
                        raise type(base.problem)(
                            f"its baseType {base.name!r} cannot be read: {base.problem.reason}",
                            element=node.tag,
                            name=member,
                            line=node.line,
                        )
                    self._type(node, base)
                except XtceError as error:
                    self.types[member] = _refused_type(member, node, error)
                base = self.types[member]
        for ptype in self.types.values():
            if ptype.problem is not None:
                self._locate(ptype.problem)

    def skipped(self, element: str, line: int) -> None:
        self.notes.append(f"line {line}: {element} not read (only telemetry is decoded)")

    def skipped_definition(self, element: str, name: str | None, line: int) -> None:
        if name:
            self.commands[name.strip()] = (element, line)

    # -- helpers ----------------------------------------------------------

    def _refuse(self, message: str, node: Node, name: str | None, element: str | None = None) -> XtceError:
        return XtceUnsupportedError(message, element=element or node.tag, name=name, line=node.line)

    def _error(self, message: str, node: Node, name: str | None, element: str | None = None) -> XtceError:
        return XtceError(message, element=element or node.tag, name=name, line=node.line)

    def _note_unknown(self, node: Node, owner: str, name: str | None) -> None:
        self.notes.append(f"line {node.line}: {node.tag} in {owner} {name!r} not read")

    @staticmethod
    def _name(node: Node) -> str | None:
        name = node.get("name")
        return name.strip() if name is not None else None

    def _int(self, text: str | None, node: Node, name: str | None, what: str) -> int:
        if text is None:
            raise self._error(f"{what} is missing", node, name)
        try:
            value = (
                float(text)
                if ("." in text or "e" in text or "E" in text) and not text.strip().lower().startswith("0x")
                else int(text, 0)
            )
        except ValueError:
            raise self._error(f"{what} {text!r} is not a number", node, name) from None
        if isinstance(value, float):
            if not value.is_integer():
                raise self._error(f"{what} {text!r} is not a whole number", node, name)
            value = int(value)
        return value

    @staticmethod
    def _bool(text: str | None, default: bool) -> bool:
        if text is None:
            return default
        return text.strip().lower() in ("true", "1", "yes")

    def _ref(self, text: str) -> str:
        """A reference without its space-system path (``/Root/Sub/NAME`` -> ``NAME``).

        References are interned: a file names the same few types thousands of times.
        """
        ref = self._refs.get(text)
        if ref is None:
            ref = self._refs[text] = sys.intern(text.strip().rpartition("/")[2])
        return ref

    @staticmethod
    def _path(text: str) -> str:
        """A reference that may name an aggregate's member (``P/member``, ``P.member``), kept whole."""
        return sys.intern(text.strip())

    # -- parameter types --------------------------------------------------

    TYPE_KINDS = {
        "IntegerParameterType": "integer",
        "FloatParameterType": "float",
        "EnumeratedParameterType": "enumerated",
        "BooleanParameterType": "boolean",
        "StringParameterType": "string",
        "BinaryParameterType": "binary",
        "AbsoluteTimeParameterType": "absolute_time",
        "RelativeTimeParameterType": "relative_time",
    }

    def _type(self, node: Node, base: ParameterType | None = None) -> None:
        name = self._name(node)
        kind = self.TYPE_KINDS.get(node.tag)
        if node.tag == "AggregateParameterType" and name:
            self._aggregate(node, name)
            return
        if node.tag == "ArrayParameterType" and name:
            self._array(node, name)
            return
        if kind is None:
            if node.tag in ("AggregateParameterType", "ArrayParameterType"):
                raise self._refuse(
                    f"{node.tag[: -len('ParameterType')].lower()} types are not supported",
                    node,
                    name,
                )
            raise self._refuse("unknown parameter type element", node, name)
        if not name:
            raise self._error("parameter type without a name", node, None)
        if name in self.types:
            raise self._error(f"parameter type defined twice (first at line {self.types[name].line})", node, name)
        encoding = self._type_encoding(node, kind, name, base.encoding if base is not None else None)
        # Over a string encoding, numbers, enumerations and booleans are read from the text.
        if kind in ("enumerated", "boolean") and encoding.kind not in ("integer", "string"):
            raise self._refuse(f"{kind} types over a {encoding.kind} encoding are not supported", node, name)
        if kind in ("integer", "float") and encoding.kind == "binary":
            raise self._refuse(f"{kind} types over a {encoding.kind} encoding are not supported", node, name)
        ptype = ParameterType(name=name, kind=kind, encoding=encoding, line=node.line, element=node.tag)
        if base is not None:
            # What the derived type does not say, it has from its base.
            ptype.base = base.name
            ptype.signed = base.signed
            ptype.size_in_bits = base.size_in_bits
            if base.kind == kind:
                ptype.enumeration = list(base.enumeration)
                ptype.boolean_labels = base.boolean_labels
            ptype.units = list(base.units)
        ptype.signed = self._bool(node.get("signed"), ptype.signed)
        if kind == "float":
            size = node.get("sizeInBits")
            if size is not None:
                ptype.size_in_bits = self._int(size, node, name, "sizeInBits")
            elif ptype.size_in_bits is None:
                ptype.size_in_bits = 32
        for child in node.children:
            if child.tag == "UnitSet":
                ptype.units = [u.text.strip() for u in child.findall("Unit") if u.text.strip()]
            elif child.tag == "EnumerationList" and kind == "enumerated":
                ptype.enumeration = []
                for item in child.findall("Enumeration"):
                    low = self._int(item.get("value"), item, name, "Enumeration value")
                    high = item.get("maxValue")
                    label = item.get("label", "")
                    ptype.enumeration.append((low, self._int(high, item, name, "maxValue") if high else low, label))
        if kind in ("absolute_time", "relative_time"):
            self._time(node, ptype, base)
        if kind == "boolean":
            zero, one = ptype.boolean_labels
            ptype.boolean_labels = (node.get("zeroStringValue", zero), node.get("oneStringValue", one))
        self.types[name] = ptype

    def _array(self, node: Node, name: str) -> None:
        if name in self.types:
            raise self._error(f"parameter type defined twice (first at line {self.types[name].line})", node, name)
        ref = node.get("arrayTypeRef")
        if not ref:
            raise self._error("ArrayParameterType without an arrayTypeRef", node, name)
        dimensions: list[int] = []
        dynamic: dict[str, Any] | None = None
        listed = node.find("DimensionList")
        if listed is None:
            raise self._refuse(
                "arrays whose sizes are given by the entry (numberOfDimensions) are not supported", node, name
            )
        for dimension in listed.findall("Dimension"):
            bounds = []
            for end in ("StartingIndex", "EndingIndex"):
                holder = dimension.find(end)
                fixed = holder.find("FixedValue") if holder is not None else None
                moving = holder.find("DynamicValue") if holder is not None else None
                if end == "EndingIndex" and moving is not None and len(listed.findall("Dimension")) == 1:
                    # One dimension whose last index an earlier field gives: a ragged column.
                    dynamic, calibrated = self._dynamic(moving, name)
                    dynamic["calibrated"] = calibrated
                    dynamic["intercept"] += 1 - bounds[0]
                    bounds.append(bounds[0])
                    continue
                if fixed is None:
                    raise self._refuse(
                        f"array dimensions taken from the packet are not supported (a {end} without a FixedValue)",
                        holder if holder is not None else dimension,
                        name,
                    )
                bounds.append(self._int(fixed.text, fixed, name, end))
            size = bounds[1] - bounds[0] + 1
            if dynamic is not None:
                break
            if size <= 0:
                raise self._error(f"dimension from {bounds[0]} to {bounds[1]} holds no element", dimension, name)
            dimensions.append(size)
        if not dimensions and dynamic is None:
            raise self._error("DimensionList without a Dimension", listed, name)
        placeholder = Encoding(kind="array", codec="", bits=0, line=node.line)
        self.types[name] = ParameterType(
            name=name,
            kind="array",
            encoding=placeholder,
            line=node.line,
            element=node.tag,
            element_type=self._ref(ref),
            dimensions=tuple(dimensions),
            dynamic_size=dynamic,
        )

    # Epochs by name, as the time codes name them: TAI (1958-01-01), J2000
    # (noon TT) and GPS count TAI seconds, UNIX and POSIX count as POSIX does.
    EPOCHS = {"TAI": "tai", "J2000": "j2000", "UNIX": "unix", "POSIX": "unix", "GPS": "gps"}

    def _time(self, node: Node, ptype: ParameterType, base: ParameterType | None) -> None:
        if base is not None:
            ptype.time_scale, ptype.time_offset, ptype.epoch = base.time_scale, base.time_offset, base.epoch
        encoding = node.find("Encoding")
        if encoding is not None:
            for attribute, what in (("scale", "time_scale"), ("offset", "time_offset")):
                written = encoding.get(attribute)
                if written is not None:
                    try:
                        setattr(ptype, what, float(written))
                    except ValueError:
                        raise self._error(f"{attribute} {written!r} is not a number", encoding, ptype.name) from None
            units = encoding.get("units", "seconds")
            if _key(units) not in ("seconds", "second", "s"):
                raise self._refuse(f"time units {units!r} are not supported (seconds are)", encoding, ptype.name)
        reference = node.find("ReferenceTime")
        if reference is None or ptype.kind != "absolute_time":
            return
        epoch = reference.find("Epoch")
        if epoch is None:
            if reference.find("OffsetFrom") is not None:
                self.notes.append(f"line {reference.line}: OffsetFrom of {ptype.name!r} not read (the raw value only)")
            return
        text = epoch.text.strip()
        value = self.EPOCHS.get(text.upper(), text)
        try:
            np.datetime64(value.rstrip("Zz") if value not in self.EPOCHS.values() else "2000", "ns")
        except ValueError:
            raise self._error(f"Epoch {text!r} is neither a known epoch nor a date", epoch, ptype.name) from None
        ptype.epoch = value

    def _aggregate(self, node: Node, name: str) -> None:
        if name in self.types:
            raise self._error(f"parameter type defined twice (first at line {self.types[name].line})", node, name)
        members: list[tuple[str, str, int]] = []
        for child in node.children:
            if child.tag == "MemberList":
                for member in child.children:
                    if member.tag != "Member":
                        continue
                    member_name, ref = self._name(member), member.get("typeRef")
                    if not member_name or not ref:
                        raise self._error("Member needs a name and a typeRef", member, name)
                    members.append((member_name, self._ref(ref), member.line))
            elif child.tag not in DESCRIPTIVE:
                self._note_unknown(child, node.tag, name)
        if not members:
            raise self._error("aggregate type without members", node, name)
        placeholder = Encoding(kind="aggregate", codec="", bits=0, line=node.line)
        self.types[name] = ParameterType(
            name=name, kind="aggregate", encoding=placeholder, line=node.line, element=node.tag, members=members
        )

    def _type_encoding(self, node: Node, kind: str, name: str, base: Encoding | None = None) -> Encoding:
        source: Node | None = node
        if kind in ("absolute_time", "relative_time"):
            source = node.find("Encoding")
            if source is None:
                if base is not None:
                    return dataclasses.replace(base)
                raise self._refuse("a time type without an Encoding element cannot be read", node, name)
            for child in node.children:
                if child.tag not in ("Encoding", "ReferenceTime") and child.tag not in DESCRIPTIVE:
                    self._note_unknown(child, node.tag, name)
        assert source is not None
        encodings = [c for c in source.children if c.tag.endswith("DataEncoding")]
        if not encodings:
            if base is not None:
                return dataclasses.replace(base)
            if kind == "boolean":
                # A boolean with no encoding is one unsigned bit.
                return Encoding(kind="integer", codec="unsigned", bits=1, line=node.line, written="unsigned")
            raise self._refuse("no data encoding: the field's size is unknown", node, name)
        if len(encodings) > 1:
            raise self._error("more than one data encoding", encodings[1], name)
        enc = encodings[0]
        # A base type's encoding of the same kind gives what this one leaves out.
        same = base if base is not None and base.kind == _ENCODING_KINDS.get(enc.tag) else None
        if enc.tag == "IntegerDataEncoding":
            return self._integer_encoding(enc, name, same)
        if enc.tag == "FloatDataEncoding":
            return self._float_encoding(enc, name, same)
        if enc.tag == "StringDataEncoding":
            return self._string_encoding(enc, name, same)
        if enc.tag == "BinaryDataEncoding":
            binary = self._binary_encoding(enc, name, same)
            if kind in ("absolute_time", "relative_time") and isinstance(binary.bits, int) and 0 < binary.bits <= 64:
                # A time code in one field (a CUC's coarse and fine octets):
                # its bits are a count, big-endian, as for an integer.
                return dataclasses.replace(binary, kind="integer", codec="unsigned")
            return binary
        raise self._refuse("unknown data encoding", enc, name)

    def _byte_order(self, enc: Node, name: str, bits: int | None, base: Encoding | None = None) -> tuple[str, bool]:
        byte_order = base.byte_order if base is not None else "big"
        written = enc.get("byteOrder")
        if written is not None:
            key = _key(written)
            if key in ("mostsignificantbytefirst", "bigendian", "big"):
                byte_order = "big"
            elif key in ("leastsignificantbytefirst", "littleendian", "little"):
                byte_order = "little"
            else:
                raise self._refuse(f"byteOrder {written!r} is not supported", enc, name)
        order_list = enc.find("ByteOrderList")
        if order_list is not None:
            significance = [
                self._int(b.get("byteSignificance"), b, name, "byteSignificance") for b in order_list.findall("Byte")
            ]
            count = len(significance)
            if bits is not None and bits != 8 * count:
                raise self._refuse(f"ByteOrderList of {count} bytes for a {bits}-bit field", order_list, name)
            # The list is in stream order and each Byte says where it goes,
            # significance 0 being the least significant byte: 0, 1, 2, 3 is
            # least significant first.
            if significance == list(range(count)):
                byte_order = "little"
            elif significance == list(range(count - 1, -1, -1)):
                byte_order = "big"
            else:
                raise self._refuse(f"byte order {significance} is neither big- nor little-endian", order_list, name)
        bit_order = enc.get("bitOrder")
        reverse = base.reverse_bits if base is not None else False
        if bit_order is not None:
            key = _key(bit_order)
            if key == "leastsignificantbitfirst":
                reverse = True
            elif key != "mostsignificantbitfirst":
                raise self._refuse(f"bitOrder {bit_order!r} is not supported", enc, name)
        return byte_order, reverse

    def _calibrator(self, enc: Node, name: str) -> Calibrator | None:
        found: Calibrator | None = None
        for child in enc.children:
            if child.tag == "DefaultCalibrator":
                for cal in child.children:
                    found = self._one_calibrator(cal, name)
            elif child.tag in ("PolynomialCalibrator", "SplineCalibrator", "MathOperationCalibrator"):
                # Older files put the calibrator straight under the encoding.
                found = self._one_calibrator(child, name)
        return found

    def _contexts(self, enc: Node, name: str) -> list[tuple[Criteria, Calibrator]]:
        """ContextCalibrators in file order: the first whose match holds decides."""
        out: list[tuple[Criteria, Calibrator]] = []
        listed = enc.find("ContextCalibratorList")
        for context in listed.findall("ContextCalibrator") if listed is not None else []:
            match, holder = context.find("ContextMatch"), context.find("Calibrator")
            calibrators = holder.children if holder is not None else []
            if match is None or not calibrators:
                raise self._error("ContextCalibrator needs a ContextMatch and a Calibrator", context, name)
            out.append((self._restriction(match, name), self._one_calibrator(calibrators[0], name)))
        return out

    def _one_calibrator(self, cal: Node, name: str) -> Calibrator:
        if cal.tag == "PolynomialCalibrator":
            coefficients: dict[int, float] = {}
            for term in cal.findall("Term"):
                exponent = self._int(term.get("exponent"), term, name, "exponent")
                try:
                    coefficient = float(term.get("coefficient", ""))
                except ValueError:
                    raise self._error(f"coefficient {term.get('coefficient')!r} is not a number", term, name) from None
                coefficients[exponent] = coefficients.get(exponent, 0.0) + coefficient
            if any(e < 0 for e in coefficients):
                raise self._refuse("negative exponents are not supported", cal, name)
            return Calibrator(kind="polynomial", coefficients=coefficients)
        if cal.tag == "SplineCalibrator":
            order = self._int(cal.get("order", "0"), cal, name, "order")
            if order not in (0, 1):
                raise self._refuse(f"spline order {order} is not supported (0 and 1 are)", cal, name)
            points = []
            for point in cal.findall("SplinePoint"):
                try:
                    points.append((float(point.get("raw", "")), float(point.get("calibrated", ""))))
                except ValueError:
                    raise self._error("SplinePoint raw and calibrated must be numbers", point, name) from None
            if len(points) < 2 and order == 1 or not points:
                raise self._error("too few SplinePoints", cal, name)
            # Points that share a raw value (a step) keep the file's order.
            points.sort(key=lambda point: point[0])
            return Calibrator(
                kind="spline", points=points, order=order, extrapolate=self._bool(cal.get("extrapolate"), False)
            )
        if cal.tag == "MathOperationCalibrator":
            program: list[tuple[str, float]] = []
            operands: list[tuple[str, bool]] = []
            for step in cal.children:
                if step.tag == "ValueOperand":
                    try:
                        program.append(("value", float(step.text)))
                    except ValueError:
                        raise self._error(f"ValueOperand {step.text!r} is not a number", step, name) from None
                elif step.tag == "ThisParameterOperand":
                    program.append(("this", 0.0))
                elif step.tag == "Operator":
                    operator = step.text.strip()
                    if operator not in MATH_OPERATORS:
                        raise self._refuse(f"math operator {operator!r} is not supported", step, name)
                    program.append((operator, 0.0))
                elif step.tag == "ParameterInstanceRefOperand":
                    ref = step.get("parameterRef")
                    if not ref:
                        raise self._error("ParameterInstanceRefOperand without a parameterRef", step, name)
                    if self._int(step.get("instance", "0"), step, name, "instance") != 0:
                        raise self._refuse("operands from another instance are not supported", step, name)
                    program.append(("param", float(len(operands))))
                    operands.append((self._path(ref), self._bool(step.get("useCalibratedValue"), True)))
                elif step.tag not in DESCRIPTIVE:
                    raise self._refuse(f"{step.tag} in a MathOperationCalibrator is not supported", step, name)
            return Calibrator(kind="math", program=program, operands=operands)
        raise self._refuse("calibrator not supported", cal, name)

    def _check_encoding_children(self, enc: Node, name: str, known: set[str]) -> None:
        for child in enc.children:
            if child.tag in known or child.tag in DESCRIPTIVE or child.tag in ("DefaultCalibrator",):
                continue
            raise self._refuse(f"{child.tag} in {enc.tag} is not supported", child, name, element=child.tag)

    def _integer_encoding(self, enc: Node, name: str, base: Encoding | None = None) -> Encoding:
        default_bits = str(base.bits) if base is not None and isinstance(base.bits, int) else "8"
        bits = self._int(enc.get("sizeInBits", default_bits), enc, name, "sizeInBits")
        written = enc.get("encoding", base.written if base is not None else "unsigned")
        codec = INTEGER_ENCODINGS.get(_key(written))
        if codec is None:
            raise self._refuse(f"integer encoding {written!r} is not supported", enc, name)
        if not 1 <= bits <= 64:
            raise self._refuse(f"{bits}-bit integers are not supported (1 to 64 bits are)", enc, name)
        byte_order, reverse = self._byte_order(enc, name, bits, base)
        self._check_encoding_children(
            enc,
            name,
            {
                "ByteOrderList",
                "PolynomialCalibrator",
                "SplineCalibrator",
                "MathOperationCalibrator",
                "ErrorDetectCorrect",
            },
        )
        calibrator = self._calibrator(enc, name)
        check = enc.find("ErrorDetectCorrect")
        return Encoding(
            crc=self._crc(check, name, bits) if check is not None else base.crc if base is not None else None,
            kind="integer",
            codec=codec,
            bits=bits,
            byte_order=byte_order,
            reverse_bits=reverse,
            calibrator=calibrator if calibrator is not None or base is None else base.calibrator,
            contexts=self._contexts(enc, name) or (base.contexts if base is not None else []),
            written=written,
            line=enc.line,
        )

    def _crc(self, node: Node, name: str, bits: int) -> Crc:
        """ErrorDetectCorrect holding a CRC: its polynomial, initial remainder
        and final XOR (hexadecimal), width and reflections, from whole bytes
        after the container's start. Parity and checksums are refused."""
        for child in node.children:
            if child.tag != "CRC" and child.tag not in DESCRIPTIVE:
                raise self._refuse(f"{child.tag} in ErrorDetectCorrect is not supported (CRC is)", child, name)
        crc = node.find("CRC")
        if crc is None:
            raise self._refuse("ErrorDetectCorrect without a CRC", node, name)
        width = self._int(crc.get("width", str(bits)), crc, name, "width")
        if width != bits or width % 8:
            raise self._refuse(
                f"a CRC of {width} bits in a field of {bits} is not supported (whole bytes, the field's width, are)",
                crc,
                name,
            )
        reference = crc.get("reference", "start")
        if _key(reference) not in ("start", "containerstart"):
            raise self._refuse(f"a CRC from reference {reference!r} is not supported (from the start is)", crc, name)
        start = self._int(crc.get("bitsFromReference", "0"), crc, name, "bitsFromReference")
        if start % 8:
            raise self._refuse(f"a CRC from bit {start} is not supported (from a whole byte is)", crc, name)

        def hex_value(tag: str, default: str | None) -> int:
            child = crc.find(tag)
            text = child.text.strip() if child is not None else default
            if text is None:
                raise self._error(f"a CRC without its {tag}", crc, name)
            try:
                value = int(text.removeprefix("0x").removeprefix("0X") or "0", 16)
            except ValueError:
                raise self._error(f"{tag} {text!r} is not hexadecimal", crc, name) from None
            if value >> width:
                raise self._error(f"{tag} {text!r} does not fit the CRC's {width} bits", crc, name)
            return value

        return Crc(
            width=width,
            polynomial=hex_value("Polynomial", None),
            initial=hex_value("InitRemainder", "0"),
            final_xor=hex_value("FinalXOR", "0"),
            reflect_data=self._bool(crc.get("reflectData"), False),
            reflect_remainder=self._bool(crc.get("reflectRemainder"), False),
            bits_from_start=start,
        )

    def _float_encoding(self, enc: Node, name: str, base: Encoding | None = None) -> Encoding:
        default_bits = str(base.bits) if base is not None and isinstance(base.bits, int) else "32"
        bits = self._int(enc.get("sizeInBits", default_bits), enc, name, "sizeInBits")
        written = enc.get("encoding", base.written if base is not None else "IEEE754_1985")
        key = _key(written)
        not_implemented = None
        codec = ""
        float_format = ""
        if key in IEEE_SPELLINGS:
            codec = IEEE_WIDTHS.get(bits, "")
            if not codec:
                if bits in (80, 128):
                    not_implemented = f"{written} with {bits} bits"
                else:
                    raise self._refuse(f"{written} with {bits} bits is not an IEEE 754 format", enc, name)
        elif key in NAME_ONLY_FLOATS:
            family = NAME_ONLY_FLOATS[key]
            if bits not in FLOAT_FORMATS[family]:
                widths = " or ".join(str(width) for width in FLOAT_FORMATS[family])
                raise self._refuse(
                    f"{written} with {bits} bits is not a {family} format ({widths} bits are)", enc, name
                )
            # Read as the unsigned bits, then converted by the format's definition.
            codec, float_format = "unsigned", f"{family}/{bits}"
        else:
            raise self._refuse(f"float encoding {written!r} is not supported", enc, name)
        byte_order, reverse = self._byte_order(enc, name, bits, base)
        self._check_encoding_children(
            enc, name, {"ByteOrderList", "PolynomialCalibrator", "SplineCalibrator", "MathOperationCalibrator"}
        )
        calibrator = self._calibrator(enc, name)
        return Encoding(
            kind="float",
            codec=codec,
            bits=bits,
            byte_order=byte_order,
            reverse_bits=reverse,
            calibrator=calibrator if calibrator is not None or base is None else base.calibrator,
            contexts=self._contexts(enc, name) or (base.contexts if base is not None else []),
            written=written,
            line=enc.line,
            not_implemented=not_implemented,
            float_format=float_format,
        )

    def _size(
        self, enc: Node, name: str, base: Encoding | None = None
    ) -> tuple[int | dict[str, Any], bool, bytes | None, int]:
        """The bits a string or binary field occupies (fixed, or a width taken
        from another field), and how its text is found inside them: a
        terminator or a leading size tag (text only)."""
        size = enc.find("SizeInBits")
        variable = enc.find("Variable")
        if size is None and variable is None:
            written = enc.get("sizeInBits")
            if written is None:
                if base is not None:
                    return base.bits, base.size_ref_calibrated, base.terminator, base.size_tag_bits
                raise self._refuse("no SizeInBits: the field's size is unknown", enc, name)
            return self._int(written, enc, name, "sizeInBits"), False, None, 0
        holder = size if size is not None else variable
        assert holder is not None
        text = enc.tag == "StringDataEncoding"
        bits: int | dict[str, Any] | None = None
        calibrated = False
        terminator: bytes | None = None
        tag = 0
        for child in holder.children:
            if child.tag == "Fixed":
                fixed = child.find("FixedValue")
                bits = self._int(fixed.text if fixed is not None else None, child, name, "FixedValue")
            elif child.tag == "FixedValue":
                bits = self._int(child.text, child, name, "FixedValue")
            elif child.tag == "DynamicValue":
                bits, calibrated = self._dynamic(child, name)
            elif child.tag == "DiscreteLookupList":
                raise self._refuse("sizes from a DiscreteLookupList are not supported", child, name)
            elif child.tag == "TerminationChar" and text:
                written = child.text.strip() or "00"
                try:
                    terminator = bytes.fromhex(written)
                except ValueError:
                    raise self._error(f"TerminationChar {written!r} is not hexadecimal bytes", child, name) from None
                if not terminator:
                    raise self._error("empty TerminationChar", child, name)
            elif child.tag == "LeadingSize" and text:
                tag = self._int(child.get("sizeInBitsOfSizeTag", "16"), child, name, "sizeInBitsOfSizeTag")
                if tag <= 0 or tag % 8 or tag > 64:
                    raise self._refuse(
                        f"a {tag}-bit size tag is not supported (whole bytes up to 64 bits are)", child, name
                    )
            else:
                raise self._refuse(f"{child.tag} in {holder.tag} is not supported", child, name)
        if terminator is not None and tag:
            raise self._error("both a TerminationChar and a LeadingSize", holder, name)
        if bits is None and tag:
            # The size tag alone says how long the text is: 0 marks "no buffer around it".
            return 0, False, None, tag
        if bits is None:
            if terminator is not None:
                # Its end is where the terminator is found in the packet (the
                # field takes the terminator too), within maxSizeInBits when
                # a Variable size gives one.
                most = holder.get("maxSizeInBits") if holder is variable else None
                limit = self._int(most, holder, name, "maxSizeInBits") if most is not None else 0
                if limit < 0 or limit % 8:
                    raise self._refuse(f"a maxSizeInBits of {limit} is not a whole number of bytes", holder, name)
                return {"scan": limit}, False, terminator, 0
            raise self._refuse(f"empty {holder.tag}: the field's size is unknown", holder, name)
        if isinstance(bits, int) and tag > bits:
            raise self._error(f"a {tag}-bit size tag in a {bits}-bit field", holder, name)
        return bits, calibrated, terminator, tag

    def _dynamic(self, node: Node, name: str) -> tuple[dict[str, Any], bool]:
        ref = node.find("ParameterInstanceRef")
        if ref is None or not ref.get("parameterRef"):
            raise self._refuse("DynamicValue without a ParameterInstanceRef", node, name)
        if self._int(ref.get("instance", "0"), ref, name, "instance") != 0:
            raise self._refuse("ParameterInstanceRef to another instance is not supported", ref, name)
        slope, intercept = 1, 0
        adjust = node.find("LinearAdjustment")
        if adjust is not None:
            slope = self._int(adjust.get("slope", "1"), adjust, name, "slope")
            intercept = self._int(adjust.get("intercept", "0"), adjust, name, "intercept")
        width = {"field": self._ref(ref.get("parameterRef", "")), "slope": slope, "intercept": intercept}
        return width, self._bool(ref.get("useCalibratedValue"), True)

    def _string_encoding(self, enc: Node, name: str, base: Encoding | None = None) -> Encoding:
        written = enc.get("encoding", base.written if base is not None else "UTF-8")
        codec = STRING_ENCODINGS.get(_key(written))
        if codec is None:
            raise self._refuse(f"string encoding {written!r} is not supported", enc, name)
        bits, calibrated, terminator, tag = self._size(enc, name, base)
        self._check_encoding_children(enc, name, {"SizeInBits", "Variable"})
        if isinstance(bits, int) and bits % 8:
            raise self._refuse(f"a {bits}-bit string is not a whole number of bytes", enc, name)
        if isinstance(bits, int) and bits == 0 and not tag:
            raise self._refuse("a 0-bit string", enc, name)
        unit = _CODE_UNITS.get(codec, 1)
        if terminator is not None and len(terminator) % unit:
            raise self._error(
                f"a {len(terminator)}-byte TerminationChar for {written} text, whose code units have {unit} bytes",
                enc,
                name,
            )
        byte_order, _ = self._byte_order(enc, name, None, base)
        return Encoding(
            kind="string",
            codec=codec,
            bits=bits,
            byte_order=byte_order,
            written=written,
            line=enc.line,
            size_ref_calibrated=calibrated,
            terminator=terminator,
            size_tag_bits=tag,
        )

    def _binary_encoding(self, enc: Node, name: str, base: Encoding | None = None) -> Encoding:
        bits, calibrated, _, _ = self._size(enc, name, base)
        self._check_encoding_children(enc, name, {"SizeInBits"})
        if isinstance(bits, int) and bits % 8:
            raise self._refuse(f"a {bits}-bit binary field is not a whole number of bytes", enc, name)
        for child in enc.children:
            if child.tag in ("FromBinaryTransformAlgorithm", "ToBinaryTransformAlgorithm"):
                raise self._refuse(f"{child.tag} is not supported", child, name)
        return Encoding(
            kind="binary", codec="binary", bits=bits, written="binary", line=enc.line, size_ref_calibrated=calibrated
        )

    # -- parameters -------------------------------------------------------

    def _parameter(self, node: Node) -> None:
        get = node.get
        name = get("name")
        if name is not None:
            name = name.strip()
        if node.tag != "Parameter":
            raise self._refuse("unknown element in ParameterSet", node, name)
        if not name:
            raise self._error("parameter without a name", node, None)
        parameters = self.parameters
        if name in parameters:
            raise self._error(f"parameter defined twice (first at line {parameters[name].line})", node, name)
        type_ref = get("parameterTypeRef")
        if not type_ref:
            raise self._error("parameter without a parameterTypeRef", node, name)
        type_name = self._refs.get(type_ref)
        if type_name is None:
            type_name = self._ref(type_ref)
        param = Parameter(name, type_name, node.line, get("shortDescription"))
        children = node.children
        if children:
            self._parameter_children(param, children)
        parameters[name] = param

    def _parameter_children(self, param: Parameter, children: list[Node]) -> None:
        for child in children:
            if child.tag == "LongDescription":
                param.long_description = child.text.strip()
            elif child.tag == "ShortDescription":
                param.short_description = child.text.strip()
            elif child.tag == "AliasSet":
                param.aliases = {alias.get("nameSpace", ""): alias.get("alias", "") for alias in child.findall("Alias")}
            elif child.tag == "AncillaryDataSet":
                param.ancillary = {data.get("name", ""): data.text.strip() for data in child.findall("AncillaryData")}
            elif child.tag not in DESCRIPTIVE:
                self._note_unknown(child, "Parameter", param.name)

    # -- containers -------------------------------------------------------

    def _container(self, node: Node) -> None:
        name = self._name(node)
        if node.tag != "SequenceContainer":
            raise self._refuse("only SequenceContainers are supported in a telemetry ContainerSet", node, name)
        if not name:
            raise self._error("container without a name", node, None)
        if name in self.containers:
            raise self._error(f"container defined twice (first at line {self.containers[name].line})", node, name)
        container = Container(
            name=name,
            line=node.line,
            abstract=self._bool(node.get("abstract"), False),
            short_description=node.get("shortDescription"),
        )
        for child in node.children:
            if child.tag == "EntryList":
                container.entries = self._entries(child.children, name)
            elif child.tag == "BaseContainer":
                ref = child.get("containerRef")
                if not ref:
                    raise self._error("BaseContainer without a containerRef", child, name)
                container.base = self._ref(ref)
                for sub in child.children:
                    if sub.tag == "RestrictionCriteria":
                        container.criteria = self._restriction(sub, name)
                    else:
                        raise self._refuse(f"{sub.tag} in BaseContainer is not supported", sub, name)
            elif child.tag == "LongDescription":
                container.long_description = child.text.strip()
            elif child.tag == "BinaryEncoding":
                bits, _, _, _ = self._size(child, name)
                if not isinstance(bits, int):
                    raise self._refuse("a container whose size comes from another field is not supported", child, name)
                container.size_bits = bits
            elif child.tag not in DESCRIPTIVE:
                raise self._refuse(f"{child.tag} in a SequenceContainer is not supported", child, name)
        self.containers[name] = container

    def _entries(self, nodes: list[Node], container: str) -> list[Entry]:
        """An EntryList's entries; the usual one (a ParameterRefEntry with
        nothing inside, naming a parameter read before) read here inline."""
        parameters = self.parameters
        out: list[Entry] = []
        append = out.append
        for node in nodes:
            if node.tag == "ParameterRefEntry" and not node.children:
                ref = node.get("parameterRef")
                known = parameters.get(ref) if ref and "/" not in ref else None
                if known is not None:
                    append(Entry("parameter", known.name, node.line))
                    continue
            append(self._entry(node, container))
        return out

    def _entry(self, node: Node, container: str) -> Entry:
        tag = node.tag
        if tag == "ParameterRefEntry":
            ref = node.get("parameterRef")
            kind = "parameter"
        elif tag == "ContainerRefEntry":
            ref = node.get("containerRef")
            kind = "container"
        elif tag == "ArrayParameterRefEntry":
            ref = node.get("parameterRef")
            kind = "parameter"
        else:
            raise self._refuse(f"{tag} is not supported (ParameterRefEntry and ContainerRefEntry are)", node, container)
        if not ref:
            raise self._error(f"{tag} without a reference", node, container)
        children = node.children
        if not children:  # the usual entry: it names a parameter read before, by its name
            known = self.parameters.get(ref) if kind == "parameter" and "/" not in ref else None
            return Entry(kind, known.name if known is not None else self._ref(ref), node.line)
        location: tuple[str, int] | None = None
        repeat: tuple[int, int] | None = None
        condition: Criteria | None = None
        dimensions: tuple[tuple[int, int], ...] | None = None
        for child in children:
            if child.tag == "DimensionList" and node.tag == "ArrayParameterRefEntry":
                dimensions = self._entry_dimensions(child, container, ref)
            elif child.tag == "LocationInContainerInBits":
                location = self._location(child, container, ref)
            elif child.tag == "RepeatEntry":
                repeat = self._repeat(child, container, ref, kind)
            elif child.tag == "IncludeCondition":
                condition = self._restriction(child, container)
            elif child.tag not in DESCRIPTIVE:
                raise self._refuse(f"{child.tag} in {node.tag} {ref!r} is not supported", child, container)
        return Entry(
            kind=kind,
            ref=self._ref(ref),
            line=node.line,
            location=location,
            repeat=repeat,
            condition=condition,
            dimensions=dimensions,
        )

    def _entry_dimensions(self, node: Node, container: str, ref: str) -> tuple[tuple[int, int], ...]:
        """The index ranges an ArrayParameterRefEntry holds (a Size is the first that many elements)."""
        out = []
        for child in node.children:
            if child.tag == "Size":
                value = child.find("FixedValue")
                if value is None:
                    raise self._refuse(
                        f"array entry sizes taken from the packet are not supported (entry {ref!r})", child, container
                    )
                out.append((0, self._int(value.text, value, container, "Size") - 1))
            elif child.tag == "Dimension":
                bounds: list[int] = []
                for which in ("StartingIndex", "EndingIndex"):
                    holder = child.find(which)
                    value = holder.find("FixedValue") if holder is not None else None
                    if value is None:
                        raise self._refuse(
                            f"array entry indexes taken from the packet are not supported (entry {ref!r})",
                            child,
                            container,
                        )
                    bounds.append(self._int(value.text, value, container, which))
                out.append((bounds[0], bounds[1]))
            elif child.tag not in DESCRIPTIVE:
                raise self._refuse(f"{child.tag} in a DimensionList is not supported", child, container)
        return tuple(out)

    def _repeat(self, node: Node, container: str, ref: str, kind: str) -> tuple[int | dict[str, Any], int]:
        """A RepeatEntry's count (fixed, or from an earlier field) and the bits between repeats."""
        count_node = node.find("Count")
        fixed = count_node.find("FixedValue") if count_node is not None else None
        dynamic = count_node.find("DynamicValue") if count_node is not None else None
        count: int | dict[str, Any]
        if fixed is not None:
            count = self._int(fixed.text, fixed, container, "Count")
            if count <= 0:
                raise self._error(f"repeat count {count} (entry {ref!r})", node, container)
        elif dynamic is not None:
            count, calibrated = self._dynamic(dynamic, container)
            count["calibrated"] = calibrated
        else:
            raise self._refuse(f"a RepeatEntry without a Count (entry {ref!r})", node, container)
        gap = 0
        offset = node.find("Offset")
        if offset is not None:
            value = offset.find("FixedValue")
            if value is None:
                raise self._refuse(
                    f"repeat offsets taken from the packet are not supported (entry {ref!r})", offset, container
                )
            gap = self._int(value.text, value, container, "Offset")
        return count, gap

    def _location(self, node: Node, container: str, ref: str) -> tuple[str, int] | None:
        """Where an entry starts: bits from the container's start or from the previous entry's end."""
        written = node.get("referenceLocation", "previousEntry")
        value = node.find("FixedValue")
        if value is None:
            raise self._refuse(f"locations other than a FixedValue are not supported (entry {ref!r})", node, container)
        bits = self._int(value.text, value, container, "FixedValue")
        reference = _key(written)
        if reference == "previousentry":
            return ("previousEntry", bits) if bits else None
        if reference == "containerstart":
            return ("containerStart", bits)
        if reference == "containerend":
            return ("containerEnd", bits)
        if reference == "nextentry":
            return ("nextEntry", bits)
        raise self._error(f"unknown referenceLocation {written!r}", node, container)

    def _restriction(self, node: Node, container: str) -> Criteria:
        terms: list[Comparison | Criteria] = []
        for child in node.children:
            if child.tag == "Comparison":
                terms.append(self._comparison(child, container))
            elif child.tag == "ComparisonList":
                terms.append(Criteria("and", [self._comparison(c, container) for c in child.children], child.line))
            elif child.tag == "BooleanExpression":
                terms.extend(self._boolean(sub, container) for sub in child.children)
            else:
                raise self._refuse(f"{child.tag} in RestrictionCriteria is not supported", child, container)
        return Criteria("and", terms, node.line)

    def _comparison(self, node: Node, container: str) -> Comparison:
        if node.tag != "Comparison":
            raise self._refuse(f"{node.tag} in a ComparisonList is not supported", node, container)
        ref = node.get("parameterRef")
        value = node.get("value")
        if not ref or value is None:
            raise self._error("Comparison needs parameterRef and value", node, container)
        if self._int(node.get("instance", "0"), node, container, "instance") != 0:
            raise self._refuse("comparisons with another instance are not supported", node, container)
        return Comparison(
            parameter=self._path(ref),
            operator=self._operator(node.get("comparisonOperator", "=="), node, container),
            value=value,
            calibrated=self._bool(node.get("useCalibratedValue"), True),
            line=node.line,
        )

    def _operator(self, text: str, node: Node, container: str) -> str:
        op = COMPARISON_OPERATORS.get(_key(text))
        if op is None:
            raise self._error(f"unknown comparison operator {text!r}", node, container)
        return op

    def _boolean(self, node: Node, container: str, depth: int = 0) -> Comparison | Criteria:
        if depth > MAX_CONDITION_DEPTH:
            raise self._refuse(
                f"conditions nested more than {MAX_CONDITION_DEPTH} deep are not supported", node, container
            )
        if node.tag == "Condition":
            refs = node.findall("ParameterInstanceRef")
            op_node = node.find("ComparisonOperator")
            value = node.find("Value")
            if not refs or op_node is None or (value is None and len(refs) < 2):
                raise self._error(
                    "Condition needs a ParameterInstanceRef, a ComparisonOperator and a Value", node, container
                )
            for ref in refs:
                if self._int(ref.get("instance", "0"), ref, container, "instance") != 0:
                    raise self._refuse("conditions on another instance are not supported", ref, container)
            comparison = Comparison(
                parameter=self._path(refs[0].get("parameterRef", "")),
                operator=self._operator(op_node.text, op_node, container),
                value=value.text.strip() if value is not None else "",
                calibrated=self._bool(refs[0].get("useCalibratedValue"), True),
                line=node.line,
            )
            if value is None:
                comparison.other_parameter = self._path(refs[1].get("parameterRef", ""))
                comparison.other_calibrated = self._bool(refs[1].get("useCalibratedValue"), True)
            return comparison
        if node.tag in ("ANDedConditions", "ORedConditions"):
            op = "and" if node.tag == "ANDedConditions" else "or"
            return Criteria(op, [self._boolean(child, container, depth + 1) for child in node.children], node.line)
        raise self._refuse(f"{node.tag} in a BooleanExpression is not supported", node, container)


# Operators of MathOperationCalibrator: how many values each takes from the stack.
MATH_OPERATORS = {
    "+": 2, "-": 2, "*": 2, "/": 2, "%": 2, "^": 2, "y^x": 2, "atan2": 2,
    "==": 2, "!=": 2, "<": 2, "<=": 2, ">": 2, ">=": 2, "&": 2, "|": 2, "&&": 2, "||": 2, "<<": 2, ">>": 2,
    "ln": 1, "log": 1, "e^x": 1, "1/x": 1, "x!": 1, "tan": 1, "cos": 1, "sin": 1, "atan": 1, "abs": 1, "!": 1, "~": 1,
    "swap": 2, "drop": 1, "dup": 1, "over": 2,
}  # fmt: skip

# Conditions are evaluated by nested calls, so their nesting is bounded well
# below the interpreter's recursion limit.
MAX_CONDITION_DEPTH = 100

# The element of each data encoding, by the kind of Encoding it gives.
_ENCODING_KINDS = {
    "IntegerDataEncoding": "integer",
    "FloatDataEncoding": "float",
    "StringDataEncoding": "string",
    "BinaryDataEncoding": "binary",
}

# Bytes per code unit: a terminator is looked for at code-unit boundaries.
_CODE_UNITS = {"utf16": 2, "utf16le": 2, "utf16be": 2, "utf32": 4, "utf32le": 4, "utf32be": 4}


def _refused_type(name: str, node: Node, error: XtceError) -> ParameterType:
    """A stand-in for a type that cannot be read: refused where a container uses it."""
    kind = UnitReader.TYPE_KINDS.get(node.tag, "unknown")
    placeholder = Encoding(kind="none", codec="", bits=0, line=node.line)
    return ParameterType(
        name=name,
        kind=kind,
        encoding=placeholder,
        line=node.line,
        element=node.tag,
        base=node.get("baseType"),
        problem=error,
    )
