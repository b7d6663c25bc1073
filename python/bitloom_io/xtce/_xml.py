"""A hardened reader of XTCE documents.

Elements are kept as small objects that remember their source line. The
definitions that make up the bulk of a file (each parameter type, parameter
and container) are handed to a callback one by one and are not kept in the
tree.

The common form of these files is read by the package's native reader, whose
elements have the same attributes and methods as ``Node``. Everything else
(another encoding, a document type declaration, a document that is not
well-formed) is parsed by expat through ``defusedxml``: entity declarations
(the expansion bombs) and external entities are refused before anything is
expanded or fetched, and expat's messages say what is wrong with a document.
"""

from __future__ import annotations

import io
import os
from collections.abc import Callable
from typing import IO, Any, overload

from defusedxml import DTDForbidden, EntitiesForbidden, ExternalReferenceForbidden
from defusedxml.ElementTree import DefusedXMLParser, ParseError

from bitloom_io._sources import open_file
from bitloom_io.xtce._errors import XtceError

# Elements whose children are handed to the callback one by one.
UNIT_PARENTS = frozenset({"ParameterTypeSet", "ParameterSet", "ContainerSet"})

# Sections whose content is not read at all (their elements are counted so
# that the definition can say what it skipped).
SKIPPED_SECTIONS = frozenset({"CommandMetaData", "ServiceSet", "MessageSet", "StreamSet", "AlgorithmSet"})

_CHUNK = 1 << 20

# The elements whose text is read; the text of all others (indentation,
# mostly) is not even handed to Python.
TEXT_ELEMENTS = frozenset(
    {
        "Unit",
        "FixedValue",
        "LongDescription",
        "ShortDescription",
        "AncillaryData",
        "ComparisonOperator",
        "Value",
        "TerminationChar",
        "Epoch",
        "ValueOperand",
        "Operator",
        "Polynomial",
        "InitRemainder",
        "FinalXOR",
    }
)


class Node:
    """One XML element: local name, attributes, children, text and line."""

    __slots__ = ("tag", "attrib", "children", "text", "line")

    def __init__(self, tag: str, attrib: dict[str, str], line: int) -> None:
        self.tag = tag
        self.attrib = attrib
        self.children: list[Node] = []
        self.text = ""
        self.line = line

    @overload
    def get(self, key: str) -> str | None: ...
    @overload
    def get(self, key: str, default: str) -> str: ...
    def get(self, key: str, default: str | None = None) -> str | None:
        return self.attrib.get(key, default)

    def find(self, tag: str) -> Node | None:
        for child in self.children:
            if child.tag == tag:
                return child
        return None

    def findall(self, tag: str) -> list[Node]:
        return [child for child in self.children if child.tag == tag]

    def __repr__(self) -> str:  # pragma: no cover - debugging aid
        return f"<{self.tag} line {self.line} {self.attrib}>"


def _local(name: str) -> str:
    """An element or attribute name as expat gives it (``uri}local``, or
    ``prefix:local`` outside any namespace) without its namespace or prefix."""
    name = name[name.find("}") + 1 :]
    if ":" in name:
        name = name.rpartition(":")[2]
    return name


class _Target:
    """expat handlers that build Nodes and pass complete units on.

    They are installed on the expat parser itself (the hardened parser's
    entity handlers stay in place), which spares a Python layer per element.
    """

    def __init__(
        self,
        on_unit: Callable[[str, Node], None],
        on_skipped: Callable[[str, int], None],
        on_skipped_definition: Callable[[str, str | None, int], None],
    ) -> None:
        self.on_unit = on_unit
        self.on_skipped = on_skipped
        self.on_skipped_definition = on_skipped_definition
        self.expat: Any = None  # set once the parser exists
        self.stack: list[Node] = []
        self.root: Node | None = None
        self.skip_depth = 0
        # Text arrives in many pieces (one per entity reference, one per
        # buffer): pieces are joined once, at the element's end, so that a
        # long description costs its length, not its length squared.
        self.pieces: list[list[str]] = []
        self.names: dict[str, str] = {}  # expat's element names -> local names (a file uses a few dozen)

    def _line(self) -> int:
        return self.expat.CurrentLineNumber if self.expat is not None else 0

    @staticmethod
    def _attributes(pairs: list[str]) -> dict[str, str]:
        """expat's ordered attribute list as a dict keyed by local names."""
        keys = pairs[::2]
        joined = "".join(keys)
        if "}" in joined or ":" in joined:
            keys = [_local(key) for key in keys]
        return dict(zip(keys, pairs[1::2]))

    def start(self, tag: str, pairs: list[str]) -> None:
        local = self.names.get(tag)
        if local is None:
            local = self.names[tag] = _local(tag)
        if self.skip_depth:
            self.skip_depth += 1
            if local in SKIPPED_DEFINITIONS:
                name = self._attributes(pairs).get("name")
                self.on_skipped_definition(local, name, self._line())
            return
        line = self.expat.CurrentLineNumber
        if local in SKIPPED_SECTIONS and self.stack:
            self.skip_depth = 1
            self.on_skipped(local, line)
            return
        node = Node(local, self._attributes(pairs) if pairs else {}, line)
        if local in TEXT_ELEMENTS:
            self.pieces.append([])
            self.expat.CharacterDataHandler = self.data
        if self.stack:
            parent = self.stack[-1]
            if parent.tag not in UNIT_PARENTS:
                parent.children.append(node)
        else:
            self.root = node
        self.stack.append(node)

    def end(self, tag: str) -> None:  # noqa: ARG002 - expat passes the name
        if self.skip_depth:
            self.skip_depth -= 1
            return
        node = self.stack.pop()
        if node.tag in TEXT_ELEMENTS:
            node.text = "".join(self.pieces.pop())
            self.expat.CharacterDataHandler = self.data if self.pieces else None
        if self.stack and self.stack[-1].tag in UNIT_PARENTS:
            self.on_unit(self.stack[-1].tag, node)

    def data(self, text: str) -> None:
        # Installed inside the elements of TEXT_ELEMENTS; expat may still hand
        # over text that follows the last of them before it sees the change.
        if self.pieces:
            self.pieces[-1].append(text)

    def close(self) -> Node | None:
        return self.root


