"""Engineering values that are not a polynomial, a spline or a label: math
calibrators (postfix programs over whole columns) and times."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import numpy as np

from bitloom_io.timecodes import counted_times
from bitloom_io.xtce._model import Calibrator, ParameterType

_BINARY: dict[str, Callable[[Any, Any], Any]] = {
    "+": np.add,
    "-": np.subtract,
    "*": np.multiply,
    "/": np.true_divide,
    "%": np.fmod,
    "^": np.power,
    "y^x": np.power,
    "atan2": lambda y, x: np.degrees(np.arctan2(y, x)),
    "==": np.equal,
    "!=": np.not_equal,
    "<": np.less,
    "<=": np.less_equal,
    ">": np.greater,
    ">=": np.greater_equal,
    "&&": np.logical_and,
    "||": np.logical_or,
}
_INTEGER = {"&": np.bitwise_and, "|": np.bitwise_or, "<<": np.left_shift, ">>": np.right_shift}
_UNARY: dict[str, Callable[[np.ndarray], Any]] = {
    "ln": np.log,
    "log": np.log10,
    "e^x": np.exp,
    "1/x": lambda x: 1.0 / x,
    # The standard's trigonometric operators work in degrees.
    "tan": lambda x: np.tan(np.radians(x)),
    "cos": lambda x: np.cos(np.radians(x)),
    "sin": lambda x: np.sin(np.radians(x)),
    "atan": lambda x: np.degrees(np.arctan(x)),
    "abs": np.abs,
    "!": np.logical_not,
    "~": lambda x: np.invert(x.astype(np.int64)),
    "x!": np.vectorize(lambda v: math.gamma(v + 1.0), otypes=[np.float64]),
}


def evaluate(calibrator: Calibrator, x: np.ndarray, operands: list[np.ndarray] | None = None) -> np.ndarray:
    """Runs a MathOperationCalibrator's postfix program over a column (and the
    columns of the other parameters it reads, ``operands``); the result is
    float64 (whatever the raw type, the value is not rounded)."""
    stack: list[np.ndarray] = []
    with np.errstate(all="ignore"):
        for operator, value in calibrator.program:
            if operator == "value":
                stack.append(np.full(len(x), value))
            elif operator == "this":
                stack.append(x)
            elif operator == "param":
                assert operands is not None
                stack.append(operands[int(value)])
            elif operator == "dup":
                stack.append(stack[-1])
            elif operator == "drop":
                stack.pop()
            elif operator == "swap":
                stack[-1], stack[-2] = stack[-2], stack[-1]
            elif operator == "over":
                stack.append(stack[-2])
            elif operator in _UNARY:
                stack.append(np.asarray(_UNARY[operator](stack.pop()), dtype=np.float64))
            else:
                right, left = stack.pop(), stack.pop()
                if operator in _INTEGER:
                    result = _INTEGER[operator](left.astype(np.int64), right.astype(np.int64))
                else:
                    result = _BINARY[operator](left, right)
                stack.append(np.asarray(result, dtype=np.float64))
    if len(stack) != 1:
        raise ValueError(f"a math calibrator left {len(stack)} values instead of one")
    return np.asarray(stack[0], dtype=np.float64)


def times(ptype: ParameterType, value: np.ndarray) -> tuple[np.ndarray, np.ndarray | None]:
    """``value * scale + offset`` seconds as ``timedelta64[ns]``, or for an
    absolute time from its epoch, as ``datetime64[ns]`` in UTC read as a CUC
    item of that epoch reads (TAI-based epochs through the leap-second
    table; the column's dtype carries its scale and how it was read). Beside
    it, for a TAI-based epoch, the flags of the times that fall in a leap
    second (which a ``datetime64`` shows as the second before it); else None."""
    epoch = ptype.epoch if ptype.kind == "absolute_time" else None
    out = counted_times(value, ptype.time_scale, ptype.time_offset, epoch)
    column = out["t"]
    if epoch is None:
        return column, None
    meta = {
        "scale": "utc",
        "time_code": f"XTCE {ptype.name}: count * {ptype.time_scale:g} + {ptype.time_offset:g} s from {epoch}",
    }
    return column.view(np.dtype("M8[ns]", metadata=meta)), out.get("t_leap")


def from_text(ptype: ParameterType, raw: np.ndarray) -> tuple[np.ndarray, int]:
    """The engineering values of a number, enumeration or boolean type over a
    string encoding, and how many texts give none: numbers are parsed
    (float64, NaN where the text is no number), an enumeration's text is its
    integer value, a boolean's text is one of its two labels."""
    texts = [str(text).strip() for text in np.ma.getdata(raw).tolist()]
    if ptype.kind == "boolean":
        zero, one = ptype.boolean_labels
        missing = sum(text not in (zero, one) for text in texts)
        return np.array([text == one for text in texts], dtype=bool), missing
    numbers = []
    for text in texts:
        try:
            numbers.append(float(int(text, 0)) if ptype.kind == "enumerated" else float(text))
        except ValueError:
            numbers.append(math.nan)
    values = np.array(numbers, dtype=np.float64)
    missing = int(np.isnan(values).sum())
    if ptype.kind != "enumerated":
        return values, missing
    labels = []
    for value in values.tolist():
        label = ""
        for low, high, text in ptype.enumeration:
            if low <= value <= high:
                label = text
                break
        labels.append(label)
    missing = sum(not label for label in labels)
    return np.array(labels, dtype=np.dtypes.StringDType()), missing
