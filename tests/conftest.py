import os
import sys

# The tests run against the installed package. `python -m pytest` puts the
# working directory first on sys.path, where the source tree's bitloom_io
# (without its compiled part) would shadow the installed one.
_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]
sys.path.insert(0, os.path.dirname(__file__))

# Hypothesis's per-example deadline measures time, and this suite runs on
# shared, busy machines: timing belongs to the benchmarks, not to the tests.
from hypothesis import settings

settings.register_profile("bitloom", deadline=None)
settings.load_profile("bitloom")
