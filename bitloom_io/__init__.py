"""Packet layouts: compile a recipe once, read and write whole batches."""

from bitloom_io._native import Columns, Field, Layout

__all__ = ["Columns", "Field", "Layout"]
