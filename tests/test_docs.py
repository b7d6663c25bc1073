"""The user guide's runnable pages: their Python blocks run in order, in one
namespace, from the repository root, as a reader would paste them."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"

# Pages whose every ```python block runs; the others show fragments.
RUNNABLE = ["tutorial.md", "xtce.md", "times.md"]
# What a page's code imports beyond bitloom_io and numpy.
NEEDS = {"tutorial.md": ("pandas", "pyarrow"), "xtce.md": ("defusedxml", "pandas"),
         "times.md": ("defusedxml", "pandas", "pyarrow", "polars", "xarray", "matplotlib")}

BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def blocks(page: str) -> list[str]:
    return BLOCK.findall((DOCS / page).read_text(encoding="utf-8"))


@pytest.mark.parametrize("page", RUNNABLE)
def test_page_runs(page, monkeypatch, capsys):
    for module in NEEDS.get(page, ()):
        pytest.importorskip(module)
    code = blocks(page)
    assert code, f"{page} has no Python blocks"
    monkeypatch.chdir(ROOT)
    namespace: dict[str, object] = {"__name__": "__docs__"}
    for number, block in enumerate(code, 1):
        try:
            exec(compile(block, f"{page} block {number}", "exec"), namespace)
        except Exception as error:
            raise AssertionError(f"{page}, block {number} failed:\n{block}") from error
    assert capsys.readouterr().out


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
