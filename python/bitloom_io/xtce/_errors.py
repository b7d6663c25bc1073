"""Errors raised while reading an XTCE definition."""

from __future__ import annotations


class XtceError(ValueError):
    """A definition that cannot be read or decoded soundly.

    The message says where: ``path:line: Element 'name': what is wrong``.
    The parts are also attributes: ``path``, ``line``, ``element`` (the XML
    element concerned) and ``name`` (the parameter, type or container).
    """

    def __init__(
        self,
        message: str,
        *,
        element: str | None = None,
        name: str | None = None,
        path: str | None = None,
        line: int | None = None,
    ) -> None:
        self.reason = message
        self.element = element
        self.name = name
        self.path = path
        self.line = line
        super().__init__(self._text())

    def _text(self) -> str:
        where = f"{self.path or '<xtce>'}:{self.line if self.line is not None else '?'}: "
        what = ""
        if self.element:
            what = f"{self.element} " if self.name is None else f"{self.element} {self.name!r}: "
            if self.name is None:
                what = f"{self.element}: "
        elif self.name is not None:
            what = f"{self.name!r}: "
        return where + what + self.reason

    def set_path(self, path: str) -> None:
        self.path = path
        self.args = (self._text(),)

    def __reduce__(self) -> tuple[object, ...]:  # keeps the keyword arguments through pickling
        return (
            _rebuild,
            (type(self), self.reason, self.element, self.name, self.path, self.line),
        )


def _rebuild(
    cls: type[XtceError], reason: str, element: str | None, name: str | None, path: str | None, line: int | None
) -> XtceError:  # pragma: no cover - pickling helper
    return cls(reason, element=element, name=name, path=path, line=line)


class XtceUnsupportedError(XtceError):
    """A construct this reader does not decode (refused rather than guessed)."""


class XtceEncodingNotImplementedError(XtceUnsupportedError, NotImplementedError):
    """A float encoding that bitloom knows by name only (MIL-STD-1750A, DEC, IBM, TI, IEEE 754-1985 80/128)."""


class XtceWarning(UserWarning):
    """Packets left out of the tables, or raw values without an engineering value."""
