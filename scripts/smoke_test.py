"""Import smoke test for an installed bitloom and bitloom_io; run it outside
the source tree, once without numpy (bitloom_io must then say what to
install) and once with it."""

import importlib.util
import sysconfig
from pathlib import Path

import bitloom

site_packages = Path(sysconfig.get_paths()["platlib"])
assert Path(bitloom.__file__).parent == site_packages, f"not the installed module: {bitloom.__file__}"
assert len(bitloom.__all__) == 62, bitloom.__all__
missing = [name for name in bitloom.__all__ if not callable(getattr(bitloom, name, None))]
assert not missing, missing

recipe = [
    {"name": "apid", "encoding": "unsigned", "bits": 16, "byte_order": "big", "reverse_bits": False, "value": 0x7FF},
    {
        "name": "temp",
        "encoding": "twos_complement",
        "bits": 16,
        "byte_order": "little",
        "reverse_bits": False,
        "value": -5,
    },
    {"name": "gain", "encoding": "ieee754_f32", "bits": 32, "byte_order": "big", "reverse_bits": False, "value": 1.5},
    {"name": "tag", "encoding": "us_ascii", "bits": 32, "byte_order": "big", "reverse_bits": False, "value": "HK01"},
]
packet = bitloom.pack_parameters(recipe)
assert packet == bytes.fromhex("07ff fbff 3fc00000 484b3031"), packet.hex()
assert bitloom.unpack_parameters(packet, 0, recipe) == {"apid": 0x7FF, "temp": -5, "gain": 1.5, "tag": "HK01"}
assert bitloom.decode_packed_bcd(bitloom.encode_packed_bcd(-123, 16, signed=True), 16, signed=True) == -123
assert bitloom.decode_utf16(bitloom.encode_utf16("é€")) == "é€"

stubs = Path(sysconfig.get_paths()["purelib"]) / "bitloom-stubs" / "__init__.pyi"
assert stubs.is_file(), f"{stubs} is missing"

if importlib.util.find_spec("numpy") is None:
    try:
        import bitloom_io  # noqa: F401
    except ImportError as e:
        assert 'pip install "bitloom-packets[io]"' in str(e), e
    else:
        raise AssertionError("bitloom_io imported without numpy")
    print(f"smoke test: ok without numpy ({bitloom.__file__})")
else:
    import bitloom_io

    assert Path(bitloom_io.__file__).parent == site_packages / "bitloom_io", bitloom_io.__file__
    assert (site_packages / "bitloom_io" / "py.typed").is_file()
    layout = bitloom_io.Layout(recipe)
    assert layout.unpack(packet) == bitloom.unpack_parameters(packet, 0, recipe)
    assert layout.pack() == packet
    columns = layout.unpack_many(packet * 3, stride=len(packet))
    assert columns["temp"].tolist() == [-5, -5, -5], columns
    assert bitloom_io.check(recipe) == []
    print(f"smoke test: ok with numpy ({bitloom_io.__file__})")
