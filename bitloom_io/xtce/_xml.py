"""A hardened, streaming reader of XTCE documents.

The document is parsed by expat through ``defusedxml``: entity declarations
(the expansion bombs) and external entities are refused before anything is
expanded or fetched. Elements are kept as small ``Node`` objects that remember
their source line. The definitions that make up the bulk of a file (each
parameter type, parameter and container) are handed to a callback as soon as
they are complete and are not kept in the tree, so memory grows with the
model that is built from them, not with the size of the XML.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import IO, Any, overload

from defusedxml import DTDForbidden, EntitiesForbidden, ExternalReferenceForbidden
from defusedxml.ElementTree import DefusedXMLParser, ParseError

from bitloom_io.xtce._errors import XtceError

# Elements whose children are handed to the callback one by one.
UNIT_PARENTS = frozenset({"ParameterTypeSet", "ParameterSet", "ContainerSet"})

# Sections whose content is not read at all (their elements are counted so
# that the definition can say what it skipped).
SKIPPED_SECTIONS = frozenset({"CommandMetaData", "ServiceSet", "MessageSet", "StreamSet", "AlgorithmSet"})

_CHUNK = 1 << 20


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
    """The element or attribute name without its namespace or prefix."""
    if name[:1] == "{":
        return name[name.index("}") + 1 :]
    return name.rpartition(":")[2]


class _Target:
    """expat target that builds Nodes and passes complete units on."""

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

    def _line(self) -> int:
        return self.expat.CurrentLineNumber if self.expat is not None else 0

    def start(self, tag: str, attrib: dict[str, str]) -> None:
        local = _local(tag)
        if self.skip_depth:
            self.skip_depth += 1
            if local in ("CommandContainer", "MetaCommand"):
                name = next((v for k, v in attrib.items() if _local(k) == "name"), None)
                self.on_skipped_definition(local, name, self._line())
            return
        line = self._line()
        if local in SKIPPED_SECTIONS and self.stack:
            self.skip_depth = 1
            self.on_skipped(local, line)
            return
        node = Node(local, {_local(k): v for k, v in attrib.items()}, line)
        if self.stack:
            parent = self.stack[-1]
            if parent.tag not in UNIT_PARENTS:
                parent.children.append(node)
        else:
            self.root = node
        self.stack.append(node)

    def end(self, tag: str) -> None:
        if self.skip_depth:
            self.skip_depth -= 1
            return
        node = self.stack.pop()
        if self.stack and self.stack[-1].tag in UNIT_PARENTS:
            self.on_unit(self.stack[-1].tag, node)

    def data(self, text: str) -> None:
        if not self.skip_depth and self.stack:
            node = self.stack[-1]
            # Only leaf text matters (values, units, coefficients); long
            # descriptions are kept too, they are small.
            node.text += text

    def close(self) -> Node | None:
        return self.root


def read(
    source: str | os.PathLike[str] | IO[bytes],
    on_unit: Callable[[str, Node], None],
    on_skipped: Callable[[str, int], None],
    on_skipped_definition: Callable[[str, str | None, int], None] = lambda element, name, line: None,
) -> Node:
    """Parse ``source``; returns the root element without the handed-on units."""
    target = _Target(on_unit, on_skipped, on_skipped_definition)
    parser = DefusedXMLParser(target=target, forbid_dtd=False, forbid_entities=True, forbid_external=True)
    target.expat = parser.parser
    where = os.fspath(source) if isinstance(source, (str, os.PathLike)) else getattr(source, "name", "<stream>")
    close = False
    if isinstance(source, (str, os.PathLike)):
        stream: IO[bytes] = open(source, "rb")  # noqa: SIM115 - closed below
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
