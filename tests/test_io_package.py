"""bitloom_io as installed: numpy is its dependency alone. Without numpy,
`import bitloom` works and `import bitloom_io` says what to install."""

import subprocess
import sys
import textwrap

import bitloom_io

HIDE_NUMPY = """
import sys
from importlib.machinery import PathFinder

class NoNumpy(PathFinder):
    @classmethod
    def find_spec(cls, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

sys.meta_path.insert(0, NoNumpy)
"""


def run_without_numpy(code):
    return subprocess.run(
        [sys.executable, "-c", HIDE_NUMPY + textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


def test_bitloom_works_without_numpy():
    result = run_without_numpy("""
        import bitloom
        item = {"name": "t", "encoding": "twos_complement", "bits": 16, "byte_order": "big", "reverse_bits": False,
                "value": -5}
        assert bitloom.unpack_parameters(bitloom.pack_parameters([item]), 0, [item]) == {"t": -5}
        assert "numpy" not in sys.modules
        print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


def test_bitloom_io_without_numpy_says_what_to_install():
    result = run_without_numpy("""
        try:
            import bitloom_io
        except ImportError as e:
            print(type(e).__name__, e.name, "|", e, "|", type(e.__cause__).__name__)
    """)
    assert result.stdout.strip() == (
        "ImportError bitloom_io | bitloom_io needs numpy (2.0 or later): "
        'pip install "bitloom-packets[io]" (from a checkout: pip install ".[io]") | ModuleNotFoundError'
    ), result.stderr


def test_public_names():
    assert sorted(bitloom_io.__all__) == sorted(
        n for n in dir(bitloom_io) if not n.startswith("_") and not isinstance(getattr(bitloom_io, n), type(bitloom_io))
    )
    for name in bitloom_io.__all__:
        assert getattr(bitloom_io, name).__module__.startswith("bitloom_io")


def test_layout_draws_itself():
    layout = bitloom_io.Layout(
        [
            {
                "name": "apid",
                "encoding": "unsigned",
                "bits": 11,
                "byte_order": "big",
                "reverse_bits": False,
                "offset_bits": 5,
            }
        ]
    )
    assert "apid" in layout.diagram() and layout.diagram(16) != layout.diagram()
