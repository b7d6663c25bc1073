import importlib.metadata
import inspect
import os
import pydoc
import subprocess
import sys
import textwrap

import pytest

import bitloom

EXPECTED_ORDER = """
unpack_parameters pack_parameters decode_ones_complement decode_twos_complement decode_sign_magnitude
decode_unpacked_bcd decode_packed_bcd decode_ieee754_f16 decode_ieee754_f32 decode_ieee754_f64
decode_ieee754_f128 decode_ieee754_1985_f32 decode_ieee754_1985_f64 decode_ieee754_1985_f80
decode_mil_std_1750a_f32 decode_mil_std_1750a_f48 decode_dec_f32 decode_dec_f64 decode_ibm_f32
decode_ibm_f64 decode_ti_f32 decode_ti_f40 decode_us_ascii decode_iso_8859_1 decode_windows_1252
decode_utf8 decode_utf16 decode_utf16le decode_utf16be decode_utf32 decode_utf32le decode_utf32be
encode_ones_complement encode_twos_complement encode_sign_magnitude encode_unpacked_bcd encode_packed_bcd
encode_ieee754_f16 encode_ieee754_f32 encode_ieee754_f64 encode_ieee754_f128 encode_ieee754_1985_f32
encode_ieee754_1985_f64 encode_ieee754_1985_f80 encode_mil_std_1750a_f32 encode_mil_std_1750a_f48
encode_dec_f32 encode_dec_f64 encode_ibm_f32 encode_ibm_f64 encode_ti_f32 encode_ti_f40
encode_us_ascii encode_iso_8859_1 encode_windows_1252 encode_utf8 encode_utf16 encode_utf16le
encode_utf16be encode_utf32 encode_utf32le encode_utf32be
""".split()


def expected_parameters(name):
    if name == "unpack_parameters":
        return "(packet_bytes, offset_bits, recipe)"
    if name == "pack_parameters":
        return "(recipe)"
    if name.endswith("_bcd"):
        return "(value, bits, signed=False)"
    fmt = name.split("_", 1)[1]
    if fmt in ("ones_complement", "twos_complement", "sign_magnitude"):
        return "(value, bits)"
    if fmt in ("ieee754_f16", "ieee754_f32", "ieee754_f64") or name == "decode_ieee754_f128":
        return "(value)"
    if name.startswith("encode_") and not fmt.startswith(("utf", "us_", "iso", "windows")):
        return "(_value)"
    if name.startswith("decode_") and not fmt.startswith(("utf", "us_", "iso", "windows")):
        return "(_value)"
    return "(text)" if name.startswith("encode_") else "(bytes)"


def test_all_lists_the_functions_in_table_order():
    assert bitloom.__all__ == EXPECTED_ORDER
    assert type(bitloom.__all__) is list


def test_module_publishes_nothing_else():
    public = {k for k in vars(bitloom) if not k.startswith("__")}
    assert public == set(EXPECTED_ORDER)


@pytest.mark.parametrize("name", EXPECTED_ORDER)
def test_function_surface(name):
    fn = getattr(bitloom, name)
    assert fn.__name__ == name
    assert fn.__module__ == "bitloom"
    assert str(inspect.signature(fn)) == expected_parameters(name)
    assert fn.__text_signature__ == expected_parameters(name)
    # The docstring follows the signature line: what the function does, then
    # a paragraph on what it raises.
    doc = fn.__doc__
    assert doc and not doc.startswith((name, "(", "--", "\n")), doc
    summary, *rest = doc.split("\n\n")
    assert summary.endswith(".") and rest and rest[-1].startswith("Raises "), doc
    assert "NotImplementedError" in doc if "1985" in name or name.split("_")[1] in ("ti", "dec", "ibm", "mil") else True
    help_text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
    assert f"{name}{expected_parameters(name)}\n" in help_text and summary.splitlines()[0] in help_text


def test_stubs_carry_the_same_docstrings():
    import ast

    stub = os.path.join(os.path.dirname(__file__), os.pardir, "bitloom-stubs", "__init__.pyi")
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    docs = {node.name: ast.get_docstring(node) for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert docs == {name: getattr(bitloom, name).__doc__ for name in EXPECTED_ORDER}


def test_version_is_the_package_version():
    assert bitloom.__version__ == importlib.metadata.version("bitloom-packets")
    assert "__version__" not in bitloom.__all__


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("bitloom")
    try:
        import bitloom as again

        assert again is first
        assert again.__all__ is first.__all__
    finally:
        sys.modules["bitloom"] = first


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_second_interpreter_is_refused():
    result = run_python(
        """
        import bitloom
        import _interpreters
        interp = _interpreters.create("legacy")  # lets our own check run
        try:
            err = _interpreters.exec(interp, "import bitloom")
        finally:
            _interpreters.destroy(interp)
        assert err is not None, "import in a sub-interpreter succeeded"
        print(err.type.__name__)
        print(err.msg)
        print(bitloom.decode_twos_complement(0xFF, 8))
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message, still_working = result.stdout.splitlines()
    assert kind == "ImportError"
    assert "does not support sub-interpreters" in message
    assert still_working == "-1"


@pytest.mark.skipif("BITLOOM_SANITIZE" in os.environ, reason="an address-space limit cannot hold ASan's shadow memory")
def test_internal_failure_is_a_panic_exception_outside_exception():
    # An allocation failure inside native code must surface as PanicException,
    # which plain `except Exception` does not catch.
    result = run_python(
        """
        import resource, bitloom
        text = "a" * 50_000_000
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 120_000_000, hard))
        try:
            try:
                bitloom.encode_utf32(text)
            except Exception as e:
                print("caught by except Exception:", type(e).__name__)
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), type(e).__mro__[1].__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "PanicException False BaseException"
