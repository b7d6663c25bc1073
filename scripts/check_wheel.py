"""Checks what a built bitloom wheel holds: the bitloom extension module and
its stub package, the bitloom_io package (Python files, type information and
its own extension module), the project metadata, and nothing from the source
tree."""

import sys
import zipfile
from email.parser import Parser


REQUIRED = ["bitloom-stubs/__init__.pyi", "bitloom_io/__init__.py", "bitloom_io/py.typed", "bitloom_io/_native.pyi"]


def main(path: str) -> int:
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        metadata = Parser().parsestr(wheel.read(f"{dist_info}/METADATA").decode())

    problems = []
    extensions = [n for n in names if "/" not in n and n.startswith("bitloom.") and n.endswith((".so", ".pyd"))]
    if len(extensions) != 1:
        problems.append(f"expected one extension module at the top level, found {extensions}")
    for required in REQUIRED:
        if required not in names:
            problems.append(f"{required} is missing")
    natives = [n for n in names if n.startswith("bitloom_io/_native.") and n.endswith((".so", ".pyd"))]
    if len(natives) != 1:
        problems.append(f"expected one bitloom_io._native extension module, found {natives}")
    package = [
        n
        for n in names
        if n.startswith("bitloom_io/") and "/__pycache__/" not in n and n.endswith((".py", ".pyi", "/py.typed"))
    ]
    stray = [
        n
        for n in names
        if n not in extensions + natives + package and not n.startswith(("bitloom-stubs/", dist_info + "/"))
    ]
    if stray:
        problems.append(f"unexpected files: {stray}")

    expected = {"Name": "bitloom-packets", "Requires-Python": ">=3.13", "License-Expression": "MIT"}
    for field, value in expected.items():
        if metadata.get(field) != value:
            problems.append(f"metadata {field} is {metadata.get(field)!r}, expected {value!r}")
    for field in ("Version", "Summary", "Description-Content-Type"):
        if not metadata.get(field):
            problems.append(f"metadata {field} is missing")
    if not metadata.get_all("Classifier"):
        problems.append("metadata has no classifiers")

    for problem in problems:
        print(f"check_wheel: {problem}", file=sys.stderr)
    if not problems:
        print(f"check_wheel: {len(names)} files, metadata complete")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
