import os
import sys

# The tests run against the installed package; the Python sources live in
# python/, so the checkout's root (first on sys.path under `python -m pytest`)
# holds nothing that could shadow it. The shared test helpers are importable
# by name.
sys.path.insert(0, os.path.dirname(__file__))

# Hypothesis's per-example deadline measures time, and this suite runs on
# shared, busy machines: timing belongs to the benchmarks, not to the tests.
from hypothesis import settings

settings.register_profile("bitloom", deadline=None)
settings.load_profile("bitloom")
