"""Reading units: each definition unit (an element of ParameterTypeSet,
ParameterSet or ContainerSet) becomes a model object as soon as the XML
reader hands it over. Whatever would change where a field lies or how it is
read, and that this reader does not decode, is refused with the element, the
name and the line; what only describes (descriptions, units, aliases,
alarms) is kept or skipped.
"""

from __future__ import annotations

import sys
from typing import Any

from bitloom_io.xtce._errors import XtceError, XtceUnsupportedError
from bitloom_io.xtce._model import (
    COMPARISON_OPERATORS,
    DESCRIPTIVE,
    IEEE_SPELLINGS,
    IEEE_WIDTHS,
    INTEGER_ENCODINGS,
    NAME_ONLY_FLOATS,
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
        self.commands: dict[str, tuple[str, int]] = {}  # skipped command definitions: name -> (element, line)

    # -- dispatch ---------------------------------------------------------

    def unit(self, parent: str, node: Node) -> None:
        if parent == "ParameterTypeSet":
            self._type(node)
        elif parent == "ParameterSet":
            self._parameter(node)
        else:
            self._container(node)

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
            value = float(text) if any(c in text for c in ".eE") and not text.strip().lower().startswith("0x") else int(text, 0)
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

    @staticmethod
    def _ref(text: str) -> str:
        """A reference without its space-system path (``/Root/Sub/NAME`` -> ``NAME``).

        References are interned: a file names the same few types thousands of times.
        """
        return sys.intern(text.strip().rpartition("/")[2])

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

    def _type(self, node: Node) -> None:
        name = self._name(node)
        kind = self.TYPE_KINDS.get(node.tag)
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
        encoding = self._type_encoding(node, kind, name)
        if kind in ("enumerated", "boolean") and encoding.kind != "integer":
            raise self._refuse(f"{kind} types over a {encoding.kind} encoding are not supported", node, name)
        if kind in ("integer", "float") and encoding.kind in ("string", "binary"):
            raise self._refuse(f"{kind} types over a {encoding.kind} encoding are not supported", node, name)
        ptype = ParameterType(name=name, kind=kind, encoding=encoding, line=node.line, element=node.tag)
        ptype.signed = self._bool(node.get("signed"), True)
        if kind == "float":
            size = node.get("sizeInBits")
            ptype.size_in_bits = self._int(size, node, name, "sizeInBits") if size is not None else 32
        for child in node.children:
            if child.tag == "UnitSet":
                ptype.units = [u.text.strip() for u in child.findall("Unit") if u.text.strip()]
            elif child.tag == "EnumerationList" and kind == "enumerated":
                for item in child.findall("Enumeration"):
                    low = self._int(item.get("value"), item, name, "Enumeration value")
                    high = item.get("maxValue")
                    label = item.get("label", "")
                    ptype.enumeration.append((low, self._int(high, item, name, "maxValue") if high else low, label))
        if kind == "boolean":
            ptype.boolean_labels = (node.get("zeroStringValue", "False"), node.get("oneStringValue", "True"))
        self.types[name] = ptype

    def _type_encoding(self, node: Node, kind: str, name: str) -> Encoding:
        source: Node | None = node
        if kind in ("absolute_time", "relative_time"):
            source = node.find("Encoding")
            if source is None:
                raise self._refuse("a time type without an Encoding element cannot be read", node, name)
            for child in node.children:
                if child.tag not in ("Encoding", "ReferenceTime") and child.tag not in DESCRIPTIVE:
                    self._note_unknown(child, node.tag, name)
        assert source is not None
        encodings = [c for c in source.children if c.tag.endswith("DataEncoding")]
        if not encodings:
            if kind == "boolean":
                # A boolean with no encoding is one unsigned bit.
                return Encoding(kind="integer", codec="unsigned", bits=1, line=node.line, written="unsigned")
            raise self._refuse("no data encoding: the field's size is unknown", node, name)
        if len(encodings) > 1:
            raise self._error("more than one data encoding", encodings[1], name)
        enc = encodings[0]
        if enc.tag == "IntegerDataEncoding":
            return self._integer_encoding(enc, name)
        if enc.tag == "FloatDataEncoding":
            return self._float_encoding(enc, name)
        if enc.tag == "StringDataEncoding":
            return self._string_encoding(enc, name)
        if enc.tag == "BinaryDataEncoding":
            return self._binary_encoding(enc, name)
        raise self._refuse("unknown data encoding", enc, name)

    def _byte_order(self, enc: Node, name: str, bits: int | None) -> tuple[str, bool]:
        byte_order = "big"
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
            significance = [self._int(b.get("byteSignificance"), b, name, "byteSignificance") for b in order_list.findall("Byte")]
            count = len(significance)
            if bits is not None and bits != 8 * count:
                raise self._refuse(f"ByteOrderList of {count} bytes for a {bits}-bit field", order_list, name)
            # Significance 0 is the most significant byte; the list is in stream order.
            if significance == list(range(count)):
                byte_order = "big"
            elif significance == list(range(count - 1, -1, -1)):
                byte_order = "little"
            else:
                raise self._refuse(f"byte order {significance} is neither big- nor little-endian", order_list, name)
        bit_order = enc.get("bitOrder")
        reverse = False
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
            elif child.tag == "ContextCalibratorList":
                self.notes.append(f"line {child.line}: ContextCalibratorList of {name!r} ignored (the default calibrator applies)")
        return found

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
            points.sort()
            return Calibrator(kind="spline", points=points, order=order, extrapolate=self._bool(cal.get("extrapolate"), False))
        raise self._refuse("calibrator not supported (PolynomialCalibrator and SplineCalibrator are)", cal, name)

    def _check_encoding_children(self, enc: Node, name: str, known: set[str]) -> None:
        for child in enc.children:
            if child.tag in known or child.tag in DESCRIPTIVE or child.tag in ("DefaultCalibrator",):
                continue
            raise self._refuse(f"{child.tag} in {enc.tag} is not supported", child, name, element=child.tag)

    def _integer_encoding(self, enc: Node, name: str) -> Encoding:
        bits = self._int(enc.get("sizeInBits", "8"), enc, name, "sizeInBits")
        written = enc.get("encoding", "unsigned")
        codec = INTEGER_ENCODINGS.get(_key(written))
        if codec is None:
            raise self._refuse(f"integer encoding {written!r} is not supported", enc, name)
        if not 1 <= bits <= 64:
            raise self._refuse(f"{bits}-bit integers are not supported (1 to 64 bits are)", enc, name)
        byte_order, reverse = self._byte_order(enc, name, bits)
        self._check_encoding_children(
            enc, name, {"ByteOrderList", "PolynomialCalibrator", "SplineCalibrator", "MathOperationCalibrator"}
        )
        return Encoding(
            kind="integer",
            codec=codec,
            bits=bits,
            byte_order=byte_order,
            reverse_bits=reverse,
            calibrator=self._calibrator(enc, name),
            written=written,
            line=enc.line,
        )

    def _float_encoding(self, enc: Node, name: str) -> Encoding:
        bits = self._int(enc.get("sizeInBits", "32"), enc, name, "sizeInBits")
        written = enc.get("encoding", "IEEE754_1985")
        key = _key(written)
        not_implemented = None
        codec = ""
        if key in IEEE_SPELLINGS:
            codec = IEEE_WIDTHS.get(bits, "")
            if not codec:
                if bits in (80, 128):
                    not_implemented = f"{written} with {bits} bits"
                else:
                    raise self._refuse(f"{written} with {bits} bits is not an IEEE 754 format", enc, name)
        elif key in NAME_ONLY_FLOATS:
            not_implemented = f"{written} ({NAME_ONLY_FLOATS[key]})"
        else:
            raise self._refuse(f"float encoding {written!r} is not supported", enc, name)
        byte_order, reverse = self._byte_order(enc, name, bits)
        self._check_encoding_children(
            enc, name, {"ByteOrderList", "PolynomialCalibrator", "SplineCalibrator", "MathOperationCalibrator"}
        )
        return Encoding(
            kind="float",
            codec=codec,
            bits=bits,
            byte_order=byte_order,
            reverse_bits=reverse,
            calibrator=self._calibrator(enc, name),
            written=written,
            line=enc.line,
            not_implemented=not_implemented,
        )

    def _size(self, enc: Node, name: str) -> tuple[int | dict[str, Any], bool]:
        """The size of a string or binary field: fixed bits or a dynamic width."""
        size = enc.find("SizeInBits")
        variable = enc.find("Variable")
        if size is None and variable is None:
            written = enc.get("sizeInBits")
            if written is None:
                raise self._refuse("no SizeInBits: the field's size is unknown", enc, name)
            return self._int(written, enc, name, "sizeInBits"), False
        holder = size if size is not None else variable
        assert holder is not None
        for child in holder.children:
            if child.tag == "Fixed":
                fixed = child.find("FixedValue")
                return self._int(fixed.text if fixed is not None else None, child, name, "FixedValue"), False
            if child.tag == "FixedValue":
                return self._int(child.text, child, name, "FixedValue"), False
            if child.tag == "DynamicValue":
                return self._dynamic(child, name)
            if child.tag == "DiscreteLookupList":
                raise self._refuse("sizes from a DiscreteLookupList are not supported", child, name)
            if child.tag in ("TerminationChar", "LeadingSize"):
                raise self._refuse(f"strings sized by {child.tag} are not supported", child, name)
            raise self._refuse(f"{child.tag} in {holder.tag} is not supported", child, name)
        raise self._refuse(f"empty {holder.tag}: the field's size is unknown", holder, name)

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

    def _string_encoding(self, enc: Node, name: str) -> Encoding:
        written = enc.get("encoding", "UTF-8")
        codec = STRING_ENCODINGS.get(_key(written))
        if codec is None:
            raise self._refuse(f"string encoding {written!r} is not supported", enc, name)
        bits, calibrated = self._size(enc, name)
        self._check_encoding_children(enc, name, {"SizeInBits", "Variable"})
        if isinstance(bits, int) and bits % 8:
            raise self._refuse(f"a {bits}-bit string is not a whole number of bytes", enc, name)
        byte_order, _ = self._byte_order(enc, name, None)
        return Encoding(
            kind="string",
            codec=codec,
            bits=bits,
            byte_order=byte_order,
            written=written,
            line=enc.line,
            size_ref_calibrated=calibrated,
        )

    def _binary_encoding(self, enc: Node, name: str) -> Encoding:
        bits, calibrated = self._size(enc, name)
        self._check_encoding_children(enc, name, {"SizeInBits"})
        if isinstance(bits, int) and bits % 8:
            raise self._refuse(f"a {bits}-bit binary field is not a whole number of bytes", enc, name)
        for child in enc.children:
            if child.tag in ("FromBinaryTransformAlgorithm", "ToBinaryTransformAlgorithm"):
                raise self._refuse(f"{child.tag} is not supported", child, name)
        return Encoding(kind="binary", codec="binary", bits=bits, written="binary", line=enc.line, size_ref_calibrated=calibrated)

    # -- parameters -------------------------------------------------------

    def _parameter(self, node: Node) -> None:
        name = self._name(node)
        if node.tag != "Parameter":
            raise self._refuse("unknown element in ParameterSet", node, name)
        if not name:
            raise self._error("parameter without a name", node, None)
        if name in self.parameters:
            raise self._error(f"parameter defined twice (first at line {self.parameters[name].line})", node, name)
        type_ref = node.get("parameterTypeRef")
        if not type_ref:
            raise self._error("parameter without a parameterTypeRef", node, name)
        param = Parameter(name=name, type_name=self._ref(type_ref), line=node.line, short_description=node.get("shortDescription"))
        for child in node.children:
            if child.tag == "LongDescription":
                param.long_description = child.text.strip()
            elif child.tag == "ShortDescription":
                param.short_description = child.text.strip()
            elif child.tag == "AliasSet":
                param.aliases = {alias.get("nameSpace", ""): alias.get("alias", "") for alias in child.findall("Alias")}
            elif child.tag == "AncillaryDataSet":
                param.ancillary = {data.get("name", ""): data.text.strip() for data in child.findall("AncillaryData")}
            elif child.tag not in DESCRIPTIVE:
                self._note_unknown(child, "Parameter", name)
        self.parameters[name] = param

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
                container.entries = [self._entry(entry, name) for entry in child.children]
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
            elif child.tag not in DESCRIPTIVE:
                raise self._refuse(f"{child.tag} in a SequenceContainer is not supported", child, name)
        self.containers[name] = container

    def _entry(self, node: Node, container: str) -> Entry:
        if node.tag == "ParameterRefEntry":
            ref = node.get("parameterRef")
            kind = "parameter"
        elif node.tag == "ContainerRefEntry":
            ref = node.get("containerRef")
            kind = "container"
        else:
            raise self._refuse(f"{node.tag} is not supported (ParameterRefEntry and ContainerRefEntry are)", node, container)
        if not ref:
            raise self._error(f"{node.tag} without a reference", node, container)
        for child in node.children:
            if child.tag == "LocationInContainerInBits":
                self._location(child, container, ref)
            elif child.tag == "RepeatEntry":
                raise self._refuse(f"repeat entries are not supported (entry {ref!r})", child, container)
            elif child.tag == "IncludeCondition":
                raise self._refuse(f"include conditions are not supported (entry {ref!r})", child, container)
            elif child.tag not in DESCRIPTIVE:
                raise self._refuse(f"{child.tag} in {node.tag} {ref!r} is not supported", child, container)
        return Entry(kind=kind, ref=self._ref(ref), line=node.line)

    def _location(self, node: Node, container: str, ref: str) -> None:
        """Accepts a location that leaves the field where it is; refuses any other."""
        reference = node.get("referenceLocation", "previousEntry")
        value = node.find("FixedValue")
        if value is not None and _key(reference) == "previousentry" and self._int(value.text, value, container, "FixedValue") == 0:
            return
        raise self._refuse(
            f"location entries that move a field are not supported (entry {ref!r})",
            node,
            container,
        )

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
            parameter=self._ref(ref),
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

    def _boolean(self, node: Node, container: str) -> Comparison | Criteria:
        if node.tag == "Condition":
            refs = node.findall("ParameterInstanceRef")
            op_node = node.find("ComparisonOperator")
            value = node.find("Value")
            if not refs or op_node is None or (value is None and len(refs) < 2):
                raise self._error("Condition needs a ParameterInstanceRef, a ComparisonOperator and a Value", node, container)
            for ref in refs:
                if self._int(ref.get("instance", "0"), ref, container, "instance") != 0:
                    raise self._refuse("conditions on another instance are not supported", ref, container)
            comparison = Comparison(
                parameter=self._ref(refs[0].get("parameterRef", "")),
                operator=self._operator(op_node.text, op_node, container),
                value=value.text.strip() if value is not None else "",
                calibrated=self._bool(refs[0].get("useCalibratedValue"), True),
                line=node.line,
            )
            if value is None:
                comparison.other_parameter = self._ref(refs[1].get("parameterRef", ""))
                comparison.other_calibrated = self._bool(refs[1].get("useCalibratedValue"), True)
            return comparison
        if node.tag in ("ANDedConditions", "ORedConditions"):
            op = "and" if node.tag == "ANDedConditions" else "or"
            return Criteria(op, [self._boolean(child, container) for child in node.children], node.line)
        raise self._refuse(f"{node.tag} in a BooleanExpression is not supported", node, container)
