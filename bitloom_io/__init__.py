"""bitloom_io: packet files into columns."""

from . import ccsds
from .ccsds import StreamSummary, StreamWarning, SequenceWarning

__all__ = ["ccsds", "StreamSummary", "StreamWarning", "SequenceWarning"]
