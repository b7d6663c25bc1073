"""scripts/check_wheel.py, which make sdist-check runs on the built wheel:
it must pass a complete wheel and catch each kind of incomplete one."""

import importlib.machinery
import importlib.util
import zipfile
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / "scripts" / "check_wheel.py"
module_spec = importlib.util.spec_from_file_location("check_wheel", SCRIPT)
check_wheel = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(check_wheel)

METADATA = {
    "Metadata-Version": "2.4",
    "Name": "bitloom-packets",
    "Version": "0.1.0",
    "Summary": "packets",
    "License-Expression": "MIT",
    "Classifier": "Typing :: Typed",
    "Requires-Python": ">=3.13",
    "Description-Content-Type": "text/markdown",
}
IO_FILES = [
    "bitloom_io/__init__.py",
    "bitloom_io/_check.py",
    "bitloom_io/py.typed",
    "bitloom_io/_native.pyi",
    "bitloom_io/xtce/__init__.py",
    "bitloom_io/_native.cpython-313-x86_64-linux-gnu.so",
]
GOOD_FILES = ["bitloom.cpython-313-x86_64-linux-gnu.so", "bitloom-stubs/__init__.pyi", *IO_FILES]
NO_IO = GOOD_FILES[:2]


def make_wheel(path, files=GOOD_FILES, **metadata_changes):
    metadata = {**METADATA, **metadata_changes}
    text = "".join(f"{k}: {v}\n" for k, v in metadata.items() if v is not None)
    with zipfile.ZipFile(path, "w") as wheel:
        for name in files:
            wheel.writestr(name, "")
        wheel.writestr("bitloom-0.1.0.dist-info/METADATA", text)
        wheel.writestr("bitloom-0.1.0.dist-info/licenses/LICENSE", "MIT")
    return str(path)


def test_complete_wheel_passes(tmp_path):
    assert check_wheel.main(make_wheel(tmp_path / "w.whl")) == 0


@pytest.mark.parametrize(
    "files, metadata, complaint",
    [
        (GOOD_FILES[:1] + IO_FILES, {}, "bitloom-stubs/__init__.pyi is missing"),
        (GOOD_FILES[1:], {}, "expected one extension module"),
        (NO_IO, {}, "bitloom_io/__init__.py is missing"),
        ([f for f in GOOD_FILES if f != "bitloom_io/py.typed"], {}, "bitloom_io/py.typed is missing"),
        ([f for f in GOOD_FILES if f != "bitloom_io/_native.pyi"], {}, "bitloom_io/_native.pyi is missing"),
        ([f for f in GOOD_FILES if not f.endswith("gnu.so")] + GOOD_FILES[:1], {}, "one bitloom_io._native"),
        (GOOD_FILES + ["bitloom_io/_native.cp313-win_amd64.pyd"], {}, "one bitloom_io._native"),
        (GOOD_FILES + ["bitloom_io/__pycache__/_check.cpython-313.pyc"], {}, "unexpected files"),
        (GOOD_FILES + ["bitloom_io/layout.cpp"], {}, "unexpected files"),
        (GOOD_FILES + ["bitloom.cp313-win_amd64.pyd"], {}, "expected one extension module"),
        (GOOD_FILES + ["src/args.cpp"], {}, "unexpected files"),
        (GOOD_FILES, {"Requires-Python": ">=3.8"}, "Requires-Python"),
        (GOOD_FILES, {"License-Expression": None}, "License-Expression"),
        (GOOD_FILES, {"Summary": None}, "Summary is missing"),
        (GOOD_FILES, {"Classifier": None}, "no classifiers"),
    ],
)
def test_incomplete_wheel_fails(tmp_path, capsys, files, metadata, complaint):
    assert check_wheel.main(make_wheel(tmp_path / "w.whl", files, **metadata)) == 1
    assert complaint in capsys.readouterr().err


# --- scripts/check-layers: what each folder of src/ may include ---------------

LAYERS_SCRIPT = SCRIPT.parent / "check-layers"
layers_loader = importlib.machinery.SourceFileLoader("check_layers", str(LAYERS_SCRIPT))
check_layers = importlib.util.module_from_spec(importlib.util.spec_from_loader("check_layers", layers_loader))
layers_loader.exec_module(check_layers)


def test_the_source_tree_keeps_its_layers():
    assert check_layers.check() == []


@pytest.mark.parametrize(
    "path, text, complaint",
    [
        ("io/kernels/k.cpp", '#include "python.hpp"\n', 'includes "python.hpp", which src/io/kernels/ may not'),
        ("io/kernels/k.cpp", "void f(PyObject* o);\n", "uses the interpreter's names (PyObject)"),
        ("io/splitter/s.cpp", '#include "io/kernels/batch.hpp"\n', "which src/io/splitter/ may not"),
        ("io/splitter/s.cpp", "#include <unistd.h>\n", "a system header, allowed in src/common/platform.hpp and"),
        ("common/c.hpp", "using wide = __int128;\n", "compiler- or system-specific name"),
        ("io/glue/g.cpp", 'const char* doc = "madvise(advice)";\nint n = sysconf(1);\n', "system-specific name"),
        ("common/c.hpp", '#include "codecs/codec_table.hpp"\n', "which src/common/ may not"),
        ("encoder/e.cpp", '#include "decoder/text.hpp"\n', "which src/encoder/ may not"),
        ("codecs/t.hpp", '#include "packet/read_item.hpp"\n', "which src/codecs/ may not"),
        ("packet/p.cpp", '#include "io/glue/parts.hpp"\n', "which src/packet/ may not"),
        ("functions.cpp", '#include "io/kernels/layout.hpp"\n', "which src/ may not"),
        (
            "io/glue/g.cpp",
            "#include <numpy/ndarrayobject.h>\n",
            "numpy's headers, allowed in src/io/glue/numpy_api.cpp only",
        ),
        ("io/glue/g.cpp", "#include <Python.h>\n", "the interpreter's header, allowed in src/python.hpp only"),
        ("extra/x.cpp", "", "src/extra/ is not a known folder"),
    ],
)
def test_layer_violations_are_reported(tmp_path, path, text, complaint):
    (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / path).write_text("// A comment may say #include \"python.hpp\" or PyObject.\n" + text)
    problems = check_layers.check(tmp_path)
    assert len(problems) == 1 and complaint in problems[0], problems
