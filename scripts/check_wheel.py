"""Checks what a built bitloom wheel holds: the extension module, the stub
package and the project metadata, and nothing from the source tree."""

import sys
import zipfile
from email.parser import Parser


def main(path: str) -> int:
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        metadata = Parser().parsestr(wheel.read(f"{dist_info}/METADATA").decode())

    problems = []
    extensions = [n for n in names if "/" not in n and n.startswith("bitloom.") and n.endswith((".so", ".pyd"))]
    if len(extensions) != 1:
        problems.append(f"expected one extension module at the top level, found {extensions}")
    if "bitloom-stubs/__init__.pyi" not in names:
        problems.append("bitloom-stubs/__init__.pyi is missing")
    stray = [n for n in names if n not in extensions and not n.startswith(("bitloom-stubs/", dist_info + "/"))]
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
