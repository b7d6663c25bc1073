"""The README's examples, run as they stand: the `>>>` sessions as one
doctest, each ```python block as a program of its own."""

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
PYTHON_BLOCK = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def test_readme_examples():
    result = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 20
    assert result.failed == 0


def python_blocks():
    """Each block, padded with blank lines so that a traceback gives its README line."""
    text = README.read_text(encoding="utf-8")
    blocks = []
    for match in PYTHON_BLOCK.finditer(text):
        first_line = text.count("\n", 0, match.start()) + 2
        blocks.append(pytest.param("\n" * (first_line - 1) + match.group(1), id=f"line {first_line}"))
    return blocks


@pytest.mark.parametrize("source", python_blocks())
def test_readme_programs(source):
    exec(compile(source, str(README), "exec"), {"__name__": "readme_example"})
