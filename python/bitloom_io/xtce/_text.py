"""Text found inside a field read whole: up to a terminator, or as many
bytes as a leading size tag says.

The field's bits are fixed or taken from another field, so the layout reads
it as bytes; the text is cut out of them here, packet by packet, and decoded
with the same routines that decode text fields in a layout.
"""

from __future__ import annotations

from typing import Any

import numpy as np

import bitloom
from bitloom_io.xtce._model import Encoding

UNIT_BYTES = {"utf16": 2, "utf16le": 2, "utf16be": 2, "utf32": 4, "utf32le": 4, "utf32be": 4}


def texts(encoding: Encoding, column: Any, parameter: str) -> np.ndarray:
    """The text of each packet's field (``column``: its bytes, one entry per packet)."""
    decode = getattr(bitloom, "decode_" + encoding.codec)
    unit = UNIT_BYTES.get(encoding.codec, 1)
    out: list[str] = []
    tag = encoding.size_tag_bits // 8
    terminator = encoding.terminator
    for k, raw in enumerate(np.ma.getdata(column).tolist()):
        if tag:
            count = int.from_bytes(raw[:tag], "little" if encoding.byte_order == "little" else "big")
            if tag + count > len(raw):
                raise ValueError(
                    f"packet {k}: the size tag of {parameter!r} says {count} bytes of text, "
                    f"but its field holds {len(raw) - tag} after the tag"
                )
            text = raw[tag : tag + count]
        elif terminator is not None:
            # The terminator ends the text only at a code-unit boundary; a
            # field without one is text from end to end.
            at = raw.find(terminator)
            while at >= 0 and at % unit:
                at = raw.find(terminator, at + 1)
            text = raw if at < 0 else raw[:at]
        else:  # pragma: no cover - only fields with a terminator or a tag come here
            text = raw
        try:
            out.append(decode(text))
        except ValueError as error:
            error.add_note(f"in packet {k}'s text of {parameter!r}")
            raise
    return np.array(out, dtype=np.dtypes.StringDType())