# Elements inside skipped sections whose names are still collected.
SKIPPED_DEFINITIONS = ("CommandContainer", "MetaCommand")


def read(
    source: str | os.PathLike[str] | IO[bytes],
    on_unit: Callable[[str, Node], None],
    on_skipped: Callable[[str, int], None],
    on_skipped_definition: Callable[[str, str | None, int], None] = lambda element, name, line: None,
) -> Node:
    """Parse ``source``; returns the root element without the handed-on units.

    The common form of these files (UTF-8, no document type declaration, no
    entities beyond the predefined ones) is read by the native reader, which
    checks the whole document before a single unit is handed on, so a
    document it does not take is read by expat from the start, with expat's
    own messages for what is wrong with it. Both give the same tree, units
    and skipped sections, in the same order.
    """
    where = os.fspath(source) if isinstance(source, (str, os.PathLike)) else getattr(source, "name", "<stream>")
    if isinstance(source, (str, os.PathLike)):
        with open_file(source) as stream:
            data = stream.read()
    else:
        data = source.read()
        if isinstance(data, str):  # a text stream: expat reads it as it is
            return read_expat(io.StringIO(data), on_unit, on_skipped, on_skipped_definition, where=str(where))  # type: ignore[arg-type]
    from bitloom_io._native import read_xml

    try:
        root = read_xml(
            data,
            UNIT_PARENTS,
            SKIPPED_SECTIONS,
            TEXT_ELEMENTS,
            SKIPPED_DEFINITIONS,
            on_unit,
            on_skipped,
            on_skipped_definition,
        )
    except XtceError as error:
        if error.path is None:
            error.set_path(str(where))
        raise
    if root is None:
        return read_expat(io.BytesIO(data), on_unit, on_skipped, on_skipped_definition, where=str(where))
    return root  # type: ignore[no-any-return]


def read_expat(
    source: str | os.PathLike[str] | IO[bytes],
    on_unit: Callable[[str, Node], None],
    on_skipped: Callable[[str, int], None],
    on_skipped_definition: Callable[[str, str | None, int], None] = lambda element, name, line: None,
    *,
    where: str | None = None,
) -> Node:
    """:func:`read` with expat alone, streaming the document in steps."""
    target = _Target(on_unit, on_skipped, on_skipped_definition)
    parser = DefusedXMLParser(target=target, forbid_dtd=False, forbid_entities=True, forbid_external=True)
    expat = parser.parser
    target.expat = expat
    # Elements and text straight to the target; entity declarations and
    # external references still reach the hardened parser's handlers.
    expat.ordered_attributes = True
    expat.StartElementHandler = target.start
    expat.EndElementHandler = target.end
    if where is None:
        where = os.fspath(source) if isinstance(source, (str, os.PathLike)) else getattr(source, "name", "<stream>")
    close = False
    if isinstance(source, (str, os.PathLike)):
        stream: IO[bytes] = open_file(source)  # noqa: SIM115 - closed below
        close = True
    else:
        stream = source
    try:
        while chunk := stream.read(_CHUNK):
            parser.feed(chunk)
        root = parser.close()
    except EntitiesForbidden as error:
        raise XtceError(
            f"entity declaration {error.name!r} refused: XTCE files are read without DTD entities "
            "(an entity can expand to gigabytes)",
            element="!ENTITY",
            path=where,
            line=target._line(),
        ) from None
    except ExternalReferenceForbidden as error:
        raise XtceError(
            f"external reference {error.sysid!r} refused: XTCE files are read without fetching anything",
            element="!ENTITY",
            path=where,
            line=target._line(),
        ) from None
    except DTDForbidden as error:  # pragma: no cover - DTDs are allowed, only entities are refused
        raise XtceError(f"DTD refused: {error}", path=where, line=target._line()) from None
    except ParseError as error:
        line = error.position[0] if getattr(error, "position", None) else target._line()
        raise XtceError(f"not well-formed XML: {error}", path=where, line=line) from None
    except LookupError as error:  # the declaration names an encoding Python does not know
        raise XtceError(f"the XML declaration's encoding: {error}", path=where, line=1) from None
    except XtceError as error:
        if error.path is None:
            error.set_path(where)
        raise
    finally:
        if close:
            stream.close()
    if not isinstance(root, Node):  # pragma: no cover - expat refuses an empty document first
        raise XtceError("no XML element in the file", path=where, line=0)
    return root
