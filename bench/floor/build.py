"""Builds bench/floor/_floor, the benchmark's floor baseline, for the running
Python (C compiler and flags from sysconfig). Used only by `make bench`."""

import os
import shlex
import subprocess
import sys
import sysconfig

here = os.path.dirname(os.path.abspath(__file__))
source = os.path.join(here, "floor.c")
target = os.path.join(here, "_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(source):
    sys.exit(0)
cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
command = [
    *cc,
    "-O3",
    "-shared",
    "-fPIC",
    "-Wall",
    "-Wextra",
    "-I",
    sysconfig.get_paths()["include"],
    source,
    "-o",
    target,
]
print(" ".join(command), flush=True)
subprocess.run(command, check=True)
