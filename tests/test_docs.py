"""The user guide's runnable pages: their Python blocks run in order, in one
namespace, from the repository root, as a reader would paste them."""

from __future__ import annotations

import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"

# Pages whose ```python blocks run in order in one namespace; a ```text block
# after the comment OUTPUT is what the block before it prints (its start,
# when the shown text ends with "...").
RUNNABLE = ["tutorial.md", "xtce.md", "commands.md", "reference/check.md", "reference/recipes.md", "times.md"]
# Pages whose ```python blocks are one program, run as a script (they start
# worker processes, which import the program's main module again).
PROGRAMS = ["dask.md"]
# What a page's code imports beyond bitloom_io and numpy.
NEEDS = {
    "tutorial.md": ("pandas", "pyarrow"),
    "xtce.md": ("defusedxml", "pandas", "pyarrow"),
    "commands.md": ("defusedxml",),
    "dask.md": ("distributed", "dask.dataframe", "pyarrow"),
    "cli.md": ("pyarrow", "defusedxml", "matplotlib"),
    "times.md": ("defusedxml", "pandas", "pyarrow", "polars", "xarray", "matplotlib"),
}
OUTPUT = "<!-- output -->"

BLOCK = re.compile(r"^```(\w+)\n(.*?)^```", re.S | re.M)


def blocks(page: str, kind: str = "python") -> list[str]:
    return [code for k, code in BLOCK.findall((DOCS / page).read_text(encoding="utf-8")) if k == kind]


def shown_outputs(page: str) -> dict[int, str]:
    """{number of a python block: the text shown as its output}."""
    text = (DOCS / page).read_text(encoding="utf-8")
    shown: dict[int, str] = {}
    number = 0
    for match in BLOCK.finditer(text):
        kind, code = match.groups()
        if kind == "python":
            number += 1
        elif kind == "text" and text[: match.start()].rstrip().endswith(OUTPUT):
            shown[number] = code
    return shown


def _need(page: str) -> None:
    for module in NEEDS.get(page, ()):
        pytest.importorskip(module)


def assert_shown(page: str, number: int, shown: str, printed: str) -> None:
    if shown.rstrip().endswith("..."):
        head = shown.rstrip()[:-3]
        assert printed.startswith(head), f"{page}, block {number} prints:\n{printed}"
    else:
        assert printed == shown, f"{page}, block {number} prints:\n{printed}"


@pytest.mark.parametrize("page", RUNNABLE)
def test_page_runs(page, monkeypatch, capsys):
    _need(page)
    code = blocks(page)
    assert code, f"{page} has no Python blocks"
    shown = shown_outputs(page)
    monkeypatch.chdir(ROOT)
    namespace: dict[str, object] = {"__name__": "__docs__"}
    for number, block in enumerate(code, 1):
        capsys.readouterr()
        try:
            exec(compile(block, f"{page} block {number}", "exec"), namespace)
        except Exception as error:
            raise AssertionError(f"{page}, block {number} failed:\n{block}") from error
        if number in shown:
            assert_shown(page, number, shown[number], capsys.readouterr().out)


@pytest.mark.parametrize("page", PROGRAMS)
def test_program_page_runs(page, tmp_path):
    _need(page)
    program = tmp_path / "page.py"
    program.write_text("\n".join(blocks(page)), encoding="utf-8")
    result = subprocess.run([sys.executable, str(program)], cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    for number, text in shown_outputs(page).items():
        assert_shown(page, number, text, result.stdout)


def _commands(page: str) -> list[tuple[str, str | None]]:
    """The shell commands a page shows: ```sh lines (bitloom-io and
    programs of examples/; installs and make targets are not run here), and
    ```text blocks of "$ bitloom-io ..." with the output shown after it."""
    out: list[tuple[str, str | None]] = []
    for line in "\n".join(blocks(page, "sh")).splitlines():
        line = line.split("  #")[0].strip()
        if line.startswith(("bitloom-io ", "python examples/")):
            out.append((line, None))
    for text in blocks(page, "text"):
        if text.startswith("$ bitloom-io "):
            command, _, shown = text.partition("\n")
            out.append((command[2:], shown))
    return out


SHELL_PAGES = ["cli.md", "tutorial.md", "dask.md", "xtce.md", "index.md", "times.md"]


@pytest.mark.parametrize(
    "page, command, shown",
    [(page, command, shown) for page in SHELL_PAGES for command, shown in _commands(page)],
    ids=lambda value: value[:60] if isinstance(value, str) else "",
)
def test_shell_commands_run_as_shown(page, command, shown):
    _need(page)
    words = shlex.split(command)
    argv = (
        [sys.executable, "-m", "bitloom_io", *words[1:]] if words[0] == "bitloom-io" else [sys.executable, *words[1:]]
    )
    result = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    if shown is not None:
        assert result.stdout == shown


def test_every_page_is_in_the_navigation():
    nav = (ROOT / "mkdocs.yml").read_text(encoding="utf-8")
    for page in DOCS.rglob("*.md"):
        assert str(page.relative_to(DOCS)) in nav, page


def test_readme_links_into_the_guide_resolve():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    links = re.findall(r"\]\((docs/[^)#]+)(?:#([^)]+))?\)", readme)
    assert links
    for target, anchor in links:
        text = (ROOT / target).read_text(encoding="utf-8")
        if anchor:
            headings = {
                re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
                for h in re.findall(r"^#+ (.*)$", text, re.M)
            }
            assert anchor in headings, (target, anchor)
