"""Packet layouts: compile a recipe once, read and write whole batches."""

from bitloom_io._native import Columns, Field, Layout

__all__ = ["Columns", "Field", "Layout"]

# Layout.diagram(): the layout as a bit diagram (written in Python, over
# Layout.fields; see bitloom_io.diagram).
from bitloom_io.diagram import diagram as _diagram

Layout.diagram = _diagram  # type: ignore[attr-defined]
del _diagram
